#include "archive/tunzip.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "archive/entry_order.h"
#include "platform/handles.h"
#include "platform/install_log.h"
#include "platform/process_ops.h"
#include "platform/text.h"
#include "platform/unattended.h"

namespace {

constexpr size_t kPathBuffer = 260;     // every path here, terminator included
// File data moves in pieces of this size: under Wine every WriteFile is a
// trip through the system, and most entries fit one piece whole.
constexpr unsigned kWriteBuffer = 256 * 1024;
constexpr unsigned kMaxThreads = 4;
constexpr uLong kNameBuffer = 260;
constexpr uLong kCommentBuffer = 255;
constexpr uLong kFolderAttribute = 0x10;  // MS-DOS directory bit of the external attributes

// Paths are code page 936 text, where a lead byte's partner may be 0x5C:
// "乗" is 81 5C. Every scan for separators walks whole characters.
bool IsLeadByte(char c) { return IsDBCSLeadByteEx(kGbkCodePage, static_cast<BYTE>(c)) != FALSE; }

// The wide form of 8-bit path text, or empty when the bytes are not text in
// the code page (a lone lead byte, say): the 8-bit file functions would turn
// those into '?' and fail on a name nobody can create. Entry names are the
// package's code page 936; the destination folder comes from the system's
// 8-bit calls and is in the system's code page.
std::wstring WidePath(const std::string& text, unsigned codePage = kGbkCodePage) {
  if (text.empty()) return {};
  const int length = static_cast<int>(text.size());
  const int units = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
  if (units <= 0) return {};
  std::wstring wide(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), length, wide.data(), units);
  return wide;
}

// Calls `visit(position, isSingleByte)` for every character of `text`.
template <typename Visit>
void ForEachCharacter(const std::string& text, Visit visit) {
  for (size_t i = 0; i < text.size();) {
    if (IsLeadByte(text[i]) && i + 1 < text.size()) {
      visit(i, false);
      i += 2;
    } else {
      visit(i, true);
      i += 1;
    }
  }
}

void SlashesToBackslashes(std::string& text) {
  ForEachCharacter(text, [&](size_t i, bool single) {
    if (single && text[i] == '/') text[i] = '\\';
  });
}

// The text split at single-byte backslashes, empty parts included.
std::vector<std::string> SplitAtBackslashes(const std::string& text) {
  std::vector<std::string> parts(1);
  ForEachCharacter(text, [&](size_t i, bool single) {
    if (single && text[i] == '\\') {
      parts.emplace_back();
    } else {
      parts.back().append(text, i, single ? 1 : 2);
    }
  });
  return parts;
}

bool EndsWithSeparator(const std::string& text) {
  bool ends = false;
  ForEachCharacter(text, [&](size_t i, bool single) { ends = single && (text[i] == '\\' || text[i] == '/'); });
  return ends;
}

// Folder, then a backslash unless the folder already ends in one, then the
// name; an empty folder gives the name alone.
std::string Join(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return EndsWithSeparator(folder) ? folder + name : folder + "\\" + name;
}

bool FitsPathBuffer(const std::string& path) { return path.size() < kPathBuffer; }

