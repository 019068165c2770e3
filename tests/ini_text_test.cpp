// The portable INI reading against the system's own GetPrivateProfileStringA
// on the same bytes: the manifest must read the same through both.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "engine/ini_text.h"
#include "platform/text.h"
#include "support/test_support.h"

namespace {

std::string SystemRead(const std::string& file, const char* section, const char* key, size_t bufferSize) {
  std::string buffer(bufferSize + 8, '\x7f');
  const DWORD length = GetPrivateProfileStringA(section, key, "", buffer.data(), static_cast<DWORD>(bufferSize),
                                                file.c_str());
  return buffer.substr(0, length);
}

}  // namespace

TEST(IniText, ReadsWhatTheProfileFunctionsRead) {
  ASSERT_EQ(GetACP(), 936u) << "the tests run under code page 936";
  testing_support::ScratchDir scratch("ini_text");
  const std::string longValue(150, '7');
  const std::string ideographicSpace = Gbk(u8"\u3000");
  const std::string trailLikeBracket = Gbk(u8"\u4e5a");  // 81 5D: its second byte is ']'
  struct Case {
    const char* label;
    std::string text;
    const char* section;
    const char* key;
    size_t buffer;
  } const cases[] = {
      {"plain CR LF", "[fixstamp]\r\n201805=9.5.9.1\r\n", "fixstamp", "201805", 21},
      {"LF only", "[fixstamp]\n201805=9.5.9.1\n", "fixstamp", "201805", 21},
      {"CR only", "[fixstamp]\r201805=9.5\r[cfgstamp]\rtime=12\r", "cfgstamp", "time", 101},
      {"CR inside a LF line", "[fixstamp]\r201805=9.5\r[quant]\n201805=q\n", "fixstamp", "201805", 101},
      {"no final line end", "[fixstamp]\n201805=last", "fixstamp", "201805", 21},
      {"case of names", "[FixStamp]\nTIME=3\n", "fixSTAMP", "time", 21},
      {"blanks around everything", "  [fixstamp]  \n \t 201805 \t=\t v1 \t \n", "fixstamp", "201805", 21},
      {"blanks inside brackets", "[ fixstamp ]\n201805=v\n", "fixstamp", "201805", 21},
      {"text after the bracket", "[fixstamp] trailing\n201805=v\n", "fixstamp", "201805", 21},
      {"last bracket closes", "[fix]stamp]\n201805=v\n", "fix]stamp", "201805", 21},
      {"unclosed section is a key", "[fixstamp]\n[quant\n201805=v\n", "fixstamp", "201805", 21},
      {"double quotes", "[s]\nk=\"9.5.9.1\"\n", "s", "k", 21},
      {"single quotes", "[s]\nk='q1'\n", "s", "k", 21},
      {"mixed quotes stay", "[s]\nk=\"q1'\n", "s", "k", 21},
      {"lone quote", "[s]\nk=\"\n", "s", "k", 21},
      {"empty quotes", "[s]\nk=\"\"\n", "s", "k", 21},
      {"quoted blanks kept", "[s]\nk=\" v \"\n", "s", "k", 21},
      {"quoted, one too long", "[s]\nk=\"12345678901234567890\"\n", "s", "k", 21},
      {"quoted, exactly fits", "[s]\nk=\"1234567890123456789\"\n", "s", "k", 21},
      {"quoted, far too long", "[s]\nk=\"1234567890123456789012345\"\n", "s", "k", 21},
      {"25 characters into 21", "[s]\nk=1234567890abcdefghijKLMNO\n", "s", "k", 21},
      {"150 digits into 101", "[cfgstamp]\ntime=" + longValue + "\n", "cfgstamp", "time", 101},
      {"first section of a name only", "[s]\na=1\n[t]\nk=2\n[s]\nk=late\n", "s", "k", 21},
      {"first key of a name wins", "[s]\nk=one\nK=two\n", "s", "k", 21},
      {"key without value", "[s]\nk\nk=later\n", "s", "k", 21},
      {"empty value", "[s]\nk=\n", "s", "k", 21},
      {"value with equals", "[s]\nk==a=b\n", "s", "k", 21},
      {"semicolon line is a key", "[s]\n;k=hidden\nk=v\n", "s", ";k", 21},
      {"keys before any section", "k=top\n[s]\nj=1\n", "s", "k", 21},
      {"missing section", "[t]\nk=1\n", "s", "k", 21},
      {"control character 0x1A trimmed", "[s]\nk=v\x1a\n", "s", "k", 21},
      {"vertical tab and form feed trimmed", "[s]\n\v\fk=v\v\f\n", "s", "k", 21},
      {"byte-order mark", "\xEF\xBB\xBF[s]\nk=v\n", "s", "k", 21},
      {"ideographic space kept", "[s]\nk=" + ideographicSpace + "v" + ideographicSpace + "\n", "s", "k", 21},
      {"GBK value", "[s]\nk=" + Gbk(u8"行情") + "\n", "s", "k", 21},
      {"GBK trail byte ']' in a section", "[" + trailLikeBracket + "]\nk=v\n", trailLikeBracket.c_str(), "k", 21},
      {"GBK value cut between characters", "[s]\nk=" + Gbk(u8"一二三四五六七八九十一二") + "\n", "s", "k", 21},
  };
  int n = 0;
  for (const Case& c : cases) {
    // A file of its own per case: the system caches what it last read.
    const std::string file = scratch / ("case" + std::to_string(n++) + ".ini");
    testing_support::WriteFileBytes(file, c.text);
    EXPECT_EQ(IniText(c.text).Get(c.section, c.key, "", c.buffer), SystemRead(file, c.section, c.key, c.buffer))
        << c.label;
  }
}
