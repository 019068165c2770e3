#include "cache/package_cache.h"

#include <windows.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <map>
#include <memory>
#include <vector>

#include "archive/zip_directory.h"
#include "network/crc64.h"
#include "platform/handles.h"
#include "platform/text.h"
#include "release/release_crypto.h"
#include "release/release_index.h"

namespace cache {

namespace {

constexpr size_t kReadChunk = 1 << 20;

// FNV-1a of the key: file names that no key can steer out of the folder.
std::wstring NameOf(const std::string& key) {
  uint64_t h = 1469598103934665603ull;
  for (const unsigned char c : key) {
    h ^= c;
    h *= 1099511628211ull;
  }
  wchar_t name[17] = {};
  std::swprintf(name, 17, L"%016llx", static_cast<unsigned long long>(h));
  return name;
}

// The record files: one value a line, the key first.
std::vector<std::string> ReadLines(const std::wstring& path) {
  std::vector<std::string> lines;
  win::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return lines;
  char buffer[4096];
  DWORD got = 0;
  if (!ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr)) return lines;
  std::string line;
  for (DWORD i = 0; i < got; ++i) {
    if (buffer[i] == '\n') {
      lines.push_back(line);
      line.clear();
    } else {
      line += buffer[i];
    }
  }
  return lines;  // an unfinished last line (a torn write) is left out
}

bool WriteLines(const std::wstring& path, const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  win::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return file && WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
         written == text.size();
}

bool ParseInt(const std::string& text, int64_t& value) {
  char* end = nullptr;
  value = std::strtoll(text.c_str(), &end, 10);
  return !text.empty() && end != nullptr && *end == '\0';
}

bool ParseUnsigned(const std::string& text, uint64_t& value) {
  char* end = nullptr;
  value = std::strtoull(text.c_str(), &end, 10);
  return !text.empty() && end != nullptr && *end == '\0';
}

// <h>.rec: key, size, ETag, CRC-64, SHA-256 (may be empty).
bool ReadRecord(const std::wstring& path, ObjectIdentity& id) {
  const std::vector<std::string> f = ReadLines(path);
  return f.size() == 5 && ParseInt(f[1], id.size) && ParseUnsigned(f[3], id.crc64) &&
         ((id.key = f[0]), (id.eTag = f[2]), (id.sha256Hex = f[4]), true);
}

bool WriteRecord(const std::wstring& path, const ObjectIdentity& id) {
  return WriteLines(path, {id.key, std::to_string(id.size), id.eTag, std::to_string(id.crc64), id.sha256Hex});
}

bool SameObject(const ObjectIdentity& a, const ObjectIdentity& b) {
  return a.key == b.key && a.size == b.size && a.eTag == b.eTag && a.crc64 == b.crc64;
}

// A partial download on disk and how far it is good. The layer's writer
// thread writes it while an attempt runs and the requesting thread reads
// it between attempts; the layer joins its writer before it asks where to
// continue, so the two never touch it at once.
struct Partial {
  std::wstring path;
  std::wstring resumePath;
  ObjectIdentity id;
  int64_t checkpointBytes = 0;
  win::UniqueHandle file;
  int64_t length = 0;  // bytes of the object the file holds
  uint64_t crc = 0;    // CRC-64 of those bytes
  int64_t sinceCheckpoint = 0;
  ULONGLONG lastCheckpoint = 0;
  bool failed = false;
  bool restarted = false;  // a resumed download the server sent whole

  // <h>.resume: key, size, ETag, CRC-64 of the object, then the length the
  // partial reached and the CRC-64 of that prefix. Written at the start and
  // every checkpointBytes; a kill or a power loss leaves the last one, and
  // the prefix checksum tells at the next start whether the bytes made it.
  void Checkpoint() {
    WriteLines(resumePath, {id.key, std::to_string(id.size), id.eTag, std::to_string(id.crc64),
                            std::to_string(length), std::to_string(crc)});
    sinceCheckpoint = 0;
    lastCheckpoint = GetTickCount64();
  }

  // Cuts the file to `keep` bytes (whose checksum is `keepCrc`).
  bool CutTo(int64_t keep, uint64_t keepCrc) {
    LARGE_INTEGER at;
    at.QuadPart = keep;
    if (!SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN) || !SetEndOfFile(file.get())) return false;
    length = keep;
    crc = keepCrc;
    failed = false;
    Checkpoint();
    return true;
  }

