// The desktop shortcut loaded back through the shell's link object, with the
// log lines of its making.
#include <gtest/gtest.h>

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <optional>
#include <thread>

#include "platform/handles.h"
#include "platform/shortcut.h"
#include "platform/text.h"
#include "platform/unattended.h"
#include "registration_helpers.h"

namespace {

using namespace registration_test;
using testing_support::ScratchDir;

struct LoadedLink {
  bool loaded = false;
  std::wstring target;
  std::wstring workingDir;
  std::wstring icon;
  int iconIndex = -1;
};

LoadedLink LoadLink(const std::string& path) {
  LoadedLink link;
  win::ComApartment apartment;
  win::ComPtr<IShellLinkW> shell;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              shell.put_void())))
    return link;
  win::ComPtr<IPersistFile> file;
  if (FAILED(shell->QueryInterface(IID_IPersistFile, file.put_void()))) return link;
  const std::wstring wide = WideFromCodePage(path, CP_ACP, 4096);
  if (FAILED(file->Load(wide.c_str(), STGM_READ))) return link;
  link.loaded = true;
  wchar_t buffer[2048] = {};
  if (SUCCEEDED(shell->GetPath(buffer, 2048, nullptr, SLGP_RAWPATH))) link.target = buffer;
  buffer[0] = 0;
  if (SUCCEEDED(shell->GetWorkingDirectory(buffer, 2048))) link.workingDir = buffer;
  buffer[0] = 0;
  if (SUCCEEDED(shell->GetIconLocation(buffer, 2048, &link.iconIndex))) link.icon = buffer;
  return link;
}

class ShortcutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AppContext& ctx = GetAppContext();
    ctx.packageId = UniqueId("S");
    ctx.displayName = Gbk(u8"卡维测试") + UniqueId("_");
    ctx.installDir = scratch_.path() + Gbk(u8"\\卡维 Kavimor");
    CreateDirectoryA(ctx.installDir.c_str(), nullptr);
    testing_support::InstallStandInClient(ctx.installDir);
    linkPath_ = ShortcutPathOf(GetAppContext().displayName);
    DeleteFileA(linkPath_.c_str());
  }
  void TearDown() override { DeleteFileA(linkPath_.c_str()); }

  std::string IconPath() const {
    const AppContext& ctx = GetAppContext();
    return ctx.installDir + "\\Server\\config\\shortcut\\shortcut" + ctx.packageId + ".ico";
  }
  void PutIcon() {
    const std::string folder = GetAppContext().installDir + "\\Server\\config\\shortcut";
    CreateDirectoryA((GetAppContext().installDir + "\\Server").c_str(), nullptr);
    CreateDirectoryA((GetAppContext().installDir + "\\Server\\config").c_str(), nullptr);
    CreateDirectoryA(folder.c_str(), nullptr);
    testing_support::WriteFileBytes(IconPath(), std::string("\0\0\1\0", 4));
  }
  std::vector<std::string> ExpectedLog(int coInitialize) const {
    const AppContext& ctx = GetAppContext();
    std::vector<std::string> lines = {linkPath_, ctx.installDir + "\\kavimor v9.5.exe",
                                      ctx.installDir};
    lines.push_back("CoInitialize : " + std::to_string(coInitialize));
    for (const char* call : {"CoCreateInstance", "IShellLink::SetPath",
                             "IShellLink::SetWorkingDirectory", "IShellLink::QueryInterface",
                             "IPersistFile::Save"})
      lines.push_back(std::string(call) + " : 0");
    return lines;
  }

  ScratchDir scratch_{"shortcut"};
  std::string linkPath_;
};

TEST_F(ShortcutTest, LinkOnAllUsersDesktopLoadsBackWithTargetFolderAndIcon) {
  PutIcon();
  LogCapture log(scratch_ / "log");
  EXPECT_TRUE(CreateDesktopShortcutOfContext());
  EXPECT_EQ(log.Finish(), ExpectedLog(0));

  // It lies in the all-users desktop folder, named without a space before
  // the version.
  char desktop[MAX_PATH] = {};
  ASSERT_TRUE(SUCCEEDED(SHGetFolderPathA(nullptr, CSIDL_COMMON_DESKTOPDIRECTORY, nullptr, 0, desktop)));
  EXPECT_EQ(linkPath_, std::string(desktop) + "\\" + GetAppContext().displayName + "v9.5.lnk");

  const AppContext& ctx = GetAppContext();
  const LoadedLink link = LoadLink(linkPath_);
  ASSERT_TRUE(link.loaded);
  EXPECT_EQ(link.target, WideFromCodePage(ctx.installDir + "\\kavimor v9.5.exe", kGbkCodePage, 4096));
  EXPECT_EQ(link.workingDir, WideFromCodePage(ctx.installDir, kGbkCodePage, 4096));
  EXPECT_EQ(link.icon, WideFromCodePage(IconPath(), kGbkCodePage, 4096));
  EXPECT_EQ(link.iconIndex, 0);
}

