#include "pipeline/pipeline_double.h"

#include <windows.h>

#include <cstring>
#include <fstream>

#include "engine/app_context.h"
#include "engine/client.h"
#include "engine/messages.h"
#include "network/oss_sdk.h"
#include "platform/install_log.h"
#include "platform/process_ops.h"
#include "platform/text.h"

PipelineDouble& PipelineDouble::Get() {
  static PipelineDouble instance;
  return instance;
}

namespace AlibabaCloud::OSS {
void InitializeSdk() {}
void ShutdownSdk() {}
}  // namespace AlibabaCloud::OSS

namespace {

void Progress(IClient& client, double fraction) {
  client.progressPercent = static_cast<int32_t>(
      (fraction + client.finishedDownloads) * (0.8 / client.plannedDownloads) * 100.0);
  PostToMainWindow(WM_INSTALL_PROGRESS, client.progressPercent);
}

}  // namespace

void IClient::KeepOnlyThisReleaseInCache() {}

bool IClient::DownloadObject(const std::string& key, const std::string& localPath) {
  PipelineDouble& d = PipelineDouble::Get();
  d.downloads.push_back(key + " -> " + localPath);
  if (d.missingKeys.count(key)) {
    WriteLog((key + Gbk(u8",文件不存在")).c_str());
    return false;
  }
  Progress(*this, 0.5);
  if (d.failingKeys.count(key)) {
    ++finishedDownloads;
    WriteLog("Downfile Fail,code:ClientError:200056,message:reset,requestId:");
    return false;
  }
  std::ofstream(localPath, std::ios::binary) << "zip";
  Progress(*this, 1.0);
  ++finishedDownloads;
  return true;
}

bool IClient::DownloadRuntimePackage(const std::string& fileName) {
  PostToMainWindow(WM_INSTALL_STEP, kStepDownloadRuntime);
  return DownloadObject(remotePrefix + "/fix/" + fileName, GetAppContext().stagingDir + "/" + fileName);
}

bool IClient::DownloadQuantPackage(const std::string& fileName) {
  PostToMainWindow(WM_INSTALL_STEP, kStepDownloadQuant);
  return DownloadObject(remotePrefix + "/quant/" + fileName, GetAppContext().stagingDir + "/" + fileName);
}

bool IClient::FetchManifest() {
  PipelineDouble& d = PipelineDouble::Get();
  if (d.manifestFails) {
    WriteLog((remotePrefix + "/summary.ini" + Gbk(u8",文件不存在")).c_str());
    return false;
  }
  if (!DownloadObject(remotePrefix + "/summary.ini", GetAppContext().stagingDir + "/summary.ini"))
    return false;
  std::memset(fixVersion, 0, sizeof fixVersion);
  std::memset(quantVersion, 0, sizeof quantVersion);
  d.fixVersion.copy(fixVersion, 20);
  d.quantVersion.copy(quantVersion, 20);
  hasQuant = quantVersion[0] != '\0';
  if (hasQuant) ++plannedDownloads;
  return true;
}

bool IClient::ExtractPackage(const std::string& zipPath, const std::string& destDir) {
  PipelineDouble& d = PipelineDouble::Get();
  if (GetFileAttributesA(zipPath.c_str()) == INVALID_FILE_ATTRIBUTES) return true;
  d.extractions.push_back(zipPath + " -> " + destDir);
  progressPercent = static_cast<int32_t>(10.0 / plannedDownloads + progressPercent);
  if (d.failingPackages.count(zipPath)) return false;
  unpackedContents.StartPackage();
  const std::string client = destDir + "\\" + kClientExeName;
  if (zipPath == GetAppContext().stagingDir + "/" + fixVersion + ".zip") {
    if (d.clientIsFolder) {
      CreateDirectoryA(client.c_str(), nullptr);
      unpackedContents.Record(WideFromCodePage(client, CP_ACP, 32768), kClientExeName, 0, true, false, 0);
    } else if (!d.runtimeLacksClient) {
      std::ofstream(client, std::ios::binary) << "client";
      unpackedContents.Record(WideFromCodePage(client, CP_ACP, 32768), kClientExeName, 6, false, false, 0);
    }
  }
  if (!d.lostFile.empty() && zipPath == GetAppContext().stagingDir + "/config.zip")
    unpackedContents.Record(WideFromCodePage(destDir + "\\" + d.lostFile, CP_ACP, 32768), d.lostFile, 5, false,
                            false, 0);
  PostToMainWindow(WM_INSTALL_PROGRESS, progressPercent);
  return true;
}

unsigned RunFinalisation(IClient& client) {
  WriteLog(Gbk(u8"清理安装文件").c_str());
  PostToMainWindow(WM_INSTALL_STEP, kStepCleanup);
  WriteLog(Gbk(u8"保存更新版本信息").c_str());
  PostToMainWindow(WM_INSTALL_STEP, kStepSaveVersion);
  WriteLog(Gbk(u8"删除源文件").c_str());
  PostToMainWindow(WM_INSTALL_STEP, kStepDeleteOld);
  client.progressPercent += 5;
  PostToMainWindow(WM_INSTALL_PROGRESS, client.progressPercent);
  WriteLog(Gbk(u8"复制新版本数据到原目录").c_str());
  if (PipelineDouble::Get().handOverFails) {
    WriteLog(Gbk(u8"安装失败：文件被占用").c_str());
    PostToMainWindow(WM_INSTALL_FAILED, kStepHandOver);
    return 0;
  }
  client.progressPercent += 4;
  PostToMainWindow(WM_INSTALL_PROGRESS, client.progressPercent);
  CloseInstallLog();
  client.progressPercent += 1;
  PostToMainWindow(WM_INSTALL_PROGRESS, client.progressPercent);
  PostToMainWindow(WM_INSTALL_DONE, 0);
  return 1;
}
