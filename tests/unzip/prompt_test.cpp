// The overwrite prompt for real: a file held open without sharing, the
// extraction on a worker thread (as in the installer), and a test thread
// that finds the message box and answers it.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "archive/tunzip.h"
#include "platform/install_log.h"
#include "platform/text.h"
#include "platform/unattended.h"
#include "support/test_support.h"
#include "unzip/unzip_fixture.h"

using testing_support::DialogAnswerer;
using testing_support::PathExists;
using testing_support::ReadFileBytes;
using testing_support::ScratchDir;
using testing_support::WriteFileBytes;
namespace fx = unzip_fixture;

namespace {

BOOL CALLBACK FindVisibleDialog(HWND hwnd, LPARAM param) {
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  wchar_t cls[16] = {};
  GetClassNameW(hwnd, cls, 16);
  if (pid == GetCurrentProcessId() && lstrcmpW(cls, L"#32770") == 0 && IsWindowVisible(hwnd)) {
    *reinterpret_cast<HWND*>(param) = hwnd;
    return FALSE;
  }
  return TRUE;
}

BOOL CALLBACK CountVisibleDialog(HWND hwnd, LPARAM param) {
  HWND found = nullptr;
  FindVisibleDialog(hwnd, reinterpret_cast<LPARAM>(&found));
  if (found != nullptr) ++*reinterpret_cast<int*>(param);
  return TRUE;
}

int VisibleDialogs() {
  int count = 0;
  EnumWindows(CountVisibleDialog, reinterpret_cast<LPARAM>(&count));
  return count;
}

// Waits for a prompt to be on screen (without answering it).
bool PromptShows(DWORD timeoutMs) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  while (GetTickCount64() < end) {
    HWND found = nullptr;
    EnumWindows(FindVisibleDialog, reinterpret_cast<LPARAM>(&found));
    if (found != nullptr) return true;
    Sleep(30);
  }
  return false;
}

// An extraction running on its own thread, like the installer's worker
// (`threads` 0: as many as the installer would use).
class Extraction {
 public:
  Extraction(std::string zip, std::string dest, unsigned threads = 0)
      : thread_([this, zip, dest, threads] {
          TUnzip unzip;
          result_ = unzip.Open(zip.c_str()) && unzip.ExtractAll(dest.c_str(), threads);
        }) {}
  ~Extraction() {
    if (thread_.joinable()) thread_.join();
  }
  bool Result() {
    thread_.join();
    return result_;
  }

 private:
  bool result_ = false;
  std::thread thread_;
};

struct LockedPackage {
  explicit LockedPackage(const char* tag) : scratch(tag) {
    dest = scratch / "dest";
    CreateDirectoryA(dest.c_str(), nullptr);
    CreateDirectoryA((dest + "\\sub").c_str(), nullptr);
    WriteFileBytes(dest + "\\sub\\locked.txt", "old content");
    zip = scratch / "pkg.zip";
    WriteFileBytes(zip, fx::Build({fx::File("first.txt", "1"), fx::File("sub/locked.txt", "new content"),
                                   fx::File("last.txt", "3")}));
    lock = CreateFileA((dest + "\\sub\\locked.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  }
  ~LockedPackage() { Release(); }
  void Release() {
    if (lock != INVALID_HANDLE_VALUE) CloseHandle(lock);
    lock = INVALID_HANDLE_VALUE;
  }
  ScratchDir scratch;
  std::string dest, zip;
  HANDLE lock = INVALID_HANDLE_VALUE;
};

}  // namespace

TEST(UnzipOverwritePrompt, AbortFailsAndKeepsEarlierEntries) {
  LockedPackage pkg("prompt-abort");
  ASSERT_NE(pkg.lock, INVALID_HANDLE_VALUE);
  Extraction run(pkg.zip, pkg.dest);
  DialogAnswerer answer(IDABORT);
  ASSERT_TRUE(answer.Join());
  EXPECT_EQ(answer.caption(), Wide(u8"警告"));
  // The entry's name after the slash conversion, not the full path.
  EXPECT_EQ(answer.text(), Wide(u8"无法覆盖文件\"sub\\locked.txt\",该文件可能正被使用!\n是否终止升级?"));
  EXPECT_FALSE(run.Result());
  pkg.Release();
  EXPECT_EQ(ReadFileBytes(pkg.dest + "\\first.txt"), "1");
  EXPECT_EQ(ReadFileBytes(pkg.dest + "\\sub\\locked.txt"), "old content");
  EXPECT_FALSE(PathExists(pkg.dest + "\\last.txt"));
}

// Unattended nobody can answer: the safe answer, Abort, is taken without a
// box (an answerer standing by would press Ignore), and the log says so.
TEST(UnzipOverwritePrompt, UnattendedTakesAbortWithoutABoxAndLogsIt) {
  SetUnattendedRun("/S");
  LockedPackage pkg("prompt-unattended");
  ASSERT_NE(pkg.lock, INVALID_HANDLE_VALUE);
  const std::string logDir = pkg.scratch / "log";
  OpenInstallLog(logDir);
  {
    Extraction run(pkg.zip, pkg.dest);
    DialogAnswerer answer(IDIGNORE, 1500);
    EXPECT_FALSE(run.Result());
    EXPECT_FALSE(answer.Join());
  }
  CloseInstallLog();
  EndUnattendedRun();
  pkg.Release();
  EXPECT_EQ(ReadFileBytes(pkg.dest + "\\sub\\locked.txt"), "old content");
  EXPECT_FALSE(PathExists(pkg.dest + "\\last.txt"));
  const std::vector<std::string> log = testing_support::LogTexts(logDir);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0], "Unattended: cannot overwrite sub\\locked.txt, answered Abort");
}

