// The installer's zip reader (see unzip.h for what it offers and where it is
// stricter than minizip). The archive is read through the C library's
// buffered stdio; the end record is found by a backwards scan of at most the
// last 64 KiB, and every entry is streamed through a 16 KiB buffer.
#include "archive/unzip.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace {

constexpr uint32_t kEndRecordSignature = 0x06054b50;
constexpr uint32_t kCentralSignature = 0x02014b50;
constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr uint64_t kCentralRecordSize = 46;
constexpr uint64_t kLocalHeaderSize = 30;
// The archive comment is at most 65535 bytes, so the end record starts no
// further back than this from the end of the file.
constexpr uint64_t kMaxEndRecordDistance = 0xffff;
constexpr unsigned kInputBufferSize = 16384;
constexpr uLong kMethodStored = 0;
constexpr uLong kMethodDeflated = 8;
constexpr uLong kFlagEncrypted = 0x1;
constexpr uLong kFlagDataDescriptor = 0x8;
constexpr uLong kNoSize = 0xffffffffu;

// 64-bit positions: packages may pass 2 GiB, where a plain long (32 bits on
// Windows) would wrap.
int Seek(FILE* f, uint64_t value, int origin) {
#ifdef _WIN32
  return _fseeki64(f, static_cast<long long>(value), origin);
#else
  return fseeko(f, static_cast<off_t>(value), origin);
#endif
}

int SeekTo(FILE* f, uint64_t pos) { return Seek(f, pos, SEEK_SET); }
int SeekBy(FILE* f, uint64_t offset) { return Seek(f, offset, SEEK_CUR); }

bool FileSize(FILE* f, uint64_t* size) {
#ifdef _WIN32
  if (_fseeki64(f, 0, SEEK_END) != 0) return false;
  long long end = _ftelli64(f);
#else
  if (fseeko(f, 0, SEEK_END) != 0) return false;
  long long end = static_cast<long long>(ftello(f));
#endif
  if (end < 0) return false;
  *size = static_cast<uint64_t>(end);
  return true;
}