  bool Append(const char* data, size_t size) {
    if (failed) return false;
    // Never more than the object's announced (or signed) length: a body
    // that runs past it is not the object, and must not fill the disk.
    if (id.size >= 0 && static_cast<uint64_t>(length) + size > static_cast<uint64_t>(id.size)) {
      failed = true;
      return false;
    }
    while (size > 0) {
      const DWORD piece = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
      DWORD written = 0;
      if (!WriteFile(file.get(), data, piece, &written, nullptr) || written == 0) {
        failed = true;
        return false;
      }
      crc = AlibabaCloud::OSS::CalcCRC64(crc, data, written);
      length += written;
      sinceCheckpoint += written;
      data += written;
      size -= written;
    }
    // Every so many bytes, and at least once a second while bytes come (a
    // slow line then loses at most a second's worth to a kill).
    if (sinceCheckpoint >= checkpointBytes || GetTickCount64() - lastCheckpoint >= 1000) Checkpoint();
    return true;
  }
};

class PartialStream final : public OSS::ResponseStream {
 public:
  explicit PartialStream(std::shared_ptr<Partial> partial) : partial_(std::move(partial)) {}
  bool Write(const char* data, size_t size) override { return partial_->Append(data, size); }

 private:
  std::shared_ptr<Partial> partial_;
};

// CRC-64 of the first `length` bytes of a file; false when it holds fewer.
bool PrefixCrc(const std::wstring& path, int64_t length, uint64_t& crc) {
  win::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return false;
  std::vector<char> buffer(kReadChunk);
  crc = 0;
  int64_t left = length;
  while (left > 0) {
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<int64_t>(left, static_cast<int64_t>(buffer.size())));
    if (!ReadFile(file.get(), buffer.data(), want, &got, nullptr) || got == 0) return false;
    crc = AlibabaCloud::OSS::CalcCRC64(crc, buffer.data(), got);
    left -= got;
  }
  return true;
}

// Counts the body bytes that came over the network and passes the progress
// on to the caller's handler.
struct ProgressTap {
  OSS::TransferProgress inner;
  int64_t bytes = 0;
  static void Handler(size_t increment, int64_t transferred, int64_t total, void* self) {
    ProgressTap* tap = static_cast<ProgressTap*>(self);
    tap->bytes += static_cast<int64_t>(increment);
    if (tap->inner.Handler != nullptr) tap->inner.Handler(increment, transferred, total, tap->inner.UserData);
  }
};

// The verified copy under the staging name: a hard link where the volume
// allows one, a copy otherwise. The name is removed first, so that nothing
// written to it later (a package of the same name) reaches the copy
// through an older link.
bool Place(const std::wstring& from, const std::string& localPath) {
  const std::wstring to = WideFromCodePage(localPath, CP_ACP, 32768);
  if (to.empty()) return false;
  DeleteFileW(to.c_str());
  return CreateHardLinkW(to.c_str(), from.c_str(), nullptr) || CopyFileW(from.c_str(), to.c_str(), FALSE);
}

// A small answer held in memory, refused past `limit` bytes (a server that
// ignores the range must not make the installer hold a whole package).
class CappedStream final : public OSS::ResponseStream {
 public:
  explicit CappedStream(size_t limit) : limit_(limit) {}
  bool Write(const char* data, size_t size) override {
    if (size > limit_ - text_.size()) return false;
    text_.append(data, size);
    return true;
  }
  const std::string& str() const { return text_; }

 private:
  size_t limit_;
  std::string text_;
};

// Bytes [first, first + length) of an object, exactly; false otherwise.
bool FetchRange(const OSS::OssClient& client, const std::string& bucket, const ObjectIdentity& id, uint64_t first,
                uint64_t length, ProgressTap& tap, std::string& bytes) {
  OSS::GetObjectRequest request(bucket, id.key);
  request.setRange(static_cast<int64_t>(first), static_cast<int64_t>(first + length - 1));
  request.setTransferProgress(OSS::TransferProgress{ProgressTap::Handler, &tap});
  auto stream = std::make_shared<std::shared_ptr<CappedStream>>();
  request.setResponseStreamFactory([stream, length]() -> std::shared_ptr<OSS::ResponseStream> {
    *stream = std::make_shared<CappedStream>(static_cast<size_t>(length));
    return *stream;
  });
  const OSS::GetObjectOutcome outcome = client.GetObject(request);
  if (!outcome.isSuccess() || !*stream || (*stream)->str().size() != length) return false;
  bytes = (*stream)->str();
  return true;
}

