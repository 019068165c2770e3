#pragma once
// What the packages of one run put where, kept while they are unpacked, so
// that the tree can be checked as a whole before it replaces an
// installation: every entry must be on disk, a file with its size, a folder
// as a folder, unless the user chose Ignore for it in the overwrite prompt.
// A later package's entry (and, inside one package, a later entry) of the
// same path replaces an earlier one, as its file does on disk.
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

class UnpackedContents {
 public:
  // Called before each package; its entries come after all earlier ones.
  void StartPackage();
  // `path`: full UTF-16 path; `name`: the entry's name as logged (code page
  // 936); `index`: the entry's place in its archive. Called by every
  // extraction thread.
  void Record(const std::wstring& path, const std::string& name, uint64_t size, bool folder, bool skipped,
              uint64_t index);
  // Looks at every recorded entry on disk. False with a log line for the
  // first one that is not as unpacked.
  bool Check(std::string* problem) const;
  size_t size() const;

 private:
  struct Entry {
    std::wstring path;
    std::string name;
    uint64_t size = 0;
    bool folder = false;
    bool skipped = false;
    uint64_t order = 0;  // package number in the high half, entry index in the low
  };
  mutable std::mutex lock_;  // guards package_ and entries_: the extraction threads record concurrently
  uint64_t package_ = 0;
  std::map<std::wstring, Entry> entries_;  // by upper-case path
};
