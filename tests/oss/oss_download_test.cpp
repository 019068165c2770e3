// DownloadObject and its wrappers, the progress percentage, the manifest
// and the version record, and the storage access set-up, against the local
// server with the install log and a stand-in main window.
#include "oss/oss_fixture.h"

#include <algorithm>
#include <cstring>

#include "engine/app_context.h"
#include "engine/client.h"
#include "engine/download.h"
#include "engine/messages.h"
#include "kavimor_deployment.h"
#include "platform/install_log.h"
#include "platform/text.h"
#include "support/message_sink.h"

namespace oss_test {
namespace {

using testing_support::MessageSink;

class DownloadTest : public OssServerTest {
 protected:
  DownloadTest() : work_("oss_work") {
    AppContext& ctx = GetAppContext();
    ctx.packageId = "201805";
    ctx.stagingDir = work_.path() + "\\Kavimor201805v9.5temp";
    ctx.logDir = work_.path() + "\\log";
    CreateDirectoryA(ctx.stagingDir.c_str(), nullptr);
    CreateDirectoryA(ctx.logDir.c_str(), nullptr);
    OpenInstallLog(GetAppContext().logDir);
    oss_ = Client(OSS::ClientConfiguration());
    client_.bucket = kBucket;
    client_.ossClient = oss_.get();
    client_.plannedDownloads = 5;
  }
  ~DownloadTest() override {
    client_.ossClient = nullptr;
    CloseInstallLog();
  }
  // The log's lines so far (the log is closed to read it).
  std::vector<std::string> Log() {
    CloseInstallLog();
    return testing_support::LogTexts(GetAppContext().logDir);
  }
  std::string Staged(const std::string& name) const { return GetAppContext().stagingDir + "/" + name; }
  void Put(const std::string& suffix, const std::string& bytes) {
    PutObject(root_->path(), "9.5KavimorIE" + suffix, bytes);
  }

