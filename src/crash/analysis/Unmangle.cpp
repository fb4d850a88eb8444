#include "crash/analysis/Unmangle.h"

namespace corvan::crash {
namespace {

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

}  // namespace

bool UnmangleName(std::string& name, std::string& unit) {
  unit.clear();
  if (name.empty() || name[0] != '@') return false;
  ReplaceAll(name, "::", ".");

  // Template instances: "@%Outer$...%@Method$..." keeps ".Method".
  std::string suffix;
  if (name.size() > 1 && name[1] == '%') {
    const auto pair = name.rfind("%@");
    if (pair != std::string::npos && pair > 0) {
      suffix = "." + name.substr(pair + 2);
      suffix.erase(std::min(suffix.find('$'), suffix.size()));
    }
  }

  std::size_t start = 2;
  if (name.size() >= 7 && name.compare(0, 3, "@_$") == 0) {
    const auto marker = name.find("$@", 4);
    if (marker != std::string::npos) start = marker + 1;
  }

  bool sawDollar = false, destructor = false, haveUnit = false;
  for (std::size_t i = start; i < name.size(); ++i) {
    if (name[i] == '$') {
      sawDollar = true;
      destructor = i + 2 < name.size() && name[i + 2] == 'd';
      name.erase(i);
      name += suffix;
      break;
    }
    if (name[i] == '@') {
      name[i] = '.';
      if (!haveUnit) {
        haveUnit = true;
        unit = name.substr(1, i - 1);
      }
    }
  }

  if (haveUnit && name.size() > unit.size() + 2) {
    name.erase(0, unit.size() + 2);
  } else {
    unit.clear();
    if (sawDollar) name.erase(0, 1);
  }

  if (!name.empty() && name[0] == '%') name.erase(0, 1);
  if (!name.empty() && name[0] == '.') name[0] = '@';
  if (!name.empty() && name.back() == '.') name += destructor ? "Destroy" : "Create";
  while (!name.empty() && static_cast<unsigned char>(name.back()) <= ' ') name.pop_back();
  while (!name.empty() && static_cast<unsigned char>(name.front()) <= ' ') name.erase(0, 1);
  if (!name.empty() && name.back() == '.') name += '?';
  return true;
}

}  // namespace corvan::crash
