#include "crash/analysis/LiveObject.h"

#include <cctype>
#include <string>

namespace corvan::crash {
namespace {

// Offsets of the class table's slots before the class pointer.
constexpr std::uint32_t kSelfPointer = 76;
constexpr std::uint32_t kInterfaceTable = 72;
constexpr std::uint32_t kAutoTable = 68;
constexpr std::uint32_t kInitTable = 64;
constexpr std::uint32_t kTypeInfo = 60;
constexpr std::uint32_t kFieldTable = 56;
constexpr std::uint32_t kMethodTable = 52;
constexpr std::uint32_t kDynamicTable = 48;
constexpr std::uint32_t kClassName = 44;

bool ReadU32(const AddressSpace& memory, std::uint32_t address, std::uint32_t& value) {
  return memory.Read(address, &value, sizeof value);
}

std::optional<std::string> ReadShortString(const AddressSpace& memory, std::uint32_t address) {
  std::uint8_t length;
  if (!memory.Read(address, &length, 1)) return std::nullopt;
  std::string text(length, '\0');
  if (length && !memory.Read(address + 1, text.data(), length)) return std::nullopt;
  return text;
}

bool IsIdentifier(const std::string& text) {
  if (text.empty() || !(std::isalpha(static_cast<unsigned char>(text[0])) || text[0] == '_'))
    return false;
  for (char c : text) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  }
  return true;
}

}  // namespace

bool IsLiveObject(const AddressSpace& memory, std::uint32_t pointer) {
  std::uint32_t c;
  if (!ReadU32(memory, pointer, c) || c < kSelfPointer) return false;
  const auto extents = memory.ModuleOf(c);
  if (!extents) return false;
  std::uint32_t self;
  if (!ReadU32(memory, c - kSelfPointer, self) || self != c) return false;
  // Code ends 3 bytes before the end of the code sections; a class table
  // placed among the data is bounded by the end of the initialised data.
  const std::uint32_t codeEnd = extents->codeEnd >= 3 ? extents->codeEnd - 3 : 0;
  const bool inData = c >= extents->dataStart && c < extents->dataEnd;
  const std::uint32_t bound = inData ? extents->dataEnd : codeEnd;
  auto slot = [&](std::uint32_t offset, std::uint32_t& value) {
    return ReadU32(memory, c - offset, value);
  };
  std::uint32_t nameAddress = 0;
  for (std::uint32_t offset : {kClassName, kDynamicTable, kMethodTable, kFieldTable}) {
    std::uint32_t value;
    if (!slot(offset, value) || (value != 0 && (value < c || value >= bound))) return false;
    if (offset == kClassName) nameAddress = value;
  }
  std::uint32_t typeInfo = 0;
  for (std::uint32_t offset : {kTypeInfo, kInitTable, kAutoTable, kInterfaceTable}) {
    std::uint32_t value;
    if (!slot(offset, value) || (value != 0 && (value < extents->codeStart || value >= bound)))
      return false;
    if (offset == kTypeInfo) typeInfo = value;
  }
  const auto name = nameAddress ? ReadShortString(memory, nameAddress) : std::nullopt;
  if (!name || !IsIdentifier(*name)) return false;
  if (typeInfo) {
    const auto typeName = ReadShortString(memory, typeInfo + 1);  // after the type kind
    if (!typeName || *typeName != *name) return false;
  }
  return true;
}

}  // namespace corvan::crash
