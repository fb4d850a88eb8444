#pragma once
// The installer window: choose 32 or 64 bit, download the UltraVNC setup
// program and run it. Created hidden at start-up, shown modally on demand;
// its controls keep their values between showings.
#include "ui/Buttons.h"
#include "ui/Form.h"
#include "ui/Label.h"

namespace corvan::app {

class TfrmInstallUltraVNC : public ui::TForm {
 public:
  enum ControlId : int {
    kBtnStartSetup = 201,
    kRdbtn32bit = 202,
    kRdbtn64bit = 203,
    kLblVersion = 204,
    kLblStatus = 205,
    kLblInfo = 206,
  };
  static constexpr char kClassName[] = "TfrmInstallUltraVNC";
  static constexpr int kClientWidth = 227;
  static constexpr int kClientHeight = 159;

  void Create();

 protected:
  void CreateControls() override;
  void FormCreate() override;

 private:
  ui::TLabel lblVersion;
  ui::TRadioButton rdbtn32bit;
  ui::TRadioButton rdbtn64bit;
  ui::TButton btnStartSetup;
  ui::TLabel lblStatus;
  ui::TLabel lblInfo;
};

}  // namespace corvan::app
