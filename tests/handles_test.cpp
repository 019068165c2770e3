// The owners release exactly once and only what they own.
#include <gtest/gtest.h>

#include <shlobj.h>
#include <shobjidl.h>

#include <optional>
#include <set>
#include <string>
#include <thread>

#include "platform/handles.h"
#include "support/test_support.h"

namespace {

bool HandleIsOpen(HANDLE h) {
  DWORD flags = 0;
  return GetHandleInformation(h, &flags) != FALSE;
}

TEST(Handles, KernelHandleClosedOnceAndMovable) {
  HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(raw, nullptr);
  {
    win::UniqueHandle a(raw);
    win::UniqueHandle b(std::move(a));
    EXPECT_FALSE(a);
    EXPECT_TRUE(b);
    EXPECT_TRUE(HandleIsOpen(raw));
  }
  EXPECT_FALSE(HandleIsOpen(raw));
  // INVALID_HANDLE_VALUE (a failed CreateFile) is not "open" and not closed.
  win::UniqueHandle invalid(INVALID_HANDLE_VALUE);
  EXPECT_FALSE(invalid);
}

TEST(Handles, RegistryKeyClosed) {
  HKEY raw = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, &raw), ERROR_SUCCESS);
  { win::RegKey key(raw); }
  DWORD subkeys = 0;
  EXPECT_NE(RegQueryInfoKeyW(raw, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
}

TEST(Handles, GdiObjectDeletedAndSelectionRestored) {
  HDC screen = GetDC(nullptr);
  win::MemoryDC dc(CreateCompatibleDC(screen));
  ReleaseDC(nullptr, screen);
  ASSERT_TRUE(dc);
  HGDIOBJ original = GetCurrentObject(dc.get(), OBJ_PEN);
  HPEN raw = CreatePen(PS_SOLID, 1, RGB(1, 2, 3));
  {
    win::Pen pen(raw);
    win::SelectGuard select(dc.get(), pen.get());
    EXPECT_EQ(GetCurrentObject(dc.get(), OBJ_PEN), raw);
  }
  EXPECT_EQ(GetCurrentObject(dc.get(), OBJ_PEN), original);
  EXPECT_EQ(GetObjectType(raw), 0u);
}

TEST(Handles, WindowDcGoesBackToItsWindow) {
  HWND window = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                nullptr, nullptr);
  ASSERT_NE(window, nullptr);
  {
    win::WindowDC dc(window);
    EXPECT_EQ(dc.window(), window);
    EXPECT_NE(dc.get(), nullptr);
    EXPECT_EQ(WindowFromDC(dc.get()), window);
  }
  DestroyWindow(window);
}

TEST(Handles, ComApartmentPairsItsInitialisation) {
  {
    win::ComApartment outer;
    EXPECT_EQ(outer.result(), S_OK);
    win::ComApartment inner;
    EXPECT_EQ(inner.result(), S_FALSE);
  }
  // Both were undone: the next initialisation is the first again.
  win::ComApartment again;
  EXPECT_EQ(again.result(), S_OK);
}

// On a thread of its own each, so that no earlier apartment is there
// unless the row makes one.
TEST(Handles, AMultithreadedApartmentMakesNoWindowAndKeepsAnEarlierOne) {
  using Model = win::ComApartment::Model;
  struct Row {
    bool earlierApartment;  // the thread has a single-threaded apartment already
    Model model;
    HRESULT result;
    bool comWindow;  // COM's message-only window while the apartment lasts
  };
  const Row rows[] = {
      {false, Model::Apartment, S_OK, true},
      {false, Model::Multithreaded, S_OK, false},
      {true, Model::Multithreaded, S_FALSE, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "earlier " << row.earlierApartment << ", model " << static_cast<int>(row.model));
    HRESULT result = E_FAIL;
    HRESULT created = E_FAIL;
    std::set<std::wstring> windows;
    std::thread([&] {
      std::optional<win::ComApartment> earlier;
      if (row.earlierApartment) earlier.emplace();
      win::ComApartment apartment(row.model);
      result = apartment.result();
      win::ComPtr<IShellLinkW> link;
      created = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.put_void());
      windows = testing_support::WindowClassesOf(GetCurrentProcessId(), GetCurrentThreadId());
    }).join();
    EXPECT_EQ(result, row.result);
    EXPECT_EQ(created, S_OK);
    EXPECT_EQ(windows.count(L"OleMainThreadWndClass"), row.comWindow ? 1u : 0u);
    if (!row.comWindow) {
      EXPECT_TRUE(windows.empty()) << windows.size();
    }
  }
}

}  // namespace
