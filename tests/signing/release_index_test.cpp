// The release index format and the BCrypt checks behind signed releases:
// the parser's strictness, and signatures made by the publish tool (with
// openssl) as BCrypt verifies them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "release/release_crypto.h"
#include "release/release_index.h"
#include "support/oss_server.h"
#include "support/test_support.h"

namespace {

using testing_support::DosPath;
using testing_support::ReadFileBytes;

const std::string kDigestA(64, 'a');
const std::string kDigestB = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string kHeader = "kavimor-release-index 1\n";
const std::string kExpires = "expires 2030-01-02T03:04:05Z";
const std::string kHeader2 = "kavimor-release-index 2\nserial 7\n" + kExpires + "\n";

// A version-2 index with the given serial and expiry lines and one object.
std::string V2(const std::string& serial, const std::string& expires) {
  return "kavimor-release-index 2\n" + serial + "\n" + expires + "\n" + kDigestA + " 1 p/a\n";
}

TEST(ReleaseIndex, AcceptsOnlyTheStrictFormat) {
  struct Case {
    const char* name;
    std::string text;
    const char* error;  // nullptr: accepted
  };
  const std::vector<Case> cases = {
      {"two objects", kHeader + kDigestA + " 0 p/a.zip\n" + kDigestB + " 123 p/summary.ini\n", nullptr},
      {"key with blanks", kHeader + kDigestA + " 7 p/fix/9 5 .zip\n", nullptr},
      {"largest size", kHeader + kDigestA + " 999999999999999999 p/a\n", nullptr},
      {"no header", kDigestA + " 1 p/a\n", "line 1: not a release index"},
      {"other version", "kavimor-release-index 3\n" + kDigestA + " 1 p/a\n", "line 1: not a release index"},
      // Version 2: serial and expiry before the objects.
      {"version 2", kHeader2 + kDigestA + " 1 p/a\n", nullptr},
      {"v2 without serial", "kavimor-release-index 2\n" + kDigestA + " 1 p/a\n", "line 2: serial field"},
      {"v2 serial 0", V2("serial 0", kExpires), "line 2: serial field"},
      {"v2 serial leading zero", V2("serial 07", kExpires), "line 2: serial field"},
      {"v2 serial 19 digits", V2("serial 1000000000000000000", kExpires), "line 2: serial field"},
      {"v2 serial signed", V2("serial +7", kExpires), "line 2: serial field"},
      {"v2 serial two blanks", V2("serial  7", kExpires), "line 2: serial field"},
      {"v2 largest serial", V2("serial 999999999999999999", kExpires), nullptr},
      {"v2 fields swapped", "kavimor-release-index 2\n" + kExpires + "\nserial 7\n" + kDigestA + " 1 p/a\n",
       "line 2: serial field"},
      {"v2 no expiry", "kavimor-release-index 2\nserial 7\n" + kDigestA + " 1 p/a\n", "line 3: expires field"},
      {"v2 expiry without Z", V2("serial 7", "expires 2030-01-02T03:04:05"), "line 3: expires field"},
      {"v2 expiry with offset", V2("serial 7", "expires 2030-01-02T03:04:05+08:00"), "line 3: expires field"},
      {"v2 month 13", V2("serial 7", "expires 2030-13-02T03:04:05Z"), "line 3: expires field"},
      {"v2 hour 24", V2("serial 7", "expires 2030-01-02T24:04:05Z"), "line 3: expires field"},
      {"v2 day 0", V2("serial 7", "expires 2030-01-00T03:04:05Z"), "line 3: expires field"},
      {"v2 expiry only", "kavimor-release-index 2\nserial 7\n" + kExpires + "\n", "no objects listed"},
      {"v2 bad object line", V2("serial 7", kExpires).substr(0, 92) + "\n", "line 4: digest field"},
      {"header only", kHeader, "no objects listed"},
      {"empty", "", "line 1: not a release index"},
      {"unterminated", kHeader + kDigestA + " 1 p/a", "line 2: unterminated"},
      {"CR LF", kHeader + kDigestA + " 1 p/a\r\n", "line 2: control character in key"},
      {"empty line", kHeader + kDigestA + " 1 p/a\n\n", "line 3: digest field"},
      {"upper-case hex", kHeader + std::string(64, 'A') + " 1 p/a\n", "line 2: digest field"},
      {"short digest", kHeader + std::string(63, 'a') + " 1 p/a\n", "line 2: digest field"},
      {"two blanks", kHeader + kDigestA + "  1 p/a\n", "line 2: size field"},
      {"leading zero", kHeader + kDigestA + " 01 p/a\n", "line 2: size field"},
      {"19 digits", kHeader + kDigestA + " 1000000000000000000 p/a\n", "line 2: size field"},
      {"negative size", kHeader + kDigestA + " -1 p/a\n", "line 2: size field"},
      {"no key", kHeader + kDigestA + " 1\n", "line 2: no key"},
      {"empty key", kHeader + kDigestA + " 1 \n", "line 2: no key"},
      {"tab in key", kHeader + kDigestA + " 1 p/a\tb\n", "line 2: control character in key"},
      {"repeated key", kHeader + kDigestA + " 1 p/a\n" + kDigestB + " 2 p/a\n",
       "line 3: keys out of order or repeated"},
      {"out of order", kHeader + kDigestA + " 1 p/b\n" + kDigestB + " 2 p/a\n",
       "line 3: keys out of order or repeated"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ReleaseIndex index;
    std::string error;
    const bool ok = ReleaseIndex::Parse(c.text, &index, &error);
    EXPECT_EQ(ok, c.error == nullptr) << error;
    if (c.error != nullptr) {
      EXPECT_EQ(error, c.error);
      EXPECT_TRUE(index.empty());
    }
  }
}

TEST(ReleaseIndex, ReadsSerialAndExpiryOfVersionTwoOnly) {
  ReleaseIndex index;
  std::string error;
  ASSERT_TRUE(ReleaseIndex::Parse(V2("serial 123456789012345678", "expires 2031-12-31T23:59:59Z"), &index, &error));
  EXPECT_EQ(index.version(), 2);
  EXPECT_EQ(index.serial(), 123456789012345678u);
  EXPECT_EQ(index.expires(), "2031-12-31T23:59:59Z");
  ASSERT_TRUE(ReleaseIndex::Parse(kHeader + kDigestA + " 1 p/a\n", &index, &error));
  EXPECT_EQ(index.version(), 1);
  EXPECT_EQ(index.serial(), 0u);
  EXPECT_EQ(index.expires(), "");
  // The expiry is compared as text: its form makes text order time order.
  EXPECT_EQ(UtcTimeText(2026, 12, 9, 23, 59, 59), "2026-12-09T23:59:59Z");
  EXPECT_LT(UtcTimeText(2026, 12, 9, 23, 59, 59), UtcTimeText(2026, 12, 10, 0, 0, 0));
  EXPECT_LT(UtcTimeText(2026, 9, 30, 0, 0, 0), UtcTimeText(2026, 10, 1, 0, 0, 0));
}

TEST(ReleaseIndex, FindsListedKeysExactly) {
  ReleaseIndex index;
  std::string error;
  ASSERT_TRUE(ReleaseIndex::Parse(
      kHeader + kDigestA + " 10 p/a.zip\n" + kDigestB + " 20 p/fix/1.zip\n" + kDigestA + " 30 p/summary.ini\n",
      &index, &error));
  ASSERT_EQ(index.size(), 3u);
  const ReleaseObject* fix = index.Find("p/fix/1.zip");
  ASSERT_NE(fix, nullptr);
  EXPECT_EQ(fix->size, 20u);
  EXPECT_EQ(fix->sha256Hex, kDigestB);
  ASSERT_NE(index.Find("p/summary.ini"), nullptr);
  EXPECT_EQ(index.Find("p/summary.ini")->size, 30u);
  for (const char* absent : {"p/fix/1.zi", "p/fix/1.zip ", "P/a.zip", "", "p/b.zip"})
    EXPECT_EQ(index.Find(absent), nullptr) << absent;
}

TEST(ReleaseCrypto, Sha256OfKnownInputs) {
  struct Case {
    std::string input;
    const char* digest;
  };
  const std::vector<Case> cases = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      // Larger than one read of the file hash: 1 MiB and one byte more.
      {std::string((1 << 20) + 1, 'k'), nullptr},
  };
  testing_support::ScratchDir dir("sha256");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input.size());
    const std::string memory = HexOf(Sha256Of(c.input));
    if (c.digest != nullptr) {
      EXPECT_EQ(memory, c.digest);
    }
    testing_support::WriteFileBytes(dir / "f.bin", c.input);
    std::string digest;
    uint64_t size = 99;
    ASSERT_TRUE(Sha256OfFile(dir / "f.bin", &digest, &size));
    EXPECT_EQ(HexOf(digest), memory);
    EXPECT_EQ(size, c.input.size());
  }
  std::string digest;
  uint64_t size = 0;
  EXPECT_FALSE(Sha256OfFile(dir / "missing.bin", &digest, &size));
}