  testing_support::ScratchDir work_;
  MessageSink sink_;
  std::unique_ptr<OSS::OssClient> oss_;
  IClient client_;
};

TEST_F(DownloadTest, AMissingObjectLeavesOneLineAndNothingElse) {
  EXPECT_FALSE(client_.DownloadObject("9.5KavimorIE/base.zip", Staged("base.zip")));
  sink_.Pump(100);
  EXPECT_EQ(Log(), std::vector<std::string>{"9.5KavimorIE/base.zip" + Gbk(u8",文件不存在")});
  EXPECT_FALSE(testing_support::PathExists(Staged("base.zip")));
  EXPECT_EQ(client_.finishedDownloads, 0);
  EXPECT_TRUE(sink_.messages().empty());
  EXPECT_EQ(Count("GET", "9.5KavimorIE/base.zip"), 0);
}

TEST_F(DownloadTest, AFailedTransferCountsOnceAndLogsTheServiceError) {
  Put("/base.zip", Pattern(5000));
  struct Case {
    testing_support::OssFault fault;
    std::string codeAndMessage;
  };
  const Case cases[] = {
      {{"status", "9.5KavimorIE/base.zip", 500, 0},
       "code:InternalError,message:We encountered an internal error. Please try again.,requestId:"},
      {{"bad_crc", "9.5KavimorIE/base.zip", 0, 0}, "code:ClientError:100001,message:Crc64 validation failed."},
  };
  int finished = 0;
  for (const Case& c : cases) {
    server_->SetFaults({c.fault});
    EXPECT_FALSE(client_.DownloadObject("9.5KavimorIE/base.zip", Staged("base.zip")));
    EXPECT_EQ(client_.finishedDownloads, ++finished);
  }
  const auto lines = Log();
  ASSERT_EQ(lines.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(lines[i].rfind("Downfile Fail," + cases[i].codeAndMessage, 0), 0u) << lines[i];
  }
  // The request id of the service's answer closes the first line.
  EXPECT_EQ(lines[0].size(), std::string("Downfile Fail,").size() + cases[0].codeAndMessage.size() + 24);
}

// Without a release index the existence check's size is the bound: a body
// longer than announced (an object swapped on the way) stops there.
TEST_F(DownloadTest, ABodyLongerThanTheExistenceCheckAnnouncedStopsAtThatSize) {
  Put("/base.zip", Pattern(700000));
  testing_support::WriteFileBytes(Staged("base.zip"), "an older download");
  server_->SetFaults({{"head_length", "9.5KavimorIE/base.zip", 1000, 0, 0, "HEAD"}});
  EXPECT_FALSE(client_.DownloadObject("9.5KavimorIE/base.zip", Staged("base.zip")));
  EXPECT_FALSE(testing_support::PathExists(Staged("base.zip"))) << "nothing of it is left";
  const auto lines = Log();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind("Downfile Fail,code:ClientError:200023,", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1], "Download stopped,key:9.5KavimorIE/base.zip,the body passed its announced size of 1000 bytes");
}

TEST(DownloadPercentTest, FollowsTheSharesOfThePlannedDownloads) {
  struct Case {
    int64_t transferred, total;
    int32_t finished, planned, percent;
  };
  const Case cases[] = {
      {100, 100, 0, 6, 13},  {100, 100, 5, 6, 80}, {50, 100, 2, 5, 40},  {100, 100, 4, 5, 80},
      {100, 100, 3, 5, 64},  {0, 100, 0, 5, 0},    {99, 100, 0, 5, 15},   {1, 3, 1, 6, 17},
      // An answer without a length shows its share complete.
      {0, 0, 2, 5, 48},      {12345, -1, 2, 5, 48}, {0, 0, 0, 6, 13},
  };
  for (const Case& c : cases)
    EXPECT_EQ(DownloadPercent(c.transferred, c.total, c.finished, c.planned), c.percent)
        << c.transferred << "/" << c.total << " after " << c.finished << " of " << c.planned;
}

TEST(DownloadFailureLineTest, IsCutToTheBufferInsteadOfOverrunningIt) {
  const std::string shortLine = DownloadFailureLine("NoSuchKey", "gone", "ABC");
  EXPECT_EQ(shortLine, "Downfile Fail,code:NoSuchKey,message:gone,requestId:ABC");
  const std::string longLine = DownloadFailureLine("InternalError", std::string(5000, 'm'), "ABC");
  EXPECT_EQ(longLine.size(), 2045u);
  EXPECT_EQ(longLine.rfind("Downfile Fail,code:InternalError,message:mmm", 0), 0u);
}

TEST_F(DownloadTest, ProgressRunsFromTheManifestToTheRuntimePackage) {
  Put("/summary.ini", "[cfgstamp]\r\ntime=7\r\n[fixstamp]\r\n201805=9.5.9.1\r\n");
  Put("/base.zip", Pattern(700000));
  Put("/config.zip", Pattern(3000));
  Put("/fix/9.5.9.1.zip", Pattern(1500000));
  ASSERT_TRUE(client_.FetchManifest());
  ASSERT_TRUE(client_.DownloadObject("9.5KavimorIE/base.zip", Staged("base.zip")));
  ASSERT_TRUE(client_.DownloadObject("9.5KavimorIE/config.zip", Staged("config.zip")));
  ASSERT_TRUE(client_.DownloadRuntimePackage("9.5.9.1.zip"));
  sink_.Pump(200);
  EXPECT_EQ(client_.finishedDownloads, 4);
  EXPECT_EQ(client_.progressPercent, 64);
  EXPECT_EQ(sink_.Steps(), std::vector<int>{kStepDownloadRuntime});
  const std::vector<int> percents = sink_.Percents();
  ASSERT_FALSE(percents.empty());
  EXPECT_EQ(percents.back(), 64);
  EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
  for (const int share : {16, 32, 48}) {
    EXPECT_NE(std::find(percents.begin(), percents.end(), share), percents.end()) << share;
  }
  EXPECT_EQ(testing_support::ReadFileBytes(Staged("9.5.9.1.zip")), Pattern(1500000));
  // A successful download writes no line; the manifest fetch of a build
  // without a release key writes its one note.
  EXPECT_EQ(Log(), std::vector<std::string>{"release verification off"});
}

TEST_F(DownloadTest, AnExistingFileIsReplacedNotAppendedTo) {
  Put("/config.zip", "fresh");
  Put("/empty.zip", "");
  for (const char* name : {"config.zip", "empty.zip"})
    testing_support::WriteFileBytes(Staged(name), std::string(10000, 'Z'));
  ASSERT_TRUE(client_.DownloadObject("9.5KavimorIE/config.zip", Staged("config.zip")));
  EXPECT_EQ(testing_support::ReadFileBytes(Staged("config.zip")), "fresh");
  ASSERT_TRUE(client_.DownloadObject("9.5KavimorIE/empty.zip", Staged("empty.zip")));
  EXPECT_EQ(testing_support::ReadFileBytes(Staged("empty.zip")), "");
  // A retried transfer leaves only the last attempt's bytes.
  server_->SetFaults({{"drop", "9.5KavimorIE/config.zip", 2, 1}});
  ASSERT_TRUE(client_.DownloadObject("9.5KavimorIE/config.zip", Staged("config.zip")));
  EXPECT_EQ(testing_support::ReadFileBytes(Staged("config.zip")), "fresh");
}

TEST_F(DownloadTest, AQuantVersionEqualToTheRuntimeVersionReplacesItsFile) {
  Put("/fix/9.5.9.1.zip", "runtime package");
  Put("/quant/9.5.9.1.zip", "quant package");
  ASSERT_TRUE(client_.DownloadRuntimePackage("9.5.9.1.zip"));
  EXPECT_EQ(testing_support::ReadFileBytes(Staged("9.5.9.1.zip")), "runtime package");
  ASSERT_TRUE(client_.DownloadQuantPackage("9.5.9.1.zip"));
  EXPECT_EQ(testing_support::ReadFileBytes(Staged("9.5.9.1.zip")), "quant package");
  sink_.Pump(100);
  EXPECT_EQ(sink_.Steps(), (std::vector<int>{kStepDownloadRuntime, kStepDownloadQuant}));
  EXPECT_EQ(Count("GET", "9.5KavimorIE/fix/9.5.9.1.zip"), 1);
  EXPECT_EQ(Count("GET", "9.5KavimorIE/quant/9.5.9.1.zip"), 1);
}

std::string ReadIni(const std::string& file, const char* section, const char* key) {
  char value[256] = {};
  GetPrivateProfileStringA(section, key, "<absent>", value, sizeof value, file.c_str());
  return value;
}

TEST_F(DownloadTest, TheManifestIsReadAndWrittenBackAsInstalled) {
  struct Case {
    const char* name;
    std::string manifest;
    int64_t stamp;
    std::string fix, quant;
    bool hasQuant;
    int planned;
    std::string writtenStamp;
  };
  const std::vector<Case> cases = {
      {"with quant",
       "[cfgstamp]\r\ntime=1700000000\r\n[fixstamp]\r\n201806=9.9.9.9\r\n201805=9.5.9.1\r\n"
       "[quant]\r\n201805=q1.2\r\n",
       1700000000, "9.5.9.1", "q1.2", true, 6, "1700000000"},
      {"quant only for another package",
       "[cfgstamp]\r\ntime=5\r\n[fixstamp]\r\n201805=9.5.9.1\r\n[quant]\r\n201806=q9\r\n", 5,
       "9.5.9.1", "", false, 5, "5"},
      {"blanks, sign and letters", "[cfgstamp]\r\ntime=  -42abc\r\n[FIXSTAMP]\r\n201805 = v1 \r\n",
       -42, "v1", "", false, 5, "-42"},
      {"no time", "[fixstamp]\r\n201805=9.5.9.1\r\n", 0, "9.5.9.1", "", false, 5, "0"},
      {"20-character versions, quoted",
       "[cfgstamp]\r\ntime=1\r\n[fixstamp]\r\n201805=\"1234567890abcdefghij\"\r\n"
       "[quant]\r\n201805=ABCDEFGHIJabcdefghij\r\n",
       1, "1234567890abcdefghij", "ABCDEFGHIJabcdefghij", true, 6, "1"},
  };
  const std::string record = GetAppContext().stagingDir + "\\update.ini";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Put("/summary.ini", c.manifest);
    IClient client;
    client.bucket = kBucket;
    client.ossClient = oss_.get();
    client.plannedDownloads = 5;
    client.hasQuant = true;
    ASSERT_TRUE(client.FetchManifest());
    EXPECT_EQ(client.configStamp, c.stamp);
    EXPECT_EQ(std::string(client.fixVersion), c.fix);
    EXPECT_EQ(std::string(client.quantVersion), c.quant);
    EXPECT_EQ(client.hasQuant, c.hasQuant);
    EXPECT_EQ(client.plannedDownloads, c.planned);
    EXPECT_EQ(client.finishedDownloads, 1);

    DeleteFileA(record.c_str());
    client.WriteVersionRecord();
    EXPECT_EQ(ReadIni(record, "cfgstamp", "time"), c.writtenStamp);
    EXPECT_EQ(ReadIni(record, "version", "cur"), c.fix);
    EXPECT_EQ(ReadIni(record, "version", "quant"), c.quant) << "the key is written even when empty";
    EXPECT_EQ(GetAppContext().currentVersion, c.fix);
    client.ossClient = nullptr;
  }
}

