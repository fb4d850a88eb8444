#pragma once
// The "hardware" section of the bug report: the installed devices grouped
// by device class, with the versions of drivers not shipped by the
// system's vendor. Grouping, the skip rules and formatting are portable;
// collecting the devices asks SetupAPI and the registry (Windows).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvan::crash {

// What the collection learnt of one device.
struct HardwareDevice {
  std::string className;  // the class's display name
  std::string name;       // friendly name, else description
  std::string driverProvider, driverVersion, driverDate;
};

// Device properties that decide whether a device is listed at all.
struct DeviceFacts {
  std::string setupClass;  // e.g. "Volume"
  std::string hardwareId;  // the first hardware id
  std::optional<std::uint32_t> driverCharacteristics;
};
// Software-enumerated devices, legacy drivers, unknown devices, volumes
// and devices whose driver marks them hidden (characteristic bit 3).
bool SkipDevice(const DeviceFacts& device);

// " (driver " + version + ")" for a driver with a provider that is not
// empty, does not start with "(" and is not "Microsoft"; the version is
// the driver version, else its date, trimmed. Empty otherwise.
std::string DriverVersionSuffix(const HardwareDevice& device);

// "+ " and the class name per class, "  - " and the device name (and its
// driver suffix) per device; classes and the devices of each class sorted
// without regard to case, devices of one class merged under one line.
// Lines are joined by CR LF.
std::string HardwareListText(const std::vector<HardwareDevice>& devices);

#ifdef _WIN32
// The present devices of all classes, in the system's order.
std::vector<HardwareDevice> InstalledHardware();
// The plugin: HardwareListText(InstalledHardware()).
std::string ListHardware();
#endif

}  // namespace corvan::crash
