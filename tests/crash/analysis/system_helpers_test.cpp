// Computer name, registry texts, time and security attributes.
#include "crash/analysis/SystemHelpers.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <ctime>
#include <string>

namespace corvan::crash {
namespace {

TEST(SystemHelpersWin, ComputerRegistryTimeAndSecurity) {
  char name[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD size = sizeof name;
  ASSERT_TRUE(GetComputerNameA(name, &size));
  EXPECT_EQ(ComputerName(), name);

  const std::string key = "Software\\CorVAN tests\\helpers";
  EXPECT_EQ(RegReadText(HKEY_CURRENT_USER, key, "value"), "");
  ASSERT_TRUE(RegWriteText(HKEY_CURRENT_USER, key, "value", "text with spaces"));
  EXPECT_EQ(RegReadText(HKEY_CURRENT_USER, key, "value"), "text with spaces");
  const DWORD number = 0x01020304;
  HKEY handle;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, KEY_SET_VALUE, &handle),
            ERROR_SUCCESS);
  RegSetValueExA(handle, "number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4);
  RegCloseKey(handle);
  EXPECT_EQ(RegReadText(HKEY_CURRENT_USER, key, "number"), std::string("\x04\x03\x02\x01", 4));
  EXPECT_TRUE(RegDeleteValueText(HKEY_CURRENT_USER, key, "value"));
  EXPECT_FALSE(RegDeleteValueText(HKEY_CURRENT_USER, key, "value"));
  EXPECT_EQ(RegReadText(HKEY_CURRENT_USER, key, "value"), "");
  RegDeleteKeyA(HKEY_CURRENT_USER, key.c_str());

  const std::int64_t unixEpochIn1601Seconds = 11644473600LL;
  EXPECT_NEAR(static_cast<double>(UtcSeconds() - unixEpochIn1601Seconds),
              static_cast<double>(std::time(nullptr)), 5);

  OpenSecurityAttributes everyone;
  ASSERT_TRUE(everyone.get());
  EXPECT_FALSE(everyone.get()->bInheritHandle);
  HANDLE mutex = CreateMutexA(everyone.get(), FALSE, nullptr);
  EXPECT_TRUE(mutex);
  CloseHandle(mutex);
}

}  // namespace
}  // namespace corvan::crash
