#include "window/window_double.h"

#include "engine/client.h"
#include "engine/messages.h"
#include "network/oss_sdk.h"

WindowDouble& WindowDouble::Get() {
  static WindowDouble instance;
  return instance;
}

StartOutcome StartInstallSequence(IClient&, HWND owner) {
  WindowDouble& d = WindowDouble::Get();
  ++d.startCalls;
  d.startOwner = owner;
  for (LPARAM percent : d.progressBeforeReturn) PostToMainWindow(WM_INSTALL_PROGRESS, percent);
  if (d.manifestFailsAfterReturn) PostToMainWindow(WM_INSTALL_FAILED, kStepManifest);
  return d.outcome;
}

void IClient::PrepareStorageAccess() { ++WindowDouble::Get().prepareCalls; }

void CreateStorageClient(IClient&) { ++WindowDouble::Get().createClientCalls; }

namespace AlibabaCloud::OSS {
void InitializeSdk() {}
void ShutdownSdk() {}
}  // namespace AlibabaCloud::OSS

