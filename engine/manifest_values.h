#pragma once
// The values of the remote manifest summary.ini, read and checked without
// Win32 (the manifest comes from the network: it is fuzzed natively). A
// version goes into local file names, object keys and update.ini, so
// anything but a plain file name is refused rather than used.
#include <cstdint>
#include <string>
#include <string_view>

// Longest version the manifest may carry (the fields are 21 bytes).
constexpr size_t kMaxVersionLength = 20;

struct ManifestValues {
  int64_t configStamp = 0;
  std::string fixVersion;
  std::string quantVersion;  // empty: no quant package
};

// Why `value` cannot be a version, or null when it can: not empty when
// `required`, at most kMaxVersionLength bytes, printable ASCII without
// path separators, "..", ':', characters Windows forbids in file names, a
// trailing dot or space, '~' (short names), a reserved device name, or
// (in any case) the name of one of the fixed downloads: base, config,
// depend, summary.
const char* VersionProblem(std::string_view value, bool required);

// Reads the stamp and the two versions of `packageId` out of the manifest
// text. False when a version is unusable, or when the quant version names
// the same file as the runtime version (without regard to case): every
// download of a run has a file name of its own. `problem` then holds the
// log line naming the value and `values` is left as it was.
bool ReadManifest(std::string text, std::string_view packageId, ManifestValues* values, std::string* problem);