bool IsReservedDeviceName(const std::string& part) {
  // Windows maps these names to devices in any folder and with any
  // extension ("nul.txt"), ignoring spaces before the extension.
  std::string base = part.substr(0, part.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"};
  for (const char* device : kDevices) {
    if (_stricmp(base.c_str(), device) == 0) return true;
  }
  if (base.size() == 4 && (_strnicmp(base.c_str(), "COM", 3) == 0 || _strnicmp(base.c_str(), "LPT", 3) == 0) &&
      base[3] >= '0' && base[3] <= '9')
    return true;
  return false;
}

// The full form of a path, or empty when it does not fit the buffer.
std::string FullPath(const std::string& path) {
  char full[kPathBuffer] = {};
  DWORD length = GetFullPathNameA(path.c_str(), static_cast<DWORD>(kPathBuffer), full, nullptr);
  if (length == 0 || length >= kPathBuffer) return {};
  return std::string(full, length);
}

// After the join, the target must still lie strictly below the destination
// as Windows resolves both.
bool LiesBelow(const std::string& destination, const std::string& target) {
  std::string root = FullPath(destination);
  std::string full = FullPath(target);
  if (root.empty() || full.empty()) return false;
  if (!EndsWithSeparator(root)) root += '\\';
  return full.size() > root.size() && full.compare(0, root.size(), root) == 0;
}

// A file that cannot be created: ask whether to stop, try again or skip it.
int AskAboutLockedFile(const std::string& entryName) {
  // Nobody is there to answer: the safe answer stops the installation
  // before a half-updated file set is handed over.
  if (UnattendedRun()) {
    WriteLog(("Unattended: cannot overwrite " + entryName + ", answered Abort").c_str());
    return IDABORT;
  }
  static const std::string kCaption = Gbk(u8"警告");
  static const std::string kFormat = Gbk(u8"无法覆盖文件\"%s\",该文件可能正被使用!\n是否终止升级?");
  char text[1024] = {};
  std::snprintf(text, sizeof text, kFormat.c_str(), entryName.c_str());
  return MessageBoxA(nullptr, text, kCaption.c_str(), MB_ABORTRETRYIGNORE);
}

// Creation and last-write time from the entry's DOS time, read as local
// time; the last-access time stays. Set on the handle that wrote the data,
// after the last write. Best effort: a file whose times cannot be set keeps
// those of its writing.
void RestoreFileTime(HANDLE file, uLong dosDate) {
  FILETIME local{}, utc{};
  if (!DosDateTimeToFileTime(HIWORD(dosDate), LOWORD(dosDate), &local)) return;
  if (!LocalFileTimeToFileTime(&local, &utc)) return;
  SetFileTime(file, &utc, nullptr, &utc);
}

bool IsDiskFull(DWORD error) { return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL; }

// The log line for an entry the system refused to store: its code and its
// own words for it ("There is not enough space on the disk."), in GBK.
std::string StoreFailureLine(const std::string& entryName, DWORD error) {
  wchar_t* text = nullptr;
  FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                 nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message = text != nullptr ? text : L"";
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == L'\r' || message.back() == L'\n' || message.back() == L' '))
    message.pop_back();
  char line[2046] = {};
  std::snprintf(line, sizeof line, "Unzip Fail,code:%lu,message:%s,file:%s", static_cast<unsigned long>(error),
                NarrowToCodePage(message, kGbkCodePage, 1024).c_str(), entryName.c_str());
  return line;
}

// Creates `path` as a folder; true when it is one afterwards. `last` asks
// for the look at an existing one: a file of that name "exists" too, but
// nothing can be put inside it. Inside a path the next creation finds that
// out by itself. `made`, when given, collects the folder when this call
// created it.
bool CreateFolder(const std::wstring& path, bool last, DWORD* error, std::vector<std::wstring>* made = nullptr) {
  if (CreateDirectoryW(path.c_str(), nullptr)) {
    if (made != nullptr) made->push_back(path);
    return true;
  }
  const DWORD code = GetLastError();
  if (code != ERROR_ALREADY_EXISTS) {
    *error = code;
    return false;
  }
  return !last || IsFolder(path);
}

// What one extraction thread keeps between its entries: the data buffer and
// the last folder it made sure of (folders are never removed during an
// extraction, so one that exists stays).
struct EntryWriter {
  std::unique_ptr<char[]> buffer{new char[kWriteBuffer]};
  std::wstring knownFolder;

  // Every folder of `relative` (a clean entry name, '\'-separated) below
  // `root` (which exists and ends in a separator), skipping those known;
  // `made` collects the ones created here.
  bool MakeFoldersBelow(const std::wstring& root, const std::wstring& relative, DWORD* error,
                        std::vector<std::wstring>* made = nullptr) {
    const std::wstring folder = root + relative;
    if (folder == knownFolder) return true;
    for (size_t cut = relative.find(L'\\');; cut = relative.find(L'\\', cut + 1)) {
      const bool last = cut == std::wstring::npos;
      const std::wstring prefix = root + relative.substr(0, cut);
      const bool known = knownFolder.size() >= prefix.size() && knownFolder.compare(0, prefix.size(), prefix) == 0 &&
                         (knownFolder.size() == prefix.size() || knownFolder[prefix.size()] == L'\\');
      if (!known && !CreateFolder(prefix, last, error, made)) return false;
      if (last) break;
    }
    knownFolder = folder;
    return true;
  }
};

enum class Outcome { kExtracted, kFailed, kDropped };

struct EntryResult {
  Outcome outcome;
  std::string reason;  // a log line, for failures the system gave a reason for
};

// One entry's turn: alone (ExtractCurrent) or as one of several threads.
struct Turn {
  TEntryOrder* order = nullptr;
  unsigned slot = 0;
  uint64_t entry = 0;  // the entry's place in the archive

