#pragma once
// The fixed identity of a shared interface: copies of the reporter in
// different modules of one process recognise each other's objects by it.
// Laid out as a Windows GUID, so the Windows side can compare the two.
#include <cstdint>

namespace corvan::crash {

struct InterfaceId {
  std::uint32_t data1;
  std::uint16_t data2, data3;
  std::uint8_t data4[8];
  bool operator==(const InterfaceId&) const = default;
};

}  // namespace corvan::crash
