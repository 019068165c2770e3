#pragma once
// Fetching an object so that an update costs what changed: the last
// verified copy of every object of the installed release is kept in a
// folder only administrators can write, and a repeat install reuses it once
// the object store's HEAD says it is unchanged (size, ETag and CRC-64; with
// a signed release also its SHA-256). A download that breaks off is kept
// beside it with its ETag, the length it reached and the CRC-64 of that
// prefix, and is continued with "Range: bytes=N-" and If-Range, within the
// run and at the next start. Whatever way the bytes came, the object is
// checked whole (CRC-64, and SHA-256 when given) before anyone sees it; a
// mismatch throws it away and fetches it whole once more.
//
// This unit knows nothing of the installer above it: the caller hands in
// the client, the progress record and a sink for its log lines.
#include <cstdint>
#include <functional>
#include <set>
#include <string>

#include "network/oss_sdk.h"

namespace cache {

namespace OSS = AlibabaCloud::OSS;

// What identifies one version of an object.
struct ObjectIdentity {
  std::string key;
  int64_t size = -1;
  std::string eTag;
  uint64_t crc64 = 0;
  std::string sha256Hex;  // lower-case hex; empty when the release is not signed
};

// One cache folder (a trusted folder the caller made). Files per object,
// named by a hash of its key: <h>.pkg the verified copy, <h>.rec what it is,
// <h>.part a partial download, <h>.resume how far the partial is good.
class PackageCache {
 public:
  explicit PackageCache(std::wstring folder) : folder_(std::move(folder)) {}
  const std::wstring& folder() const { return folder_; }
  std::wstring PathOf(const std::string& key, const wchar_t* suffix) const;

  // A verified copy of another version of a zip package: the same key's
  // older content, or in a version folder ("<prefix>/fix/") a sibling.
  // What a new version can be built from.
  bool FindOlder(const ObjectIdentity& id, ObjectIdentity& older) const;
  // Forgets one object: its copy, record and partial download.
  void Forget(const std::string& key) const;
  // Forgets everything but the objects of `keep` (complete copies and
  // partials alike).
  void KeepOnly(const std::set<std::string>& keep) const;

 private:
  std::wstring folder_;
};

struct FetchOptions {
  // Bytes between two updates of the resume record.
  int64_t checkpointBytes = 8 << 20;
};

// How FetchObject got the object, for its log line.
struct FetchReport {
  enum class Way { Reused, Resumed, Ranges, Whole } way = Way::Whole;
  int64_t resumedFrom = 0;
  int64_t rangesFetched = 0;  // requests for the bytes an older package lacked
  int64_t reusedBytes = 0;    // bytes copied from the older package
  int64_t networkBytes = 0;  // body bytes received, failed attempts included
  bool refetched = false;    // the first result failed its check
};

// "Fetched <key>,reused|resumed from N|ranges fetched:K,reused bytes:R|whole
// [,refetched],network bytes:M"
std::string DescribeFetch(const std::string& key, const FetchReport& report);

using LogSink = std::function<void(const std::string& line)>;

// Puts the object `id` (as the caller's HEAD described it) into `localPath`
// (8-bit, the system's code page): from the cache when a verified copy is
// there, else by a download through the cache folder (resumed when a
// partial of the same ETag is there, or built from an older version of the
// package by ranges). True when `localPath` holds the
// object, checked whole (size and CRC-64; a cached copy also by SHA-256
// when `id` names one). On failure `error` holds the layer's error (or a
// "CacheError" one) and lines explaining what was discarded went to `log`.
bool FetchObject(const OSS::OssClient& client, const std::string& bucket, const ObjectIdentity& id,
                 const PackageCache& cache, const std::string& localPath,
                 const OSS::TransferProgress& progress, const LogSink& log, FetchReport& report,
                 OSS::OssError& error, const FetchOptions& options = {});

// CRC-64 (and, when `sha256` is not null, SHA-256 in lower-case hex) of a
// whole file; false when it cannot be read.
bool ChecksumFile(const std::wstring& path, uint64_t& crc, int64_t& size, std::string* sha256);

}  // namespace cache