TEST(UnzipOverwritePrompt, IgnoreSkipsTheEntryAndGoesOn) {
  LockedPackage pkg("prompt-ignore");
  ASSERT_NE(pkg.lock, INVALID_HANDLE_VALUE);
  Extraction run(pkg.zip, pkg.dest);
  DialogAnswerer answer(IDIGNORE);
  ASSERT_TRUE(answer.Join());
  EXPECT_TRUE(run.Result());
  pkg.Release();
  EXPECT_EQ(ReadFileBytes(pkg.dest + "\\sub\\locked.txt"), "old content");
  EXPECT_EQ(ReadFileBytes(pkg.dest + "\\first.txt"), "1");
  EXPECT_EQ(ReadFileBytes(pkg.dest + "\\last.txt"), "3");
  EXPECT_FALSE(PromptShows(300)) << "one prompt only";
}

TEST(UnzipOverwritePrompt, RetryAsksAgainUntilTheFileIsReleased) {
  LockedPackage pkg("prompt-retry");
  ASSERT_NE(pkg.lock, INVALID_HANDLE_VALUE);
  Extraction run(pkg.zip, pkg.dest);
  for (int attempt = 0; attempt < 2; ++attempt) {  // still locked: the prompt comes back
    DialogAnswerer answer(IDRETRY);
    ASSERT_TRUE(answer.Join()) << attempt;
    EXPECT_EQ(answer.caption(), Wide(u8"警告"));
  }
  ASSERT_TRUE(PromptShows(20000)) << "a third prompt while the file is held";
  pkg.Release();
  {
    DialogAnswerer answer(IDRETRY);
    ASSERT_TRUE(answer.Join());
  }
  EXPECT_TRUE(run.Result());
  EXPECT_EQ(ReadFileBytes(pkg.dest + "\\sub\\locked.txt"), "new content");
  EXPECT_EQ(ReadFileBytes(pkg.dest + "\\last.txt"), "3");
  EXPECT_FALSE(PromptShows(300)) << "no prompt after the release";
}

namespace {

// first.txt, then `count` small entries, the locked sub/locked.txt, and
// `count` more: n0.txt, n1.txt, ... numbered through the archive.
std::vector<fx::Entry> AroundTheLockedFile(int count) {
  std::vector<fx::Entry> entries;
  for (int i = 0; i < 2 * count + 1; ++i) {
    entries.push_back(i == count ? fx::File("sub/locked.txt", "new content")
                                 : fx::File(fx::Numbered("n", i, ".txt"), std::string(3000, 'a' + i % 26)));
  }
  return entries;
}

}  // namespace

