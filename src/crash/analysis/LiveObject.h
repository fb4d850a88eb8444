#pragma once
// Whether a pointer is a live object of a class with a Delphi-style class
// table (the layout of the runtime's exception objects): the class
// pointer, its self slot, its tables and its name must all be consistent.
// Every read is checked, so any pointer may be asked about.
#include <cstddef>
#include <cstdint>
#include <optional>

namespace corvan::crash {

// The code and initialised-data extents of the module containing an
// address (absolute addresses).
struct ModuleExtents {
  std::uint32_t codeStart = 0, codeEnd = 0;  // code sections
  std::uint32_t dataStart = 0, dataEnd = 0;  // initialised data
};

class AddressSpace {
 public:
  virtual bool Read(std::uint32_t address, void* out, std::size_t size) const = 0;
  // The extents of the module containing address; nullopt when none.
  virtual std::optional<ModuleExtents> ModuleOf(std::uint32_t address) const = 0;

 protected:
  ~AddressSpace() = default;
};

bool IsLiveObject(const AddressSpace& memory, std::uint32_t pointer);

// The same question about this process (32-bit builds).
bool IsLiveObject(const void* pointer);

}  // namespace corvan::crash
