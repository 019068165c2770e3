#include "ui/unattended_run.h"

#include <windows.h>

#include <string>

#include "engine/app_context.h"
#include "engine/client.h"
#include "engine/exit_codes.h"
#include "engine/handover.h"
#include "engine/layout.h"
#include "engine/messages.h"
#include "engine/pipeline.h"
#include "platform/handles.h"
#include "platform/install_log.h"
#include "platform/process_ops.h"
#include "platform/text.h"
#include "platform/unattended.h"
#include "resources/version.h"
#include "ui/kavimor_dlg.h"

namespace {

// The switches as given, for the log (GBK; what GBK lacks shows as '?').
std::string SwitchesForLog(const CommandLine& line) {
  return NarrowToCodePage(line.arguments, kGbkCodePage, 8192);
}

void LogUnattendedRefusal(const std::string& line) {
  OpenInstallLog(GetAppContext().logDir);
  WriteLog(("Unattended installation, switches: " + UnattendedSwitches()).c_str());
  WriteLog(line.c_str());
  CloseInstallLog();
}

}  // namespace

bool ApplyCommandLineFolders(const CommandLine& line, std::wstring& problem) {
  AppContext& ctx = GetAppContext();
  if (!line.installDir.empty()) {
    const std::optional<std::string> folder = ExactlyInCodePage(line.installDir, SystemCodePage());
    if (!folder) {
      problem = L"The system's code page cannot represent the folder " + line.installDir;
      return false;
    }
    ctx.installDir = *folder;
    ctx.logDir = ctx.installDir + "\\kavimorlog";
  }
  for (const std::wstring* folder : {&line.sourceDir, &line.layoutDir}) {
    if (folder->empty()) continue;
    if (!ExactlyInCodePage(*folder, SystemCodePage())) {
      problem = L"The system's code page cannot represent the folder " + *folder;
      return false;
    }
  }
  if (!line.sourceDir.empty() && !IsFolder(line.sourceDir)) {
    problem = L"/SOURCE= names a folder that does not exist: " + line.sourceDir;
    return false;
  }
  if (!line.logCopy.empty()) {
    wchar_t full[32768] = {};
    const DWORD length = GetFullPathNameW(line.logCopy.c_str(), 32768, full, nullptr);
    std::wstring path(full, length < 32768 ? length : 0);
    const size_t slash = path.rfind(L'\\');
    if (path.empty() || slash == std::wstring::npos || !IsFolder(path.substr(0, slash + 1))) {
      problem = L"/LOG= names a file in a folder that does not exist: " + line.logCopy;
      return false;
    }
    SetInstallLogCopy(path);
  }
  return true;
}

int ShowUsage(const CommandLine& line, const std::wstring& problem) {
  const bool isError = !problem.empty();
  if (!line.silent) {
    MessageBoxW(nullptr, UsageText(problem).c_str(), L"Kavimor", MB_OK | (isError ? MB_ICONERROR : MB_ICONINFORMATION));
  }
  return isError ? kExitUsageError : kExitInstalled;
}

std::string SystemText(const std::wstring& folder) {
  return ExactlyInCodePage(folder, SystemCodePage()).value_or(std::string());
}

// The engine record of a run without the window, as the window prepares
// its own: object-store access, or the layout folder of /SOURCE=.
void PrepareClient(IClient& client, const CommandLine& line) {
  client.remotePrefix = "9.5KavimorIE";
  client.PrepareStorageAccess();
  CreateStorageClient(client);
  client.localSource = SystemText(line.sourceDir);
}

int RunLayout(const CommandLine& line) {
  SetUnattendedRun(SwitchesForLog(line));
  // The layout runs on this thread: the step messages it posts wait unread
  // in this thread's queue, and no window is made for them. In COM's
  // multithreaded apartment a PAC script brings no window of COM's either.
  const win::ComApartment apartment(win::ComApartment::Model::Multithreaded);
  IClient client;
  PrepareClient(client, line);
  const std::string folder = SystemText(line.layoutDir);
  // The layout's own log; the install folder is not touched.
  OpenInstallLog(folder + "\\kavimorlog");
  WriteLog("Version: IE_" KAVIMOR_VERSION_TEXT);
  WriteLog(("Layout of the release, switches: " + UnattendedSwitches()).c_str());
  const int failure = WriteLayout(client, folder);
  CloseInstallLog();
  return failure == 0 && NotedRunFailure() == RunFailure::None ? kExitInstalled : ExitCodeForFailure(failure);
}

int RunUnattended(const CommandLine& line) {
  AppContext& ctx = GetAppContext();
  SetUnattendedRun(SwitchesForLog(line));
  // No window of any kind: the worker's messages come to this thread.
  EngineMessageQueue engineMessages;

  IClient client;
  PrepareClient(client, line);

  const std::wstring clientExe = WideFromCodePage(kClientExeName, kGbkCodePage, 101);
  // With /CLOSEAPPS the start sequence stops it (and logs that).
  if (!line.closeApps && ClientRunsFrom(ctx.installDir, clientExe.c_str())) {
    LogUnattendedRefusal("Unattended: the client is running from the install folder and /CLOSEAPPS "
                         "was not given; nothing installed");
    return kExitClientRunning;
  }

  const StartOutcome outcome = StartInstallSequence(client, nullptr);
  if (outcome != StartOutcome::Started) return ExitCodeForStartOutcome(outcome);
  // Nothing on this thread runs a modal loop while the worker works (no
  // message box unattended), so no thread message is lost. A WM_QUIT from
  // outside does not cut the installation short.
  while (!engineMessages.WaitForLast()) {
  }

  if (engineMessages.last() == WM_INSTALL_DONE) return kExitInstalled;
  CloseInstallLog();
  // As after a failure shown in the window: the staging tree goes, unless
  // the hand-over began and the next start's recovery may need it.
  if (!HandOverBegun()) DeleteStagingIfSettled(ctx.installDir, ctx.stagingDir);
  return ExitCodeForFailure(static_cast<int>(engineMessages.lastParam()));
}

int ExitCodeOfWindowRun(const TKavimorDlg& dlg) {
  if (dlg.state != Failed) return kExitInstalled;
  return dlg.failureCode >= 0 ? ExitCodeForFailure(dlg.failureCode) : dlg.ownExitCode;
}
