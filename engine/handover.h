#pragma once
// The hand-over of the staged tree to the install folder, done as a swap
// that a later start can always finish or undo. The old installation's
// entries are renamed aside, the new tree's entries are renamed in, and only
// then is the old tree deleted. Before every phase a small journal beside
// the staging folder records where things stand, so that whatever moment the
// process dies at, the next start finds a complete old or a complete new
// installation, or makes one from what the journal names.
//
// Paths are code page 936 text, as everywhere in the engine.
#include <string>
#include <vector>

// What the journal says was under way when it was last written.
enum class HandOverPhase : int {
  Copying = 1,      // the staging tree is being copied to the install folder's volume
  MovingAside = 2,  // old entries are being renamed into the aside folder
  MovingIn = 3,     // new entries are being renamed into the install folder
  Committed = 4,    // the new tree is complete; the aside folder is being deleted
};

struct HandOverJournal {
  HandOverPhase phase = HandOverPhase::Copying;
  std::string installDir;  // the folder whose contents are replaced
  std::string sourceDir;   // the new tree: the staging folder, or its copy on the install volume
  std::string asideDir;    // the old entries while the new ones move in
  std::string stagingDir;  // the staging folder (deleted once the new tree is in place)
};

// Where the journal of a staging folder lives: beside it, so that it stays
// put while the staging folder's entries move away.
std::string HandOverJournalPath(const std::string& stagingDir);
// Replaces the journal in one rename, flushed first: a reader finds either
// the previous or the new record, never a torn one.
bool WriteHandOverJournal(const std::string& stagingDir, const HandOverJournal& journal);
// False when there is no journal or it cannot be read.
bool ReadHandOverJournal(const std::string& stagingDir, HandOverJournal& journal);

// Points inside the hand-over at which a test can stop the process, to see
// what a kill at that moment leaves behind.
enum class HandOverPoint : int {
  Begun = 1,      // journal written, nothing moved yet
  Copied = 2,     // the staging tree is copied to the install volume
  OneAside = 3,   // the first old entry is aside
  AllAside = 4,   // every old entry is aside
  OneIn = 5,      // the first new entry is in place
  AllIn = 6,      // every new entry is in place, not yet committed
  Committed = 7,  // committed, the old tree not yet deleted
  Finished = 8,   // old tree deleted and journal gone; registrations follow
};
using HandOverCheckpoint = void (*)(HandOverPoint);
// Null (the default) in the program.
void SetHandOverCheckpoint(HandOverCheckpoint checkpoint);
void ReachHandOverPoint(HandOverPoint point);

// Whether this process has begun a hand-over (reached the swap). From then
// on the staging tree may be the only complete copy of something, so nothing
// deletes it at exit.
bool HandOverBegun();

// The swap, phase by phase. After a false result RollBack puts the old
// installation back and writes to the install log what failed and what it
// did about it.
class HandOver {
 public:
  HandOver(const std::string& installDir, const std::string& stagingDir);

  // Makes sure the new tree lies on the install folder's volume (copying it
  // there when the staging folder is elsewhere) and renames the old entries,
  // all but the open log folder, aside.
  bool MoveOldAside();
  // Renames the new tree's entries into the install folder and commits.
  bool MoveNewIn();
  // Deletes the old tree and the emptied staging folder; drops the journal.
  void Finish();
  // Undoes whatever the journal says was done and logs what happened.
  void RollBack();

 private:
  bool Record(HandOverPhase phase);

  HandOverJournal journal_;
  bool recorded_ = false;           // a journal exists for this swap
  std::vector<std::string> lines_;  // what failed, for the log
};

// The start sequence's look at what an interrupted run left: with a journal
// beside `stagingDir` it undoes an unfinished swap (or completes a committed
// one) and says what it found and did; without one it does nothing and
// returns no lines. `settled` (when given) turns false when a journal's swap
// could be neither undone nor completed: the staging folder may then hold
// the only copy of something and must stay.
std::vector<std::string> RecoverInterruptedHandOver(const std::string& stagingDir,
                                                    bool* settled = nullptr);

// The client executable is present in a staged (or installed) tree.
bool TreeHoldsClient(const std::string& folder);