// With several threads the prompt still comes alone, after every earlier
// entry, and no later entry starts while it is up (only those that went
// ahead before it, one per other thread at most); Abort stops the walk
// there, removing what went ahead, and Ignore lets it go on.
TEST(UnzipOverwritePrompt, ParallelExtractionAsksInArchiveOrder) {
  constexpr int kAround = 40;
  struct Case {
    int answer;
    bool result;
  } const cases[] = {{IDABORT, false}, {IDIGNORE, true}};
  for (const Case& c : cases) {
    LockedPackage pkg("prompt-parallel");
    ASSERT_NE(pkg.lock, INVALID_HANDLE_VALUE);
    WriteFileBytes(pkg.zip, fx::Build(AroundTheLockedFile(kAround)));
    Extraction run(pkg.zip, pkg.dest, 4);
    ASSERT_TRUE(PromptShows(20000));
    for (int i = 0; i < 2 * kAround + 1; ++i) {
      if (i == kAround) continue;
      const bool mayExist = i <= kAround + 3;  // 4 threads: 3 others
      if (i < kAround || !mayExist) {
        EXPECT_EQ(PathExists(pkg.dest + fx::Numbered("\\n", i, ".txt")), i < kAround) << i;
      }
    }
    DialogAnswerer answer(c.answer);
    ASSERT_TRUE(answer.Join());
    EXPECT_EQ(answer.text(), Wide(u8"无法覆盖文件\"sub\\locked.txt\",该文件可能正被使用!\n是否终止升级?"));
    EXPECT_EQ(run.Result(), c.result);
    EXPECT_FALSE(PromptShows(300)) << "one prompt only";
    for (int i = kAround + 1; i < 2 * kAround + 1; ++i) {
      EXPECT_EQ(PathExists(pkg.dest + fx::Numbered("\\n", i, ".txt")), c.result) << i;
    }
    pkg.Release();
    EXPECT_EQ(ReadFileBytes(pkg.dest + "\\sub\\locked.txt"), "old content");
  }
}

// Two locked files: two prompts, one after the other, in archive order.
TEST(UnzipOverwritePrompt, ParallelExtractionAsksOneAtATime) {
  LockedPackage pkg("prompt-two");
  ASSERT_NE(pkg.lock, INVALID_HANDLE_VALUE);
  WriteFileBytes(pkg.dest + "\\second.txt", "old second");
  HANDLE second = CreateFileA((pkg.dest + "\\second.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                              nullptr);
  ASSERT_NE(second, INVALID_HANDLE_VALUE);
  std::vector<fx::Entry> entries = AroundTheLockedFile(10);
  entries.push_back(fx::File("second.txt", "new second"));
  entries.push_back(fx::File("end.txt", "end"));
  WriteFileBytes(pkg.zip, fx::Build(entries));
  Extraction run(pkg.zip, pkg.dest, 4);
  for (const std::string name : {"sub\\locked.txt", "second.txt"}) {
    ASSERT_TRUE(PromptShows(20000)) << name;
    Sleep(300);
    EXPECT_EQ(VisibleDialogs(), 1) << name;
    DialogAnswerer answer(IDIGNORE);
    ASSERT_TRUE(answer.Join()) << name;
    EXPECT_NE(answer.text().find(std::wstring(name.begin(), name.end())), std::wstring::npos) << name;
  }
  EXPECT_TRUE(run.Result());
  CloseHandle(second);
  EXPECT_EQ(ReadFileBytes(pkg.dest + "\\second.txt"), "old second");
  EXPECT_EQ(ReadFileBytes(pkg.dest + "\\end.txt"), "end");
}

// A name that is not text in code page 936 (a lone lead byte before the
// separator, a byte GBK does not use) cannot be created; it fails the
// extraction at once instead of asking about a file "in use".
TEST(UnzipNames, NamesOutsideTheCodePageFailWithoutAPrompt) {
  ScratchDir scratch("not-gbk");
  const std::string names[] = {std::string("\x81/x.txt"), std::string("dir/\x81"), std::string("\xff.txt"),
                               std::string("ok/\x81\x2f\x81\x2f.txt")};
  int n = 0;
  for (const std::string& name : names) {
    EXPECT_FALSE(IsSafeEntryName(name.c_str(), false)) << n;
    const std::string zip = scratch / fx::Numbered("n", n, ".zip");
    const std::string dest = scratch / fx::Numbered("dest", n++);
    WriteFileBytes(zip, fx::Build({fx::File("before.txt", "b"), fx::File(name, "x")}));
    Extraction run(zip, dest);
    const bool prompted = PromptShows(1500);
    if (prompted) DialogAnswerer(IDIGNORE).Join();
    EXPECT_FALSE(prompted) << n;
    EXPECT_FALSE(run.Result()) << n;
    EXPECT_EQ(ReadFileBytes(dest + "\\before.txt"), "b") << n;
  }
}
