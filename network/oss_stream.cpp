#include "network/oss_stream.h"

#include <windows.h>

#include <algorithm>

#include "platform/text.h"

namespace AlibabaCloud::OSS {

namespace {
// Long enough for any path the system accepts, with the "\\?\" form.
constexpr size_t kPathUnits = 32768;
// One WriteFile takes at most a DWORD's worth of bytes.
constexpr size_t kLargestWrite = 1u << 30;
}  // namespace

FileStream::FileStream(const std::string& path) {
  const std::wstring widePath = WideFromCodePage(path, CP_ACP, kPathUnits);
  if (widePath.empty()) return;
  file_.reset(CreateFileW(widePath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool FileStream::Write(const char* data, size_t size) {
  if (!IsOpen() || failed_) return false;
  while (size > 0) {
    const DWORD piece = static_cast<DWORD>(std::min(size, kLargestWrite));
    DWORD written = 0;
    if (!WriteFile(file_.get(), data, piece, &written, nullptr) || written == 0) {
      // Whatever follows would leave a hole in the file.
      failed_ = true;
      return false;
    }
    data += written;
    size -= written;
  }
  return true;
}

bool BoundedFileStream::Write(const char* data, size_t size) {
  if (passed_ || (bound_ >= 0 && size > static_cast<uint64_t>(bound_) - written_)) {
    passed_ = true;
    return false;
  }
  written_ += size;
  return file_.Write(data, size);
}

}  // namespace AlibabaCloud::OSS
