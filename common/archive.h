// The count and string encodings shared by every binary file of the suite
// (string map files, the definition and exclusion databases).
//
// `ArchiveCount`: a 2-byte count; from 65535 on, 0xFFFF followed by the
// count in 4 bytes. `ArchiveString`: a length prefix (1 byte below 255,
// 0xFF + 2 bytes up to 65533, 0xFF 0xFFFF + 4 bytes beyond) and the bytes
// of the text, no terminator. Readers also accept 0xFF 0xFFFE, which marks
// a UTF-16LE string behind a fresh prefix; it is converted to single-byte
// text. All integers are little-endian and written byte by byte.
//
// ArchiveReader never trusts a length or a count: before anything is
// allocated the claimed size is checked against the bytes really left in
// the source, so hostile input costs constant memory. Once a read fails the
// reader stays failed (truncated() tells a short input from other faults)
// and out-parameters of the failed call are left untouched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace common {

// Where an ArchiveReader takes its bytes from.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Copies up to `size` bytes into `buffer`; returns how many (0 at the end
  // or on an error).
  virtual size_t Read(void* buffer, size_t size) = 0;
  // The number of bytes that later Read calls can still deliver.
  virtual uint64_t Remaining() const = 0;
  // True once a Read failed for a reason other than the end of the data.
  virtual bool failed() const { return false; }
};

// Bytes held in memory; the caller keeps them alive.
class MemorySource : public ByteSource {
 public:
  explicit MemorySource(std::string_view data) : data_(data) {}
  size_t Read(void* buffer, size_t size) override;
  uint64_t Remaining() const override { return data_.size() - pos_; }

 private:
  std::string_view data_;
  size_t pos_ = 0;
};

// Where an ArchiveWriter puts its bytes.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Writes all `size` bytes; false on an error.
  virtual bool Write(const void* data, size_t size) = 0;
};

// Appends to a string owned by the caller.
class StringSink : public ByteSink {
 public:
  explicit StringSink(std::string* out) : out_(out) {}
  bool Write(const void* data, size_t size) override;

 private:
  std::string* out_;
};

class ArchiveReader {
 public:
  // Buffered like the writers of the suite (4,096 bytes at a time).
  static constexpr size_t kBufferSize = 4096;

  explicit ArchiveReader(ByteSource* source);
  ArchiveReader(const ArchiveReader&) = delete;
  ArchiveReader& operator=(const ArchiveReader&) = delete;

  bool ReadByte(uint8_t* value);
  bool ReadUint16(uint16_t* value);
  bool ReadUint32(uint32_t* value);
  // Exactly `size` bytes, or false. A size larger than what is left fails
  // before anything is stored; after an I/O error mid-way the buffer holds
  // a part of the bytes.
  bool ReadBytes(void* buffer, size_t size);
  // `ArchiveCount`.
  bool ReadCount(uint32_t* count);
  // `ArchiveString`; UTF-16 strings come back as single-byte text.
  bool ReadString(std::string* text);

  // Bytes not yet consumed (buffered and still in the source).
  uint64_t Remaining() const;
  uint64_t position() const { return consumed_; }
  bool ok() const { return !failed_; }
  // True when a read failed because the input ended too early.
  bool truncated() const { return truncated_; }

 private:
  bool Ensure(size_t size);
  bool Fail(bool truncated);

  ByteSource* source_;
  char buffer_[kBufferSize];
  size_t begin_ = 0, end_ = 0;
  uint64_t consumed_ = 0;
  bool failed_ = false;
  bool truncated_ = false;
};

class ArchiveWriter {
 public:
  static constexpr size_t kBufferSize = 4096;

  explicit ArchiveWriter(ByteSink* sink);
  ArchiveWriter(const ArchiveWriter&) = delete;
  ArchiveWriter& operator=(const ArchiveWriter&) = delete;
  // Flushes what is still buffered (its result is lost; call Flush first).
  ~ArchiveWriter();

  void WriteByte(uint8_t value);
  void WriteUint16(uint16_t value);
  void WriteUint32(uint32_t value);
  void WriteBytes(const void* data, size_t size);
  // `ArchiveCount`.
  void WriteCount(uint32_t count);
  // `ArchiveString` with the shortest prefix. Texts of 4 GB and more cannot
  // be encoded; they fail the writer.
  void WriteString(std::string_view text);

  // Hands the buffered bytes to the sink; false once any write failed.
  bool Flush();
  bool ok() const { return !failed_; }

 private:
  ByteSink* sink_;
  char buffer_[kBufferSize];
  size_t used_ = 0;
  bool failed_ = false;
};

// Single-byte text of one UTF-16 code unit (Windows-1252; '?' for the
// characters that code page lacks).
char Utf16UnitToAnsi(uint16_t unit);
// The character a single-byte (Windows-1252) text byte stands for; the five
// bytes that code page leaves undefined stand for themselves.
uint16_t AnsiToUtf16Unit(char byte);

}  // namespace common
