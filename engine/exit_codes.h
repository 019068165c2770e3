#pragma once
// The installer's process exit codes. 0 is a finished installation; 1 to 15
// are the failure codes of the install steps (engine/messages.h), so a
// failed step ends the process with the code its log line belongs to; the
// codes from 16 up are the installer's own. README.md lists the same table
// (the program tests compare the two).
#include <cstddef>

#include "platform/run_failure.h"

enum ExitCode : int {
  kExitInstalled = 0,
  // 1 to 15: the failure code of the step that failed.
  kExitManifestUnavailable = 16,    // the manifest could not be fetched or read
  kExitReleaseRefused = 17,         // the release (index, signature, an object) failed verification
  kExitProxyAuthentication = 18,    // the proxy asked for credentials that could not be given
  kExitClientRunning = 19,          // the client runs from the install folder, no /CLOSEAPPS
  kExitRecoveryNeedsAttention = 20, // an interrupted hand-over could not be settled
  kExitAnotherCopyRunning = 21,     // another copy of the installer runs in this session
  kExitUsageError = 22,             // an unknown or malformed switch, or an unusable value
  kExitNotStarted = 23,             // the installation could not start (no thread, folder refused)
};

struct ExitCodeRow {
  int code;
  const char* name;  // as README.md names it
};
// Every code the installer can end with, ascending.
extern const ExitCodeRow kExitCodeTable[];
extern const size_t kExitCodeCount;

// The exit code for a run that ended with WM_INSTALL_FAILED `failureCode`
// (0: the manifest): the noted failure's own code when there is one.
int ExitCodeForFailure(int failureCode);

// The exit code for a start sequence that ended without a worker (Started:
// kExitInstalled, the worker's last message decides). A manifest failure
// ends as it does through WM_INSTALL_FAILED.
enum class StartOutcome;
int ExitCodeForStartOutcome(StartOutcome outcome);
