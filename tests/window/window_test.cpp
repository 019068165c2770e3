// The installer window as a user meets it: real clicks through the cursor,
// the message loop of the program entry, and the pixels each state shows.
// The engine's start sequence is a stand-in with a chosen outcome; the
// window, its paint, the framework, texts and platform calls are real.
#include <gtest/gtest.h>
#include <oleacc.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/app_context.h"
#include "engine/messages.h"
#include "platform/handles.h"
#include "platform/text.h"
#include "platform/install_log.h"
#include "platform/run_failure.h"
#include "support/test_support.h"
#include "ui/kavimor_dlg.h"
#include "ui/program_entry.h"
#include "ui/texts.h"
#include "window/screen_image.h"
#include "window/window_double.h"

namespace {

using testing_support::DialogAnswerer;
using testing_support::Image;
using testing_support::PathExists;
using testing_support::ScratchDir;

constexpr COLORREF kButtonFill = RGB(165, 21, 16);
constexpr COLORREF kButtonHover = RGB(125, 13, 7);
constexpr COLORREF kOutline = RGB(217, 64, 65);
constexpr COLORREF kCloseNormal = RGB(231, 231, 231);
constexpr COLORREF kCloseHover = RGB(150, 150, 150);
constexpr COLORREF kBarFill = RGB(252, 115, 115);
constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr COLORREF kBlack = RGB(0, 0, 0);

// Client points: inside the main button away from its caption, the crossing
// of the close box's diagonals, the custom toggle, the browse button, a spot
// of the folder box and of the browse button above their texts, and a spot
// in no active area.
constexpr POINT kInstallSpot{205, 222};
constexpr POINT kCloseCentre{488, 12};
constexpr POINT kToggle{447, 300};
constexpr POINT kBrowse{445, 167};
constexpr POINT kFolderBoxSpot{300, 156};
constexpr POINT kBrowseFillSpot{423, 157};
constexpr POINT kNowhere{100, 70};

constexpr RECT kStepLineLeft{32, 234, 200, 254};
constexpr RECT kStepLineRight{400, 234, 466, 254};
constexpr RECT kBusyLine{181, 96, 461, 123};
constexpr RECT kTag{200, 142, 300, 178};
constexpr RECT kCaption{201, 203, 299, 237};
constexpr POINT kBarHalfway{34 + 100, 267};
constexpr POINT kBarEnd{34 + 300, 267};

std::string ScreenshotPath(const char* name) {
  const std::string folder = testing_support::ProgramFolder() + "\\screenshots";
  CreateDirectoryA(folder.c_str(), nullptr);
  return folder + "\\" + name + ".png";
}

void SendMouse(DWORD flags, LONG x = 0, LONG y = 0) {
  INPUT input{};
  input.type = INPUT_MOUSE;
  input.mi.dwFlags = flags;
  input.mi.dx = x;
  input.mi.dy = y;
  SendInput(1, &input, sizeof input);
}

void SendKey(WORD key, bool down) {
  if (key == 0) return;
  INPUT input{};
  input.type = INPUT_KEYBOARD;
  input.ki.wVk = key;
  input.ki.dwFlags = down ? 0 : KEYEVENTF_KEYUP;
  SendInput(1, &input, sizeof input);
}

// Absolute move through the input stream, as a real mouse moves.
void SendMoveTo(POINT screen) {
  const int w = GetSystemMetrics(SM_CXSCREEN);
  const int h = GetSystemMetrics(SM_CYSCREEN);
  SendMouse(MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE, static_cast<LONG>((screen.x * 65535LL + w / 2) / (w - 1)),
            static_cast<LONG>((screen.y * 65535LL + h / 2) / (h - 1)));
}

class InstallerWindow : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { InitLanguageAndResources(); }

  void SetUp() override { Open(); }
  void TearDown() override {
    dlg_.reset();
    MainWindowHandle = nullptr;
    CloseInstallLog();
  }

  // A window as the program entry makes it, on the primary screen.
  void Open() {
    dlg_.reset();
    WindowDouble::Get().Reset();
    SetCursorPos(20, 20);
    dlg_ = std::make_unique<TKavimorDlg>();
    dlg_->Create(L"TModalWnd", nullptr, WS_POPUP | WS_CLIPCHILDREN, WS_EX_TOPMOST);
    dlg_->Initialise();
    AppContext& ctx = GetAppContext();
    ctx.packageId = "201805";
    ctx.installDir = dir_ / "Kavimor201805v9.5";
    ctx.logDir = ctx.installDir + "\\kavimorlog";
    ctx.stagingDir = ctx.installDir + "temp";
    dlg_->running = true;
    ShowMainWindow(*dlg_);
    Settle();
  }

  HWND hwnd() const { return dlg_->hwnd; }
  bool Alive() const { return IsWindow(dlg_->hwnd) != FALSE; }

