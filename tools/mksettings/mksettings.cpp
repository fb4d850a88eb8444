// mksettings: writes the crash reporter's binary settings resource from its
// readable source file.
//   mksettings SOURCE.txt OUTPUT.bin
// Fails (exit code 1, messages on stderr as FILE:LINE: text) on a syntax
// error, an unknown key or a value of the wrong kind. Clear-text SMTP and
// HTTP passwords are stored enciphered, as the reporter expects them.
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "crash/core/SettingsPassword.h"
#include "crash/core/SettingsSource.h"
#include "crash/core/SettingsStream.h"

namespace {

using corvan::crash::Setting;

std::string Value(const std::vector<Setting>& settings, const std::string& name) {
  for (const Setting& s : settings) {
    if (s.name == name) return s.strValue;
  }
  return {};
}

void EncipherPasswords(std::vector<Setting>& settings) {
  const char* keys[][3] = {{"SmtpPassword", "SmtpAccount", "SmtpServer"},
                           {"HttpPassword", "HttpAccount", "HttpServer"}};
  for (auto& key : keys) {
    for (Setting& s : settings) {
      if (s.name != key[0] || s.strValue.empty()) continue;
      s.strValue = corvan::crash::EncipherPassword(s.strValue, Value(settings, key[1]),
                                                   Value(settings, key[2]));
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: mksettings SOURCE.txt OUTPUT.bin\n";
    return 2;
  }
  const std::string sourcePath = argv[1];
  std::ifstream in(sourcePath, std::ios::binary);
  if (!in) {
    std::cerr << sourcePath << ": cannot be read\n";
    return 1;
  }
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  auto source = corvan::crash::ParseSettingsSource(text);
  for (const auto& e : source.errors)
    std::cerr << sourcePath << ":" << e.line << ": " << e.message << "\n";
  const auto problems = corvan::crash::CheckSettingsAgainstDefaults(source.settings);
  for (const auto& p : problems) std::cerr << sourcePath << ": " << p << "\n";
  if (!source.errors.empty() || !problems.empty()) return 1;

  EncipherPasswords(source.settings);
  const auto bytes = corvan::crash::WriteSettingsStream(source.settings);
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
