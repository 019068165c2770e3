// Whole installations with the release check on: the real engine against
// the local object-store server serving the signed package set, as
// published, and tampered copies of it. A tampered release must be refused
// before anything of it is unpacked, leaving the old installation as it was;
// so must a replayed older release, other content under the installed
// serial and an expired index, whatever their signatures.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "engine/app_context.h"
#include "engine/client.h"
#include "engine/exit_codes.h"
#include "engine/messages.h"
#include "engine/pipeline.h"
#include "platform/install_log.h"
#include "platform/release_record.h"
#include "platform/text.h"
#include "registration_helpers.h"
#include "release/release_crypto.h"
#include "release/release_index.h"
#include "support/message_sink.h"
#include "support/oss_server.h"
#include "support/package_cache_helpers.h"
#include "support/package_tree.h"
#include "support/test_support.h"
#include "unzip/unzip_fixture.h"

namespace {

using testing_support::DosPath;
using testing_support::PathExists;
using testing_support::ReadFileBytes;
using testing_support::ScratchDir;
using testing_support::WriteFileBytes;

void CopyTree(const std::string& from, const std::string& to) {
  CreateDirectoryA(to.c_str(), nullptr);
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((from + "\\*").c_str(), &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE) << from;
  do {
    const std::string name = data.cFileName;
    if (name == "." || name == "..") continue;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      CopyTree(from + "\\" + name, to + "\\" + name);
    else
      ASSERT_TRUE(CopyFileA((from + "\\" + name).c_str(), (to + "\\" + name).c_str(), FALSE)) << name;
  } while (FindNextFileA(find, &data));
  FindClose(find);
}

// "size:<n>,sha256:<hex>" of bytes, as the refusal line names them.
std::string SizeAndDigest(const std::string& bytes) {
  return "size:" + std::to_string(bytes.size()) + ",sha256:" + HexOf(Sha256Of(bytes));
}

const std::string kPrefix = "9.5KavimorIE";

// Serves a signed index variant (made at build time) in place of the
// published index and signature.
std::function<void(const std::string&)> Serve(const std::string& variant, const std::string& signature = "") {
  return [variant, signature](const std::string& release) {
    const std::string dir = DosPath(KAVIMOR_INDEX_VARIANTS) + "\\";
    if (!variant.empty())
      ASSERT_TRUE(CopyFileA((dir + variant + ".txt").c_str(), (release + "\\release-index.txt").c_str(), FALSE));
    ASSERT_TRUE(CopyFileA((dir + (signature.empty() ? variant : signature) + ".sig").c_str(),
                          (release + "\\release-index.sig").c_str(), FALSE));
  };
}

std::string Variant(const std::string& name) { return ReadFileBytes(DosPath(KAVIMOR_INDEX_VARIANTS) + "\\" + name + ".txt"); }

std::string PublishedIndex() {
  return ReadFileBytes(DosPath(KAVIMOR_SIGNED_BUCKET) + "\\" + kPrefix + "\\release-index.txt");
}

// The text after "expires " in an index.
std::string ExpiryOf(const std::string& index) {
  const size_t at = index.find("\nexpires ") + 9;
  return index.substr(at, 20);
}

struct Case {
  const char* name;
  bool withKey;
  // Changes the served copy of the release (its prefix folder).
  std::function<void(const std::string& release)> tamper;
  // The start sequence's outcome and, when started, the worker's last
  // message and its lParam.
  StartOutcome outcome;
  UINT last;
  LPARAM code;
  // The log's lines from the third on (after the version and start lines);
  // the last one needs only to begin with what is given.
  std::function<std::vector<std::string>(const std::string& release)> logTail;
  // The installed serial recorded before the run (0: none, else with the
  // published index's digest) and the one expected after it.
  uint64_t recordedBefore = 0;
  uint64_t recordedAfter = 0;
  bool withNextKey = false;
};

class SignedRelease : public ::testing::Test {
 protected:
  void SetUp() override { Cleanup(); }
  void TearDown() override {
    CloseInstallLog();
    Cleanup();
  }
  static void Cleanup() {
    registration_test::RemoveInstallRegistrations();
    DeleteReleaseRecord(ReleaseLine());
  }
  static std::string ReleaseLine() { return std::string("201805 ") + KAVIMOR_TEST_BUCKET + "/" + kPrefix; }

