#pragma once
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

struct IClient;
struct AppContext;

// Outcome of the UI-thread half of an installation start.
enum class StartOutcome {
  Declined,          // the user cancelled the reinstall warning, or the start was refused
  ManifestFailed,    // the manifest could not be fetched; the log is closed
  Started,           // a thread fetches the manifest, then runs RunInstall
  WorkerNotStarted,  // no thread could be started; the log is closed
  RecoveryNeedsAttention,  // an interrupted hand-over could not be settled; nothing deleted
};

// The start sequence on the UI thread: asks before a reinstall (message box
// owned by `owner`), stops a client running from the install folder, settles
// a hand-over an earlier run left unfinished, prepares the staging folder and
// the log, and starts the thread that fetches the manifest and goes on as the
// worker. The window applies the outcome to its own state; a manifest that
// cannot be fetched arrives later as WM_INSTALL_FAILED with kStepManifest,
// after the log has been closed.
StartOutcome StartInstallSequence(IClient& client, HWND owner);

// What a start does first, at program start and again before the reinstall
// warning: settles a hand-over an earlier run left unfinished for the
// context's install and staging folders. False when one cannot be settled
// (or its journal cannot be read or names other folders): then nothing has
// been deleted, the log says why, and a message box owned by `owner` asks
// the user to close what holds the folder and start again. The log lines of
// a recovery that settled are kept for the run's log. UI thread only.
bool SettleEarlierHandOver(HWND owner);
// The lines of a recovery no run has logged yet, handed over once.
std::vector<std::string> TakePendingRecoveryLines();
// Writes, in a log of their own, recovery lines that no run has logged
// (the program ends without an installation). UI thread only.
void LogPendingRecoveryLines();

// Refuses an install folder (or its log folder) that is a link or a file:
// nothing is installed through a link. Says so in a message box owned by
// `owner`; true when it refused.
bool RefuseLinkedInstallFolder(const AppContext& ctx, HWND owner);

// The runtime library's thread start, through which the start sequence
// starts the worker; replaceable so that a start that fails can be seen.
using ThreadStartFunction = uintptr_t (*)(void* security, unsigned stackSize,
                                          unsigned(__stdcall* procedure)(void*), void* argument,
                                          unsigned flags, unsigned* threadId);
extern ThreadStartFunction StartWorkerThread;

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

// The message of a start stopped by an earlier hand-over that could not be
// settled, naming its install folder, and of an install folder that is a
// link; in the language of `languageId`.
std::wstring UnsettledHandOverMessage(int languageId, const std::wstring& folder);
std::wstring LinkedInstallFolderMessage(int languageId, const std::wstring& folder);

// The message that refuses a folder the system's code page cannot represent,
// in the language of `languageId`.
std::wstring UnrepresentableFolderMessage(int languageId, const std::wstring& folder,
                                         unsigned codePage);

// When the profile base cannot be represented: says so in a message box
// owned by `owner` and, when the log folder is usable (the user picked
// another install folder), in the install log. True when it refused.
struct AppContext;
bool RefuseUnrepresentableProfile(const AppContext& ctx, HWND owner);