// A version becomes a file name in the staging folder, an object key and
// the record update.ini: one that is not a plain file name fails the
// manifest step before anything is built from it.
TEST_F(DownloadTest, AnUnusableVersionFailsTheManifestAndTouchesNothing) {
  // Where "../../x" would have put the runtime package, a user's file.
  const std::string outside = work_.path() + "\\..\\x.zip";
  testing_support::WriteFileBytes(outside, "a user's file");
  struct Case {
    std::string manifest;
    std::string line;
  } const cases[] = {
      {"[fixstamp]\r\n201805=../../x\r\n", "Manifest value [fixstamp] 201805=\"../../x\" refused: not a plain file name"},
      {"[fixstamp]\r\n201805=9.5\r\n[quant]\r\n201805=..\\..\\x\r\n",
       "Manifest value [quant] 201805=\"..\\x5C..\\x5Cx\" refused: not a plain file name"},
      {"[cfgstamp]\r\ntime=3\r\n", "Manifest value [fixstamp] 201805=\"\" refused: empty"},
      {"[fixstamp]\r\n201805=1234567890abcdefghijK\r\n",
       "Manifest value [fixstamp] 201805=\"1234567890abcdefghijK\" refused: longer than 20 characters"},
      {"[fixstamp]\r\n201805=C:x\r\n", "Manifest value [fixstamp] 201805=\"C:x\" refused: not a plain file name"},
      {"[fixstamp]\r\n201805=9\t\x01" "5\r\n",
       "Manifest value [fixstamp] 201805=\"9\\x09\\x015\" refused: not a plain file name"},
      // A CR ends the line: the closing quote is not part of the value.
      {"[fixstamp]\r\n201805=\"9.5\r\"\r\n",
       "Manifest value [fixstamp] 201805=\"\\x229.5\" refused: not a plain file name"},
      {"[fixstamp]\r\n201805=9.5.\r\n", "Manifest value [fixstamp] 201805=\"9.5.\" refused: not a plain file name"},
      {"[fixstamp]\r\n201805=\"9.5 \"\r\n", "Manifest value [fixstamp] 201805=\"9.5 \" refused: not a plain file name"},
      {"[fixstamp]\r\n201805=a|b\r\n", "Manifest value [fixstamp] 201805=\"a|b\" refused: not a plain file name"},
      {"[fixstamp]\r\n201805=nul\r\n", "Manifest value [fixstamp] 201805=\"nul\" refused: not a plain file name"},
      // Devices in any folder and with any extension.
      {"[fixstamp]\r\n201805=COM1\r\n", "Manifest value [fixstamp] 201805=\"COM1\" refused: not a plain file name"},
      {"[fixstamp]\r\n201805=9.5\r\n[quant]\r\n201805=lpt9.x\r\n",
       "Manifest value [quant] 201805=\"lpt9.x\" refused: not a plain file name"},
      // Names that would make one download overwrite another.
      {"[fixstamp]\r\n201805=base\r\n", "Manifest value [fixstamp] 201805=\"base\" refused: names another download"},
      {"[fixstamp]\r\n201805=Config\r\n",
       "Manifest value [fixstamp] 201805=\"Config\" refused: names another download"},
      {"[fixstamp]\r\n201805=9.5\r\n[quant]\r\n201805=DEPEND\r\n",
       "Manifest value [quant] 201805=\"DEPEND\" refused: names another download"},
      {"[fixstamp]\r\n201805=summary\r\n",
       "Manifest value [fixstamp] 201805=\"summary\" refused: names another download"},
      {"[fixstamp]\r\n201805=BASE~1\r\n", "Manifest value [fixstamp] 201805=\"BASE~1\" refused: not a plain file name"},
      {"[fixstamp]\r\n201805=9.6.0\r\n[quant]\r\n201805=9.6.0\r\n",
       "Manifest value [quant] 201805=\"9.6.0\" refused: same file name as the runtime version"},
      {"[fixstamp]\r\n201805=9.6.a\r\n[quant]\r\n201805=9.6.A\r\n",
       "Manifest value [quant] 201805=\"9.6.A\" refused: same file name as the runtime version"},
  };
  std::vector<std::string> expected;
  for (const Case& c : cases) {
    Put("/summary.ini", c.manifest);
    client_.configStamp = 99;
    std::strcpy(client_.fixVersion, "old");
    client_.quantVersion[0] = '\0';
    client_.hasQuant = false;
    EXPECT_FALSE(client_.FetchManifest()) << c.line;
    EXPECT_EQ(client_.configStamp, 99) << c.line;
    EXPECT_EQ(std::string(client_.fixVersion), "old") << c.line;
    EXPECT_EQ(std::string(client_.quantVersion), "") << c.line;
    EXPECT_EQ(client_.plannedDownloads, 5) << c.line;
    expected.push_back("release verification off");
    expected.push_back(c.line);
  }
  EXPECT_EQ(Log(), expected);
  EXPECT_EQ(testing_support::ReadFileBytes(outside), "a user's file");
  EXPECT_FALSE(testing_support::PathExists(GetAppContext().stagingDir + "\\update.ini"));
  DeleteFileA(outside.c_str());
}

