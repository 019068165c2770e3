#include "engine/handover.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/app_context.h"
#include "platform/handles.h"
#include "platform/install_log.h"
#include "platform/process_ops.h"
#include "platform/text.h"
#include "platform/trusted_folder.h"

namespace {

// The run's log folder inside the install folder. It holds the open log
// (held without sharing), so it is never part of the old or the new tree.
constexpr wchar_t kLogFolderName[] = L"kavimorlog";
constexpr char kJournalHeader[] = "kavimor hand-over journal";
constexpr wchar_t kJournalName[] = L"handover.journal";
// An empty folder renamed from the staging folder into the install folder
// tells whether the two lie on one volume.
constexpr wchar_t kProbeName[] = L"kavimor-volume-probe";
constexpr size_t kPathUnits = 32768;
constexpr size_t kJournalLimit = 4 * 1024 * 1024;

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

// A full path, with the "\\?\" form once it is too long for the plain
// file functions (an old tree's deepest entries can be).
std::wstring L(const std::wstring& path) {
  if (path.size() < MAX_PATH - 12 || path.rfind(L"\\\\?\\", 0) == 0) return path;
  std::wstring full(kPathUnits, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (length == 0 || length >= full.size()) return path;
  full.resize(length);
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

std::string ErrorLine(const char* what, const std::wstring& path, DWORD error) {
  char code[32] = {};
  std::snprintf(code, sizeof code, ", error %lu", error);
  return std::string(what) + " " + N(path) + code;
}

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                       nullptr, nullptr);
  std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
  if (size > 0)
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr,
                        nullptr);
  return out;
}

bool FromUtf8(const std::string& text, std::wstring& out) {
  out.clear();
  if (text.empty()) return true;
  const int size =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (size <= 0) return false;
  out.resize(static_cast<size_t>(size));
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), out.data(), size);
  return true;
}

