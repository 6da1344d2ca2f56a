#include "common/archive.h"

#include <algorithm>
#include <cstring>

namespace common {

size_t MemorySource::Read(void* buffer, size_t size) {
  size_t n = std::min(size, data_.size() - pos_);
  if (n != 0) std::memcpy(buffer, data_.data() + pos_, n);
  pos_ += n;
  return n;
}

bool StringSink::Write(const void* data, size_t size) {
  out_->append(static_cast<const char*>(data), size);
  return true;
}

ArchiveReader::ArchiveReader(ByteSource* source) : source_(source) {}

uint64_t ArchiveReader::Remaining() const { return (end_ - begin_) + source_->Remaining(); }

bool ArchiveReader::Fail(bool truncated) {
  if (!failed_) truncated_ = truncated;
  failed_ = true;
  return false;
}

// Makes at least `size` (<= kBufferSize) bytes available in the buffer.
bool ArchiveReader::Ensure(size_t size) {
  if (failed_) return false;
  if (end_ - begin_ >= size) return true;
  if (begin_ != 0) {
    std::memmove(buffer_, buffer_ + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  while (end_ < size) {
    size_t got = source_->Read(buffer_ + end_, kBufferSize - end_);
    if (got == 0) return Fail(!source_->failed());
    end_ += got;
  }
  return true;
}

bool ArchiveReader::ReadByte(uint8_t* value) {
  if (!Ensure(1)) return false;
  *value = static_cast<uint8_t>(buffer_[begin_]);
  begin_ += 1;
  consumed_ += 1;
  return true;
}

bool ArchiveReader::ReadUint16(uint16_t* value) {
  if (!Ensure(2)) return false;
  const auto* p = reinterpret_cast<const uint8_t*>(buffer_ + begin_);
  *value = static_cast<uint16_t>(p[0] | (p[1] << 8));
  begin_ += 2;
  consumed_ += 2;
  return true;
}

bool ArchiveReader::ReadUint32(uint32_t* value) {
  if (!Ensure(4)) return false;
  const auto* p = reinterpret_cast<const uint8_t*>(buffer_ + begin_);
  *value = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
  begin_ += 4;
  consumed_ += 4;
  return true;
}

bool ArchiveReader::ReadBytes(void* buffer, size_t size) {
  if (failed_) return false;
  if (size > Remaining()) return Fail(true);
  char* out = static_cast<char*>(buffer);
  size_t buffered = std::min(size, end_ - begin_);
  if (buffered != 0) std::memcpy(out, buffer_ + begin_, buffered);
  begin_ += buffered;
  consumed_ += buffered;
  size_t done = buffered;
  // Large blocks go straight from the source; small ones through the buffer.
  while (done < size) {
    size_t want = size - done;
    if (want < kBufferSize) {
      if (!Ensure(want)) return false;
      std::memcpy(out + done, buffer_ + begin_, want);
      begin_ += want;
      consumed_ += want;
      return true;
    }
    size_t got = source_->Read(out + done, want);
    if (got == 0) return Fail(!source_->failed());
    done += got;
    consumed_ += got;
  }
  return true;
}

bool ArchiveReader::ReadCount(uint32_t* count) {
  uint16_t word;
  if (!ReadUint16(&word)) return false;
  if (word != 0xFFFF) {
    *count = word;
    return true;
  }
  return ReadUint32(count);
}

bool ArchiveReader::ReadString(std::string* text) {
  bool utf16 = false;
  uint64_t length = 0;
  // A 0xFFFE marker switches to UTF-16 and is followed by a fresh prefix;
  // each turn consumes input, so a run of markers ends with the data.
  for (;;) {
    uint8_t byte;
    if (!ReadByte(&byte)) return false;
    if (byte != 0xFF) {
      length = byte;
      break;
    }
    uint16_t word;
    if (!ReadUint16(&word)) return false;
    if (word == 0xFFFE) {
      utf16 = true;
      continue;
    }
    if (word == 0xFFFF) {
      uint32_t dword;
      if (!ReadUint32(&dword)) return false;
      length = dword;
    } else {
      length = word;
    }
    break;
  }
  uint64_t bytes = utf16 ? 2 * length : length;
  if (bytes > Remaining()) return Fail(true);

  std::string raw(static_cast<size_t>(bytes), '\0');
  if (bytes != 0 && !ReadBytes(raw.data(), raw.size())) return false;
  if (!utf16) {
    text->swap(raw);
    return true;
  }
  std::string converted;
  converted.reserve(static_cast<size_t>(length));
  bool after_high_surrogate = false;
  for (size_t i = 0; i + 1 < raw.size(); i += 2) {
    uint16_t unit = static_cast<uint16_t>(static_cast<uint8_t>(raw[i]) |
                                          (static_cast<uint8_t>(raw[i + 1]) << 8));
    bool low = unit >= 0xDC00 && unit <= 0xDFFF;
    // A surrogate pair is one character, so it becomes one '?'.
    if (!(low && after_high_surrogate)) converted.push_back(Utf16UnitToAnsi(unit));
    after_high_surrogate = unit >= 0xD800 && unit <= 0xDBFF;
  }
  text->swap(converted);
  return true;
}

ArchiveWriter::ArchiveWriter(ByteSink* sink) : sink_(sink) {}

ArchiveWriter::~ArchiveWriter() { Flush(); }

bool ArchiveWriter::Flush() {
  if (!failed_ && used_ != 0 && !sink_->Write(buffer_, used_)) failed_ = true;
  used_ = 0;
  return !failed_;
}

void ArchiveWriter::WriteBytes(const void* data, size_t size) {
  if (failed_) return;
  const char* in = static_cast<const char*>(data);
  if (size <= kBufferSize - used_) {
    std::memcpy(buffer_ + used_, in, size);
    used_ += size;
    return;
  }
  if (!Flush()) return;
  if (size >= kBufferSize) {
    if (!sink_->Write(in, size)) failed_ = true;
    return;
  }
  std::memcpy(buffer_, in, size);
  used_ = size;
}

void ArchiveWriter::WriteByte(uint8_t value) {
  if (used_ < kBufferSize) {
    buffer_[used_++] = static_cast<char>(value);
    return;
  }
  WriteBytes(&value, 1);
}

void ArchiveWriter::WriteUint16(uint16_t value) {
  const uint8_t bytes[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
  WriteBytes(bytes, 2);
}

void ArchiveWriter::WriteUint32(uint32_t value) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                            static_cast<uint8_t>(value >> 16),
                            static_cast<uint8_t>(value >> 24)};
  WriteBytes(bytes, 4);
}

void ArchiveWriter::WriteCount(uint32_t count) {
  if (count < 0xFFFF) {
    WriteUint16(static_cast<uint16_t>(count));
    return;
  }
  WriteUint16(0xFFFF);
  WriteUint32(count);
}

void ArchiveWriter::WriteString(std::string_view text) {
  uint64_t length = text.size();
  if (length < 0xFF) {
    WriteByte(static_cast<uint8_t>(length));
  } else if (length < 0xFFFE) {
    WriteByte(0xFF);
    WriteUint16(static_cast<uint16_t>(length));
  } else if (length <= 0xFFFFFFFFu) {
    WriteByte(0xFF);
    WriteUint16(0xFFFF);
    WriteUint32(static_cast<uint32_t>(length));
  } else {
    failed_ = true;
    return;
  }
  WriteBytes(text.data(), text.size());
}

namespace {

// Windows-1252 bytes 0x80..0x9F that stand for characters beyond Latin-1.
constexpr struct {
  uint16_t unit;
  uint8_t byte;
} kHigh[] = {
    {0x20AC, 0x80}, {0x201A, 0x82}, {0x0192, 0x83}, {0x201E, 0x84}, {0x2026, 0x85},
    {0x2020, 0x86}, {0x2021, 0x87}, {0x02C6, 0x88}, {0x2030, 0x89}, {0x0160, 0x8A},
    {0x2039, 0x8B}, {0x0152, 0x8C}, {0x017D, 0x8E}, {0x2018, 0x91}, {0x2019, 0x92},
    {0x201C, 0x93}, {0x201D, 0x94}, {0x2022, 0x95}, {0x2013, 0x96}, {0x2014, 0x97},
    {0x02DC, 0x98}, {0x2122, 0x99}, {0x0161, 0x9A}, {0x203A, 0x9B}, {0x0153, 0x9C},
    {0x017E, 0x9E}, {0x0178, 0x9F},
};

}  // namespace

char Utf16UnitToAnsi(uint16_t unit) {
  if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) return static_cast<char>(unit);
  // The five bytes Windows-1252 leaves undefined round-trip as themselves.
  switch (unit) {
    case 0x81: case 0x8D: case 0x8F: case 0x90: case 0x9D:
      return static_cast<char>(unit);
    default:
      break;
  }
  for (const auto& entry : kHigh)
    if (entry.unit == unit) return static_cast<char>(entry.byte);
  return '?';
}

uint16_t AnsiToUtf16Unit(char byte) {
  uint8_t b = static_cast<uint8_t>(byte);
  if (b < 0x80 || b >= 0xA0) return b;
  for (const auto& entry : kHigh)
    if (entry.byte == b) return entry.unit;
  return b;
}

}  // namespace common
