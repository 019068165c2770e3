#include "engine/layout.h"

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/app_context.h"
#include "engine/client.h"
#include "engine/download.h"
#include "engine/exit_codes.h"
#include "engine/manifest_values.h"
#include "engine/messages.h"
#include "platform/handles.h"
#include "platform/install_log.h"
#include "platform/process_ops.h"
#include "platform/text.h"
#include "release/release_crypto.h"
#include "release/release_index.h"

namespace {

bool WriteBytes(const std::string& path, const std::string& bytes) {
  CreateFolderPath(path);
  const std::wstring wide = WideFromCodePage(path, CP_ACP, 32768);
  win::UniqueHandle file(CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  if (!file) return false;
  DWORD written = 0;
  return WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size() && FlushFileBuffers(file.get());
}

}  // namespace

std::string ReadSmallFile(const std::string& path) {
  std::string bytes;
  const std::wstring wide = WideFromCodePage(path, CP_ACP, 32768);
  win::UniqueHandle file(CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return bytes;
  char chunk[65536];
  DWORD got = 0;
  while (bytes.size() <= kReleaseIndexMaxBytes && ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr) && got > 0)
    bytes.append(chunk, got);
  return bytes;
}

std::string LayoutFileOf(const std::string& folder, const std::string& key) {
  std::string path = folder + "\\" + key;
  std::replace(path.begin() + static_cast<std::ptrdiff_t>(folder.size()), path.end(), '/', '\\');
  return path;
}

int WriteLayout(IClient& client, const std::string& folder) {
  const std::string& prefix = client.remotePrefix;
  // The manifest first, through the same checks as an installation.
  std::vector<std::string> keys;
  if (!client.releaseKey.empty()) {
    if (!client.FetchReleaseIndex()) return kStepManifest;
    if (!WriteBytes(LayoutFileOf(folder, prefix + "/" + kReleaseIndexName), client.releaseIndexBytes) ||
        !WriteBytes(LayoutFileOf(folder, prefix + "/" + kReleaseSignatureName), client.releaseSignatureBytes)) {
      WriteLog(("Layout file cannot be written: " + LogTextOfPath(folder)).c_str());
      return kStepManifest;
    }
  }
  const std::string manifestKey = prefix + "/summary.ini";
  if (!client.DownloadObject(manifestKey, LayoutFileOf(folder, manifestKey))) return kStepManifest;
  ManifestValues values;
  std::string problem;
  if (!ReadManifest(ReadSmallFile(LayoutFileOf(folder, manifestKey)), GetAppContext().packageId, &values, &problem)) {
    WriteLog(problem.c_str());
    return kStepManifest;
  }
  keys.push_back(manifestKey);

  struct Package {
    int step;
    std::string key;
  };
  std::vector<Package> packages;
  if (client.wantDependPackage) packages.push_back({kStepDownloadDepend, prefix + "/depend.zip"});
  packages.push_back({kStepDownloadBase, prefix + "/base.zip"});
  packages.push_back({kStepDownloadConfig, prefix + "/config.zip"});
  packages.push_back({kStepDownloadRuntime, prefix + "/fix/" + values.fixVersion + ".zip"});
  if (!values.quantVersion.empty())
    packages.push_back({kStepDownloadQuant, prefix + "/quant/" + values.quantVersion + ".zip"});
  client.plannedDownloads = static_cast<int32_t>(packages.size()) + 1;
  for (const Package& package : packages) {
    PostToMainWindow(WM_INSTALL_STEP, package.step);
    if (!client.DownloadObject(package.key, LayoutFileOf(folder, package.key))) return package.step;
    keys.push_back(package.key);
  }

  // The record, in the release index's form (keys in ascending order).
  std::sort(keys.begin(), keys.end());
  std::string record = "kavimor-release-index 1\n";
  for (const std::string& key : keys) {
    std::string digest;
    uint64_t size = 0;
    if (!Sha256OfFile(LayoutFileOf(folder, key), &digest, &size)) {
      WriteLog(("Layout file cannot be read: " + key).c_str());
      return kStepManifest;
    }
    record += HexOf(digest) + " " + std::to_string(size) + " " + key + "\n";
  }
  if (!WriteBytes(folder + "\\" + kLayoutRecordName, record)) {
    WriteLog(("Layout file cannot be written: " + LogTextOfPath(folder)).c_str());
    return kStepManifest;
  }
  WriteLog(("Layout complete,objects:" + std::to_string(keys.size()) + ",folder:" + LogTextOfPath(folder)).c_str());
  return 0;
}

bool LoadLayoutRecord(IClient& client) {
  const std::string path = client.localSource + "\\" + kLayoutRecordName;
  const std::string text = ReadSmallFile(path);
  std::string error;
  if (text.empty() || !ReleaseIndex::Parse(text, &client.releaseIndex, &error)) {
    WriteLog(("Layout refused,record:" + LogTextOfPath(path) + "," + (text.empty() ? "missing" : error)).c_str());
    NoteRunFailure(RunFailure::ReleaseRefused);
    return false;
  }
  WriteLog(("Layout record read,objects:" + std::to_string(client.releaseIndex.size())).c_str());
  return true;
}

// An object of a layout folder copied to where the download would have put
// it, counted and reported as one whole transfer.
bool IClient::CopyLayoutObject(const std::string& key, const std::string& localPath) {
  const std::wstring source = WideFromCodePage(LayoutFileOf(localSource, key), CP_ACP, 32768);
  const std::wstring target = WideFromCodePage(localPath, CP_ACP, 32768);
  if (GetFileAttributesW(source.c_str()) == INVALID_FILE_ATTRIBUTES) {
    WriteLog((key + Gbk(u8",文件不存在")).c_str());
    return false;
  }
  CreateFolderPath(localPath);
  const bool copied = CopyFileW(source.c_str(), target.c_str(), FALSE) != FALSE;
  if (copied) OnTransferProgress(0, 1, 1, this);
  ++finishedDownloads;
  if (!copied) {
    WriteLog(DownloadFailureLine("FileError", "cannot copy " + LogTextOfPath(source) + " to " +
                                                  LogTextOfPath(localPath) + ",error " +
                                                  std::to_string(GetLastError()),
                                 "")
                 .c_str());
    return false;
  }
  return true;
}