// The little-endian number in the `bytes` bytes at `p`.
uLong Little(const unsigned char* p, int bytes) {
  uLong v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// Reads a little-endian field of `bytes` bytes at the current position.
// A field cut off by the end of the file reads as minizip reads it: the
// missing bytes repeat the last byte that was there (0 when none was), and
// the read counts as successful; only a stream error fails. The header
// checks that follow (signatures, sizes against the central record) then
// decide, exactly as they do for minizip.
bool ReadField(FILE* f, int bytes, uLong* value) {
  unsigned char raw[4] = {0, 0, 0, 0};
  size_t got = fread(raw, 1, static_cast<size_t>(bytes), f);
  if (got < static_cast<size_t>(bytes)) {
    if (ferror(f)) {
      *value = 0;
      return false;
    }
    unsigned char fill = got > 0 ? raw[got - 1] : 0;
    for (size_t i = got; i < static_cast<size_t>(bytes); ++i) raw[i] = fill;
  }
  *value = Little(raw, bytes);
  return true;
}

// Where the central record of the current entry says its local header is.
struct EntryPlace {
  uint64_t localHeaderOffset = 0;
};

// The bytes one entry occupies: its local header and its data, relative to
// the archive start. From the central record alone the local extra field is
// unknown, so `end` is a lower bound until the local header has been read.
struct Span {
  uint64_t start = 0;
  uint64_t end = 0;
};

struct EntryReader {
  z_stream stream{};
  bool inflating = false;
  unsigned char input[kInputBufferSize];
  uint64_t dataPos = 0;        // next compressed byte, relative to the archive start
  uint64_t restCompressed = 0;
  uint64_t restUncompressed = 0;
  uLong method = 0;
  uLong crc = 0;
  uLong crcWanted = 0;
  bool endedShort = false;     // data ran out before the declared size
};

struct Archive {
  FILE* file = nullptr;
  unz_global_info global{};
  uint64_t centralPos = 0;       // where the end record was found
  uint64_t centralSize = 0;
  uint64_t centralOffset = 0;
  uint64_t bytesBefore = 0;      // data prepended to the archive (self-extractors)
  uint64_t entryIndex = 0;
  uint64_t entryRecordPos = 0;   // of the current central record, relative
  bool entryOk = false;
  unz_file_info entry{};
  EntryPlace place;
  EntryReader* reading = nullptr;
  // Every entry's span, sorted by start; no two overlap and none overlaps
  // the central directory. At most 65535 entries, 16 bytes each.
  std::vector<Span> spans;
};

void DosDateToCalendar(uLong dosDate, tm_unz* out) {
  uLong date = dosDate >> 16;
  out->tm_mday = static_cast<uInt>(date & 0x1f);
  out->tm_mon = static_cast<uInt>(((date & 0x1e0) / 0x20) - 1);
  out->tm_year = static_cast<uInt>(((date & 0xfe00) / 0x200) + 1980);
  out->tm_hour = static_cast<uInt>((dosDate & 0xf800) / 0x800);
  out->tm_min = static_cast<uInt>((dosDate & 0x7e0) / 0x20);
  out->tm_sec = static_cast<uInt>(2 * (dosDate & 0x1f));
}

// The highest position of the end-record signature within the last 64 KiB,
// scanned backwards in overlapping blocks. False when there is none.
bool FindEndRecord(FILE* f, uint64_t fileSize, uint64_t* pos) {
  constexpr uint64_t kBlock = 4096;
  if (fileSize < 4) return false;
  uint64_t lowest = fileSize > kMaxEndRecordDistance ? fileSize - kMaxEndRecordDistance : 0;
  unsigned char block[kBlock + 3];
  uint64_t blockEnd = fileSize;  // exclusive end of the bytes to read
  while (blockEnd > lowest && blockEnd - lowest >= 4) {
    uint64_t start = blockEnd - lowest > kBlock + 3 ? blockEnd - (kBlock + 3) : lowest;
    size_t length = static_cast<size_t>(blockEnd - start);
    if (SeekTo(f, start) != 0 || fread(block, 1, length, f) != length) return false;
    for (size_t i = length - 3; i-- > 0;) {
      if (block[i] == 0x50 && block[i + 1] == 0x4b && block[i + 2] == 0x05 && block[i + 3] == 0x06) {
        *pos = start + i;
        return true;
      }
    }
    if (start == lowest) break;
    blockEnd = start + 3;  // overlap so a signature across blocks is seen
  }
  return false;
}

// Reads the central record at `recordPos` (relative) into `info` and
// `place`. With a name or comment buffer, those are read too; a name or
// comment cut off by the end of the file is an error then.
int ReadCentralRecord(Archive* a, uint64_t recordPos, unz_file_info* info, EntryPlace* place,
                      char* name, uLong nameSize, char* comment, uLong commentSize) {
  FILE* f = a->file;
  if (SeekTo(f, recordPos + a->bytesBefore) != 0) return UNZ_ERRNO;
  int err = UNZ_OK;
  uLong magic = 0;
  if (!ReadField(f, 4, &magic)) err = UNZ_ERRNO;
  else if (magic != kCentralSignature) err = UNZ_BADZIPFILE;

  unz_file_info fi{};
  uLong offset = 0;
  struct {
    int bytes;
    uLong* target;
  } const fields[] = {
      {2, &fi.version},           {2, &fi.version_needed},    {2, &fi.flag},
      {2, &fi.compression_method}, {4, &fi.dosDate},          {4, &fi.crc},
      {4, &fi.compressed_size},   {4, &fi.uncompressed_size}, {2, &fi.size_filename},
      {2, &fi.size_file_extra},   {2, &fi.size_file_comment}, {2, &fi.disk_num_start},
      {2, &fi.internal_fa},       {4, &fi.external_fa},       {4, &offset},
  };
  for (const auto& field : fields) {
    if (!ReadField(f, field.bytes, field.target)) err = UNZ_ERRNO;
  }
  DosDateToCalendar(fi.dosDate, &fi.tmu_date);

  // The name follows the fixed part; it is copied with a terminator only
  // when it is shorter than the buffer.
  uint64_t skip = 0;  // bytes still to pass before the current field
  if (err == UNZ_OK && name != nullptr) {
    uLong toRead = fi.size_filename;
    if (fi.size_filename < nameSize) name[fi.size_filename] = '\0';
    else toRead = nameSize;
    if (fi.size_filename > 0 && nameSize > 0 && fread(name, 1, toRead, f) != toRead) err = UNZ_ERRNO;
    skip = fi.size_filename - toRead;
  } else {
    skip = fi.size_filename;
  }

  // The extra field is walked block by block (the place where Zip64 sizes
  // would be); the comment is read from wherever that walk ended, which is
  // its end for any well-formed field.
  if (err == UNZ_OK && fi.size_file_extra != 0) {
    if (skip != 0) {
      if (SeekBy(f, skip) != 0) err = UNZ_ERRNO;
      skip = 0;
    }
    uLong walked = 0;
    while (walked < fi.size_file_extra) {
      uLong id = 0, size = 0;
      if (!ReadField(f, 2, &id)) err = UNZ_ERRNO;
      if (!ReadField(f, 2, &size)) err = UNZ_ERRNO;
      if (id == 0x0001) {
        // Zip64 block: read only the values whose plain fields are full.
        uLong ignored = 0;
        if (fi.uncompressed_size == kNoSize && (!ReadField(f, 4, &ignored) || !ReadField(f, 4, &ignored))) err = UNZ_ERRNO;
        if (fi.compressed_size == kNoSize && (!ReadField(f, 4, &ignored) || !ReadField(f, 4, &ignored))) err = UNZ_ERRNO;
        if (offset == kNoSize && (!ReadField(f, 4, &ignored) || !ReadField(f, 4, &ignored))) err = UNZ_ERRNO;
      } else if (SeekBy(f, size) != 0) {
        err = UNZ_ERRNO;
      }
      walked += 4 + size;
    }
  } else {
    skip += fi.size_file_extra;
  }

  if (err == UNZ_OK && comment != nullptr) {
    uLong toRead = fi.size_file_comment;
    if (fi.size_file_comment < commentSize) comment[fi.size_file_comment] = '\0';
    else toRead = commentSize;
    if (skip != 0 && SeekBy(f, skip) != 0) err = UNZ_ERRNO;
    if (err == UNZ_OK && fi.size_file_comment > 0 && commentSize > 0 && fread(comment, 1, toRead, f) != toRead)
      err = UNZ_ERRNO;
  }

  if (err == UNZ_OK) {
    if (info != nullptr) *info = fi;
    if (place != nullptr) place->localHeaderOffset = offset;
  }
  return err;
}

int LoadCurrentRecord(Archive* a) {
  int err = ReadCentralRecord(a, a->entryRecordPos, &a->entry, &a->place, nullptr, 0, nullptr, 0);
  a->entryOk = (err == UNZ_OK);
  return err;
}

// Reads the central directory front to back through one buffer of its own:
// the scan at open touches every record, and a seek per record would make
// the C library refill its buffer each time.
class DirectoryCursor {
 public:
  DirectoryCursor(FILE* file, uint64_t pos) : file_(file), pos_(pos) {}

  bool Read(unsigned char* out, size_t n) {
    while (n > 0) {
      if (at_ == have_ && !Refill()) return false;
      size_t take = std::min(n, have_ - at_);
      memcpy(out, buffer_ + at_, take);
      at_ += take;
      out += take;
      n -= take;
    }
    return true;
  }

  void Skip(uint64_t n) {
    if (n <= have_ - at_) {
      at_ += static_cast<size_t>(n);
      return;
    }
    pos_ += n - (have_ - at_);
    at_ = have_ = 0;
  }

 private:
  bool Refill() {
    if (SeekTo(file_, pos_) != 0) return false;
    have_ = fread(buffer_, 1, sizeof buffer_, file_);
    at_ = 0;
    pos_ += have_;
    return have_ > 0;
  }

  FILE* file_;
  uint64_t pos_;  // absolute position just past the buffered bytes
  unsigned char buffer_[kInputBufferSize];
  size_t have_ = 0;
  size_t at_ = 0;
};

// Walks every record inside the directory's declared size and offset before
// any entry is handed out. The walk must fill that space exactly, with as
// many records as the end record counts: a wrapped or forged count would
// otherwise decide how many entries are extracted, and a damaged record
// would end the list early. Then no two entries may share bytes, and none
// may reach into the directory: records pointing at one local entry are how
// a small archive unpacks to gigabytes.
int ScanDirectory(Archive* a) try {
  const uint64_t dirEnd = a->centralOffset + a->centralSize;
  std::unique_ptr<DirectoryCursor> cursor(new (std::nothrow) DirectoryCursor(a->file, a->centralOffset + a->bytesBefore));
  if (!cursor) return UNZ_INTERNALERROR;
  std::vector<Span> spans;
  spans.reserve(static_cast<size_t>(std::min<uint64_t>(a->global.number_entry, a->centralSize / kCentralRecordSize)));
  for (uint64_t pos = a->centralOffset; pos < dirEnd;) {
    if (spans.size() == a->global.number_entry || dirEnd - pos < kCentralRecordSize) return UNZ_BADZIPFILE;
    unsigned char record[kCentralRecordSize];
    if (!cursor->Read(record, sizeof record)) return UNZ_ERRNO;
    if (Little(record, 4) != kCentralSignature) return UNZ_BADZIPFILE;
    const uLong compressed = Little(record + 20, 4);
    const uLong nameLength = Little(record + 28, 2);
    const uint64_t variable = nameLength + Little(record + 30, 2) + Little(record + 32, 2);
    const uLong localOffset = Little(record + 42, 4);
    pos += kCentralRecordSize + variable;
    if (pos > dirEnd) return UNZ_BADZIPFILE;
    cursor->Skip(variable);
    // The local header repeats the name (its length is checked to agree),
    // so that much is certain before the local header is read.
    spans.push_back({localOffset, uint64_t{localOffset} + kLocalHeaderSize + nameLength + compressed});
  }
  if (spans.size() != a->global.number_entry) return UNZ_BADZIPFILE;
  std::sort(spans.begin(), spans.end(), [](const Span& x, const Span& y) { return x.start < y.start; });
  for (size_t i = 0; i < spans.size(); ++i) {
    if (i > 0 && spans[i].start < spans[i - 1].end) return UNZ_BADZIPFILE;
    if (spans[i].start < dirEnd && a->centralOffset < spans[i].end) return UNZ_BADZIPFILE;
  }
  a->spans = std::move(spans);
  return UNZ_OK;
} catch (const std::bad_alloc&) {
  return UNZ_INTERNALERROR;
}

// With the local extra field known, the entry's real span must still end
// before the next entry and before the directory, if either follows it.
bool FitsBeforeNeighbours(const Archive* a, uint64_t start, uint64_t end) {
  auto next = std::upper_bound(a->spans.begin(), a->spans.end(), start,
                               [](uint64_t value, const Span& s) { return value < s.start; });
  if (next != a->spans.end() && end > next->start) return false;
  if (start < a->centralOffset && end > a->centralOffset) return false;
  return true;
}

// Checks the local header of the current entry against its central record
// and gives the offset of its data (relative to the archive start).
int CheckLocalHeader(Archive* a, uint64_t* dataPos) {
  FILE* f = a->file;
  const unz_file_info& c = a->entry;
  if (SeekTo(f, a->place.localHeaderOffset + a->bytesBefore) != 0) return UNZ_ERRNO;
  int err = UNZ_OK;
  uLong magic = 0, version = 0, flags = 0, method = 0, time = 0, crc = 0, csize = 0, usize = 0,
        nameLength = 0, extraLength = 0;
  if (!ReadField(f, 4, &magic)) err = UNZ_ERRNO;
  else if (magic != kLocalSignature) err = UNZ_BADZIPFILE;
  if (!ReadField(f, 2, &version)) err = UNZ_ERRNO;
  if (!ReadField(f, 2, &flags)) err = UNZ_ERRNO;
  if (!ReadField(f, 2, &method)) err = UNZ_ERRNO;
  else if (err == UNZ_OK && method != c.compression_method) err = UNZ_BADZIPFILE;
  if (!ReadField(f, 4, &time)) err = UNZ_ERRNO;
  // With a data descriptor (flag 8) the local CRC and sizes may be zero:
  // the central record holds the real ones.
  const bool described = (flags & kFlagDataDescriptor) != 0;
  if (!ReadField(f, 4, &crc)) err = UNZ_ERRNO;
  else if (err == UNZ_OK && crc != c.crc && !described) err = UNZ_BADZIPFILE;
  if (!ReadField(f, 4, &csize)) err = UNZ_ERRNO;
  else if (err == UNZ_OK && csize != kNoSize && csize != c.compressed_size && !described) err = UNZ_BADZIPFILE;
  if (!ReadField(f, 4, &usize)) err = UNZ_ERRNO;
  else if (err == UNZ_OK && usize != kNoSize && usize != c.uncompressed_size && !described) err = UNZ_BADZIPFILE;
  if (!ReadField(f, 2, &nameLength)) err = UNZ_ERRNO;
  else if (err == UNZ_OK && nameLength != c.size_filename) err = UNZ_BADZIPFILE;
  if (!ReadField(f, 2, &extraLength)) err = UNZ_ERRNO;
  *dataPos = a->place.localHeaderOffset + kLocalHeaderSize + nameLength + extraLength;
  return err;
}

Archive* AsArchive(unzFile file) { return static_cast<Archive*>(file); }

}  // namespace

