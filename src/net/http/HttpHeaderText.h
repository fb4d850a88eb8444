#pragma once
// Text rules of HTTP headers as the client reads and writes them: status
// lines, header fields, document names, relative paths and dates. Portable.
#include <optional>
#include <string>
#include <string_view>

namespace corvan::http {

struct TStatusLine {
  std::string version;  // "1.0" or "1.1"
  int statusCode = 0;
  std::string reasonPhrase;
};

// True when the line starts a response ("HTTP/1.0" or "HTTP/1.1").
bool IsHttpStatusLine(std::string_view line);
// The version, the three-digit code found from the tenth character on and
// the text behind it; none when there is no three-digit code.
std::optional<TStatusLine> ParseStatusLine(std::string_view line);

struct THeaderField {
  std::string name;   // lower case
  std::string value;  // leading blanks removed
};
// A line with a colon is a field; others give none.
std::optional<THeaderField> ParseHeaderField(std::string_view line);

std::string LowerCase(std::string_view text);
std::string Trim(std::string_view text);
// Whole decimal number (blanks around it allowed); none otherwise, also on
// overflow of 64 bits.
std::optional<long long> ParseDecimal(std::string_view text);

// File name of a request path: the last segment before any query, or
// "document.htm" for a folder.
std::string DeriveDocName(std::string_view path);
// Replaces the extension of a name (or appends one) with "htm", for HTML
// answers to requests of programs or extension-less names.
std::string HtmlDocName(std::string_view docName, std::string_view contentType);
// The path up to and including its last "/" or ":", before any query.
std::string UrlDirPart(std::string_view path);

// "Wed, 01 Jan 2020 10:20:30 GMT" from a day count since 1899-12-30 with
// the time as fraction (the date is taken as it is, no zone conversion).
std::string FormatHttpDate(double dateTime);

}  // namespace corvan::http
