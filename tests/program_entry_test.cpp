// The program entry's environment fix and message filter, and the window's
// geometry rules, with chosen inputs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/app_context.h"
#include "engine/messages.h"
#include "platform/text.h"
#include "ui/kavimor_layout.h"
#include "ui/program_entry.h"

namespace {

// --- PATH ---------------------------------------------------------------

std::wstring EnvW(const wchar_t* name) {
  const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0) return {};
  std::wstring value(size, L'\0');
  value.resize(GetEnvironmentVariableW(name, value.data(), size));
  return value;
}

// Keeps the process's PATH and SystemRoot as they were around each case.
class PathFix : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = EnvW(L"PATH");
    root_ = EnvW(L"SystemRoot");
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"PATH", path_.c_str());
    SetEnvironmentVariableW(L"SystemRoot", root_.c_str());
  }
  std::wstring path_;
  std::wstring root_;
};

struct PathCase {
  const char* name;
  const wchar_t* path;  // nullptr: not set at all
  const wchar_t* root;  // nullptr: not set at all
  const wchar_t* expected;
};

TEST_F(PathFix, AppendsSystemFolderOnce) {
  const PathCase cases[] = {
      {"plain", L"C:\\a;C:\\b", L"C:\\windows", L"C:\\a;C:\\b;C:\\windows\\system32;"},
      {"trailing separator kept single", L"C:\\a;", L"C:\\windows", L"C:\\a;C:\\windows\\system32;"},
      {"empty", L"", L"C:\\windows", L"C:\\windows\\system32;"},
      {"unset", nullptr, L"C:\\windows", L"C:\\windows\\system32;"},
      {"already there, appended again", L"C:\\windows\\system32", L"C:\\windows",
       L"C:\\windows\\system32;C:\\windows\\system32;"},
      {"no SystemRoot: unchanged, no separator added", L"C:\\a", nullptr, L"C:\\a"},
      {"no SystemRoot and a trailing separator", L"C:\\a;", nullptr, L"C:\\a;"},
      // The system folder is read as 8-bit text and converted from 936.
      {"Chinese system folder", L"C:\\a", L"D:\\\u89C6\u7A97", L"C:\\a;D:\\\u89C6\u7A97\\system32;"},
  };
  for (const PathCase& c : cases) {
    SCOPED_TRACE(c.name);
    SetEnvironmentVariableW(L"PATH", c.path);
    SetEnvironmentVariableW(L"SystemRoot", c.root);
    FixPathVariable();
    EXPECT_EQ(EnvW(L"path"), c.expected);
  }
}

TEST_F(PathFix, SystemFolderTooLongForItsBufferChangesNothing) {
  // 1024 units with the terminator is the limit of the converted text.
  const std::wstring fits = L"C:\\" + std::wstring(1024 - 1 - 3 - 10, L'r');  // + "\system32;"
  const std::wstring tooLong = fits + L"r";
  SetEnvironmentVariableW(L"PATH", L"C:\\a");
  SetEnvironmentVariableW(L"SystemRoot", tooLong.c_str());
  FixPathVariable();
  EXPECT_EQ(EnvW(L"PATH"), L"C:\\a");

  SetEnvironmentVariableW(L"SystemRoot", fits.c_str());
  FixPathVariable();
  EXPECT_EQ(EnvW(L"PATH"), L"C:\\a;" + fits + L"\\system32;");
}

// --- message filter -----------------------------------------------------

LRESULT CALLBACK PlainProc(HWND h, UINT m, WPARAM w, LPARAM l) { return DefWindowProcW(h, m, w, l); }

HWND MakeWindow(HWND parent, DWORD style) {
  static const ATOM atom = [] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = PlainProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"FilterTestWindow";
    return RegisterClassExW(&wc);
  }();
  (void)atom;
  return CreateWindowExW(0, L"FilterTestWindow", nullptr, style, 0, 0, 10, 10, parent, nullptr,
                         GetModuleHandleW(nullptr), nullptr);
}

class MessageFilter : public ::testing::Test {
 protected:
  void SetUp() override {
    main_ = MakeWindow(nullptr, WS_POPUP);
    child1_ = MakeWindow(main_, WS_CHILD);
    child2_ = MakeWindow(child1_, WS_CHILD);
    child3_ = MakeWindow(child2_, WS_CHILD);
    child4_ = MakeWindow(child3_, WS_CHILD);
    foreign_ = MakeWindow(nullptr, WS_POPUP);
    foreignChild_ = MakeWindow(foreign_, WS_CHILD);
    ASSERT_TRUE(main_ && child1_ && child2_ && child3_ && child4_ && foreign_ && foreignChild_);
  }
  void TearDown() override {
    DestroyWindow(main_);
    DestroyWindow(foreign_);
  }
  HWND main_{}, child1_{}, child2_{}, child3_{}, child4_{}, foreign_{}, foreignChild_{};
};

