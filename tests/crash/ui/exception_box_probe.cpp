// A GUI program of ours that carries the crash reporter and raises one
// exception on request, so that the black-box dialog tests can drive the
// exception box as a user would and watch how the program ends.
//   exception_box_probe LOG report                 the process report into LOG
//   exception_box_probe LOG fault [Name=Value...]  settings changed, then a fault
//   exception_box_probe LOG offer [Name=Value...]  settings changed, then the
//                                                   start-up offer of kept reports
//   exception_box_probe LOG faults N [Name=Value...]  settings changed, then N
//                                                   faults, then waits (at most a
//                                                   minute) for the file LOG.quit
// Every start appends "history N" to LOG: the exceptions the process knows
// of at start-up (a restart hands them on). After a fault that the user
// continued, "continued" is appended and the program ends with 0. An
// action that follows a completed assistant is handled here: its code, the
// report's sender, the header fields and sections the forms added and the
// report's screenshot (size, whether it is sent, top-left colour) go to LOG.
// Its forms ProbeForm and ProbeOddForm name the two handlers below; the
// first logs its events and says so in the form. The offer logs "kept N",
// one "note ..." line per skipped kept report, and "offered" when it is done.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/UnsentOffer.h"
#include "crash/core/DefaultSettings.h"
#include "crash/core/ExceptionPipeline.h"
#include "crash/core/ExceptionReport.h"
#include "crash/core/ProcessSettings.h"
#include "crash/reporter/ReportDelivery.h"
#include "crash/core/zelExcept.h"
#include "crash/ui/zelNVAssistant.h"

using namespace corvan::crash;

namespace {

// Typed as the reporter declares the setting ("127.0.0.1" stays a text).
void ApplySetting(ReporterSettings& settings, const std::string& assignment) {
  const std::size_t equals = assignment.find('=');
  if (equals == std::string::npos) return;
  const std::string name = assignment.substr(0, equals), value = assignment.substr(equals + 1);
  const DefaultSetting* declared = FindDefaultSetting(name);
  const SettingType type = declared ? declared->type : SettingType::String;
  if (type == SettingType::Boolean) {
    settings.SetBool(name, value == "true");
  } else if (type == SettingType::Integer) {
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

const char* logPath = nullptr;
void Log(const char* path, const std::string& text) {
  if (FILE* f = std::fopen(path, "ab")) {
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
}

void LogAssisted(ReportAction action, ExceptionReport& report, bool& handled) {
  const int code = static_cast<int>(action);
  if (code < 3 || code > 5) return;
  handled = true;
  std::string text =
      "assisted " + std::to_string(code) + "\nMailFrom=" + report.GetStr("MailFrom") + "\n";
  for (const char* name : {"contact name", "contact email"}) {
    std::string value;
    if (report.Header()->ValueOf(name, value)) text += std::string(name) + "=" + value + "\n";
  }
  std::string details;
  if (report.Sections()->ValueOf("error details", details))
    text += "error details=" + details + "\n";
  if (Ref<INVBitmap> shot = report.Screenshot()) {
    // The picture's top-left pixel: rows are stored bottom-up after 54 bytes.
    const std::vector<std::uint8_t> bmp = shot->EncodeBmp();
    const int width = shot->GetWidth(), height = shot->GetHeight();
    const std::uint8_t* p = &bmp[54 + std::size_t(height - 1) * width * 4];
    char colour[8];
    std::snprintf(colour, sizeof colour, "%02x%02x%02x", p[2], p[1], p[0]);
    text += "screenshot " + std::to_string(width) + "x" + std::to_string(height) + " send " +
            (report.SendScreenshot() ? "yes" : "no") + " top-left " + colour + "\n";
  }
  Log(logPath, text);
}

}  // namespace

extern "C" [[gnu::used]] void __stdcall ProbeFormHandler(TNVForm& form, FormAction action,
                                                         TNVItem* item, void*) {
  Log(logPath ? logPath : "", form.Name() + " event " + std::to_string(static_cast<int>(action)) +
                                  (item ? " " + item->Name() : std::string()) + "\n");
  if (action == FormAction::Shown) {
    if (TNVItem* label = form.Find("StateLabel", ItemKind::Label))
      label->SetCaption("handled by the program");
  }
}

// The right arguments in the wrong convention: calling it with a form would
// unbalance the stack.
extern "C" [[gnu::used]] void ProbeCdeclHandler(TNVForm& form, FormAction, TNVItem*, void*) {
  Log(logPath ? logPath : "", form.Name() + " wrong handler called\n");
}

int main(int argc, char** argv) {
  if (argc < 3) return 3;
  const char* log = argv[1];
  Log(log, "history " + std::to_string(RecentExceptionCount()) + "\n");
  const std::string command = argv[2];
  if (command == "report") {
    Log(log, BuildProcessReport(false));
    return 0;
  }
  if (command != "fault" && command != "offer" && command != "faults") return 3;
  logPath = log;
  AddActionHandler(LogAssisted);
  // "faults" sends in the background: the program stays until told to go.
  const int faults = command == "faults" && argc > 3 ? std::atoi(argv[3]) : 1;
  const int firstSetting = command == "faults" ? 4 : 3;
  Ref<ReporterSettings> settings = SettingsForModule(GetModuleHandleA(nullptr));
  for (int i = firstSetting; i < argc && settings; ++i) ApplySetting(*settings, argv[i]);
  if (command == "offer") {
    const KeptReports kept = UnsentReportsToOffer();
    std::string text = "kept " + std::to_string(kept.reports.size()) + "\n";
    for (const std::string& note : kept.notes) text += "note " + note + "\n";
    Log(log, text);
    corvan::app::OfferUnsentReports(nullptr, "exception_box_probe");
    Log(log, "offered\n");
    return 0;
  }
  for (int i = 0; i < faults; ++i) {
    try {
      Fail();
    } catch (...) {
      SubmitException(FactsOf(std::current_exception(), ExceptionSource::HandleException));
    }
    Log(log, "continued\n");
  }
  if (command == "faults") {
    const std::string quit = std::string(log) + ".quit";
    for (int waited = 0;
         waited < 600 && GetFileAttributesA(quit.c_str()) == INVALID_FILE_ATTRIBUTES; ++waited)
      Sleep(100);
  }
  return 0;
}
