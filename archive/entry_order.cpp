#include "archive/entry_order.h"

#include <utility>

namespace {

// Whether two entry paths (upper-cased, '\'-separated, no trailing
// separator) could name the same file: both are files, with the same path,
// or with a '~' in either (a part with '~' may be the short 8.3 alias of
// any other name).
bool PathsMeet(const std::wstring& a, bool aFolder, const std::wstring& b, bool bFolder) {
  // Two folder creations along the same path cannot disturb each other,
  // and a file against a folder is settled by the order of the opens.
  if (aFolder || bFolder) return false;
  return a == b || a.find(L'~') != std::wstring::npos || b.find(L'~') != std::wstring::npos;
}

// Whether `inner` lies inside the folder `outer` (both as for PathsMeet).
bool LiesInside(const std::wstring& inner, const std::wstring& outer) {
  return inner.size() > outer.size() && inner[outer.size()] == L'\\' && inner.compare(0, outer.size(), outer) == 0;
}

}  // namespace

TEntryOrder::TEntryOrder(unsigned slots) : slots_(slots) {}

bool TEntryOrder::EarlierBusy(uint64_t entry) const {
  for (const Slot& other : slots_) {
    if (other.busy && other.entry < entry) return true;
  }
  return false;
}

bool TEntryOrder::InTurn(const Slot& mine) const {
  for (const Slot& other : slots_) {
    if (other.busy && other.entry < mine.entry && !other.opened) return false;
  }
  return true;
}

bool TEntryOrder::MayGoAhead(const Slot& mine) const {
  for (const Slot& other : slots_) {
    if (!other.busy || other.entry >= mine.entry || other.opened) continue;
    // A name not read yet may be anything; a '~' may be the short alias
    // of any name. Otherwise the earlier entry must be on another path
    // than the file and its folders: neither the same name nor a folder
    // that holds or would hold the other.
    if (!other.claimed || other.path.find(L'~') != std::wstring::npos ||
        mine.path.find(L'~') != std::wstring::npos || other.path == mine.path ||
        LiesInside(other.path, mine.path) || LiesInside(mine.path, other.path))
      return false;
  }
  return true;
}

bool TEntryOrder::MeetsEarlierWriter(const Slot& mine) const {
  for (const Slot& other : slots_) {
    if (other.busy && other.entry < mine.entry && other.claimed &&
        PathsMeet(other.path, other.folder, mine.path, mine.folder))
      return true;
  }
  return false;
}

uint64_t TEntryOrder::Take(unsigned slot) {
  Guard guard(lock_);
  while (prompting_ > 0 && stopAt_ == kNoEntry) Wait();
  if (stopAt_ != kNoEntry || next_ >= endAt_) return kNoEntry;
  Slot& mine = slots_[slot];
  mine.busy = true;
  mine.claimed = false;
  mine.opened = false;
  mine.entry = next_++;
  return mine.entry;
}

TEntryOrder::Go TEntryOrder::Claim(unsigned slot, std::wstring path, bool folder, bool mayGoAhead) {
  Guard guard(lock_);
  Slot& mine = slots_[slot];
  mine.path = std::move(path);
  mine.folder = folder;
  mine.claimed = true;
  Changed();
  for (;;) {
    if (stopAt_ < mine.entry) return Go::kStopped;
    if (!MeetsEarlierWriter(mine)) {
      if (InTurn(mine)) return Go::kInTurn;
      if (mayGoAhead && MayGoAhead(mine)) return Go::kAhead;
    }
    Wait();
  }
}

bool TEntryOrder::Settle(unsigned slot) {
  Guard guard(lock_);
  const Slot& mine = slots_[slot];
  while (stopAt_ >= mine.entry && !InTurn(mine)) Wait();
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

void TEntryOrder::Abandon(std::vector<std::wstring> folders) {
  Guard guard(lock_);
  abandoned_.insert(abandoned_.end(), folders.begin(), folders.end());
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
