// The hardware list from injected devices: classes and devices sorted
// without regard to case, one line per class, driver versions only for
// drivers not shipped by the system's vendor, and the skip rules.
#include "crash/analysis/zelListHardware.h"

#include <gtest/gtest.h>

namespace corvan::crash {
namespace {

HardwareDevice Device(const char* cls, const char* name, const char* provider = "",
                      const char* version = "", const char* date = "") {
  return {cls, name, provider, version, date};
}

TEST(HardwareList, ClassesMergedAndSortedWithoutRegardToCase) {
  const std::vector<HardwareDevice> devices = {
      Device("Netzwerkadapter", "Realtek PCIe GbE", "Realtek", " 10.38.1 "),
      Device("Display adapters", "VirtualBox Graphics", "Oracle Corporation", "", "6-1-2021"),
      Device("netzwerkadapter", "intel(R) Ethernet", "Microsoft", "1.0"),
      Device("Display adapters", "basic display", "(Standard system devices)", "1.0"),
      Device("Disk drives", "QEMU HARDDISK"),
  };
  EXPECT_EQ(HardwareListText(devices),
            "+ Disk drives\r\n"
            "  - QEMU HARDDISK\r\n"
            "+ Display adapters\r\n"
            "  - basic display\r\n"
            "  - VirtualBox Graphics (driver 6-1-2021)\r\n"
            "+ Netzwerkadapter\r\n"
            "  - intel(R) Ethernet\r\n"
            "  - Realtek PCIe GbE (driver 10.38.1)");
  EXPECT_EQ(HardwareListText({}), "");
}

TEST(HardwareList, DriverVersionOnlyForOtherVendors) {
  EXPECT_EQ(DriverVersionSuffix(Device("c", "d", "MICROSOFT", "10.0")), "");
  EXPECT_EQ(DriverVersionSuffix(Device("c", "d", "(Standard)", "10.0")), "");
  EXPECT_EQ(DriverVersionSuffix(Device("c", "d", "", "10.0")), "");
  EXPECT_EQ(DriverVersionSuffix(Device("c", "d", "Microsoft Corp", "10.0")), " (driver 10.0)");
  EXPECT_EQ(DriverVersionSuffix(Device("c", "d", "NVIDIA", " \t", " 1-2-2020\t")),
            " (driver 1-2-2020)");
}

TEST(HardwareList, SkippedDevices) {
  EXPECT_TRUE(SkipDevice({"LegacyDriver", "x", std::nullopt}));
  EXPECT_TRUE(SkipDevice({"Unknown", "x", std::nullopt}));
  EXPECT_TRUE(SkipDevice({"Volume", "x", std::nullopt}));
  EXPECT_TRUE(SkipDevice({"System", "SW\\{b7eafdc0}", std::nullopt}));
  EXPECT_TRUE(SkipDevice({"System", "sw\\x", std::nullopt}));
  EXPECT_TRUE(SkipDevice({"Net", "PCI\\VEN_8086", 0x8}));
  EXPECT_TRUE(SkipDevice({"Net", "PCI\\VEN_8086", 0x89}));
  EXPECT_FALSE(SkipDevice({"Net", "PCI\\VEN_8086", 0x84}));
  EXPECT_FALSE(SkipDevice({"Net", "PCI\\VEN_8086", std::nullopt}));
  EXPECT_FALSE(SkipDevice({"volume", "sw", std::nullopt}));  // class names exactly
  EXPECT_FALSE(SkipDevice({"", "", std::nullopt}));
}

}  // namespace
}  // namespace corvan::crash
