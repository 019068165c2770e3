#pragma once
// The order rules of one extraction spread over several threads. Entries
// are handed out in archive order; each thread writes its own entries, and
// this record makes the result the one a single thread walking the archive
// would leave:
//  - an entry whose path could meet the path of an earlier entry still being
//    written (the same file, or a file where the other needs a folder) waits
//    for it, so duplicate names end with the last entry's content;
//  - an entry takes its turn to touch the disk once every earlier entry has
//    opened its file. Before that a file entry may go ahead, making its
//    folders and its file only where nothing is yet, when no earlier entry
//    still opening could be on its path. Such an entry is settled at its
//    end: when an earlier entry failed meanwhile, its file and the folders
//    it made are removed, as one thread would never have made them;
//  - the overwrite prompt is shown for one entry at a time, only once every
//    earlier entry is finished, and no new entry starts while it is up;
//  - the first failing entry (in archive order) stops the walk: no entry
//    after it starts any more, and its reason is the one reported.
// Every thread owns one slot; all fields are guarded by `lock_`, except for
// the reads after every thread has finished (Failed, FirstReason,
// AbandonedFolders).
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

class TEntryOrder {
 public:
  static constexpr uint64_t kNoEntry = UINT64_MAX;
  // Answer of Ask when an earlier entry failed meanwhile: the question is
  // moot and the entry is dropped.
  static constexpr int kAnswerStopped = -1;

  explicit TEntryOrder(unsigned slots);
  TEntryOrder(const TEntryOrder&) = delete;
  TEntryOrder& operator=(const TEntryOrder&) = delete;

  // The next entry for `slot`, or kNoEntry when the walk is over (stopped by
  // a failure or past its end). Waits while a prompt is up.
  uint64_t Take(unsigned slot);
  // How an entry may go on after Claim.
  enum class Go {
    kStopped,  // an earlier entry failed: the entry must not be written
    kInTurn,   // every earlier entry has opened its file
    kAhead,    // earlier entries are still opening; only a new file may be made
  };
  // The entry of `slot` will write `path` (the entry name, upper-cased,
  // without a trailing backslash; a folder entry when `folder`). Waits until
  // it is in turn, or, with `mayGoAhead` (a file entry), until it may go
  // ahead: every earlier name is known and none still opening lies
  // on its path, below it or is it. Either way no earlier entry still
  // writing may have the same path.
  Go Claim(unsigned slot, std::wstring path, bool folder, bool mayGoAhead);
  // An entry that went ahead, at its end: waits until every earlier entry
  // has opened its file or ended. False when an earlier entry failed: what
  // the entry made must be removed and the entry counts as dropped.
  bool Settle(unsigned slot);
  // Folders an entry made ahead and then dropped: removed once every
  // thread is done (AbandonedFolders), when nothing that stays is in them.
  void Abandon(std::vector<std::wstring> folders);
  std::vector<std::wstring> AbandonedFolders() const { return abandoned_; }
  // The entry of `slot` has its folders and its open file: later entries
  // may take their turn.
  void Opened(unsigned slot);
  // Runs `ask(context)` once every earlier entry is finished, with no other
  // prompt up; kAnswerStopped instead when an earlier entry failed.
  int Ask(unsigned slot, int (*ask)(const void*), const void* context);
  // True when an entry before the one of `slot` failed.
  bool StoppedBefore(unsigned slot);
  // The entry of `slot` failed; `reason` is logged when it is the first.
  void Fail(unsigned slot, std::string reason);
  // The entry of `slot` does not exist: the archive lists fewer entries.
  void EndAt(unsigned slot);
  // The entry of `slot` is finished (written, skipped, failed or dropped).
  void Finish(unsigned slot);

  // After every thread has finished: whether an entry failed, and the
  // reason of the first failing entry (empty when it gave none).
  bool Failed() const { return stopAt_ != kNoEntry; }
  const std::string& FirstReason() const { return reason_; }

 private:
  struct Slot {
    bool busy = false;
    bool claimed = false;  // its path is known
    bool opened = false;
    uint64_t entry = 0;
    std::wstring path;
    bool folder = false;
  };

  class Guard {
   public:
    explicit Guard(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~Guard() { ReleaseSRWLockExclusive(&lock_); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

   private:
    SRWLOCK& lock_;
  };

  void Wait() { SleepConditionVariableSRW(&changed_, &lock_, INFINITE, 0); }
  void Changed() { WakeAllConditionVariable(&changed_); }
  bool EarlierBusy(uint64_t entry) const;
  // Whether every earlier entry has opened its file (or ended).
  bool InTurn(const Slot& mine) const;
  // Whether `mine` may go ahead of the earlier entries still opening.
  bool MayGoAhead(const Slot& mine) const;
  // Whether an earlier entry still writing could have the path of `mine`.
  bool MeetsEarlierWriter(const Slot& mine) const;

  SRWLOCK lock_ = SRWLOCK_INIT;
  CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;
  std::vector<Slot> slots_;
  uint64_t next_ = 0;              // next entry to hand out
  uint64_t endAt_ = kNoEntry;      // first entry the archive does not have
  uint64_t stopAt_ = kNoEntry;     // first entry that failed
  unsigned prompting_ = 0;         // threads waiting for or showing a prompt
  std::string reason_;
  std::vector<std::wstring> abandoned_;
};