TEST_F(DownloadTest, AMissingManifestChangesNothing) {
  client_.configStamp = 99;
  std::strcpy(client_.fixVersion, "old");
  client_.hasQuant = true;
  EXPECT_FALSE(client_.FetchManifest());
  EXPECT_EQ(client_.configStamp, 99);
  EXPECT_EQ(std::string(client_.fixVersion), "old");
  EXPECT_TRUE(client_.hasQuant);
  EXPECT_EQ(client_.plannedDownloads, 5);
  EXPECT_EQ(client_.finishedDownloads, 0);
  EXPECT_EQ(Log(), (std::vector<std::string>{"release verification off",
                                             "9.5KavimorIE/summary.ini" + Gbk(u8",文件不存在")}));
}

TEST(StorageAccessTest, UnscramblesTheDeploymentKeyPair) {
  IClient client;
  client.wantDependPackage = true;
  client.plannedDownloads = 9;
  client.finishedDownloads = 3;
  client.accessKeyId = "stale";
  const std::string carrierBefore = kCredentialsCarrier;
  client.PrepareStorageAccess();
  EXPECT_EQ(client.accessKeyId, KAVIMOR_TEST_KEY_ID);
  EXPECT_EQ(client.accessKeySecret, KAVIMOR_TEST_KEY_SECRET);
  EXPECT_EQ(client.accessKeyId.size() + client.accessKeySecret.size(), 54u);
  EXPECT_EQ(std::string(kCredentialsCarrier), carrierBefore);
  EXPECT_EQ(carrierBefore.size(), 57u);
  EXPECT_EQ(carrierBefore.find(KAVIMOR_TEST_KEY_ID), std::string::npos);
  EXPECT_EQ(carrierBefore.find(KAVIMOR_TEST_KEY_SECRET), std::string::npos);
  EXPECT_EQ(client.endpoint, kOssEndpoint);
  EXPECT_EQ(client.bucket, KAVIMOR_TEST_BUCKET);
  EXPECT_FALSE(client.wantDependPackage);
  EXPECT_EQ(client.plannedDownloads, 5);
  EXPECT_EQ(client.finishedDownloads, 0);
  EXPECT_EQ(client.ossClient, nullptr);
}