  static AppContext& PrepareContext(const std::string& profile) {
    AppContext& ctx = GetAppContext();
    ctx.packageId = "201805";
    ctx.displayName = "NOLDAR Trading System";
    ctx.languageId = 2052;
    ctx.languageCode = "CHS";
    ApplyDirectoryLayout(ctx, profile, "", ctx.packageId);
    testing_support::ForgetPackageCache(ctx.installDir);
    return ctx;
  }

  // The context laid out in `profile`, with an earlier installation there
  // that refused releases must leave alone.
  static AppContext& LayOut(const ScratchDir& profile) {
    AppContext& ctx = PrepareContext(profile.path());
    CreateDirectoryA(ctx.installDir.c_str(), nullptr);
    WriteFileBytes(ctx.installDir + "\\old.txt", "old");
    return ctx;
  }

  // One installation against a tampered copy; a failed assertion ends
  // this case only.
  // One server for all cases: each serves a fresh copy of the release.
  void Run(const Case& c, const std::string& releaseKey, testing_support::OssServerProcess& server,
           const std::string& bucket) {
    Cleanup();
    ScratchDir profile("signed");
    const std::string release = bucket + "\\" + kPrefix;
    testing_support::RemoveTree(release);
    CopyTree(DosPath(KAVIMOR_SIGNED_BUCKET), bucket);
    c.tamper(release);
    server.ClearLog();

    AppContext& ctx = LayOut(profile);

    if (c.recordedBefore != 0)
      ASSERT_TRUE(WriteReleaseRecord(ReleaseLine(), {c.recordedBefore, HexOf(Sha256Of(PublishedIndex()))}));

    auto* client = new IClient;  // the worker is never joined; the record outlives it
    client->PrepareStorageAccess();
    client->endpoint = server.endpoint();
    if (c.withKey) client->releaseKey = releaseKey;
    if (c.withNextKey) ASSERT_TRUE(BytesOfHex(KAVIMOR_TEST_NEXT_RELEASE_KEY, &client->nextReleaseKey));
    CreateStorageClient(*client);
    ASSERT_EQ(client->ReleaseLine(), ReleaseLine());

    testing_support::MessageSink sink;
    StartOutcome outcome;
    {
      testing_support::DialogAnswerer reinstall(IDOK);
      outcome = StartInstallSequence(*client, sink.window());
    }
    ASSERT_EQ(outcome, c.outcome);
    if (outcome == StartOutcome::Started) {
      ASSERT_TRUE(sink.PumpUntilFinal(300000));
      EXPECT_EQ(sink.messages().back().message, c.last);
      EXPECT_EQ(sink.messages().back().lParam, c.code);
    }
    CloseInstallLog();

    // The record: written by a successful installation of a serial only,
    // never by a refusal, and always with the served index's digest.
    ReleaseRecord record;
    const RecordRead read = ReadReleaseRecord(ReleaseLine(), &record);
    if (c.recordedAfter == 0) {
      EXPECT_EQ(read, RecordRead::Absent);
    } else {
      ASSERT_EQ(read, RecordRead::Found);
      EXPECT_EQ(record.serial, c.recordedAfter);
      EXPECT_EQ(record.sha256Hex, c.recordedAfter == c.recordedBefore
                                      ? HexOf(Sha256Of(PublishedIndex()))
                                      : HexOf(Sha256Of(ReadFileBytes(release + "\\release-index.txt"))));
    }

    std::vector<std::string> log = testing_support::LogTexts(ctx.logDir);
    const std::vector<std::string> tail = c.logTail(release);
    ASSERT_GE(log.size(), 2 + tail.size());
    EXPECT_EQ(log[0], "Version: IE_9.5.9.1");
    EXPECT_EQ(log[1], Gbk(u8"用户点击安装，安装开始..."));
    // A refusal's last line is compared up to the layer's error message or
    // the index's digest; every other line exactly.
    const size_t exact = c.last == WM_INSTALL_DONE ? tail.size() : tail.size() - 1;
    for (size_t i = 0; i < exact; ++i) EXPECT_EQ(log[2 + i], tail[i]) << i;
    if (c.last == WM_INSTALL_DONE) {
      // The rest of the run is the ordinary one (with the serial recorded
      // after the hand-over); the tree is the published one.
      if (c.recordedAfter != 0) {
        EXPECT_NE(std::find(log.begin(), log.end(), "Release serial recorded,serial:" + std::to_string(c.recordedAfter)),
                  log.end());
      }
      EXPECT_EQ(sink.Steps(), (std::vector<int>{2, 3, 4, 5, 6, 7, 9, 8, 10, 12, 13, 14}));
      const std::vector<int> percents = sink.Percents();
      ASSERT_GE(percents.size(), 8u);
      EXPECT_EQ(std::vector<int>(percents.end() - 8, percents.end()),
                (std::vector<int>{66, 67, 68, 69, 70, 75, 79, 80}));
      for (const auto& file : testing_support::ReadExpectedTree(DosPath(KAVIMOR_SIGNED_TREE))) {
        const std::string bytes = ReadFileBytes(ctx.installDir + "\\" + file.path);
        EXPECT_EQ(bytes.size(), file.size) << file.path;
        EXPECT_EQ(testing_support::Crc32(bytes), file.crc) << file.path;
      }
      int gets = 0;
      for (const auto& request : server.RequestLog()) gets += request.method == "GET" && request.status == 200;
      EXPECT_EQ(gets, c.withKey ? 7 : 5);  // (index, signature,) manifest, four packages
      return;
    }
    ASSERT_EQ(log.size(), 2 + tail.size());
    EXPECT_EQ(log.back().substr(0, tail.back().size()), tail.back());
    // Refused before anything was unpacked: no extraction step began, the
    // refused file is gone, and the old installation is as it was.
    for (const int step : sink.Steps()) EXPECT_LT(step, kStepInstallDepend);
    EXPECT_FALSE(PathExists(ctx.stagingDir + "\\9.5.9.1.zip"));
    EXPECT_FALSE(PathExists(ctx.stagingDir + "\\kavimor v9.5.exe"));
    EXPECT_EQ(ReadFileBytes(ctx.installDir + "\\old.txt"), "old");
    EXPECT_FALSE(PathExists(ctx.installDir + "\\kavimor v9.5.exe"));
    EXPECT_FALSE(PathExists(ctx.installDir + "\\update.ini"));
  }
};

TEST_F(SignedRelease, OnlyTheReleaseAsSignedInstalls) {
  const std::string signedRelease = DosPath(KAVIMOR_SIGNED_BUCKET) + "\\" + kPrefix;
  const std::string published = ReadFileBytes(signedRelease + "\\release-index.sig");
  // Each object fetched leaves one line saying how and at what cost; the
  // cache starts empty, so every one comes whole.
  auto fetched = [](const std::string& release, const std::string& key) {
    return testing_support::FetchedWholeLine(release, kPrefix, key);
  };
  auto started = [&](const std::string& release) {
    return std::vector<std::string>{fetched(release, "summary.ini"), Gbk(u8"下载前端依赖库"),
                                    Gbk(u8"下载服务依赖库"),          fetched(release, "base.zip"),
                                    Gbk(u8"下载配置文件"),            fetched(release, "config.zip"),
                                    Gbk(u8"下载运行库")};
  };
  auto concat = [](std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  auto rest = [&](const std::string& release) {
    return std::vector<std::string>{fetched(release, "fix/9.5.9.1.zip"), Gbk(u8"下载Quant"),
                                    fetched(release, "quant/1.2.0.zip")};
  };

  auto notSigned = [](const std::string&) {
    return std::vector<std::string>{
        "Release index rejected,key:9.5KavimorIE/release-index.txt,signature does not verify with the release key"};
  };

  const std::string verified5 = "Release index verified,objects:5,serial:5,expires:" + ExpiryOf(PublishedIndex());
  const std::string published5 = verified5 + ",key:current";
  auto refused = [](const std::string& line) {
    return [line](const std::string&) { return std::vector<std::string>{line}; };
  };
  auto withSizeAndDigest = [&](const std::string& key, const std::string& name) {
    return [&, key, name](const std::string& release) {
      const std::string original = ReadFileBytes(DosPath(KAVIMOR_SIGNED_BUCKET) + "\\" + kPrefix + "\\" + name);
      // A download of the signed length that does not match the index is
      // fetched once more through the cache, then refused; one of another
      // length takes the bounded route and is refused at once.
      const std::string served = ReadFileBytes(release + "\\" + name);
      const std::string refusal =
          "Release check failed,key:" + key + "," + SizeAndDigest(served) + ",expected " + SizeAndDigest(original);
      if (served.size() != original.size())
        return concat({published5}, concat(started(release), {refusal, Gbk(u8"下载运行库失败")}));
      const std::string line = fetched(release, key.substr(kPrefix.size() + 1));
      return concat({published5},
                    concat(started(release), {line, refusal, line, refusal, Gbk(u8"下载运行库失败")}));
    };
  };
  const std::string runtimeKey = kPrefix + "/fix/9.5.9.1.zip";
  const std::string runtime = "fix\\9.5.9.1.zip";

  const std::vector<Case> cases = {
      {"as published", true, [](const std::string&) {}, StartOutcome::Started, WM_INSTALL_DONE, 0,
       [&](const std::string& release) { return concat({published5}, concat(started(release), rest(release))); }, 0, 5},
      // The same release again (a repair) installs; the record stays.
      {"as installed", true, [](const std::string&) {}, StartOutcome::Started, WM_INSTALL_DONE, 0,
       [&](const std::string& release) { return concat({published5}, concat(started(release), rest(release))); }, 5, 5},
      // A build without the key neither asks for the index nor checks, and
      // says so.
      {"as published, no key", false, [](const std::string&) {}, StartOutcome::Started, WM_INSTALL_DONE, 0,
       [&](const std::string& release) { return concat({"release verification off"}, concat(started(release), rest(release))); }},
      {"signed with the next key of a rotation", true, Serve("", "next"), StartOutcome::Started, WM_INSTALL_DONE, 0,
       [&](const std::string& release) { return concat({verified5 + ",key:next"}, concat(started(release), rest(release))); },
       0, 5, true},
      {"signed with the next key, build without it", true, Serve("", "next"), StartOutcome::Started,
       WM_INSTALL_FAILED, kStepManifest, notSigned},
      // Replays: whoever controls the bucket or the path serves an older,
      // fully signed release, or other bytes under the installed serial.
      {"older serial", true, Serve("older"), StartOutcome::Started, WM_INSTALL_FAILED, kStepReleaseOlder,
       refused("Release index refused,serial:4 is older than installed serial:5"), 5, 5},
      {"same serial, other bytes", true, Serve("conflict"), StartOutcome::Started, WM_INSTALL_FAILED,
       kStepReleaseConflict,
       refused("Release index refused,serial:5 equals installed serial:5 with other content,sha256:" +
               HexOf(Sha256Of(Variant("conflict"))) + ",installed sha256:" + HexOf(Sha256Of(PublishedIndex()))),
       5, 5},
      {"expired", true, Serve("expired"), StartOutcome::Started, WM_INSTALL_FAILED, kStepReleaseExpired,
       refused("Release index refused,expired:" + ExpiryOf(Variant("expired")) + ",now:")},
      {"version 1, nothing recorded", true, Serve("v1"), StartOutcome::Started, WM_INSTALL_DONE, 0,
       [&](const std::string& release) {
         return concat({"Release index verified,objects:5,version 1 without serial,key:current"},
                       concat(started(release), rest(release)));
       }},
      {"version 1 after a serial", true, Serve("v1"), StartOutcome::Started, WM_INSTALL_FAILED, kStepReleaseOlder,
       refused("Release index refused,version 1 index without serial,installed serial:5"), 5, 5},
      {"runtime package replaced by another valid zip", true,
       [](const std::string& release) {
         CopyFileA((release + "\\base.zip").c_str(), (release + "\\fix\\9.5.9.1.zip").c_str(), FALSE);
       },
       StartOutcome::Started, WM_INSTALL_FAILED, kStepDownloadRuntime, withSizeAndDigest(runtimeKey, runtime)},
      // Only the digest tells these apart.
      {"runtime package, one byte changed", true,
       [](const std::string& release) {
         std::string bytes = ReadFileBytes(release + "\\fix\\9.5.9.1.zip");
         bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x20);
         WriteFileBytes(release + "\\fix\\9.5.9.1.zip", bytes);
       },
       StartOutcome::Started, WM_INSTALL_FAILED, kStepDownloadRuntime, withSizeAndDigest(runtimeKey, runtime)},
      // A longer body is cut off at the signed size: the rest is never
      // written (the check of the whole object would come too late for a
      // body that fills the disk).
      {"runtime package longer than signed", true,
       [](const std::string& release) {
         std::string bytes = ReadFileBytes(release + "\\fix\\9.5.9.1.zip");
         WriteFileBytes(release + "\\fix\\9.5.9.1.zip", bytes + std::string(3 << 20, 'x'));
       },
       StartOutcome::Started, WM_INSTALL_FAILED, kStepDownloadRuntime,
       [&](const std::string& release) {
         const size_t size = ReadFileBytes(DosPath(KAVIMOR_SIGNED_BUCKET) + "\\" + kPrefix + "\\" + runtime).size();
         return concat({published5},
                       concat(started(release), {"Downfile Fail,code:ClientError:200023,message:Failed writing received data "
                                        "to disk/application.the response stream refused the body,requestId:",
                                        "Download stopped,key:" + runtimeKey + ",the body passed its signed size of " +
                                            std::to_string(size) + " bytes",
                                        Gbk(u8"下载运行库失败")}));
       }},
      {"summary.ini changed, old signature", true,
       [](const std::string& release) {
         std::string summary = ReadFileBytes(release + "\\summary.ini");
         summary.replace(summary.find("9.5.9.1"), 7, "9.5.9.0");
         WriteFileBytes(release + "\\summary.ini", summary);
       },
       StartOutcome::Started, WM_INSTALL_FAILED, kStepManifest,
       [&](const std::string& release) {
         const std::string refused =
             "Release check failed,key:9.5KavimorIE/summary.ini," + SizeAndDigest(ReadFileBytes(release + "\\summary.ini")) +
             ",expected ";
         const std::string original = ReadFileBytes(DosPath(KAVIMOR_SIGNED_BUCKET) + "\\" + kPrefix + "\\summary.ini");
         return std::vector<std::string>{published5, fetched(release, "summary.ini"), refused + SizeAndDigest(original),
                                         fetched(release, "summary.ini"), refused};
       }},
      {"index signed with another key", true,
       [](const std::string& release) {
         CopyFileA(DosPath(KAVIMOR_OTHER_KEY_SIGNATURE).c_str(), (release + "\\release-index.sig").c_str(), FALSE);
       },
       StartOutcome::Started, WM_INSTALL_FAILED, kStepManifest, notSigned},
      {"index changed, old signature", true,
       [](const std::string& release) {
         std::string index = ReadFileBytes(release + "\\release-index.txt");
         index[90] = index[90] == '0' ? '1' : '0';  // a digit of the first digest
         WriteFileBytes(release + "\\release-index.txt", index);
       },
       StartOutcome::Started, WM_INSTALL_FAILED, kStepManifest, notSigned},
      {"truncated signature", true,
       [&](const std::string& release) { WriteFileBytes(release + "\\release-index.sig", published.substr(0, 63)); },
       StartOutcome::Started, WM_INSTALL_FAILED, kStepManifest,
       [](const std::string&) {
         return std::vector<std::string>{
             "Release index rejected,key:9.5KavimorIE/release-index.sig,signature of 63 bytes, 64 expected"};
       }},
      // Held in memory while it is checked, so a larger answer is cut off.
      {"index over 1 MiB", true,
       [](const std::string& release) {
         std::string index = ReadFileBytes(release + "\\release-index.txt");
         WriteFileBytes(release + "\\release-index.txt", index + std::string(kReleaseIndexMaxBytes, 'a'));
       },
       StartOutcome::Started, WM_INSTALL_FAILED, kStepManifest,
       [](const std::string&) {
         return std::vector<std::string>{"Release index fetch failed,key:9.5KavimorIE/release-index.txt,code:"};
       }},
      {"no signature", true,
       [](const std::string& release) { DeleteFileA((release + "\\release-index.sig").c_str()); },
       StartOutcome::Started, WM_INSTALL_FAILED, kStepManifest,
       [](const std::string&) {
         return std::vector<std::string>{"Release index fetch failed,key:9.5KavimorIE/release-index.sig,code:NoSuchKey,"};
       }},
  };

  std::string releaseKey;
  ASSERT_TRUE(BytesOfHex(KAVIMOR_TEST_RELEASE_KEY, &releaseKey));
  ScratchDir bucket("signed-bucket");
  testing_support::OssServerProcess server(bucket.path(), KAVIMOR_TEST_BUCKET, KAVIMOR_TEST_KEY_ID,
                                           KAVIMOR_TEST_KEY_SECRET);
  ASSERT_TRUE(server.running());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Run(c, releaseKey, server, bucket.path());
  }
}

