// Folder creation, deletion, stopping a running client and launching it,
// against real folders and real processes under Wine.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/handles.h"
#include "platform/process_ops.h"
#include "platform/text.h"
#include "support/test_support.h"

namespace {

using testing_support::PathExists;
using testing_support::ScratchDir;

bool IsFolder(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

TEST(CreateFolderPath, CreatesFoldersUpToTheLastBackslashOnly) {
  ScratchDir dir("mkpath");
  EXPECT_TRUE(CreateFolderPath(dir / "a\\b\\c.txt"));
  EXPECT_TRUE(IsFolder(dir / "a"));
  EXPECT_TRUE(IsFolder(dir / "a\\b"));
  EXPECT_FALSE(PathExists(dir / "a\\b\\c.txt"));

  EXPECT_TRUE(CreateFolderPath(dir / "x\\y"));
  EXPECT_TRUE(IsFolder(dir / "x"));
  EXPECT_FALSE(PathExists(dir / "x\\y"));

  EXPECT_TRUE(CreateFolderPath(dir / "p\\q\\"));
  EXPECT_TRUE(IsFolder(dir / "p\\q"));

  // No backslash at all: nothing to create.
  EXPECT_TRUE(CreateFolderPath("loose-name"));
  EXPECT_FALSE(PathExists("loose-name"));

  // "\x81\x5C" is one GBK character whose second byte is a backslash: it
  // names one folder, not two.
  EXPECT_TRUE(CreateFolderPath(dir / "d\x81\x5C" "b\\f.txt"));
  EXPECT_TRUE(IsFolder(dir / "d\x81\x5C" "b"));
  EXPECT_FALSE(PathExists(dir / "d\x81"));

  // Mixed separators as the download paths use them: only backslashes split.
  EXPECT_TRUE(CreateFolderPath(dir / "m\\n/file.zip"));
  EXPECT_TRUE(IsFolder(dir / "m"));
}

TEST(CreateFolderPath, ReportsTheFirstFolderThatCannotBeMade) {
  ScratchDir dir("mkpath_fail");
  testing_support::WriteFileBytes(dir / "file.txt", "x");
  testing_support::DialogAnswerer ok(IDOK);
  // "file.txt\" exists (as a file) and is passed over; "sub" under it fails.
  EXPECT_FALSE(CreateFolderPath(dir / "file.txt\\sub\\deeper\\f"));
  ASSERT_TRUE(ok.Join());
  EXPECT_EQ(ok.caption(), L"\u63D0\u793A");
  EXPECT_EQ(ok.text(), WideFromCodePage(dir / "file.txt\\sub\\", kGbkCodePage, 1024));
}

TEST(CreateFolderPath, RefusesAPrefixLongerThanItsBuffer) {
  ScratchDir dir("mkpath_long");
  const std::string longName(300 - dir.path().size(), 'n');
  testing_support::DialogAnswerer ok(IDOK);
  EXPECT_FALSE(CreateFolderPath(dir / (longName + "\\f")));
  EXPECT_TRUE(ok.Join());
  EXPECT_FALSE(PathExists(dir / longName.substr(0, 200)));
}

TEST(DeletePath, RemovesTreesAndFilesWithoutAsking) {
  ScratchDir dir("delete");
  CreateFolderPath(dir / "tree\\a\\b\\");
  testing_support::WriteFileBytes(dir / "tree\\a\\b\\deep.bin", "1");
  testing_support::WriteFileBytes(dir / "tree\\top.bin", "2");
  testing_support::WriteFileBytes(dir / "single.txt", "3");

  EXPECT_TRUE(DeletePath(dir / "tree"));
  EXPECT_FALSE(PathExists(dir / "tree"));
  EXPECT_TRUE(DeletePath(dir / "single.txt"));
  EXPECT_FALSE(PathExists(dir / "single.txt"));
  EXPECT_TRUE(PathExists(dir.path()));
}

TEST(DeletePath, MissingPathReportsFailure) {
  ScratchDir dir("delete_missing");
  EXPECT_FALSE(DeletePath(dir / "never-there"));
}

// The stand-in client, started as the tests need it and stopped afterwards.
class ClientProcesses : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const auto& exe : exes_) testing_support::StopProcessesOf(exe);
  }
  HANDLE Start(const std::string& folder) {
    const std::string exe = testing_support::InstallStandInClient(folder);
    exes_.push_back(exe);
    HANDLE process = testing_support::StartProgram(exe, "", folder);
    EXPECT_NE(process, nullptr);
    // Wait until it runs (it writes its record first thing).
    testing_support::WaitForStartRecord(folder, GetProcessId(process), 10000);
    return process;
  }
  static bool Running(HANDLE process) { return WaitForSingleObject(process, 0) == WAIT_TIMEOUT; }

  ScratchDir dir_{"kill"};
  std::vector<std::string> exes_;
};

