#pragma once
// The install-engine record: object-store access data, the manifest values
// and the progress counters. It is a base of the main installer window; the
// worker thread receives a pointer to it and owns it once it runs.
#include <cstdint>
#include <string>
#include <vector>

#include "transfer/release_index.h"

namespace AlibabaCloud::OSS {
class OssClient;
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
  // The index and signature bytes as fetched (a layout keeps them).
  std::string releaseIndexBytes;
  std::string releaseSignatureBytes;
  // Non-empty: a layout folder (engine/layout.h) to take every object from
  // instead of the object store, checked against the layout's signed index
  // or, without a release key, its record. No network is used.
  std::string localSource;

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
