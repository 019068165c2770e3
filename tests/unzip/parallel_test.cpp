// Extraction on several threads against extraction on one: the same tree,
// contents, times and result for archives whose entries meet each other, the
// first failing entry deciding the result and the logged reason, and the
// reason of a full disk in the log.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/tunzip.h"
#include "engine/app_context.h"
#include "platform/install_log.h"
#include "support/test_support.h"
#include "unzip/tree.h"
#include "unzip/unzip_fixture.h"

using testing_support::PathExists;
using testing_support::ReadFileBytes;
using testing_support::ScratchDir;
using testing_support::WriteFileBytes;
using unzip_tree::Tree;
namespace fx = unzip_fixture;

namespace {

// What an extraction left: every path, and each file's content and times
// (those of the archive, or "now" for a file whose times were not set).
struct Left {
  std::vector<std::string> tree;
  std::vector<std::string> files;  // "path=content@creation/last-write"
  bool operator==(const Left&) const = default;
};

std::string TimeText(const FILETIME& time) {
  FILETIME local{}, archived{};
  DosDateTimeToFileTime(HIWORD(fx::kDosTime), LOWORD(fx::kDosTime), &local);
  LocalFileTimeToFileTime(&local, &archived);
  return CompareFileTime(&time, &archived) == 0 ? "archived" : "now";
}

void PrintTo(const Left& left, std::ostream* out) {
  for (const std::string& file : left.files) *out << "\n  " << file.substr(0, file.find('=')) << file.substr(file.find('@'));
  for (const std::string& path : left.tree) *out << "\n  " << path;
}

Left Look(const std::string& root) {
  Left left{Tree(root), {}};
  for (const std::string& relative : left.tree) {
    if (relative.back() == '/') continue;
    std::string path = root + "\\" + relative;
    for (char& c : path) c = c == '/' ? '\\' : c;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data);
    left.files.push_back(relative + "=" + ReadFileBytes(path) + "@" +
                         TimeText(data.ftCreationTime) + "/" + TimeText(data.ftLastWriteTime));
  }
  return left;
}

bool Extract(const std::string& zip, const std::string& dest, unsigned threads) {
  TUnzip unzip;
  return unzip.Open(zip.c_str()) && unzip.ExtractAll(dest.c_str(), threads);
}

// Entry data of different sizes, so that the threads overtake each other.
std::string Payload(int i) {
  return std::string(i % 7 == 0 ? 150000 : 300 + i, static_cast<char>('a' + i % 26)) + std::to_string(i);
}

// n0.txt, n1.txt, ...
std::vector<fx::Entry> NumberedFiles(int count) {
  std::vector<fx::Entry> entries;
  for (int i = 0; i < count; ++i) entries.push_back(fx::File(fx::Numbered("n", i, ".txt"), Payload(i)));
  return entries;
}

// f0/n0.txt, f1/n1.txt, ...: every entry makes a folder of its own.
std::vector<fx::Entry> FilesInFoldersOfTheirOwn(int count) {
  std::vector<fx::Entry> entries;
  for (int i = 0; i < count; ++i) entries.push_back(fx::File(fx::Numbered("f", i) + fx::Numbered("/n", i, ".txt"), Payload(i)));
  return entries;
}

std::vector<fx::Entry> With(std::vector<fx::Entry> entries, int at, fx::Entry entry) {
  entries.insert(entries.begin() + at, std::move(entry));
  return entries;
}

}  // namespace