  // Runs the program's own loop step for every message, for `ms`.
  void Pump(DWORD ms) {
    const ULONGLONG end = GetTickCount64() + ms;
    MSG msg;
    while (GetTickCount64() < end) {
      bool any = false;
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        any = true;
        if (msg.message != WM_QUIT) HandleLoopMessage(*dlg_, msg);
      }
      if (!any) Sleep(5);
    }
  }
  void Settle() {
    Pump(80);
    if (Alive()) UpdateWindow(hwnd());
    Pump(40);
  }

  POINT Screen(POINT client) const {
    ClientToScreen(hwnd(), &client);
    return client;
  }
  POINT Origin() const {
    RECT r{};
    GetWindowRect(hwnd(), &r);
    return POINT{r.left, r.top};
  }

  // Input comes from another thread while this one runs the loop, since a
  // press can enter a modal loop (window move, folder picker).
  void RunInput(const std::function<void()>& script) {
    std::atomic<bool> done{false};
    std::thread input([&] {
      script();
      done = true;
    });
    while (!done) Pump(10);
    input.join();
    Settle();
  }
  void MoveTo(POINT client) {
    const POINT s = Screen(client);
    SetCursorPos(s.x, s.y);
    Settle();
  }
  // Separate clicks: a second press near the last one within the
  // double-click time would arrive as WM_LBUTTONDBLCLK.
  void KeepApartFromLastClick(POINT client) {
    if (std::abs(client.x - lastClickAt_.x) <= 8 && std::abs(client.y - lastClickAt_.y) <= 8) {
      const ULONGLONG apart = lastClick_ + GetDoubleClickTime() * 2;
      if (GetTickCount64() < apart) Pump(static_cast<DWORD>(apart - GetTickCount64()));
    }
    lastClick_ = GetTickCount64();
    lastClickAt_ = client;
  }
  void Click(POINT client, WORD modifier = 0) {
    KeepApartFromLastClick(client);
    const POINT s = Screen(client);
    RunInput([&] {
      SetCursorPos(s.x, s.y);
      Sleep(40);
      SendKey(modifier, true);
      SendMouse(MOUSEEVENTF_LEFTDOWN);
      Sleep(40);
      SendMouse(MOUSEEVENTF_LEFTUP);
      SendKey(modifier, false);
      Sleep(60);
    });
  }
  void DoubleClick(POINT client) {
    KeepApartFromLastClick(client);
    const POINT s = Screen(client);
    RunInput([&] {
      SetCursorPos(s.x, s.y);
      Sleep(40);
      for (int i = 0; i < 2; ++i) {
        SendMouse(MOUSEEVENTF_LEFTDOWN);
        SendMouse(MOUSEEVENTF_LEFTUP);
        Sleep(30);
      }
      Sleep(60);
    });
  }
  // Press at `from`, move by (dx, dy) with the button held, release.
  void Drag(POINT from, int dx, int dy, WORD modifier = 0) {
    KeepApartFromLastClick(from);
    const POINT s = Screen(from);
    RunInput([&] {
      SetCursorPos(s.x, s.y);
      Sleep(40);
      SendKey(modifier, true);
      SendMouse(MOUSEEVENTF_LEFTDOWN);
      Sleep(80);
      for (int step = 1; step <= 5; ++step) {
        SendMoveTo(POINT{s.x + dx * step / 5, s.y + dy * step / 5});
        Sleep(40);
      }
      SendMouse(MOUSEEVENTF_LEFTUP);
      SendKey(modifier, false);
      Sleep(80);
    });
  }
  // True when a drag of 60, 40 from `from` moved the window.
  bool DragMoves(POINT from, WORD modifier = 0) {
    const POINT before = Origin();
    Drag(from, 60, 40, modifier);
    const POINT after = Origin();
    const bool moved = after.x != before.x || after.y != before.y;
    if (moved) {
      EXPECT_NEAR(after.x - before.x, 60, 3);
      EXPECT_NEAR(after.y - before.y, 40, 3);
    }
    return moved;
  }


 public:
  // Keys through the input stream, to whichever window has the focus.
  void Keys(std::initializer_list<WORD> keys, WORD modifier = 0) {
    const std::vector<WORD> list(keys);
    RunInput([&] {
      SendKey(modifier, true);
      for (WORD key : list) {
        SendKey(key, true);
        Sleep(20);
        SendKey(key, false);
        Sleep(40);
      }
      SendKey(modifier, false);
      Sleep(60);
    });
  }
  void SystemClose() {
    PostMessageW(hwnd(), WM_SYSCOMMAND, SC_CLOSE, 0);
    Settle();
  }
  void Post(UINT message, LPARAM lParam) {
    PostMessageW(hwnd(), message, 0, lParam);
    Settle();
  }
  void BecomeInstalling(int percent = 50) { Post(WM_INSTALL_PROGRESS, percent); }
  void BecomeFailed(int code) {
    BecomeInstalling(30);
    Post(WM_INSTALL_FAILED, code);
  }
  void BecomeFinished() {
    BecomeInstalling(79);
    Post(WM_INSTALL_DONE, 0);
  }

 protected:
  Image Look() {
    Settle();
    return testing_support::CaptureClient(hwnd());
  }
  // What the installed client's private settings file holds for awaredpi.
  std::string AwareDpiSetting() const {
    char value[32] = {};
    GetPrivateProfileStringA("kavimor", "awaredpi", "", value, sizeof value,
                             (GetAppContext().installDir + "/config/kavimor.Default.pri").c_str());
    return value;
  }

  ScratchDir dir_{"window"};
  std::unique_ptr<TKavimorDlg> dlg_;
  ULONGLONG lastClick_ = 0;
  POINT lastClickAt_{-100, -100};
};

// --- start-up and placement -------------------------------------------

TEST_F(InstallerWindow, InitialiseWiresTheEngineAndPlaceWindowCentresOnThePrimaryScreen) {
  EXPECT_EQ(MainWindowHandle, hwnd());
  EXPECT_EQ(WindowDouble::Get().prepareCalls, 1);
  EXPECT_EQ(WindowDouble::Get().createClientCalls, 1);
  wchar_t title[16] = {};
  GetWindowTextW(hwnd(), title, 16);
  EXPECT_STREQ(title, L"\u5361\u7EF4");

  // The bar exists from the start, invisible at zero size.
  ASSERT_NE(dlg_->progressBar, nullptr);
  RECT bar{};
  GetClientRect(dlg_->progressBar->hwnd, &bar);
  EXPECT_EQ(bar.right, 0);
  EXPECT_EQ(bar.bottom, 0);

  RECT r{};
  GetWindowRect(hwnd(), &r);
  EXPECT_EQ(r.left, (GetSystemMetrics(SM_CXSCREEN) - 500) / 2);
  EXPECT_EQ(r.top, (GetSystemMetrics(SM_CYSCREEN) - 310) / 2);
  EXPECT_EQ(r.right - r.left, 500);
  EXPECT_EQ(r.bottom - r.top, 310);
  EXPECT_EQ(dlg_->installRect.top, 202);  // laid out on WM_SIZE
}

// --- clicks -----------------------------------------------------------

