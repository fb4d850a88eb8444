#include "crash/core/UnsentQueue.h"

#include <algorithm>
#include <cstdio>

namespace corvan::crash {
namespace {

constexpr std::string_view kIndexHeader = "CorVAN unsent report 1";
constexpr std::string_view kIndexEnd = "end";
constexpr std::string_view kFileTag = "file";

bool IsDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool IsLowerHex(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// No folders, devices or streams: the name stays inside the entry.
// Windows opens a device instead of a file for these names, also with an
// extension ("CON.txt") or blanks before it ("NUL .txt"); the digits of
// COM and LPT include the code page's superscripts 1, 2 and 3.
bool IsDeviceName(std::string_view name) {
  std::string base;
  for (const char c : name.substr(0, name.find('.'))) {
    base += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  while (!base.empty() && base.back() == ' ') base.pop_back();
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" || base == "CONIN$" ||
      base == "CONOUT$") {
    return true;
  }
  return base.size() == 4 && (base.starts_with("COM") || base.starts_with("LPT")) &&
         std::string_view("0123456789\xB9\xB2\xB3").find(base[3]) != std::string_view::npos;
}

bool IsPlainFileName(std::string_view name) {
  if (name.empty() || name == "." || name == ".." || IsDeviceName(name)) return false;
  // Windows drops trailing dots and blanks: "a." would open "a".
  if (name.back() == '.' || name.back() == ' ') return false;
  return std::none_of(name.begin(), name.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || std::string_view("\\/:*?\"<>|").find(c) != std::string_view::npos;
  });
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const std::size_t at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

// Tabs and line ends would break the index's lines.
std::string IndexField(std::string_view text) {
  std::string field(text);
  std::replace_if(
      field.begin(), field.end(), [](char c) { return c == '\t' || c == '\r' || c == '\n'; }, ' ');
  return field;
}

}  // namespace

std::string KeptEntryName(const LocalTime& time, std::uint32_t processId, std::uint32_t serial) {
  char name[64];
  std::snprintf(name, sizeof name, "%04d%02d%02d-%02d%02d%02d-%08x-%06u", time.year, time.month,
                time.day, time.hour, time.minute, time.second, static_cast<unsigned>(processId),
                static_cast<unsigned>(serial));
  return name;
}

EntryState ClassifyEntryName(std::string_view name) {
  EntryState state = EntryState::Complete;
  if (name.size() > kPartialSuffix.size() &&
      name.substr(name.size() - kPartialSuffix.size()) == kPartialSuffix) {
    name.remove_suffix(kPartialSuffix.size());
    state = EntryState::Partial;
  }
  const std::vector<std::string_view> parts = Split(name, '-');
  const bool ours = parts.size() == 4 && parts[0].size() == 8 && IsDigits(parts[0]) &&
                    parts[1].size() == 6 && IsDigits(parts[1]) && parts[2].size() == 8 &&
                    IsLowerHex(parts[2]) && parts[3].size() >= 6 && parts[3].size() <= 10 &&
                    IsDigits(parts[3]);
  return ours ? state : EntryState::Foreign;
}

std::string StoredFileName(std::size_t index, std::string_view sendAs) {
  std::string name = std::to_string(index) + "-";
  for (const char c : sendAs) {
    const auto byte = static_cast<unsigned char>(c);
    const bool safe =
        byte >= 0x20 && std::string_view("\\/:*?\"<>|").find(c) == std::string_view::npos;
    name += safe ? c : '_';
  }
  // Windows drops trailing dots and blanks from file names.
  while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.pop_back();
  return name;
}

std::string FormatKeptIndex(const std::vector<KeptFile>& files) {
  std::string text(kIndexHeader);
  text += "\r\n";
  for (const KeptFile& file : files) {
    text += std::string(kFileTag) + '\t' + IndexField(file.stored) + '\t' +
            IndexField(file.sendAs) + '\t' + IndexField(file.field) + '\t' + IndexField(file.zip) +
            "\r\n";
  }
  text += std::string(kIndexEnd) + "\r\n";
  return text;
}

std::optional<std::vector<KeptFile>> ParseKeptIndex(std::string_view text) {
  std::vector<std::string_view> lines = Split(text, '\n');
  for (std::string_view& line : lines) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  }
  // The last line end leaves one empty piece behind it.
  if (lines.size() < 3 || !lines.back().empty()) return std::nullopt;
  lines.pop_back();
  if (lines.front() != kIndexHeader || lines.back() != kIndexEnd) return std::nullopt;
  std::vector<KeptFile> files;
  for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
    // The writer never puts a control byte into a field (IndexField): one
    // there (a CR that would end a mail header) is someone else's doing.
    const bool control = std::any_of(lines[i].begin(), lines[i].end(), [](char c) {
      return static_cast<unsigned char>(c) < 0x20 && c != '\t';
    });
    const std::vector<std::string_view> fields = Split(lines[i], '\t');
    if (control || fields.size() != 5 || fields[0] != kFileTag || !IsPlainFileName(fields[1])) {
      return std::nullopt;
    }
    files.push_back({std::string(fields[1]), std::string(fields[2]), std::string(fields[3]),
                     std::string(fields[4])});
  }
  return files;
}

std::vector<std::string> EntriesOverBounds(std::vector<ListedEntry> entries, QueueBounds bounds) {
  std::sort(entries.begin(), entries.end(),
            [](const ListedEntry& a, const ListedEntry& b) { return a.name < b.name; });
  std::vector<std::string> dropped;
  // From the newest on, entries are kept until the first that does not
  // fit; it and everything older go. One too large on its own goes alone.
  std::int64_t kept = 0;
  std::uint64_t bytes = 0;
  bool full = false;
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    if (it->bytes > bounds.maxBytes) {
      dropped.push_back(it->name);
      continue;
    }
    full = full || kept >= bounds.maxReports || bytes > bounds.maxBytes - it->bytes;
    if (full) {
      dropped.push_back(it->name);
    } else {
      ++kept;
      bytes += it->bytes;
    }
  }
  std::reverse(dropped.begin(), dropped.end());
  return dropped;
}

}  // namespace corvan::crash
