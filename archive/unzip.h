#pragma once
// The installer's zip reader. It offers the minizip calls the extraction
// makes, under minizip's names, types and result codes, so that TUnzip reads
// as it would against minizip. Portable: the C library and zlib only, no
// Win32, so it also builds natively for the differential check against the
// real minizip (tests/native).
//
// Streaming: the reader keeps one 16 KiB input buffer (and zlib's inflate
// window) per open entry, and 16 bytes per entry for the overlap check; no
// entry and no archive is ever held whole.
//
// Where it deliberately differs from minizip 1.1 (each one makes it stricter,
// never more lenient):
//  - an entry whose data ends before its declared size makes
//    unzCloseCurrentFile report UNZ_CRCERROR (minizip skips the CRC check
//    then and reports success on a short file);
//  - an entry with a compression method other than stored (0) or deflated
//    (8), or marked encrypted, cannot be opened (UNZ_BADZIPFILE); minizip
//    hands bzip2 entries out raw, compressed bytes as data;
//  - an archive whose end record sits at offset 0 (the empty archive) opens
//    and lists no entries; minizip refuses to open it;
//  - Zip64 archives are not read (the installer's packages are far below
//    the 4 GiB and 65535-entry limits of the plain format);
//  - unzOpen reads the whole central directory first and refuses the
//    archive when the end record's entry count disagrees with the records
//    inside the directory's declared size and offset (minizip trusts the
//    count, so a wrapped or forged one decides how many entries it lists),
//    when a record inside it is damaged, or when two entries' local headers
//    and data overlap each other or the directory (records sharing one
//    local entry: the zip bomb that needs no nesting);
//  - unzOpenCurrentFile refuses an entry whose data, with its local extra
//    field known, would run into the next entry or the directory.
#include <stdio.h>
#include <zlib.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef voidp unzFile;

#define UNZ_OK (0)
#define UNZ_END_OF_LIST_OF_FILE (-100)
#define UNZ_ERRNO (Z_ERRNO)
#define UNZ_EOF (0)
#define UNZ_PARAMERROR (-102)
#define UNZ_BADZIPFILE (-103)
#define UNZ_INTERNALERROR (-104)
#define UNZ_CRCERROR (-105)

// Entry time split into calendar fields, as minizip gives it.
typedef struct tm_unz_s {
  uInt tm_sec;   // 0..59 (DOS time has a 2-second grain)
  uInt tm_min;   // 0..59
  uInt tm_hour;  // 0..23
  uInt tm_mday;  // 1..31
  uInt tm_mon;   // 0..11
  uInt tm_year;  // e.g. 2024
} tm_unz;

// From the end-of-central-directory record.
typedef struct unz_global_info_s {
  uLong number_entry;  // entries in the central directory
  uLong size_comment;  // length of the archive comment
} unz_global_info;

// One central-directory record.
typedef struct unz_file_info_s {
  uLong version;
  uLong version_needed;
  uLong flag;
  uLong compression_method;
  uLong dosDate;  // date in the high 16 bits, time in the low 16 bits
  uLong crc;
  uLong compressed_size;
  uLong uncompressed_size;
  uLong size_filename;
  uLong size_file_extra;
  uLong size_file_comment;
  uLong disk_num_start;
  uLong internal_fa;
  uLong external_fa;
  tm_unz tmu_date;
} unz_file_info;

// Opens an archive (8-bit path, passed to fopen) and moves to its first
// entry. Null when the file cannot be opened or has no readable end record.
unzFile unzOpen(const char* path);
// The same for a file already open for binary reading, which the archive
// then owns: unzClose closes it, and so does a failed open.
unzFile unzOpenStream(FILE* file);
// Closes the archive, and the current entry's data if still open.
int unzClose(unzFile file);
int unzGetGlobalInfo(unzFile file, unz_global_info* pglobal_info);

int unzGoToFirstFile(unzFile file);
// UNZ_END_OF_LIST_OF_FILE after the last entry.
int unzGoToNextFile(unzFile file);

// Fills the record of the current entry. The name is copied into
// szFileName with a terminator only when it is shorter than the buffer
// (as minizip does): a caller must check size_filename against its buffer.
// extraField and szComment may be null.
int unzGetCurrentFileInfo(unzFile file, unz_file_info* pfile_info, char* szFileName,
                          uLong fileNameBufferSize, void* extraField, uLong extraFieldBufferSize,
                          char* szComment, uLong commentBufferSize);

// Opens the current entry's data: checks its local header against the
// central record and prepares the inflater.
int unzOpenCurrentFile(unzFile file);
// Reads up to len bytes of the entry's data: the count read, 0 at its end,
// or a negative result code (UNZ_ERRNO on a failed file read, a zlib error
// such as Z_DATA_ERROR on corrupt deflate data).
int unzReadCurrentFile(unzFile file, voidp buf, unsigned len);
// Closes the entry's data. UNZ_CRCERROR when the data read to its end does
// not match the entry's CRC-32, or ended before the entry's declared size.
int unzCloseCurrentFile(unzFile file);

#ifdef __cplusplus
}
#endif
