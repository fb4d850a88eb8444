// The handle owners against the system itself: after an owner goes, Windows
// no longer knows the handle, the view or the selection.
#include "common/WinHandles.h"

#include <gtest/gtest.h>

#include <string>

namespace corvan {
namespace {

bool HandleIsOpen(HANDLE h) {
  DWORD flags = 0;
  return GetHandleInformation(h, &flags) != 0;
}

std::string TempPath(const char* name) {
  char folder[MAX_PATH];
  GetTempPathA(MAX_PATH, folder);
  return std::string(folder) + name;
}

TEST(WinHandles, KernelHandleIsClosedOnceWhenItsOwnerGoes) {
  HANDLE raw = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_TRUE(raw);
  {
    ScopedHandle first(raw);
    ScopedHandle second = std::move(first);
    EXPECT_FALSE(first);
    EXPECT_TRUE(HandleIsOpen(raw));
  }
  EXPECT_FALSE(HandleIsOpen(raw));
}

TEST(WinHandles, FileOwnerTakesInvalidHandleValueForNone) {
  const std::string path = TempPath("corvan-win-handles-missing\\none.txt");
  ScopedFile missing(
      CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_FALSE(missing);
  EXPECT_EQ(missing.get(), nullptr);
  missing.reset(INVALID_HANDLE_VALUE);
  EXPECT_FALSE(missing);

  const std::string real = TempPath("corvan-win-handles.txt");
  HANDLE raw = CreateFileA(real.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  ASSERT_NE(raw, INVALID_HANDLE_VALUE);
  missing.reset(raw);
  EXPECT_TRUE(missing);
  missing.reset();
  EXPECT_FALSE(HandleIsOpen(raw));
  EXPECT_EQ(GetFileAttributesA(real.c_str()), INVALID_FILE_ATTRIBUTES);  // closed: deleted
}

TEST(WinHandles, ViewIsUnmappedBeforeItsMappingCloses) {
  ScopedHandle mapping(
      CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, nullptr));
  ASSERT_TRUE(mapping);
  void* address;
  {
    ScopedView view(MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ASSERT_TRUE(view);
    address = view.get();
    static_cast<char*>(address)[0] = 1;
  }
  MEMORY_BASIC_INFORMATION info{};
  ASSERT_EQ(VirtualQuery(address, &info, sizeof info), sizeof info);
  EXPECT_EQ(info.State, static_cast<DWORD>(MEM_FREE));
}

TEST(WinHandles, GdiObjectsAreDeletedAndSelectionsUndone) {
  ScopedDc dc(CreateCompatibleDC(nullptr));
  ASSERT_TRUE(dc);
  const HGDIOBJ stock = GetCurrentObject(dc.get(), OBJ_BITMAP);
  HBITMAP raw = CreateCompatibleBitmap(dc.get(), 4, 4);
  ASSERT_TRUE(raw);
  {
    ScopedBitmap bitmap(raw);
    {
      ScopedSelection selected(dc.get(), bitmap.get());
      EXPECT_EQ(GetCurrentObject(dc.get(), OBJ_BITMAP), raw);
    }
    EXPECT_EQ(GetCurrentObject(dc.get(), OBJ_BITMAP), stock);
    EXPECT_EQ(GetObjectType(raw), static_cast<DWORD>(OBJ_BITMAP));
  }
  EXPECT_EQ(GetObjectType(raw), 0u);  // deleted
}

TEST(WinHandles, RegistryKeyIsClosedWhenItsOwnerGoes) {
  HKEY raw = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &raw), ERROR_SUCCESS);
  { ScopedRegistryKey key(raw); }
  DWORD subkeys = 0;
  EXPECT_NE(RegQueryInfoKeyA(raw, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
}

}  // namespace
}  // namespace corvan
