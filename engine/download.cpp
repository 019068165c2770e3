// One object of the publishing bucket into one local file, with progress.
#include "engine/download.h"

#include <cstdio>
#include <memory>

#include "cache/package_cache.h"
#include "engine/app_context.h"
#include "engine/client.h"
#include "engine/messages.h"
#include "network/oss_sdk.h"
#include "platform/install_log.h"
#include "platform/process_ops.h"
#include "platform/run_failure.h"
#include "platform/text.h"
#include "platform/trusted_folder.h"

namespace OSS = AlibabaCloud::OSS;

int32_t DownloadPercent(int64_t transferred, int64_t total, int32_t finishedDownloads,
                        int32_t plannedDownloads) {
  // An answer without a usable length would divide by zero; the transfer
  // is then shown as its whole share rather than as nonsense.
  const double fraction =
      total > 0 ? static_cast<double>(transferred) / static_cast<double>(total) : 1.0;
  if (plannedDownloads <= 0) return 0;
  const double percent =
      (fraction + finishedDownloads) * (0.8 / plannedDownloads) * 100.0;
  return static_cast<int32_t>(percent);
}

void OnTransferProgress(size_t, int64_t transferred, int64_t total, void* userData) {
  IClient* client = static_cast<IClient*>(userData);
  if (client == nullptr) return;
  client->progressPercent =
      DownloadPercent(transferred, total, client->finishedDownloads, client->plannedDownloads);
  PostToMainWindow(WM_INSTALL_PROGRESS, static_cast<LPARAM>(client->progressPercent));
}

std::string DownloadFailureLine(const std::string& code, const std::string& message,
                                const std::string& requestId) {
  char line[2046] = {};
  // snprintf stops at the buffer's end; a very long message from the
  // service is cut there instead of overrunning the buffer.
  std::snprintf(line, sizeof line, "Downfile Fail,code:%s,message:%s,requestId:%s", code.c_str(),
                message.c_str(), requestId.c_str());
  return line;
}

bool NoteProxyRefusal(const std::string& code, const std::string& message) {
  if (code != "ClientError:" + std::to_string(OSS::kProxyAuthenticationRequired)) return false;
  WriteLog(message.c_str());
  NoteRunFailure(RunFailure::ProxyAuthentication);
  return true;
}

namespace {
// A server whose TLS connection was refused is not a missing object: the
// support engineer reading the log must see the reason first.
bool IsTlsRefusal(const std::string& code) {
  return code == "ClientError:" + std::to_string(OSS::kPeerFailedVerification) ||
         code == "ClientError:" + std::to_string(OSS::kSslConnectError);
}
}  // namespace

namespace {
// The cache folder of this install folder, made on first use. A folder
// someone else made or loosened is refused (logged once) and the run goes
// on without a cache.
bool OpenPackageCache(IClient& client) {
  if (!client.usePackageCache || client.packageCacheSwitchedOff) return false;
  if (!client.packageCacheOpened) {
    client.packageCacheOpened = true;
    const std::wstring installDir = WideFromCodePage(GetAppContext().installDir, CP_ACP, 32768);
    std::wstring folder;
    std::string why;
    if (!installDir.empty() &&
        trusted::EnsureTrustedFolder(PackageCacheFolderName(installDir), folder, why))
      client.packageCache = std::make_shared<cache::PackageCache>(folder);
    else
      WriteLog(("Package cache not used: " + why).c_str());
  }
  return client.packageCache != nullptr;
}
}  // namespace

std::wstring PackageCacheFolderName(const std::wstring& installDir) {
  // "cache-" and the hash of the install folder's state folder ("i-<hash>").
  return L"cache-" + trusted::InstallStateName(installDir).substr(2);
}

bool IClient::FetchThroughCache(const std::string& key, const std::string& localPath,
                                const cache::ObjectIdentity& id) {
  // A download that fails the signed index is thrown away and fetched
  // whole once more; a cached copy was checked against it already.
  for (int round = 0; round < 2; ++round) {
    cache::FetchReport report;
    OSS::OssError error;
    if (!cache::FetchObject(*ossClient, bucket, id, *packageCache, localPath,
                            OSS::TransferProgress{OnTransferProgress, this},
                            [](const std::string& line) { WriteLog(line.c_str()); }, report, error)) {
      WriteLog(DownloadFailureLine(error.Code(), error.Message(), error.RequestId()).c_str());
      return false;
    }
    WriteLog(cache::DescribeFetch(key, report).c_str());
    if (releaseKey.empty() || CheckReleaseObject(key, localPath)) {
      releaseKeys.insert(key);
      return true;
    }
    packageCache->Forget(key);
  }
  return false;
}

void IClient::KeepOnlyThisReleaseInCache() {
  if (packageCache) packageCache->KeepOnly(releaseKeys);
}