TEST_F(InstallerWindow, ReadyClicksToggleThePanelAndBrowseOnlyWithItOpen) {
  Click(kToggle);
  EXPECT_FALSE(dlg_->panelCollapsed);
  Click(kToggle);
  EXPECT_TRUE(dlg_->panelCollapsed);

  // The second press of a double click arrives as WM_LBUTTONDBLCLK and
  // is left alone: the panel opens once.
  DoubleClick(kToggle);
  EXPECT_FALSE(dlg_->panelCollapsed);
  Click(kToggle);
  ASSERT_TRUE(dlg_->panelCollapsed);

  // Where the browse button would be: no picker while the panel is closed.
  const std::string installDir = GetAppContext().installDir;
  {
    DialogAnswerer none(IDCANCEL, 1500);
    Click(kBrowse);
    EXPECT_FALSE(none.Join());
  }
  Click(kToggle);
  {
    DialogAnswerer cancel(IDCANCEL, 10000);
    Click(kBrowse);
    EXPECT_TRUE(cancel.Join());
  }
  EXPECT_EQ(GetAppContext().installDir, installDir);
  EXPECT_EQ(GetAppContext().logDir, installDir + "\\kavimorlog");
  EXPECT_EQ(WindowDouble::Get().startCalls, 0);
}

