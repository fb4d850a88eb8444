#pragma once
// What a program and its crash handler process agree on, without Windows
// headers: the switch and its handles, the exit codes, the versioned head
// of the shared block, the first-fault slot and the bounded reading of the
// block's texts.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvan::crash {

// The switch that makes the program serve as the crash handler of another:
//   PROGRAM --crash-handler PROCESS BLOCK REQUEST DONE
// with the inherited handles in hex.
inline constexpr char kCrashHandlerSwitch[] = "--crash-handler";

// The program's exit code when its crash handler ended it after a report
// (not 1, which "close" also gives).
inline constexpr std::uint32_t kEndedByCrashHandler = 0xC4A5;
// The exit code when a fault needed the handler and none answered in time:
// the program ends at once rather than hang, without a report.
inline constexpr std::uint32_t kEndedUnreported = 0xC4A6;

struct HandlerHandles {
  std::uint32_t process = 0, block = 0, request = 0, done = 0;
};

// The handles when the switch is the first argument and exactly four
// nonzero hex handles follow; nothing otherwise, so that no argument given
// to the program can turn it into a handler.
std::optional<HandlerHandles> ParseHandlerCommandLine(std::string_view commandLine);
// The command line that starts program as the handler with these handles.
std::string HandlerCommandLine(std::string_view program, const HandlerHandles& handles);

// Each side checks the head before it reads the rest, so that sides of
// different builds never misread each other's block.
inline constexpr std::uint32_t kBlockMagic = 0x48435643;  // "CVCH"
inline constexpr std::uint32_t kBlockVersion = 2;
struct BlockHead {
  std::uint32_t magic;
  std::uint32_t version;
  std::uint32_t size;  // of the whole block
};
inline bool BlockHeadFits(const BlockHead& head, std::uint32_t size) {
  return head.magic == kBlockMagic && head.version == kBlockVersion && head.size == size;
}

// The first fault owns the slot; every later one (another thread's, or
// one in the reporting itself) is only counted, so that the report is of
// the fault that started it all. Lock-free, it lives in the shared block.
struct FaultSlot {
  std::int32_t claimed;
  std::uint32_t threadId;     // of the first fault
  std::uint32_t laterFaults;  // faults after the first
  std::int32_t handedOver;    // the handler was asked
};
enum class FaultClaim { First, Later };
FaultClaim ClaimFault(FaultSlot& slot, std::uint32_t threadId);
// True for the one caller that asks the handler.
bool ClaimHandOver(FaultSlot& slot);

// A text field of the block up to its first NUL, never past capacity.
std::string BoundedText(const char* field, std::size_t capacity);
template <std::size_t N>
std::string BoundedText(const char (&field)[N]) {
  return BoundedText(field, N);
}
// Copies text into a field when it fits whole (a cut path would name
// another file), else leaves the field empty; always terminated.
void StoreText(char* field, std::size_t capacity, std::string_view text);
template <std::size_t N>
void StoreText(char (&field)[N], std::string_view text) {
  StoreText(field, N, text);
}

}  // namespace corvan::crash
