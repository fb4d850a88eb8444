#pragma once
// The bookkeeping of reports kept for a later send: a report that did not
// go out (the send failed, or the user ended without sending) is kept with
// its attachments in a per-user folder and offered again at the next start.
//
// Layout of the queue folder, one folder per kept report:
//   NAME.part\   being written; a crash or full disk while writing leaves
//                it so, and it is never offered
//   NAME\        complete: renamed from NAME.part once every file is
//                written; holds "report.txt" (the report text), "entry.txt"
//                (the index below) and the attachments under stored names
// NAME is "yyyymmdd-hhmmss-PPPPPPPP-N" (local time, process id in hex,
// serial number), so that name order is age order.
//
// The index "entry.txt": the line "CorVAN unsent report 1", then one line
// per attachment "file<TAB>stored<TAB>send-as<TAB>field<TAB>zip", then
// "end". Lines end in CR LF. An index without its "end", with a line of
// another shape, or with a stored name that is not a plain file name
// makes the entry broken: it is skipped with a note and removed.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crash/core/SettingsVariables.h"

namespace corvan::crash {

inline constexpr std::string_view kKeptReportFile = "report.txt";
inline constexpr std::string_view kKeptIndexFile = "entry.txt";
inline constexpr std::string_view kPartialSuffix = ".part";

// One attachment of a kept report.
struct KeptFile {
  std::string stored;  // file name inside the entry's folder
  std::string sendAs, field, zip;
  bool operator==(const KeptFile&) const = default;
};

std::string KeptEntryName(const LocalTime& time, std::uint32_t processId, std::uint32_t serial);

enum class EntryState { Complete, Partial, Foreign };
// What a name found in the queue folder is; anything not made by
// KeptEntryName (with or without the partial suffix) is foreign and left
// alone.
EntryState ClassifyEntryName(std::string_view name);

// The stored name of the index-th attachment: its number, then its send-as
// name reduced to characters that are safe in a file name.
std::string StoredFileName(std::size_t index, std::string_view sendAs);

std::string FormatKeptIndex(const std::vector<KeptFile>& files);
// Nothing when the index is broken.
std::optional<std::vector<KeptFile>> ParseKeptIndex(std::string_view text);

struct QueueBounds {
  std::int64_t maxReports = 0;
  std::uint64_t maxBytes = 0;
};

struct ListedEntry {
  std::string name;  // complete entries only
  std::uint64_t bytes = 0;
};

// The entries to remove, oldest first, so that the rest holds at most
// maxReports entries of at most maxBytes together: the newest are kept up
// to the first that would break a bound, which goes with all older ones.
// An entry larger than maxBytes on its own goes even when it is the newest.
std::vector<std::string> EntriesOverBounds(std::vector<ListedEntry> entries, QueueBounds bounds);

}  // namespace corvan::crash

#ifdef _WIN32
#include <mutex>

#include "crash/core/SettingsLists.h"

namespace corvan::crash {

// The queue folder of this program for this user:
// %LOCALAPPDATA%\<executable name without extension>\unsent. Empty when
// the system names no such folder.
std::string UnsentQueueFolder();

// Held while a report is kept, marked sent or sent again, so that a report
// that went out never stays behind as a kept one.
std::unique_lock<std::mutex> LockUnsentQueue();

// Keeps text and the files that exist of attachments (absolute paths; an
// empty source stands for the report text itself) as a new entry, then removes the entries that
// break bounds. Returns the entry's name; empty when it could not be written completely (then
// nothing of it is left) or did not fit the bounds.
std::string KeepReport(const std::string& folder, const std::string& text,
                       const std::vector<AttachmentEntry>& attachments, QueueBounds bounds);

struct KeptReport {
  std::string name;
  std::string text;
  std::vector<AttachmentEntry> attachments;  // sources inside the entry
};
struct KeptReports {
  std::vector<KeptReport> reports;  // oldest first
  std::vector<std::string> notes;   // entries skipped, and why
};
// The complete entries of the folder. Broken ones are skipped with a note
// and removed; partial ones are skipped with a note and removed once they
// are a day old (younger ones may still be being written).
KeptReports ListKeptReports(const std::string& folder);

bool RemoveKeptReport(const std::string& folder, const std::string& name);
void RemoveKeptReports(const std::string& folder);

}  // namespace corvan::crash
#endif
