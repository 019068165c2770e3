#pragma once
// The installed tree that the generated package set must produce: the
// "<size> <crc32 hex> <path>" lines tools/make_packages.py writes beside the
// packages (KAVIMOR_E2E_TREE), and the CRC-32 to compare a file with.
#include <zlib.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace testing_support {

struct ExpectedFile {
  size_t size;
  unsigned long crc;
  std::string path;  // code page 936, backslashes
};

inline std::vector<ExpectedFile> ReadExpectedTree(const std::string& listPath) {
  std::vector<ExpectedFile> files;
  std::istringstream in(ReadFileBytes(listPath));
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t a = line.find(' ');
    const size_t b = line.find(' ', a + 1);
    if (a == std::string::npos || b == std::string::npos) continue;
    files.push_back({std::stoul(line.substr(0, a)), std::stoul(line.substr(a + 1, b - a - 1), nullptr, 16),
                     line.substr(b + 1)});
  }
  return files;
}

inline unsigned long Crc32(const std::string& bytes) {
  return crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size()));
}

}  // namespace testing_support
