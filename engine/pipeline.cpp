#include "engine/pipeline.h"

#include <process.h>

#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "engine/app_context.h"
#include "engine/client.h"
#include "engine/handover.h"
#include "engine/messages.h"
#include "platform/handles.h"
#include "platform/install_log.h"
#include "platform/process_ops.h"
#include "platform/text.h"
#include "platform/unattended.h"
#include "resources/version.h"

ThreadStartFunction StartWorkerThread = _beginthreadex;

namespace {

void WriteStartLines() {
  WriteLog("Version: IE_" KAVIMOR_VERSION_TEXT);
  WriteLog(Gbk(u8"用户点击安装，安装开始...").c_str());
}

}  // namespace

StartOutcome StartInstallSequence(IClient& client, HWND owner) {
  AppContext& ctx = GetAppContext();
  // Folders named with '?' for characters the system's code page lacks
  // would be other folders: nothing is touched.
  if (RefuseUnrepresentableProfile(ctx, owner)) return StartOutcome::Declined;

  // An earlier run cut short inside its hand-over may have left the only
  // complete installation in the staging folder: that is settled first,
  // whatever the user answers below (the user may have picked another
  // install folder since the program started).
  if (!SettleEarlierHandOver(owner)) return StartOutcome::RecoveryNeedsAttention;
  if (RefuseLinkedInstallFolder(ctx, owner)) return StartOutcome::Declined;

  // Ask first: a user who cancels must keep the client they are working in.
  // Unattended, the reinstall goes ahead (the log says so below).
  const bool reinstall = GetFileAttributesA(ctx.installDir.c_str()) != INVALID_FILE_ATTRIBUTES;
  if (reinstall && !UnattendedRun()) {
    const ReinstallPrompt prompt = ReinstallPromptFor(ctx.languageId);
    if (MessageBoxW(owner, prompt.text, prompt.caption, MB_OKCANCEL) != IDOK)
      return StartOutcome::Declined;
  }

  const std::wstring clientExe = WideFromCodePage(kClientExeName, kGbkCodePage, 101);
  const bool clientStopped = UnattendedRun() && ClientRunsFrom(ctx.installDir, clientExe.c_str());
  KillRunningClient(ctx.installDir, clientExe.c_str());

  // Installations keep what they verified for the next one.
  client.usePackageCache = true;
  // Never through a link, and never while a hand-over journal still needs
  // what the staging folder holds.
  DeleteStagingIfSettled(ctx.installDir, ctx.stagingDir);
  CreateFolderPath(ctx.stagingDir + "\\");
  OpenInstallLog(ctx.logDir);
  if (owner != nullptr) UpdateWindow(owner);
  WriteStartLines();
  if (UnattendedRun()) {
    WriteLog(("Unattended installation, switches: " + UnattendedSwitches()).c_str());
    if (reinstall) WriteLog("Unattended: install folder exists, reinstall goes ahead");
    if (clientStopped) WriteLog("Unattended: client running from the install folder stopped (/CLOSEAPPS)");
  }
  for (const std::string& line : TakePendingRecoveryLines()) WriteLog(line.c_str());
  // The downloads go into the staging folder: it must be a real folder now.
  if (IsLinkOrFile(ctx.stagingDir)) {
    WriteLog(("Staging folder is not a real folder, not used: " + LogTextOfPath(ctx.stagingDir)).c_str());
    CloseInstallLog();
    return StartOutcome::WorkerNotStarted;
  }

  // The manifest transfer can take as long as the object store makes it
  // wait; on the UI thread that froze the window. One thread fetches it and
  // then goes on as the worker. Nobody waits for it; its handle is not needed.
  const uintptr_t thread = StartWorkerThread(nullptr, 0, FetchManifestThenInstall, &client, 0, nullptr);
  if (thread == 0) {
    char line[260] = {};
    std::snprintf(line, sizeof line, "Install thread not started, error %d", errno);
    WriteLog(line);
    CloseInstallLog();
    return StartOutcome::WorkerNotStarted;
  }
  CloseHandle(reinterpret_cast<HANDLE>(thread));
  return StartOutcome::Started;
}

unsigned __stdcall FetchManifestThenInstall(void* client) {
  // Unattended, the worker lives in COM's multithreaded apartment: what
  // runs COM on its behalf (the proxy's PAC script, the shortcut's link
  // object) then brings no window of COM's.
  std::optional<win::ComApartment> apartment;
  if (UnattendedRun()) apartment.emplace(win::ComApartment::Model::Multithreaded);
  IClient* const engine = static_cast<IClient*>(client);
  engine->manifestFailure = kStepManifest;
  if (!engine->FetchManifest()) {
    // The window shows the failure's step-name entry (0, or a refused
    // release's) with the failure suffix and closes the log again, which
    // does no harm.
    CloseInstallLog();
    PostToMainWindow(WM_INSTALL_FAILED, engine->manifestFailure);
    return 0;
  }
  return RunInstall(client);
}

