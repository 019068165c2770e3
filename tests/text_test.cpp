// Where an 8-bit path is cut at backslashes, in the double-byte code pages
// of the systems the installer runs on, and how paths reach the GBK log.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/text.h"

namespace {

TEST(PathSeparators, TrailBytesThatLookLikeBackslashesAreNotSeparators) {
  struct Case {
    unsigned codePage;
    std::string path;
    std::vector<size_t> separators;
  };
  const Case cases[] = {
      {936, "C:\\Users\\alice\\x", {2, 8, 14}},
      // 乗abc: 81 5C in GBK.
      {936, "C:\\Users\\\x81\x5C" "abc\\x", {2, 8, 14}},
      // 許 (B3 5C) and 功 (A5 5C) in Big5; the same bytes are one GBK
      // character too, but half-width katakana and a separator in Shift-JIS.
      {950, "D:\\\xB3\x5C\\\xA5\x5C", {2, 5}},
      {936, "D:\\\xB3\x5C\\\xA5\x5C", {2, 5}},
      {932, "D:\\\xB3\x5C\\\xA5\x5C", {2, 4, 5, 7}},
      // ソ (83 5C) and 表 (95 5C) in Shift-JIS.
      {932, "E:\\\x83\x5C\\\x95\x5C\\f", {2, 5, 8}},
      // 0x80 is a character of its own in all three.
      {936, "\x80\\a", {1}},
      {950, "\x80\\a", {1}},
      {932, "\x80\\a", {1}},
      // A lead byte at the very end has no trail to take.
      {950, "a\\\xB3", {1}},
      {936, "\\\\server\\share\\", {0, 1, 8, 14}},
      {936, "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.codePage << " " << testing::PrintToString(c.path));
    EXPECT_EQ(PathSeparators(c.path, c.codePage), c.separators);
  }
}

TEST(CodePageText, PathsConvertExactlyOrNotAtAll) {
  struct Case {
    std::wstring text;
    unsigned codePage;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {L"D:\\\u8A31", 950, "D:\\\xB3\x5C"},
      {L"D:\\\u8A31", 936, "D:\\\xD4\x53"},
      {L"D:\\\u30BD", 932, "D:\\\x83\x5C"},
      {L"", 950, ""},
      // Missing characters would become '?' or a look-alike: refused.
      {L"D:\\\u9648", 950, std::nullopt},
      {L"D:\\\uAE40", 936, std::nullopt},
      {L"D:\\\u00E9", 932, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.codePage);
    EXPECT_EQ(ExactlyInCodePage(c.text, c.codePage), c.expected);
  }
  // The log's form of a path: GBK, '?' where GBK lacks a character.
  EXPECT_EQ(LogTextOfPath(std::wstring(L"D:\\\u8A31\uAE40")), "D:\\\xD4\x53?");
}

}  // namespace
