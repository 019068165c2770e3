// What the extraction may trust and what it must prove: a package that
// passed the release check is unpacked from that very file however the
// staging folder is changed around it, and the unpacked tree is checked as
// a whole (every entry with its size, unless the user skipped it).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "archive/tunzip.h"
#include "engine/client.h"
#include "platform/install_log.h"
#include "support/test_support.h"
#include "unzip/unzip_fixture.h"

using testing_support::DialogAnswerer;
using testing_support::PathExists;
using testing_support::ReadFileBytes;
using testing_support::ScratchDir;
using testing_support::WriteFileBytes;
namespace fx = unzip_fixture;

namespace {

// The install log of one test, opened in its own folder, read at the end.
class TestLog {
 public:
  explicit TestLog(const ScratchDir& dir) : folder_(dir / "log") { OpenInstallLog(folder_); }
  ~TestLog() { CloseInstallLog(); }
  std::vector<std::string> Lines() {
    CloseInstallLog();
    return testing_support::LogTexts(folder_);
  }

 private:
  std::string folder_;
};

std::string Staging(const ScratchDir& dir) {
  const std::string staging = dir / "staging";
  CreateDirectoryA(staging.c_str(), nullptr);
  return staging;
}

// The package as the release check leaves it: open for reading, shared for
// reading only, held by the client under its local path.
void HoldAsChecked(IClient& client, const std::string& path) {
  client.checkedObjects[path].reset(
      CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_NE(client.CheckedPackage(path), nullptr) << path;
}

std::vector<fx::Entry> GenuineEntries() {
  std::vector<fx::Entry> entries;
  // Enough entries for every extraction thread to open a reader of its own.
  for (int i = 0; i < 24; ++i) entries.push_back(fx::File("lib/part" + std::to_string(i) + ".dll", std::string(300 + i, 'g')));
  entries.push_back(fx::File("service.exe", "genuine service"));
  return entries;
}

}  // namespace

// A user's program gets at base.zip after its check in every way it can:
// writes and replaces it in place (refused while it is held), or renames
// the staging folder and makes a new one with its own base.zip. The
// replacement is never unpacked.
TEST(CheckedPackage, AReplacementAfterTheCheckIsNeverUnpacked) {
  const std::string evil = fx::Build({fx::File("evil.dll", "planted"), fx::File("service.exe", "planted")});
  struct Row {
    const char* label;
    // Returns false when the system refused the attack outright.
    std::function<bool(const std::string& staging, const std::string& package)> attack;
    bool renamesFolder;
  } const rows[] = {
      {"untouched", [](const std::string&, const std::string&) { return true; }, false},
      {"written in place",
       [&](const std::string&, const std::string& package) {
         HANDLE file = CreateFileA(package.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
         if (file == INVALID_HANDLE_VALUE) return false;
         CloseHandle(file);
         return true;
       },
       false},
      {"replaced by rename",
       [&](const std::string& staging, const std::string& package) {
         WriteFileBytes(staging + "\\..\\evil.zip", evil);
         return MoveFileExA((staging + "\\..\\evil.zip").c_str(), package.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
       },
       false},
      {"deleted", [](const std::string&, const std::string& package) { return DeleteFileA(package.c_str()) != FALSE; },
       false},
      {"staging folder renamed and made again",
       [&](const std::string& staging, const std::string& package) {
         if (!MoveFileA(staging.c_str(), (staging + "-moved").c_str())) return false;
         CreateDirectoryA(staging.c_str(), nullptr);
         WriteFileBytes(package, evil);
         return true;
       },
       true},
      {"staging folder renamed away",
       [](const std::string& staging, const std::string&) {
         return MoveFileA(staging.c_str(), (staging + "-moved").c_str()) != FALSE;
       },
       true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    ScratchDir dir("checked-package");
    TestLog log(dir);
    const std::string staging = Staging(dir);
    const std::string package = staging + "/base.zip";
    WriteFileBytes(package, fx::Build(GenuineEntries()));
    IClient client;
    client.plannedDownloads = 5;
    HoldAsChecked(client, package);

    const bool attacked = row.attack(staging, package);
    // Whatever the file system allowed, only the checked bytes count.
    const bool replacedFolder = row.renamesFolder && attacked;
    if (row.renamesFolder) std::printf("%s: %s\n", row.label, attacked ? "done" : "refused by the system");
    if (!row.renamesFolder) {
      EXPECT_EQ(attacked, std::string(row.label) == "untouched") << "held without write or delete sharing";
    }
    const bool extracted = client.ExtractPackage(package, staging);
    EXPECT_EQ(extracted, !replacedFolder);
    EXPECT_EQ(client.CheckedPackage(package), nullptr) << "released after its extraction";
    EXPECT_FALSE(PathExists(staging + "\\evil.dll"));
    EXPECT_NE(ReadFileBytes(staging + "\\service.exe"), "planted");
    if (extracted) {
      EXPECT_EQ(ReadFileBytes(staging + "\\service.exe"), "genuine service");
      EXPECT_EQ(ReadFileBytes(staging + "\\lib\\part23.dll"), std::string(323, 'g'));
    }
    const std::vector<std::string> lines = log.Lines();
    EXPECT_EQ(lines, replacedFolder ? std::vector<std::string>{"Package changed after its check: " + package}
                                    : std::vector<std::string>{});
    testing_support::RemoveTree(staging + "-moved");
  }
}

// Every entry of every package is checked in place after the last one;
// a later package's file of the same name is the one that counts.
TEST(UnpackedContents, TheTreeAsUnpackedOrTheFirstDifference) {
  struct Row {
    const char* label;
    std::function<void(const std::string& staging)> change;
    const char* problem;  // null: the check passes
  } const rows[] = {
      {"as unpacked", [](const std::string&) {}, nullptr},
      {"file gone", [](const std::string& s) { DeleteFileA((s + "\\sub\\b.bin").c_str()); },
       "Unpacked tree incomplete,file:sub\\b.bin,size:10,found:missing"},
      {"earlier package's size", [](const std::string& s) { WriteFileBytes(s + "\\a.txt", "aaaa"); },
       "Unpacked tree incomplete,file:a.txt,size:14,found:4 bytes"},
      {"folder gone", [](const std::string& s) { RemoveDirectoryA((s + "\\docs").c_str()); },
       "Unpacked tree incomplete,folder:docs\\,found:missing"},
      {"file became a folder",
       [](const std::string& s) {
         DeleteFileA((s + "\\sub\\b.bin").c_str());
         CreateDirectoryA((s + "\\sub\\b.bin").c_str(), nullptr);
       },
       "Unpacked tree incomplete,file:sub\\b.bin,size:10,found:a folder"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    ScratchDir dir("unpacked-contents");
    const std::string staging = Staging(dir);
    WriteFileBytes(dir / "first.zip", fx::Build({fx::Folder("docs/"), fx::File("a.txt", "aaaa"),
                                                 fx::File("sub/b.bin", std::string(10, 'b'))}));
    WriteFileBytes(dir / "second.zip", fx::Build({fx::File("a.txt", "longer content")}));
    IClient client;
    ASSERT_TRUE(client.ExtractPackage(dir / "first.zip", staging));
    ASSERT_TRUE(client.ExtractPackage(dir / "second.zip", staging));
    EXPECT_EQ(client.unpackedContents.size(), 3u);
    row.change(staging);
    std::string problem;
    EXPECT_EQ(client.unpackedContents.Check(&problem), row.problem == nullptr);
    EXPECT_EQ(problem, row.problem == nullptr ? "" : row.problem);
  }
}

// Ignore in the overwrite prompt leaves the old file, says so in the log,
// and the check leaves that entry out, until a later package writes it.
TEST(UnpackedContents, AFileTheUserSkippedIsLoggedAndLeftOut) {
  ScratchDir dir("skipped-entry");
  TestLog log(dir);
  const std::string staging = Staging(dir);
  CreateDirectoryA((staging + "\\sub").c_str(), nullptr);
  WriteFileBytes(staging + "\\sub\\locked.txt", "old");
  WriteFileBytes(dir / "first.zip", fx::Build({fx::File("sub/locked.txt", "new and longer"), fx::File("z.txt", "z")}));
  WriteFileBytes(dir / "second.zip", fx::Build({fx::File("sub/locked.txt", "second")}));
  IClient client;
  HANDLE lock = CreateFileA((staging + "\\sub\\locked.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(lock, INVALID_HANDLE_VALUE);
  bool extracted = false;
  {
    std::thread worker([&] { extracted = client.ExtractPackage(dir / "first.zip", staging); });
    DialogAnswerer answer(IDIGNORE);
    EXPECT_TRUE(answer.Join());
    worker.join();
  }
  CloseHandle(lock);
  EXPECT_TRUE(extracted);
  std::string problem;
  EXPECT_TRUE(client.unpackedContents.Check(&problem)) << problem;
  EXPECT_EQ(ReadFileBytes(staging + "\\sub\\locked.txt"), "old");

  ASSERT_TRUE(client.ExtractPackage(dir / "second.zip", staging));
  EXPECT_TRUE(client.unpackedContents.Check(&problem)) << problem;
  DeleteFileA((staging + "\\sub\\locked.txt").c_str());
  EXPECT_FALSE(client.unpackedContents.Check(&problem));
  EXPECT_EQ(problem, "Unpacked tree incomplete,file:sub\\locked.txt,size:6,found:missing");
  EXPECT_EQ(log.Lines(), std::vector<std::string>{"Unzip Ignore,file:sub\\locked.txt"});
}

// The log folder stays in the install folder through every reinstall: a
// package entry there would silently never be installed, so it fails the
// package with a line naming it.
TEST(ExtractPackage, AnEntryInTheLogFolderFailsThePackageWithALine) {
  struct Row {
    fx::Entry entry;
    const char* line;
  } const rows[] = {
      {fx::File("kavimorlog/x.log", "x"), "Unzip Fail,reserved name:kavimorlog\\x.log"},
      {fx::Folder("KavimorLog/"), "Unzip Fail,reserved name:KavimorLog\\"},
  };
  for (const Row& row : rows) {
    ScratchDir dir("log-folder-entry");
    TestLog log(dir);
    WriteFileBytes(dir / "pkg.zip", fx::Build({fx::File("first.txt", "1"), row.entry}));
    IClient client;
    EXPECT_FALSE(client.ExtractPackage(dir / "pkg.zip", Staging(dir))) << row.line;
    EXPECT_EQ(log.Lines(), std::vector<std::string>{row.line});
  }
}
