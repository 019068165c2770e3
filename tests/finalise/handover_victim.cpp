// A process to kill in the middle of a hand-over: it runs the real
// finalisation over folders a test prepared and, at the chosen point,
// drops a marker file and waits to be terminated. Point 0 never stops.
//
//   handover_victim <point> <installDir> <stagingDir> <packageId> <displayName> <marker> [recover]
//
// With "recover" it runs a start's recovery instead (stopping at its point
// the same way). Exit status 0 after WM_INSTALL_DONE (or a recovery that
// settled), 1 after WM_INSTALL_FAILED (or one that did not), 2 on bad use.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/app_context.h"
#include "engine/client.h"
#include "engine/handover.h"
#include "platform/install_log.h"

namespace {

int StopAt = 0;
std::string Marker;

void Stop(HandOverPoint point) {
  if (static_cast<int>(point) != StopAt) return;
  if (FILE* file = std::fopen(Marker.c_str(), "wb")) std::fclose(file);
  Sleep(INFINITE);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7 && !(argc == 8 && std::string(argv[7]) == "recover")) return 2;
  StopAt = std::atoi(argv[1]);
  Marker = argv[6];
  AppContext& ctx = GetAppContext();
  ctx.installDir = argv[2];
  ctx.logDir = ctx.installDir + "\\kavimorlog";
  ctx.stagingDir = argv[3];
  ctx.packageId = argv[4];
  ctx.displayName = argv[5];
  ctx.languageId = 1041;
  SetHandOverCheckpoint(Stop);

  if (argc == 8)
    return RecoverInterruptedHandOver(ctx.installDir, ctx.stagingDir).outcome == RecoveryOutcome::Unsettled ? 1 : 0;

  auto* client = new IClient;  // as the window's: never destroyed before the process ends
  client->configStamp = 1700000000;
  std::snprintf(client->fixVersion, sizeof client->fixVersion, "9.5.1");
  client->progressPercent = 70;
  OpenInstallLog(GetAppContext().logDir);  // inside the install folder, held without sharing, as in a real run
  const unsigned result = RunFinalisation(*client);
  CloseInstallLog();
  return result == 1 ? 0 : 1;
}
