#pragma once
#include <windows.h>

struct IClient;

// Outcome of the UI-thread half of an installation start.
enum class StartOutcome {
  Declined,        // the user cancelled the reinstall warning
  ManifestFailed,  // no thread could be started to fetch the manifest; the log is closed
  Started,         // a thread fetches the manifest, then runs RunInstall
};

// The start sequence on the UI thread: stops a client running from the
// install folder, asks before a reinstall (message box owned by `owner`),
// prepares the staging folder and the log, and starts the thread that
// fetches the manifest and goes on as the worker. The window applies the
// outcome to its own state; a manifest that cannot be fetched arrives later
// as WM_INSTALL_FAILED with kStepManifest, after the log has been closed.
StartOutcome StartInstallSequence(IClient& client, HWND owner);

// Thread procedure: FetchManifest, then RunInstall on the same thread.
unsigned __stdcall FetchManifestThenInstall(void* client);

// Worker thread procedure; the argument is the window's IClient. Returns 1
// after WM_INSTALL_DONE, 0 after WM_INSTALL_FAILED.
unsigned __stdcall RunInstall(void* client);

// The reinstall warning for a language: text and caption (UTF-16).
struct ReinstallPrompt {
  const wchar_t* text;
  const wchar_t* caption;
};
ReinstallPrompt ReinstallPromptFor(int languageId);
