#include "engine/exit_codes.h"

#include <iterator>

#include "engine/messages.h"
#include "engine/pipeline.h"

const ExitCodeRow kExitCodeTable[] = {
    {kExitInstalled, "installed"},
    {kStepDownloadDepend, "download-depend-failed"},
    {kStepDownloadBase, "download-base-failed"},
    {kStepDownloadConfig, "download-config-failed"},
    {kStepDownloadRuntime, "download-runtime-failed"},
    {kStepDownloadQuant, "download-quant-failed"},
    {kStepInstallDepend, "install-depend-failed"},
    {kStepInstallBase, "install-base-failed"},
    {kStepInstallConfig, "install-config-failed"},
    {kStepInstallRuntime, "install-runtime-failed"},
    {kStepInstallQuant, "install-quant-failed"},
    {kStepHandOver, "hand-over-failed"},
    {kStepClientMissing, "client-missing"},
    {kExitManifestUnavailable, "manifest-unavailable"},
    {kExitReleaseRefused, "release-refused"},
    {kExitProxyAuthentication, "proxy-authentication"},
    {kExitClientRunning, "client-running"},
    {kExitRecoveryNeedsAttention, "recovery-needs-attention"},
    {kExitAnotherCopyRunning, "another-copy-running"},
    {kExitUsageError, "usage-error"},
    {kExitNotStarted, "not-started"},
};
const size_t kExitCodeCount = std::size(kExitCodeTable);

int ExitCodeForFailure(int failureCode) {
  switch (NotedRunFailure()) {
    case RunFailure::ReleaseRefused:
      return kExitReleaseRefused;
    case RunFailure::ProxyAuthentication:
      return kExitProxyAuthentication;
    case RunFailure::None:
      break;
  }
  switch (failureCode) {
    // Step 0 is no installation step: a run whose manifest never came must
    // not end as if it had succeeded.
    case kStepManifest:
      return kExitManifestUnavailable;
    // A signed release that is older, conflicting or expired is refused
    // verification like a bad signature.
    case kStepReleaseOlder:
    case kStepReleaseConflict:
    case kStepReleaseExpired:
      return kExitReleaseRefused;
    // The old installation is back only in part: the next start must
    // finish restoring it, which is what the recovery code says.
    case kStepHandOverPartial:
      return kExitRecoveryNeedsAttention;
    default:
      return failureCode;
  }
}

int ExitCodeForStartOutcome(StartOutcome outcome) {
  switch (outcome) {
    case StartOutcome::Started:
      return kExitInstalled;
    case StartOutcome::ManifestFailed:
      return ExitCodeForFailure(kStepManifest);
    case StartOutcome::RecoveryNeedsAttention:
      return kExitRecoveryNeedsAttention;
    case StartOutcome::Declined:
    case StartOutcome::WorkerNotStarted:
      break;
  }
  return kExitNotStarted;
}
