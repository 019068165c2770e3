// The zip reader over arbitrary bytes: open, walk, read every entry, close,
// as the extraction does. Beyond what the sanitizers catch, it checks what
// the reader promises about hostile archives: the walk lists exactly the
// entries the end record counts and ends only at the end of the list, no
// entry yields more than its declared size, and the data of all entries
// that open fits in the file together (no two share bytes).
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "archive/unzip.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

// unzOpen takes a path: the input goes through one file per process,
// removed when the process ends normally.
struct InputFile {
  std::string path;
  InputFile() {
    const char* dir = std::getenv("TMPDIR");
    path = std::string(dir != nullptr ? dir : "/tmp") + "/kavimor_unzip_fuzz_" + std::to_string(getpid()) + ".zip";
  }
  ~InputFile() { std::remove(path.c_str()); }
};

const std::string& InputPath() {
  static const InputFile file;
  return file.path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = InputPath();
  FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) return 0;
  const bool written = std::fwrite(data, 1, size, out) == size;
  std::fclose(out);
  if (!written) return 0;

  unzFile zip = unzOpen(path.c_str());
  if (zip == nullptr) return 0;
  unz_global_info global{};
  Require(unzGetGlobalInfo(zip, &global) == UNZ_OK, "global info of an open archive");
  uint64_t walked = 0, openedData = 0;
  int step = global.number_entry == 0 ? UNZ_END_OF_LIST_OF_FILE : unzGoToFirstFile(zip);
  while (step == UNZ_OK) {
    ++walked;
    unz_file_info info{};
    char name[260];
    char comment[255];
    if (unzGetCurrentFileInfo(zip, &info, name, sizeof name, nullptr, 0, comment, sizeof comment) == UNZ_OK &&
        unzOpenCurrentFile(zip) == UNZ_OK) {
      openedData += info.compressed_size;
      uint64_t total = 0;
      char chunk[2048];
      int got = 0;
      while ((got = unzReadCurrentFile(zip, chunk, sizeof chunk)) > 0) total += static_cast<uint64_t>(got);
      Require(total <= info.uncompressed_size, "an entry yields no more than its declared size");
      unzCloseCurrentFile(zip);
    }
    step = unzGoToNextFile(zip);
  }
  Require(step == UNZ_END_OF_LIST_OF_FILE, "the walk ends only at the end of the list");
  Require(walked == global.number_entry, "the walk lists exactly the counted entries");
  Require(openedData <= size, "entries that open share no bytes");
  unzClose(zip);
  return 0;
}
