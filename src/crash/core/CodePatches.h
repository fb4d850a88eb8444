#pragma once
// Code patches of the reporter: a jump or call written over code, or a
// 32-bit value written over a pointer, each remembered with the bytes it
// replaced so that shutdown can put them back. The logic here works on a
// PatchMemory, so it runs against a fake memory in tests; the Windows
// half (CodePatchesWin.h) supplies the process's own memory and the
// process-wide list.
//
// Encodings are x86-32: E9/E8 with a 32-bit displacement, FF 25 with the
// absolute address of its pointer slot.
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace corvan::crash {

// Access to the memory patches go to.
class PatchMemory {
 public:
  virtual ~PatchMemory() = default;
  // Copies length bytes at address into bytes; false when any byte is
  // unreadable. Never faults.
  virtual bool Read(std::uintptr_t address, void* bytes, std::size_t length) = 0;
  // Writes length bytes at address, whatever the protection of the range,
  // and leaves the protection as it was; false (nothing written) when the
  // range cannot be made writable.
  virtual bool Write(std::uintptr_t address, const void* bytes, std::size_t length) = 0;
};

// One patch: where, what was there, what was written.
struct PatchRecord {
  std::uintptr_t address = 0;
  std::vector<std::uint8_t> oldBytes;
  std::vector<std::uint8_t> newBytes;
};

// The patches made through one memory, in the order made. Safe to use from
// several threads.
class CodePatches {
 public:
  explicit CodePatches(PatchMemory& memory) : memory_(memory) {}
  CodePatches(const CodePatches&) = delete;
  CodePatches& operator=(const CodePatches&) = delete;

  // Writes bytes at address unless they are there already. False, with
  // nothing written or recorded, when the current bytes cannot be read or
  // the range cannot be written; such a patch is simply not made.
  bool WritePatch(std::uintptr_t address, const void* bytes, std::size_t length);
  // A jump at target's entry to replacement. A target that is an indirect
  // jump through a pointer slot (FF 25) is patched where the slot points.
  bool WriteJumpPatch(std::uintptr_t target, std::uintptr_t replacement);
  // Turns the 5 bytes at site into a direct call of replacement.
  bool WriteCallPatch(std::uintptr_t site, std::uintptr_t replacement);
  // Writes the 4 bytes of value at address.
  bool WriteValuePatch(std::uintptr_t address, std::uint32_t value);

  // Puts back the old bytes of every patch, newest first, and forgets all
  // patches. A patch whose bytes someone else has changed since is left as
  // it is now: their patch stays in place.
  void RevertPatches();

  std::vector<PatchRecord> Records() const;

 private:
  PatchMemory& memory_;
  mutable std::mutex lock_;
  std::vector<PatchRecord> records_;
};

}  // namespace corvan::crash
