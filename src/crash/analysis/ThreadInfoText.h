#pragma once
// The thread header line of the bug report, from a thread's entry in the
// process-wide thread information list.
#include <cstdint>
#include <string>

namespace corvan::crash {

struct ThreadInfoEntry {
  std::uint32_t threadId = 0;
  std::string name;
  std::string description;  // e.g. the thread's class
  std::uint32_t creationAddress = 0;
  std::uint32_t creatorThreadId = 0;
};

// locked: the list could be locked in time; entry: the thread's entry, if
// any. The reporter's own "-", "AntiFreezeThread" and
// "HandleExceptionThread" give an empty text unless showAll.
std::string ThreadHeaderText(std::uint32_t threadId, const ThreadInfoEntry* entry, bool showAll,
                             bool locked);

}  // namespace corvan::crash