TEST_F(MessageFilter, DispatchesOnlyWhatTheMainWindowFamilyOrTheEngineNeeds) {
  struct Case {
    const char* name;
    HWND target;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    LoopAction expected;
  };
  const Case cases[] = {
      {"close command to main", main_, WM_SYSCOMMAND, SC_CLOSE, 0, LoopAction::CloseMainWindow},
      {"close command to a foreign window", foreign_, WM_SYSCOMMAND, SC_CLOSE, 0,
       LoopAction::CloseMainWindow},
      {"close command with lParam to main", main_, WM_SYSCOMMAND, SC_CLOSE, 1, LoopAction::Dispatch},
      {"close command with lParam to foreign", foreign_, WM_SYSCOMMAND, SC_CLOSE, 0x00100010,
       LoopAction::Drop},
      {"close command with low bits set", main_, WM_SYSCOMMAND, SC_CLOSE | 2, 0,
       LoopAction::Dispatch},
      {"other system command to main", main_, WM_SYSCOMMAND, SC_MINIMIZE, 0, LoopAction::Dispatch},
      {"other system command to foreign", foreign_, WM_SYSCOMMAND, SC_MINIMIZE, 0, LoopAction::Drop},
      {"install progress to the thread", nullptr, WM_INSTALL_PROGRESS, 0, 40, LoopAction::Dispatch},
      {"WM_USER to foreign", foreign_, WM_USER, 0, 0, LoopAction::Dispatch},
      {"paint of a foreign window", foreign_, WM_PAINT, 0, 0, LoopAction::Dispatch},
      {"below WM_USER to foreign", foreign_, WM_USER - 1, 0, 0, LoopAction::Drop},
      {"below WM_USER to the thread", nullptr, WM_TIMER, 0, 0, LoopAction::Drop},
      {"mouse to main", main_, WM_LBUTTONDOWN, MK_LBUTTON, 0, LoopAction::Dispatch},
      {"mouse to child", child1_, WM_MOUSEMOVE, 0, 0, LoopAction::Dispatch},
      {"key to grandchild", child2_, WM_KEYDOWN, VK_RETURN, 0, LoopAction::Dispatch},
      {"key to great-grandchild", child3_, WM_KEYDOWN, VK_RETURN, 0, LoopAction::Dispatch},
      {"four levels down", child4_, WM_KEYDOWN, VK_RETURN, 0, LoopAction::Drop},
      {"child of a foreign window", foreignChild_, WM_MOUSEMOVE, 0, 0, LoopAction::Drop},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MSG msg{};
    msg.hwnd = c.target;
    msg.message = c.message;
    msg.wParam = c.wParam;
    msg.lParam = c.lParam;
    EXPECT_EQ(FilterMessage(msg, main_), c.expected);
  }
}

// --- geometry -----------------------------------------------------------

void ExpectRect(const RECT& r, LONG l, LONG t, LONG rt, LONG b) {
  EXPECT_EQ(r.left, l);
  EXPECT_EQ(r.top, t);
  EXPECT_EQ(r.right, rt);
  EXPECT_EQ(r.bottom, b);
}

TEST(WindowGeometry, RectanglesFollowTheClientSize) {
  const DlgLayout l = ComputeLayout(RECT{0, 0, 500, 310});
  ExpectRect(l.captionRect, 0, 0, 500, 30);
  ExpectRect(l.installRect, 200, 202, 300, 238);
  ExpectRect(l.tagRect, 200, 142, 300, 178);
  ExpectRect(l.customRect, 400, 290, 495, 310);
  ExpectRect(l.browseRect, 420, 155, 470, 180);
  ExpectRect(l.statusRect, 32, 234, 466, 254);
  ExpectRect(l.busyRect, 181, 96, 461, 123);

  // Width-bound and height-bound rectangles move; fixed ones stay.
  const DlgLayout big = ComputeLayout(RECT{0, 0, 600, 400});
  ExpectRect(big.captionRect, 0, 0, 600, 30);
  ExpectRect(big.installRect, 200, 292, 300, 328);
  ExpectRect(big.tagRect, 200, 232, 300, 268);
  ExpectRect(big.customRect, 500, 380, 595, 400);
  ExpectRect(big.statusRect, 132, 324, 566, 344);
  ExpectRect(big.browseRect, 420, 155, 470, 180);
  ExpectRect(big.busyRect, 181, 96, 461, 123);
}

