#include "app/fCorvanNGmain.h"

#include "app/VncCommands.h"
#include "app/fSetupUltraVNC.h"
#include "ui/Application.h"
#include "ui/MessageDialogs.h"

namespace corvan::app {

void TfrmCorvanNG::Create() { CreateForm(kClassName, "CORVAN NG", kClientWidth, kClientHeight); }

void TfrmCorvanNG::CreateControls() {
  // Created in tab order: Tab visits the controls in creation order.
  edtID.Create(*this, kEdtID, 102, 162, 51);
  btnStartCorvan.Create(*this, kBtnStartCorvan, {8, 189, 92, 25}, "Start CorVAN");
  btnStopCorvan.Create(*this, kBtnStopCorvan, {137, 189, 97, 25}, "Stop CorVAN");
  chkReConnect.Create(*this, kChkReConnect, {159, 162, 157, 21}, "Reconnect");
  imgHelpdesk.Create(*this, kImgHelpdesk, {8, 8, 226, 148}, "HELPDESK", "Helpdesk");
  btnInstallVNC.Create(*this, kBtnInstallVNC, {8, 220, 226, 25}, "Installeer CorVAN");
  lblID.Create(*this, kLblID, 8, 162, "Helpdesk nummer");

  btnStartCorvan.OnClick = [this] { btnStartCorvanClick(); };
  btnStopCorvan.OnClick = [this] { btnStopCorvanClick(); };
  btnInstallVNC.OnClick = [this] { btnInstallVNCClick(); };
}

void TfrmCorvanNG::FormCreate() {
  // A failing WOW64 test is reported; the window is created all the same,
  // with no server path, so Start and Stop report the missing server.
  try {
    vncServer_.SetPath(ComputeVncServerPath());
  } catch (...) {
    ui::Application().HandleException(std::current_exception());
  }
}

void TfrmCorvanNG::btnStartCorvanClick() {
  const std::optional<int> number = edtID.Value();
  if (!number || !IsValidHelpdeskNumber(*number)) {
    ui::ShowErrorDialog("Vul een geldige Helpdesknummer in.");
    return;
  }
  StartVncSession();
}

void TfrmCorvanNG::StartVncSession() {
  if (!vncServer_.Installed()) {
    ui::ShowPlainMessage("Ultra VNC niet gevonden!!");
    return;
  }
  vncServer_.Kill();
  vncServer_.Run();
  // The number is read again, as typed now; the pauses above process no
  // messages, so it is the number that was checked.
  const std::optional<int> number = edtID.Value();
  if (!number || !IsValidHelpdeskNumber(*number)) {
    ui::ShowErrorDialog("Vul een geldige Helpdesknummer in.");
    return;
  }
  vncServer_.Connect(*number, chkReConnect.Checked());
}

void TfrmCorvanNG::btnStopCorvanClick() {
  if (!vncServer_.Installed()) {
    ui::ShowPlainMessage("Ultra VNC not installed !!");
    return;
  }
  vncServer_.Kill();
  Close();
}

void TfrmCorvanNG::btnInstallVNCClick() {
  if (installer_) installer_->ShowModal();
}

}  // namespace corvan::app
