#include "engine/messages.h"

#include <atomic>

HWND MainWindowHandle = nullptr;
ThreadPostFunction PostEngineThreadMessage = PostThreadMessageW;

namespace {

// The thread of the EngineMessageQueue, 0 while there is none. Written by
// the UI thread, read by the worker while it posts: atomic, no lock.
std::atomic<DWORD> receivingThread{0};

bool IsEngineMessage(UINT message) {
  return message == WM_INSTALL_PROGRESS || message == WM_INSTALL_DONE || message == WM_INSTALL_FAILED ||
         message == WM_INSTALL_STEP;
}

}  // namespace

void PostToMainWindow(UINT message, LPARAM lParam) {
  const bool last = message == WM_INSTALL_DONE || message == WM_INSTALL_FAILED;
  for (;;) {
    const DWORD thread = receivingThread.load();
    const bool toThread = MainWindowHandle == nullptr && thread != 0;
    if (toThread ? PostEngineThreadMessage(thread, message, 0, lParam) != FALSE
                 : PostMessageW(MainWindowHandle, message, 0, lParam) != FALSE)
      return;
    // Only a full queue empties again; a receiver that is gone, or this
    // very thread, never takes the message.
    if (!last || GetLastError() != ERROR_NOT_ENOUGH_QUOTA) return;
    // (PostMessageW without a window posts to this thread.)
    const DWORD receiver = toThread                     ? thread
                           : MainWindowHandle != nullptr ? GetWindowThreadProcessId(MainWindowHandle, nullptr)
                                                         : GetCurrentThreadId();
    if (receiver == GetCurrentThreadId()) return;
    Sleep(10);
  }
}

EngineMessageQueue::EngineMessageQueue() {
  MSG msg;
  PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
  receivingThread.store(GetCurrentThreadId());
}

EngineMessageQueue::~EngineMessageQueue() { receivingThread.store(0); }

bool EngineMessageQueue::WaitForLast(DWORD timeoutMs, const Observer& each) {
  const ULONGLONG start = GetTickCount64();
  for (;;) {
    MSG msg;
    while (last_ == 0 && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) return false;
      if (msg.hwnd != nullptr) {
        DispatchMessageW(&msg);
        continue;
      }
      if (!IsEngineMessage(msg.message)) continue;
      if (each) each(msg.message, msg.lParam);
      if (msg.message == WM_INSTALL_DONE || msg.message == WM_INSTALL_FAILED) {
        last_ = msg.message;
        lastParam_ = msg.lParam;
      }
    }
    if (last_ != 0) return true;
    DWORD wait = INFINITE;
    if (timeoutMs != INFINITE) {
      const ULONGLONG spent = GetTickCount64() - start;
      if (spent >= timeoutMs) return false;
      wait = static_cast<DWORD>(timeoutMs - spent);
    }
    MsgWaitForMultipleObjectsEx(0, nullptr, wait, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
}