  TEntryOrder::Go Claim(const std::wstring& name, bool folder, bool mayGoAhead) const {
    if (order == nullptr) return TEntryOrder::Go::kInTurn;
    std::wstring path = name;
    while (!path.empty() && path.back() == L'\\') path.pop_back();
    CharUpperBuffW(path.data(), static_cast<DWORD>(path.size()));
    return order->Claim(slot, std::move(path), folder, mayGoAhead);
  }
  bool Settle() const { return order == nullptr || order->Settle(slot); }
  void Abandon(std::vector<std::wstring> folders) const {
    if (order != nullptr && !folders.empty()) order->Abandon(std::move(folders));
  }
  void Opened() const {
    if (order != nullptr) order->Opened(slot);
  }
  bool Stopped() const { return order != nullptr && order->StoppedBefore(slot); }
  int Ask(const std::string& entryName) const {
    auto ask = [](const void* name) { return AskAboutLockedFile(*static_cast<const std::string*>(name)); };
    if (order == nullptr) return ask(&entryName);
    return order->Ask(slot, ask, &entryName);
  }
};

EntryResult WriteEntry(unzFile zip, HANDLE file, const std::string& name, uLong dosDate, EntryWriter& writer,
                       const Turn& turn);

// The current entry of `zip` into `destination` (which exists).
EntryResult ExtractEntry(unzFile zip, const std::string& destination, const TUnzip& unzip, EntryWriter& writer,
                         const Turn& turn) {
  const EntryResult failed{Outcome::kFailed, {}};
  unz_file_info info{};
  char rawName[kNameBuffer] = {};
  char comment[kCommentBuffer] = {};
  // A record that cannot be read names nothing that could be extracted.
  if (unzGetCurrentFileInfo(zip, &info, rawName, kNameBuffer, nullptr, 0, comment, kCommentBuffer) != UNZ_OK)
    return failed;
  // A name that fills the buffer arrives without terminator, and one with
  // a zero byte inside would be cut short: both are refused.
  if (info.size_filename >= kNameBuffer || std::strlen(rawName) != info.size_filename) return failed;
  std::string name(rawName);
  SlashesToBackslashes(name);
  const bool isFolder = (info.external_fa & kFolderAttribute) != 0;
  if (!IsSafeEntryName(name.c_str(), isFolder)) return failed;
  const std::string rootPart = SplitAtBackslashes(name).front();
  for (const std::string& refused : unzip.refusedRootNames)
    if (_stricmp(rootPart.c_str(), refused.c_str()) == 0) return {Outcome::kFailed, "Unzip Fail,reserved name:" + name};

  const std::string target = Join(destination, name);
  if (!FitsPathBuffer(target) || !LiesBelow(destination, target)) return failed;
  // The destination's part of the joined path (with the separator Join
  // added) and the name, each converted on its own.
  const std::wstring root = WidePath(target.substr(0, target.size() - name.size()), CP_ACP);
  std::wstring wideName = WidePath(name);
  if (root.empty() || wideName.empty()) return failed;
  // A file may go ahead of earlier entries still opening theirs, as a new
  // file; what it makes before its turn is undone if it is dropped.
  TEntryOrder::Go go = turn.Claim(wideName, isFolder, !isFolder);
  if (go == TEntryOrder::Go::kStopped) return {Outcome::kDropped, {}};

  DWORD error = 0;
  if (isFolder) {
    while (!wideName.empty() && wideName.back() == L'\\') wideName.pop_back();
    if (writer.MakeFoldersBelow(root, wideName, &error)) {
      turn.Opened();
      if (unzip.contents != nullptr) unzip.contents->Record(root + wideName, name, 0, true, false, turn.entry);
      return {Outcome::kExtracted, {}};
    }
    return {Outcome::kFailed, IsDiskFull(error) ? StoreFailureLine(name, error) : std::string()};
  }

  const size_t cut = wideName.rfind(L'\\');
  const std::wstring path = root + wideName;
  std::vector<std::wstring> madeAhead;  // folders made before the entry's turn
  const auto dropped = [&] {
    turn.Abandon(std::move(madeAhead));
    return EntryResult{Outcome::kDropped, {}};
  };
  win::UniqueHandle file;
  if (go == TEntryOrder::Go::kAhead) {
    if (cut == std::wstring::npos || writer.MakeFoldersBelow(root, wideName.substr(0, cut), &error, &madeAhead))
      file.reset(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    // A file already there, or any refusal, is met in turn, as always.
    if (!file) {
      go = turn.Claim(wideName, false, false);
      if (go == TEntryOrder::Go::kStopped) return dropped();
    }
  }
  if (!file) {
    if (cut != std::wstring::npos && !writer.MakeFoldersBelow(root, wideName.substr(0, cut), &error))
      return {Outcome::kFailed, IsDiskFull(error) ? StoreFailureLine(name, error) : std::string()};
    for (;;) {
      if (turn.Stopped()) return dropped();
      file.reset(
          CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
      if (file) break;
      const int answer = turn.Ask(name);
      if (answer == TEntryOrder::kAnswerStopped) return dropped();
      if (answer == IDABORT) return failed;
      if (answer == IDIGNORE) {
        // Installed without this file, as the user chose; the check of the
        // whole tree leaves it out, and the log says so.
        WriteLog(("Unzip Ignore,file:" + name).c_str());
        if (unzip.contents != nullptr)
          unzip.contents->Record(path, name, info.uncompressed_size, false, true, turn.entry);
        return {Outcome::kExtracted, {}};
      }
      // IDRETRY (or a box that could not be shown, which answers 0): try
      // again only on Retry; anything else stops rather than spinning.
      if (answer != IDRETRY) return failed;
    }
  }
  const EntryResult result = WriteEntry(zip, file.get(), name, info.dosDate, writer, turn);
  // An entry that went ahead of an earlier one that then failed is undone:
  // one thread would have stopped before it.
  if (go == TEntryOrder::Go::kAhead && !turn.Settle()) {
    file.reset();
    DeleteFileW(path.c_str());
    return dropped();
  }
  if (result.outcome == Outcome::kExtracted && unzip.contents != nullptr)
    unzip.contents->Record(path, name, info.uncompressed_size, false, false, turn.entry);
  return result;
}

// The data of the current entry into `file`, which is open for it; the
// time stamps are set once it is whole.
EntryResult WriteEntry(unzFile zip, HANDLE file, const std::string& name, uLong dosDate, EntryWriter& writer,
                       const Turn& turn) {
  const EntryResult failed{Outcome::kFailed, {}};
  // Later entries are in turn only once this one's local header has been
  // accepted: a header the reader refuses stops the extraction, and files
  // of later entries that went ahead are removed, as one thread would never
  // have written them.
  if (unzOpenCurrentFile(zip) != UNZ_OK) return failed;
  turn.Opened();
  EntryResult result{Outcome::kExtracted, {}};
  for (;;) {
    const int got = unzReadCurrentFile(zip, writer.buffer.get(), kWriteBuffer);
    if (got == 0) break;
    if (got < 0) {
      result = failed;
      break;
    }
    DWORD written = 0;
    if (!WriteFile(file, writer.buffer.get(), static_cast<DWORD>(got), &written, nullptr)) {
      result = {Outcome::kFailed, StoreFailureLine(name, GetLastError())};
      break;
    }
    if (written != static_cast<DWORD>(got)) {
      result = failed;
      break;
    }
  }
  // The entry's CRC-32 is checked here: corrupt data must not count as
  // installed.
  if (unzCloseCurrentFile(zip) != UNZ_OK) result.outcome = Outcome::kFailed;
  if (result.outcome == Outcome::kExtracted) RestoreFileTime(file, dosDate);
  return result;
}

bool SameFile(HANDLE a, HANDLE b) {
  BY_HANDLE_FILE_INFORMATION first{}, second{};
  return GetFileInformationByHandle(a, &first) && GetFileInformationByHandle(b, &second) &&
         first.dwVolumeSerialNumber == second.dwVolumeSerialNumber && first.nFileIndexHigh == second.nFileIndexHigh &&
         first.nFileIndexLow == second.nFileIndexLow;
}

enum class ReaderOpen { kOpened, kFailed, kReplaced };

// A reader of the archive at `fullPath` (system code page). With a checked
// file, only when the path still names that very file; the reader then
// reads through the handle that proved it.
ReaderOpen OpenReader(const char* fullPath, HANDLE checked, unzFile* reader) {
  *reader = nullptr;
  if (checked == nullptr) {
    *reader = unzOpen(fullPath);
    return *reader != nullptr ? ReaderOpen::kOpened : ReaderOpen::kFailed;
  }
  const std::wstring wide = WidePath(fullPath, CP_ACP);
  if (wide.empty()) return ReaderOpen::kFailed;
  // Read sharing only, as the checked handle: nobody writes it meanwhile.
  win::UniqueHandle file(CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file || !SameFile(file.get(), checked)) return ReaderOpen::kReplaced;
  const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file.get()), _O_RDONLY | _O_BINARY);
  if (descriptor == -1) return ReaderOpen::kFailed;
  file.release();  // the descriptor owns it now
  FILE* stream = _fdopen(descriptor, "rb");
  if (stream == nullptr) {
    _close(descriptor);
    return ReaderOpen::kFailed;
  }
  *reader = unzOpenStream(stream);
  return *reader != nullptr ? ReaderOpen::kOpened : ReaderOpen::kFailed;
}

