#pragma once
// The install-engine record: object-store access data, the manifest values
// and the progress counters. It is a base of the main installer window; the
// worker thread receives a pointer to it and owns it once it runs.
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "transfer/release_index.h"

namespace AlibabaCloud::OSS {
class OssClient;
}
namespace cache {
class PackageCache;
struct ObjectIdentity;
}

struct IClient {
  std::string accessKeyId;
  std::string accessKeySecret;
  std::string endpoint;
  std::string bucket;
  std::string remotePrefix;
  AlibabaCloud::OSS::OssClient* ossClient = nullptr;
  int64_t configStamp = 0;
  char fixVersion[21] = {};
  char quantVersion[21] = {};
  bool wantDependPackage = false;
  int32_t plannedDownloads = 0;
  int32_t finishedDownloads = 0;
  int32_t progressPercent = 0;
  bool hasQuant = false;
  // The publisher's release key, the P-256 point X||Y (64 bytes), from the
  // build; empty: releases are not verified and nothing below is used.
  std::string releaseKey;
  // What the signed release index of this run allows; read by
  // FetchManifest before anything else when releaseKey is set.
  ReleaseIndex releaseIndex;
  // The package cache: the start sequence of an installation turns it on;
  // benchmarks switch it off to compare. Opened by the first download in
  // the trusted folder of the install folder; none when that is refused.
  bool usePackageCache = false;
  bool packageCacheSwitchedOff = false;
  bool packageCacheOpened = false;
  std::shared_ptr<cache::PackageCache> packageCache;
  std::set<std::string> releaseKeys;  // objects of this run, what the cache keeps

  IClient();
  // Shuts the object-store library down, then releases the strings.
  ~IClient();
  IClient(const IClient&) = delete;
  IClient& operator=(const IClient&) = delete;

  // Remote manifest and local version record.
  bool FetchManifest();
  void WriteVersionRecord();

  // Run-time credentials, endpoint, bucket and download counters.
  void PrepareStorageAccess();

  // One object into one local file, with progress.
  bool DownloadObject(const std::string& key, const std::string& localPath);
  bool DownloadRuntimePackage(const std::string& fileName);
  bool DownloadQuantPackage(const std::string& fileName);
  // DownloadObject with the cache on: reuse, resume or download, checked.
  bool FetchThroughCache(const std::string& key, const std::string& localPath,
                         const cache::ObjectIdentity& id);
  // After every package of the run unpacked: the cache forgets what this
  // release no longer has.
  void KeepOnlyThisReleaseInCache();

  // Signed releases (only with releaseKey): fetches the index and its
  // signature and checks them; checks one downloaded object against the
  // index (and deletes it when it does not match). Both log why they fail.
  bool FetchReleaseIndex();
  bool CheckReleaseObject(const std::string& key, const std::string& localPath);

  // One zip package into a folder.
  bool ExtractPackage(const std::string& zipPath, const std::string& destDir);

  // Deletes the downloaded files from the staging folder.
  void CleanupDownloads();
  // The local names of this run's downloads at the staging root, in the
  // order the clean-up deletes them (the last is ".zip" without a quant
  // version).
  std::vector<std::string> DownloadFileNames() const {
    return {"summary.ini", "depend.zip", "base.zip", "config.zip", std::string(fixVersion) + ".zip",
            std::string(quantVersion) + ".zip"};
  }
};

// Initialises the object-store library and creates `client.ossClient`.
void CreateStorageClient(IClient& client);

// Everything after the last extraction: clean-up, version record, hand-over
// of the staging tree, registrations, settings files. Posts exactly one of
// WM_INSTALL_DONE (returns 1) or WM_INSTALL_FAILED (returns 0).
unsigned RunFinalisation(IClient& client);
