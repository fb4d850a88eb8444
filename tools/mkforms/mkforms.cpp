// mkforms: writes an assistant form resource from its readable source file.
//   mkforms SOURCE.form OUTPUT.bin
// Source: one object per "object CLASS NAME" line, closed by "end"; between
// them "Property = value" lines and child objects. A value is true/false, a
// decimal integer, a quoted string (escapes \" \\ \r \n \t) or a bare
// identifier. "#" starts a comment line. Fails (exit code 1, messages on
// stderr as FILE:LINE: text) on any syntax error.
#include <charconv>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "crash/ui/FormStream.h"

namespace {

using corvan::crash::FormObject;
using corvan::crash::FormValue;

std::string Trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

bool QuotedString(const std::string& text, std::string& out) {
  if (text.size() < 2 || text.front() != '"' || text.back() != '"') return false;
  out.clear();
  for (std::size_t i = 1; i + 1 < text.size(); ++i) {
    char c = text[i];
    if (c == '"') return false;
    if (c == '\\') {
      if (i + 2 >= text.size()) return false;
      switch (text[++i]) {
        case '"':
          c = '"';
          break;
        case '\\':
          c = '\\';
          break;
        case 'r':
          c = '\r';
          break;
        case 'n':
          c = '\n';
          break;
        case 't':
          c = '\t';
          break;
        default:
          return false;
      }
    }
    out += c;
  }
  return true;
}

bool IsIdentifier(const std::string& text) {
  if (text.empty() || text.size() > 255) return false;
  for (char c : text) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '.';
    if (!ok) return false;
  }
  return !(text[0] >= '0' && text[0] <= '9');
}

bool ParseValue(const std::string& text, FormValue& value) {
  if (text == "true" || text == "false") {
    value = FormValue::Boolean(text == "true");
    return true;
  }
  std::string s;
  if (QuotedString(text, s)) {
    value = FormValue::String(s);
    return true;
  }
  std::int32_t n = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (!text.empty() && error == std::errc() && end == text.data() + text.size()) {
    value = FormValue::Integer(n);
    return true;
  }
  if (IsIdentifier(text)) {
    value = FormValue::Identifier(text);
    return true;
  }
  return false;
}

struct Error {
  int line;
  std::string message;
};

std::vector<FormObject> ParseSource(const std::string& text, std::vector<Error>& errors) {
  std::vector<FormObject> objects;
  std::vector<std::size_t> open;  // indexes of the objects not yet ended
  std::istringstream in(text);
  std::string raw;
  int line = 0;
  bool rootEnded = false;
  while (std::getline(in, raw)) {
    ++line;
    const std::string s = Trim(raw);
    if (s.empty() || s[0] == '#') continue;
    if (s.rfind("object ", 0) == 0) {
      std::istringstream words(s.substr(7));
      FormObject object;
      std::string extra;
      if (!(words >> object.className >> object.objectName) || (words >> extra) ||
          object.className.size() > 255 || object.objectName.size() > 255) {
        errors.push_back({line, "expected: object CLASS NAME"});
        continue;
      }
      if (rootEnded) errors.push_back({line, "a form has exactly one root object"});
      object.depth = static_cast<int>(open.size());
      objects.push_back(object);
      open.push_back(objects.size() - 1);
    } else if (s == "end") {
      if (open.empty()) {
        errors.push_back({line, "\"end\" without an object"});
      } else {
        open.pop_back();
        rootEnded = open.empty();
      }
    } else {
      const auto eq = s.find('=');
      const std::string name = eq == std::string::npos ? std::string() : Trim(s.substr(0, eq));
      FormValue value;
      if (!IsIdentifier(name)) {
        errors.push_back({line, "expected: Property = value"});
      } else if (open.empty()) {
        errors.push_back({line, "property outside an object"});
      } else if (!ParseValue(Trim(s.substr(eq + 1)), value)) {
        errors.push_back({line, "bad value of " + name});
      } else {
        objects[open.back()].properties.push_back({name, value});
      }
    }
  }
  if (!open.empty())
    errors.push_back({line, "object " + objects[open.back()].objectName + " has no \"end\""});
  if (objects.empty()) errors.push_back({line, "no object"});
  return objects;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: mkforms SOURCE.form OUTPUT.bin\n";
    return 2;
  }
  const std::string sourcePath = argv[1];
  std::ifstream in(sourcePath, std::ios::binary);
  if (!in) {
    std::cerr << sourcePath << ": cannot be read\n";
    return 1;
  }
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  std::vector<Error> errors;
  const auto objects = ParseSource(text, errors);
  for (const auto& e : errors)
    std::cerr << sourcePath << ":" << e.line << ": " << e.message << "\n";
  if (!errors.empty()) return 1;

  const auto bytes = corvan::crash::WriteFormStream(objects);
  const std::string outputPath = argv[2];
  std::ofstream out(outputPath, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) {
    std::cerr << outputPath << ": cannot be written\n";
    return 1;
  }
  return 0;
}
