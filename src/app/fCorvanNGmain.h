#pragma once
// The main window: helpdesk number, reconnect choice, and the buttons that
// start or stop the remote-help session or open the installer window.
#include "app/VncServer.h"
#include "ui/Buttons.h"
#include "ui/Form.h"
#include "ui/Label.h"
#include "ui/PictureFrame.h"
#include "ui/SpinEdit.h"

namespace corvan::app {

class TfrmInstallUltraVNC;

class TfrmCorvanNG : public ui::TForm {
 public:
  // Stable control ids, for accessibility tools and the end-to-end tests.
  enum ControlId : int {
    kEdtID = 101,
    kBtnStartCorvan = 102,
    kBtnStopCorvan = 103,
    kChkReConnect = 104,
    kImgHelpdesk = 105,
    kBtnInstallVNC = 106,
    kLblID = 107,
  };
  static constexpr char kClassName[] = "TfrmCorvanNG";
  static constexpr int kClientWidth = 240;
  static constexpr int kClientHeight = 250;

  void Create();
  void SetInstaller(TfrmInstallUltraVNC* installer) { installer_ = installer; }
  const std::string& VncServerPath() const { return vncServer_.Path(); }

  // Button handlers.
  void btnStartCorvanClick();
  void btnStopCorvanClick();
  void btnInstallVNCClick();

 protected:
  void CreateControls() override;
  void FormCreate() override;

 private:
  void StartVncSession();

  ui::TPictureFrame imgHelpdesk;
  ui::TLabel lblID;
  ui::TSpinEdit edtID;
  ui::TCheckBox chkReConnect;
  ui::TButton btnStartCorvan;
  ui::TButton btnStopCorvan;
  ui::TButton btnInstallVNC;

  TVncServer vncServer_;
  TfrmInstallUltraVNC* installer_ = nullptr;
};

}  // namespace corvan::app
