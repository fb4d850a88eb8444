#include "crash/core/CrashHandlerProtocol.h"

#include <atomic>
#include <cstring>

namespace corvan::crash {
namespace {

// The system's rule for the program name: quoted up to the next quote,
// else up to the first blank.
std::string_view AfterProgram(std::string_view line) {
  std::size_t end = 0;
  if (!line.empty() && line.front() == '"') {
    end = line.find('"', 1);
    end = end == std::string_view::npos ? line.size() : end + 1;
  } else {
    end = line.find_first_of(" \t");
    if (end == std::string_view::npos) end = line.size();
  }
  return line.substr(end);
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The next blank-separated word, or empty at the end.
std::string_view NextWord(std::string_view& rest) {
  std::size_t begin = 0;
  while (begin < rest.size() && IsBlank(rest[begin])) ++begin;
  std::size_t end = begin;
  while (end < rest.size() && !IsBlank(rest[end])) ++end;
  const std::string_view word = rest.substr(begin, end - begin);
  rest.remove_prefix(end);
  return word;
}

bool ParseHandle(std::string_view word, std::uint32_t& value) {
  if (word.empty() || word.size() > 8) return false;
  value = 0;
  for (char c : word) {
    const int digit = c >= '0' && c <= '9'   ? c - '0'
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                             : -1;
    if (digit < 0) return false;
    value = value << 4 | static_cast<std::uint32_t>(digit);
  }
  return value != 0;
}

std::string HexWord(std::uint32_t value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  do {
    text.insert(text.begin(), kDigits[value & 15]);
    value >>= 4;
  } while (value);
  return text;
}

}  // namespace

std::optional<HandlerHandles> ParseHandlerCommandLine(std::string_view commandLine) {
  std::string_view rest = AfterProgram(commandLine);
  if (NextWord(rest) != kCrashHandlerSwitch) return std::nullopt;
  HandlerHandles handles;
  for (std::uint32_t* value : {&handles.process, &handles.block, &handles.request, &handles.done}) {
    if (!ParseHandle(NextWord(rest), *value)) return std::nullopt;
  }
  if (!NextWord(rest).empty()) return std::nullopt;
  return handles;
}

std::string HandlerCommandLine(std::string_view program, const HandlerHandles& handles) {
  std::string line = "\"" + std::string(program) + "\" " + kCrashHandlerSwitch;
  for (std::uint32_t value : {handles.process, handles.block, handles.request, handles.done})
    line += " " + HexWord(value);
  return line;
}

FaultClaim ClaimFault(FaultSlot& slot, std::uint32_t threadId) {
  std::int32_t expected = 0;
  if (std::atomic_ref<std::int32_t>(slot.claimed).compare_exchange_strong(expected, 1)) {
    slot.threadId = threadId;
    return FaultClaim::First;
  }
  std::atomic_ref<std::uint32_t>(slot.laterFaults).fetch_add(1);
  return FaultClaim::Later;
}

bool ClaimHandOver(FaultSlot& slot) {
  return std::atomic_ref<std::int32_t>(slot.handedOver).exchange(1) == 0;
}

std::string BoundedText(const char* field, std::size_t capacity) {
  std::size_t length = 0;
  while (length < capacity && field[length]) ++length;
  return std::string(field, length);
}

void StoreText(char* field, std::size_t capacity, std::string_view text) {
  if (!capacity) return;
  const std::size_t length = text.size() < capacity ? text.size() : 0;
  std::memcpy(field, text.data(), length);
  field[length] = '\0';
}

}  // namespace corvan::crash
