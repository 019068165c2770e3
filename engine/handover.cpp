#include "engine/handover.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "engine/app_context.h"
#include "platform/handles.h"
#include "platform/install_log.h"
#include "platform/process_ops.h"
#include "platform/text.h"

namespace {

// The run's log folder inside the install folder. It holds the open log
// (held without sharing), so it is never part of the old or the new tree.
constexpr wchar_t kLogFolderName[] = L"kavimorlog";
constexpr char kJournalHeader[] = "kavimor hand-over journal";
constexpr size_t kPathUnits = 32768;

// FindFirstFileW reports failure as INVALID_HANDLE_VALUE and is closed with
// FindClose, not CloseHandle.
struct FindTraits {
  using Handle = HANDLE;
  static Handle Invalid() { return INVALID_HANDLE_VALUE; }
  static bool IsValid(Handle h) { return h != INVALID_HANDLE_VALUE && h != nullptr; }
  static void Close(Handle h) { ::FindClose(h); }
};
using FindHandle = win::Owner<FindTraits>;

// Both atomic, no lock: the checkpoint is set before any worker runs, and
// Begun is written by the worker and read by the UI thread at exit.
std::atomic<HandOverCheckpoint> Checkpoint{nullptr};
std::atomic<bool> Begun{false};

// The folders are named in the system's code page, the one of the 8-bit
// calls that produced them; the log gets its own GBK form.
std::wstring W(const std::string& path) { return WideFromCodePage(path, CP_ACP, kPathUnits); }
std::string N(const std::wstring& path) { return LogTextOfPath(path); }

std::string ErrorLine(const char* what, const std::wstring& path, DWORD error) {
  char code[32] = {};
  std::snprintf(code, sizeof code, ", error %lu", error);
  return std::string(what) + " " + N(path) + code;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

struct Entry {
  std::wstring name;
  bool folder;
  bool link;  // a reparse point: removed as itself, never followed
};

std::vector<Entry> ListEntries(const std::wstring& folder) {
  std::vector<Entry> entries;
  WIN32_FIND_DATAW data;
  FindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &data));
  if (!find) return entries;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    entries.push_back({name, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                       (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0});
  } while (FindNextFileW(find.get(), &data));
  return entries;
}

bool IsLogFolder(const Entry& entry) {
  return entry.folder && CompareStringOrdinal(entry.name.c_str(), -1, kLogFolderName, -1, TRUE) == CSTR_EQUAL;
}

// Deletes a tree with the file functions (the shell could show its own
// error boxes on the worker thread); read-only files included.
bool DeleteTree(const std::wstring& path, std::vector<std::string>& lines) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return true;
  bool ok = true;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    for (const Entry& entry : ListEntries(path)) ok = DeleteTree(path + L"\\" + entry.name, lines) && ok;
  }
  if (attributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  const BOOL removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(path.c_str())
                                                                : DeleteFileW(path.c_str());
  if (!removed) {
    if (ok) lines.push_back(ErrorLine("Not deleted:", path, GetLastError()));
    return false;
  }
  return ok;
}