TEST_F(InstallerWindow, InstallPressAppliesTheStartOutcome) {
  struct Case {
    const char* name;
    StartOutcome outcome;
    DlgState state;
  };
  const Case cases[] = {
      {"declined", StartOutcome::Declined, Ready},
      {"manifest failed", StartOutcome::ManifestFailed, Failed},
      {"started", StartOutcome::Started, Installing},
      // The fetching thread reports the manifest failure after its progress.
      {"manifest failed after the start", StartOutcome::Started, Failed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Open();
    WindowDouble::Get().outcome = c.outcome;
    const bool manifestFails = c.state == Failed;
    // A manifest transfer posts progress before the outcome is known.
    if (manifestFails) WindowDouble::Get().progressBeforeReturn = {16, 32};
    WindowDouble::Get().manifestFailsAfterReturn = manifestFails && c.outcome == StartOutcome::Started;
    Click(kInstallSpot);
    EXPECT_EQ(WindowDouble::Get().startCalls, 1);
    EXPECT_EQ(WindowDouble::Get().startOwner, hwnd());
    EXPECT_EQ(dlg_->state, c.state);

    RECT bar{};
    GetWindowRect(dlg_->progressBar->hwnd, &bar);
    MapWindowPoints(nullptr, hwnd(), reinterpret_cast<POINT*>(&bar), 2);
    if (c.outcome == StartOutcome::Started) {
      EXPECT_EQ(bar.left, 34);
      EXPECT_EQ(bar.top, 260);
      EXPECT_EQ(bar.right - bar.left, 434);
      EXPECT_EQ(bar.bottom - bar.top, 15);
    } else {
      EXPECT_EQ(bar.right - bar.left, 0);
    }
    if (manifestFails) {
      EXPECT_EQ(dlg_->statusText, std::wstring(StepText(0)) + UiText(6));
      // The queued progress did not bring back the installing look: the
      // close box is there and works.
      EXPECT_EQ(Look().At(kCloseCentre.x, kCloseCentre.y), kCloseNormal);
      Click(kCloseCentre);
      EXPECT_FALSE(Alive());
    }
  }
}

TEST_F(InstallerWindow, PressesOutsideReadyStartNothingAndTheButtonDoesNotDrag) {
  for (int failed = 0; failed < 2; ++failed) {
    SCOPED_TRACE(failed ? "failed" : "installing");
    Open();
    if (failed) {
      BecomeFailed(3);
    } else {
      BecomeInstalling();
    }
    Click(kInstallSpot);
    Click(kToggle);
    EXPECT_EQ(WindowDouble::Get().startCalls, 0);
    EXPECT_TRUE(dlg_->panelCollapsed);
    EXPECT_FALSE(DragMoves(kInstallSpot));
    // The toggle is no active area outside Ready: it drags like the rest.
    EXPECT_TRUE(DragMoves(kToggle));
  }
}

TEST_F(InstallerWindow, OnlyThePlainLeftButtonDrags) {
  EXPECT_FALSE(DragMoves(kNowhere, VK_SHIFT));
  EXPECT_FALSE(DragMoves(kNowhere, VK_CONTROL));
  EXPECT_TRUE(DragMoves(kNowhere));
  // Not from the close box either (and the release is no longer over it).
  Look();
  EXPECT_FALSE(DragMoves(kCloseCentre));
  EXPECT_TRUE(Alive());
}

TEST_F(InstallerWindow, CloseBoxActsOnReleaseAndNotWhileInstalling) {
  struct Case {
    const char* name;
    std::function<void(InstallerWindow&)> into;
    bool closes;
    std::string awareDpi;  // written only when closing a finished window
  };
  const Case cases[] = {
      {"ready", [](InstallerWindow&) {}, true, ""},
      {"installing", [](InstallerWindow& t) { t.BecomeInstalling(); }, false, ""},
      {"failed", [](InstallerWindow& t) { t.BecomeFailed(4); }, true, ""},
      {"finished", [](InstallerWindow& t) { t.BecomeFinished(); }, true, "0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Open();
    CreateDirectoryA(GetAppContext().installDir.c_str(), nullptr);
    CreateDirectoryA((GetAppContext().installDir + "\\config").c_str(), nullptr);
    // The hit rectangle exists once the close box has been painted.
    Look();
    c.into(*this);

    // A press alone does nothing; the box acts on the release.
    const POINT s = Screen(kCloseCentre);
    RunInput([&] {
      SetCursorPos(s.x, s.y);
      Sleep(40);
      SendMouse(MOUSEEVENTF_LEFTDOWN);
      Sleep(60);
    });
    EXPECT_TRUE(Alive());
    RunInput([] {
      SendMouse(MOUSEEVENTF_LEFTUP);
      Sleep(60);
    });
    EXPECT_EQ(Alive(), !c.closes);
    EXPECT_EQ(dlg_->running, !c.closes);
    if (!c.closes) {
      EXPECT_TRUE(IsWindowVisible(hwnd()));
    }
    EXPECT_EQ(AwareDpiSetting(), c.awareDpi);
    RemoveDirectoryA((GetAppContext().installDir + "\\config").c_str());
  }
}

TEST_F(InstallerWindow, OpenLaunchesTheInstalledClientWithEndAndCloses) {
  const std::string installDir = GetAppContext().installDir;
  CreateDirectoryA(installDir.c_str(), nullptr);
  CreateDirectoryA((installDir + "\\config").c_str(), nullptr);
  const std::string client = testing_support::InstallStandInClient(installDir);
  BecomeFinished();

  Click(kInstallSpot);
  EXPECT_FALSE(Alive());
  EXPECT_FALSE(dlg_->running);
  EXPECT_EQ(AwareDpiSetting(), "0");

  const std::vector<std::string> record = testing_support::WaitForAnyStartRecord(installDir, 10000);
  testing_support::StopProcessesOf(client);
  ASSERT_GE(record.size(), 2u);
  // Command line, working folder, then the arguments one per line.
  EXPECT_EQ(record[0], "\"" + client + "\" end");
  EXPECT_EQ(record[1], installDir);
  EXPECT_EQ(std::vector<std::string>(record.begin() + 2, record.end()),
            (std::vector<std::string>{client, "end"}));
}

// --- install messages -------------------------------------------------

TEST_F(InstallerWindow, InstallMessagesMoveTheStateAndProgressOnlyWhileWorking) {
  OpenInstallLog(GetAppContext().logDir);
  ASSERT_TRUE(InstallLogIsOpen());
  Post(WM_INSTALL_STEP, 4);
  EXPECT_EQ(dlg_->statusText, StepText(4));
  EXPECT_EQ(dlg_->state, Ready);  // a step alone changes no state
  Post(WM_INSTALL_PROGRESS, 37);
  EXPECT_EQ(dlg_->state, Installing);
  EXPECT_EQ(dlg_->progressBar->value, 37);

  Post(WM_INSTALL_FAILED, 11);
  EXPECT_EQ(dlg_->state, Failed);
  EXPECT_EQ(dlg_->statusText, std::wstring(StepText(11)) + UiText(6));
  EXPECT_FALSE(InstallLogIsOpen());
  // Late progress leaves the failure alone.
  Post(WM_INSTALL_PROGRESS, 60);
  EXPECT_EQ(dlg_->state, Failed);
  EXPECT_EQ(dlg_->progressBar->value, 37);

  // Codes outside the step table (another program posting to us) read no
  // text outside it.
  Post(WM_INSTALL_FAILED, 99);
  EXPECT_EQ(dlg_->statusText, UiText(6));
  Post(WM_INSTALL_STEP, -1);
  EXPECT_EQ(dlg_->statusText, UiText(6));

  Open();
  BecomeFinished();
  EXPECT_EQ(dlg_->state, Finished);
  EXPECT_FALSE(IsWindowVisible(dlg_->progressBar->hwnd));
  Post(WM_INSTALL_PROGRESS, 80);
  EXPECT_EQ(dlg_->state, Finished);
}

// --- looks ------------------------------------------------------------

TEST_F(InstallerWindow, ReadyLooksWithThePanelClosedAndOpenAndTheirHoverColours) {
  const Image closed = Look();
  EXPECT_TRUE(testing_support::WritePng(closed, ScreenshotPath("ready-closed")));
  EXPECT_EQ(closed.At(kCloseCentre.x, kCloseCentre.y), kCloseNormal);
  EXPECT_EQ(closed.At(kInstallSpot.x, kInstallSpot.y), kButtonFill);
  EXPECT_EQ(closed.At(250, 202), kOutline);
  EXPECT_NE(closed.At(kFolderBoxSpot.x, kFolderBoxSpot.y), kButtonFill);
  EXPECT_NE(closed.At(kBrowseFillSpot.x, kBrowseFillSpot.y), kButtonFill);

  Click(kToggle);
  MoveTo(kNowhere);
  const Image open = Look();
  EXPECT_TRUE(testing_support::WritePng(open, ScreenshotPath("ready-open")));
  EXPECT_EQ(open.At(kFolderBoxSpot.x, kFolderBoxSpot.y), kButtonFill);
  EXPECT_EQ(open.At(kBrowseFillSpot.x, kBrowseFillSpot.y), kButtonFill);
  EXPECT_EQ(open.At(kInstallSpot.x, kInstallSpot.y), kButtonFill);
  // The package tag gives way to the panel.
  EXPECT_TRUE(closed.DiffersIn(open, kTag));

  MoveTo(POINT{250, 232});
  const Image overInstall = Look();
  EXPECT_EQ(overInstall.At(kInstallSpot.x, kInstallSpot.y), kButtonHover);
  EXPECT_EQ(overInstall.At(kBrowseFillSpot.x, kBrowseFillSpot.y), kButtonFill);
  EXPECT_TRUE(overInstall.DiffersIn(open, kCaption));  // the caption sinks a pixel

  MoveTo(kBrowse);
  const Image overBrowse = Look();
  EXPECT_EQ(overBrowse.At(kBrowseFillSpot.x, kBrowseFillSpot.y), kButtonHover);
  EXPECT_EQ(overBrowse.At(kInstallSpot.x, kInstallSpot.y), kButtonFill);

  // The close box's highlight is the darker grey and survives leaving the
  // window until the mouse comes back.
  MoveTo(kCloseCentre);
  EXPECT_EQ(Look().At(kCloseCentre.x, kCloseCentre.y), kCloseHover);
  SetCursorPos(2, 2);
  EXPECT_EQ(Look().At(kCloseCentre.x, kCloseCentre.y), kCloseHover);
  MoveTo(kNowhere);
  EXPECT_EQ(Look().At(kCloseCentre.x, kCloseCentre.y), kCloseNormal);
}

TEST_F(InstallerWindow, InstallingLookShowsStepPercentWaitingLineAndBarWithoutCloseBox) {
  WindowDouble::Get().outcome = StartOutcome::Started;
  Click(kInstallSpot);
  MoveTo(kNowhere);
  BecomeInstalling(50);
  const Image noStep = Look();
  // Before the first step the line shows only the percentage, on the right.
  EXPECT_EQ(noStep.Count(kStepLineLeft, kBlack), 0);
  EXPECT_GT(noStep.Count(kStepLineRight, kBlack), 10);
  EXPECT_NE(noStep.At(kCloseCentre.x, kCloseCentre.y), kCloseNormal);
  EXPECT_NE(noStep.At(kCloseCentre.x, kCloseCentre.y), kCloseHover);
  EXPECT_EQ(noStep.At(kBarHalfway.x, kBarHalfway.y), kBarFill);
  EXPECT_EQ(noStep.At(kBarEnd.x, kBarEnd.y), kWhite);

  Post(WM_INSTALL_STEP, 4);
  const Image step = Look();
  EXPECT_TRUE(testing_support::WritePng(step, ScreenshotPath("installing")));
  EXPECT_GT(step.Count(kStepLineLeft, kBlack), 10);

  // The waiting line is white on the artwork; the failed look lacks it.
  Post(WM_INSTALL_FAILED, 4);
  const Image failed = Look();
  EXPECT_GT(step.Count(kBusyLine, kWhite), failed.Count(kBusyLine, kWhite) + 30);

  // The percentage is drawn for any value, the bar fills only for 1..100.
  Open();
  Click(kInstallSpot);
  MoveTo(kNowhere);
  BecomeInstalling(7);
  const Image seven = Look();
  BecomeInstalling(150);
  const Image over = Look();
  EXPECT_TRUE(seven.DiffersIn(over, kStepLineRight));
  EXPECT_GT(over.Count(kStepLineRight, kBlack), 10);
  EXPECT_EQ(over.At(kBarHalfway.x, kBarHalfway.y), kWhite);
}

TEST_F(InstallerWindow, FailedLookShowsTheFailureAtTheRightAndTheCloseBox) {
  Click(kInstallSpot);
  MoveTo(kNowhere);
  BecomeInstalling(50);
  Post(WM_INSTALL_FAILED, 2);
  const Image failed = Look();
  EXPECT_TRUE(testing_support::WritePng(failed, ScreenshotPath("failed")));
  EXPECT_EQ(failed.At(kCloseCentre.x, kCloseCentre.y), kCloseNormal);
  EXPECT_GT(failed.Count(kStepLineRight, kBlack), 10);
  EXPECT_EQ(failed.Count(kStepLineLeft, kBlack), 0);
  // The bar stays with its last value.
  EXPECT_EQ(failed.At(kBarHalfway.x, kBarHalfway.y), kBarFill);
}

TEST_F(InstallerWindow, FinishedLookShowsTheTagAndOpen) {
  MoveTo(kNowhere);
  const Image ready = Look();
  Click(kToggle);  // the tag comes back in Finished even with the panel open
  Click(kInstallSpot);
  MoveTo(kNowhere);
  BecomeFinished();
  const Image finished = Look();
  EXPECT_TRUE(testing_support::WritePng(finished, ScreenshotPath("finished")));
  EXPECT_FALSE(finished.DiffersIn(ready, kTag));
  EXPECT_TRUE(finished.DiffersIn(ready, kCaption));  // "Open", not "Install"
  EXPECT_EQ(finished.At(kCloseCentre.x, kCloseCentre.y), kCloseNormal);
  EXPECT_NE(finished.At(kFolderBoxSpot.x, kFolderBoxSpot.y), kButtonFill);
  EXPECT_NE(finished.At(kBarHalfway.x, kBarHalfway.y), kBarFill);
}

// --- keyboard, closing questions, screen readers ------------------------

TEST_F(InstallerWindow, OpensWithTheFocusAndTabEnterSpaceEscapeWorkTheDrawnButtons) {
  EXPECT_EQ(GetForegroundWindow(), hwnd());
  EXPECT_EQ(GetFocus(), hwnd());
  WindowDouble::Get().outcome = StartOutcome::Declined;
  MoveTo(kNowhere);
  const Image plain = Look();

  using C = TKavimorDlg;
  const struct {
    const char* name;
    std::initializer_list<WORD> keys;
    WORD modifier;
    int focus;
    bool panelCollapsed;
    int startCalls;  // so far
  } steps[] = {
      {"tab from the main button", {VK_TAB}, 0, C::kCustomToggle, true, 0},
      {"tab wraps past the hidden browse button", {VK_TAB}, 0, C::kMainButton, true, 0},
      {"shift+tab goes back", {VK_TAB}, VK_SHIFT, C::kCustomToggle, true, 0},
      {"space presses the toggle", {VK_SPACE}, 0, C::kCustomToggle, false, 0},
      {"tab reaches the browse button once the panel is open", {VK_TAB}, 0, C::kBrowseButton, false, 0},
      {"tab goes on to the main button", {VK_TAB}, 0, C::kMainButton, false, 0},
      {"space on the main button starts", {VK_SPACE}, 0, C::kMainButton, false, 1},
      {"enter presses the main button from anywhere", {VK_TAB, VK_RETURN}, 0, C::kCustomToggle, false, 2},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.name);
    Keys(step.keys, step.modifier);
    EXPECT_EQ(dlg_->FocusedControl(), step.focus);
    EXPECT_EQ(dlg_->panelCollapsed, step.panelCollapsed);
    EXPECT_EQ(WindowDouble::Get().startCalls, step.startCalls);
  }

  // The cue follows the focus, drawn in the window's own light colours.
  const Image onToggle = Look();
  EXPECT_TRUE(onToggle.DiffersIn(plain, dlg_->customRect));
  Keys({VK_TAB});
  const Image onBrowse = Look();
  EXPECT_TRUE(onBrowse.DiffersIn(onToggle, dlg_->browseRect));
  EXPECT_FALSE(onBrowse.DiffersIn(onToggle, dlg_->installRect));

  // Escape in Ready does what the close box does.
  Keys({VK_ESCAPE});
  EXPECT_FALSE(Alive());
  EXPECT_FALSE(dlg_->running);
}

TEST_F(InstallerWindow, ClosingWhileInstallingAsksFirstAndLogsTheUsersEnd) {
  const std::string ended = Gbk(u8"用户结束安装");
  const struct {
    const char* name;
    std::function<void(InstallerWindow&)> close;
  } routes[] = {
      {"Alt+F4", [](InstallerWindow& t) { t.Keys({VK_F4}, VK_MENU); }},
      {"Escape", [](InstallerWindow& t) { t.Keys({VK_ESCAPE}); }},
      {"system close", [](InstallerWindow& t) { t.SystemClose(); }},
  };
  for (const auto& route : routes) {
    for (const int answer : {IDCANCEL, IDOK}) {
      SCOPED_TRACE(std::string(route.name) + (answer == IDOK ? ", OK" : ", Cancel"));
      Open();
      OpenInstallLog(GetAppContext().logDir);
      WriteLog("working");
      BecomeInstalling();
      testing_support::DialogAnswerer box(answer, 10000);
      route.close(*this);
      ASSERT_TRUE(box.Join());
      EXPECT_EQ(box.text(), EndInstallQuestion());
      EXPECT_EQ(box.caption(), WarnCaption());
      EXPECT_EQ(Alive(), answer != IDOK);
      EXPECT_EQ(dlg_->running, answer != IDOK);
      CloseInstallLog();
      const std::vector<std::string> log = testing_support::LogTexts(GetAppContext().logDir);
      ASSERT_FALSE(log.empty());
      EXPECT_EQ(log.back() == ended, answer == IDOK);
      testing_support::RemoveTree(GetAppContext().logDir);
    }
  }

  // Outside Installing nothing asks: Alt+F4 in Ready simply closes.
  Open();
  testing_support::DialogAnswerer none(IDCANCEL, 1500);
  Keys({VK_F4}, VK_MENU);
  EXPECT_FALSE(none.Join());
  EXPECT_FALSE(Alive());
}

Image Crop(const Image& image, const RECT& r) {
  Image part;
  part.width = r.right - r.left;
  part.height = r.bottom - r.top;
  for (int y = r.top; y < r.bottom; ++y)
    for (int x = r.left; x < r.right; ++x) part.pixels.push_back(image.At(x, y));
  return part;
}

// In each language, what the user reads is made of that language's glyphs,
// not of one box repeated (a font without the characters), and the failure
// text stays inside the window.
// A proxy that wanted credentials nobody gave is no missing file: its own
// text, in the window's language, inside the white area.
TEST_F(InstallerWindow, AProxyRefusalShowsItsOwnFailureTextInEveryLanguage) {
  const struct {
    int32_t languageId;
    const wchar_t* text;
  } languages[] = {
      {1033, L"The proxy server requires authentication. Install Fail"},
      {1028, L"\u4EE3\u7406\u4F3A\u670D\u5668\u8981\u6C42\u8EAB\u5206\u9A57\u8B49\uFF0C\u5B89\u88DD\u5931\u6557"},
      {2052, L"\u4EE3\u7406\u670D\u52A1\u5668\u8981\u6C42\u8EAB\u4EFD\u9A8C\u8BC1\uFF0C\u5B89\u88C5\u5931\u8D25"},
  };
  for (const auto& language : languages) {
    SCOPED_TRACE(language.languageId);
    Open();
    GetAppContext().languageId = language.languageId;
    ClearRunFailure();
    NoteRunFailure(RunFailure::ProxyAuthentication);
    Post(WM_INSTALL_PROGRESS, 3);
    Post(WM_INSTALL_FAILED, kStepDownloadBase);
    EXPECT_EQ(dlg_->state, Failed);
    EXPECT_EQ(dlg_->statusText, language.text);
    const Image failed = Look();
    EXPECT_EQ(failed.Count(RECT{1, kWhiteAreaTop, 32, 308}, kBlack), 0);
    EXPECT_EQ(failed.Count(RECT{466, kWhiteAreaTop, 499, 308}, kBlack), 0);
    EXPECT_GT(failed.Count(RECT{32, kWhiteAreaTop, 466, kProgressBarTop}, kBlack), 100);
  }
  ClearRunFailure();
  GetAppContext().languageId = 2052;
}

TEST_F(InstallerWindow, EveryLanguageReadsInMessageBoxesStepLineAndFailureText) {
  const struct {
    int32_t languageId;
    const char* screenshotSuffix;  // the Ready looks of the README; simplified Chinese has its own
    int boxGlyphs;
    int boxShapes;  // letters repeat; characters less so
    int stepGlyphs;
  } languages[] = {
      {1033, "-en", 60, 20, 15},
      {1028, "-zh-tw", 25, 15, 5},
      {2052, nullptr, 25, 15, 5},
  };
  for (const auto& language : languages) {
    SCOPED_TRACE(language.languageId);
    Open();
    GetAppContext().languageId = language.languageId;
    MoveTo(kNowhere);
    if (language.screenshotSuffix != nullptr) {
      EXPECT_TRUE(testing_support::WritePng(Look(), ScreenshotPath((std::string("ready-closed") +
                                                                     language.screenshotSuffix).c_str())));
      Click(kToggle);
      MoveTo(kNowhere);
      EXPECT_TRUE(testing_support::WritePng(Look(), ScreenshotPath((std::string("ready-open") +
                                                                     language.screenshotSuffix).c_str())));
      Click(kToggle);
    }

    OpenInstallLog(GetAppContext().logDir);
    Click(kInstallSpot);
    MoveTo(kNowhere);
    BecomeInstalling();
    testing_support::GlyphCount box;
    testing_support::DialogAnswerer answer(IDCANCEL, 10000, [&](HWND dialog) {
      if (HWND label = GetDlgItem(dialog, 0xFFFF))
        box = testing_support::CountGlyphs(testing_support::CaptureClient(label));
    });
    SystemClose();
    ASSERT_TRUE(answer.Join());
    EXPECT_GT(box.glyphs, language.boxGlyphs);
    EXPECT_GT(box.shapes, language.boxShapes);

    Post(WM_INSTALL_STEP, 4);
    const testing_support::GlyphCount step = testing_support::CountGlyphs(Crop(Look(), RECT{32, 234, 400, 254}));
    EXPECT_GT(step.glyphs, language.stepGlyphs);
    EXPECT_GT(step.shapes, step.glyphs / 2);

    // The longest failure text: whole, right-aligned, nothing left of the
    // step line, nothing on the bar.
    Post(WM_INSTALL_FAILED, 11);
    const Image failed = Look();
    EXPECT_EQ(failed.Count(RECT{1, kWhiteAreaTop, 32, 308}, kBlack), 0);
    EXPECT_EQ(failed.Count(RECT{466, kWhiteAreaTop, 499, 308}, kBlack), 0);
    EXPECT_EQ(failed.Count(RECT{1, kProgressBarTop, 499, 308}, kBlack), 0);
    EXPECT_GT(failed.Count(RECT{32, kWhiteAreaTop, 466, kProgressBarTop}, kBlack), 100);
    if (language.languageId == 1033) {
      EXPECT_TRUE(testing_support::WritePng(failed, ScreenshotPath("failed-en")));
    }
  }
  GetAppContext().languageId = 2052;
}

TEST_F(InstallerWindow, ScreenReadersFindTheWindowAndItsButtonsByName) {
  win::ComApartment com;
  const struct {
    int32_t languageId;
    const wchar_t* install;
    const wchar_t* open;
  } languages[] = {
      {1033, L"Install", L"Open"},
      {1028, L"安裝", L"打開"},
      {2052, L"安装", L"打开"},
  };
  auto variant = [](LONG id) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = id;
    return v;
  };
  auto name = [&](IAccessible* acc, LONG id) {
    BSTR text = nullptr;
    std::wstring out = acc->get_accName(variant(id), &text) == S_OK && text != nullptr ? text : L"<none>";
    SysFreeString(text);
    return out;
  };
  auto state = [&](IAccessible* acc, LONG id) {
    VARIANT v;
    VariantInit(&v);
    acc->get_accState(variant(id), &v);
    return v.lVal;
  };
  for (const auto& language : languages) {
    SCOPED_TRACE(language.languageId);
    Open();
    GetAppContext().languageId = language.languageId;
    win::ComPtr<IAccessible> acc;
    ASSERT_EQ(AccessibleObjectFromWindow(hwnd(), static_cast<DWORD>(OBJID_CLIENT), IID_IAccessible,
                                         acc.put_void()),
              S_OK);
    LONG children = 0;
    EXPECT_EQ(acc->get_accChildCount(&children), S_OK);
    EXPECT_EQ(children, 3);
    EXPECT_EQ(name(acc.get(), TKavimorDlg::kMainButton), language.install);
    EXPECT_EQ(name(acc.get(), TKavimorDlg::kCustomToggle), CustomAccessibleName());
    EXPECT_EQ(name(acc.get(), TKavimorDlg::kBrowseButton), BrowseLabel());
    VARIANT role;
    VariantInit(&role);
    EXPECT_EQ(acc->get_accRole(variant(TKavimorDlg::kMainButton), &role), S_OK);
    EXPECT_EQ(role.lVal, ROLE_SYSTEM_PUSHBUTTON);
    EXPECT_NE(state(acc.get(), TKavimorDlg::kMainButton) & STATE_SYSTEM_FOCUSED, 0);
    EXPECT_NE(state(acc.get(), TKavimorDlg::kBrowseButton) & STATE_SYSTEM_INVISIBLE, 0);

    // Where a screen reader points: the main button's place on screen.
    LONG x = 0, y = 0, w = 0, h = 0;
    EXPECT_EQ(acc->accLocation(&x, &y, &w, &h, variant(TKavimorDlg::kMainButton)), S_OK);
    const POINT corner = Screen(POINT{dlg_->installRect.left, dlg_->installRect.top});
    EXPECT_EQ(x, corner.x);
    EXPECT_EQ(y, corner.y);
    EXPECT_EQ(w, 100);
    VARIANT hit;
    VariantInit(&hit);
    const POINT spot = Screen(kToggle);
    EXPECT_EQ(acc->accHitTest(spot.x, spot.y, &hit), S_OK);
    EXPECT_EQ(hit.lVal, TKavimorDlg::kCustomToggle);

    // Its default action presses the button like a click.
    EXPECT_EQ(acc->accDoDefaultAction(variant(TKavimorDlg::kCustomToggle)), S_OK);
    Settle();
    EXPECT_FALSE(dlg_->panelCollapsed);
    EXPECT_EQ(state(acc.get(), TKavimorDlg::kBrowseButton) & STATE_SYSTEM_INVISIBLE, 0);

    BecomeFinished();
    EXPECT_EQ(name(acc.get(), TKavimorDlg::kMainButton), language.open);
    dlg_.reset();
    // Kept by a reader after the window has gone: it answers, but not as a window.
    EXPECT_EQ(name(acc.get(), TKavimorDlg::kMainButton), L"<none>");
  }
  GetAppContext().languageId = 2052;
}

