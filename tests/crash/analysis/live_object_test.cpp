#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "crash/analysis/LiveObject.h"

namespace corvan::crash {
namespace {

// A module at 0x400000: code 0x401000..0x409000, data 0x409000..0x40c000,
// plus a heap block at 0x900000 holding the object.
class FakeSpace final : public AddressSpace {
 public:
  static constexpr std::uint32_t kModule = 0x400000, kCodeStart = 0x401000, kCodeEnd = 0x409000,
                                 kDataEnd = 0x40C000, kHeap = 0x900000;
  std::vector<std::uint8_t> module = std::vector<std::uint8_t>(kDataEnd - kModule);
  std::vector<std::uint8_t> heap = std::vector<std::uint8_t>(64);

  bool Read(std::uint32_t address, void* out, std::size_t size) const override {
    for (const auto& [base, bytes] : {std::pair{kModule, &module}, std::pair{kHeap, &heap}}) {
      if (address >= base && address - base <= bytes->size() &&
          size <= bytes->size() - (address - base)) {
        std::memcpy(out, bytes->data() + (address - base), size);
        return true;
      }
    }
    return false;
  }
  std::optional<ModuleExtents> ModuleOf(std::uint32_t address) const override {
    if (address < kModule || address >= kDataEnd) return std::nullopt;
    return ModuleExtents{kCodeStart, kCodeEnd, kCodeEnd, kDataEnd};
  }
  void Put32(std::uint32_t address, std::uint32_t value) {
    auto& bytes = address >= kHeap ? heap : module;
    std::memcpy(bytes.data() + (address - (address >= kHeap ? kHeap : kModule)), &value, 4);
  }
  void PutName(std::uint32_t address, const std::string& name) {
    module[address - kModule] = static_cast<std::uint8_t>(name.size());
    std::memcpy(module.data() + (address - kModule) + 1, name.data(), name.size());
  }

  // An object of class "EAccessViolation" with its type information.
  std::uint32_t MakeObject(std::uint32_t classAt) {
    Put32(classAt - 76, classAt);
    Put32(classAt - 44, classAt + 0x100);  // class name after the table
    PutName(classAt + 0x100, "EAccessViolation");
    Put32(classAt - 60, kCodeStart + 0x10);  // type information
    PutName(kCodeStart + 0x11, "EAccessViolation");
    Put32(classAt - 52, classAt + 0x200);  // a method table
    Put32(kHeap, classAt);
    return kHeap;
  }
};

TEST(LiveObject, AcceptsAConsistentClassTable) {
  FakeSpace space;
  const std::uint32_t object = space.MakeObject(0x402000);
  EXPECT_TRUE(IsLiveObject(space, object));
  EXPECT_FALSE(IsLiveObject(space, 0x12345678));  // unreadable pointer
  EXPECT_FALSE(IsLiveObject(space, object + 4));  // points at zeroes
}

TEST(LiveObject, RejectsEveryInconsistency) {
  const struct {
    const char* what;
    void (*spoil)(FakeSpace&, std::uint32_t);
  } cases[] = {
      {"self slot", [](FakeSpace& s, std::uint32_t c) { s.Put32(c - 76, c + 4); }},
      {"name outside", [](FakeSpace& s, std::uint32_t c) { s.Put32(c - 44, c - 0x100); }},
      {"table beyond code",
       [](FakeSpace& s, std::uint32_t c) { s.Put32(c - 56, FakeSpace::kCodeEnd - 2); }},
      {"init table outside", [](FakeSpace& s, std::uint32_t c) { s.Put32(c - 64, 0x100); }},
      {"name not an identifier",
       [](FakeSpace& s, std::uint32_t c) { s.PutName(c + 0x100, "9Lives"); }},
      {"type name differs",
       [](FakeSpace& s, std::uint32_t) { s.PutName(FakeSpace::kCodeStart + 0x11, "EOther"); }},
      {"no name", [](FakeSpace& s, std::uint32_t c) { s.Put32(c - 44, 0); }},
      {"class outside modules",
       [](FakeSpace& s, std::uint32_t) { s.Put32(FakeSpace::kHeap, FakeSpace::kHeap + 8); }},
  };
  for (const auto& c : cases) {
    FakeSpace space;
    const std::uint32_t object = space.MakeObject(0x402000);
    c.spoil(space, 0x402000);
    EXPECT_FALSE(IsLiveObject(space, object)) << c.what;
  }
}

TEST(LiveObject, ClassTablesAmongTheDataAreBoundedByTheData) {
  FakeSpace space;
  const std::uint32_t classAt = FakeSpace::kCodeEnd + 0x100;
  const std::uint32_t object = space.MakeObject(classAt);
  EXPECT_TRUE(IsLiveObject(space, object));  // its name lies beyond the code
  space.Put32(classAt - 48, FakeSpace::kDataEnd);
  EXPECT_FALSE(IsLiveObject(space, object));
}

}  // namespace
}  // namespace corvan::crash