bool ReadAt(HANDLE file, uint64_t offset, uint64_t length, std::string& bytes) {
  bytes.assign(static_cast<size_t>(length), '\0');
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(offset);
  if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, kReadChunk));
    if (!ReadFile(file, bytes.data() + done, want, &got, nullptr) || got == 0) return false;
    done += got;
  }
  return true;
}

// The end record and directory of a package: the tail first, the rest of
// the directory when it begins before the tail.
constexpr uint64_t kTailBytes = 64 << 10;
constexpr uint64_t kLargestDirectory = 32 << 20;

// `ending` gets the archive's bytes from the directory to the end.
template <typename ReadBytes>
bool ReadDirectory(uint64_t size, ReadBytes read, zipdir::Directory& directory, std::string& ending) {
  const uint64_t tailLength = std::min<uint64_t>(size, kTailBytes);
  std::string tail;
  if (tailLength == 0 || !read(size - tailLength, tailLength, tail) || !zipdir::FindEndRecord(tail, size, directory) ||
      directory.size > kLargestDirectory)
    return false;
  const uint64_t tailStart = size - tailLength;
  if (directory.offset < tailStart) {
    if (!read(directory.offset, tailStart - directory.offset, ending)) return false;
    ending += tail;
  } else {
    ending = tail.substr(static_cast<size_t>(directory.offset - tailStart));
  }
  return zipdir::ParseDirectory(std::string_view(ending).substr(0, static_cast<size_t>(directory.size)), directory);
}

// Progress of an assembly: the reused bytes count as done from the start,
// each fetched byte on top.
struct AssemblyProgress {
  ProgressTap* tap;
  int64_t done;
  int64_t size;
  static void Handler(size_t increment, int64_t, int64_t, void* self) {
    AssemblyProgress* p = static_cast<AssemblyProgress*>(self);
    p->done += static_cast<int64_t>(increment);
    ProgressTap::Handler(increment, std::min(p->done, p->size), p->size, p->tap);
  }
};

// Builds the object in `partial` (empty) from an older cached package of
// its folder: the entries they share are copied, only the rest fetched,
// one request per run of missing bytes. True when the partial holds as
// many bytes as the object (still to be checked); false: fetch it whole.
bool AssembleFromOlder(const OSS::OssClient& client, const std::string& bucket, const ObjectIdentity& id,
                       const PackageCache& cache, const std::shared_ptr<Partial>& partial, ProgressTap& tap,
                       FetchReport& report) {
  // A package no larger than the tail costs as much by ranges as whole.
  ObjectIdentity older;
  if (static_cast<uint64_t>(id.size) <= kTailBytes || !cache.FindOlder(id, older)) return false;
  win::UniqueHandle old(CreateFileW(cache.PathOf(older.key, L".pkg").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!old) return false;
  zipdir::Directory was;
  zipdir::Directory now;
  std::string oldEnding;
  std::string newEnding;
  if (!ReadDirectory(static_cast<uint64_t>(older.size),
                     [&](uint64_t at, uint64_t n, std::string& b) { return ReadAt(old.get(), at, n, b); }, was,
                     oldEnding))
    return false;
  ProgressTap quiet;  // the directory's bytes count for the network, not for the bar
  const bool listed = ReadDirectory(
      static_cast<uint64_t>(id.size),
      [&](uint64_t at, uint64_t n, std::string& b) { return FetchRange(client, bucket, id, at, n, quiet, b); }, now,
      newEnding);
  tap.bytes += quiet.bytes;
  zipdir::Plan plan;
  // Reusing little is not worth a request per gap.
  if (!listed || !zipdir::PlanAssembly(now, was, plan) || plan.reused < static_cast<uint64_t>(id.size) / 8)
    return false;
  report.way = FetchReport::Way::Ranges;
  report.rangesFetched = static_cast<int64_t>(plan.fetches.size());
  report.reusedBytes = static_cast<int64_t>(plan.reused);

  AssemblyProgress progress{&tap, static_cast<int64_t>(plan.reused), id.size};
  AssemblyProgress::Handler(0, 0, 0, &progress);
  size_t copy = 0;
  size_t fetch = 0;
  std::string bytes;
  while (static_cast<uint64_t>(partial->length) < now.offset) {
    const uint64_t at = static_cast<uint64_t>(partial->length);
    if (copy < plan.copies.size() && plan.copies[copy].to == at) {
      const zipdir::Copy& c = plan.copies[copy++];
      for (uint64_t done = 0; done < c.length;) {
        const uint64_t piece = std::min<uint64_t>(c.length - done, kReadChunk);
        if (!ReadAt(old.get(), c.from + done, piece, bytes) || !partial->Append(bytes.data(), bytes.size()))
          return false;
        done += piece;
      }
    } else if (fetch < plan.fetches.size() && plan.fetches[fetch].first == at) {
      const zipdir::Range& r = plan.fetches[fetch++];
      OSS::GetObjectRequest request(bucket, id.key);
      request.setRange(static_cast<int64_t>(r.first), static_cast<int64_t>(r.last));
      request.setIfRange(id.eTag);
      request.setTransferProgress(OSS::TransferProgress{AssemblyProgress::Handler, &progress});
      // A retry continues the run where the broken answer stopped; an
      // answer that does not start there (the whole object) is refused.
      request.setResume([partial]() { return partial->length; },
                        [partial](int64_t bodyOffset) -> std::shared_ptr<OSS::ResponseStream> {
                          if (bodyOffset != partial->length) return nullptr;
                          return std::make_shared<PartialStream>(partial);
                        });
      if (!client.GetObject(request).isSuccess() || static_cast<uint64_t>(partial->length) != r.last + 1)
        return false;
    } else {
      return false;
    }
  }
  return partial->Append(newEnding.data(), newEnding.size()) && partial->length == id.size;
}

}  // namespace

