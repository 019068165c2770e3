// The installer program: prepares the process, shows the installer window
// (or, with /S, installs without one), runs its message loop and releases
// what the run left behind. The exit code says how the run ended
// (engine/exit_codes.h).
#include <windows.h>

#include "engine/app_context.h"
#include "engine/exit_codes.h"
#include "platform/handles.h"
#include "ui/command_line.h"
#include "ui/dll_search.h"
#include "ui/kavimor_dlg.h"
#include "ui/program_entry.h"
#include "ui/texts.h"
#include "ui/unattended_run.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR arguments, int) {
  // Before anything can load a library by name.
  LimitDllSearchToSystemFolder();
  // A line that cannot be used changes nothing: no folder, no log.
  const CommandLine line = ParseCommandLine(arguments != nullptr ? arguments : L"");
  if (!line.error.empty() || line.help) return ShowUsage(line, line.error);
  // Two copies would install into the same folder at once.
  if (BringRunningCopyForward(!line.silent)) return kExitAnotherCopyRunning;
  FixPathVariable();
  InitLanguageAndResources();
  if (line.language) ApplyLanguage(*line.language);
  GetAppContext().InitDirectoryLayout();
  std::wstring problem;
  if (!ApplyCommandLineFolders(line, problem)) return ShowUsage(line, problem);
  if (!line.layoutDir.empty()) return RunLayout(line);
  if (line.silent) return RunUnattended(line);
  int exitCode = kExitInstalled;
  {
    // Screen readers' calls to the window's accessible object arrive through
    // this thread's apartment.
    win::ComApartment apartment;
    TKavimorDlg dlg;
    dlg.Create(kMainWindowClass, nullptr, WS_POPUP | WS_CLIPCHILDREN, WS_EX_TOPMOST);
    dlg.Initialise();
    // The command line's folders replace the defaults Initialise laid out.
    ApplyCommandLineFolders(line, problem);
    dlg.localSource = SystemText(line.sourceDir);
    dlg.running = true;
    ShowMainWindow(dlg);
    RunMessageLoop(dlg);

    EndRunIfWorkerActive(dlg);
    exitCode = ExitCodeOfWindowRun(dlg);
    DeleteObject(WhiteBrush);
    DeleteObject(Font20);
    DeleteObject(Font27);
  }  // the window object: bar, log, staging folder after a failure, engine
  return exitCode;
}
