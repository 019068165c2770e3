#include "transfer/tunzip.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/client.h"
#include "engine/messages.h"
#include "platform/handles.h"
#include "platform/text.h"

namespace {

constexpr size_t kPathBuffer = 260;     // every path here, terminator included
constexpr unsigned kChunk = 2048;       // file data moves in chunks of this size
constexpr uLong kNameBuffer = 260;
constexpr uLong kCommentBuffer = 255;
constexpr uLong kFolderAttribute = 0x10;  // MS-DOS directory bit of the external attributes

// The 8-bit file functions read paths in the ANSI code page (936 on the
// installer's target systems), where a lead byte's partner may be 0x5C:
// "乗" is 81 5C. Every scan for separators walks whole characters.
bool IsLeadByte(char c) { return IsDBCSLeadByte(static_cast<BYTE>(c)) != FALSE; }

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

size_t LastBackslash(const std::string& text) {
  size_t last = std::string::npos;
  ForEachCharacter(text, [&](size_t i, bool single) {
    if (single && text[i] == '\\') last = i;
  });
  return last;
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
  static const std::string kCaption = Gbk(u8"警告");
  static const std::string kFormat = Gbk(u8"无法覆盖文件\"%s\",该文件可能正被使用!\n是否终止升级?");
  char text[1024] = {};
  std::snprintf(text, sizeof text, kFormat.c_str(), entryName.c_str());
  return MessageBoxA(nullptr, text, kCaption.c_str(), MB_ABORTRETRYIGNORE);
}

// Creation and last-write time from the entry's DOS time, read as local
// time; the last-access time stays. Best effort: a file whose times cannot
// be set keeps those of its writing.
void RestoreFileTime(const std::string& path, uLong dosDate) {
  win::UniqueHandle file(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return;
  FILETIME created{}, accessed{}, written{};
  if (!GetFileTime(file.get(), &created, &accessed, &written)) return;
  FILETIME local{}, utc{};
  if (!DosDateTimeToFileTime(HIWORD(dosDate), LOWORD(dosDate), &local)) return;
  if (!LocalFileTimeToFileTime(&local, &utc)) return;
  SetFileTime(file.get(), &utc, &accessed, &utc);
}

}  // namespace

bool IsSafeEntryName(const char* rawName, bool isFolder) {
  if (rawName == nullptr || rawName[0] == '\0') return false;
  std::string name(rawName);
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
}

bool TUnzip::Open(const char* zipPath) {
  Close();
  if (zipPath == nullptr || zipPath[0] == '\0') return false;
  char full[kPathBuffer] = {};
  char* filePart = nullptr;
  DWORD length = GetFullPathNameA(zipPath, static_cast<DWORD>(kPathBuffer), full, &filePart);
  if (length == 0 || length >= kPathBuffer) return false;
  zipHandle = unzOpen(full);
  if (zipHandle == nullptr) return false;
  // Drive and folder of the archive, ending in its backslash.
  size_t folderLength = filePart != nullptr ? static_cast<size_t>(filePart - full) : length;
  std::memcpy(zipFolder, full, folderLength);
  zipFolder[folderLength] = '\0';
  return true;
}

bool TUnzip::ExtractAll(const char* destDir) {
  if (zipHandle == nullptr || destDir == nullptr || destDir[0] == '\0') return false;
  if (!MakeFolders(destDir)) return false;
  unz_global_info global{};
  if (unzGetGlobalInfo(zipHandle, &global) != UNZ_OK || global.number_entry == 0) return false;
  if (unzGoToFirstFile(zipHandle) != UNZ_OK) return false;
  for (;;) {
    if (!ExtractCurrent(destDir)) return false;
    if (unzGoToNextFile(zipHandle) != UNZ_OK) return true;
  }
}

bool TUnzip::ExtractCurrent(const char* destDir) {
  if (zipHandle == nullptr) return false;
  const std::string destination = (destDir != nullptr && destDir[0] != '\0') ? destDir : zipFolder;
  if (!MakeFolders(destination.c_str())) return false;

  unz_file_info info{};
  char rawName[kNameBuffer] = {};
  char comment[kCommentBuffer] = {};
  // A record that cannot be read names nothing that could be extracted.
  if (unzGetCurrentFileInfo(zipHandle, &info, rawName, kNameBuffer, nullptr, 0, comment, kCommentBuffer) != UNZ_OK)
    return false;
  // A name that fills the buffer arrives without terminator, and one with
  // a zero byte inside would be cut short: both are refused.
  if (info.size_filename >= kNameBuffer || std::strlen(rawName) != info.size_filename) return false;
  std::string name(rawName);
  SlashesToBackslashes(name);
  const bool isFolder = (info.external_fa & kFolderAttribute) != 0;
  if (!IsSafeEntryName(name.c_str(), isFolder)) return false;
  const std::string rootPart = SplitAtBackslashes(name).front();
  for (const std::string& refused : refusedRootNames)
    if (_stricmp(rootPart.c_str(), refused.c_str()) == 0) return false;

  const std::string target = Join(destination, name);
  if (!FitsPathBuffer(target) || !LiesBelow(destination, target)) return false;
  if (isFolder) return MakeFolders(target.c_str());

  const size_t cut = LastBackslash(target);
  if (cut == std::string::npos || !MakeFolders(target.substr(0, cut).c_str())) return false;

  win::UniqueHandle file;
  for (;;) {
    file.reset(CreateFileA(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr));
    if (file) break;
    int answer = AskAboutLockedFile(name);
    if (answer == IDABORT) return false;
    if (answer == IDIGNORE) return true;
    // IDRETRY (or a box that could not be shown, which answers 0): try again
    // only on Retry; anything else stops rather than spinning.
    if (answer != IDRETRY) return false;
  }

  if (unzOpenCurrentFile(zipHandle) != UNZ_OK) return false;
  bool failed = false;
  char chunk[kChunk];
  for (;;) {
    int got = unzReadCurrentFile(zipHandle, chunk, kChunk);
    if (got == 0) break;
    if (got < 0) {
      failed = true;
      break;
    }
    DWORD written = 0;
    if (!WriteFile(file.get(), chunk, static_cast<DWORD>(got), &written, nullptr) ||
        written != static_cast<DWORD>(got)) {
      failed = true;
      break;
    }
  }
  file.reset();
  // The entry's CRC-32 is checked here: corrupt data must not count as
  // installed.
  if (unzCloseCurrentFile(zipHandle) != UNZ_OK) failed = true;
  if (failed) return false;

  RestoreFileTime(target, info.dosDate);
  return true;
}

bool TUnzip::MakeFolders(const char* path) {
  if (path == nullptr) return true;
  std::string copy(path);
  SlashesToBackslashes(copy);
  std::vector<std::string> parts;
  for (std::string& part : SplitAtBackslashes(copy)) {
    if (!part.empty()) parts.push_back(std::move(part));
  }
  if (parts.size() < 2) return true;
  std::string prefix = parts[0];
  for (size_t i = 1; i < parts.size(); ++i) {
    prefix += '\\';
    prefix += parts[i];
    if (!FitsPathBuffer(prefix)) return false;
    if (!CreateDirectoryA(prefix.c_str(), nullptr)) {
      if (GetLastError() != ERROR_ALREADY_EXISTS) return false;
      // A file of that name "exists" too, but nothing can be put inside it.
      // Inside the path the next CreateDirectoryA finds that out by itself;
      // only the last part needs a look.
      if (i + 1 < parts.size()) continue;
      DWORD attributes = GetFileAttributesA(prefix.c_str());
      if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return false;
    }
  }
  return true;
}

bool TUnzip::UnzipTo(const char* zipPath, const char* destDir, const std::vector<std::string>& refusedRootNames) {
  TUnzip unzip;
  unzip.refusedRootNames = refusedRootNames;
  if (!unzip.Open(zipPath)) return false;
  return unzip.ExtractAll(destDir);
}

bool IClient::ExtractPackage(const std::string& zipPath, const std::string& destDir) {
  // A package that was never downloaded (the front-end dependencies, a
  // missing quant runtime) counts as installed and moves nothing.
  if (FILE* probe = std::fopen(zipPath.c_str(), "r")) {
    std::fclose(probe);
  } else {
    return true;
  }
  const bool extracted = TUnzip::UnzipTo(zipPath.c_str(), destDir.c_str(), DownloadFileNames());
  // Each package's share of the scale; a failed one still takes it, but
  // only a success is shown. No share without planned downloads (it would
  // divide by zero).
  if (plannedDownloads > 0) {
    progressPercent = static_cast<int32_t>(10.0 / plannedDownloads + progressPercent);
  }
  if (extracted) PostToMainWindow(WM_INSTALL_PROGRESS, progressPercent);
  return extracted;
}
