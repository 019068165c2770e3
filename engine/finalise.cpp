// The tail of the worker: once every package is unpacked in the staging
// folder, the staging tree replaces the install folder and the client is
// registered with Windows.
#include <windows.h>

#include <cstdio>
#include <string>

#include "engine/app_context.h"
#include "engine/client.h"
#include "engine/handover.h"
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

}  // namespace

void IClient::CleanupDownloads() {
  const std::string& staging = GetAppContext().stagingDir;
  // Also without a quant version: the last name is then ".zip", which is absent.
  for (const std::string& name : DownloadFileNames()) DeletePath(staging + "/" + name);
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

  // The old installation stays whole until the new tree is in place: its
  // entries are renamed aside, the new ones renamed in, and only then is the
  // old tree deleted. A journal lets the next start finish or undo a swap
  // that a kill or power loss cut short.
  WriteLog(Gbk(u8"删除源文件").c_str());
  PostToMainWindow(WM_INSTALL_STEP, kStepDeleteOld);
  HandOver swap(ctx.installDir, ctx.stagingDir);
  bool placed = swap.MoveOldAside();
  Progress(client, 5);
  Sleep(100);

  WriteLog(Gbk(u8"复制新版本数据到原目录").c_str());
  placed = placed && swap.MoveNewIn();
  if (!placed) {
    // The failure line goes out before the message: the window closes the
    // log when it sees WM_INSTALL_FAILED.
    if (swap.RollBack()) {
      WriteLog(Gbk(u8"安装失败：文件被占用").c_str());
      PostToMainWindow(WM_INSTALL_FAILED, kStepHandOver);
    } else {
      // Not the clean failure: part of the old installation is still aside
      // (the journal says what), and the next start puts it back before it
      // does anything else.
      WriteLog(Gbk(u8"安装失败：旧版本未完全恢复").c_str());
      PostToMainWindow(WM_INSTALL_FAILED, kStepHandOverPartial);
    }
    return 0;
  }
  swap.Finish();
  // The release is installed: from now on nothing older is accepted.
  client.RecordInstalledRelease();
  Progress(client, 4);

  RegisterUninstallEntry(ctx.packageId, ctx.displayName, ctx.installDir, ctx.currentVersion);
  RegisterUrlProtocol(ctx.packageId, ctx.installDir);
  CreateDesktopShortcut(ctx.installDir, ctx.displayName, ctx.packageId);
  CloseInstallLog();

  // Without the config folder the configuration package brought no
  // settings; they stay unwritten rather than landing in a stray file.
  const std::string configDir = ctx.installDir + "\\config";
  if (IsFolder(WideFromCodePage(configDir, CP_ACP, 32768))) {
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
