#include "transfer/entry_order.h"

#include <utility>

bool PathsMeet(const std::wstring& a, bool aFolder, const std::wstring& b, bool bFolder) {
  // Two folder creations along the same path cannot disturb each other,
  // and a file against a folder is settled by the order of the opens.
  if (aFolder || bFolder) return false;
  return a == b || a.find(L'~') != std::wstring::npos || b.find(L'~') != std::wstring::npos;
}

TEntryOrder::TEntryOrder(unsigned slots) : slots_(slots) {}

bool TEntryOrder::EarlierBusy(uint64_t entry) const {
  for (const Slot& other : slots_) {
    if (other.busy && other.entry < entry) return true;
  }
  return false;
}

bool TEntryOrder::MustWait(const Slot& mine) const {
  for (const Slot& other : slots_) {
    if (!other.busy || other.entry >= mine.entry) continue;
    // An earlier entry that has not opened its file has not taken its
    // turn yet (and one whose name is not read yet may be anything).
    if (!other.opened || PathsMeet(other.path, other.folder, mine.path, mine.folder)) return true;
  }
  return false;
}

uint64_t TEntryOrder::Take(unsigned slot) {
  Guard guard(lock_);
  while (prompting_ > 0 && stopAt_ == kNoEntry) Wait();
  if (stopAt_ != kNoEntry || next_ >= endAt_) return kNoEntry;
  Slot& mine = slots_[slot];
  mine.busy = true;
  mine.opened = false;
  mine.entry = next_++;
  return mine.entry;
}

bool TEntryOrder::Claim(unsigned slot, std::wstring path, bool folder) {
  Guard guard(lock_);
  Slot& mine = slots_[slot];
  mine.path = std::move(path);
  mine.folder = folder;
  Changed();
  while (stopAt_ >= mine.entry && MustWait(mine)) Wait();
  return stopAt_ >= mine.entry;
}

int TEntryOrder::Ask(unsigned slot, int (*ask)(const void*), const void* context) {
  const uint64_t entry = slots_[slot].entry;  // only this thread changes its slot
  {
    Guard guard(lock_);
    ++prompting_;
    // The lowest entry in work is the only one that gets past this wait,
    // so prompts come one at a time and in archive order.
    while (stopAt_ >= entry && EarlierBusy(entry)) Wait();
    if (stopAt_ < entry) {
      --prompting_;
      Changed();
      return kAnswerStopped;
    }
  }
  // The box is shown without the lock: the other threads finish what they
  // hold meanwhile, but start nothing new.
  const int answer = ask(context);
  Guard guard(lock_);
  --prompting_;
  Changed();
  return answer;
}

void TEntryOrder::Opened(unsigned slot) {
  Guard guard(lock_);
  slots_[slot].opened = true;
  Changed();
}

bool TEntryOrder::StoppedBefore(unsigned slot) {
  Guard guard(lock_);
  return stopAt_ < slots_[slot].entry;
}

void TEntryOrder::Fail(unsigned slot, std::string reason) {
  Guard guard(lock_);
  const uint64_t entry = slots_[slot].entry;
  if (entry < stopAt_) {
    stopAt_ = entry;
    reason_ = std::move(reason);
  }
  Changed();
}

void TEntryOrder::EndAt(unsigned slot) {
  Guard guard(lock_);
  if (slots_[slot].entry < endAt_) endAt_ = slots_[slot].entry;
  Changed();
}

void TEntryOrder::Finish(unsigned slot) {
  Guard guard(lock_);
  slots_[slot].busy = false;
  Changed();
}