// --- message loop and end of run --------------------------------------

TEST_F(InstallerWindow, MessageLoopEndsWhenTheWindowIsClosedByAnyRoute) {
  struct Case {
    const char* name;
    std::function<void(HWND)> close;
    bool installing;
  };
  const Case cases[] = {
      {"system close posted to the thread's queue",
       [](HWND h) { PostMessageW(h, WM_SYSCOMMAND, SC_CLOSE, 0); }, false},
      {"system close while installing", [](HWND h) { PostMessageW(h, WM_SYSCOMMAND, SC_CLOSE, 0); },
       true},
      // Not intercepted by the loop: the window itself closes.
      {"system close with a position", [](HWND h) { PostMessageW(h, WM_SYSCOMMAND, SC_CLOSE, 0x00100010); },
       false},
      {"close sent straight to the window",
       [](HWND h) { std::thread([h] { SendMessageW(h, WM_CLOSE, 0, 0); }).detach(); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Open();
    if (c.installing) BecomeInstalling();
    // While installing, the user is asked first (and agrees here); otherwise
    // no box may come up.
    testing_support::DialogAnswerer agree(IDOK, c.installing ? 10000 : 1500);
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> watchdogFired{false};
    const DWORD thread = GetCurrentThreadId();
    std::thread watchdog([&] {
      if (WaitForSingleObject(stop, 8000) == WAIT_TIMEOUT) {
        watchdogFired = true;
        PostThreadMessageW(thread, WM_QUIT, 0, 0);
      }
    });
    c.close(hwnd());
    RunMessageLoop(*dlg_);
    SetEvent(stop);
    watchdog.join();
    CloseHandle(stop);
    EXPECT_FALSE(watchdogFired);
    EXPECT_FALSE(dlg_->running);
    EXPECT_FALSE(Alive());
    EXPECT_EQ(agree.Join(), c.installing);
    if (c.installing) {
      EXPECT_EQ(dlg_->state, Installing);
    }
    Pump(50);  // a quit message left by the window's end
  }
}

TEST_F(InstallerWindow, ShutdownRemovesTheStagingFolderOnlyAfterAFailure) {
  struct Case {
    const char* name;
    std::function<void(InstallerWindow&)> into;
    bool stagingRemains;
  };
  const Case cases[] = {
      {"ready", [](InstallerWindow&) {}, true},
      {"failed", [](InstallerWindow& t) { t.BecomeFailed(9); }, false},
      {"finished", [](InstallerWindow& t) { t.BecomeFinished(); }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Open();
    const std::string staging = GetAppContext().stagingDir;
    CreateDirectoryA(staging.c_str(), nullptr);
    testing_support::WriteFileBytes(staging + "\\base.zip", "zip");
    c.into(*this);
    OpenInstallLog(GetAppContext().logDir);
    dlg_.reset();
    EXPECT_FALSE(InstallLogIsOpen());
    EXPECT_EQ(PathExists(staging + "\\base.zip"), c.stagingRemains);
    EXPECT_EQ(PathExists(staging), c.stagingRemains);
    testing_support::RemoveTree(staging);
  }
}

// A system close while the worker runs: the run ends here, with code 0,
// without returning to the shutdown that would destroy the engine record
// and the object-store layer under the worker.
TEST(EndOfRun, WhileTheWorkerRunsTheProcessEndsWithoutTheShutdown) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::thread([] {
          for (;;) {
            WriteLog("working");
            Sleep(1);
          }
        }).detach();
        TKavimorDlg* dlg = new TKavimorDlg();
        dlg->state = Installing;
        EndRunIfWorkerActive(*dlg);
      },
      ::testing::ExitedWithCode(0), "");

  for (DlgState state : {Ready, Failed, Finished}) {
    TKavimorDlg dlg;
    dlg.state = state;
    EndRunIfWorkerActive(dlg);  // returns: the normal shutdown follows
    EXPECT_EQ(dlg.state, state);
  }
}

