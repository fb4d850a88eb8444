// bugreport.txt lies beside the program and may hold anything: merging a
// new report into it must work on any content, keep the new report whole
// when there is no size limit, and read header values only from the text.
// Input: four rule bytes, then the old content, a NUL byte and the report.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "crash/core/BugReportFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace corvan::crash;
  if (size < 4) return 0;
  BugReportFileRules rules;
  rules.append = data[0] & 1;
  rules.noDuplicates = data[0] & 2;
  rules.duplicateDepth = data[1] % 3;
  rules.sizeLimit = data[2] & 1 ? (data[3] << 4) : 0;
  const std::string_view rest(reinterpret_cast<const char*>(data + 4), size - 4);
  const std::size_t nul = rest.find('\0');
  const std::string content(rest.substr(0, nul));
  const std::string_view report =
      nul == std::string_view::npos ? std::string_view() : rest.substr(nul + 1);
  const std::string merged = AppendReport(content, report, rules);
  if (rules.sizeLimit == 0 && !rules.noDuplicates && merged.find(report) == std::string::npos) {
    std::abort();
  }
  const std::string value = ExtractHeaderValue(merged, "count");
  if (value.size() > merged.size()) std::abort();
  AddHeaderValue(report, "count", "date/time", "2");
  return 0;
}
