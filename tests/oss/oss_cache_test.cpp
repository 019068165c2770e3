// The package cache and resumable downloads against the local server: a
// repeat fetch that moves no body, resumes within a run (dropped
// connection, trickling server) and across runs (a partial left by an
// earlier run), and every way a partial or cached copy can be wrong. Each
// case must end with the object's exact bytes or a clean failure.
#include "oss/oss_fixture.h"

#include <functional>

#include "cache/package_cache.h"
#include "engine/app_context.h"
#include "engine/client.h"
#include "engine/download.h"
#include "platform/install_log.h"
#include "platform/text.h"
#include "platform/trusted_folder.h"
#include "support/package_cache_helpers.h"
#include "support/test_support.h"

namespace oss_test {
namespace {

using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;

constexpr char kKey[] = "9.5KavimorIE/fix/9.5.9.1.zip";
constexpr size_t kSize = 3 << 20;
constexpr int64_t kSixtyPercent = kSize * 6 / 10;

class CacheTest : public OssServerTest {
 protected:
  CacheTest() : work_("oss_cache") {
    CreateDirectoryA((work_ / "cache").c_str(), nullptr);
    cache_ = std::make_unique<cache::PackageCache>(WideUtf8(work_ / "cache"));
    object_ = Pattern(kSize);
    object_[12345] = 'x';  // not a pure pattern: a shifted copy would not pass
    PutObject(root_->path(), kKey, object_);
    OSS::ClientConfiguration conf = TestConfiguration();
    conf.requestTimeoutMs = 1500;
    conf.stallTimeoutMs = 2000;
    conf.stallMinBytes = 4096;
    conf.retryStrategy = std::make_shared<OSS::DefaultRetryStrategy>(3, 10);
    oss_ = Client(conf);
  }

  cache::ObjectIdentity Head() const {
    const OSS::GetObjectMetaOutcome meta = oss_->GetObjectMeta(kBucket, kKey);
    EXPECT_TRUE(meta.isSuccess());
    cache::ObjectIdentity id;
    id.key = kKey;
    id.size = meta.result().ContentLength();
    id.eTag = meta.result().ETag();
    id.crc64 = meta.result().CRC64();
    return id;
  }

  // One fetch into the staging file; its log lines go to `lines_`.
  bool Fetch(cache::FetchReport& report, const cache::ObjectIdentity* id = nullptr) {
    lines_.clear();
    server_->ClearLog();
    OSS::OssError error;
    const cache::ObjectIdentity head = id != nullptr ? *id : Head();
    server_->ClearLog();
    const bool ok = cache::FetchObject(*oss_, kBucket, head, *cache_, Staged(), OSS::TransferProgress{},
                                       [this](const std::string& line) { lines_.push_back(line); }, report,
                                       error, cache::FetchOptions{64 << 10});
    error_ = error.Code();
    return ok;
  }

  // Leaves a partial of 60 % as a run cut off there does: every attempt
  // dropped at that byte.
  void LeavePartialAtSixtyPercent() {
    OSS::ClientConfiguration once = TestConfiguration();
    once.retryStrategy = std::make_shared<OSS::DefaultRetryStrategy>(0, 10);
    std::swap(oss_, once_);
    if (!oss_) oss_ = Client(once);
    server_->SetFaults({{"drop", kKey, kSixtyPercent}});
    cache::FetchReport report;
    const bool fetched = Fetch(report);
    std::swap(oss_, once_);
    ASSERT_FALSE(fetched);
    server_->SetFaults({});
    ASSERT_TRUE(testing_support::PathExists(Narrow(cache_->PathOf(kKey, L".resume"))));
  }

  std::string Staged() const { return work_ / "9.5.9.1.zip"; }
  static std::string Narrow(const std::wstring& w) { return NarrowToCodePage(w, CP_ACP, 32768); }
  std::vector<testing_support::OssRequestRecord> Gets() const {
    std::vector<testing_support::OssRequestRecord> gets;
    for (const auto& r : testing_support::SettledRequestLog(*server_))
      if (r.method == "GET") gets.push_back(r);
    return gets;
  }
  bool HasLine(const std::string& start) const { return testing_support::AnyLineStartsWith(lines_, start); }

