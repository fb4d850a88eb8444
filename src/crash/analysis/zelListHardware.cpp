#include "crash/analysis/zelListHardware.h"

#include <algorithm>

#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

bool LessIgnoreCase(const std::string& a, const std::string& b) {
  return LowerCase(a) < LowerCase(b);
}

std::string Trimmed(std::string_view text) {
  const auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return std::string(text);
}

// A class is named as the system first named it.
const std::string& FirstSpelling(const std::vector<HardwareDevice>& devices,
                                 const std::string& className) {
  for (const HardwareDevice& d : devices) {
    if (EqualsIgnoreCase(d.className, className)) return d.className;
  }
  return className;
}

}  // namespace

bool SkipDevice(const DeviceFacts& device) {
  for (const char* hidden : {"LegacyDriver", "Unknown", "Volume"}) {
    if (device.setupClass == hidden) return true;
  }
  if (EqualsIgnoreCase(std::string_view(device.hardwareId).substr(0, 3), "sw\\")) return true;
  return device.driverCharacteristics && (*device.driverCharacteristics & 8) != 0;
}

std::string DriverVersionSuffix(const HardwareDevice& device) {
  const std::string& provider = device.driverProvider;
  if (provider.empty() || provider[0] == '(' || EqualsIgnoreCase(provider, "Microsoft")) return {};
  std::string version = Trimmed(device.driverVersion);
  if (version.empty()) version = Trimmed(device.driverDate);
  return " (driver " + version + ")";
}

std::string HardwareListText(const std::vector<HardwareDevice>& devices) {
  std::vector<const HardwareDevice*> sorted;
  for (const HardwareDevice& d : devices) sorted.push_back(&d);
  // Stable: devices of the same name keep the system's order.
  std::stable_sort(sorted.begin(), sorted.end(), [](const auto* a, const auto* b) {
    const std::string ca = LowerCase(a->className), cb = LowerCase(b->className);
    if (ca != cb) return ca < cb;
    return LessIgnoreCase(a->name, b->name);
  });
  std::string text;
  const HardwareDevice* previous = nullptr;
  for (const HardwareDevice* d : sorted) {
    if (!previous || !EqualsIgnoreCase(previous->className, d->className)) {
      if (!text.empty()) text += "\r\n";
      text += "+ " + FirstSpelling(devices, d->className);
    }
    text += "\r\n  - " + d->name + DriverVersionSuffix(*d);
    previous = d;
  }
  return text;
}

}  // namespace corvan::crash