extern "C" {

unzFile unzOpen(const char* path) {
  if (path == nullptr) return nullptr;
  return unzOpenStream(fopen(path, "rb"));
}

unzFile unzOpenStream(FILE* f) {
  if (f == nullptr) return nullptr;
  std::unique_ptr<Archive> a(new (std::nothrow) Archive);
  if (!a) {
    fclose(f);
    return nullptr;
  }
  a->file = f;

  uint64_t fileSize = 0, endPos = 0;
  int err = UNZ_OK;
  if (!FileSize(f, &fileSize) || !FindEndRecord(f, fileSize, &endPos)) err = UNZ_ERRNO;
  uLong magic = 0, disk = 0, diskWithCentral = 0, entries = 0, entriesTotal = 0, centralSize = 0,
        centralOffset = 0, commentSize = 0;
  if (err == UNZ_OK) {
    if (SeekTo(f, endPos) != 0) err = UNZ_ERRNO;
    if (!ReadField(f, 4, &magic)) err = UNZ_ERRNO;
    if (!ReadField(f, 2, &disk)) err = UNZ_ERRNO;
    if (!ReadField(f, 2, &diskWithCentral)) err = UNZ_ERRNO;
    if (!ReadField(f, 2, &entries)) err = UNZ_ERRNO;
    if (!ReadField(f, 2, &entriesTotal)) err = UNZ_ERRNO;
    // Multi-disk archives are not supported; the two counts must agree.
    if (entriesTotal != entries || diskWithCentral != 0 || disk != 0) err = UNZ_BADZIPFILE;
    if (!ReadField(f, 4, &centralSize)) err = UNZ_ERRNO;
    if (!ReadField(f, 4, &centralOffset)) err = UNZ_ERRNO;
    if (!ReadField(f, 2, &commentSize)) err = UNZ_ERRNO;
  }
  // The central directory must end at or before the end record; what lies
  // before the stated offset is data prepended to the archive.
  if (err == UNZ_OK && endPos < static_cast<uint64_t>(centralOffset) + centralSize) err = UNZ_BADZIPFILE;
  if (err != UNZ_OK) {
    fclose(f);
    return nullptr;
  }
  a->global.number_entry = entries;
  a->global.size_comment = commentSize;
  a->centralPos = endPos;
  a->centralSize = centralSize;
  a->centralOffset = centralOffset;
  a->bytesBefore = endPos - (static_cast<uint64_t>(centralOffset) + centralSize);
  if (ScanDirectory(a.get()) != UNZ_OK) {
    fclose(f);
    return nullptr;
  }
  Archive* opened = a.release();
  unzGoToFirstFile(opened);
  return opened;
}

int unzClose(unzFile file) {
  Archive* a = AsArchive(file);
  if (a == nullptr) return UNZ_PARAMERROR;
  if (a->reading != nullptr) unzCloseCurrentFile(file);
  fclose(a->file);
  delete a;
  return UNZ_OK;
}

int unzGetGlobalInfo(unzFile file, unz_global_info* pglobal_info) {
  Archive* a = AsArchive(file);
  if (a == nullptr || pglobal_info == nullptr) return UNZ_PARAMERROR;
  *pglobal_info = a->global;
  return UNZ_OK;
}

int unzGoToFirstFile(unzFile file) {
  Archive* a = AsArchive(file);
  if (a == nullptr) return UNZ_PARAMERROR;
  a->entryIndex = 0;
  a->entryRecordPos = a->centralOffset;
  return LoadCurrentRecord(a);
}

int unzGoToNextFile(unzFile file) {
  Archive* a = AsArchive(file);
  if (a == nullptr) return UNZ_PARAMERROR;
  if (!a->entryOk) return UNZ_END_OF_LIST_OF_FILE;
  // The scan at open made the count and the records agree.
  if (a->entryIndex + 1 >= a->global.number_entry) return UNZ_END_OF_LIST_OF_FILE;
  a->entryRecordPos += kCentralRecordSize + a->entry.size_filename + a->entry.size_file_extra +
                       a->entry.size_file_comment;
  a->entryIndex++;
  return LoadCurrentRecord(a);
}

int unzGetCurrentFileInfo(unzFile file, unz_file_info* pfile_info, char* szFileName,
                          uLong fileNameBufferSize, void* extraField, uLong extraFieldBufferSize,
                          char* szComment, uLong commentBufferSize) {
  Archive* a = AsArchive(file);
  if (a == nullptr) return UNZ_PARAMERROR;
  if (!a->entryOk) return UNZ_PARAMERROR;
  // The installer never asks for the extra field; it is always skipped.
  (void)extraField;
  (void)extraFieldBufferSize;
  return ReadCentralRecord(a, a->entryRecordPos, pfile_info, nullptr, szFileName, fileNameBufferSize,
                           szComment, commentBufferSize);
}

int unzOpenCurrentFile(unzFile file) {
  Archive* a = AsArchive(file);
  if (a == nullptr || !a->entryOk) return UNZ_PARAMERROR;
  if (a->reading != nullptr) unzCloseCurrentFile(file);

  uint64_t dataPos = 0;
  if (CheckLocalHeader(a, &dataPos) != UNZ_OK) return UNZ_BADZIPFILE;
  const unz_file_info& c = a->entry;
  if (!FitsBeforeNeighbours(a, a->place.localHeaderOffset, dataPos + c.compressed_size)) return UNZ_BADZIPFILE;
  // Only what the installer's packages use: stored and deflated, in clear.
  if (c.compression_method != kMethodStored && c.compression_method != kMethodDeflated) return UNZ_BADZIPFILE;
  if ((c.flag & kFlagEncrypted) != 0) return UNZ_BADZIPFILE;

  auto* r = new (std::nothrow) EntryReader;
  if (r == nullptr) return UNZ_INTERNALERROR;
  r->method = c.compression_method;
  if (r->method == kMethodDeflated) {
    int zerr = inflateInit2(&r->stream, -MAX_WBITS);
    if (zerr != Z_OK) {
      delete r;
      return zerr;
    }
    r->inflating = true;
  }
  r->crc = crc32(0L, Z_NULL, 0);
  r->crcWanted = c.crc;
  r->restCompressed = c.compressed_size;
  r->restUncompressed = c.uncompressed_size;
  r->dataPos = dataPos;
  r->stream.avail_in = 0;
  a->reading = r;
  return UNZ_OK;
}

int unzReadCurrentFile(unzFile file, voidp buf, unsigned len) {
  Archive* a = AsArchive(file);
  if (a == nullptr || a->reading == nullptr) return UNZ_PARAMERROR;
  EntryReader* r = a->reading;
  if (len == 0) return 0;
  if (buf == nullptr) return UNZ_PARAMERROR;
  // Never more than the declared size: a longer stream is cut there, and
  // the CRC check at close catches it.
  unsigned want = len;
  if (want > r->restUncompressed) want = static_cast<unsigned>(r->restUncompressed);
  r->stream.next_out = static_cast<Bytef*>(buf);
  r->stream.avail_out = want;
  int produced = 0;
  int zerr = Z_OK;

  while (r->stream.avail_out > 0) {
    if (r->stream.avail_in == 0 && r->restCompressed > 0) {
      unsigned chunk = kInputBufferSize;
      if (r->restCompressed < chunk) chunk = static_cast<unsigned>(r->restCompressed);
      if (SeekTo(a->file, r->dataPos + a->bytesBefore) != 0) return UNZ_ERRNO;
      if (fread(r->input, 1, chunk, a->file) != chunk) return UNZ_ERRNO;
      r->dataPos += chunk;
      r->restCompressed -= chunk;
      r->stream.next_in = r->input;
      r->stream.avail_in = chunk;
    }
    if (r->method == kMethodStored) {
      if (r->stream.avail_in == 0 && r->restCompressed == 0) {
        r->endedShort = true;
        return produced;
      }
      unsigned copy = r->stream.avail_out < r->stream.avail_in ? r->stream.avail_out : r->stream.avail_in;
      memcpy(r->stream.next_out, r->stream.next_in, copy);
      r->crc = crc32(r->crc, r->stream.next_out, copy);
      r->restUncompressed -= copy;
      r->stream.avail_in -= copy;
      r->stream.avail_out -= copy;
      r->stream.next_out += copy;
      r->stream.next_in += copy;
      produced += static_cast<int>(copy);
    } else {
      Bytef* before = r->stream.next_out;
      uLong outBefore = r->stream.total_out;
      zerr = inflate(&r->stream, Z_SYNC_FLUSH);
      if (zerr >= 0 && r->stream.msg != nullptr) zerr = Z_DATA_ERROR;
      uLong out = r->stream.total_out - outBefore;
      r->crc = crc32(r->crc, before, static_cast<uInt>(out));
      r->restUncompressed -= out;
      produced += static_cast<int>(out);
      if (zerr == Z_STREAM_END) {
        if (r->restUncompressed > 0) r->endedShort = true;
        return produced;
      }
      if (zerr != Z_OK) break;
    }
  }
  if (zerr == Z_OK) return produced;
  return zerr;
}

int unzCloseCurrentFile(unzFile file) {
  Archive* a = AsArchive(file);
  if (a == nullptr || a->reading == nullptr) return UNZ_PARAMERROR;
  EntryReader* r = a->reading;
  int err = UNZ_OK;
  if (r->restUncompressed == 0) {
    if (r->crc != r->crcWanted) err = UNZ_CRCERROR;
  } else if (r->endedShort) {
    // The data ran out before the size the archive promised: whatever was
    // written is not the entry, and its CRC cannot be confirmed.
    err = UNZ_CRCERROR;
  }
  if (r->inflating) inflateEnd(&r->stream);
  delete r;
  a->reading = nullptr;
  return err;
}

}  // extern "C"
