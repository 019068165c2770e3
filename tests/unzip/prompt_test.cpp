// The overwrite prompt for real: a file held open without sharing, the
// extraction on a worker thread (as in the installer), and a test thread
// that finds the message box and answers it.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "platform/text.h"
#include "support/test_support.h"
#include "transfer/tunzip.h"
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

// An extraction running on its own thread, like the installer's worker.
class Extraction {
 public:
  Extraction(std::string zip, std::string dest)
      : thread_([this, zip, dest] { result_ = TUnzip::UnzipTo(zip.c_str(), dest.c_str()); }) {}
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
