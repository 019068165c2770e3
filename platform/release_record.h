#pragma once
// The highest release installed so far, per release line: its serial and
// the SHA-256 of the signed index that carried it. Kept under
// HKEY_LOCAL_MACHINE (64-bit view), which only administrators may change,
// so that nobody can make the installer forget it and accept an older
// release again.
#include <cstdint>
#include <string>

// HKLM\<kReleaseRecordKey>, one REG_SZ value per release line:
// "<serial> <64 lower-case hex digits>".
inline constexpr char kReleaseRecordKey[] = "SOFTWARE\\Kavimor\\InstalledReleases";

struct ReleaseRecord {
  uint64_t serial = 0;     // 0: nothing recorded
  std::string sha256Hex;   // of the index bytes
};

enum class RecordRead { Absent, Found, Unreadable };

// The record of `line` (8-bit text); Unreadable when the value exists but
// is not of the form above or the key cannot be read.
RecordRead ReadReleaseRecord(const std::string& line, ReleaseRecord* record);

// Creates the key if needed and sets the value; false on any failure.
bool WriteReleaseRecord(const std::string& line, const ReleaseRecord& record);

// Deletes the value (tests, and an administrator who resets a line).
void DeleteReleaseRecord(const std::string& line);