// Copies a tree file by file; every file that could not be copied is named.
bool CopyTree(const std::wstring& from, const std::wstring& to, std::vector<std::string>& lines) {
  if (!CreateDirectoryW(to.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    lines.push_back(ErrorLine("Folder not created:", to, GetLastError()));
    return false;
  }
  bool ok = true;
  for (const Entry& entry : ListEntries(from)) {
    const std::wstring source = from + L"\\" + entry.name;
    const std::wstring target = to + L"\\" + entry.name;
    if (entry.folder) {
      ok = CopyTree(source, target, lines) && ok;
    } else if (!CopyFileW(source.c_str(), target.c_str(), TRUE)) {
      lines.push_back(ErrorLine("Not copied:", source, GetLastError()));
      ok = false;
    }
  }
  return ok;
}

// A file that another program holds without delete sharing cannot be renamed
// or deleted; finding it before anything moves keeps the old tree whole.
bool NoFileInUse(const std::wstring& folder, bool top, std::vector<std::string>& lines) {
  bool ok = true;
  for (const Entry& entry : ListEntries(folder)) {
    if (top && IsLogFolder(entry)) continue;
    const std::wstring path = folder + L"\\" + entry.name;
    if (entry.folder) {
      if (!entry.link) ok = NoFileInUse(path, false, lines) && ok;
      continue;
    }
    win::UniqueHandle probe(CreateFileW(path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!probe) {
      lines.push_back(ErrorLine("In use:", path, GetLastError()));
      ok = false;
    }
  }
  return ok;
}

// Renames every entry of `from` (but the log folder) into `to`. With
// `firstMoved`, that point is reached after the first rename.
bool MoveEntries(const std::wstring& from, const std::wstring& to, std::vector<std::string>& lines,
                 HandOverPoint firstMoved = HandOverPoint{}) {
  bool ok = true;
  bool first = true;
  for (const Entry& entry : ListEntries(from)) {
    if (IsLogFolder(entry)) continue;
    const std::wstring source = from + L"\\" + entry.name;
    // No MOVEFILE_COPY_ALLOWED: the swap is renames only, never a slow copy
    // that a kill could cut in half.
    if (!MoveFileExW(source.c_str(), (to + L"\\" + entry.name).c_str(), MOVEFILE_WRITE_THROUGH)) {
      lines.push_back(ErrorLine("Not moved:", source, GetLastError()));
      ok = false;
      continue;
    }
    if (first && firstMoved != HandOverPoint{}) ReachHandOverPoint(firstMoved);
    first = false;
  }
  return ok;
}

bool VolumeSerial(const std::wstring& path, DWORD& serial) {
  win::UniqueHandle handle(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!handle || !GetFileInformationByHandle(handle.get(), &info)) return false;
  serial = info.dwVolumeSerialNumber;
  return true;
}

bool SameVolume(const std::wstring& a, const std::wstring& b) {
  DWORD first = 0;
  DWORD second = 0;
  return VolumeSerial(a, first) && VolumeSerial(b, second) && first == second;
}

const char* PhaseName(HandOverPhase phase) {
  switch (phase) {
    case HandOverPhase::Copying:
      return "copying the new tree";
    case HandOverPhase::MovingAside:
      return "moving the old installation aside";
    case HandOverPhase::MovingIn:
      return "moving the new installation in";
    case HandOverPhase::Committed:
      return "deleting the old installation";
  }
  return "unknown";
}

// Puts the old installation back from whatever an unfinished swap did, or,
// once committed, removes what the new one no longer needs. True when
// nothing is left to do, and the journal is then gone.
bool Settle(const HandOverJournal& j, std::vector<std::string>& lines) {
  const std::wstring install = W(j.installDir);
  const std::wstring source = W(j.sourceDir);
  const std::wstring aside = W(j.asideDir);
  const std::wstring staging = W(j.stagingDir);
  const bool copied = source != staging;
  bool ok = true;
  if (j.phase == HandOverPhase::Committed) {
    ok = DeleteTree(aside, lines) && ok;
    ok = DeleteTree(staging, lines) && ok;
    if (copied) ok = DeleteTree(source, lines) && ok;
    lines.push_back(ok ? "New installation complete" : "New installation complete, old files left over");
  } else {
    CreateDirectoryW(install.c_str(), nullptr);  // in case it went missing meanwhile
    if (j.phase == HandOverPhase::MovingIn) ok = MoveEntries(install, source, lines) && ok;
    if (j.phase >= HandOverPhase::MovingAside && IsFolder(aside)) {
      ok = MoveEntries(aside, install, lines) && ok;
      if (ok) ok = DeleteTree(aside, lines);
    }
    // A copy on the install volume is of no further use once the old
    // installation is back; the staging folder itself stays.
    if (ok && copied) ok = DeleteTree(source, lines);
    lines.push_back(ok ? "Old installation restored" : "Old installation not fully restored");
  }
  if (ok) DeleteFileW(W(HandOverJournalPath(j.stagingDir)).c_str());
  return ok;
}

}  // namespace

std::string HandOverJournalPath(const std::string& stagingDir) { return stagingDir + ".handover"; }

bool WriteHandOverJournal(const std::string& stagingDir, const HandOverJournal& journal) {
  // Plain concatenation: the standard streams would pull their locale
  // machinery into the program.
  const std::string bytes = std::string(kJournalHeader) + "\r\n" +
                            std::to_string(static_cast<int>(journal.phase)) + "\r\n" + journal.installDir +
                            "\r\n" + journal.sourceDir + "\r\n" + journal.asideDir + "\r\n" +
                            journal.stagingDir + "\r\n";
  const std::wstring path = W(HandOverJournalPath(stagingDir));
  const std::wstring partial = path + L".part";
  {
    win::UniqueHandle file(
        CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (!file || !WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size() || !FlushFileBuffers(file.get()))
      return false;
  }
  return MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

bool ReadHandOverJournal(const std::string& stagingDir, HandOverJournal& journal) {
  win::UniqueHandle file(CreateFileW(W(HandOverJournalPath(stagingDir)).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  std::string bytes(65536, '\0');
  DWORD got = 0;
  if (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr)) return false;
  bytes.resize(got);
  std::vector<std::string> lines;
  for (size_t start = 0, end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(bytes.substr(start, end - start));
  if (lines.size() != 6 || lines[0] != kJournalHeader || lines[1].size() != 1 || lines[1][0] < '1' ||
      lines[1][0] > '4')
    return false;
  journal.phase = static_cast<HandOverPhase>(lines[1][0] - '0');
  journal.installDir = lines[2];
  journal.sourceDir = lines[3];
  journal.asideDir = lines[4];
  journal.stagingDir = lines[5];
  return !journal.installDir.empty() && !journal.sourceDir.empty() && !journal.asideDir.empty();
}

void SetHandOverCheckpoint(HandOverCheckpoint checkpoint) { Checkpoint = checkpoint; }

void ReachHandOverPoint(HandOverPoint point) {
  if (HandOverCheckpoint checkpoint = Checkpoint.load()) checkpoint(point);
}

bool HandOverBegun() { return Begun; }

bool TreeHoldsClient(const std::string& folder) {
  const DWORD attributes = GetFileAttributesW(W(folder + "\\" + kClientExeName).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

HandOver::HandOver(const std::string& installDir, const std::string& stagingDir) {
  journal_.installDir = installDir;
  journal_.stagingDir = stagingDir;
  journal_.sourceDir = stagingDir;
  // Siblings of the install folder: on its volume, so every move is a rename.
  journal_.asideDir = installDir + "old";
}

bool HandOver::Record(HandOverPhase phase) {
  journal_.phase = phase;
  if (!WriteHandOverJournal(journal_.stagingDir, journal_)) {
    lines_.push_back(
        ErrorLine("Hand-over journal not written:", W(HandOverJournalPath(journal_.stagingDir)), GetLastError()));
    return false;
  }
  recorded_ = true;
  return true;
}

bool HandOver::MoveOldAside() {
  Begun = true;
  const std::wstring install = W(journal_.installDir);
  const std::wstring staging = W(journal_.stagingDir);
  if (install.empty() || staging.empty() || !IsFolder(staging)) {
    lines_.push_back("Staging folder missing: " + journal_.stagingDir);
    return false;
  }
  CreateFolderPath(journal_.installDir + "\\");
  if (!IsFolder(install)) {
    lines_.push_back("Install folder not created: " + journal_.installDir);
    return false;
  }
  if (!NoFileInUse(install, true, lines_)) return false;
  // Leftovers without a journal belong to no unfinished hand-over.
  if (!DeleteTree(W(journal_.asideDir), lines_)) return false;

  if (!SameVolume(staging, install)) {
    journal_.sourceDir = journal_.installDir + "new";
    if (!DeleteTree(W(journal_.sourceDir), lines_) || !Record(HandOverPhase::Copying)) return false;
    ReachHandOverPoint(HandOverPoint::Begun);
    if (!CopyTree(staging, W(journal_.sourceDir), lines_)) return false;
    ReachHandOverPoint(HandOverPoint::Copied);
  }
  if (!Record(HandOverPhase::MovingAside)) return false;
  if (journal_.sourceDir == journal_.stagingDir) ReachHandOverPoint(HandOverPoint::Begun);
  const std::wstring aside = W(journal_.asideDir);
  if (!CreateDirectoryW(aside.c_str(), nullptr)) {
    lines_.push_back(ErrorLine("Folder not created:", aside, GetLastError()));
    return false;
  }
  if (!MoveEntries(install, aside, lines_, HandOverPoint::OneAside)) return false;
  ReachHandOverPoint(HandOverPoint::AllAside);
  return true;
}

bool HandOver::MoveNewIn() {
  if (!Record(HandOverPhase::MovingIn)) return false;
  if (!MoveEntries(W(journal_.sourceDir), W(journal_.installDir), lines_, HandOverPoint::OneIn)) return false;
  ReachHandOverPoint(HandOverPoint::AllIn);
  if (!Record(HandOverPhase::Committed)) return false;
  ReachHandOverPoint(HandOverPoint::Committed);
  return true;
}

void HandOver::Finish() {
  if (!Settle(journal_, lines_)) {
    // The last line is the summary; the others name what was left over for
    // the next start to delete.
    lines_.pop_back();
    for (const std::string& line : lines_) WriteLog(line.c_str());
  }
  ReachHandOverPoint(HandOverPoint::Finished);
}

void HandOver::RollBack() {
  if (recorded_) {
    lines_.push_back(std::string("Hand-over undone while ") + PhaseName(journal_.phase));
    Settle(journal_, lines_);
  }
  for (const std::string& line : lines_) WriteLog(line.c_str());
}

std::vector<std::string> RecoverInterruptedHandOver(const std::string& stagingDir, bool* settled) {
  std::vector<std::string> lines;
  if (settled != nullptr) *settled = true;
  HandOverJournal journal;
  if (!ReadHandOverJournal(stagingDir, journal)) {
    // A torn or foreign journal names nothing to act on; a leftover
    // partial one is just removed.
    DeleteFileW(W(HandOverJournalPath(stagingDir) + ".part").c_str());
    if (Exists(W(HandOverJournalPath(stagingDir))))
      lines.push_back("Unreadable hand-over journal left as it is: " + HandOverJournalPath(stagingDir));
    return lines;
  }
  lines.push_back(std::string("Interrupted hand-over found while ") + PhaseName(journal.phase) + ": " +
                  journal.installDir);
  if (!Settle(journal, lines)) {
    lines.push_back("Hand-over journal kept for the next start");
    if (settled != nullptr) *settled = false;
  }
  return lines;
}
