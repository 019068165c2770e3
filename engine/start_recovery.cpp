// What every start does before it asks the user anything: settle a
// hand-over an earlier run left unfinished, and refuse an install folder
// that is a link. Apart from the start sequence, so that the window can run
// it at program start too.
#include <string>
#include <vector>

#include "engine/app_context.h"
#include "engine/handover.h"
#include "engine/pipeline.h"
#include "platform/install_log.h"
#include "platform/text.h"
#include "platform/unattended.h"
#include "resources/version.h"

namespace {

// Lines of a recovery at program start, written into the run's log after
// its first two lines. UI thread only: written and read by the start
// sequence and the program's end, never by the worker.
std::vector<std::string> PendingRecoveryLines;

}  // namespace

std::vector<std::string> TakePendingRecoveryLines() {
  std::vector<std::string> lines;
  lines.swap(PendingRecoveryLines);
  return lines;
}

bool SettleEarlierHandOver(HWND owner) {
  const AppContext& ctx = GetAppContext();
  if (!ctx.unrepresentableProfile.empty()) return true;  // refused before anything else anyway
  const Recovery recovery = RecoverInterruptedHandOver(ctx.installDir, ctx.stagingDir);
  PendingRecoveryLines.insert(PendingRecoveryLines.end(), recovery.lines.begin(), recovery.lines.end());
  if (recovery.outcome != RecoveryOutcome::Unsettled) return true;
  // Nothing is deleted and nothing installed until it is settled; the log
  // (in the install folder, which is not a link) says what is in the way.
  if (!IsLinkOrFile(ctx.installDir) && !IsLinkOrFile(ctx.logDir)) {
    OpenInstallLog(ctx.logDir);
    WriteLog("Version: IE_" KAVIMOR_VERSION_TEXT);
    WriteLog(Gbk(u8"用户点击安装，安装开始...").c_str());
    for (const std::string& line : PendingRecoveryLines) WriteLog(line.c_str());
    WriteLog("Installation stopped: an earlier hand-over is not settled, nothing deleted");
    CloseInstallLog();
  }
  PendingRecoveryLines.clear();
  // Unattended, the log and the exit code say it; nobody is there to read a box.
  if (!UnattendedRun()) {
    MessageBoxW(owner, UnsettledHandOverMessage(ctx.languageId, recovery.installDir).c_str(),
                ReinstallPromptFor(ctx.languageId).caption, MB_OK | MB_ICONERROR);
  }
  return false;
}

void LogPendingRecoveryLines() {
  const AppContext& ctx = GetAppContext();
  if (PendingRecoveryLines.empty() || IsLinkOrFile(ctx.installDir) || IsLinkOrFile(ctx.logDir)) return;
  OpenInstallLog(ctx.logDir);
  WriteLog("Version: IE_" KAVIMOR_VERSION_TEXT);
  for (const std::string& line : PendingRecoveryLines) WriteLog(line.c_str());
  CloseInstallLog();
  PendingRecoveryLines.clear();
}

bool RefuseLinkedInstallFolder(const AppContext& ctx, HWND owner) {
  if (!IsLinkOrFile(ctx.installDir) && !IsLinkOrFile(ctx.logDir)) return false;
  if (!UnattendedRun()) {
    MessageBoxW(owner,
                LinkedInstallFolderMessage(ctx.languageId, WideFromCodePage(ctx.installDir, CP_ACP, 32768)).c_str(),
                ReinstallPromptFor(ctx.languageId).caption, MB_OK | MB_ICONERROR);
  }
  return true;
}

