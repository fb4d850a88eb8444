#include "crash/core/BugReportFile.h"

#include <algorithm>
#include <cstdlib>

namespace corvan::crash {
namespace {

constexpr std::string_view kReportStart = "\r\ndate/time";

// The start of the report that holds position: the file's start or the
// character after the line break in front of "date/time".
std::size_t ReportBegin(std::string_view text, std::size_t position) {
  const std::size_t at =
      position < 2 ? std::string_view::npos : text.rfind(kReportStart, position - 1);
  return at == std::string_view::npos ? 0 : at + 2;
}

std::size_t ReportEnd(std::string_view text, std::size_t position) {
  const std::size_t at = text.find(kReportStart, position);
  return at == std::string_view::npos ? text.size() : at + 2;
}

bool SameValue(std::string_view a, std::string_view b, std::string_view name) {
  return ExtractHeaderValue(a, name) == ExtractHeaderValue(b, name);
}

// Whether an older report in the file describes the same program build
// as the new one.
bool SameOrigin(std::string_view old, std::string_view report) {
  for (std::string_view name : {"executable", "current module", "exception class", "version"}) {
    if (!SameValue(old, report, name)) return false;
  }
  if (ExtractHeaderValue(old, "version").empty()) {
    return SameValue(old, report, "exec. date/time") && SameValue(old, report, "module date/time");
  }
  return true;
}

}  // namespace

std::string ExtractHeaderValue(std::string_view text, std::string_view name) {
  const std::string key = "\n" + std::string(name);
  const std::size_t at = text.find(key);
  if (at == std::string_view::npos) return {};
  std::size_t i = at + key.size();
  while (i < text.size() && text[i] == ' ') ++i;
  if (i >= text.size() || text[i] != ':') return {};
  i += 1;
  if (i < text.size() && text[i] == ' ') ++i;
  const std::size_t end = text.find_first_of("\r\n", i);
  return std::string(
      text.substr(i, end == std::string_view::npos ? std::string_view::npos : end - i));
}

std::string AddHeaderValue(std::string_view text, std::string_view name, std::string_view afterName,
                           std::string_view value) {
  const std::string key = "\n" + std::string(afterName);
  const std::size_t at = text.find(key);
  if (at == std::string_view::npos) return std::string(text);
  const std::size_t colon = text.find(':', at + key.size());
  const std::size_t lineEnd = text.find("\r\n", at + 1);
  if (colon == std::string_view::npos || (lineEnd != std::string_view::npos && colon > lineEnd)) {
    return std::string(text);
  }
  std::string line(name);
  if (line.size() < colon - at - 1) line.resize(colon - at - 1, ' ');
  line = "\r\n" + line + ": " + std::string(value);
  std::string out(text);
  out.insert(lineEnd == std::string_view::npos ? out.size() : lineEnd, line);
  return out;
}

std::string AppendReport(std::string content, std::string_view report,
                         const BugReportFileRules& rules) {
  std::string text(report);
  if (!rules.append) return text + "\r\n\r\n";
  const std::size_t openedSize = content.size();
  const std::string crc = ExtractHeaderValue(report, "callstack crc");
  if (!content.empty() && crc.size() == 31 && rules.noDuplicates) {
    const std::size_t keyLength = rules.duplicateDepth <= 0   ? 9
                                  : rules.duplicateDepth == 1 ? 20
                                                              : 31;
    const std::string needle = ": " + crc.substr(0, keyLength);
    std::size_t from = content.size();
    while (from > 0) {
      const std::size_t hit = content.rfind(needle, from - 1);
      if (hit == std::string::npos) break;
      const std::size_t begin = ReportBegin(content, hit);
      const std::size_t end = ReportEnd(content, hit);
      const std::string_view old(content.data() + begin, end - begin);
      if (SameOrigin(old, report)) {
        const std::string count = ExtractHeaderValue(old, "count");
        const long previous = count.empty() ? 1 : std::strtol(count.c_str(), nullptr, 10);
        text = AddHeaderValue(text, "count", "callstack crc", std::to_string(previous + 1));
        content.erase(begin, end - begin);
        break;
      }
      from = hit;
    }
  }
  if (rules.sizeLimit > 0 && openedSize > static_cast<std::size_t>(rules.sizeLimit)) {
    const std::size_t keep = static_cast<std::size_t>(rules.sizeLimit - rules.sizeLimit / 4);
    for (std::size_t p = content.find(kReportStart); p != std::string::npos;
         p = content.find(kReportStart, p + 1)) {
      if (content.size() - p < keep) {
        content.erase(0, p + 2);
        break;
      }
    }
  }
  return content + text + "\r\n\r\n";
}

std::string_view CommandLineArguments(std::string_view commandLine) {
  std::size_t end = 0;
  if (!commandLine.empty() && commandLine[0] == '"') {
    end = commandLine.find('"', 1);
    end = end == std::string_view::npos ? commandLine.size() : end + 1;
  } else {
    end = std::min(commandLine.find_first_of(" \t"), commandLine.size());
  }
  return commandLine.substr(end);
}

std::string RestartCommandLine(std::string_view modulePath, std::string_view commandLine) {
  return "\"" + std::string(modulePath) + "\"" + std::string(CommandLineArguments(commandLine));
}

}  // namespace corvan::crash