TEST(ReleaseCrypto, VerifiesOnlyTheReleaseKeysSignatureOfTheExactIndex) {
  const std::string folder = DosPath(KAVIMOR_SIGNED_BUCKET) + "\\9.5KavimorIE\\";
  const std::string index = ReadFileBytes(folder + "release-index.txt");
  const std::string signature = ReadFileBytes(folder + "release-index.sig");
  const std::string otherSignature = ReadFileBytes(DosPath(KAVIMOR_OTHER_KEY_SIGNATURE));
  std::string key;
  ASSERT_TRUE(BytesOfHex(KAVIMOR_TEST_RELEASE_KEY, &key));
  ASSERT_EQ(key.size(), 64u);
  ASSERT_EQ(signature.size(), 64u);
  ASSERT_GT(index.size(), 100u);

  auto flipped = [](std::string bytes, size_t at) {
    bytes[at] = static_cast<char>(bytes[at] ^ 0x01);
    return bytes;
  };
  struct Case {
    const char* name;
    std::string key, message, signature;
    bool valid;
  };
  const std::vector<Case> cases = {
      {"as published", key, index, signature, true},
      {"index byte changed", key, flipped(index, index.size() / 2), signature, false},
      {"index line added", key, index + index.substr(24, 100), signature, false},
      {"r changed", key, index, flipped(signature, 3), false},
      {"s changed", key, index, flipped(signature, 40), false},
      {"r and s swapped", key, index, signature.substr(32) + signature.substr(0, 32), false},
      {"other key's signature", key, index, otherSignature, false},
      {"truncated signature", key, index, signature.substr(0, 63), false},
      {"DER-sized signature", key, index, signature + std::string(8, '\0'), false},
      {"point off the curve", flipped(key, 63), index, signature, false},
      {"no key", "", index, signature, false},
  };
  for (const Case& c : cases) EXPECT_EQ(VerifyP256Signature(c.key, c.message, c.signature), c.valid) << c.name;
}

}  // namespace
