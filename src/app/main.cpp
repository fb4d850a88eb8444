// Program entry: the crash handler process (or its start), the
// application object, the main window and the hidden installer window, the
// offer of bug reports earlier runs could not send, then the message loop
// until the main window closes.
#include <windows.h>
#include <commctrl.h>

#include "app/fCorvanNGmain.h"
#include "app/UnsentOffer.h"
#include "app/fSetupUltraVNC.h"
#include "crash/handler/CrashHandler.h"
#include "ui/Application.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  corvan::crash::ServeCrashHandler();
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
    corvan::app::OfferUnsentReports(frmCorvanNG.Handle(), application.Title());

    application.Run();
    return 0;
  } catch (...) {
    corvan::ui::Application().HandleException(std::current_exception());
    return 1;
  }
}
