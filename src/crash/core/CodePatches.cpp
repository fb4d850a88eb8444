#include "crash/core/CodePatches.h"

#include <array>
#include <cstring>

namespace corvan::crash {
namespace {

std::array<std::uint8_t, 5> RelativeTransfer(std::uint8_t opcode, std::uintptr_t at,
                                             std::uintptr_t to) {
  // Wraps modulo 2^32 like the processor does.
  const auto displacement = static_cast<std::uint32_t>(to - (at + 5));
  std::array<std::uint8_t, 5> code{opcode};
  std::memcpy(&code[1], &displacement, 4);
  return code;
}

}  // namespace

bool CodePatches::WritePatch(std::uintptr_t address, const void* bytes, std::size_t length) {
  const auto* wanted = static_cast<const std::uint8_t*>(bytes);
  PatchRecord record{address, std::vector<std::uint8_t>(length),
                     std::vector<std::uint8_t>(wanted, wanted + length)};
  std::lock_guard guard(lock_);
  if (!memory_.Read(address, record.oldBytes.data(), length)) return false;
  if (record.oldBytes == record.newBytes) return true;
  if (!memory_.Write(address, bytes, length)) return false;
  records_.push_back(std::move(record));
  return true;
}

bool CodePatches::WriteJumpPatch(std::uintptr_t target, std::uintptr_t replacement) {
  std::uint8_t entry[6];
  if (memory_.Read(target, entry, sizeof entry) && entry[0] == 0xFF && entry[1] == 0x25) {
    std::uint32_t slot = 0, destination = 0;
    std::memcpy(&slot, &entry[2], 4);
    if (!memory_.Read(slot, &destination, 4)) return false;
    target = destination;
  }
  const auto code = RelativeTransfer(0xE9, target, replacement);
  return WritePatch(target, code.data(), code.size());
}

bool CodePatches::WriteCallPatch(std::uintptr_t site, std::uintptr_t replacement) {
  const auto code = RelativeTransfer(0xE8, site, replacement);
  return WritePatch(site, code.data(), code.size());
}

bool CodePatches::WriteValuePatch(std::uintptr_t address, std::uint32_t value) {
  return WritePatch(address, &value, sizeof value);
}

void CodePatches::RevertPatches() {
  std::lock_guard guard(lock_);
  // Newest first: of two patches at one place, the older one's old bytes
  // are the original ones.
  std::vector<std::uint8_t> now;
  for (auto record = records_.rbegin(); record != records_.rend(); ++record) {
    now.resize(record->newBytes.size());
    if (memory_.Read(record->address, now.data(), now.size()) && now == record->newBytes)
      memory_.Write(record->address, record->oldBytes.data(), record->oldBytes.size());
  }
  records_.clear();
}

std::vector<PatchRecord> CodePatches::Records() const {
  std::lock_guard guard(lock_);
  return records_;
}

}  // namespace corvan::crash
