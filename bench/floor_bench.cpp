// The floor under extraction on Wine: creates the files an archive lists,
// with their folders, sizes and time stamps, on the same number of threads
// as TUnzip, but reads and inflates nothing (the data is zeros). What this
// costs is what the system charges for the files alone. Run by
// bench/extract.sh; not a test.
//   floor_bench <archive> <destination> <threads>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "archive/unzip.h"

namespace {

struct Item {
  std::wstring path;
  unsigned long size;
  unsigned long dosDate;
  bool folder;
};

std::wstring Wide(const std::string& text) {
  std::wstring wide(text.size(), L'\0');
  const int units = MultiByteToWideChar(936, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                                        static_cast<int>(wide.size()));
  wide.resize(static_cast<size_t>(units > 0 ? units : 0));
  return wide;
}

// Every folder along `path` below `root` (which exists).
void MakeParents(const std::wstring& root, const std::wstring& path, std::wstring& known) {
  const size_t cut = path.rfind(L'\\');
  if (cut == std::wstring::npos || cut <= root.size() || path.compare(0, cut, known) == 0) return;
  for (size_t at = path.find(L'\\', root.size() + 1); at != std::wstring::npos && at <= cut;
       at = path.find(L'\\', at + 1)) {
    CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
  }
  known = path.substr(0, cut);
}

void Create(const std::vector<Item>& items, const std::wstring& root, unsigned first, unsigned step) {
  static const std::vector<char> zeros(256 * 1024);
  std::wstring known;
  for (size_t i = first; i < items.size(); i += step) {
    const Item& item = items[i];
    MakeParents(root, item.path, known);
    if (item.folder) {
      CreateDirectoryW(item.path.c_str(), nullptr);
      continue;
    }
    HANDLE file = CreateFileW(item.path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) std::exit(1);
    for (unsigned long left = item.size; left > 0;) {
      const DWORD piece = left < zeros.size() ? left : static_cast<DWORD>(zeros.size());
      DWORD written = 0;
      if (!WriteFile(file, zeros.data(), piece, &written, nullptr) || written != piece) std::exit(1);
      left -= piece;
    }
    FILETIME local{}, utc{};
    DosDateTimeToFileTime(HIWORD(item.dosDate), LOWORD(item.dosDate), &local);
    LocalFileTimeToFileTime(&local, &utc);
    SetFileTime(file, &utc, nullptr, &utc);
    CloseHandle(file);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: floor_bench <archive> <destination> <threads>\n");
    return 2;
  }
  LARGE_INTEGER frequency{}, start{}, end{};
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  const std::wstring root = Wide(argv[2]);
  CreateDirectoryW(root.c_str(), nullptr);
  std::vector<Item> items;
  unzFile zip = unzOpen(argv[1]);
  if (zip == nullptr || unzGoToFirstFile(zip) != UNZ_OK) return 1;
  do {
    unz_file_info info{};
    char name[260] = {};
    if (unzGetCurrentFileInfo(zip, &info, name, sizeof name, nullptr, 0, nullptr, 0) != UNZ_OK) return 1;
    std::string relative = name;
    for (char& c : relative) c = c == '/' ? '\\' : c;
    const bool folder = (info.external_fa & 0x10) != 0;
    items.push_back(Item{root + L"\\" + Wide(relative), info.uncompressed_size, info.dosDate, folder});
  } while (unzGoToNextFile(zip) == UNZ_OK);
  unzClose(zip);

  const unsigned threads = static_cast<unsigned>(std::atoi(argv[3]));
  std::vector<std::thread> running;
  for (unsigned t = 1; t < threads; ++t) running.emplace_back(Create, std::cref(items), std::cref(root), t, threads);
  Create(items, root, 0, threads > 0 ? threads : 1);
  for (std::thread& thread : running) thread.join();
  QueryPerformanceCounter(&end);
  std::printf("files=%zu floor_seconds=%.3f\n", items.size(),
              double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart));
  return 0;
}