TEST_F(ClientProcesses, StopsOnlyTheFirstClientOfTheInstallFolder) {
  const std::string installDir = dir_ / "Install";
  win::UniqueHandle first(Start(dir_ / "Install"));
  win::UniqueHandle second(Start(dir_ / "Install"));
  win::UniqueHandle elsewhere(Start(dir_ / "Elsewhere"));

  // The file name compares without regard to ASCII case, but the image path
  // is built from the given name and must match exactly: nothing stops.
  KillRunningClient(installDir, L"KAVIMOR V9.5.EXE");
  EXPECT_TRUE(Running(first.get()));
  EXPECT_TRUE(Running(second.get()));

  KillRunningClient(installDir, L"kavimor v9.5.exe");
  EXPECT_NE(Running(first.get()), Running(second.get())) << "exactly one of the two is stopped";
  EXPECT_TRUE(Running(elsewhere.get()));

  KillRunningClient(installDir, L"kavimor v9.5.exe");
  EXPECT_FALSE(Running(first.get()));
  EXPECT_FALSE(Running(second.get()));
  EXPECT_TRUE(Running(elsewhere.get()));
}

TEST_F(ClientProcesses, FolderDifferingOnlyInCaseIsNotTheInstallFolder) {
  win::UniqueHandle client(Start(dir_ / "Install"));
  KillRunningClient(dir_ / "INSTALL", L"kavimor v9.5.exe");
  EXPECT_TRUE(Running(client.get()));
}

// A drive root picked as the install folder used to give "C:\\Kavimor...":
// the same folder, written otherwise, is still the install folder; letter
// case still counts.
TEST_F(ClientProcesses, ClientOfADriveRootFolderIsStoppedWhateverTheSeparators) {
  const std::string leaf = "KavimorRoot" + std::to_string(GetCurrentProcessId());
  const std::string root = "C:\\" + leaf;
  testing_support::RemoveTree(root);
  struct Case {
    std::string installDir;
    bool stopped;
  };
  const Case cases[] = {
      {"C:\\\\" + leaf, true},
      {"C:\\" + leaf + "\\", true},
      {"C:\\.\\" + leaf, true},
      {"C:\\\\" + std::string("KAVIMORROOT") + std::to_string(GetCurrentProcessId()), false},
  };
  for (const Case& c : cases) {
    win::UniqueHandle client(Start(root));
    KillRunningClient(c.installDir, L"kavimor v9.5.exe");
    EXPECT_EQ(!Running(client.get()), c.stopped) << c.installDir;
    testing_support::StopProcessesOf(root + "\\kavimor v9.5.exe");
    WaitForSingleObject(client.get(), 5000);
  }
  testing_support::RemoveTree(root);
}

TEST_F(ClientProcesses, NoClientMeansNothingHappens) {
  win::UniqueHandle other(Start(dir_ / "Other"));
  const ULONGLONG before = GetTickCount64();
  KillRunningClient(dir_ / "Install", L"kavimor v9.5.exe");
  EXPECT_LT(GetTickCount64() - before, 2500u) << "no pause without a stopped client";
  EXPECT_TRUE(Running(other.get()));
}

TEST_F(ClientProcesses, LaunchHandsTheClientExactlyTheArgumentEnd) {
  const std::string folder = dir_ / "Launch Here";
  exes_.push_back(testing_support::InstallStandInClient(folder));
  ASSERT_TRUE(LaunchClient(folder));

  const std::vector<std::string> lines = testing_support::WaitForAnyStartRecord(folder, 10000);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "\"" + folder + "\\kavimor v9.5.exe\" end");
  EXPECT_EQ(lines[1], folder);
  EXPECT_EQ(lines[2], folder + "\\kavimor v9.5.exe");
  EXPECT_EQ(lines[3], "end");
}

TEST(LaunchClient, MissingClientIsReportedAsNotStarted) {
  ScratchDir dir("launch_missing");
  EXPECT_FALSE(LaunchClient(dir.path()));
}

}  // namespace
