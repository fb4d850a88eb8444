#pragma once
// The installer window: choose 32 or 64 bit, download the UltraVNC setup
// program and run it. Created hidden at start-up, shown modally on demand;
// its controls keep their values between showings.
#include <string>

#include "net/http/NetHttpClient.h"
#include "ui/Buttons.h"
#include "ui/Form.h"
#include "ui/Label.h"
#include "common/WinHandles.h"

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

  // The whole run: download, then (when it succeeded) install.
  void btnStartSetupClick();
  bool DownloadOk() const { return downloadOk_; }
  const std::string& SetupFilePath() const { return setupFilePath_; }

 protected:
  void CreateControls() override;
  void FormCreate() override;

 private:
  void DownloadSetup();
  void VerifySetup();
  void RunSetup();

  ui::TLabel lblVersion;
  ui::TRadioButton rdbtn32bit;
  ui::TRadioButton rdbtn64bit;
  ui::TButton btnStartSetup;
  ui::TLabel lblStatus;
  ui::TLabel lblInfo;
  http::TNetHttpClient HttpClient;

  std::string setupFilePath_;
  bool downloadOk_ = false;
  // The verified setup, open for reading and closed to writers, renamers
  // and deleters, from its check until its process has started.
  ScopedHandle verifiedSetup_;
};

// The temporary folder, with its trailing backslash.
std::string GetTempDirectory();

}  // namespace corvan::app
