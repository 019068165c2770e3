#include "archive/unpacked_contents.h"

#include <windows.h>

#include <cinttypes>
#include <cstdio>

void UnpackedContents::StartPackage() {
  const std::lock_guard<std::mutex> hold(lock_);
  ++package_;
}

void UnpackedContents::Record(const std::wstring& path, const std::string& name, uint64_t size, bool folder,
                              bool skipped, uint64_t index) {
  std::wstring key = path;
  while (!key.empty() && key.back() == L'\\') key.pop_back();
  CharUpperBuffW(key.data(), static_cast<DWORD>(key.size()));
  const std::lock_guard<std::mutex> hold(lock_);
  const uint64_t order = (package_ << 32) | (index & 0xffffffffu);
  auto found = entries_.find(key);
  if (found != entries_.end() && found->second.order > order) return;
  entries_[key] = Entry{path, name, size, folder, skipped, order};
}

bool UnpackedContents::Check(std::string* problem) const {
  const std::lock_guard<std::mutex> hold(lock_);
  for (const auto& [key, entry] : entries_) {
    if (entry.skipped) continue;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    const bool exists = GetFileAttributesExW(entry.path.c_str(), GetFileExInfoStandard, &data) != FALSE;
    const bool isFolder = exists && (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const uint64_t size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    char found[64] = {};
    if (!exists) {
      std::snprintf(found, sizeof found, "missing");
    } else if (isFolder != entry.folder) {
      std::snprintf(found, sizeof found, "%s", isFolder ? "a folder" : "a file");
    } else if (!entry.folder && size != entry.size) {
      std::snprintf(found, sizeof found, "%" PRIu64 " bytes", size);
    } else {
      continue;
    }
    char line[1024] = {};
    if (entry.folder) {
      std::snprintf(line, sizeof line, "Unpacked tree incomplete,folder:%s,found:%s", entry.name.c_str(), found);
    } else {
      std::snprintf(line, sizeof line, "Unpacked tree incomplete,file:%s,size:%" PRIu64 ",found:%s",
                    entry.name.c_str(), entry.size, found);
    }
    *problem = line;
    return false;
  }
  return true;
}

size_t UnpackedContents::size() const {
  const std::lock_guard<std::mutex> hold(lock_);
  return entries_.size();
}
