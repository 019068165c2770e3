#pragma once
#include <windows.h>

struct IClient;

// Outcome of the UI-thread half of an installation start.
enum class StartOutcome {
  Declined,        // the user cancelled the reinstall warning
  ManifestFailed,  // the manifest could not be fetched; the log is closed
  Started,         // the worker thread runs RunInstall
};

// The start sequence on the UI thread: stops a client running from the
// install folder, asks before a reinstall (message box owned by `owner`),
// prepares the staging folder and the log, fetches the manifest and starts
// the worker. The window applies the outcome to its own state.
StartOutcome StartInstallSequence(IClient& client, HWND owner);

// Worker thread procedure; the argument is the window's IClient. Returns 1
// after WM_INSTALL_DONE, 0 after WM_INSTALL_FAILED.
unsigned __stdcall RunInstall(void* client);

// The reinstall warning for a language: text and caption (UTF-16).
struct ReinstallPrompt {
  const wchar_t* text;
  const wchar_t* caption;
};
ReinstallPrompt ReinstallPromptFor(int languageId);