TEST(WindowGeometry, OpensCentredOnTheDisplayUnderTheCursor) {
  const DisplayMode primary{0, 0, 1280, 1024, 96};
  const DisplayMode right{1280, 0, 1920, 1080, 96};
  const DisplayMode left{-1920, -200, 1920, 1080, 96};
  // 3840 x 2160 at 200 %: 1920 x 1080 in 96-DPI units, from x 1280.
  const DisplayMode scaledRight{2560, 0, 3840, 2160, 192};
  struct Case {
    const char* name;
    POINT cursor;
    std::vector<DisplayMode> displays;
    LONG x;
  };
  const Case cases[] = {
      {"primary only", {100, 100}, {primary}, 390},
      {"cursor on the right display", {1500, 500}, {primary, right}, 1280 + 710},
      {"cursor on a display left of the primary", {-100, 10}, {primary, left}, -1920 + 710},
      {"cursor on no display: the primary", {5000, 5000}, {primary, right}, 390},
      {"first containing display wins", {1500, 500}, {right, primary}, 1280 + 710},
      {"scaled display in 96-DPI units", {1500, 100}, {primary, scaledRight}, 1280 + 710},
      {"no display at all: on the cursor", {700, 10}, {}, 700 - 250},
      {"display narrower than the window", {10, 10}, {DisplayMode{0, 0, 301, 200, 96}}, -99},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const POINT origin = CentredWindowOrigin(c.cursor, c.displays, 1024);
    EXPECT_EQ(origin.x, c.x);
    // Always the vertical centre of the primary screen's height.
    EXPECT_EQ(origin.y, (1024 - 310) / 2);
  }
  EXPECT_EQ(CentredWindowOrigin({0, 0}, {primary}, 768).y, 229);
}

TEST(WindowGeometry, PickedFolderMovesInstallAndLogFoldersOnly) {
  AppContext& ctx = GetAppContext();
  const AppContext saved = ctx;
  ctx.productFolderName = "Kavimor201805v9.5";
  ctx.installDir = "C:\\users\\u\\AppData\\Local\\Kavimor201805v9.5";
  ctx.logDir = ctx.installDir + "\\kavimorlog";
  ctx.stagingDir = ctx.installDir + "temp";
  ctx.dependBaseDir = "C:\\users\\u\\AppData\\Local\\KavimorDependBaseV9.5";
  const std::string staging = ctx.stagingDir;
  const std::string depend = ctx.dependBaseDir;

  struct Case {
    const char* name;
    std::wstring picked;
    unsigned codePage;
    bool accepted;
    std::string installDir;
  };
  const std::string unchanged = ctx.installDir;
  const Case cases[] = {
      {"cancelled", L"", 936, true, unchanged},
      {"folder", L"D:\\Apps", 936, true, "D:\\Apps\\Kavimor201805v9.5"},
      // One separator after the drive, in the log, the registry and the
      // client's command line alike.
      {"drive root", L"D:\\", 936, true, "D:\\Kavimor201805v9.5"},
      {"Chinese folder", Wide(u8"D:\\软件"), 936, true, Gbk(u8"D:\\软件\\Kavimor201805v9.5")},
      // Kept in the system's code page, trail byte 0x5C and all.
      {"Big5 folder", Wide(u8"D:\\許"), 950, true, "D:\\\xB3\x5C\\Kavimor201805v9.5"},
      {"Shift-JIS folder", Wide(u8"D:\\ソ"), 932, true, "D:\\\x83\x5C\\Kavimor201805v9.5"},
      // A folder the code page cannot name is refused, not renamed.
      {"simplified name on a Big5 system", Wide(u8"D:\\陈"), 950, false, "D:\\\x83\x5C\\Kavimor201805v9.5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ApplyPickedFolder(c.picked, c.codePage), c.accepted);
    EXPECT_EQ(ctx.installDir, c.installDir);
    EXPECT_EQ(ctx.logDir, c.installDir + "\\kavimorlog");
    EXPECT_EQ(ctx.stagingDir, staging);
    EXPECT_EQ(ctx.dependBaseDir, depend);
  }
  ctx = saved;
}

}  // namespace