TEST(StorageAccessTest, TheProgramsOwnClientReachesAServerWithTheDeploymentKeys) {
  testing_support::ScratchDir root("oss_deploy_root");
  PutObject(root.path(), "9.5KavimorIE/summary.ini", "[fixstamp]\r\n201805=1\r\n");
  testing_support::OssServerProcess server(root.path(), KAVIMOR_TEST_BUCKET, KAVIMOR_TEST_KEY_ID,
                                           KAVIMOR_TEST_KEY_SECRET);
  ASSERT_TRUE(server.running());
  std::unique_ptr<OSS::OssClient> owned;
  {
    IClient client;
    client.PrepareStorageAccess();
    client.endpoint = server.endpoint();  // the test's port instead of the demo's
    CreateStorageClient(client);
    ASSERT_NE(client.ossClient, nullptr);
    owned.reset(client.ossClient);
    EXPECT_TRUE(OSS::IsSdkInitialized());
    EXPECT_TRUE(client.ossClient->DoesObjectExist(client.bucket, "9.5KavimorIE/summary.ini"));

    // Wrong keys make a client all the same; the first request fails.
    IClient wrong;
    wrong.PrepareStorageAccess();
    wrong.endpoint = server.endpoint();
    wrong.accessKeySecret[0] ^= 1;
    CreateStorageClient(wrong);
    std::unique_ptr<OSS::OssClient> wrongClient(wrong.ossClient);
    EXPECT_FALSE(wrong.ossClient->DoesObjectExist(wrong.bucket, "9.5KavimorIE/summary.ini"));
  }
  // The record's end shuts the layer down.
  EXPECT_FALSE(OSS::IsSdkInitialized());
}

}  // namespace
}  // namespace oss_test
