// Signed releases: the release index and its signature, fetched and checked
// before the manifest is read, and every downloaded object checked against
// the index before anything unpacks it. A failure is logged here; the
// caller's step fails as any failed download does.
#include <windows.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <memory>

#include "engine/app_context.h"
#include "engine/client.h"
#include "engine/download.h"
#include "engine/exit_codes.h"
#include "engine/layout.h"
#include "engine/messages.h"
#include "network/oss_sdk.h"
#include "platform/handles.h"
#include "platform/install_log.h"
#include "platform/release_record.h"
#include "platform/text.h"
#include "release/release_crypto.h"
#include "release/release_index.h"

namespace OSS = AlibabaCloud::OSS;

namespace {

// Keeps at most kReleaseIndexMaxBytes; a longer body fails its write, which
// ends the transfer, so a hostile answer cannot fill the memory.
class CappedStream final : public OSS::ResponseStream {
 public:
  bool Write(const char* data, size_t size) override {
    const size_t take = std::min(size, kReleaseIndexMaxBytes - data_.size());
    data_.append(data, take);
    return take == size;
  }
  const std::string& data() const { return data_; }

 private:
  std::string data_;
};

// A small object into memory. It is no package: no progress is posted and
// no download is counted, so the percentages stay those of the packages.
bool FetchSmallObject(const IClient& client, const std::string& key, std::string* body) {
  if (!client.localSource.empty()) {
    // From a layout: the file below its folder, at most what the network
    // would have been allowed to send.
    const std::string path = LayoutFileOf(client.localSource, key);
    if (GetFileAttributesW(WideFromCodePage(path, CP_ACP, 32768).c_str()) == INVALID_FILE_ATTRIBUTES) {
      WriteLog(("Release index fetch failed,key:" + key + ",not in the layout").c_str());
      NoteRunFailure(RunFailure::ReleaseRefused);
      return false;
    }
    *body = ReadSmallFile(path);
    return true;
  }
  if (client.ossClient == nullptr) {
    WriteLog(("Release index fetch failed,key:" + key + ",no object-store client").c_str());
    return false;
  }
  OSS::GetObjectRequest request(client.bucket, key);
  // The layer asks for a fresh stream on every attempt; the last one holds
  // the body.
  auto last = std::make_shared<std::shared_ptr<CappedStream>>();
  request.setResponseStreamFactory([last]() -> std::shared_ptr<OSS::ResponseStream> {
    *last = std::make_shared<CappedStream>();
    return *last;
  });
  const OSS::GetObjectOutcome outcome = client.ossClient->GetObject(request);
  if (!outcome.isSuccess()) {
    // A release without its index or signature is refused, not merely
    // unreachable.
    if (NoteProxyRefusal(outcome.error().Code(), outcome.error().Message())) return false;
    if (outcome.error().Code() == "NoSuchKey") NoteRunFailure(RunFailure::ReleaseRefused);
    WriteLog(("Release index fetch failed,key:" + key + ",code:" + outcome.error().Code() +
              ",message:" + outcome.error().Message())
                 .c_str());
    return false;
  }
  *body = *last ? (*last)->data() : std::string();
  return true;
}

void LogRejected(const std::string& key, const std::string& why) {
  NoteRunFailure(RunFailure::ReleaseRefused);
  WriteLog(("Release index rejected,key:" + key + "," + why).c_str());
}

// Local paths are in the system's code page, as the 8-bit calls named them.
void DeleteRejected(const std::string& localPath) {
  const std::wstring wide = WideFromCodePage(localPath, CP_ACP, 32768);
  if (!wide.empty()) DeleteFileW(wide.c_str());
}

std::string UtcNow() {
  SYSTEMTIME now{};
  GetSystemTime(&now);
  return UtcTimeText(now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
}

std::string SerialText(uint64_t serial) {
  char text[32] = {};
  std::snprintf(text, sizeof text, "%" PRIu64, serial);
  return text;
}

}  // namespace

std::string IClient::ReleaseLine() const { return GetAppContext().packageId + " " + bucket + "/" + remotePrefix; }

int64_t IClient::SignedSize(const std::string& key) const {
  if (releaseKey.empty()) return -1;
  const ReleaseObject* listed = releaseIndex.Find(key);
  return listed != nullptr ? static_cast<int64_t>(listed->size) : -1;
}

bool IClient::FetchReleaseIndex() {
  releaseIndex = ReleaseIndex();
  releaseIndexDigest.clear();
  const std::string indexKey = remotePrefix + "/" + kReleaseIndexName;
  const std::string signatureKey = remotePrefix + "/" + kReleaseSignatureName;
  std::string text;
  std::string signature;
  if (!FetchSmallObject(*this, indexKey, &text) || !FetchSmallObject(*this, signatureKey, &signature))
    return false;
  if (signature.size() != 64) {
    LogRejected(signatureKey, "signature of " + std::to_string(signature.size()) + " bytes, 64 expected");
    return false;
  }
  // During a key rotation the build knows the next key too; either may
  // have signed.
  const char* signer = nullptr;
  if (VerifyP256Signature(releaseKey, text, signature))
    signer = "current";
  else if (!nextReleaseKey.empty() && VerifyP256Signature(nextReleaseKey, text, signature))
    signer = "next";
  if (signer == nullptr) {
    LogRejected(indexKey, "signature does not verify with the release key");
    return false;
  }
  ReleaseIndex parsed;
  std::string error;
  if (!ReleaseIndex::Parse(text, &parsed, &error)) {
    LogRejected(indexKey, error);
    return false;
  }
  const std::string digest = HexOf(Sha256Of(text));

  // No going back: an older release, or other content under the installed
  // serial, is refused however well it is signed. A version-1 index has no
  // serial and is taken only where none has been recorded yet.
  ReleaseRecord installed;
  const RecordRead read = ReadReleaseRecord(ReleaseLine(), &installed);
  if (read == RecordRead::Unreadable) {
    WriteLog(("Release index refused,the installed release record is unreadable:HKLM\\" +
              std::string(kReleaseRecordKey) + "," + ReleaseLine())
                 .c_str());
    manifestFailure = kStepReleaseOlder;
    return false;
  }
  if (read == RecordRead::Found) {
    if (parsed.version() < 2) {
      WriteLog(("Release index refused,version 1 index without serial,installed serial:" +
                SerialText(installed.serial))
                   .c_str());
      manifestFailure = kStepReleaseOlder;
      return false;
    }
    if (parsed.serial() < installed.serial) {
      WriteLog(("Release index refused,serial:" + SerialText(parsed.serial()) +
                " is older than installed serial:" + SerialText(installed.serial))
                   .c_str());
      manifestFailure = kStepReleaseOlder;
      return false;
    }
    if (parsed.serial() == installed.serial && digest != installed.sha256Hex) {
      WriteLog(("Release index refused,serial:" + SerialText(parsed.serial()) + " equals installed serial:" +
                SerialText(installed.serial) + " with other content,sha256:" + digest +
                ",installed sha256:" + installed.sha256Hex)
                   .c_str());
      manifestFailure = kStepReleaseConflict;
      return false;
    }
  }
  // Nor standing still: an index past its expiry may be a replay that keeps
  // users on an old release.
  const std::string now = UtcNow();
  if (parsed.version() >= 2 && now >= parsed.expires()) {
    WriteLog(("Release index refused,expired:" + parsed.expires() + ",now:" + now).c_str());
    manifestFailure = kStepReleaseExpired;
    return false;
  }

  releaseIndex = std::move(parsed);
  releaseIndexDigest = digest;
  std::string line = "Release index verified,objects:" + std::to_string(releaseIndex.size());
  if (releaseIndex.version() >= 2)
    line += ",serial:" + SerialText(releaseIndex.serial()) + ",expires:" + releaseIndex.expires();
  else
    line += ",version 1 without serial";
  WriteLog((line + ",key:" + signer).c_str());
  releaseIndexBytes = text;
  releaseSignatureBytes = signature;
  return true;
}

void IClient::RecordInstalledRelease() {
  if (releaseKey.empty() || releaseIndex.serial() == 0) return;
  ReleaseRecord record;
  record.serial = releaseIndex.serial();
  record.sha256Hex = releaseIndexDigest;
  const std::string serial = SerialText(record.serial);
  WriteLog((WriteReleaseRecord(ReleaseLine(), record) ? "Release serial recorded,serial:" + serial
                                                       : "Release serial not recorded,serial:" + serial)
               .c_str());
}

bool IClient::CheckReleaseObject(const std::string& key, const std::string& localPath) {
  const ReleaseObject* listed = releaseIndex.Find(key);
  if (listed == nullptr) {
    WriteLog(("Release check failed,key:" + key + ",not in the release index").c_str());
    NoteRunFailure(RunFailure::ReleaseRefused);
    DeleteRejected(localPath);
    return false;
  }
  // Opened once, without write or delete sharing, hashed through this
  // handle and held until the file has been used: nobody can change,
  // replace or remove it between the check and its use.
  checkedObjects.erase(localPath);
  const std::wstring wide = WideFromCodePage(localPath, CP_ACP, 32768);
  win::UniqueHandle file(wide.empty() ? INVALID_HANDLE_VALUE
                                      : CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  std::string digest;
  uint64_t size = 0;
  if (!file || !Sha256OfOpenFile(file.get(), &digest, &size)) {
    WriteLog(("Release check failed,key:" + key + ",cannot read " + localPath).c_str());
    return false;
  }
  if (size == listed->size && HexOf(digest) == listed->sha256Hex) {
    checkedObjects[localPath] = std::move(file);
    return true;
  }
  file.reset();
  char line[512] = {};
  std::snprintf(line, sizeof line, "size:%" PRIu64 ",sha256:%s,expected size:%" PRIu64 ",sha256:%s",
                size, HexOf(digest).c_str(), listed->size, listed->sha256Hex.c_str());
  WriteLog(("Release check failed,key:" + key + "," + line).c_str());
  NoteRunFailure(RunFailure::ReleaseRefused);
  // Nothing may unpack it later by mistake.
  DeleteRejected(localPath);
  return false;
}
