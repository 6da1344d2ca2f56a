// ByteSource and ByteSink over an open platform::File, so that archive
// readers and writers work on files of the host the same way as on memory.
#pragma once

#include <cstdint>

#include "common/archive.h"
#include "platform/file.h"

namespace common {

// Reads from the file's current position to the end it had when the source
// was made (the bound the reader checks lengths against).
class FileSource : public ByteSource {
 public:
  explicit FileSource(platform::File* file);
  size_t Read(void* buffer, size_t size) override;
  uint64_t Remaining() const override { return remaining_; }
  bool failed() const override { return failed_; }

 private:
  platform::File* file_;
  uint64_t remaining_ = 0;
  bool failed_ = false;
};

// Writes at the file's current position.
class FileSink : public ByteSink {
 public:
  explicit FileSink(platform::File* file) : file_(file) {}
  bool Write(const void* data, size_t size) override;

 private:
  platform::File* file_;
};

}  // namespace common
