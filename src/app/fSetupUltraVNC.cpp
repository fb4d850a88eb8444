#include "app/fSetupUltraVNC.h"

#include <shellapi.h>

#include "app/SetupDownload.h"
#include "app/SetupSignature.h"
#include "app/VncServer.h"
#include "net/http/FileStream.h"
#include "ui/Application.h"
#include "ui/MessageDialogs.h"
#include "common/WinHandles.h"

namespace corvan::app {

std::string GetTempDirectory() {
  char buffer[260] = {};
  const DWORD n = GetTempPathA(sizeof buffer, buffer);
  return std::string(buffer, n < sizeof buffer ? n : 0);
}

void TfrmInstallUltraVNC::Create() {
  CreateForm(kClassName, "Installeer CorVAN", kClientWidth, kClientHeight);
}

void TfrmInstallUltraVNC::CreateControls() {
  // Tab order: start button, then the radio group.
  btnStartSetup.Create(*this, kBtnStartSetup, {8, 72, 193, 25}, "Start Installatie");
  rdbtn32bit.Create(*this, kRdbtn32bit, {80, 8, 113, 17}, "32 Bit", true);
  rdbtn64bit.Create(*this, kRdbtn64bit, {81, 31, 65, 17}, "64 Bit", false);
  lblVersion.Create(*this, kLblVersion, 8, 8, "Versie");
  lblStatus.Create(*this, kLblStatus, 8, 112, "Status : ", true);
  lblInfo.Create(*this, kLblInfo, 56, 112, "");
  rdbtn32bit.SetChecked(true);
  btnStartSetup.OnClick = [this] { btnStartSetupClick(); };

  // The download keeps the whole application responsive.
  HttpClient.Environment().ProcessMessages = [] { ui::Application().ProcessMessages(); };
  HttpClient.Environment().ApplicationTerminated = [] { return ui::Application().Terminated(); };
}

void TfrmInstallUltraVNC::FormCreate() {
  // The 64-bit setup on 64-bit Windows; a failing test leaves "32 Bit".
  if (IsWow64())
    rdbtn64bit.SetChecked(true);
  else
    rdbtn32bit.SetChecked(true);
}

void TfrmInstallUltraVNC::btnStartSetupClick() {
  btnStartSetup.SetEnabled(false);
  try {
    downloadOk_ = false;
    setupFilePath_.clear();
    DownloadSetup();
    if (downloadOk_) RunSetup();
  } catch (...) {
    // The button comes back; the window stays open for the error report.
    verifiedSetup_.reset();
    btnStartSetup.SetEnabled(true);
    throw;
  }
  verifiedSetup_.reset();
  btnStartSetup.SetEnabled(true);
  Close();
}

void TfrmInstallUltraVNC::DownloadSetup() {
  const SetupSource source = SetupSourceFor(rdbtn64bit.Checked());
  HttpClient.URL = source.url;
  setupFilePath_ = GetTempDirectory() + source.fileName;

  DownloadFacts facts;
  {
    http::TFileStream file(setupFilePath_);
    lblInfo.SetCaption("Bezig met ontvangen programma.");
    facts = DownloadInto(HttpClient, file);
  }
  const DownloadVerdict verdict = JudgeDownload(facts);
  lblInfo.SetCaption(verdict.info);
  downloadOk_ = verdict.ok;
  if (downloadOk_) VerifySetup();
  // What is not a setup program is not left where it could be run.
  if (!downloadOk_) DeleteFileA(setupFilePath_.c_str());
}

void TfrmInstallUltraVNC::VerifySetup() {
  // Whoever can change the traffic can change the file: only a setup
  // signed by its publisher runs. The handle that is checked is the one
  // held until the setup has started, so the file cannot change between.
  verifiedSetup_ = OpenSetupForCheck(setupFilePath_);
  const SignatureProblem problem =
      verifiedSetup_ ? JudgeSignature(ReadSignatureFacts(verifiedSetup_.get(), setupFilePath_))
                     : SignatureProblem::Unverifiable;
  if (problem == SignatureProblem::None) return;
  verifiedSetup_.reset();
  lblInfo.SetCaption(RefusalText(problem));
  downloadOk_ = false;
}

void TfrmInstallUltraVNC::RunSetup() {
  lblInfo.SetCaption("Bezig met installeren programma");
  SHELLEXECUTEINFOA info{};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS;
  info.hwnd = ui::Application().Handle();
  info.lpFile = setupFilePath_.c_str();
  info.lpParameters = "/silent";
  info.nShow = SW_SHOWNORMAL;
  const bool started = ShellExecuteExA(&info) != FALSE;
  verifiedSetup_.reset();
  if (!started) {
    ui::ShowPlainMessage("Kan Setup van Ultra VNC niet uitvoeren!");
    return;
  }
  ScopedHandle process(info.hProcess);
  // Waits on the process in short slices, keeping the windows painted; a
  // missing handle or a failing wait ends the wait as well.
  while (process && !ui::Application().Terminated()) {
    const DWORD result = MsgWaitForMultipleObjects(1, &info.hProcess, FALSE, 100, QS_ALLINPUT);
    if (result == WAIT_OBJECT_0 || result == WAIT_FAILED) break;
    ui::Application().ProcessMessages();
  }
  ui::ShowPlainMessage("De installatie is voltooid.");
}

}  // namespace corvan::app