namespace {

// One download or extraction step of the worker.
struct Step {
  int index;                   // posted with WM_INSTALL_STEP; also the failure code
  const char8_t* entryLine;    // written on entry
  const char8_t* failureLine;  // written before WM_INSTALL_FAILED
};

constexpr Step kDownloadDepend{kStepDownloadDepend, u8"下载前端依赖库", u8"下载前端依赖库失败"};
constexpr Step kDownloadBase{kStepDownloadBase, u8"下载服务依赖库", u8"下载服务依赖库失败"};
constexpr Step kDownloadConfig{kStepDownloadConfig, u8"下载配置文件", u8"下载配置文件失败"};
constexpr Step kDownloadRuntime{kStepDownloadRuntime, u8"下载运行库", u8"下载运行库失败"};
constexpr Step kDownloadQuant{kStepDownloadQuant, u8"下载Quant", u8"下载Quant 失败"};
constexpr Step kInstallDepend{kStepInstallDepend, u8"安装前端依赖库", u8"安装前端依赖库失败"};
constexpr Step kInstallBase{kStepInstallBase, u8"安装服务依赖库", u8"安装服务依赖库失败"};
constexpr Step kInstallRuntime{kStepInstallRuntime, u8"安装运行库", u8"安装运行库失败"};
constexpr Step kInstallConfig{kStepInstallConfig, u8"安装配置文件", u8"安装配置文件失败"};
constexpr Step kInstallQuant{kStepInstallQuant, u8"安装Quant运行库", u8"安装Quant运行库失败"};

// "%s.zip" of a version, through a zeroed 101-byte buffer.
std::string VersionFileName(const char* format, const char* version) {
  char name[101] = {};
  std::snprintf(name, sizeof name, format, version);
  return name;
}

class Worker {
 public:
  explicit Worker(IClient& client) : client_(client), ctx_(GetAppContext()) {}

  unsigned Run() {
    Sleep(100);
    // Written even when the dependency package is not wanted.
    WriteLog(Gbk(kDownloadDepend.entryLine).c_str());

    const std::string& staging = ctx_.stagingDir;
    const std::string& prefix = client_.remotePrefix;
    const std::string runtimeName = VersionFileName("%s.zip", client_.fixVersion);
    const std::string quantName = VersionFileName("%s.zip", client_.quantVersion);

    if (client_.wantDependPackage &&
        !Download(kDownloadDepend, false, [&] {
          return client_.DownloadObject(prefix + "/depend.zip", staging + "/depend.zip");
        }))
      return 0;
    if (!Download(kDownloadBase, true, [&] {
          return client_.DownloadObject(prefix + "/base.zip", staging + "/base.zip");
        }))
      return 0;
    if (!Download(kDownloadConfig, true, [&] {
          return client_.DownloadObject(prefix + "/config.zip", staging + "/config.zip");
        }))
      return 0;
    // The wrappers post their step themselves, just before the transfer.
    if (!Download(kDownloadRuntime, true, [&] { return client_.DownloadRuntimePackage(runtimeName); },
                  false))
      return 0;
    if (client_.hasQuant &&
        !Download(kDownloadQuant, true, [&] { return client_.DownloadQuantPackage(quantName); },
                  false))
      return 0;

    if (!Extract(kInstallDepend, staging + "/depend.zip", ctx_.dependBaseDir)) return 0;
    if (!Extract(kInstallBase, staging + "/base.zip", staging)) return 0;
    // Runtime before configuration: configuration files replace runtime
    // files of the same name.
    if (!Extract(kInstallRuntime, staging + VersionFileName("/%s.zip", client_.fixVersion), staging))
      return 0;
    if (!Extract(kInstallConfig, staging + "/config.zip", staging)) return 0;
    if (client_.hasQuant &&
        !Extract(kInstallQuant, staging + VersionFileName("/%s.zip", client_.quantVersion), staging))
      return 0;

    // Packages that unpacked without the client, or without any file they
    // hold (unless the user chose to skip it), would replace a working
    // installation with one that cannot start: stop before anything old
    // is touched.
    std::string incomplete;
    if (!client_.unpackedContents.Check(&incomplete)) {
      WriteLog(incomplete.c_str());
      PostToMainWindow(WM_INSTALL_FAILED, kStepClientMissing);
      return 0;
    }
    if (!TreeHoldsClient(staging)) {
      WriteLog((std::string("Client program missing from the unpacked packages: ") + kClientExeName).c_str());
      PostToMainWindow(WM_INSTALL_FAILED, kStepClientMissing);
      return 0;
    }

    // Everything of this release is verified and unpacked: the cache
    // keeps its objects and lets older ones go.
    client_.KeepOnlyThisReleaseInCache();
    return RunFinalisation(client_);
  }

 private:
  template <typename Action>
  bool Download(const Step& step, bool writeEntryLine, Action action, bool postStep = true) {
    if (writeEntryLine) WriteLog(Gbk(step.entryLine).c_str());
    if (postStep) PostToMainWindow(WM_INSTALL_STEP, step.index);
    if (action()) return true;
    Fail(step);
    return false;
  }

  bool Extract(const Step& step, const std::string& zipPath, const std::string& destDir) {
    WriteLog(Gbk(step.entryLine).c_str());
    PostToMainWindow(WM_INSTALL_STEP, step.index);
    if (!client_.ExtractPackage(zipPath, destDir)) {
      Fail(step);
      return false;
    }
    Sleep(100);
    return true;
  }

  // The failure line goes out before the message: the window closes the
  // log as soon as it sees WM_INSTALL_FAILED.
  void Fail(const Step& step) {
    // Checked packages not unpacked now never will be: let them go, so
    // that the staging folder can be removed at the end.
    client_.checkedObjects.clear();
    WriteLog(Gbk(step.failureLine).c_str());
    PostToMainWindow(WM_INSTALL_FAILED, step.index);
  }

  IClient& client_;
  const AppContext& ctx_;
};

}  // namespace

unsigned __stdcall RunInstall(void* client) {
  return Worker(*static_cast<IClient*>(client)).Run();
}