  testing_support::ScratchDir work_;
  std::unique_ptr<cache::PackageCache> cache_;
  std::unique_ptr<OSS::OssClient> oss_;
  std::unique_ptr<OSS::OssClient> once_;  // no retries: a run cut off
  std::string object_;
  std::vector<std::string> lines_;
  std::string error_;
};

TEST_F(CacheTest, ARepeatFetchMovesNoBodyAndADamagedCopyIsFetchedAgain) {
  cache::FetchReport report;
  ASSERT_TRUE(Fetch(report));
  EXPECT_EQ(cache::DescribeFetch(kKey, report), std::string("Fetched ") + kKey + ",whole,network bytes:" +
                                                     std::to_string(kSize));
  ASSERT_EQ(ReadFileBytes(Staged()), object_);

  ASSERT_TRUE(Fetch(report));
  EXPECT_EQ(cache::DescribeFetch(kKey, report), std::string("Fetched ") + kKey + ",reused,network bytes:0");
  EXPECT_TRUE(Gets().empty());
  EXPECT_EQ(ReadFileBytes(Staged()), object_);

  // A flipped byte in the cached copy: discarded, fetched whole, right.
  const std::string copy = Narrow(cache_->PathOf(kKey, L".pkg"));
  DeleteFileA(Staged().c_str());  // the staging name may share the copy's bytes
  std::string damaged = ReadFileBytes(copy);
  damaged[kSize / 2] ^= 0x01;
  WriteFileBytes(copy, damaged);
  ASSERT_TRUE(Fetch(report));
  EXPECT_TRUE(HasLine(std::string("Package cache entry discarded,key:") + kKey)) << lines_.size();
  EXPECT_EQ(report.way, cache::FetchReport::Way::Whole);
  EXPECT_EQ(ReadFileBytes(Staged()), object_);

  // A signed release whose index names other bytes: the copy is refused
  // (and a fresh download is the caller's to check).
  cache::ObjectIdentity id = Head();
  id.sha256Hex = std::string(64, '0');
  ASSERT_TRUE(Fetch(report, &id));
  EXPECT_TRUE(HasLine(std::string("Package cache entry discarded,key:") + kKey));
  EXPECT_EQ(report.networkBytes, static_cast<int64_t>(kSize));
}

TEST_F(CacheTest, ADroppedConnectionOrATrickleContinuesWhereItBroke) {
  struct Case {
    const char* name;
    testing_support::OssFault fault;
  };
  const Case cases[] = {
      {"dropped at 60 %", {"drop", kKey, kSixtyPercent, 1}},
      {"trickling after 60 %", {"trickle", kKey, kSixtyPercent, 1, 0.5}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    cache_->Forget(kKey);
    server_->SetFaults({c.fault});
    cache::FetchReport report;
    ASSERT_TRUE(Fetch(report));
    EXPECT_EQ(ReadFileBytes(Staged()), object_);
    // The cut-off answer is logged only when the server notices the client
    // has gone, which may come after the resumed one.
    std::vector<testing_support::OssRequestRecord> gets;
    const testing_support::OssRequestRecord* rest = nullptr;
    for (int i = 0; i < 100 && rest == nullptr; ++i, Sleep(50)) {
      gets = Gets();
      for (const auto& r : gets)
        if (r.status == 206) rest = &r;
    }
    ASSERT_NE(rest, nullptr);
    EXPECT_LE(gets.size(), 2u);
    // The retry asks for the rest, as long as the object is the same one.
    const int64_t from = std::atoll(rest->range.substr(6).c_str());
    EXPECT_EQ(rest->range, "bytes=" + std::to_string(from) + "-");
    EXPECT_GE(from, kSixtyPercent);
    EXPECT_EQ(rest->ifRange, "\"" + Head().eTag + "\"");
    EXPECT_EQ(rest->bodyBytes, static_cast<int64_t>(kSize) - from);
    EXPECT_LE(report.networkBytes, static_cast<int64_t>(kSize) + 16);
  }
}

TEST_F(CacheTest, APartialOfAnEarlierRunIsResumedOrCleanlyStartedOver) {
  using Plant = std::function<void()>;
  struct Case {
    const char* name;
    Plant change;                                  // after the partial was left
    std::vector<testing_support::OssFault> faults; // during the rerun
    cache::FetchReport::Way way;
    const char* line;                              // a log line that must begin so
  };
  const Plant nothing = [] {};
  const Case cases[] = {
      {"rerun resumes", nothing, {}, cache::FetchReport::Way::Resumed, nullptr},
      {"server ignores Range", nothing, {{"ignore_range", kKey}}, cache::FetchReport::Way::Whole, nullptr},
      {"object changed (new ETag)",
       [this] {
         object_[kSize - 10] ^= 0x20;
         PutObject(root_->path(), kKey, object_);
       },
       {},
       cache::FetchReport::Way::Whole, "Partial download discarded,key:9.5KavimorIE/fix/9.5.9.1.zip,the object changed"},
      {"416", nothing, {{"status", kKey, 416, 1}}, cache::FetchReport::Way::Whole,
       "Partial download discarded,key:9.5KavimorIE/fix/9.5.9.1.zip,the server refused its range"},
      {"partial truncated",
       [this] {
         const std::string part = Narrow(cache_->PathOf(kKey, L".part"));
         WriteFileBytes(part, ReadFileBytes(part).substr(0, 1000));
       },
       {}, cache::FetchReport::Way::Whole, "Partial download discarded,key:9.5KavimorIE/fix/9.5.9.1.zip,its first"},
      {"byte flipped in the partial",
       [this] {
         const std::string part = Narrow(cache_->PathOf(kKey, L".part"));
         std::string bytes = ReadFileBytes(part);
         bytes[100] ^= 0x40;
         WriteFileBytes(part, bytes);
       },
       {}, cache::FetchReport::Way::Whole, "Partial download discarded,key:9.5KavimorIE/fix/9.5.9.1.zip,its first"},
      {"resumed bytes corrupted in transit", nothing, {{"corrupt", kKey, 10, 1}}, cache::FetchReport::Way::Whole,
       "Download check failed,key:9.5KavimorIE/fix/9.5.9.1.zip,size:3145728"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    cache_->Forget(kKey);
    PutObject(root_->path(), kKey, object_);
    LeavePartialAtSixtyPercent();
    if (HasFatalFailure()) return;
    c.change();
    server_->SetFaults(c.faults);
    cache::FetchReport report;
    ASSERT_TRUE(Fetch(report)) << error_;
    EXPECT_EQ(ReadFileBytes(Staged()), object_);
    EXPECT_EQ(report.way, c.way);
    if (c.line != nullptr) {
      EXPECT_TRUE(HasLine(c.line)) << (lines_.empty() ? "" : lines_[0]);
    }
    if (c.way == cache::FetchReport::Way::Resumed) {
      EXPECT_GE(report.resumedFrom, kSixtyPercent - (64 << 10));
      EXPECT_LE(report.networkBytes, static_cast<int64_t>(kSize) - report.resumedFrom);
      EXPECT_EQ(Gets().size(), 1u);
    }
    EXPECT_FALSE(testing_support::PathExists(Narrow(cache_->PathOf(kKey, L".resume"))));
  }
}

TEST_F(CacheTest, AnObjectThatNeverChecksOutFailsCleanly) {
  // Every answer has a wrong checksum: fetched once more, then refused,
  // and nothing is left that a later run could take for the object.
  server_->SetFaults({{"bad_crc", kKey}});
  cache::FetchReport report;
  EXPECT_FALSE(Fetch(report));
  EXPECT_EQ(error_, "ClientError:100001");
  server_->SetFaults({});
  // A server whose HEAD promises other bytes than its GET sends.
  cache::ObjectIdentity id = Head();
  id.crc64 ^= 1;
  EXPECT_FALSE(Fetch(report, &id));
  EXPECT_EQ(error_, "CacheError");
  EXPECT_TRUE(report.refetched);
  EXPECT_FALSE(testing_support::PathExists(Narrow(cache_->PathOf(kKey, L".pkg"))));
  EXPECT_FALSE(testing_support::PathExists(Narrow(cache_->PathOf(kKey, L".rec"))));
}

TEST_F(CacheTest, OnlyTheObjectsOfTheInstalledReleaseStay) {
  cache::FetchReport report;
  ASSERT_TRUE(Fetch(report));
  WriteFileBytes(Narrow(cache_->PathOf("9.5KavimorIE/fix/9.5.9.0.zip", L".pkg")), "old");
  WriteFileBytes(Narrow(cache_->PathOf("9.5KavimorIE/fix/9.5.9.0.zip", L".rec")),
                 "9.5KavimorIE/fix/9.5.9.0.zip\n3\nE\n1\n\n");
  WriteFileBytes(work_ / "cache\\stray.part", "?");
  cache_->KeepOnly({kKey});
  EXPECT_TRUE(testing_support::PathExists(Narrow(cache_->PathOf(kKey, L".pkg"))));
  EXPECT_FALSE(testing_support::PathExists(Narrow(cache_->PathOf("9.5KavimorIE/fix/9.5.9.0.zip", L".pkg"))));
  EXPECT_FALSE(testing_support::PathExists(work_ / "cache\\stray.part"));
}

// The cache folder under the machine's program data, as DownloadObject
// opens it: one that someone else loosened or replaced by a link is not
// used (the run goes on without it and still gets the right bytes). Wine
// keeps no security descriptors: a loosened Unix mode and a symbolic link
// are what a local user can plant there.
TEST_F(CacheTest, ACacheFolderSomeoneElseControlsIsNotUsed) {
  AppContext& ctx = GetAppContext();
  ctx.installDir = work_ / "Kavimor201805v9.5";
  ctx.logDir = work_ / "log";
  const std::wstring folder = testing_support::PackageCacheFolder(ctx.installDir);
  const std::wstring elsewhere = WideUtf8(work_ / "elsewhere");
  CreateDirectoryW(elsewhere.c_str(), nullptr);
  struct Case {
    const char* name;
    std::function<bool()> plant;  // after the folder was forgotten
    bool used;
  };
  // The Unix command may still run when Wine reports it started: wait
  // until Windows sees its effect.
  auto seen = [](const std::function<bool()>& effect) {
    for (int i = 0; i < 100; ++i, Sleep(50))
      if (effect()) return true;
    return false;
  };
  const Case cases[] = {
      {"made by the installer", [] { return true; }, true},
      {"loosened to 0777",
       [&] {
         std::wstring made;
         std::string why;
         return trusted::EnsureTrustedFolder(PackageCacheFolderName(WideUtf8(ctx.installDir)), made, why) &&
                testing_support::SetUnixMode(folder, "0777") &&
                seen([&] { return !trusted::IsTrustedFolder(folder, why); });
       },
       false},
      {"a link to a user's folder",
       [&] {
         EXPECT_EQ(GetFileAttributesW(folder.c_str()), INVALID_FILE_ATTRIBUTES);
         testing_support::MakeUnixSymlink(elsewhere, folder);
         return seen([&] {
           const DWORD attributes = GetFileAttributesW(folder.c_str());
           return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
         });
       },
       false},
  };
  PutObject(root_->path(), "9.5KavimorIE/base.zip", object_);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::ForgetPackageCache(ctx.installDir);
    ASSERT_TRUE(c.plant());
    CreateDirectoryA(ctx.logDir.c_str(), nullptr);
    OpenInstallLog(ctx.logDir);
    IClient client;
    client.bucket = kBucket;
    client.ossClient = oss_.get();
    client.plannedDownloads = 5;
    client.usePackageCache = true;
    const std::string staged = work_ / "base.zip";
    EXPECT_TRUE(client.DownloadObject("9.5KavimorIE/base.zip", staged));
    client.ossClient = nullptr;
    CloseInstallLog();
    EXPECT_EQ(ReadFileBytes(staged), object_);
    const std::vector<std::string> log = testing_support::LogTexts(ctx.logDir);
    testing_support::RemoveTree(ctx.logDir);
    ASSERT_EQ(log.size(), 1u);
    if (c.used)
      EXPECT_EQ(log[0], "Fetched 9.5KavimorIE/base.zip,whole,network bytes:" + std::to_string(kSize));
    else
      EXPECT_EQ(log[0].rfind("Package cache not used: ", 0), 0u) << log[0];
  }
  // Nothing went through the link into the user's folder.
  EXPECT_TRUE(testing_support::TreeContents(NarrowToCodePage(elsewhere, CP_ACP, 32768)).empty());
  testing_support::ForgetPackageCache(ctx.installDir);
}

}  // namespace
}  // namespace oss_test