unsigned DefaultThreads() {
  SYSTEM_INFO system{};
  GetSystemInfo(&system);
  // Two threads pay off even on one core: most of an entry's time is spent
  // waiting for the file system, not computing.
  return std::clamp<unsigned>(system.dwNumberOfProcessors, 2, kMaxThreads);
}

// One extraction thread: takes entries in archive order until the walk is
// over. `zip` is this thread's own reader, standing on the first entry.
void ExtractEntries(TEntryOrder& order, unsigned slot, unzFile zip, const std::string& destination,
                    const TUnzip& unzip) {
  EntryWriter writer;
  uint64_t position = 0;
  for (;;) {
    const uint64_t entry = order.Take(slot);
    if (entry == TEntryOrder::kNoEntry) return;
    int moved = UNZ_OK;
    for (; position < entry && moved == UNZ_OK; ++position) moved = unzGoToNextFile(zip);
    if (moved == UNZ_END_OF_LIST_OF_FILE) {
      order.EndAt(slot);
    } else if (moved != UNZ_OK) {
      // Only the end of the list is the end: a record that cannot be read
      // leaves the package half extracted.
      order.Fail(slot, std::string());
    } else {
      const Turn turn{&order, slot, entry};
      EntryResult result = ExtractEntry(zip, destination, unzip, writer, turn);
      if (result.outcome == Outcome::kFailed) order.Fail(slot, std::move(result.reason));
    }
    order.Finish(slot);
  }
}

