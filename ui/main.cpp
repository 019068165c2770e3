// The installer program: prepares the process, shows the installer window,
// runs its message loop and releases what the run left behind.
#include <windows.h>

#include "platform/handles.h"
#include "ui/dll_search.h"
#include "ui/kavimor_dlg.h"
#include "ui/program_entry.h"
#include "ui/texts.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // Before anything can load a library by name.
  LimitDllSearchToSystemFolder();
  // Two copies would install into the same folder at once.
  if (BringRunningCopyForward()) return 0;
  FixPathVariable();
  InitLanguageAndResources();
  {
    // Screen readers' calls to the window's accessible object arrive through
    // this thread's apartment.
    win::ComApartment apartment;
    TKavimorDlg dlg;
    dlg.Create(kMainWindowClass, nullptr, WS_POPUP | WS_CLIPCHILDREN, WS_EX_TOPMOST);
    dlg.Initialise();
    dlg.running = true;
    ShowMainWindow(dlg);
    RunMessageLoop(dlg);

    EndRunIfWorkerActive(dlg);
    DeleteObject(WhiteBrush);
    DeleteObject(Font20);
    DeleteObject(Font27);
  }  // the window object: bar, log, staging folder after a failure, engine
  return 0;
}
