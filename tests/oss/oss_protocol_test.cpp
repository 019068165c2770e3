// The layer's portable protocol pieces: signing, addressing, dates, CRC-64,
// error documents and the retry rules, against published vectors.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "network/crc64.h"
#include "network/oss_hmac.h"
#include "network/oss_sdk.h"
#include "network/oss_signer.h"

namespace OSS = AlibabaCloud::OSS;

namespace {

struct SignVector {
  const char* verb;
  std::string key;
  OSS::ParameterCollection parameters;
  OSS::HeaderCollection headers;
  std::string stringToSign;
  const char* authorization;
};

const char kDate[] = "Wed, 19 Aug 2020 06:46:54 GMT";

TEST(OssSigning, ReproducesThePublishedVectors) {
  const std::string id = "LTAI4GTestKeyId0001";
  const std::string secret = "TestSecret/Key+0123456789abcdefABCDEF=";
  const std::string chinese = reinterpret_cast<const char*>(u8"安装包/中文 文件.zip");
  const std::vector<SignVector> vectors = {
      {"GET", "installer/manifest.json", {}, {{"Content-Type", "application/xml"}, {"Date", kDate}},
       "GET\n\napplication/xml\nWed, 19 Aug 2020 06:46:54 GMT\n/examplebucket/installer/manifest.json",
       "OSS LTAI4GTestKeyId0001:JJfk4ZbG9jpGcjzVXy+VVzj43LE="},
      {"GET", "packages/My App 1.0.zip", {}, {{"Content-Type", "application/xml"}, {"Date", kDate}},
       "GET\n\napplication/xml\nWed, 19 Aug 2020 06:46:54 GMT\n/examplebucket/packages/My App 1.0.zip",
       "OSS LTAI4GTestKeyId0001:IkaDhM15+YydX5ZMl5/94tiLISM="},
      {"GET", chinese, {}, {{"Content-Type", "application/xml"}, {"Date", kDate}},
       "GET\n\napplication/xml\nWed, 19 Aug 2020 06:46:54 GMT\n/examplebucket/" + chinese,
       "OSS LTAI4GTestKeyId0001:5fP4PkzP5ThM7wivsOPoD91hmYc="},
      {"HEAD", "installer/manifest.json", {{"objectMeta", ""}},
       {{"Content-Type", "application/xml"}, {"Date", kDate}},
       "HEAD\n\napplication/xml\nWed, 19 Aug 2020 06:46:54 GMT\n"
       "/examplebucket/installer/manifest.json?objectMeta",
       "OSS LTAI4GTestKeyId0001:8Z3MM2B+y6RJ5HPZH47ueY5Sn8s="},
      {"GET", "installer/manifest.json", {},
       {{"Content-Type", "application/xml"}, {"Date", kDate}, {"X-OSS-Security-Token", " CAISTestToken== "}},
       "GET\n\napplication/xml\nWed, 19 Aug 2020 06:46:54 GMT\nx-oss-security-token:CAISTestToken==\n"
       "/examplebucket/installer/manifest.json",
       "OSS LTAI4GTestKeyId0001:J3Y2Y2HdybTZhOxdxEpHnxTPrRg="},
      {"GET", "installer/manifest.json", {}, {{"Date", kDate}},
       "GET\n\n\nWed, 19 Aug 2020 06:46:54 GMT\n/examplebucket/installer/manifest.json",
       "OSS LTAI4GTestKeyId0001:PCK0fldTfvwOfw9FIIW3z8IS48Y="},
  };
  for (const SignVector& v : vectors) {
    SCOPED_TRACE(v.key);
    const std::string text = OSS::StringToSign(
        v.verb, v.headers, OSS::CanonicalResource("examplebucket", v.key, v.parameters));
    EXPECT_EQ(text, v.stringToSign);
    EXPECT_EQ("OSS " + id + ":" + OSS::SignV1(secret, text), v.authorization);
  }
  // Not every query parameter is signed: only the service's sub-resources.
  EXPECT_EQ(OSS::CanonicalResource("b", "k", {{"foo", "1"}, {"versionId", "v2"}, {"acl", ""}}),
            "/b/k?acl&versionId=v2");
}

TEST(OssSigning, HmacAndBase64MatchTheirStandards) {
  // RFC 2202 test case 2 and RFC 4648 vectors.
  EXPECT_EQ(OSS::Base64Encode(OSS::HmacSha1("Jefe", "what do ya want for nothing?")),
            "7/zfauXrL6LSdBbV8YTfnCWafHk=");
  const std::pair<const char*, const char*> base64[] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foobar", "Zm9vYmFy"}};
  for (const auto& [in, out] : base64) EXPECT_EQ(OSS::Base64Encode(in), out) << in;
}

TEST(OssAddressing, BuildsTheServiceUrls) {
  struct Case {
    std::string endpoint;
    std::string key;
    OSS::ParameterCollection parameters;
    bool cname;
    bool ok;
    bool https;
    std::string host;
    unsigned port;
    std::string path;
  };
  const std::string chinese = reinterpret_cast<const char*>(u8"安装包/中文 文件.zip");
  const std::vector<Case> cases = {
      {"oss-accelerate.aliyuncs.com", "installer/manifest.json", {}, false, true, true,
       "examplebucket.oss-accelerate.aliyuncs.com", 0, "/installer%2Fmanifest.json"},
      {"127.0.0.1:9000", "installer/manifest.json", {}, false, true, true, "127.0.0.1", 9000,
       "/examplebucket/installer%2Fmanifest.json"},
      {"localhost:9000", "a", {}, false, true, true, "examplebucket.localhost", 9000, "/a"},
      {"http://127.0.0.1:18765", "a", {}, false, true, false, "127.0.0.1", 18765,
       "/examplebucket/a"},
      {"https://oss.example.com", "packages/My App 1.0.zip", {}, false, true, true,
       "examplebucket.oss.example.com", 0, "/packages%2FMy%20App%201.0.zip"},
      {"HTTP://10.0.0.1", "k", {{"objectMeta", ""}}, false, true, false, "10.0.0.1", 0,
       "/examplebucket/k?objectMeta"},
      {"127.0.0.1", chinese, {}, false, true, true, "127.0.0.1", 0,
       "/examplebucket/%E5%AE%89%E8%A3%85%E5%8C%85%2F%E4%B8%AD%E6%96%87%20%E6%96%87%E4%BB%B6.zip"},
      {"cdn.example.com", "a~b_c-d.e", {}, true, true, true, "cdn.example.com", 0, "/a~b_c-d.e"},
      {"256.1.1.1", "k", {}, false, true, true, "examplebucket.256.1.1.1", 0, "/k"},
      {"bad host", "k", {}, false, false, false, "", 0, ""},
      {"host:99999", "k", {}, false, false, false, "", 0, ""},
      {"host:", "k", {}, false, false, false, "", 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.endpoint);
    OSS::RequestTarget t;
    ASSERT_EQ(OSS::BuildRequestTarget(c.endpoint, "examplebucket", c.key, c.parameters, c.cname, t),
              c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(t.https, c.https);
    EXPECT_EQ(t.host, c.host);
    EXPECT_EQ(t.port, c.port);
    EXPECT_EQ(t.path, c.path);
  }
}

TEST(OssAddressing, ValidatesNames) {
  for (const char* good : {"abc", "kavimor-publish", "a1-2b"}) EXPECT_TRUE(OSS::IsValidBucketName(good)) << good;
  for (const char* bad : {"ab", "-abc", "abc-", "ABC", "a_b", ""}) EXPECT_FALSE(OSS::IsValidBucketName(bad)) << bad;
  EXPECT_TRUE(OSS::IsValidObjectKey("/leading-slash-is-accepted"));
  EXPECT_FALSE(OSS::IsValidObjectKey(""));
  EXPECT_FALSE(OSS::IsValidObjectKey("\\x"));
  EXPECT_FALSE(OSS::IsValidObjectKey(std::string(1024, 'k')));
  EXPECT_TRUE(OSS::IsValidObjectKey(std::string(1023, 'k')));
}

TEST(OssDates, FormatAndParseInUtc) {
  EXPECT_EQ(OSS::ToGmtTime(1597819614), "Wed, 19 Aug 2020 06:46:54 GMT");
  EXPECT_EQ(OSS::ToGmtTime(0), "Thu, 01 Jan 1970 00:00:00 GMT");
  EXPECT_EQ(OSS::ToGmtTime(951782400), "Tue, 29 Feb 2000 00:00:00 GMT");
  EXPECT_EQ(OSS::ToGmtTime(4102444799), "Thu, 31 Dec 2099 23:59:59 GMT");
  std::time_t t = 0;
  ASSERT_TRUE(OSS::UtcToUnixTime("2020-08-19T07:30:00.000Z", t));
  EXPECT_EQ(t, 1597822200);
  ASSERT_TRUE(OSS::UtcToUnixTime("2019-03-30T13:18:53.000Z", t));
  EXPECT_EQ(OSS::ToGmtTime(t), "Sat, 30 Mar 2019 13:18:53 GMT");
  // The service's clock is only taken with its milliseconds.
  for (const char* bad : {"2020-08-19T07:30:00Z", "2020-08-19 07:30:00.000Z", "", "2020-13-01T00:00:00.000Z"})
    EXPECT_FALSE(OSS::UtcToUnixTime(bad, t)) << bad;
}

TEST(OssCrc64, MatchesTheCheckValues) {
  std::string mib(1 << 20, '\0');
  for (size_t i = 0; i < mib.size(); ++i) mib[i] = static_cast<char>(i % 251);
  const std::pair<std::string, uint64_t> cases[] = {
      {"", 0},
      {"a", 3675645893302102789ull},
      {"123456789", 11051210869376104954ull},
      {"This is a test of the emergency broadcast system.", 2871916124362751090ull},
      {"hello installer", 2413778825827080294ull},
      {mib, 16028127081582314172ull},
  };
  for (const auto& [input, expected] : cases)
    EXPECT_EQ(OSS::CalcCRC64(0, input.data(), input.size()), expected) << input.size();
  // Chained over uneven pieces, crossing the eight-byte steps.
  uint64_t crc = 0;
  for (size_t at = 0, step = 1; at < mib.size(); at += step, step = step * 3 % 4099 + 1)
    crc = OSS::CalcCRC64(crc, mib.data() + at, std::min(step, mib.size() - at));
  EXPECT_EQ(crc, 16028127081582314172ull);
  EXPECT_EQ(OSS::CalcCRC64(OSS::CalcCRC64(0, "12345", 5), "6789", 4), 11051210869376104954ull);
}

// The carry-less path must agree with the tables wherever its lanes, its
// 16-byte steps and its tail meet, from any register and any alignment.
TEST(OssCrc64, CarrylessFoldingAgreesWithTheTables) {
  if (!OSS::detail::HaveCarrylessMultiply()) GTEST_SKIP() << "no PCLMULQDQ on this processor";
  std::string data(70000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 % 251);
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  for (const size_t size : {0, 1, 15, 16, 17, 63, 64, 65, 79, 80, 127, 128, 129, 191, 4099, 65536})
    for (const size_t offset : {0, 1, 8, 15})
      for (const uint64_t state : {0ull, ~0ull, 0x0123456789ABCDEFull})
        ASSERT_EQ(OSS::detail::Crc64RawCarryless(state, bytes + offset, size),
                  OSS::detail::Crc64RawTables(state, bytes + offset, size))
            << size << " bytes at " << offset;
}

TEST(OssErrors, ReadsErrorDocuments) {
  const OSS::ErrorDocument skew = OSS::ParseErrorDocument(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Error>\n  <Code>RequestTimeTooSkewed</Code>\n"
      "  <Message>The difference &amp; more</Message>\n  <RequestId>5C9F6C1D0E2A</RequestId>\n"
      "  <HostId>b.oss.example.com</HostId>\n  <ServerTime>2019-03-30T13:18:53.000Z</ServerTime>\n</Error>\n");
  EXPECT_TRUE(skew.isError);
  EXPECT_EQ(skew.code, "RequestTimeTooSkewed");
  EXPECT_EQ(skew.message, "The difference & more");
  EXPECT_EQ(skew.requestId, "5C9F6C1D0E2A");
  EXPECT_EQ(skew.hostId, "b.oss.example.com");
  EXPECT_EQ(skew.serverTime, "2019-03-30T13:18:53.000Z");

  const OSS::ErrorDocument other = OSS::ParseErrorDocument("<Result><Code>x</Code></Result>");
  EXPECT_TRUE(other.wellFormed);
  EXPECT_FALSE(other.isError);
  const OSS::ErrorDocument html = OSS::ParseErrorDocument("Bad gateway, try later");
  EXPECT_FALSE(html.wellFormed);
  EXPECT_FALSE(html.isError);
}

TEST(OssRetry, DefaultStrategyRetriesOnlyTransientFailures) {
  const OSS::DefaultRetryStrategy strategy;
  struct Case {
    long status;
    const char* message;
    bool retried;
  };
  const Case cases[] = {
      {500, "", true},         {503, "", true},          {598, "", true},
      {599, "", false},        {404, "", false},         {403, "<Code>SignatureDoesNotMatch</Code>", false},
      {403, "<Code>RequestTimeTooSkewed</Code>", true},  {200007, "", true},
      {200018, "", true},      {200023, "", true},       {200028, "", true},
      {200052, "", true},      {200055, "", true},       {200056, "", true},
      {200006, "", false},     {200035, "", false},      {200060, "", false},
      {100001, "", false},     {200005, "", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(strategy.shouldRetry(OSS::Error(c.status, c.message), 0), c.retried) << c.status;
    EXPECT_FALSE(strategy.shouldRetry(OSS::Error(c.status, c.message), 3)) << c.status;
  }
  EXPECT_TRUE(strategy.shouldRetry(OSS::Error(500, ""), 2));
  EXPECT_EQ(strategy.calcDelayTimeMs(OSS::Error(500, ""), 0), 300);
  EXPECT_EQ(strategy.calcDelayTimeMs(OSS::Error(500, ""), 1), 600);
  EXPECT_EQ(strategy.calcDelayTimeMs(OSS::Error(500, ""), 2), 1200);
}

TEST(OssSdk, InitialiseAndShutdownAreIdempotent) {
  OSS::ShutdownSdk();
  EXPECT_FALSE(OSS::IsSdkInitialized());
  OSS::InitializeSdk();
  OSS::InitializeSdk();
  EXPECT_TRUE(OSS::IsSdkInitialized());
  OSS::ShutdownSdk();
  OSS::ShutdownSdk();
  EXPECT_FALSE(OSS::IsSdkInitialized());
}

}  // namespace
