#include "support/message_sink.h"

#include "engine/messages.h"

namespace testing_support {

MessageSink::MessageSink() {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = &MessageSink::Proc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"KavimorTestSink";
  RegisterClassExW(&wc);
  hwnd_ = CreateWindowExW(0, L"KavimorTestSink", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                          GetModuleHandleW(nullptr), this);
  SetWindowLongPtrW(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  MainWindowHandle = hwnd_;
}

MessageSink::~MessageSink() {
  MainWindowHandle = nullptr;
  DestroyWindow(hwnd_);
}

LRESULT CALLBACK MessageSink::Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<MessageSink*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (self != nullptr && message >= WM_INSTALL_PROGRESS && message <= WM_INSTALL_STEP) {
    self->messages_.push_back({message, lParam});
    if (message == WM_INSTALL_DONE || message == WM_INSTALL_FAILED) self->final_ = true;
    return 0;
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

void MessageSink::Pump(DWORD ms) {
  const ULONGLONG end = GetTickCount64() + ms;
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    const ULONGLONG now = GetTickCount64();
    if (now >= end) return;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
  }
}

bool MessageSink::PumpUntilFinal(DWORD timeoutMs, DWORD afterMs) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  while (!final_ && GetTickCount64() < end) Pump(20);
  if (final_) Pump(afterMs);
  return final_;
}

std::vector<int> MessageSink::Steps() const {
  std::vector<int> out;
  for (const auto& m : messages_)
    if (m.message == WM_INSTALL_STEP) out.push_back(static_cast<int>(m.lParam));
  return out;
}

std::vector<int> MessageSink::Percents() const {
  std::vector<int> out;
  for (const auto& m : messages_)
    if (m.message == WM_INSTALL_PROGRESS) out.push_back(static_cast<int>(m.lParam));
  return out;
}

}  // namespace testing_support