// A user's program waits for base.zip to be checked and, while the last
// package downloads, replaces it: in place (refused while the check holds
// it), or by renaming the staging folder and making it again with its own
// base.zip and the genuine last package (public bytes, so that package's
// check passes). The signed build never unpacks the replacement.
TEST_F(SignedRelease, APackageReplacedAfterItsCheckIsNeverUnpacked) {
  std::string releaseKey;
  ASSERT_TRUE(BytesOfHex(KAVIMOR_TEST_RELEASE_KEY, &releaseKey));
  ScratchDir profile("swap-after-check");
  ScratchDir bucket("swap-after-check-bucket");
  CopyTree(DosPath(KAVIMOR_SIGNED_BUCKET), bucket.path());
  const std::string release = bucket / kPrefix;
  AppContext& ctx = LayOut(profile);

  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA((release + "\\quant\\*.zip").c_str(), &found);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  FindClose(find);
  const std::string quantName = found.cFileName;

  testing_support::OssServerProcess server(bucket.path(), KAVIMOR_TEST_BUCKET, KAVIMOR_TEST_KEY_ID,
                                           KAVIMOR_TEST_KEY_SECRET);
  ASSERT_TRUE(server.running());
  // The last package's transfer waits a moment: the attacker's window.
  server.SetFaults({{"stall", kPrefix + "/quant/" + quantName, 0, 1, 2.0}});
  auto* client = new IClient;  // the worker is never joined; the record outlives it
  client->PrepareStorageAccess();
  client->endpoint = server.endpoint();
  client->releaseKey = releaseKey;
  CreateStorageClient(*client);

  testing_support::MessageSink sink;
  {
    testing_support::DialogAnswerer reinstall(IDOK);
    ASSERT_EQ(StartInstallSequence(*client, sink.window()), StartOutcome::Started);
  }
  const ULONGLONG end = GetTickCount64() + 120000;
  auto stepSeen = [&](int step) {
    for (const int s : sink.Steps())
      if (s == step) return true;
    return false;
  };
  while (!stepSeen(kStepDownloadQuant) && GetTickCount64() < end) sink.Pump(10);
  ASSERT_TRUE(stepSeen(kStepDownloadQuant));

  const std::string staging = ctx.stagingDir;
  const std::string evil = unzip_fixture::Build({unzip_fixture::File("evil.dll", "planted"),
                                                 unzip_fixture::File("kavimor v9.5.exe", "planted")});
  WriteFileBytes(profile / "evil.zip", evil);
  EXPECT_FALSE(MoveFileExA((profile / "evil.zip").c_str(), (staging + "\\base.zip").c_str(), MOVEFILE_REPLACE_EXISTING))
      << "a checked package is held without delete sharing";
  const bool renamed = MoveFileA(staging.c_str(), (staging + "-moved").c_str()) != FALSE;
  if (renamed) {
    CreateDirectoryA(staging.c_str(), nullptr);
    WriteFileBytes(staging + "\\base.zip", evil);
    CopyFileA((release + "\\quant\\" + quantName).c_str(), (staging + "\\" + quantName).c_str(), FALSE);
  }
  ASSERT_TRUE(sink.PumpUntilFinal(300000));
  CloseInstallLog();

  for (const std::string& folder : {staging, staging + "-moved", ctx.installDir})
    EXPECT_FALSE(PathExists(folder + "\\evil.dll")) << folder;
  EXPECT_NE(ReadFileBytes(ctx.installDir + "\\kavimor v9.5.exe"), "planted");
  const std::vector<std::string> log = testing_support::LogTexts(ctx.logDir);
  std::printf("staging folder renamed while its files were open: %s\n", renamed ? "yes" : "no");
  if (renamed) {
    EXPECT_EQ(sink.messages().back().message, WM_INSTALL_FAILED);
    EXPECT_EQ(sink.messages().back().lParam, kStepInstallBase);
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], "Package changed after its check: " + staging + "/base.zip");
    EXPECT_EQ(ReadFileBytes(ctx.installDir + "\\old.txt"), "old");
  } else {
    EXPECT_EQ(sink.messages().back().message, WM_INSTALL_DONE);
  }
  testing_support::RemoveTree(staging + "-moved");
}