bool IClient::DownloadObject(const std::string& key, const std::string& localPath) {
  if (!localSource.empty()) {
    // Every object of a layout is checked: against the signed index with a
    // release key, else against the layout's own record.
    return CopyLayoutObject(key, localPath) && CheckReleaseObject(key, localPath);
  }
  // The existence check, with its error at hand (DoesObjectExist is this
  // very request without the error).
  const OSS::GetObjectMetaOutcome meta =
      ossClient != nullptr ? ossClient->GetObjectMeta(bucket, key) : OSS::GetObjectMetaOutcome();
  if (!meta.isSuccess()) {
    const OSS::OssError& error = meta.error();
    if (NoteProxyRefusal(error.Code(), error.Message())) return false;
    if (IsTlsRefusal(error.Code()))
      WriteLog(DownloadFailureLine(error.Code(), error.Message(), error.RequestId()).c_str());
    WriteLog((key + Gbk(u8",文件不存在")).c_str());
    return false;
  }

  if (OpenPackageCache(*this)) {
    cache::ObjectIdentity id;
    id.key = key;
    id.size = meta.result().ContentLength();
    id.eTag = meta.result().ETag();
    id.crc64 = meta.result().CRC64();
    const ReleaseObject* listed = releaseKey.empty() ? nullptr : releaseIndex.Find(key);
    if (listed != nullptr) id.sha256Hex = listed->sha256Hex;
    // Only an object whose HEAD gives its length and checksum can be
    // proven whole after a resume or taken from the cache. One whose length
    // is not the signed one takes the plain route below, which stops its
    // body at the signed size and says so.
    if (id.size >= 0 && meta.result().HasCRC64() &&
        (listed == nullptr || listed->size == static_cast<uint64_t>(id.size))) {
      CreateFolderPath(localPath);
      const bool fetched = FetchThroughCache(key, localPath, id);
      ++finishedDownloads;
      return fetched;
    }
  }

  OSS::GetObjectRequest request(bucket, key);
  const std::string* path = &localPath;
  bool streamMade = false;
  // No more is written than the release index signed for the object (or,
  // without one, than the existence check announced): a longer body ends
  // the transfer as soon as it passes that size.
  const int64_t signedSize = SignedSize(key);
  const int64_t bound = signedSize >= 0 ? signedSize : meta.result().ContentLength();
  // Set by any attempt's stream once released; shared, so that no stream
  // can outlive what it reports to.
  const auto passed = std::make_shared<bool>(false);
  request.setResponseStreamFactory([path, bound, passed, &streamMade]() -> std::shared_ptr<OSS::ResponseStream> {
    streamMade = true;
    return std::shared_ptr<OSS::BoundedFileStream>(new OSS::BoundedFileStream(*path, bound),
                                                   [passed](OSS::BoundedFileStream* stream) {
                                                     *passed = *passed || stream->Passed();
                                                     delete stream;
                                                   });
  });
  request.setTransferProgress(OSS::TransferProgress{OnTransferProgress, this});

  CreateFolderPath(localPath);
  bool success = false;
  {
    const OSS::GetObjectOutcome outcome = ossClient->GetObject(request);
    ++finishedDownloads;
    success = outcome.isSuccess();
    if (!success) {
      const OSS::OssError& error = outcome.error();
      if (!NoteProxyRefusal(error.Code(), error.Message()))
        WriteLog(DownloadFailureLine(error.Code(), error.Message(), error.RequestId()).c_str());
    }
  }  // the outcome holds the last reference to the file stream
  if (*passed) {
    WriteLog(("Download stopped,key:" + key + ",the body passed its " +
              (signedSize >= 0 ? "signed" : "announced") + " size of " + std::to_string(bound) + " bytes")
                 .c_str());
    // Whatever arrived is no part of the release.
    const std::wstring wide = WideFromCodePage(localPath, CP_ACP, 32768);
    if (!wide.empty()) DeleteFileW(wide.c_str());
    return false;
  }
  if (success && !streamMade) {
    // An empty object never reaches the stream factory; without this an
    // older file of the same name would pass for the download.
    success = OSS::FileStream(localPath).IsOpen();
    if (!success) WriteLog(DownloadFailureLine("FileError", "cannot create " + LogTextOfPath(localPath), "").c_str());
  }
  // With a release key nothing reaches the caller (and so the unpacking)
  // unless the signed release index lists it with these very bytes.
  if (success && !releaseKey.empty()) success = CheckReleaseObject(key, localPath);
  return success;
}

bool IClient::DownloadRuntimePackage(const std::string& fileName) {
  const std::string key = remotePrefix + "/fix/" + fileName;
  const std::string localPath = GetAppContext().stagingDir + "/" + fileName;
  PostToMainWindow(WM_INSTALL_STEP, kStepDownloadRuntime);
  return DownloadObject(key, localPath);
}

bool IClient::DownloadQuantPackage(const std::string& fileName) {
  const std::string key = remotePrefix + "/quant/" + fileName;
  const std::string localPath = GetAppContext().stagingDir + "/" + fileName;
  PostToMainWindow(WM_INSTALL_STEP, kStepDownloadQuant);
  return DownloadObject(key, localPath);
}
