#include "net/http/HttpHeaderText.h"

#include <cmath>
#include <cstdio>

namespace corvan::http {

bool IsHttpStatusLine(std::string_view line) {
  return line.starts_with("HTTP/1.0") || line.starts_with("HTTP/1.1");
}

std::optional<TStatusLine> ParseStatusLine(std::string_view line) {
  if (!IsHttpStatusLine(line)) return std::nullopt;
  TStatusLine status;
  status.version = std::string(line.substr(5, 3));
  std::size_t start = 9;
  while (start < line.size() && !(line[start] >= '0' && line[start] <= '9')) ++start;
  if (start + 3 > line.size()) return std::nullopt;
  int code = 0;
  for (std::size_t i = start; i < start + 3; ++i) {
    if (line[i] < '0' || line[i] > '9') return std::nullopt;
    code = code * 10 + (line[i] - '0');
  }
  status.statusCode = code;
  if (start + 4 < line.size()) status.reasonPhrase = std::string(line.substr(start + 4));
  return status;
}

std::string LowerCase(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

std::string Trim(std::string_view text) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return std::string(text);
}

std::optional<THeaderField> ParseHeaderField(std::string_view line) {
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  THeaderField field;
  field.name = LowerCase(line.substr(0, colon));
  std::string_view value = line.substr(colon + 1);
  while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
  field.value = std::string(value);
  return field;
}

std::optional<long long> ParseDecimal(std::string_view text) {
  const std::string trimmed = Trim(text);
  std::string_view digits = trimmed;
  bool negative = false;
  if (!digits.empty() && (digits.front() == '-' || digits.front() == '+')) {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty()) return std::nullopt;
  long long value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    if (value > (9223372036854775807LL - (c - '0')) / 10) return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return negative ? -value : value;
}

std::string DeriveDocName(std::string_view path) {
  path = path.substr(0, path.find('?'));
  if (path.empty() || path.back() == '/') return "document.htm";
  const std::size_t slash = path.rfind('/');
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  name = name.substr(0, 255);
  return std::string(name.substr(0, name.find('?')));
}

std::string HtmlDocName(std::string_view docName, std::string_view contentType) {
  const std::size_t dot = docName.rfind('.');
  const std::string extension = dot == std::string_view::npos ? "" : LowerCase(docName.substr(dot));
  if (contentType != "text/html" || (extension != ".exe" && !extension.empty())) {
    return std::string(docName);
  }
  if (dot == std::string_view::npos) return std::string(docName) + ".htm";
  return std::string(docName.substr(0, dot + 1)) + "htm";
}

std::string UrlDirPart(std::string_view path) {
  path = path.substr(0, path.find('?'));
  const std::size_t last = path.find_last_of("/:");
  return last == std::string_view::npos ? std::string() : std::string(path.substr(0, last + 1));
}

std::string FormatHttpDate(double dateTime) {
  static const char kDays[] = "MonTueWedThuFriSatSun";
  static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  // The whole part counts the days, also before day 0; the fraction, taken
  // without its sign, is the time of that day. The time is rounded to the
  // millisecond (the value's own precision) and then cut to whole seconds.
  const long long days = static_cast<long long>(std::trunc(dateTime));
  const long long weekday = (((days - 2) % 7) + 7) % 7;
  long long ms = std::llround(std::fabs(dateTime - static_cast<double>(days)) * 86400000.0);
  if (ms >= 86400000) ms = 86399999;
  const long long seconds = ms / 1000;
  // Civil date from the day count (1899-12-30 is day 0).
  long long z = days - 25569 + 719468;  // to days since 0000-03-01
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const long long doe = z - era * 146097;
  const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long long mp = (5 * doy + 2) / 153;
  const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  const int year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
  char text[64];
  std::snprintf(text, sizeof text, "%.3s, %2.2d %.3s %4.4d %2.2d:%2.2d:%2.2d GMT",
                kDays + weekday * 3, day, kMonths + (month - 1) * 3, year,
                static_cast<int>(seconds / 3600), static_cast<int>(seconds / 60 % 60),
                static_cast<int>(seconds % 60));
  return text;
}

}  // namespace corvan::http
