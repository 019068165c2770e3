// Archives built to fool the reader's bookkeeping rather than its names:
// entries that share bytes, end records whose count disagrees with the
// directory, damaged records in the middle of the list.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/tunzip.h"
#include "support/test_support.h"
#include "unzip/unzip_fixture.h"

using testing_support::PathExists;
using testing_support::ReadFileBytes;
using testing_support::ScratchDir;
using testing_support::WriteFileBytes;
namespace fx = unzip_fixture;

namespace {

uint32_t Get32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[at + i]);
  return v;
}
uint16_t Get16(const std::string& s, size_t at) {
  return static_cast<uint16_t>(static_cast<unsigned char>(s[at]) | static_cast<unsigned char>(s[at + 1]) << 8);
}
void Set16(std::string& s, size_t at, uint32_t v) {
  s[at] = static_cast<char>(v & 0xff);
  s[at + 1] = static_cast<char>((v >> 8) & 0xff);
}
void Set32(std::string& s, size_t at, uint32_t v) {
  Set16(s, at, v & 0xffff);
  Set16(s, at + 2, v >> 16);
}

// The pieces of an archive fx::Build made: local part, central records and
// the offsets an attacker would edit.
struct Layout {
  size_t end;                   // end record
  size_t central;               // first central record
  std::vector<size_t> records;  // every central record
};

Layout Parse(const std::string& zip) {
  Layout l{};
  l.end = zip.size() - 22;
  l.central = Get32(zip, l.end + 16);
  for (size_t at = l.central; at < l.end;) {
    l.records.push_back(at);
    at += 46 + Get16(zip, at + 28) + Get16(zip, at + 30) + Get16(zip, at + 32);
  }
  return l;
}

// The end record's two entry counts.
void SetCount(std::string& zip, uint32_t count) {
  const size_t end = zip.size() - 22;
  Set16(zip, end + 8, count);
  Set16(zip, end + 10, count);
}

// Many central records naming one local entry of `size` zero bytes, each
// under its own name of the local name's length.
std::string SharedEntryBomb(int records, size_t size) {
  std::string one = fx::Build({fx::File("bomb.bin", std::string(size, '\0'))});
  Layout l = Parse(one);
  std::string record = one.substr(l.central, l.end - l.central);
  std::string zip = one.substr(0, l.central);
  for (int i = 0; i < records; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "b%03d.bin", i);
    record.replace(46, 8, name);
    zip += record;
  }
  zip += one.substr(l.end);
  Set32(zip, zip.size() - 22 + 12, static_cast<uint32_t>(record.size() * records));
  SetCount(zip, static_cast<uint32_t>(records));
  return zip;
}

std::string ThreeFiles() {
  return fx::Build({fx::File("one.txt", "1", false), fx::File("two.txt", "22", false),
                    fx::File("six.txt", "333", false)});
}

}  // namespace

// Each of these was extracted, wholly or in part, and reported as success.
TEST(UnzipHostile, ArchivesWhoseDirectoryLiesFailBeforeWritingAnything) {
  ScratchDir scratch("hostile");

  std::string twoAtOne = SharedEntryBomb(2, 100);
  std::string partial = ThreeFiles();
  {
    // The second entry's local header starts inside the first entry's data.
    Layout l = Parse(partial);
    Set32(partial, l.records[1] + 42, Get32(partial, l.records[0] + 42) + 30 + 7 + 0);
  }
  std::string intoDirectory = ThreeFiles();
  {
    // The last entry's data claims the bytes of the central directory.
    Layout l = Parse(intoDirectory);
    const uint32_t local = Get32(intoDirectory, l.records[2] + 42);
    const uint32_t size = static_cast<uint32_t>(l.central - local - 30 - 7 + 10);
    Set32(intoDirectory, local + 18, size);
    Set32(intoDirectory, l.records[2] + 20, size);
  }
  std::string damagedSecond = ThreeFiles();
  damagedSecond[Parse(damagedSecond).records[1]] = 'X';
  std::string countOne = ThreeFiles();
  SetCount(countOne, 1);
  std::string countFive = ThreeFiles();
  SetCount(countFive, 5);
  std::string countZero = ThreeFiles();
  SetCount(countZero, 0);
  // 70,000 records: the 16-bit count wraps to 4,464 with no Zip64 record.
  std::vector<fx::Entry> many;
  for (int i = 0; i < 70000; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "%05d", i);
    many.push_back(fx::File(name, "", false));
  }
  std::string wrapped = fx::Build(many);
  ASSERT_EQ(Get16(wrapped, wrapped.size() - 22 + 8), 4464);

  struct Case {
    const char* label;
    std::string bytes;
  } const cases[] = {
      {"200 records at one local entry", SharedEntryBomb(200, 65536)},
      {"two records at one local entry", twoAtOne},
      {"local header inside another entry's data", partial},
      {"data reaching into the directory", intoDirectory},
      {"second record's signature damaged", damagedSecond},
      {"count 1 over 3 records", countOne},
      {"count 5 over 3 records", countFive},
      {"count 0 over 3 records", countZero},
      {"count wrapped past 65535", wrapped},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string zip = scratch / ("case" + std::to_string(n) + ".zip");
    const std::string dest = scratch / ("dest" + std::to_string(n++));
    WriteFileBytes(zip, c.bytes);
    EXPECT_FALSE(TUnzip::UnzipTo(zip.c_str(), dest.c_str())) << c.label;
    EXPECT_FALSE(PathExists(dest)) << c.label << ": the archive must not even open";
  }
}

// The local extra field is only known from the local header: an entry whose
// data it pushes into the next entry is refused when it is opened.
TEST(UnzipHostile, AnEntryPushedIntoItsNeighbourByItsLocalExtraFieldFails) {
  ScratchDir scratch("pushed");
  std::string zip = fx::Build({fx::File("one.txt", "1111", false), fx::File("two.txt", "2222", false)});
  // The first entry's local extra length claims the 4 data bytes, and its
  // data now starts at the second local header: exactly the same length.
  Set16(zip, 28, 4);
  const std::string path = scratch / "pushed.zip";
  WriteFileBytes(path, zip);
  const std::string dest = scratch / "dest";
  EXPECT_FALSE(TUnzip::UnzipTo(path.c_str(), dest.c_str()));
  EXPECT_TRUE(PathExists(dest + "\\one.txt")) << "created, then its data refused";
  EXPECT_EQ(ReadFileBytes(dest + "\\one.txt"), "");
  EXPECT_FALSE(PathExists(dest + "\\two.txt"));
}

// A record that turns unreadable after the archive was opened (the file
// changed underneath) ends the walk as a failure, not as the end of the list.
TEST(UnzipHostile, ARecordThatCannotBeReadMidWalkFailsTheExtraction) {
  ScratchDir scratch("midwalk");
  const std::string zip = ThreeFiles();
  const std::string path = scratch / "pkg.zip";
  WriteFileBytes(path, zip);
  TUnzip unzip;
  ASSERT_TRUE(unzip.Open(path.c_str()));
  {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    LONG at = static_cast<LONG>(Parse(zip).records[1]);
    SetFilePointer(file, at, nullptr, FILE_BEGIN);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, "XXXX", 4, &written, nullptr));
    CloseHandle(file);
  }
  const std::string dest = scratch / "dest";
  EXPECT_FALSE(unzip.ExtractAll(dest.c_str()));
  EXPECT_EQ(ReadFileBytes(dest + "\\one.txt"), "1");
  EXPECT_FALSE(PathExists(dest + "\\two.txt"));
}