struct HelperThread {
  TEntryOrder* order;
  unsigned slot;
  const char* zipPath;
  HANDLE checkedFile;
  const std::string* destination;
  const TUnzip* unzip;
};

unsigned __stdcall RunHelperThread(void* argument) {
  const HelperThread& helper = *static_cast<const HelperThread*>(argument);
  // A reader of its own: the archive's file position is not shared.
  unzFile zip = nullptr;
  // The other threads do its share when it cannot have one.
  if (OpenReader(helper.zipPath, helper.checkedFile, &zip) != ReaderOpen::kOpened) return 0;
  ExtractEntries(*helper.order, helper.slot, zip, *helper.destination, *helper.unzip);
  unzClose(zip);
  return 0;
}

}  // namespace

bool IsSafeEntryName(const char* rawName, bool isFolder) {
  if (rawName == nullptr || rawName[0] == '\0') return false;
  std::string name(rawName);
  if (WidePath(name).empty()) return false;
  SlashesToBackslashes(name);
  bool forbidden = false;
  ForEachCharacter(name, [&](size_t i, bool single) {
    if (!single) return;
    unsigned char c = static_cast<unsigned char>(name[i]);
    // ':' covers drive prefixes (C:x) and alternate data streams.
    if (c < 0x20 || std::strchr("<>:\"|?*", c) != nullptr) forbidden = true;
  });
  if (forbidden) return false;
  std::vector<std::string> parts = SplitAtBackslashes(name);
  // A folder entry may end in one separator; a leading one (root, UNC,
  // \\?\) gives an empty first part and is refused below.
  if (isFolder && parts.size() > 1 && parts.back().empty()) parts.pop_back();
  for (const std::string& part : parts) {
    if (part.empty() || part == "." || part == "..") return false;
    if (part.back() == '.' || part.back() == ' ') return false;
    if (IsReservedDeviceName(part)) return false;
  }
  return true;
}

TUnzip::TUnzip() = default;

TUnzip::~TUnzip() { Close(); }

void TUnzip::Close() {
  if (zipHandle != nullptr) {
    unzCloseCurrentFile(zipHandle);  // nothing open outside ExtractCurrent; harmless then
    unzClose(zipHandle);
  }
  zipHandle = nullptr;
  zipFolder[0] = '\0';
  zipFullPath[0] = '\0';
}

