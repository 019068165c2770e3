// The order rules for a later entry that would go ahead of an earlier one
// still opening: which paths may pass, and how such an entry is settled
// when the earlier one opens or fails.
#include <windows.h>
#include <process.h>

#include <gtest/gtest.h>

#include <string>

#include "archive/entry_order.h"

namespace {

struct LaterClaim {
  TEntryOrder* order;
  std::wstring path;
  TEntryOrder::Go go = TEntryOrder::Go::kStopped;
};

unsigned __stdcall ClaimOfSlotOne(void* argument) {
  auto* claim = static_cast<LaterClaim*>(argument);
  claim->go = claim->order->Claim(1, claim->path, false, true);
  return 0;
}

}  // namespace

TEST(EntryOrder, ALaterFileGoesAheadOnlyOffTheEarlierEntrysPath) {
  using Go = TEntryOrder::Go;
  struct Case {
    const wchar_t* earlier;
    bool earlierFolder;
    const wchar_t* later;  // a file entry
    bool ahead;
    bool waitsForTheWrite;  // until the earlier entry is finished, not just open
  } const cases[] = {
      {L"A.TXT", false, L"B.TXT", true, false},
      {L"D\\X.TXT", false, L"D\\Y.TXT", true, false},  // a shared folder is made by either
      {L"A.TXT", false, L"A.TXT", false, true},         // the same file
      {L"A", false, L"A\\B.TXT", false, false},         // a file where the later one needs a folder
      {L"A\\B.TXT", false, L"A", false, false},         // the later file where a folder is needed
      {L"A", true, L"A", false, false},                 // a folder entry of the same name
      {L"PROGRA~1\\X", false, L"Y.TXT", false, true},   // a short alias may be any name
      {L"X.TXT", false, L"LONGNA~1.TXT", false, true},
  };
  for (const Case& c : cases) {
    TEntryOrder order(2);
    ASSERT_EQ(order.Take(0), 0u);
    ASSERT_EQ(order.Take(1), 1u);
    ASSERT_EQ(order.Claim(0, c.earlier, c.earlierFolder, false), Go::kInTurn);
    LaterClaim claim{&order, c.later};
    HANDLE thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, ClaimOfSlotOne, &claim, 0, nullptr));
    ASSERT_NE(thread, nullptr);
    // A claim that may not go ahead waits until the earlier entry opens.
    EXPECT_EQ(WaitForSingleObject(thread, c.ahead ? 10000 : 300), c.ahead ? WAIT_OBJECT_0 : WAIT_TIMEOUT)
        << c.later;
    order.Opened(0);
    if (c.waitsForTheWrite) {
      // ... and, where both may be the same file, until it is written.
      EXPECT_EQ(WaitForSingleObject(thread, 300), WAIT_TIMEOUT);
      order.Finish(0);
    }
    EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_EQ(claim.go, c.ahead ? Go::kAhead : Go::kInTurn);
  }
}

TEST(EntryOrder, AnEntryThatWentAheadStandsOnlyIfNoEarlierOneFailed) {
  using Go = TEntryOrder::Go;
  for (const bool earlierFails : {false, true}) {
    TEntryOrder order(3);
    ASSERT_EQ(order.Take(0), 0u);
    ASSERT_EQ(order.Take(1), 1u);
    ASSERT_EQ(order.Claim(0, L"A.TXT", false, true), Go::kInTurn);
    ASSERT_EQ(order.Claim(1, L"B\\C.TXT", false, true), Go::kAhead);
    if (earlierFails) {
      order.Fail(0, "reason");
    } else {
      order.Opened(0);
    }
    EXPECT_EQ(order.Settle(1), !earlierFails);
    order.Finish(0);
    order.Finish(1);
    // After a failure no entry starts any more; otherwise the walk goes on.
    EXPECT_EQ(order.Take(2) == TEntryOrder::kNoEntry, earlierFails);
    EXPECT_EQ(order.Failed(), earlierFails);
  }
}
