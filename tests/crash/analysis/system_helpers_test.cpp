// Computer name, registry texts, time and security attributes.
#include "crash/analysis/SystemHelpers.h"

#include <gtest/gtest.h>
#include <windows.h>
// ConvertStringSecurityDescriptorToSecurityDescriptorA
#include <sddl.h>

#include <cstdint>
#include <ctime>
#include <string>

#include "common/WinHandles.h"

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

  UserOnlySecurityAttributes userOnly;
  ASSERT_TRUE(userOnly.get());
  EXPECT_FALSE(userOnly.get()->bInheritHandle);
  HANDLE mutex = CreateMutexA(userOnly.get(), FALSE, nullptr);
  EXPECT_TRUE(mutex);
  EXPECT_TRUE(OwnedByCurrentUser(mutex));
  CloseHandle(mutex);
}

// The process's named objects are the current user's: one made under the
// name by another owner (here the administrators' group, which the test
// user may name as owner) is never shared; a private object stands in.
TEST(SystemHelpersWin, SecurityNamedObjectsOfAnotherOwnerAreRefused) {
  const std::string suffix = std::to_string(GetCurrentProcessId());
  bool shared = false;
  ScopedHandle mutex(CreateOwnMutex("corvan-own-mutex-" + suffix, &shared));
  ASSERT_TRUE(mutex);
  EXPECT_TRUE(shared);
  ScopedHandle again(CreateOwnMutex("corvan-own-mutex-" + suffix, &shared));
  EXPECT_TRUE(shared);
  bool created = false;
  ScopedHandle mapping(CreateOwnMapping("corvan-own-map-" + suffix, 64, created, &shared));
  EXPECT_TRUE(created && shared);
  ScopedHandle opened(OpenOwnMapping("corvan-own-map-" + suffix));
  EXPECT_TRUE(opened);

  PSECURITY_DESCRIPTOR foreign = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA("O:BAD:(A;;GA;;;WD)", 1,
                                                                   &foreign, nullptr));
  SECURITY_ATTRIBUTES attributes{sizeof attributes, foreign, FALSE};
  ScopedHandle squatMutex(CreateMutexA(&attributes, FALSE, ("corvan-squat-" + suffix).c_str()));
  ScopedHandle squatMapping(CreateFileMappingA(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0,
                                               64, ("corvan-squat-map-" + suffix).c_str()));
  LocalFree(foreign);
  if (!squatMutex || !squatMapping || OwnedByCurrentUser(squatMutex.get())) {
    GTEST_SKIP() << "this user cannot make an object another owner owns";
  }
  ScopedHandle refused(CreateOwnMutex("corvan-squat-" + suffix, &shared));
  EXPECT_TRUE(refused);
  EXPECT_FALSE(shared);
  ScopedHandle privateMapping(CreateOwnMapping("corvan-squat-map-" + suffix, 64, created, &shared));
  EXPECT_TRUE(privateMapping && created);
  EXPECT_FALSE(shared);
  EXPECT_FALSE(OpenOwnMapping("corvan-squat-map-" + suffix));
}

}  // namespace
}  // namespace corvan::crash
