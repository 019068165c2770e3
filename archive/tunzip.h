#pragma once
// Unpacking of one zip package into a folder, entry by entry: 8-bit
// (code page 936) names through the wide file functions, folders along each path,
// files replaced, time stamps restored, and a prompt when a file cannot be
// overwritten. The archive itself is read by the installer's zip reader.
#include <string>
#include <vector>

#include "archive/unpacked_contents.h"
#include "archive/unzip.h"

class TUnzip {
 public:
  TUnzip();
  virtual ~TUnzip();
  TUnzip(const TUnzip&) = delete;
  TUnzip& operator=(const TUnzip&) = delete;

  // Closes what is open, then opens `zipPath` (null or empty: stays
  // closed). True when the archive is open.
  bool Open(const char* zipPath);
  // Every entry into `destDir`; stops at the first entry that fails. True
  // when every entry was extracted or skipped by the user. The entries are
  // written by `threads` threads (0: as many as the machine has cores, at
  // least two and at most four) with the result of one thread walking the
  // archive in order (see entry_order.h).
  bool ExtractAll(const char* destDir, unsigned threads = 0);
  // The current entry into `destDir` (null or empty: the archive's own
  // folder). True when it was extracted or skipped by the user.
  bool ExtractCurrent(const char* destDir = nullptr);

  // Creates every folder along `path` (the first part, normally a drive, is
  // never created). True when they all exist afterwards.
  static bool MakeFolders(const char* path);
  // Opens `zipPath` and extracts all of it into `destDir`.
  static bool UnzipTo(const char* zipPath, const char* destDir,
                      const std::vector<std::string>& refusedRootNames = {});

  // Names no entry may take directly below the destination (compared as
  // Windows compares names, without regard to ASCII case): the run's own
  // downloads lie there, and such an entry would replace a package before
  // it is unpacked. An entry that would is refused and stops the extraction.
  std::vector<std::string> refusedRootNames;

  // The package as it was checked (a file handle held without write or
  // delete sharing), or null. When set, every reader of the archive, one
  // per extraction thread, opens the path and is refused unless it is that
  // very file (same volume serial number and file index): a file put in its
  // place, or a staging folder renamed and made again, is never unpacked.
  void* checkedFile = nullptr;
  // Set by Open when the path no longer named the checked file.
  bool replacedAfterCheck = false;
  // When set, every entry extracted or skipped at the user's choice is
  // recorded here (a skipped one also in the log).
  UnpackedContents* contents = nullptr;

 private:
  void Close();

  unzFile zipHandle = nullptr;
  char zipFolder[261] = {};
  char zipFullPath[261] = {};  // of the open archive, for the other threads' readers
};

// Whether an entry name (already with backslashes) names a plain file or
// folder strictly below the destination: no empty, "." or ".." part, no
// drive, root, UNC or device path, no stream (':'), no reserved device name,
// no part ending in a dot or a space, no character Windows forbids in names,
// and nothing that is not text in code page 936 (a lone lead byte would
// reach the file system as '?').
// Folder entries may end in one backslash. Code-page aware: a double-byte
// character's second byte is never taken for a separator.
bool IsSafeEntryName(const char* name, bool isFolder);
