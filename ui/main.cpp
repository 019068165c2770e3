// The installer program: prepares the process, shows the installer window,
// runs its message loop and releases what the run left behind.
#include <windows.h>

#include "ui/dll_search.h"
#include "ui/kavimor_dlg.h"
#include "ui/program_entry.h"
#include "ui/texts.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // Before anything can load a library by name.
  LimitDllSearchToSystemFolder();
  FixPathVariable();
  InitLanguageAndResources();
  {
    TKavimorDlg dlg;
    dlg.Create(L"TModalWnd", nullptr, WS_POPUP | WS_CLIPCHILDREN, WS_EX_TOPMOST);
    dlg.Initialise();
    dlg.running = true;
    ShowWindow(dlg.hwnd, SW_SHOWNA);
    dlg.PlaceWindow();
    RunMessageLoop(dlg);

    EndRunIfWorkerActive(dlg);
    DeleteObject(WhiteBrush);
    DeleteObject(Font20);
    DeleteObject(Font27);
  }  // the window object: bar, log, staging folder after a failure, engine
  return 0;
}
