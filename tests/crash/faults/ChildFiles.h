#pragma once
// Files the programs under test leave behind.
#include <fstream>
#include <sstream>
#include <string>

namespace corvan::test {

inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace corvan::test
