#pragma once
// The command line of this process without the program name.
#include <windows.h>

#include <string>

namespace corvan::e2e {

inline std::string CommandLineParameters() {
  const char* line = GetCommandLineA();
  if (*line == '"') {
    ++line;
    while (*line && *line != '"') ++line;
    if (*line == '"') ++line;
  } else {
    while (*line && *line != ' ' && *line != '\t') ++line;
  }
  while (*line == ' ' || *line == '\t') ++line;
  return line;
}

}  // namespace corvan::e2e
