#pragma once
// Link-time double of the operations the pipeline calls. It behaves as the
// pipeline relies on them to behave: downloads count and report progress
// with the download-share arithmetic, a missing object logs "<key>,文件不存在"
// and counts nothing, extraction of an existing package adds 10/planned and
// posts it on success (the runtime package brings the client executable),
// and the finalisation posts 12, 13, 14, +5, +4, +1 and
// WM_INSTALL_DONE (or the hand-over failure).
#include <set>
#include <string>
#include <vector>

struct PipelineDouble {
  // Manifest content: runtime and quant versions, and whether the fetch works.
  std::string fixVersion = "9.5.1";
  std::string quantVersion;
  bool manifestFails = false;

  std::set<std::string> missingKeys;      // existence check fails
  std::set<std::string> failingKeys;      // transfer fails after the check
  std::set<std::string> failingPackages;  // local zip paths whose extraction fails
  bool handOverFails = false;
  bool runtimeLacksClient = false;  // the runtime package unpacks without the client
  bool clientIsFolder = false;      // ... with a folder of the client's name instead
  // A file the configuration package records as unpacked (5 bytes) but that
  // is not on disk; empty: none.
  std::string lostFile;

  std::vector<std::string> downloads;  // "key -> local path", in order
  std::vector<std::string> extractions;  // "zip -> folder", in order

  static PipelineDouble& Get();
  void Reset() { *this = PipelineDouble(); }
};
