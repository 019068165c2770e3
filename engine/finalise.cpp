// The tail of the worker: once every package is unpacked in the staging
// folder, the staging tree replaces the install folder and the client is
// registered with Windows.
#include <windows.h>

#include <cstdio>
#include <string>

#include "engine/app_context.h"
#include "engine/client.h"
#include "engine/messages.h"
#include "platform/install_log.h"
#include "platform/process_ops.h"
#include "platform/shortcut.h"
#include "platform/text.h"
#include "platform/uninstall_entry.h"
#include "platform/url_protocol.h"

namespace {

void Progress(IClient& client, int32_t add) {
  client.progressPercent += add;
  PostToMainWindow(WM_INSTALL_PROGRESS, client.progressPercent);
}

// Moves the staging folder into the install folder's place. Fails when a
// folder of that name is still there (a file in it was in use) or when the
// two lie on different volumes.
bool MoveStagingIntoPlace(const std::string& stagingDir, const std::string& installDir) {
  // The folders are in the code page of the 8-bit calls that named them.
  const std::wstring from = WideFromCodePage(stagingDir, CP_ACP, 32768);
  const std::wstring to = WideFromCodePage(installDir, CP_ACP, 32768);
  if (from.empty() || to.empty()) return false;
  return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_COPY_ALLOWED) != FALSE;
}

enum class CopyResult { Copied, NotStarted, Incomplete };

// Copies the staging tree over what is left of the install folder with
// XCOPY, hidden and at idle priority, and waits for it.
CopyResult CopyStagingIntoPlace(const std::string& stagingDir, const std::string& installDir) {
  char command[1024] = {};
  const int length = std::snprintf(command, sizeof command,
                                   "cmd.exe /c XCOPY \"%s\" \"%s\\\" /S /E /Y /C",
                                   stagingDir.c_str(), installDir.c_str());
  if (length < 0 || static_cast<size_t>(length) >= sizeof command) {
    // A cut command line would copy from or into some other folder.
    WriteLog("Copy command longer than 1023 bytes, not started");
    return CopyResult::NotStarted;
  }

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, IDLE_PRIORITY_CLASS, nullptr,
                      nullptr, &startup, &process)) {
    char line[260] = {};
    std::snprintf(line, sizeof line, "Copy command could not be started, error %lu",
                  GetLastError());
    WriteLog(line);
    return CopyResult::NotStarted;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exitCode = 1;
  const BOOL haveCode = GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  if (!haveCode || exitCode != 0) {
    // XCOPY reports files it could not copy through its exit code; the
    // install folder is then incomplete and the staging tree is still needed.
    char line[260] = {};
    std::snprintf(line, sizeof line, "Copy command ended with exit code %lu", exitCode);
    WriteLog(line);
    return CopyResult::Incomplete;
  }
  return CopyResult::Copied;
}

bool IsFolder(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

void IClient::CleanupDownloads() {
  const std::string& staging = GetAppContext().stagingDir;
  DeletePath(staging + "/summary.ini");
  DeletePath(staging + "/depend.zip");
  DeletePath(staging + "/base.zip");
  DeletePath(staging + "/config.zip");
  DeletePath(staging + "/" + fixVersion + ".zip");
  // Also without a quant version: the name is then ".zip", which is absent.
  DeletePath(staging + "/" + quantVersion + ".zip");
}

unsigned RunFinalisation(IClient& client) {
  AppContext& ctx = GetAppContext();

  WriteLog(Gbk(u8"清理安装文件").c_str());
  PostToMainWindow(WM_INSTALL_STEP, kStepCleanup);
  client.CleanupDownloads();
  Sleep(100);

  WriteLog(Gbk(u8"保存更新版本信息").c_str());
  PostToMainWindow(WM_INSTALL_STEP, kStepSaveVersion);
  client.WriteVersionRecord();

  WriteLog(Gbk(u8"删除源文件").c_str());
  PostToMainWindow(WM_INSTALL_STEP, kStepDeleteOld);
  DeletePath(ctx.installDir);
  Progress(client, 5);
  Sleep(100);

  WriteLog(Gbk(u8"复制新版本数据到原目录").c_str());
  bool copied = false;
  if (!MoveStagingIntoPlace(ctx.stagingDir, ctx.installDir)) {
    if (CopyStagingIntoPlace(ctx.stagingDir, ctx.installDir) != CopyResult::Copied) {
      // The failure line goes out before the message: the window closes the
      // log when it sees WM_INSTALL_FAILED. The staging folder stays.
      WriteLog(Gbk(u8"安装失败：文件被占用").c_str());
      PostToMainWindow(WM_INSTALL_FAILED, kStepHandOver);
      return 0;
    }
    copied = true;
  }
  Progress(client, 4);
  if (copied) DeletePath(ctx.stagingDir);

  RegisterUninstallEntry(ctx.packageId, ctx.displayName, ctx.installDir, ctx.currentVersion);
  RegisterUrlProtocol(ctx.packageId, ctx.installDir);
  CreateDesktopShortcut(ctx.installDir, ctx.displayName, ctx.packageId);
  CloseInstallLog();

  // Without the config folder the configuration package brought no
  // settings; they stay unwritten rather than landing in a stray file.
  const std::string configDir = ctx.installDir + "\\config";
  if (IsFolder(configDir)) {
    WritePrivateProfileStringA("kavimor", "package", ctx.packageId.c_str(),
                               (configDir + "\\kavimor.Default.pub").c_str());
    char language[260] = {};
    std::snprintf(language, sizeof language, "%d", ctx.languageId);
    WritePrivateProfileStringA("kavimor", "language", language,
                               (configDir + "\\kavimor.Default.pri").c_str());
  }

  Progress(client, 1);
  PostToMainWindow(WM_INSTALL_DONE, 0);
  return 1;
}
