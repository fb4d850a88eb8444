#include "app/fSetupUltraVNC.h"

#include "app/VncServer.h"

namespace corvan::app {

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
}

void TfrmInstallUltraVNC::FormCreate() {
  // The 64-bit setup on 64-bit Windows; a failing test leaves "32 Bit".
  if (IsWow64()) rdbtn64bit.SetChecked(true);
  else rdbtn32bit.SetChecked(true);
}

}  // namespace corvan::app