bool TUnzip::Open(const char* zipPath) {
  Close();
  if (zipPath == nullptr || zipPath[0] == '\0') return false;
  char full[kPathBuffer] = {};
  char* filePart = nullptr;
  DWORD length = GetFullPathNameA(zipPath, static_cast<DWORD>(kPathBuffer), full, &filePart);
  if (length == 0 || length >= kPathBuffer) return false;
  replacedAfterCheck = false;
  const ReaderOpen opened = OpenReader(full, checkedFile, &zipHandle);
  replacedAfterCheck = opened == ReaderOpen::kReplaced;
  if (opened != ReaderOpen::kOpened) return false;
  // Drive and folder of the archive, ending in its backslash.
  size_t folderLength = filePart != nullptr ? static_cast<size_t>(filePart - full) : length;
  std::memcpy(zipFolder, full, folderLength);
  zipFolder[folderLength] = '\0';
  std::memcpy(zipFullPath, full, length + 1);
  return true;
}

bool TUnzip::ExtractAll(const char* destDir, unsigned threads) {
  if (zipHandle == nullptr || destDir == nullptr || destDir[0] == '\0') return false;
  if (!MakeFolders(destDir)) return false;
  unz_global_info global{};
  if (unzGetGlobalInfo(zipHandle, &global) != UNZ_OK || global.number_entry == 0) return false;
  if (unzGoToFirstFile(zipHandle) != UNZ_OK) return false;

  if (threads == 0) threads = DefaultThreads();
  threads = std::min<unsigned>(threads, global.number_entry);
  threads = std::clamp<unsigned>(threads, 1, kMaxThreads);
  const std::string destination = destDir;
  TEntryOrder order(threads);
  std::vector<HelperThread> helpers(threads);
  std::vector<win::UniqueHandle> running;
  for (unsigned slot = 1; slot < threads; ++slot) {
    helpers[slot] = HelperThread{&order, slot, zipFullPath, checkedFile, &destination, this};
    // A thread that cannot start leaves its share to the others.
    running.emplace_back(
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, RunHelperThread, &helpers[slot], 0, nullptr)));
  }
  ExtractEntries(order, 0, zipHandle, destination, *this);
  for (const win::UniqueHandle& thread : running) {
    if (thread) WaitForSingleObject(thread.get(), INFINITE);
  }
  // Folders made ahead for entries that were then dropped, deepest first;
  // one that holds anything belongs to an entry that stays.
  std::vector<std::wstring> abandoned = order.AbandonedFolders();
  std::sort(abandoned.begin(), abandoned.end(),
            [](const std::wstring& a, const std::wstring& b) { return a.size() > b.size(); });
  for (const std::wstring& folder : abandoned) RemoveDirectoryW(folder.c_str());
  if (!order.Failed()) return true;
  if (!order.FirstReason().empty()) WriteLog(order.FirstReason().c_str());
  return false;
}

bool TUnzip::ExtractCurrent(const char* destDir) {
  if (zipHandle == nullptr) return false;
  const std::string destination = (destDir != nullptr && destDir[0] != '\0') ? destDir : zipFolder;
  if (!MakeFolders(destination.c_str())) return false;
  EntryWriter writer;
  const EntryResult result = ExtractEntry(zipHandle, destination, *this, writer, Turn{});
  if (!result.reason.empty()) WriteLog(result.reason.c_str());
  return result.outcome == Outcome::kExtracted;
}

bool TUnzip::MakeFolders(const char* path) {
  if (path == nullptr) return true;
  std::string copy(path);
  SlashesToBackslashes(copy);
  // A folder path of the system's code page: its own trail bytes decide
  // which backslashes separate.
  std::vector<std::string> parts;
  size_t start = 0;
  for (const size_t cut : PathSeparators(copy, CP_ACP)) {
    if (cut > start) parts.push_back(copy.substr(start, cut - start));
    start = cut + 1;
  }
  if (start < copy.size()) parts.push_back(copy.substr(start));
  if (parts.size() < 2) return true;
  std::string prefix = parts[0];
  for (size_t i = 1; i < parts.size(); ++i) {
    prefix += '\\';
    prefix += parts[i];
    if (!FitsPathBuffer(prefix)) return false;
    DWORD error = 0;
    const std::wstring wide = WidePath(prefix, CP_ACP);
    if (wide.empty() || !CreateFolder(wide, i + 1 == parts.size(), &error)) return false;
  }
  return true;
}

bool TUnzip::UnzipTo(const char* zipPath, const char* destDir, const std::vector<std::string>& refusedRootNames) {
  TUnzip unzip;
  unzip.refusedRootNames = refusedRootNames;
  if (!unzip.Open(zipPath)) return false;
  return unzip.ExtractAll(destDir);
}