// The signed release as a layout folder, installed from with no object
// store at all: the signed index in the folder vouches for every object,
// and one changed byte of a package ends the run with the release code.
TEST_F(SignedRelease, ALayoutFolderIsCheckedAgainstItsSignedIndexWithoutNetwork) {
  std::string releaseKey;
  ASSERT_TRUE(BytesOfHex(KAVIMOR_TEST_RELEASE_KEY, &releaseKey));
  for (const bool tampered : {true, false}) {
    SCOPED_TRACE(tampered ? "one changed byte" : "as signed");
    Cleanup();
    ClearRunFailure();
    ScratchDir profile("signed-layout");
    ScratchDir layout("signed-layout-folder");
    CopyTree(DosPath(KAVIMOR_SIGNED_BUCKET), layout.path());
    const std::string base = layout / (std::string(kPrefix) + "\\base.zip");
    if (tampered) {
      std::string bytes = ReadFileBytes(base);
      ASSERT_FALSE(bytes.empty());
      bytes[bytes.size() / 3] = static_cast<char>(bytes[bytes.size() / 3] ^ 0x40);
      WriteFileBytes(base, bytes);
    }
    AppContext& ctx = PrepareContext(profile.path());
    auto* client = new IClient;  // the worker is never joined; the record outlives it
    client->PrepareStorageAccess();
    client->endpoint = "http://127.0.0.1:9";  // nothing answers there, nothing is asked
    client->releaseKey = releaseKey;
    client->localSource = layout.path();
    CreateStorageClient(*client);
    testing_support::MessageSink sink;
    ASSERT_EQ(StartInstallSequence(*client, sink.window()), StartOutcome::Started);
    ASSERT_TRUE(sink.PumpUntilFinal(300000));
    CloseInstallLog();
    const std::vector<std::string> log = testing_support::LogTexts(ctx.logDir);
    if (tampered) {
      EXPECT_EQ(sink.messages().back().message, WM_INSTALL_FAILED);
      EXPECT_EQ(sink.messages().back().lParam, kStepDownloadBase);
      EXPECT_EQ(ExitCodeForFailure(static_cast<int>(sink.messages().back().lParam)), kExitReleaseRefused);
      bool named = false;
      for (const std::string& line : log) named = named || line.rfind("Release check failed,key:9.5KavimorIE/base.zip", 0) == 0;
      EXPECT_TRUE(named);
      EXPECT_FALSE(PathExists(ctx.installDir + "\\kavimor v9.5.exe"));
    } else {
      EXPECT_EQ(sink.messages().back().message, WM_INSTALL_DONE);
      for (const auto& file : testing_support::ReadExpectedTree(DosPath(KAVIMOR_SIGNED_TREE))) {
        const std::string bytes = ReadFileBytes(ctx.installDir + "\\" + file.path);
        EXPECT_EQ(bytes.size(), file.size) << file.path;
        EXPECT_EQ(testing_support::Crc32(bytes), file.crc) << file.path;
      }
    }
    EXPECT_EQ((log.size() >= 3 ? log[2] : "").rfind("Release index verified,objects:5,serial:", 0), 0u);
  }
  ClearRunFailure();
}

}  // namespace
