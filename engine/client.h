#pragma once
// The install-engine record: object-store access data, the manifest values
// and the progress counters. It is a base of the main installer window; the
// worker thread receives a pointer to it and owns it once it runs.
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "archive/unpacked_contents.h"
#include "platform/handles.h"
#include "release/release_index.h"

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
  // The next release key during a key rotation (same form), or empty: an
  // index signed with either key is accepted.
  std::string nextReleaseKey;
  // What the signed release index of this run allows; read by
  // FetchManifest before anything else when releaseKey is set.
  ReleaseIndex releaseIndex;
  // Objects that passed the release check, by local path: each is held
  // open from its check to the end of its use (reading the manifest,
  // unpacking a package) without write or delete sharing, and what uses it
  // reads that very file. Only the thread that fetches the manifest and
  // goes on as the worker touches it; nothing else runs then.
  std::map<std::string, win::UniqueHandle> checkedObjects;
  // Everything the packages of this run unpacked, for the check of the
  // whole tree before the hand-over.
  UnpackedContents unpackedContents;
  // SHA-256 (hex) of this run's index bytes; recorded with its serial once
  // the release is installed.
  std::string releaseIndexDigest;
  // The failure code FetchManifest's caller posts when it returns false:
  // kStepManifest, or the refusal of a rolled-back, conflicting or expired
  // release.
  int32_t manifestFailure = 0;
  // The index and signature bytes as fetched (a layout keeps them).
  std::string releaseIndexBytes;
  std::string releaseSignatureBytes;
  // Non-empty: a layout folder (engine/layout.h) to take every object from
  // instead of the object store, checked against the layout's signed index
  // or, without a release key, its record. No network is used.
  std::string localSource;
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
  // With localSource: the object's file of the layout copied to localPath,
  // counted as a download (engine/layout.cpp).
  bool CopyLayoutObject(const std::string& key, const std::string& localPath);
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
  // The held file of a checked object, or null; releasing closes it.
  HANDLE CheckedPackage(const std::string& localPath) const {
    const auto found = checkedObjects.find(localPath);
    return found != checkedObjects.end() ? found->second.get() : nullptr;
  }
  void ReleaseCheckedPackage(const std::string& localPath) { checkedObjects.erase(localPath); }
  // The signed size of `key` while a release index is in force, else -1.
  int64_t SignedSize(const std::string& key) const;
  // After a successful hand-over: remembers this run's serial as the
  // highest installed one of the release line (nothing without a serial).
  void RecordInstalledRelease();
  // The name the installed serial is kept under: package identifier,
  // bucket and key prefix.
  std::string ReleaseLine() const;

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
