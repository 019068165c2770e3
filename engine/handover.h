#pragma once
// The hand-over of the staged tree to the install folder, done as a swap
// that a later start can always finish or undo. The old installation's
// entries are renamed aside, the new tree's entries are renamed in, and only
// then is the old tree deleted.
//
// The installer runs elevated but the install and staging folders lie in a
// user's folder, where the user (or any program the user runs) can write.
// So what the swap later acts on lives where only administrators write: a
// journal in the installer's own folder under the machine's program data,
// one per staging folder. It names the install and staging folders, which a
// start compares with the ones it derives itself (a journal naming others is
// refused and nothing is done with it), and lists by name every entry it is
// about to rename, before it renames any; the aside and copy folders are
// derived from the install folder, never read. Undoing is done entry by
// entry from what is found on disk, so it can be cut short and run again any
// number of times. No link is followed: the folders must be real ones, they
// are held open without delete sharing while the swap works in them, and
// deleting never descends into a link.
//
// Paths are 8-bit text in the system's code page at this interface, as
// everywhere in the engine; the journal keeps them as UTF-8.
#include <string>
#include <vector>

#include "platform/handles.h"

// What the journal says was under way when it was last written.
enum class HandOverPhase : int {
  Begun = 0,        // journal written, nothing renamed yet
  Copying = 1,      // the staging tree is being copied to the install folder's volume
  MovingAside = 2,  // old entries are being renamed into the aside folder
  MovingIn = 3,     // new entries are being renamed into the install folder
  Committed = 4,    // the new tree is complete and checked; the aside folder is being deleted
};

struct HandOverJournal {
  HandOverPhase phase = HandOverPhase::Begun;
  bool copied = false;       // the new tree is a copy in <install>new (staging on another volume)
  bool rollingBack = false;  // a rollback began: never go forward again
  std::wstring installDir;
  std::wstring stagingDir;
  std::vector<std::wstring> aside;  // names renamed (or about to be) from the install folder into aside
  std::vector<std::wstring> in;     // names renamed (or about to be) from the new tree into the install folder

  std::wstring AsideDir() const { return installDir + L"old"; }
  std::wstring CopyDir() const { return installDir + L"new"; }
  std::wstring SourceDir() const { return copied ? CopyDir() : stagingDir; }
};

// The journal's format version; a journal of another version is never acted on.
inline constexpr int kHandOverJournalVersion = 2;

// Where the journal of a staging folder lives: <program data>\Kavimor
// \i-<hash of the staging folder>\handover.journal, in a folder only
// administrators and SYSTEM can write (made when missing). Empty, with
// `why`, when that folder is refused.
std::wstring HandOverJournalPath(const std::string& stagingDir, std::string& why);
// Writes a whole journal (the swap appends to it afterwards), flushed and
// renamed into place. For the swap itself and for tests that lay out what
// an interrupted run leaves.
bool WriteHandOverJournal(const std::string& stagingDir, const HandOverJournal& journal);

// What a start found.
enum class JournalState {
  None,            // no journal: nothing unfinished
  Readable,        // a journal of this installer for these folders
  Unreadable,      // cannot be read or parsed
  UnknownVersion,  // written by another version of the installer
  Foreign,         // names other folders than the ones derived for this start
  Refused,         // the state folder is not one only administrators can write
};
JournalState ReadHandOverJournal(const std::string& installDir, const std::string& stagingDir,
                                 HandOverJournal& journal, std::string& why);

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
  OneUndone = 9,  // a rollback or recovery has put its first entry back
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
  // there when a rename from the staging folder fails for that reason),
  // flushes it to disk, and renames the old entries, all but the open log
  // folder, aside.
  bool MoveOldAside();
  // Renames the new tree's entries into the install folder, checks that
  // they are all there, and only then records the commit.
  bool MoveNewIn();
  // Deletes the old tree and the emptied staging folder; drops the journal.
  void Finish();
  // Undoes whatever was done and logs what happened. False when the old
  // installation could not be put back whole: the journal stays for the
  // next start, which goes on from there.
  bool RollBack();

 private:
  bool Record(const std::string& records);
  // Lets go of the folders held during the swap (deleting or renaming them
  // needs that).
  void ReleaseFolders();

  HandOverJournal journal_;
  std::string stagingDir_;          // as the context names it: the journal's key
  std::wstring journalPath_;
  bool recorded_ = false;           // a journal exists for this swap
  std::vector<std::string> lines_;  // what failed, for the log
  // Held without delete sharing from their check to the end of the swap,
  // so that none can be renamed away and replaced by a link meanwhile.
  win::UniqueHandle heldInstall_;
  win::UniqueHandle heldSource_;
  win::UniqueHandle heldAside_;
};

// What a start does about an earlier hand-over.
enum class RecoveryOutcome {
  Nothing,    // no journal
  Settled,    // an unfinished swap was undone, or a committed one completed
  Unsettled,  // a journal that cannot be acted on or could not be settled:
              // nothing may be deleted, the start must stop
};
struct Recovery {
  RecoveryOutcome outcome = RecoveryOutcome::Nothing;
  std::vector<std::string> lines;  // for the install log
  // The install folder the journal is about: the one it names when it
  // could be read (another than this start's when the user picked another
  // since), else this start's.
  std::wstring installDir;
};
// The start sequence's look at what an interrupted run left for the
// install and staging folders of this start. Can itself be interrupted and
// run again.
Recovery RecoverInterruptedHandOver(const std::string& installDir, const std::string& stagingDir);

// Deletes the staging folder (never through a link) unless a hand-over
// journal is still unsettled for it. True when it is gone.
bool DeleteStagingIfSettled(const std::string& installDir, const std::string& stagingDir);

// Whether `path` exists as something other than a real folder: a link
// (reparse point) or a file. A missing path is not.
bool IsLinkOrFile(const std::string& path);

// The client executable is present in a staged (or installed) tree.
bool TreeHoldsClient(const std::string& folder);
