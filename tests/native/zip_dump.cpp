// Lists what a zip reader makes of each archive named on standard input (one
// path a line): every entry with its name, folder bit, DOS time, declared
// size, method and flags, the result of each call, and the count and CRC-32
// of the bytes read. Built twice: against the installer's reader and against
// the system's minizip; check_corpus.py compares the two listings.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include <zlib.h>

#ifdef KAVIMOR_OWN_READER
#include "archive/unzip.h"
#else
#include <minizip/unzip.h>
#endif

namespace {

std::string Hex(const char* bytes, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out.empty() ? "-" : out;
}

// The walk the installer makes, but going on past a failed entry so that
// every entry of the archive is compared.
void DumpArchive(const std::string& path) {
  std::printf("ARCHIVE %s\n", path.c_str());
  unzFile zip = unzOpen(path.c_str());
  if (zip == nullptr) {
    std::printf("OPEN fail\nEND error\n");
    return;
  }
  unz_global_info global{};
  unzGetGlobalInfo(zip, &global);
  std::printf("OPEN ok\n");
  bool allOk = global.number_entry != 0;
  if (allOk) {
    int walk = unzGoToFirstFile(zip);
    int index = 0;
    while (walk == UNZ_OK) {
      unz_file_info info{};
      char name[260] = {};
      char comment[255] = {};
      int infoRc = unzGetCurrentFileInfo(zip, &info, name, sizeof name, nullptr, 0, comment, sizeof comment);
      std::printf("E %d info=%d", index, infoRc);
      if (infoRc == UNZ_OK) {
        size_t nameLength = info.size_filename < sizeof name ? info.size_filename : sizeof name;
        std::printf(" name=%s dir=%lu date=%08lx size=%lu method=%lu flag=%lu", Hex(name, nameLength).c_str(),
                    static_cast<unsigned long>(info.external_fa & 0x10), static_cast<unsigned long>(info.dosDate),
                    static_cast<unsigned long>(info.uncompressed_size),
                    static_cast<unsigned long>(info.compression_method), static_cast<unsigned long>(info.flag));
      }
      int openRc = unzOpenCurrentFile(zip);
      std::printf(" open=%d", openRc);
      bool entryOk = infoRc == UNZ_OK && openRc == UNZ_OK;
      if (openRc == UNZ_OK) {
        unsigned long total = 0;
        uLong crc = crc32(0L, Z_NULL, 0);
        char chunk[2048];
        int got = 0;
        while ((got = unzReadCurrentFile(zip, chunk, sizeof chunk)) > 0) {
          total += static_cast<unsigned long>(got);
          crc = crc32(crc, reinterpret_cast<const Bytef*>(chunk), static_cast<uInt>(got));
        }
        int closeRc = unzCloseCurrentFile(zip);
        std::printf(" read=%d bytes=%lu crc=%08lx close=%d", got, total, static_cast<unsigned long>(crc), closeRc);
        entryOk = entryOk && got == 0 && closeRc == UNZ_OK;
      }
      std::printf(" %s\n", entryOk ? "ok" : "error");
      allOk = allOk && entryOk;
      walk = unzGoToNextFile(zip);
      ++index;
    }
    std::printf("WALK %d\n", walk);
    if (walk != UNZ_END_OF_LIST_OF_FILE) allOk = false;
  }
  unzClose(zip);
  std::printf("END %s\n", allOk ? "ok" : "error");
}

}  // namespace

int main() {
  std::string line;
  while (std::getline(std::cin, line)) {
    if (!line.empty()) DumpArchive(line);
  }
  return 0;
}
