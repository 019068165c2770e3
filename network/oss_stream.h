#pragma once
// Where the object-store layer puts a successful body: a stream of the
// layer's own instead of std::iostream. The standard streams bring the
// whole locale machinery (some 800 KB of a statically linked program) into
// the installer, the file every user downloads before anything else.
#include <cstddef>
#include <string>

#include "platform/handles.h"

namespace AlibabaCloud::OSS {

class ResponseStream {
 public:
  virtual ~ResponseStream() = default;
  // Appends `size` bytes; false when they could not all be stored. Nothing
  // is buffered: what Write accepted is with the system.
  virtual bool Write(const char* data, size_t size) = 0;
};

// The body in memory: what a request without a stream factory gets.
class StringStream final : public ResponseStream {
 public:
  bool Write(const char* data, size_t size) override {
    text_.append(data, size);
    return true;
  }
  const std::string& str() const { return text_; }

 private:
  std::string text_;
};

// A local file, created empty (or emptied) when the stream is made and
// closed when the last owner lets go of it. The path is 8-bit text of the
// system's code page, as the 8-bit calls that named its folder gave it. Other programs may read and
// write the file meanwhile, as with the runtime library's files.
class FileStream final : public ResponseStream {
 public:
  explicit FileStream(const std::string& path);
  bool IsOpen() const { return static_cast<bool>(file_); }
  bool Write(const char* data, size_t size) override;

 private:
  win::UniqueHandle file_;
  bool failed_ = false;
};

// A FileStream that takes at most `bound` bytes (no bound when negative):
// the write that would pass it is refused and nothing of it is written, so
// the transfer ends there and the file never holds more than the bound.
class BoundedFileStream final : public ResponseStream {
 public:
  BoundedFileStream(const std::string& path, int64_t bound) : file_(path), bound_(bound) {}
  bool IsOpen() const { return file_.IsOpen(); }
  bool Write(const char* data, size_t size) override;
  // True once a write would have passed the bound.
  bool Passed() const { return passed_; }

 private:
  FileStream file_;
  int64_t bound_;
  uint64_t written_ = 0;
  bool passed_ = false;
};

}  // namespace AlibabaCloud::OSS
