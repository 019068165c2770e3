// Whole installations with the release check on: the real engine against
// the local object-store server serving the signed package set, as
// published, and tampered copies of it. A tampered release must be refused
// before anything of it is unpacked, leaving the old installation as it was.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "engine/app_context.h"
#include "engine/client.h"
#include "engine/messages.h"
#include "engine/pipeline.h"
#include "platform/install_log.h"
#include "platform/text.h"
#include "registration_helpers.h"
#include "support/message_sink.h"
#include "support/oss_server.h"
#include "support/package_cache_helpers.h"
#include "support/package_tree.h"
#include "support/test_support.h"
#include "transfer/release_crypto.h"
#include "transfer/release_index.h"

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
};

class SignedRelease : public ::testing::Test {
 protected:
  void SetUp() override { Cleanup(); }
  void TearDown() override {
    CloseInstallLog();
    Cleanup();
  }
  static void Cleanup() { registration_test::RemoveInstallRegistrations(); }

  // One installation against a tampered copy; a failed assertion ends
  // this case only.
  void Run(const Case& c, const std::string& releaseKey) {
    Cleanup();
    ScratchDir profile("signed");
    ScratchDir bucket("signed-bucket");
    CopyTree(DosPath(KAVIMOR_SIGNED_BUCKET), bucket.path());
    const std::string release = bucket / kPrefix;
    c.tamper(release);

    AppContext& ctx = GetAppContext();
    ctx.packageId = "201805";
    ctx.displayName = "NOLDAR Trading System";
    ctx.languageId = 2052;
    ctx.languageCode = "CHS";
    ApplyDirectoryLayout(ctx, profile.path(), "", ctx.packageId);
    testing_support::ForgetPackageCache(ctx.installDir);
    // An earlier installation the refused releases must leave alone.
    CreateDirectoryA(ctx.installDir.c_str(), nullptr);
    WriteFileBytes(ctx.installDir + "\\old.txt", "old");

    testing_support::OssServerProcess server(bucket.path(), KAVIMOR_TEST_BUCKET, KAVIMOR_TEST_KEY_ID,
                                             KAVIMOR_TEST_KEY_SECRET);
    ASSERT_TRUE(server.running());
    auto* client = new IClient;  // the worker is never joined; the record outlives it
    client->PrepareStorageAccess();
    client->endpoint = server.endpoint();
    if (c.withKey) client->releaseKey = releaseKey;
    CreateStorageClient(*client);

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
      // The rest of the run is the ordinary one; the tree is the published one.
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

  const std::vector<Case> cases = {
      {"as published", true, [](const std::string&) {}, StartOutcome::Started, WM_INSTALL_DONE, 0,
       [&](const std::string& release) {
         return concat({"Release index verified,objects:5"}, concat(started(release), rest(release)));
       }},
      // A build without the key neither asks for the index nor checks.
      {"as published, no key", false, [](const std::string&) {}, StartOutcome::Started, WM_INSTALL_DONE, 0,
       [&](const std::string& release) { return concat(started(release), rest(release)); }},
      // A download that does not match the index is fetched once more, then
      // refused.
      {"runtime package replaced by another valid zip", true,
       [](const std::string& release) {
         CopyFileA((release + "\\base.zip").c_str(), (release + "\\fix\\9.5.9.1.zip").c_str(), FALSE);
       },
       StartOutcome::Started, WM_INSTALL_FAILED, kStepDownloadRuntime,
       [&](const std::string& release) {
         const std::string original = ReadFileBytes(DosPath(KAVIMOR_SIGNED_BUCKET) + "\\" + kPrefix + "\\fix\\9.5.9.1.zip");
         const std::string refused = "Release check failed,key:9.5KavimorIE/fix/9.5.9.1.zip," +
                                     SizeAndDigest(ReadFileBytes(release + "\\base.zip")) + ",expected " +
                                     SizeAndDigest(original);
         return concat({"Release index verified,objects:5"},
                       concat(started(release), {fetched(release, "fix/9.5.9.1.zip"), refused,
                                                 fetched(release, "fix/9.5.9.1.zip"), refused,
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
         return std::vector<std::string>{"Release index verified,objects:5", fetched(release, "summary.ini"),
                                         refused + SizeAndDigest(original), fetched(release, "summary.ini"),
                                         refused};
       }},
      {"index signed with another key", true,
       [](const std::string& release) {
         CopyFileA(DosPath(KAVIMOR_OTHER_KEY_SIGNATURE).c_str(), (release + "\\release-index.sig").c_str(), FALSE);
       },
       StartOutcome::Started, WM_INSTALL_FAILED, kStepManifest, notSigned},
      {"index changed, old signature", true,
       [](const std::string& release) {
         std::string index = ReadFileBytes(release + "\\release-index.txt");
         index[30] = index[30] == '0' ? '1' : '0';  // a digit of the first digest
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
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Run(c, releaseKey);
  }
}

}  // namespace
