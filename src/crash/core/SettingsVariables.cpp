#include "crash/core/SettingsVariables.h"

#include <cstdio>
#include <optional>

#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

std::optional<std::string> Value(std::string_view name, const VariableValues& v,
                                 const ReportTexts* report) {
  const std::string n = LowerCase(name);
  if (n == "appname") return v.AppName();
  if (n == "modname") return v.ModName();
  if (n == "appversion") return v.AppVersion();
  if (n == "modversion") return v.ModVersion();
  if (n == "lf") return std::string("\r\n");
  if (n == "date") return DateText(v.Now());
  if (n == "time") return TimeText(v.Now());
  if (n == "datetime") {
    const LocalTime t = v.Now();
    return DateText(t) + ", " + TimeText(t);
  }
  if (n == "userappdata") return v.UserAppData();
  if (n == "commonappdata") return v.CommonAppData();
  if (report && n == "exceptmsg") {
    return report->exceptMsg.empty() ? std::string("Unknown") : std::string(report->exceptMsg);
  }
  if (report && n == "bugreport") return std::string(report->bugReport);
  return std::nullopt;
}

}  // namespace

std::string DateText(const LocalTime& t) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", t.year, t.month, t.day);
  return buffer;
}

std::string TimeText(const LocalTime& t) {
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d, %dms", t.hour, t.minute, t.second,
                t.millisecond);
  return buffer;
}

std::string ExpandVariables(std::string_view text, const VariableValues& values,
                            const ReportTexts* report) {
  std::string out;
  std::size_t at = 0;
  while (at < text.size()) {
    const auto open = text.find('%', at);
    if (open == std::string_view::npos) break;
    const auto close = text.find('%', open + 1);
    if (close == std::string_view::npos) break;
    if (auto value = Value(text.substr(open + 1, close - open - 1), values, report)) {
      out.append(text, at, open - at);
      out += *value;
      at = close + 1;
    } else {
      // Not a variable: keep the "%" and look for one starting at the next.
      out.append(text, at, close - at);
      at = close;
    }
  }
  out.append(text.substr(at));
  return out;
}

}  // namespace corvan::crash