// What the glyph check sees: a line of one box repeated is one shape; two
// lines of different letters are many.
TEST(ScreenImage, GlyphCountTellsRepeatedBoxesFromLetters) {
  const auto draw = [](const std::function<void(HDC)>& paint) {
    Image image;
    image.width = 200;
    image.height = 40;
    win::MemoryDC dc(CreateCompatibleDC(nullptr));
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = image.width;
    info.bmiHeader.biHeight = -image.height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    win::Bitmap dib(CreateDIBSection(dc.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    win::SelectGuard select(dc.get(), dib.get());
    RECT all{0, 0, image.width, image.height};
    FillRect(dc.get(), &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    paint(dc.get());
    GdiFlush();
    const auto* bgra = static_cast<const uint8_t*>(bits);
    for (int i = 0; i < image.width * image.height; ++i)
      image.pixels.push_back(RGB(bgra[i * 4 + 2], bgra[i * 4 + 1], bgra[i * 4]));
    return image;
  };
  const Image boxes = draw([](HDC dc) {
    for (int i = 0; i < 12; ++i) {
      RECT box{4 + i * 14, 10, 14 + i * 14, 26};
      FrameRect(dc, &box, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    }
  });
  const testing_support::GlyphCount boxCount = testing_support::CountGlyphs(boxes);
  EXPECT_EQ(boxCount.glyphs, 12);
  EXPECT_EQ(boxCount.shapes, 1);

  if (Font20 == nullptr) CreateDrawingResources();
  const Image letters = draw([](HDC dc) {
    win::SelectGuard font(dc, Font20);
    SetBkMode(dc, TRANSPARENT);
    TextOutW(dc, 2, 0, L"Browse Custom", 13);
    TextOutW(dc, 2, 20, L"Install Open", 12);
  });
  const testing_support::GlyphCount letterCount = testing_support::CountGlyphs(letters);
  EXPECT_GE(letterCount.glyphs, 20);
  EXPECT_GE(letterCount.shapes, 14);
}

TEST(ScreenImage, PngRoundTripKeepsEveryPixel) {
  Image image;
  image.width = 37;
  image.height = 11;
  for (int y = 0; y < image.height; ++y)
    for (int x = 0; x < image.width; ++x)
      image.pixels.push_back(RGB(x * 7, y * 23, (x * y) & 0xFF));
  ScratchDir dir("png");
  ASSERT_TRUE(testing_support::WritePng(image, dir / "a.png"));
  Image back;
  ASSERT_TRUE(testing_support::ReadPng(dir / "a.png", back));
  EXPECT_EQ(back.width, image.width);
  EXPECT_EQ(back.height, image.height);
  EXPECT_EQ(back.pixels, image.pixels);
}

}  // namespace