TEST(UnzipParallel, LeavesWhatOneThreadLeaves) {
  ScratchDir scratch("parallel");
  std::vector<fx::Entry> duplicates;
  const char* const names[] = {"dup.txt", "DUP.TXT", "d/x.bin", "D/X.bin", "Dup.Txt", "d/unique"};
  for (int i = 0; i < 150; ++i) {
    const std::string name = names[i % 6];
    duplicates.push_back(fx::File(name == "d/unique" ? fx::Numbered("d/unique", i) : name, Payload(i)));
  }
  fx::Entry wrongCrc = fx::File("bad.txt", "payload");
  wrongCrc.wrongCrc = true;
  fx::Entry refusedHeader = fx::File("g/refused.txt", Payload(3));
  refusedHeader.localCrcOff = true;
  struct Case {
    const char* label;
    std::vector<fx::Entry> entries;
    bool result;
    const char* leftOut;  // a path of a later entry that must not be there, nullptr: no such rule
  } const cases[] = {
      {"duplicate names in any case", duplicates, true, nullptr},
      {"folder entries before and after their files",
       {fx::Folder("f/"), fx::File("f/1.txt", "1"), fx::Folder("F/"), fx::File("g/h/2.txt", "2"), fx::Folder("g/"),
        fx::Folder("g/h/"), fx::File("G/H/3.txt", "3")},
       true, nullptr},
      {"a file where a later entry needs a folder",
       With(With(NumberedFiles(30), 10, fx::File("x", "file")), 11, fx::File("x/y.txt", "in file")), false, "n10.txt"},
      {"a name that is refused", With(NumberedFiles(60), 20, fx::File("../up.txt", "up")), false, "n20.txt"},
      // Later entries go ahead while the refused one is still opening: their
      // files and folders must be gone again.
      {"a local header that is refused", With(FilesInFoldersOfTheirOwn(60), 20, refusedHeader), false, "f20"},
      {"an entry whose data is corrupt", With(NumberedFiles(60), 20, wrongCrc), false, nullptr},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string zip = scratch / fx::Numbered("case", n++, ".zip");
    WriteFileBytes(zip, fx::Build(c.entries));
    const std::string inOrder = zip + ".one";
    ASSERT_EQ(Extract(zip, inOrder, 1), c.result) << c.label;
    const Left expected = Look(inOrder);
    for (unsigned threads : {2u, 4u, 4u, 4u}) {
      const std::string dest = zip + fx::Numbered(".", threads);
      testing_support::RemoveTree(dest);
      EXPECT_EQ(Extract(zip, dest, threads), c.result) << c.label << ", " << threads << " threads";
      const Left left = Look(dest);
      if (c.result || c.leftOut != nullptr) {
        EXPECT_EQ(left, expected) << c.label << ", " << threads << " threads";
      } else {
        // A failure found only after the data was written: what other
        // threads wrote meanwhile may stay, but every earlier entry is done.
        for (int i = 0; i < 20; ++i) {
          const std::string name = fx::Numbered("n", i, ".txt");
          EXPECT_EQ(ReadFileBytes(dest + "\\" + name), Payload(i)) << c.label << ", " << name;
        }
      }
      if (c.leftOut != nullptr) {
        EXPECT_FALSE(PathExists(dest + "\\" + c.leftOut)) << c.label;
      }
    }
  }
  // The last of each duplicate name wins, whatever its case.
  const std::string one = scratch / "case0.zip.one";
  EXPECT_EQ(ReadFileBytes(one + "\\dup.txt"), Payload(148));
  EXPECT_EQ(ReadFileBytes(one + "\\d\\x.bin"), Payload(147));
}

namespace {

// The build's folder whose file full.bin is /dev/full: every write to it
// fails the way a full disk does.
std::string FullDiskFolder() {
  std::string folder = "Z:" KAVIMOR_FULL_DISK_DIR;
  for (char& c : folder) c = c == '/' ? '\\' : c;
  return folder;
}

// Empties the full-disk folder but for full.bin itself.
void ClearFullDiskFolder() {
  const std::string folder = FullDiskFolder();
  for (const std::string& relative : Tree(folder)) {
    if (relative.find('/') == std::string::npos && relative != "full.bin") DeleteFileA((folder + "\\" + relative).c_str());
  }
}

std::string SystemText(DWORD code) {
  char text[512] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text, sizeof text,
                 nullptr);
  std::string message = text;
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
    message.pop_back();
  return message;
}

}  // namespace

TEST(UnzipDiskFull, TheSystemsReasonIsLoggedBeforeTheFailure) {
  ScratchDir scratch("disk-full");
  const std::string dest = FullDiskFolder();
  const std::string reason = "Unzip Fail,code:112,message:" + SystemText(ERROR_DISK_FULL) + ",file:full.bin";
  fx::Entry wrongCrc = fx::File("bad.txt", "payload");
  wrongCrc.wrongCrc = true;
  const fx::Entry full = fx::File("full.bin", std::string(100000, 'f'));
  struct Case {
    const char* label;
    std::vector<fx::Entry> entries;
    unsigned threads;
    std::vector<std::string> logged;
  } const cases[] = {
      {"one thread", {fx::File("ok.txt", "ok"), full}, 1, {reason}},
      {"four threads", With(NumberedFiles(12), 1, full), 4, {reason}},
      {"an earlier failure without a reason comes first", {fx::File("ok.txt", "ok"), wrongCrc, full}, 4, {}},
  };
  int n = 0;
  for (const Case& c : cases) {
    ClearFullDiskFolder();
    const std::string zip = scratch / fx::Numbered("case", n, ".zip");
    WriteFileBytes(zip, fx::Build(c.entries));
    GetAppContext().logDir = scratch / fx::Numbered("log", n++);
    OpenInstallLog(GetAppContext().logDir);
    EXPECT_FALSE(Extract(zip, dest, c.threads)) << c.label;
    CloseInstallLog();
    EXPECT_EQ(testing_support::LogTexts(GetAppContext().logDir), c.logged) << c.label;
  }
  ClearFullDiskFolder();
}
