#pragma once
// The fixed identities of the reporter's shared interfaces: copies of the
// reporter in different modules of one process find each other's objects
// by them.
#include <cstdint>

namespace corvan::crash {

struct InterfaceId {
  std::uint32_t data1;
  std::uint16_t data2, data3;
  std::uint8_t data4[8];
  bool operator==(const InterfaceId&) const = default;
};

// General settings (every getter and setter of a module's or a report's settings).
inline constexpr InterfaceId kGeneralSettingsId{
    0x27DBC590, 0x890F, 0x463E, {0x8D, 0x05, 0x32, 0xE3, 0x35, 0x84, 0x11, 0x9F}};
// Module settings: general settings plus the module-only keys and ReloadSettings.
inline constexpr InterfaceId kModuleSettingsId{
    0xE2196B25, 0xD73A, 0x4F69, {0xB7, 0x9B, 0xD6, 0x55, 0x39, 0x76, 0x3B, 0x31}};
// Typed access by name and the form cache.
inline constexpr InterfaceId kTypedSettingsId{
    0x8C612485, 0xCD17, 0x4C66, {0x8C, 0x62, 0xD6, 0xD9, 0x4D, 0x54, 0xEA, 0x50}};
inline constexpr InterfaceId kReportFieldsId{
    0xAF0EA7A7, 0x2B36, 0x46FD, {0xBF, 0x2E, 0x24, 0x5A, 0xBA, 0x27, 0x40, 0xE2}};
inline constexpr InterfaceId kReportFieldsOwnerViewId{
    0xD9EED670, 0xC965, 0x403D, {0x92, 0xE0, 0xBF, 0x11, 0xD8, 0x54, 0x91, 0x1D}};
inline constexpr InterfaceId kAttachmentListId{
    0x7DE1DA9C, 0x28D7, 0x4527, {0x95, 0x4F, 0xF9, 0x51, 0xB8, 0x8B, 0xEE, 0x41}};
inline constexpr InterfaceId kAttachmentListOwnerViewId{
    0x1E8B96CB, 0x8314, 0x4C9E, {0xA3, 0x27, 0x7C, 0xDA, 0x83, 0xA5, 0x59, 0x82}};

}  // namespace corvan::crash
