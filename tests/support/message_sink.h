#pragma once
// Plays the main window's part for engine tests: a message-only window on
// the test thread becomes MainWindowHandle and records every install
// message the engine posts, in order.
#include <windows.h>

#include <vector>

namespace testing_support {

struct PostedMessage {
  UINT message;
  LPARAM lParam;
};

class MessageSink {
 public:
  MessageSink();
  ~MessageSink();
  MessageSink(const MessageSink&) = delete;
  MessageSink& operator=(const MessageSink&) = delete;

  // Pumps until WM_INSTALL_DONE or WM_INSTALL_FAILED arrives (or timeout),
  // then goes on pumping for `afterMs` so that a message posted after the
  // last one would be seen too. True when a last message came.
  bool PumpUntilFinal(DWORD timeoutMs, DWORD afterMs = 300);
  // Pumps for a fixed time.
  void Pump(DWORD ms);

  const std::vector<PostedMessage>& messages() const { return messages_; }
  std::vector<int> Steps() const;     // lParams of WM_INSTALL_STEP
  std::vector<int> Percents() const;  // lParams of WM_INSTALL_PROGRESS
  HWND window() const { return hwnd_; }

 private:
  static LRESULT CALLBACK Proc(HWND, UINT, WPARAM, LPARAM);
  HWND hwnd_ = nullptr;
  std::vector<PostedMessage> messages_;
  bool final_ = false;
};

}  // namespace testing_support
