// The hardware list as the system gives it: Wine has few devices, so only
// the shape is checked here (the texts themselves from injected devices).
#include <gtest/gtest.h>
#include <windows.h>

#include "crash/analysis/zelListHardware.h"
#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

TEST(HardwareListWin, ClassLinesFollowedBySortedDeviceLines) {
  const std::vector<HardwareDevice> devices = InstalledHardware();
  const std::string text = ListHardware();
  EXPECT_EQ(text, HardwareListText(devices));
  if (devices.empty()) GTEST_SKIP() << "no devices listed by the system";
  std::string previousClass, previousDevice;
  std::size_t deviceLines = 0;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find("\r\n", at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    if (line.rfind("+ ", 0) == 0) {
      const std::string cls = LowerCase(line.substr(2));
      EXPECT_LT(previousClass, cls) << line;
      previousClass = cls;
      previousDevice.clear();
    } else {
      ASSERT_EQ(line.rfind("  - ", 0), 0u) << line;
      ASSERT_FALSE(previousClass.empty()) << "device before any class";
      const std::string device = LowerCase(line.substr(4));
      EXPECT_LE(previousDevice, device) << line;
      previousDevice = device;
      ++deviceLines;
    }
    at = end + 2;
  }
  EXPECT_EQ(deviceLines, devices.size());
}

}  // namespace
}  // namespace corvan::crash
