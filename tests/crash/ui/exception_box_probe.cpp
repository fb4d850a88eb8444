// A program of ours that carries the crash reporter and raises one
// exception on request, so that the black-box dialog tests can drive the
// exception box as a user would and watch how the program ends.
//   exception_box_probe report                 the process report on stdout
//   exception_box_probe fault [Name=Value...]  settings changed, then a fault
// After a fault that the user continued, "continued" is printed and the
// program ends with 0. The first line is always "history N": the
// exceptions the process knows of at start-up (a restart hands them on).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "crash/core/ExceptionPipeline.h"
#include "crash/core/ProcessSettings.h"
#include "crash/core/zelExcept.h"

using namespace corvan::crash;

namespace {

void ApplySetting(ReporterSettings& settings, const std::string& assignment) {
  const std::size_t equals = assignment.find('=');
  if (equals == std::string::npos) return;
  const std::string name = assignment.substr(0, equals), value = assignment.substr(equals + 1);
  if (value == "true" || value == "false") {
    settings.SetBool(name, value == "true");
  } else if (!value.empty() && (isdigit(static_cast<unsigned char>(value[0])) || value[0] == '-')) {
    settings.SetInt(name, std::atoi(value.c_str()));
  } else {
    settings.SetStr(name, value);
  }
}

[[gnu::noinline]] void Fail() {
  throw std::runtime_error(
      "The probe failed on purpose while reading its input. Nothing was lost and the "
      "program can go on");
}

}  // namespace

int main(int argc, char** argv) {
  std::printf("history %d\n", RecentExceptionCount());
  std::fflush(stdout);
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "report") {
    const std::string report = BuildProcessReport(false);
    std::fwrite(report.data(), 1, report.size(), stdout);
    return 0;
  }
  if (command != "fault") return 3;
  Ref<ReporterSettings> settings = SettingsForModule(nullptr);
  for (int i = 2; i < argc && settings; ++i) ApplySetting(*settings, argv[i]);
  try {
    Fail();
  } catch (...) {
    SubmitException(FactsOf(std::current_exception(), ExceptionSource::HandleException));
  }
  std::printf("continued\n");
  std::fflush(stdout);
  return 0;
}
