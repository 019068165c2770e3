// Signed releases: the release index and its signature, fetched and checked
// before the manifest is read, and every downloaded object checked against
// the index before anything unpacks it. A failure is logged here; the
// caller's step fails as any failed download does.
#include <windows.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <memory>

#include "engine/client.h"
#include "engine/exit_codes.h"
#include "engine/layout.h"
#include "platform/install_log.h"
#include "platform/text.h"
#include "transfer/download.h"
#include "transfer/oss_sdk.h"
#include "transfer/release_crypto.h"
#include "transfer/release_index.h"

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

}  // namespace

bool IClient::FetchReleaseIndex() {
  releaseIndex = ReleaseIndex();
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
  if (!VerifyP256Signature(releaseKey, text, signature)) {
    LogRejected(indexKey, "signature does not verify with the release key");
    return false;
  }
  std::string error;
  if (!ReleaseIndex::Parse(text, &releaseIndex, &error)) {
    LogRejected(indexKey, error);
    return false;
  }
  releaseIndexBytes = text;
  releaseSignatureBytes = signature;
  WriteLog(("Release index verified,objects:" + std::to_string(releaseIndex.size())).c_str());
  return true;
}

bool IClient::CheckReleaseObject(const std::string& key, const std::string& localPath) {
  const ReleaseObject* listed = releaseIndex.Find(key);
  if (listed == nullptr) {
    WriteLog(("Release check failed,key:" + key + ",not in the release index").c_str());
    NoteRunFailure(RunFailure::ReleaseRefused);
    DeleteRejected(localPath);
    return false;
  }
  std::string digest;
  uint64_t size = 0;
  if (!Sha256OfFile(localPath, &digest, &size)) {
    WriteLog(("Release check failed,key:" + key + ",cannot read " + localPath).c_str());
    return false;
  }
  if (size == listed->size && HexOf(digest) == listed->sha256Hex) return true;
  char line[512] = {};
  std::snprintf(line, sizeof line, "size:%" PRIu64 ",sha256:%s,expected size:%" PRIu64 ",sha256:%s",
                size, HexOf(digest).c_str(), listed->size, listed->sha256Hex.c_str());
  WriteLog(("Release check failed,key:" + key + "," + line).c_str());
  NoteRunFailure(RunFailure::ReleaseRefused);
  // Nothing may unpack it later by mistake.
  DeleteRejected(localPath);
  return false;
}
