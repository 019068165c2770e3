// The engine's messages in a run without any window: they reach the UI
// thread as thread messages, in order, also when posted before the UI thread
// waits; a full queue may cost progress but never the run's last message;
// and nothing the receiver does makes a window.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/messages.h"
#include "support/test_support.h"

namespace {

using Posted = std::pair<UINT, LPARAM>;

// Drops whatever an earlier case left in this thread's queue.
void DrainQueue() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
  }
}

TEST(EngineMessageQueue, TheWorkersMessagesReachTheUiThreadInOrderWithoutAnyWindow) {
  const std::vector<std::vector<Posted>> runs = {
      {{WM_INSTALL_STEP, kStepDownloadBase}, {WM_INSTALL_PROGRESS, 10}, {WM_INSTALL_STEP, kStepInstallBase},
       {WM_INSTALL_PROGRESS, 100}, {WM_INSTALL_DONE, 0}},
      {{WM_INSTALL_STEP, kStepDownloadRuntime}, {WM_INSTALL_PROGRESS, 40}, {WM_INSTALL_FAILED, kStepDownloadRuntime}},
      {{WM_INSTALL_FAILED, kStepManifest}},
  };
  for (const std::vector<Posted>& run : runs) {
    SCOPED_TRACE(testing::Message() << "ends with " << run.back().first << " " << run.back().second);
    std::vector<Posted> seen;
    bool ended = false;
    UINT last = 0;
    LPARAM lastParam = -1;
    std::set<std::wstring> windows = {L"<not looked>"};
    // A UI thread of its own: its windows are only what the receiver makes.
    std::thread ui([&] {
      EngineMessageQueue queue;
      // The whole run is posted before this thread waits: the queue exists
      // from the receiver's construction on, nothing is lost.
      std::thread worker([&] {
        for (const Posted& p : run) PostToMainWindow(p.first, p.second);
      });
      worker.join();
      ended = queue.WaitForLast(5000, [&](UINT message, LPARAM lParam) { seen.emplace_back(message, lParam); });
      last = queue.last();
      lastParam = queue.lastParam();
      windows = testing_support::WindowClassesOf(GetCurrentProcessId(), GetCurrentThreadId());
    });
    ui.join();
    EXPECT_TRUE(ended);
    EXPECT_EQ(seen, run);
    EXPECT_EQ(last, run.back().first);
    EXPECT_EQ(lastParam, run.back().second);
    EXPECT_TRUE(windows.empty()) << windows.size() << " windows";
  }
}

TEST(EngineMessageQueue, WaitingEndsAfterItsTimeWhenNoLastMessageComes) {
  DrainQueue();
  EngineMessageQueue queue;
  PostToMainWindow(WM_INSTALL_PROGRESS, 5);
  const ULONGLONG start = GetTickCount64();
  std::vector<Posted> seen;
  EXPECT_FALSE(queue.WaitForLast(300, [&](UINT message, LPARAM lParam) { seen.emplace_back(message, lParam); }));
  EXPECT_GE(GetTickCount64() - start, 250u);
  EXPECT_EQ(seen, (std::vector<Posted>{{WM_INSTALL_PROGRESS, 5}}));
  EXPECT_EQ(queue.last(), 0u);
}

// A receiving queue that refuses the next `refusals` posts of one message
// with `error`, as a full queue (ERROR_NOT_ENOUGH_QUOTA) does.
struct RefusingQueue {
  static inline std::atomic<UINT> refused{0};
  static inline std::atomic<int> refusals{0};
  static inline std::atomic<DWORD> error{ERROR_NOT_ENOUGH_QUOTA};
  static inline std::atomic<int> attempts{0};

  static BOOL WINAPI Post(DWORD thread, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == refused) {
      ++attempts;
      if (refusals > 0) {
        --refusals;
        SetLastError(error);
        return FALSE;
      }
    }
    return PostThreadMessageW(thread, message, wParam, lParam);
  }

  RefusingQueue() { PostEngineThreadMessage = &RefusingQueue::Post; }
  ~RefusingQueue() { PostEngineThreadMessage = PostThreadMessageW; }
};

TEST(EngineMessageQueue, AFullQueueCostsProgressButNeverTheRunsLastMessage) {
  struct Case {
    UINT message;
    DWORD error;
    int expectedAttempts;
    bool arrives;
  };
  const Case cases[] = {
      // Progress and steps are not worth waiting for.
      {WM_INSTALL_PROGRESS, ERROR_NOT_ENOUGH_QUOTA, 1, false},
      {WM_INSTALL_STEP, ERROR_NOT_ENOUGH_QUOTA, 1, false},
      // The last message is posted again until the queue has room.
      {WM_INSTALL_DONE, ERROR_NOT_ENOUGH_QUOTA, 4, true},
      {WM_INSTALL_FAILED, ERROR_NOT_ENOUGH_QUOTA, 4, true},
      // A receiver that is gone never takes it: no endless retry.
      {WM_INSTALL_DONE, ERROR_INVALID_THREAD_ID, 1, false},
  };
  const RefusingQueue refusing;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "message " << c.message << ", error " << c.error);
    DrainQueue();
    EngineMessageQueue queue;
    RefusingQueue::refused = c.message;
    RefusingQueue::refusals = 3;
    RefusingQueue::error = c.error;
    RefusingQueue::attempts = 0;
    std::thread worker([&] {
      PostToMainWindow(c.message, 7);
      // Ends the wait when the message under test did not.
      PostToMainWindow(c.message == WM_INSTALL_DONE ? WM_INSTALL_FAILED : WM_INSTALL_DONE, 99);
    });
    worker.join();
    std::vector<Posted> seen;
    EngineMessageQueue::Observer note = [&](UINT message, LPARAM lParam) { seen.emplace_back(message, lParam); };
    ASSERT_TRUE(queue.WaitForLast(5000, note));
    EXPECT_EQ(RefusingQueue::attempts, c.expectedAttempts);
    EXPECT_EQ(!seen.empty() && seen.front() == Posted(c.message, 7), c.arrives);
  }
  RefusingQueue::refused = 0;
  DrainQueue();
}

TEST(EngineMessageQueue, APostToItsOwnFullQueueReturns) {
  // The layout run posts its steps to its own thread; were that queue full,
  // waiting for room would wait for ever.
  const RefusingQueue refusing;
  DrainQueue();
  EngineMessageQueue queue;
  RefusingQueue::refused = WM_INSTALL_FAILED;
  RefusingQueue::refusals = 3;
  RefusingQueue::error = ERROR_NOT_ENOUGH_QUOTA;
  RefusingQueue::attempts = 0;
  PostToMainWindow(WM_INSTALL_FAILED, kStepManifest);
  EXPECT_EQ(RefusingQueue::attempts, 1);
  RefusingQueue::refused = 0;
  DrainQueue();
}

}  // namespace