std::wstring PackageCache::PathOf(const std::string& key, const wchar_t* suffix) const {
  return folder_ + L"\\" + NameOf(key) + suffix;
}

void PackageCache::Forget(const std::string& key) const {
  for (const wchar_t* suffix : {L".pkg", L".rec", L".part", L".resume"}) DeleteFileW(PathOf(key, suffix).c_str());
}

bool PackageCache::FindOlder(const ObjectIdentity& id, ObjectIdentity& older) const {
  const auto folderOf = [](const std::string& key) { return key.substr(0, key.rfind('/') + 1); };
  const auto isZip = [](const std::string& key) {
    return key.size() > 4 && key.compare(key.size() - 4, 4, ".zip") == 0;
  };
  // Packages named after their version live in a folder of their own
  // under the release prefix ("<prefix>/fix/<version>.zip"): there a
  // sibling is an older version. At the top of the prefix sit different
  // packages (base.zip, config.zip): only the same key's older content is.
  const bool versionFolder = std::count(id.key.begin(), id.key.end(), '/') >= 2;
  if (!isZip(id.key)) return false;
  bool found = false;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((folder_ + L"\\*.rec").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return false;
  do {
    ObjectIdentity candidate;
    if (!ReadRecord(folder_ + L"\\" + data.cFileName, candidate) || SameObject(candidate, id) ||
        !isZip(candidate.key) || folderOf(candidate.key) != folderOf(id.key) ||
        (!versionFolder && candidate.key != id.key) ||
        std::wstring(data.cFileName) != NameOf(candidate.key) + L".rec")
      continue;
    // The same key's older version first: the likeliest to share entries.
    if (!found || candidate.key == id.key) older = candidate;
    found = true;
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return found;
}

void PackageCache::KeepOnly(const std::set<std::string>& keep) const {
  // Every file of the folder by its stem; a stem whose record names a kept
  // key stays, everything else (older objects, records that cannot be
  // read, strays) goes.
  std::map<std::wstring, bool> stems;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((folder_ + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  std::vector<std::wstring> files;
  do {
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    files.push_back(data.cFileName);
  } while (FindNextFileW(find, &data));
  FindClose(find);
  for (const std::wstring& name : files) {
    const std::wstring stem = name.substr(0, name.find(L'.'));
    bool& kept = stems[stem];
    for (const wchar_t* suffix : {L".rec", L".resume"}) {
      const std::vector<std::string> lines = ReadLines(folder_ + L"\\" + stem + suffix);
      if (!lines.empty() && keep.count(lines[0]) && NameOf(lines[0]) == stem) kept = true;
    }
  }
  for (const std::wstring& name : files)
    if (!stems[name.substr(0, name.find(L'.'))]) DeleteFileW((folder_ + L"\\" + name).c_str());
}

std::string DescribeFetch(const std::string& key, const FetchReport& report) {
  std::string way;
  switch (report.way) {
    case FetchReport::Way::Reused: way = "reused"; break;
    case FetchReport::Way::Resumed: way = "resumed from " + std::to_string(report.resumedFrom); break;
    case FetchReport::Way::Whole: way = "whole"; break;
    case FetchReport::Way::Ranges:
      way = "ranges fetched:" + std::to_string(report.rangesFetched) +
            ",reused bytes:" + std::to_string(report.reusedBytes);
      break;
  }
  if (report.refetched) way += ",refetched";
  return "Fetched " + key + "," + way + ",network bytes:" + std::to_string(report.networkBytes);
}

bool ChecksumFile(const std::wstring& path, uint64_t& crc, int64_t& size, std::string* sha256) {
  win::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return false;
  std::vector<char> buffer(kReadChunk);
  crc = 0;
  size = 0;
  for (DWORD got = 1; got != 0;) {
    if (!ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) return false;
    crc = AlibabaCloud::OSS::CalcCRC64(crc, buffer.data(), got);
    size += got;
  }
  if (sha256 == nullptr) return true;
  std::string digest;
  uint64_t hashed = 0;
  if (!Sha256OfFile(path, &digest, &hashed)) return false;
  *sha256 = HexOf(digest);
  return true;
}

bool FetchObject(const OSS::OssClient& client, const std::string& bucket, const ObjectIdentity& id,
                 const PackageCache& cache, const std::string& localPath,
                 const OSS::TransferProgress& progress, const LogSink& log, FetchReport& report,
                 OSS::OssError& error, const FetchOptions& options) {
  report = FetchReport();
  const std::wstring copyPath = cache.PathOf(id.key, L".pkg");
  const std::wstring recordPath = cache.PathOf(id.key, L".rec");
  const bool signedRelease = !id.sha256Hex.empty();

  // 1. The verified copy of an earlier run, checked again: the record says
  // what it should be, only its bytes prove it.
  ObjectIdentity cached;
  if (ReadRecord(recordPath, cached) && SameObject(cached, id)) {
    uint64_t crc = 0;
    int64_t size = 0;
    std::string sha;
    if (ChecksumFile(copyPath, crc, size, signedRelease ? &sha : nullptr) && size == id.size &&
        crc == id.crc64 && (!signedRelease || sha == id.sha256Hex)) {
      if (!Place(copyPath, localPath)) {
        error = OSS::OssError("CacheError", "cannot place the cached copy at " + LogTextOfPath(localPath));
        return false;
      }
      if (progress.Handler != nullptr) progress.Handler(0, id.size, id.size, progress.UserData);
      report.way = FetchReport::Way::Reused;
      return true;
    }
    log("Package cache entry discarded,key:" + id.key + ",its bytes do not match the object");
    DeleteFileW(copyPath.c_str());
    DeleteFileW(recordPath.c_str());
  }

  // 2. A partial download of this very object (same ETag, size and
  // checksum), as far as its prefix still checks out.
  auto partial = std::make_shared<Partial>();
  partial->path = cache.PathOf(id.key, L".part");
  partial->resumePath = cache.PathOf(id.key, L".resume");
  partial->id = id;
  partial->checkpointBytes = options.checkpointBytes;
  int64_t keep = 0;
  uint64_t keepCrc = 0;
  const std::vector<std::string> resume = ReadLines(partial->resumePath);
  if (resume.size() == 6) {
    ObjectIdentity was;
    int64_t length = 0;
    uint64_t prefixCrc = 0;
    was.key = resume[0];
    was.eTag = resume[2];
    const bool parsed = ParseInt(resume[1], was.size) && ParseUnsigned(resume[3], was.crc64) &&
                        ParseInt(resume[4], length) && ParseUnsigned(resume[5], prefixCrc) && length >= 0 &&
                        length < id.size;
    uint64_t onDisk = 0;
    if (!parsed || !SameObject(was, id))
      log("Partial download discarded,key:" + id.key + ",the object changed since it began");
    else if (!PrefixCrc(partial->path, length, onDisk) || onDisk != prefixCrc)
      log("Partial download discarded,key:" + id.key + ",its first " + std::to_string(length) +
          " bytes do not match their record");
    else
      keep = length, keepCrc = prefixCrc;
  }
  partial->file.reset(CreateFileW(partial->path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!partial->file || !partial->CutTo(keep, keepCrc)) {
    error = OSS::OssError("CacheError", "cannot write the partial download of " + id.key);
    return false;
  }

  ProgressTap tap;
  tap.inner = progress;
  OSS::GetObjectRequest request(bucket, id.key);
  request.setTransferProgress(OSS::TransferProgress{ProgressTap::Handler, &tap});
  request.setIfRange(id.eTag);
  bool startOver = false;  // set: this attempt fetches all of it
  request.setResume([partial, &startOver]() { return startOver ? 0 : partial->length; },
                    [partial](int64_t bodyOffset) -> std::shared_ptr<OSS::ResponseStream> {
                      // The whole object instead of the rest (Range ignored,
                      // or If-Range saw another ETag): start over.
                      if (bodyOffset != partial->length) {
                        if (bodyOffset != 0 || !partial->CutTo(0, 0)) return nullptr;
                        partial->restarted = true;
                      }
                      return std::make_shared<PartialStream>(partial);
                    });
  report.resumedFrom = keep;
  report.way = keep > 0 ? FetchReport::Way::Resumed : FetchReport::Way::Whole;

  // 3. A new version of a package: what it shares with the older one in
  // the cache is copied, the rest fetched by ranges, and the result checked
  // like any download (a failed check fetches it whole).
  bool assembled = false;
  if (keep == 0) {
    assembled = AssembleFromOlder(client, bucket, id, cache, partial, tap, report);
    if (!assembled) {
      report.way = FetchReport::Way::Whole;
      if (!partial->CutTo(0, 0)) {
        error = OSS::OssError("CacheError", "cannot write the partial download of " + id.key);
        return false;
      }
    }
  }

  // 4. At most one more whole fetch after a result that fails its check,
  // and one after the server refused the range (416).
  bool rangeRefused = false;
  while (true) {
    const OSS::GetObjectOutcome outcome = assembled ? OSS::GetObjectOutcome(OSS::GetObjectResult())
                                                    : client.GetObject(request);
    assembled = false;
    report.networkBytes = tap.bytes;
    startOver = false;
    if (!outcome.isSuccess()) {
      partial->Checkpoint();
      if (outcome.error().Code() == "InvalidRange" && !rangeRefused && partial->length > 0) {
        rangeRefused = true;
        log("Partial download discarded,key:" + id.key + ",the server refused its range");
        partial->CutTo(0, 0);
        report.way = FetchReport::Way::Whole;
        continue;
      }
      error = outcome.error();
      return false;
    }
    const bool whole = partial->length == id.size && partial->crc == id.crc64;
    if (partial->restarted) report.way = FetchReport::Way::Whole;
    if (whole) break;
    char line[512] = {};
    std::snprintf(line, sizeof line, ",size:%" PRId64 ",crc64:%" PRIu64 ",expected size:%" PRId64 ",crc64:%" PRIu64,
                  partial->length, partial->crc, id.size, id.crc64);
    log("Download check failed,key:" + id.key + line);
    if (report.refetched) {
      cache.Forget(id.key);
      error = OSS::OssError("CacheError", "the object failed its check twice");
      return false;
    }
    report.refetched = true;
    report.way = FetchReport::Way::Whole;
    if (!partial->CutTo(0, 0)) {
      error = OSS::OssError("CacheError", "cannot write the partial download of " + id.key);
      return false;
    }
    startOver = true;
  }

  // 5. Checked whole: it becomes the cached copy, then the staging file.
  partial->file.reset();
  ObjectIdentity stored = id;
  if (!MoveFileExW(partial->path.c_str(), copyPath.c_str(), MOVEFILE_REPLACE_EXISTING) ||
      !WriteRecord(recordPath, stored)) {
    error = OSS::OssError("CacheError", "cannot keep the download of " + id.key);
    return false;
  }
  DeleteFileW(partial->resumePath.c_str());
  if (!Place(copyPath, localPath)) {
    error = OSS::OssError("CacheError", "cannot place the download at " + LogTextOfPath(localPath));
    return false;
  }
  return true;
}

}  // namespace cache