TEST_F(ShortcutTest, WithoutIconFileTheLinkKeepsNoIconOfItsOwn) {
  EXPECT_TRUE(CreateDesktopShortcutOfContext());
  const LoadedLink link = LoadLink(linkPath_);
  ASSERT_TRUE(link.loaded);
  EXPECT_EQ(link.target,
            WideFromCodePage(GetAppContext().installDir + "\\kavimor v9.5.exe", kGbkCodePage, 4096));
  EXPECT_TRUE(link.icon.empty()) << std::string(link.icon.begin(), link.icon.end());
}

TEST_F(ShortcutTest, ExistingShortcutIsReplacedAndApartmentOfCallerIsKept) {
  testing_support::WriteFileBytes(linkPath_, "not a shortcut");
  // The caller's thread already has an apartment: CoInitialize reports
  // S_FALSE and the shortcut is made all the same.
  win::ComApartment callers;
  ASSERT_EQ(callers.result(), S_OK);
  LogCapture log(scratch_ / "log");
  EXPECT_TRUE(CreateDesktopShortcutOfContext());
  EXPECT_EQ(log.Finish(), ExpectedLog(1));
  EXPECT_TRUE(LoadLink(linkPath_).loaded);
  // The caller's apartment survived: COM still works on this thread.
  win::ComPtr<IShellLinkW> probe;
  EXPECT_EQ(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                             probe.put_void()),
            S_OK);
}

// Unattended the link is made in the multithreaded apartment: on a thread
// of its own, on the unattended worker (in that apartment already) and on
// a thread with a single-threaded apartment, the same link and the same log
// lines (CoInitialize reports S_FALSE where the thread has an apartment).
TEST_F(ShortcutTest, UnattendedTheLinkIsMadeAsAttended) {
  struct Unattended {
    Unattended() { SetUnattendedRun("/S"); }
    ~Unattended() { EndUnattendedRun(); }
  } unattended;
  using Model = win::ComApartment::Model;
  const std::optional<Model> callersApartments[] = {std::nullopt, Model::Multithreaded, Model::Apartment};
  int round = 0;
  for (const std::optional<Model>& callers : callersApartments) {
    SCOPED_TRACE(testing::Message() << "caller's apartment " << (callers ? static_cast<int>(*callers) : -1));
    DeleteFileA(linkPath_.c_str());
    LogCapture log(scratch_ / ("log" + std::to_string(++round)));
    bool made = false;
    std::thread([&] {
      std::optional<win::ComApartment> apartment;
      if (callers) apartment.emplace(*callers);
      made = CreateDesktopShortcutOfContext();
    }).join();
    EXPECT_TRUE(made);
    EXPECT_EQ(log.Finish(), ExpectedLog(callers ? 1 : 0));
    const LoadedLink link = LoadLink(linkPath_);
    ASSERT_TRUE(link.loaded);
    EXPECT_EQ(link.target,
              WideFromCodePage(GetAppContext().installDir + "\\kavimor v9.5.exe", kGbkCodePage, 4096));
  }
}

// Paths the link object cannot take whole: nothing is made, and the log
// shows how far it got.
TEST_F(ShortcutTest, PathsTooLongForTheLinkObjectMakeNothing) {
  struct Case {
    size_t displayNameLength;
    size_t installDirLength;
    size_t logLines;  // 0: not even the link path; 1: link path only; 2: and the reason
  };
  const Case cases[] = {
      {1100, 20, 0},
      {10, 1030, 1},  // working folder too long
      {10, 1010, 2},  // folder fits, folder + "\kavimor v9.5.exe" does not
      {10, 1006, 9},  // target of exactly 1023 units: made
  };
  AppContext& ctx = GetAppContext();
  for (const auto& c : cases) {
    ctx.displayName = std::string(c.displayNameLength, 'n') + UniqueId("_");
    ctx.installDir = "C:\\" + std::string(c.installDirLength - 3, 'i');
    linkPath_ = ShortcutPathOf(GetAppContext().displayName);
    ScratchDir logDir("shortcut_log");
    LogCapture log(logDir.path());
    const bool made = CreateDesktopShortcutOfContext();
    const auto lines = log.Finish();
    EXPECT_EQ(made, c.logLines == 9) << c.installDirLength;
    ASSERT_EQ(lines.size(), c.logLines) << c.installDirLength;
    if (c.logLines == 2) {
      EXPECT_EQ(lines[1], "Shortcut: target path longer than 1023 UTF-16 units, no shortcut made");
    }
    if (c.logLines != 9) {
      EXPECT_FALSE(testing_support::PathExists(linkPath_));
    }
    DeleteFileA(linkPath_.c_str());
  }
}

}  // namespace
