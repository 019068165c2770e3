// Package extraction under Wine: folders, replaced files, GBK names, time
// stamps, unsafe names, damaged archives and the progress share.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "archive/tunzip.h"
#include "engine/client.h"
#include "engine/messages.h"
#include "platform/text.h"
#include "support/message_sink.h"
#include "support/test_support.h"
#include "unzip/tree.h"
#include "unzip/unzip_fixture.h"

using testing_support::MessageSink;
using testing_support::PathExists;
using testing_support::ReadFileBytes;
using testing_support::ScratchDir;
using testing_support::WriteFileBytes;
using unzip_tree::Tree;
namespace fx = unzip_fixture;

namespace {

std::string WriteZip(const ScratchDir& dir, const std::string& fileName, const std::vector<fx::Entry>& entries) {
  std::string path = dir / fileName;
  WriteFileBytes(path, fx::Build(entries));
  return path;
}

bool IsFolder(const std::string& path) {
  DWORD a = GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

TEST(UnzipMakeFolders, CreatesEachFolderAlongThePathAndNothingForBareNames) {
  ScratchDir scratch("mkfolders");
  std::vector<std::string> before = Tree(scratch.path());
  // A bare drive and a single relative name have fewer than two parts.
  EXPECT_TRUE(TUnzip::MakeFolders("D:"));
  char cwd[MAX_PATH] = {};
  GetCurrentDirectoryA(MAX_PATH, cwd);
  SetCurrentDirectoryA(scratch.path().c_str());
  EXPECT_TRUE(TUnzip::MakeFolders("lonely"));
  EXPECT_TRUE(TUnzip::MakeFolders("lonely\\"));
  SetCurrentDirectoryA(cwd);
  EXPECT_EQ(Tree(scratch.path()), before);

  // D:\x\y\ style: every prefix, trailing and doubled separators ignored.
  EXPECT_TRUE(TUnzip::MakeFolders((scratch.path() + "\\x\\\\y\\").c_str()));
  EXPECT_TRUE(TUnzip::MakeFolders((scratch.path() + "/p/q/r").c_str()));
  EXPECT_TRUE(TUnzip::MakeFolders((scratch.path() + "\\x\\y").c_str())) << "existing folders are fine";
  EXPECT_EQ(Tree(scratch.path()), (std::vector<std::string>{"p/", "p/q/", "p/q/r/", "x/", "x/y/"}));

  // A file in the way is not a folder, and a path past 259 bytes is refused.
  WriteFileBytes(scratch / "plain", "f");
  EXPECT_FALSE(TUnzip::MakeFolders((scratch.path() + "\\plain\\sub").c_str()));
  EXPECT_FALSE(TUnzip::MakeFolders((scratch.path() + "\\plain").c_str()));
  EXPECT_FALSE(TUnzip::MakeFolders((scratch.path() + "\\" + std::string(250, 'L') + "\\z").c_str()));
  EXPECT_FALSE(PathExists(scratch / "plain\\sub"));
}

TEST(UnzipExtract, WritesNestedEntriesFoldersAndEmptyFiles) {
  ScratchDir scratch("extract");
  std::string big(300000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7919) >> 5);
  std::string zip = WriteZip(scratch, "pkg.zip",
                             {fx::File("a/b/c.txt", "deep"),  // no folder entries before it
                              fx::File("stored.bin", big, false), fx::File("deflated.bin", big),
                              fx::File("empty.txt", ""), fx::Folder("only/folder/"),
                              fx::Folder("noslash"),  // folder by attribute alone
                              fx::File("x\\y.txt", "backslash")});
  std::string dest = scratch / "out\\dest";  // created by the extraction
  ASSERT_TRUE(TUnzip::UnzipTo(zip.c_str(), dest.c_str()));
  EXPECT_EQ(Tree(dest), (std::vector<std::string>{"a/", "a/b/", "a/b/c.txt", "deflated.bin", "empty.txt",
                                                  "noslash/", "only/", "only/folder/", "stored.bin", "x/",
                                                  "x/y.txt"}));
  EXPECT_EQ(ReadFileBytes(dest + "\\a\\b\\c.txt"), "deep");
  EXPECT_EQ(ReadFileBytes(dest + "\\stored.bin"), big);
  EXPECT_EQ(ReadFileBytes(dest + "\\deflated.bin"), big);
  EXPECT_EQ(ReadFileBytes(dest + "\\empty.txt"), "");
  EXPECT_EQ(ReadFileBytes(dest + "\\x\\y.txt"), "backslash");
}

TEST(UnzipExtract, ReplacesExistingFilesAndUsesTheArchiveFolderWithoutDestination) {
  ScratchDir scratch("replace");
  std::string dest = scratch / "dest";
  CreateDirectoryA(dest.c_str(), nullptr);
  WriteFileBytes(dest + "\\config.ini", std::string(5000, 'o'));  // longer than the new content
  std::string zip = WriteZip(scratch, "pkg.zip", {fx::File("config.ini", "new=1"), fx::File("more.txt", "m")});
  ASSERT_TRUE(TUnzip::UnzipTo(zip.c_str(), dest.c_str()));
  EXPECT_EQ(ReadFileBytes(dest + "\\config.ini"), "new=1");

  // ExtractCurrent without a folder writes next to the archive.
  TUnzip unzip;
  ASSERT_TRUE(unzip.Open(zip.c_str()));
  ASSERT_TRUE(unzip.ExtractCurrent());
  EXPECT_EQ(ReadFileBytes(scratch / "config.ini"), "new=1");
  EXPECT_FALSE(PathExists(scratch / "more.txt"));
  // Open on an open object starts over; a missing path leaves it closed.
  EXPECT_FALSE(unzip.Open(nullptr));
  EXPECT_FALSE(unzip.ExtractCurrent());
  EXPECT_FALSE(unzip.ExtractAll(dest.c_str()));
}

TEST(UnzipExtract, GbkNamesWithBackslashTrailBytesStayOneFolder) {
  ASSERT_EQ(GetACP(), 936u) << "the tests run under code page 936";
  ScratchDir scratch("gbk");
  const std::string jou = Gbk(u8"乗");   // 81 5C
  const std::string pipe = Gbk(u8"亅");  // 81 7C
  std::string zip = WriteZip(scratch, "pkg.zip",
                             {fx::File(jou + "/" + jou + ".txt", "one"), fx::Folder(pipe + "/"),
                              fx::File(Gbk(u8"行情/数据.dat"), "two")});
  std::string dest = scratch / jou;  // the destination itself ends in a 0x5C byte
  ASSERT_TRUE(TUnzip::UnzipTo(zip.c_str(), dest.c_str()));
  EXPECT_EQ(Tree(dest), (std::vector<std::string>{jou + "/", jou + "/" + jou + ".txt", pipe + "/",
                                                  Gbk(u8"行情/"), Gbk(u8"行情/数据.dat")}));
  // Checked through the wide names too: the bytes mean what they say.
  const std::wstring wideScratch(scratch.path().begin(), scratch.path().end());  // ASCII
  const DWORD attributes = GetFileAttributesW((wideScratch + L"\\\u4e57\\\u4e57\\\u4e57.txt").c_str());
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_EQ(Tree(scratch.path()).size(), Tree(dest).size() + 2) << "only the archive and the destination";
}

TEST(UnzipExtract, RestoresCreationAndWriteTimeFromTheDosTimeAsLocalTime) {
  ScratchDir scratch("times");
  fx::Entry odd = fx::File("odd.txt", "o");
  // 1999-12-31 23:59:59 rounds down to the 2-second grain of DOS times.
  odd.dosTime = (uint32_t((1999 - 1980) << 9 | 12 << 5 | 31) << 16) | (23 << 11 | 59 << 5 | 59 / 2);
  std::string zip = WriteZip(scratch, "pkg.zip", {fx::File("a/when.txt", "w"), odd});
  std::string dest = scratch / "dest";
  ASSERT_TRUE(TUnzip::UnzipTo(zip.c_str(), dest.c_str()));
  struct Want {
    std::string file;
    WORD year, month, day, hour, minute, second;
  } const wants[] = {{"a\\when.txt", 2021, 3, 14, 15, 26, 58}, {"odd.txt", 1999, 12, 31, 23, 59, 58}};
  for (const Want& w : wants) {
    HANDLE h = CreateFileA((dest + "\\" + w.file).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << w.file;
    FILETIME created{}, accessed{}, written{};
    ASSERT_TRUE(GetFileTime(h, &created, &accessed, &written));
    CloseHandle(h);
    for (const FILETIME& t : {created, written}) {
      FILETIME local{};
      SYSTEMTIME st{};
      ASSERT_TRUE(FileTimeToLocalFileTime(&t, &local));
      ASSERT_TRUE(FileTimeToSystemTime(&local, &st));
      EXPECT_EQ((std::vector<WORD>{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond}),
                (std::vector<WORD>{w.year, w.month, w.day, w.hour, w.minute, w.second}))
          << w.file;
    }
  }
}

// Archives that must fail, and what each may leave behind.
TEST(UnzipExtract, DamagedArchivesFail) {
  ScratchDir scratch("damaged");
  fx::Entry wrongCrc = fx::File("b.txt", "payload that will not match", false);
  wrongCrc.wrongCrc = true;
  fx::Entry wrongCrcDeflated = fx::File("b.txt", std::string(4000, 'z'));
  wrongCrcDeflated.wrongCrc = true;
  fx::Entry broken = fx::File("b.txt", std::string(20000, 'q') + "tail");
  broken.damageStream = true;
  fx::Entry unreadable = fx::File("b.txt", "x");
  unreadable.commentLength = 400;  // reaches past the end of the file
  struct Case {
    const char* label;
    std::string archiveBytes;
    std::vector<std::string> leftInDest;  // null-free listing; "-" when dest must not exist
  } const cases[] = {
      {"zero entries", fx::Build({}), {}},
      {"not a zip", std::string("PK\x03\x04 this is not an archive at all", 38), {"-"}},
      {"crc mismatch, stored", fx::Build({fx::File("a.txt", "a"), wrongCrc}), {"a.txt", "b.txt"}},
      {"crc mismatch, deflated", fx::Build({fx::File("a.txt", "a"), wrongCrcDeflated}), {"a.txt", "b.txt"}},
      {"damaged deflate data", fx::Build({fx::File("a.txt", "a"), broken}), {"a.txt", "b.txt"}},
      // The record runs past the directory's declared end: refused at open.
      {"unreadable entry record", fx::Build({fx::File("a.txt", "a"), unreadable}), {"-"}},
      {"truncated archive", fx::Build({fx::File("a.txt", "a")}).substr(0, 40), {"-"}},
  };
  int n = 0;
  for (const Case& c : cases) {
    std::string zip = scratch / ("case" + std::to_string(n) + ".zip");
    std::string dest = scratch / ("dest" + std::to_string(n++));
    WriteFileBytes(zip, c.archiveBytes);
    EXPECT_FALSE(TUnzip::UnzipTo(zip.c_str(), dest.c_str())) << c.label;
    if (c.leftInDest == std::vector<std::string>{"-"}) {
      EXPECT_FALSE(PathExists(dest)) << c.label;
    } else {
      EXPECT_TRUE(IsFolder(dest)) << c.label;
      EXPECT_EQ(Tree(dest), c.leftInDest) << c.label;
    }
  }
}

TEST(UnzipExtract, PathsPastTheLimitFailInsteadOfBeingCut) {
  ScratchDir scratch("long");
  std::string dest = scratch / "dest";
  const size_t room = 259 - (dest.size() + 1);  // name bytes that still fit with the separator
  std::string zip = WriteZip(scratch, "fits.zip", {fx::File(std::string(room, 'f'), "ok")});
  EXPECT_TRUE(TUnzip::UnzipTo(zip.c_str(), dest.c_str())) << "exactly 259 bytes fit";
  zip = WriteZip(scratch, "over.zip", {fx::File("first.txt", "1"), fx::File(std::string(room + 1, 'g'), "no")});
  EXPECT_FALSE(TUnzip::UnzipTo(zip.c_str(), dest.c_str()));
  zip = WriteZip(scratch, "name.zip", {fx::File(std::string(300, 'h'), "no")});  // beyond the name buffer
  EXPECT_FALSE(TUnzip::UnzipTo(zip.c_str(), dest.c_str()));
  EXPECT_EQ(Tree(dest), (std::vector<std::string>{std::string(room, 'f'), "first.txt"}));
}

TEST(UnzipNames, UnsafeNamesFailAndWriteNothingAnywhere) {
  ScratchDir scratch("unsafe");
  std::string root = scratch / "root";
  std::string dest = root + "\\dest";
  CreateDirectoryA(root.c_str(), nullptr);
  // Names relative to the current folder and drive would land here.
  char cwd[MAX_PATH] = {};
  GetCurrentDirectoryA(MAX_PATH, cwd);
  ASSERT_TRUE(SetCurrentDirectoryA(root.c_str()));
  struct Case {
    std::string name;
    bool folder;
  } const cases[] = {
      {"../evil.txt", false},
      {"a/../../evil.txt", false},
      {"a/../evil.txt", false},  // stays inside, still refused
      {"..", true},
      {"../evildir/", true},
      {"/evil.txt", false},
      {"\\evil.txt", false},
      {"C:evil.txt", false},
      {"C:\\evil.txt", false},
      {"C:/evil.txt", false},
      {"\\\\server\\share\\evil.txt", false},
      {"//server/share/evil.txt", false},
      {"\\\\?\\C:\\evil.txt", false},
      {"\\\\.\\C:\\evil.txt", false},
      {"evil.txt:stream", false},
      {"CON", false},
      {"nul.txt", false},
      {"sub/COM1", false},
      {"lpt9.log", false},
      {"aux/evil.txt", false},
      {"CONOUT$", false},
      {"evil.", false},
      {"evil ", false},
      {"dir./evil.txt", false},
      {"dir /evil.txt", false},
      {".", true},
      {"a/./evil.txt", false},
      {"a//evil.txt", false},
      {"file-with-separator/", false},  // a file entry must name a file
      {std::string("ctl\x01.txt"), false},
      {"wild*.txt", false},
      {"what?.txt", false},
      {"pi|pe.txt", false},
      {"quo\"te.txt", false},
      {"<angle>.txt", false},
      {std::string("hidden\0/../../evil.txt", 22), false},  // a zero byte inside the stored name
  };
  for (const Case& c : cases) {
    std::string zip = root + "\\pkg.zip";
    fx::Entry bad = c.folder ? fx::Folder(c.name) : fx::File(c.name, "evil");
    WriteFileBytes(zip, fx::Build({bad}));
    EXPECT_FALSE(TUnzip::UnzipTo(zip.c_str(), dest.c_str())) << c.name;
    DeleteFileA(zip.c_str());
    EXPECT_EQ(Tree(root), (std::vector<std::string>{"dest/"})) << c.name;
    EXPECT_FALSE(PathExists("C:\\evil.txt")) << c.name;
    testing_support::RemoveTree(dest);
  }
  SetCurrentDirectoryA(cwd);
}

TEST(UnzipNames, OrdinaryNamesThatLookOddAreAccepted) {
  struct Case {
    std::string name;
    bool folder;
  } const cases[] = {
      {"..data.txt", false}, {"a..b/c", false},        {"console.txt", false}, {"com10.txt", false},
      {"lpt.txt", false},    {"nul-ish/file", false},  {"folder/", true},      {"x y/z.txt", false},
      {".hidden", false},    {Gbk(u8"乗/乗.txt"), false}, {Gbk(u8"亅/"), true},   {"a\\b\\c", false},
  };
  for (const Case& c : cases) EXPECT_TRUE(IsSafeEntryName(c.name.c_str(), c.folder)) << c.name;
}

TEST(ExtractPackage, ProgressShareAndWhatIsPosted) {
  ScratchDir scratch("package");
  std::string good = WriteZip(scratch, "good.zip", {fx::File("f.txt", "f")});
  std::string bad = scratch / "bad.zip";
  WriteFileBytes(bad, "not a zip archive");
  struct Step {
    std::string zip;
    bool expected;
    int progressAfter;
  };
  struct Case {
    const char* label;
    int planned;
    int start;
    std::vector<Step> steps;
    std::vector<int> posted;
  } const cases[] = {
      {"five planned add 2", 5, 64, {{good, true, 66}, {good, true, 68}}, {66, 68}},
      {"six planned add 1 (10/6 truncated)", 6, 66, {{good, true, 67}, {good, true, 68}, {good, true, 69}},
       {67, 68, 69}},
      {"missing package: true, nothing changes", 5, 64, {{scratch / "absent.zip", true, 64}}, {}},
      {"failed extraction raises but posts nothing", 5, 64, {{bad, false, 66}, {good, true, 68}}, {68}},
      {"no planned downloads: no share", 0, 10, {{good, true, 10}}, {10}},
  };
  for (const Case& c : cases) {
    MessageSink sink;
    IClient client;
    client.plannedDownloads = c.planned;
    client.progressPercent = c.start;
    for (const Step& s : c.steps) {
      EXPECT_EQ(client.ExtractPackage(s.zip, scratch / "dest"), s.expected) << c.label;
      EXPECT_EQ(client.progressPercent, s.progressAfter) << c.label;
    }
    sink.Pump(50);
    EXPECT_EQ(sink.Percents(), c.posted) << c.label;
    EXPECT_EQ(sink.messages().size(), c.posted.size()) << c.label << ": only progress messages";
  }
}

// The run's downloads lie at the staging root: a package entry of one of
// their names (in any letter case) is refused before it could replace a
// package not yet unpacked; the same name deeper down is an ordinary file.
TEST(ExtractPackage, EntriesNamedLikeThisRunsDownloadsAreRefusedAtTheRoot) {
  struct Case {
    const char* label;
    fx::Entry entry;
    bool extracted;
  } const cases[] = {
      {"runtime package", fx::File("9.5.1.zip", "planted"), false},
      {"quant package", fx::File("q7.zip", "planted"), false},
      {"manifest", fx::File("summary.ini", "planted"), false},
      {"other letter case", fx::File("BASE.ZIP", "planted"), false},
      {"folder of that name", fx::Folder("config.zip/"), false},
      {"below the root", fx::File("sub/9.5.1.zip", "nested"), true},
      {"ordinary name", fx::File("9.5.2.zip", "other"), true},
  };
  for (const Case& c : cases) {
    ScratchDir staging("refused");
    const std::vector<std::string> downloads = {"summary.ini", "base.zip", "config.zip", "9.5.1.zip", "q7.zip"};
    for (const std::string& name : downloads) WriteFileBytes(staging / name, "downloaded " + name);
    const std::string package = WriteZip(staging, "package.zip", {fx::File("first.txt", "1"), c.entry});
    IClient client;
    std::snprintf(client.fixVersion, sizeof client.fixVersion, "9.5.1");
    std::snprintf(client.quantVersion, sizeof client.quantVersion, "q7");
    EXPECT_EQ(client.ExtractPackage(package, staging.path()), c.extracted) << c.label;
    for (const std::string& name : downloads)
      EXPECT_EQ(ReadFileBytes(staging / name), "downloaded " + name) << c.label;
  }
}
