#include "crash/core/SettingsSource.h"

#include <cctype>
#include <charconv>
#include <set>

#include "crash/core/DefaultSettings.h"
#include "crash/core/DeliverySecurity.h"
#include "crash/core/MiniDump.h"

namespace corvan::crash {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

bool ValidName(std::string_view name) {
  if (name.empty() || name.size() > 255) return false;
  for (char c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  }
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Parses a quoted string; returns an error text or empty on success.
std::string ParseQuoted(std::string_view value, std::string& out) {
  if (value.size() < 2 || value.back() != '"') return "string without closing quote";
  value = value.substr(1, value.size() - 2);
  for (std::size_t i = 0; i < value.size(); ++i) {
    char c = value[i];
    if (c == '"') return "unescaped quote inside a string";
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++i == value.size()) return "string ends in a lone backslash";
    switch (value[i]) {
      case '"':
        out += '"';
        break;
      case '\\':
        out += '\\';
        break;
      case 'r':
        out += '\r';
        break;
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case 'x': {
        const int hi = i + 1 < value.size() ? HexDigit(value[i + 1]) : -1;
        const int lo = i + 2 < value.size() ? HexDigit(value[i + 2]) : -1;
        if (hi < 0 || lo < 0) return "\\x needs two hexadecimal digits";
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        break;
      }
      default:
        return std::string("unknown escape \\") + value[i];
    }
  }
  return {};
}

std::string ParseValue(std::string_view value, Setting& s) {
  if (value == "true" || value == "false") {
    s.type = SettingType::Boolean;
    s.boolValue = value == "true";
    return {};
  }
  if (!value.empty() && value.front() == '"') {
    s.type = SettingType::String;
    return ParseQuoted(value, s.strValue);
  }
  s.type = SettingType::Integer;
  const char* first = value.data();
  const char* last = value.data() + value.size();
  const auto [end, ec] = std::from_chars(first, last, s.intValue);
  if (value.empty() || ec != std::errc() || end != last) {
    return "value \"" + std::string(value) +
           "\" is neither true/false, a 32-bit integer nor a quoted string";
  }
  return {};
}

const char* TypeName(SettingType type) {
  switch (type) {
    case SettingType::Boolean:
      return "boolean";
    case SettingType::Integer:
      return "integer";
    case SettingType::String:
      return "string";
  }
  return "?";
}

}  // namespace

SettingsSource ParseSettingsSource(std::string_view text) {
  SettingsSource result;
  int lineNumber = 0;
  while (!text.empty()) {
    ++lineNumber;
    const auto newline = text.find('\n');
    std::string_view line = text.substr(0, newline);
    text = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);
    line = Trim(line);
    if (line.empty() || line.front() == '#') continue;
    const auto equals = line.find('=');
    if (equals == std::string_view::npos) {
      result.errors.push_back({lineNumber, "expected name = value"});
      continue;
    }
    Setting s;
    s.name = std::string(Trim(line.substr(0, equals)));
    if (!ValidName(s.name)) {
      result.errors.push_back({lineNumber, "invalid setting name \"" + s.name + "\""});
      continue;
    }
    std::string error = ParseValue(Trim(line.substr(equals + 1)), s);
    if (!error.empty()) {
      result.errors.push_back({lineNumber, s.name + ": " + error});
      continue;
    }
    result.settings.push_back(std::move(s));
  }
  return result;
}

std::vector<std::string> CheckSettingsAgainstDefaults(const std::vector<Setting>& settings) {
  std::vector<std::string> problems;
  std::set<std::string> seen;
  for (const Setting& s : settings) {
    if (!seen.insert(s.name).second) problems.push_back(s.name + " is set twice");
    if (const DefaultSetting* d = FindDefaultSetting(s.name)) {
      if (d->type != s.type) {
        problems.push_back(s.name + " must be " + TypeName(d->type) + ", not " + TypeName(s.type));
      } else if (s.name == "MiniDumpKind" && !ParseMiniDumpKind(s.strValue)) {
        problems.push_back("MiniDumpKind must be \"normal\" or \"with data segments\", not \"" +
                           s.strValue + "\"");
      } else if (s.name == "SmtpTls" && !ParseMailTls(s.strValue)) {
        problems.push_back(
            "SmtpTls must be \"auto\", \"starttls\", \"implicit\" or \"off\", not \"" + s.strValue +
            "\"");
      }
    } else if (IsExtraSettingKey(s.name)) {
      if (s.type != SettingType::String) problems.push_back(s.name + " must be a string");
    } else {
      problems.push_back(s.name + " is not a setting of the reporter");
    }
  }
  return problems;
}

}  // namespace corvan::crash
