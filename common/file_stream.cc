#include "common/file_stream.h"

#include <algorithm>

namespace common {

FileSource::FileSource(platform::File* file) : file_(file) {
  uint64_t size = 0, position = 0;
  if (file_->GetSize(&size) && file_->Seek(0, platform::kSeekCurrent, &position) &&
      position <= size) {
    remaining_ = size - position;
  } else {
    failed_ = true;
  }
}

size_t FileSource::Read(void* buffer, size_t size) {
  if (failed_ || remaining_ == 0) return 0;
  uint32_t want = static_cast<uint32_t>(std::min<uint64_t>({size, remaining_, 1u << 30}));
  uint32_t got = 0;
  if (!file_->Read(buffer, want, &got)) {
    failed_ = true;
    return 0;
  }
  // A file that shrank since the source was made ends early.
  if (got == 0) remaining_ = 0;
  remaining_ -= std::min<uint64_t>(got, remaining_);
  return got;
}

bool FileSink::Write(const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size != 0) {
    uint32_t chunk = static_cast<uint32_t>(std::min<size_t>(size, 1u << 30));
    uint32_t written = 0;
    if (!file_->Write(p, chunk, &written) || written == 0) return false;
    p += written;
    size -= written;
  }
  return true;
}

}  // namespace common
