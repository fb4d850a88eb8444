#include <windows.h>
// After windows.h.
#include <setupapi.h>

#include "common/WinHandles.h"
#include "crash/analysis/SystemHelpers.h"
#include "crash/analysis/zelListHardware.h"

namespace corvan::crash {
namespace {

using GetClassDevsFn = HDEVINFO(WINAPI*)(const GUID*, PCSTR, HWND, DWORD);
using DestroyListFn = BOOL(WINAPI*)(HDEVINFO);
using EnumDeviceInfoFn = BOOL(WINAPI*)(HDEVINFO, DWORD, SP_DEVINFO_DATA*);
using GetPropertyFn = BOOL(WINAPI*)(HDEVINFO, SP_DEVINFO_DATA*, DWORD, DWORD*, BYTE*, DWORD,
                                    DWORD*);

constexpr char kClassKey[] = "System\\CurrentControlSet\\Control\\Class\\";

// setupapi.dll is loaded only when the list is made; all four functions
// are needed.
struct SetupApi {
  GetClassDevsFn getClassDevs = nullptr;
  DestroyListFn destroyList = nullptr;
  EnumDeviceInfoFn enumDeviceInfo = nullptr;
  GetPropertyFn getProperty = nullptr;

  bool Load() {
    constexpr char kLibrary[] = "setupapi.dll";
    getClassDevs = SystemFunction<GetClassDevsFn>(kLibrary, "SetupDiGetClassDevsA");
    destroyList = SystemFunction<DestroyListFn>(kLibrary, "SetupDiDestroyDeviceInfoList");
    enumDeviceInfo = SystemFunction<EnumDeviceInfoFn>(kLibrary, "SetupDiEnumDeviceInfo");
    getProperty = SystemFunction<GetPropertyFn>(kLibrary, "SetupDiGetDeviceRegistryPropertyA");
    return getClassDevs && destroyList && enumDeviceInfo && getProperty;
  }

  // A text property (for a multi-string, its first string); empty when
  // the device has none.
  std::string Property(HDEVINFO list, SP_DEVINFO_DATA& device, DWORD property) const {
    DWORD size = 0;
    getProperty(list, &device, property, nullptr, nullptr, 0, &size);
    if (size == 0) return {};
    std::string buffer(size * 2 + 2, '\0');
    if (!getProperty(list, &device, property, nullptr, reinterpret_cast<BYTE*>(buffer.data()),
                     static_cast<DWORD>(buffer.size() - 2), nullptr)) {
      return {};
    }
    return buffer.c_str();
  }
};

std::optional<std::uint32_t> RegistryNumber(const std::string& path, const char* value) {
  HKEY opened = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS)
    return std::nullopt;
  ScopedRegistryKey key(opened);
  DWORD type = 0, number = 0, size = sizeof number;
  if (RegQueryValueExA(key.get(), value, nullptr, &type, reinterpret_cast<BYTE*>(&number), &size) !=
          ERROR_SUCCESS ||
      type != REG_DWORD || size != sizeof number) {
    return std::nullopt;
  }
  return number;
}

}  // namespace

std::vector<HardwareDevice> InstalledHardware() {
  std::vector<HardwareDevice> devices;
  SetupApi api;
  if (!api.Load()) return devices;
  HDEVINFO list = api.getClassDevs(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
  if (list == INVALID_HANDLE_VALUE) return devices;
  for (DWORD index = 0;; ++index) {
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    if (!api.enumDeviceInfo(list, index, &info)) break;
    DeviceFacts facts;
    facts.setupClass = api.Property(list, info, SPDRP_CLASS);
    facts.hardwareId = api.Property(list, info, SPDRP_HARDWAREID);
    const std::string classGuid = api.Property(list, info, SPDRP_CLASSGUID);
    if (classGuid.empty()) continue;
    const std::string driver = api.Property(list, info, SPDRP_DRIVER);
    const std::string driverKey = driver.empty() ? std::string() : kClassKey + driver;
    if (!driverKey.empty())
      facts.driverCharacteristics = RegistryNumber(driverKey, "Characteristics");
    if (SkipDevice(facts)) continue;
    HardwareDevice device;
    device.className = RegReadText(HKEY_LOCAL_MACHINE, kClassKey + classGuid, "");
    if (device.className.empty()) device.className = classGuid;
    device.name = api.Property(list, info, SPDRP_FRIENDLYNAME);
    if (device.name.empty()) device.name = api.Property(list, info, SPDRP_DEVICEDESC);
    if (!driverKey.empty()) {
      device.driverProvider = RegReadText(HKEY_LOCAL_MACHINE, driverKey, "ProviderName");
      device.driverVersion = RegReadText(HKEY_LOCAL_MACHINE, driverKey, "DriverVersion");
      device.driverDate = RegReadText(HKEY_LOCAL_MACHINE, driverKey, "DriverDate");
    }
    devices.push_back(std::move(device));
  }
  api.destroyList(list);
  return devices;
}

std::string ListHardware() { return HardwareListText(InstalledHardware()); }

}  // namespace corvan::crash