DWORD Attributes(const std::wstring& path) { return GetFileAttributesW(L(path).c_str()); }
bool Exists(const std::wstring& path) { return Attributes(path) != INVALID_FILE_ATTRIBUTES; }
bool IsLink(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}
bool Missing(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// Two spellings of one path: full form, letter case ignored as the file
// system does.
std::wstring FullPath(const std::wstring& path) {
  std::wstring full(kPathUnits, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (length == 0 || length >= full.size()) return path;
  full.resize(length);
  while (full.size() > 3 && full.back() == L'\\') full.pop_back();
  return full;
}
bool SamePath(const std::wstring& a, const std::wstring& b) {
  const std::wstring x = FullPath(a);
  const std::wstring y = FullPath(b);
  return CompareStringOrdinal(x.c_str(), static_cast<int>(x.size()), y.c_str(), static_cast<int>(y.size()),
                              TRUE) == CSTR_EQUAL;
}

struct Entry {
  std::wstring name;
  bool folder;
  bool link;  // a reparse point: renamed or removed as itself, never followed
};

// Every entry of a folder. Any error but the end of the listing fails: a
// folder that cannot be read must never pass for an empty one.
bool ListEntries(const std::wstring& folder, std::vector<Entry>& entries, std::vector<std::string>& lines) {
  entries.clear();
  WIN32_FIND_DATAW data;
  FindHandle find(FindFirstFileW(L(folder + L"\\*").c_str(), &data));
  if (!find) {
    lines.push_back(ErrorLine("Not listed:", folder, GetLastError()));
    return false;
  }
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    entries.push_back({name, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                       (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0});
  } while (FindNextFileW(find.get(), &data));
  const DWORD error = GetLastError();
  if (error != ERROR_NO_MORE_FILES) {
    lines.push_back(ErrorLine("Not listed:", folder, error));
    return false;
  }
  return true;
}

bool IsLogFolder(const std::wstring& name) {
  return CompareStringOrdinal(name.c_str(), -1, kLogFolderName, -1, TRUE) == CSTR_EQUAL;
}

// Opens a file or folder as itself (a link is not followed) with `access`;
// `shareDelete` false keeps anyone else from renaming or deleting it, and so
// from swapping it for a link, while the handle is held.
win::UniqueHandle OpenAsItself(const std::wstring& path, DWORD access, bool shareDelete) {
  return win::UniqueHandle(CreateFileW(L(path).c_str(), access,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | (shareDelete ? FILE_SHARE_DELETE : 0),
                                       nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// Whether an open handle shows a reparse point. Windows reports a junction
// or symbolic link here; Wine reports it only through the attributes read by
// path, which callers check as well.
bool HandleIsLink(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info{};
  return GetFileInformationByHandle(handle, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Opens a folder the swap works in, to be held without delete sharing from
// its check to the end, so that it cannot be renamed away and replaced by a
// link meanwhile. Only a real folder is opened; else the handle is empty.
win::UniqueHandle HoldFolder(const std::wstring& path, std::vector<std::string>& lines) {
  const DWORD attributes = Attributes(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    lines.push_back(ErrorLine("Folder missing:", path, GetLastError()));
    return {};
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || IsLink(attributes)) {
    lines.push_back("Not a real folder, not followed: " + N(path));
    return {};
  }
  win::UniqueHandle handle = OpenAsItself(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE, false);
  if (!handle) {
    lines.push_back(ErrorLine("Folder not opened:", path, GetLastError()));
    return {};
  }
  if (HandleIsLink(handle.get())) {
    lines.push_back("Not a real folder, not followed: " + N(path));
    return {};
  }
  return handle;
}

// Returned for an entry that is a link: it is neither renamed nor deleted.
// Windows would rename or delete the link itself through a handle opened on
// it, but Wine 8 acts on the link's target instead, and an entry of the
// user's folders that is a link is no part of an installation anyway.
constexpr DWORD kIsLink = ERROR_REPARSE_ATTRIBUTE_CONFLICT;

// Renames one entry through a handle on the entry itself. Never replaces
// anything and never copies: across volumes it fails with
// ERROR_NOT_SAME_DEVICE. Zero on success, else the error.
DWORD RenameEntry(const std::wstring& from, const std::wstring& to) {
  if (IsLink(Attributes(from))) return kIsLink;
  win::UniqueHandle entry = OpenAsItself(from, DELETE | SYNCHRONIZE | FILE_READ_ATTRIBUTES, true);
  if (!entry) return GetLastError();
  if (HandleIsLink(entry.get())) return kIsLink;
  const std::wstring target = L(to);
  std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t), 0);
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = FALSE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
  std::memcpy(info->FileName, target.data(), target.size() * sizeof(wchar_t));
  if (!SetFileInformationByHandle(entry.get(), FileRenameInfo, info, static_cast<DWORD>(buffer.size())))
    return GetLastError();
  return 0;
}

// RenameEntry with the log line of a failure.
bool MoveOne(const std::wstring& from, const std::wstring& to, std::vector<std::string>& lines) {
  const DWORD error = RenameEntry(from, to);
  if (error == kIsLink) lines.push_back("Link not followed: " + N(from));
  else if (error != 0) lines.push_back(ErrorLine("Not moved:", from, error));
  return error == 0;
}

// Deletes a file or a folder tree. Each folder is held without delete
// sharing while its entries go, so it cannot be swapped for a link under the
// walk. A link is never descended into, nor deleted: it is named in the log
// and what holds it stays. Read-only files included.
bool DeleteTree(const std::wstring& path, std::vector<std::string>& lines) {
  const DWORD attributes = Attributes(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (Missing(error)) return true;
    lines.push_back(ErrorLine("Not deleted:", path, error));
    return false;
  }
  if (IsLink(attributes)) {
    lines.push_back("Link not followed: " + N(path));
    return false;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    // Held (without the right to delete, which would keep the listing from
    // opening it) while its entries go.
    std::vector<std::string> ignored;
    win::UniqueHandle folder = HoldFolder(path, ignored);
    if (!folder) {
      const DWORD error = GetLastError();
      if (Missing(error)) return true;
      lines.push_back(IsLink(Attributes(path)) ? "Link not followed: " + N(path) : ErrorLine("Not deleted:", path, error));
      return false;
    }
    std::vector<Entry> entries;
    if (!ListEntries(path, entries, lines)) return false;
    bool ok = true;
    for (const Entry& entry : entries) ok = DeleteTree(path + L"\\" + entry.name, lines) && ok;
    if (!ok) return false;  // the folder cannot go while something is left in it
  }
  win::UniqueHandle handle =
      OpenAsItself(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE, false);
  if (!handle) {
    const DWORD error = GetLastError();
    if (Missing(error)) return true;
    lines.push_back(ErrorLine("Not deleted:", path, error));
    return false;
  }
  if (HandleIsLink(handle.get()) || IsLink(Attributes(path))) {
    lines.push_back("Link not followed: " + N(path));
    return false;
  }
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    FILE_BASIC_INFO basic{};
    const DWORD rest = attributes & ~FILE_ATTRIBUTE_READONLY;
    basic.FileAttributes = rest != 0 ? rest : FILE_ATTRIBUTE_NORMAL;
    SetFileInformationByHandle(handle.get(), FileBasicInfo, &basic, sizeof basic);
  }
  FILE_DISPOSITION_INFO disposition{TRUE};
  if (!SetFileInformationByHandle(handle.get(), FileDispositionInfo, &disposition, sizeof disposition)) {
    lines.push_back(ErrorLine("Not deleted:", path, GetLastError()));
    return false;
  }
  return true;
}

// Copies a tree file by file; every file that could not be copied is named.
// A link in the staging tree (which the user can write) is not followed.
bool CopyTree(const std::wstring& from, const std::wstring& to, std::vector<std::string>& lines) {
  if (!CreateDirectoryW(L(to).c_str(), nullptr)) {
    lines.push_back(ErrorLine("Folder not created:", to, GetLastError()));
    return false;
  }
  std::vector<Entry> entries;
  if (!ListEntries(from, entries, lines)) return false;
  bool ok = true;
  for (const Entry& entry : entries) {
    const std::wstring source = from + L"\\" + entry.name;
    const std::wstring target = to + L"\\" + entry.name;
    if (entry.link || IsLink(Attributes(source))) {
      lines.push_back("Link not followed: " + N(source));
      ok = false;
    } else if (entry.folder) {
      ok = CopyTree(source, target, lines) && ok;
    } else if (!CopyFileW(L(source).c_str(), L(target).c_str(), TRUE)) {
      lines.push_back(ErrorLine("Not copied:", source, GetLastError()));
      ok = false;
    }
  }
  return ok;
}

// Writes every file of the new tree through to the disk, so that a power
// loss after the old tree is gone cannot leave zero-filled files behind. The
// whole volume at once where the system allows it (an administrator's
// right), else file by file.
bool FlushFiles(const std::wstring& folder, std::vector<std::string>& lines) {
  std::vector<Entry> entries;
  if (!ListEntries(folder, entries, lines)) return false;
  bool ok = true;
  for (const Entry& entry : entries) {
    const std::wstring path = folder + L"\\" + entry.name;
    if (entry.link) continue;
    if (entry.folder) {
      ok = FlushFiles(path, lines) && ok;
      continue;
    }
    const DWORD attributes = Attributes(path);
    const bool readOnly = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (readOnly) SetFileAttributesW(L(path).c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    win::UniqueHandle file(CreateFileW(L(path).c_str(), GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    const bool flushed = file && FlushFileBuffers(file.get());
    const DWORD error = GetLastError();
    file.reset();
    if (readOnly) SetFileAttributesW(L(path).c_str(), attributes);
    if (!flushed) {
      lines.push_back(ErrorLine("Not written to disk:", path, error));
      ok = false;
    }
  }
  return ok;
}

bool FlushTree(const std::wstring& folder, std::vector<std::string>& lines) {
  wchar_t volume[MAX_PATH] = {};
  if (GetVolumePathNameW(L(folder).c_str(), volume, MAX_PATH)) {
    std::wstring device = volume;
    if (device.size() == 3 && device[1] == L':') {
      win::UniqueHandle handle(CreateFileW((L"\\\\.\\" + device.substr(0, 2)).c_str(), GENERIC_WRITE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
      if (handle && FlushFileBuffers(handle.get())) return true;
    }
  }
  return FlushFiles(folder, lines);
}

// A file that another program holds without delete sharing cannot be renamed
// or deleted; finding it before anything moves keeps the old tree whole.
bool NoFileInUse(const std::wstring& folder, bool top, std::vector<std::string>& lines) {
  std::vector<Entry> entries;
  if (!ListEntries(folder, entries, lines)) return false;
  bool ok = true;
  for (const Entry& entry : entries) {
    if (top && IsLogFolder(entry.name)) continue;
    const std::wstring path = folder + L"\\" + entry.name;
    if (entry.folder) {
      if (!entry.link) ok = NoFileInUse(path, false, lines) && ok;
      continue;
    }
    if (!OpenAsItself(path, DELETE, true)) {
      lines.push_back(ErrorLine("In use:", path, GetLastError()));
      ok = false;
    }
  }
  return ok;
}

// Whether a folder holds no link among its own entries (the log folder of
// the install folder aside: it never moves).
bool NoLinkAtTop(const std::wstring& folder, std::vector<std::string>& lines) {
  std::vector<Entry> entries;
  if (!ListEntries(folder, entries, lines)) return false;
  bool ok = true;
  for (const Entry& entry : entries) {
    if (entry.link && !IsLogFolder(entry.name)) {
      lines.push_back("Link not followed: " + N(folder + L"\\" + entry.name));
      ok = false;
    }
  }
  return ok;
}

// ---------------------------------------------------------------------------
// The journal: UTF-8 lines ending in CR LF. A first block, written whole,
// names the format, the version and the two folders; records are appended
// after it, each flushed before what it announces is done:
//   copy            the new tree is copied into <install>new
//   aside <name>    an entry of the install folder to go aside...
//   moving-aside    ...after the list of them is complete
//   in <name>       an entry of the new tree to go in...
//   moving-in       ...after the list of them is complete
//   committed       the new tree is in place and checked
//   rollback        undoing began
// A last line without its CR LF was cut by a crash and is not counted; so is
// a list of names without the record that closes it (nothing was renamed
// before that record was on disk).


bool ValidName(const std::wstring& name) {
  return !name.empty() && name != L"." && name != L".." && name.find_first_of(L"\\/:") == std::wstring::npos &&
         !IsLogFolder(name);
}

// Appends bytes to the journal and makes them durable before returning.
bool AppendBytes(const std::wstring& path, const std::string& bytes) {
  win::UniqueHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return file && WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size() && FlushFileBuffers(file.get());
}

std::string RecordsOf(const HandOverJournal& j) {
  std::string out;
  const auto line = [&](const char* word, const std::wstring& name) { out += std::string(word) + " " + Utf8(name) + "\r\n"; };
  if (j.copied) out += "copy\r\n";
  if (j.phase >= HandOverPhase::MovingAside) {
    for (const std::wstring& name : j.aside) line("aside", name);
    out += "moving-aside\r\n";
  }
  if (j.phase >= HandOverPhase::MovingIn) {
    for (const std::wstring& name : j.in) line("in", name);
    out += "moving-in\r\n";
  }
  if (j.phase >= HandOverPhase::Committed) out += "committed\r\n";
  if (j.rollingBack) out += "rollback\r\n";
  return out;
}

bool WriteJournalFile(const std::wstring& path, const HandOverJournal& j) {
  const std::string bytes = std::string(kJournalHeader) + "\r\nversion " + std::to_string(kHandOverJournalVersion) +
                            "\r\ninstall " + Utf8(j.installDir) + "\r\nstaging " + Utf8(j.stagingDir) + "\r\n" +
                            RecordsOf(j);
  const std::wstring partial = path + L".part";
  {
    win::UniqueHandle file(CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (!file || !WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size() || !FlushFileBuffers(file.get()))
      return false;
  }
  return MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

JournalState ParseJournal(const std::string& bytes, HandOverJournal& j, std::string& why) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(bytes.substr(start, end - start));
  if (lines.size() < 4 || lines[0] != kJournalHeader || lines[1].rfind("version ", 0) != 0) {
    why = "not a hand-over journal";
    return JournalState::Unreadable;
  }
  if (lines[1] != "version " + std::to_string(kHandOverJournalVersion)) {
    why = lines[1].substr(0, 40);
    return JournalState::UnknownVersion;
  }
  if (lines[2].rfind("install ", 0) != 0 || lines[3].rfind("staging ", 0) != 0 ||
      !FromUtf8(lines[2].substr(8), j.installDir) || !FromUtf8(lines[3].substr(8), j.stagingDir) ||
      j.installDir.empty() || j.stagingDir.empty()) {
    why = "its folders cannot be read";
    return JournalState::Unreadable;
  }
  std::vector<std::wstring> pending;
  for (size_t i = 4; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    const size_t blank = line.find(' ');
    const std::string word = line.substr(0, blank);
    if (word == "aside" || word == "in") {
      std::wstring name;
      if (blank == std::string::npos || !FromUtf8(line.substr(blank + 1), name) || !ValidName(name)) {
        why = "an entry name is not a plain name";
        return JournalState::Foreign;
      }
      pending.push_back(name);
    } else if (word == "copy" && j.phase == HandOverPhase::Begun) {
      j.copied = true;
      j.phase = HandOverPhase::Copying;
    } else if (word == "moving-aside" && j.phase < HandOverPhase::MovingAside) {
      j.aside = std::move(pending);
      j.phase = HandOverPhase::MovingAside;
    } else if (word == "moving-in" && j.phase == HandOverPhase::MovingAside) {
      j.in = std::move(pending);
      j.phase = HandOverPhase::MovingIn;
    } else if (word == "committed" && j.phase == HandOverPhase::MovingIn && !j.rollingBack) {
      j.phase = HandOverPhase::Committed;
    } else if (word == "rollback" && j.phase != HandOverPhase::Committed) {
      j.rollingBack = true;
    } else {
      why = "record out of order or unknown: " + line.substr(0, 40);
      return JournalState::Unreadable;
    }
    if (word != "aside" && word != "in") pending.clear();
  }
  return JournalState::Readable;
}

// ---------------------------------------------------------------------------
// Undoing, from what is on disk: an entry still where it came from needs
// nothing, one where it went is renamed back. Run any number of times, cut
// short anywhere, it ends in the same place.

struct UndoResult {
  bool whole = true;  // everything the journal names is back
  bool first = true;  // no entry put back yet in this pass
};

// `old`: the entry belongs to the old installation, which must come back
// whole; an entry of the new tree that went missing is only named.
void UndoMove(const std::wstring& from, const std::wstring& to, bool old, UndoResult& result,
              std::vector<std::string>& lines) {
  const bool there = Exists(from);
  const bool moved = Exists(to);
  if (there && !moved) return;  // never moved, or already back
  if (!there && !moved) {
    lines.push_back("Missing, not restored: " + N(from));
    if (old) result.whole = false;
    return;
  }
  if (there && moved) {
    lines.push_back("Both in place, not restored: " + N(from));
    result.whole = false;
    return;
  }
  if (!MoveOne(to, from, lines)) {
    result.whole = false;
    return;
  }
  if (result.first) ReachHandOverPoint(HandOverPoint::OneUndone);
  result.first = false;
}

void RemoveProbes(const HandOverJournal& j) {
  RemoveDirectoryW(L(j.stagingDir + L"\\" + kProbeName).c_str());
  RemoveDirectoryW(L(j.installDir + L"\\" + kProbeName).c_str());
}

// Puts the old installation back; true when it is whole in the install
// folder again and the swap's own folders are gone.
bool Undo(const HandOverJournal& j, std::vector<std::string>& lines) {
  RemoveProbes(j);
  const std::wstring source = j.SourceDir();
  const std::wstring aside = j.AsideDir();
  // Every folder entries go back into or out of must be a real one, held
  // so that it stays one while they move.
  if (!Exists(j.installDir) && !CreateDirectoryW(L(j.installDir).c_str(), nullptr)) {
    lines.push_back(ErrorLine("Install folder not created:", j.installDir, GetLastError()));
    return false;
  }
  std::vector<win::UniqueHandle> held;
  for (const std::wstring& folder : {j.installDir, aside, source}) {
    if (folder != j.installDir && !Exists(folder)) continue;
    held.push_back(HoldFolder(folder, lines));
    if (!held.back()) return false;
  }
  UndoResult result;
  if (j.phase >= HandOverPhase::MovingIn)
    for (auto name = j.in.rbegin(); name != j.in.rend(); ++name)
      UndoMove(source + L"\\" + *name, j.installDir + L"\\" + *name, false, result, lines);
  if (j.phase >= HandOverPhase::MovingAside)
    for (auto name = j.aside.rbegin(); name != j.aside.rend(); ++name)
      UndoMove(j.installDir + L"\\" + *name, aside + L"\\" + *name, true, result, lines);
  held.clear();
  if (!result.whole) return false;
  // The aside folder is the swap's own; anything left in it was not in the
  // list, so it is kept rather than deleted.
  if (Exists(aside) && !RemoveDirectoryW(L(aside).c_str())) {
    lines.push_back(ErrorLine("Not deleted:", aside, GetLastError()));
    return false;
  }
  // A copy on the install volume is of no further use once the old
  // installation is back; the staging folder itself stays.
  return !j.copied || DeleteTree(j.CopyDir(), lines);
}

// A committed swap: the new tree is in place; what is left of the old one
// and of the staging tree goes.
bool Complete(const HandOverJournal& j, std::vector<std::string>& lines) {
  RemoveProbes(j);
  bool ok = DeleteTree(j.AsideDir(), lines);
  ok = DeleteTree(j.stagingDir, lines) && ok;
  if (j.copied) ok = DeleteTree(j.CopyDir(), lines) && ok;
  return ok;
}

const char* PhaseName(HandOverPhase phase) {
  switch (phase) {
    case HandOverPhase::Begun:
      return "beginning the hand-over";
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

// Settles a journal; true when nothing is left to do, and the journal is
// then gone.
bool Settle(const HandOverJournal& j, const std::wstring& journalPath, std::vector<std::string>& lines) {
  const bool committed = j.phase == HandOverPhase::Committed;
  if (!committed && !j.rollingBack && j.phase != HandOverPhase::Begun) AppendBytes(journalPath, "rollback\r\n");
  bool ok = committed ? Complete(j, lines) : Undo(j, lines);
  // A journal that stays would have the next start do it all again; that is
  // harmless, but it is not settled.
  if (ok && !DeleteFileW(journalPath.c_str()) && !Missing(GetLastError())) {
    lines.push_back(ErrorLine("Hand-over journal not removed:", journalPath, GetLastError()));
    ok = false;
  }
  if (committed) lines.push_back(ok ? "New installation complete" : "New installation complete, old files left over");
  else lines.push_back(ok ? "Old installation restored" : "Old installation not fully restored");
  return ok;
}

bool StagingFolderIs(const HandOverJournal& j, const std::string& installDir, const std::string& stagingDir) {
  return SamePath(j.installDir, W(installDir)) && SamePath(j.stagingDir, W(stagingDir));
}

}  // namespace

std::wstring HandOverJournalPath(const std::string& stagingDir, std::string& why) {
  const std::wstring staging = W(stagingDir);
  if (staging.empty()) {
    why = "the staging folder has no name";
    return {};
  }
  std::wstring folder;
  if (!trusted::EnsureTrustedFolder(trusted::InstallStateName(FullPath(staging)), folder, why)) return {};
  return folder + L"\\" + kJournalName;
}

bool WriteHandOverJournal(const std::string& stagingDir, const HandOverJournal& journal) {
  std::string why;
  const std::wstring path = HandOverJournalPath(stagingDir, why);
  return !path.empty() && WriteJournalFile(path, journal);
}

JournalState ReadHandOverJournal(const std::string& installDir, const std::string& stagingDir,
                                 HandOverJournal& journal, std::string& why) {
  journal = HandOverJournal{};
  const std::wstring path = HandOverJournalPath(stagingDir, why);
  if (path.empty()) return JournalState::Refused;
  DeleteFileW((path + L".part").c_str());  // a whole journal was never renamed from it
  win::UniqueHandle file(
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    const DWORD error = GetLastError();
    if (Missing(error)) return JournalState::None;
    why = "it cannot be opened (error " + std::to_string(error) + ")";
    return JournalState::Unreadable;
  }
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size) || size.QuadPart > static_cast<LONGLONG>(kJournalLimit)) {
    why = "it is too large";
    return JournalState::Unreadable;
  }
  std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
  DWORD got = 0;
  if (!bytes.empty() && (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) ||
                         got != bytes.size())) {
    why = "it cannot be read";
    return JournalState::Unreadable;
  }
  const JournalState state = ParseJournal(bytes, journal, why);
  if (state != JournalState::Readable) return state;
  if (!StagingFolderIs(journal, installDir, stagingDir)) {
    why = "it names " + N(journal.installDir) + " and " + N(journal.stagingDir);
    return JournalState::Foreign;
  }
  return JournalState::Readable;
}

void SetHandOverCheckpoint(HandOverCheckpoint checkpoint) { Checkpoint = checkpoint; }

void ReachHandOverPoint(HandOverPoint point) {
  if (HandOverCheckpoint checkpoint = Checkpoint.load()) checkpoint(point);
}

bool HandOverBegun() { return Begun; }

bool TreeHoldsClient(const std::string& folder) {
  const DWORD attributes = Attributes(W(folder + "\\" + kClientExeName));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool IsLinkOrFile(const std::string& path) {
  const DWORD attributes = Attributes(W(path));
  return attributes != INVALID_FILE_ATTRIBUTES && (IsLink(attributes) || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0);
}

HandOver::HandOver(const std::string& installDir, const std::string& stagingDir) : stagingDir_(stagingDir) {
  journal_.installDir = W(installDir);
  journal_.stagingDir = W(stagingDir);
}

bool HandOver::Record(const std::string& records) {
  if (AppendBytes(journalPath_, records)) return true;
  lines_.push_back(ErrorLine("Hand-over journal not written:", journalPath_, GetLastError()));
  return false;
}

void HandOver::ReleaseFolders() {
  heldInstall_.reset();
  heldSource_.reset();
  heldAside_.reset();
}

bool HandOver::MoveOldAside() {
  Begun = true;
  const std::wstring& install = journal_.installDir;
  const std::wstring& staging = journal_.stagingDir;
  if (install.empty() || staging.empty() || !IsFolder(L(staging))) {
    lines_.push_back("Staging folder missing: " + stagingDir_);
    return false;
  }
  heldSource_ = HoldFolder(staging, lines_);
  if (!heldSource_) return false;
  if (!Exists(install) && !CreateDirectoryW(L(install).c_str(), nullptr)) {
    lines_.push_back(ErrorLine("Install folder not created:", install, GetLastError()));
    return false;
  }
  heldInstall_ = HoldFolder(install, lines_);
  if (!heldInstall_ || !NoFileInUse(install, true, lines_)) return false;
  // The aside and copy folders are derived from the install folder and made
  // fresh by the swap; one that is there already without a journal belongs
  // to nothing the installer knows of and may hold the only copy of
  // something: it is left as it is, and the swap does not start.
  for (const std::wstring& own : {journal_.AsideDir(), journal_.CopyDir()}) {
    if (Exists(own)) {
      lines_.push_back("In the way, left as it is: " + N(own));
      return false;
    }
  }
  std::string why;
  journalPath_ = HandOverJournalPath(stagingDir_, why);
  if (journalPath_.empty()) {
    lines_.push_back("Installer state folder refused: " + why);
    return false;
  }
  if (!WriteJournalFile(journalPath_, journal_)) {
    lines_.push_back(ErrorLine("Hand-over journal not written:", journalPath_, GetLastError()));
    return false;
  }
  recorded_ = true;

  // Whether the new tree can be renamed into place is found by trying it.
  const std::wstring probe = staging + L"\\" + kProbeName;
  if (!CreateDirectoryW(L(probe).c_str(), nullptr)) {
    lines_.push_back(ErrorLine("Folder not created:", probe, GetLastError()));
    return false;
  }
  const DWORD probeError = RenameEntry(probe, install + L"\\" + kProbeName);
  RemoveProbes(journal_);
  if (probeError == ERROR_NOT_SAME_DEVICE) {
    if (!Record("copy\r\n")) return false;
    journal_.copied = true;
    journal_.phase = HandOverPhase::Copying;
    ReachHandOverPoint(HandOverPoint::Begun);
    if (!CopyTree(staging, journal_.CopyDir(), lines_)) return false;
    ReachHandOverPoint(HandOverPoint::Copied);
    heldSource_ = HoldFolder(journal_.CopyDir(), lines_);
    if (!heldSource_) return false;
  } else if (probeError != 0) {
    lines_.push_back(ErrorLine("Not moved:", probe, probeError));
    return false;
  }

  // An entry that is a link is moved nowhere (Wine would move its target);
  // found before anything moves, it leaves the old tree as it is.
  if (!NoLinkAtTop(install, lines_) || !NoLinkAtTop(journal_.SourceDir(), lines_)) return false;

  // On disk before anything old moves: after a power loss the new tree
  // must not be zero-filled files while the old one is already aside.
  if (!FlushTree(journal_.SourceDir(), lines_)) return false;

  std::vector<Entry> entries;
  if (!ListEntries(install, entries, lines_)) return false;
  std::string records;
  for (const Entry& entry : entries) {
    if (IsLogFolder(entry.name)) continue;
    journal_.aside.push_back(entry.name);
    records += "aside " + Utf8(entry.name) + "\r\n";
  }
  const std::wstring aside = journal_.AsideDir();
  if (!Record(records + "moving-aside\r\n")) return false;
  journal_.phase = HandOverPhase::MovingAside;
  if (!journal_.copied) ReachHandOverPoint(HandOverPoint::Begun);
  if (!CreateDirectoryW(L(aside).c_str(), nullptr)) {
    lines_.push_back(ErrorLine("Folder not created:", aside, GetLastError()));
    return false;
  }
  heldAside_ = HoldFolder(aside, lines_);
  if (!heldAside_) return false;
  bool first = true;
  for (const std::wstring& name : journal_.aside) {
    if (!MoveOne(install + L"\\" + name, aside + L"\\" + name, lines_)) return false;
    if (first) ReachHandOverPoint(HandOverPoint::OneAside);
    first = false;
  }
  ReachHandOverPoint(HandOverPoint::AllAside);
  return true;
}

bool HandOver::MoveNewIn() {
  const std::wstring source = journal_.SourceDir();
  const std::wstring& install = journal_.installDir;
  std::vector<Entry> entries;
  if (!ListEntries(source, entries, lines_)) return false;
  std::string records;
  for (const Entry& entry : entries) {
    if (IsLogFolder(entry.name)) continue;  // the install folder's own log folder stays
    journal_.in.push_back(entry.name);
    records += "in " + Utf8(entry.name) + "\r\n";
  }
  if (!Record(records + "moving-in\r\n")) return false;
  journal_.phase = HandOverPhase::MovingIn;
  bool first = true;
  for (const std::wstring& name : journal_.in) {
    if (!MoveOne(source + L"\\" + name, install + L"\\" + name, lines_)) return false;
    if (first) ReachHandOverPoint(HandOverPoint::OneIn);
    first = false;
  }
  ReachHandOverPoint(HandOverPoint::AllIn);
  // The commit is recorded only once the whole new tree is seen in place.
  for (const std::wstring& name : journal_.in) {
    if (!Exists(install + L"\\" + name) || Exists(source + L"\\" + name)) {
      lines_.push_back("Not in place after the move: " + N(install + L"\\" + name));
      return false;
    }
  }
  if (!IsFolder(L(install)) || !Exists(install + L"\\" + W(kClientExeName))) {
    lines_.push_back("Client program not in place after the move: " + N(install));
    return false;
  }
  if (!Record("committed\r\n")) return false;
  journal_.phase = HandOverPhase::Committed;
  ReachHandOverPoint(HandOverPoint::Committed);
  return true;
}

void HandOver::Finish() {
  ReleaseFolders();
  std::vector<std::string> lines;
  if (!Settle(journal_, journalPath_, lines)) {
    // The last line is the summary; the others name what was left over for
    // the next start to delete.
    lines.pop_back();
    for (const std::string& line : lines) WriteLog(line.c_str());
  }
  ReachHandOverPoint(HandOverPoint::Finished);
}

bool HandOver::RollBack() {
  ReleaseFolders();
  bool whole = true;
  if (recorded_) {
    lines_.push_back(std::string("Hand-over undone while ") + PhaseName(journal_.phase));
    whole = Settle(journal_, journalPath_, lines_);
  }
  for (const std::string& line : lines_) WriteLog(line.c_str());
  return whole;
}

Recovery RecoverInterruptedHandOver(const std::string& installDir, const std::string& stagingDir) {
  Recovery recovery;
  HandOverJournal journal;
  std::string why;
  const JournalState state = ReadHandOverJournal(installDir, stagingDir, journal, why);
  recovery.installDir = journal.installDir.empty() ? W(installDir) : journal.installDir;
  // The journal of the previous installer lay in the user's folder, where
  // anyone could have written it: it is never acted on.
  const std::string legacy = stagingDir + ".handover";
  if (GetFileAttributesW(W(legacy).c_str()) != INVALID_FILE_ATTRIBUTES)
    recovery.lines.push_back("Hand-over journal in the user's folder not used: " + LogTextOfPath(legacy));
  switch (state) {
    case JournalState::None:
      return recovery;
    case JournalState::Refused:
      // Nothing of this installer's can be in a folder it would not use.
      recovery.lines.push_back("Installer state folder refused: " + why);
      return recovery;
    case JournalState::Unreadable:
      recovery.lines.push_back("Hand-over journal unreadable, nothing done: " + why);
      recovery.outcome = RecoveryOutcome::Unsettled;
      return recovery;
    case JournalState::UnknownVersion:
      recovery.lines.push_back("Hand-over journal of another installer version, nothing done: " + why);
      recovery.outcome = RecoveryOutcome::Unsettled;
      return recovery;
    case JournalState::Foreign:
      recovery.lines.push_back("Hand-over journal for other folders refused, nothing done: " + why);
      recovery.outcome = RecoveryOutcome::Unsettled;
      return recovery;
    case JournalState::Readable:
      break;
  }
  recovery.lines.push_back(std::string("Interrupted hand-over found while ") + PhaseName(journal.phase) + ": " +
                           N(journal.installDir));
  const std::wstring path = HandOverJournalPath(stagingDir, why);
  if (Settle(journal, path, recovery.lines)) {
    recovery.outcome = RecoveryOutcome::Settled;
  } else {
    recovery.lines.push_back("Hand-over journal kept for the next start");
    recovery.outcome = journal.phase == HandOverPhase::Committed ? RecoveryOutcome::Settled
                                                                  : RecoveryOutcome::Unsettled;
  }
  return recovery;
}

bool DeleteStagingIfSettled(const std::string& installDir, const std::string& stagingDir) {
  HandOverJournal journal;
  std::string why;
  const JournalState state = ReadHandOverJournal(installDir, stagingDir, journal, why);
  // A committed swap no longer needs anything in the staging folder.
  const bool committed = state == JournalState::Readable && journal.phase == HandOverPhase::Committed;
  if (state != JournalState::None && state != JournalState::Refused && !committed) return false;
  std::vector<std::string> lines;
  return DeleteTree(W(stagingDir), lines);
}
