#pragma once
// Expansion of the variables in string settings ("%appname%", "%date%",
// ...). Names match in any letter case; each occurrence is replaced once,
// so a replacement text that itself contains "%...%" stays as it is.
#include <string>
#include <string_view>

namespace corvan::crash {

struct LocalTime {
  int year = 0, month = 0, day = 0;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};

// Where the values come from; asked only for the variables that occur.
class VariableValues {
 public:
  virtual std::string AppName() const = 0;     // executable file name
  virtual std::string ModName() const = 0;     // settings module file name
  virtual std::string AppVersion() const = 0;  // "?" when unknown
  virtual std::string ModVersion() const = 0;
  virtual LocalTime Now() const = 0;
  virtual std::string UserAppData() const = 0;  // without trailing backslash
  virtual std::string CommonAppData() const = 0;

 protected:
  ~VariableValues() = default;
};

// The texts of one report; without them "%exceptMsg%" and "%bugReport%"
// stay in the text.
struct ReportTexts {
  std::string_view exceptMsg;  // "Unknown" when empty
  std::string_view bugReport;
};

std::string ExpandVariables(std::string_view text, const VariableValues& values,
                            const ReportTexts* report = nullptr);

std::string DateText(const LocalTime& t);  // 2024-03-07
std::string TimeText(const LocalTime& t);  // 09:05:01, 7ms

}  // namespace corvan::crash
