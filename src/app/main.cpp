// Program entry: the application object, the main window and the hidden
// installer window, then the message loop until the main window closes.
#include <windows.h>
#include <commctrl.h>

#include "app/fCorvanNGmain.h"
#include "app/fSetupUltraVNC.h"
#include "ui/Application.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  try {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_UPDOWN_CLASS};
    InitCommonControlsEx(&controls);

    auto& application = corvan::ui::Application();
    application.Initialize(instance);
    application.SetTitle("CorVANNG");

    corvan::app::TfrmCorvanNG frmCorvanNG;
    frmCorvanNG.Create();
    corvan::app::TfrmInstallUltraVNC frmInstallUltraVNC;
    frmInstallUltraVNC.Create();
    frmCorvanNG.SetInstaller(&frmInstallUltraVNC);

    application.Run();
    return 0;
  } catch (...) {
    corvan::ui::Application().HandleException(std::current_exception());
    return 1;
  }
}
