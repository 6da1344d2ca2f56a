// The archive encodings and the string map layout, on bytes in memory.
#include "common/archive.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "common/string_map_file.h"

namespace common {
namespace {

std::string Bytes(std::initializer_list<int> bytes) {
  std::string out;
  for (int b : bytes) out.push_back(static_cast<char>(b));
  return out;
}

std::string EncodeString(std::string_view text) {
  std::string out;
  StringSink sink(&out);
  ArchiveWriter writer(&sink);
  writer.WriteString(text);
  EXPECT_TRUE(writer.Flush());
  return out;
}

std::string EncodeCount(uint32_t count) {
  std::string out;
  StringSink sink(&out);
  ArchiveWriter writer(&sink);
  writer.WriteCount(count);
  EXPECT_TRUE(writer.Flush());
  return out;
}

TEST(ArchiveStringTest, ShortestPrefixAtEachBoundary) {
  struct Case {
    size_t length;
    std::string prefix;
  } cases[] = {
      {0, Bytes({0x00})},
      {254, Bytes({0xFE})},
      {255, Bytes({0xFF, 0xFF, 0x00})},
      {300, Bytes({0xFF, 0x2C, 0x01})},
      {65533, Bytes({0xFF, 0xFD, 0xFF})},
      {65534, Bytes({0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0x00, 0x00})},
      {65535, Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00})},
      {70000, Bytes({0xFF, 0xFF, 0xFF, 0x70, 0x11, 0x01, 0x00})},
  };
  for (const Case& c : cases) {
    std::string text(c.length, 'a');
    std::string encoded = EncodeString(text);
    ASSERT_EQ(encoded.size(), c.prefix.size() + c.length) << c.length;
    EXPECT_EQ(encoded.substr(0, c.prefix.size()), c.prefix) << c.length;
    MemorySource source(encoded);
    ArchiveReader reader(&source);
    std::string back;
    ASSERT_TRUE(reader.ReadString(&back)) << c.length;
    EXPECT_EQ(back, text);
    EXPECT_EQ(reader.Remaining(), 0u);
  }
}

TEST(ArchiveCountTest, TwoBytesBelow65535ElseEscapeAndFourBytes) {
  struct Case {
    uint32_t count;
    std::string bytes;
  } cases[] = {
      {0, Bytes({0x00, 0x00})},
      {1, Bytes({0x01, 0x00})},
      {65534, Bytes({0xFE, 0xFF})},
      {65535, Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00})},
      {70000, Bytes({0xFF, 0xFF, 0x70, 0x11, 0x01, 0x00})},
      {0xFFFFFFFF, Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EncodeCount(c.count), c.bytes) << c.count;
    MemorySource source(c.bytes);
    ArchiveReader reader(&source);
    uint32_t back = 0;
    ASSERT_TRUE(reader.ReadCount(&back));
    EXPECT_EQ(back, c.count);
  }
}

TEST(ArchiveStringTest, Utf16FormIsConvertedToSingleByte) {
  struct Case {
    const char* name;
    std::string encoded;
    std::string text;
  } cases[] = {
      {"ascii", Bytes({0xFF, 0xFE, 0xFF, 0x02, 'h', 0, 'i', 0}), "hi"},
      {"latin1 and euro",
       Bytes({0xFF, 0xFE, 0xFF, 0x03, 0xE9, 0x00, 0xAC, 0x20, 0xFC, 0x00}), "\xE9\x80\xFC"},
      {"unmappable", Bytes({0xFF, 0xFE, 0xFF, 0x01, 0x16, 0x04}), "?"},
      {"surrogate pair is one character",
       Bytes({0xFF, 0xFE, 0xFF, 0x03, 0x3D, 0xD8, 0x00, 0xDE, 'x', 0}), "?x"},
      {"long prefix after marker",
       Bytes({0xFF, 0xFE, 0xFF, 0xFF, 0x01, 0x00, 'a', 0}), "a"},
      {"four-byte prefix after marker",
       Bytes({0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x00, 0x00, 'b', 0}), "b"},
      {"repeated marker", Bytes({0xFF, 0xFE, 0xFF, 0xFF, 0xFE, 0xFF, 0x01, 'c', 0}), "c"},
      {"empty", Bytes({0xFF, 0xFE, 0xFF, 0x00}), ""},
  };
  for (const Case& c : cases) {
    MemorySource source(c.encoded);
    ArchiveReader reader(&source);
    std::string text = "untouched";
    ASSERT_TRUE(reader.ReadString(&text)) << c.name;
    EXPECT_EQ(text, c.text) << c.name;
    EXPECT_EQ(reader.Remaining(), 0u) << c.name;
  }
}

TEST(ArchiveReaderTest, HostileLengthsFailWithoutAllocatingOrTouchingOutput) {
  struct Case {
    const char* name;
    std::string encoded;
  } cases[] = {
      {"4 GB string", Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 'a'})},
      {"4 GB utf16 string", Bytes({0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 'a'})},
      {"one byte short", Bytes({0x03, 'a', 'b'})},
      {"utf16 one byte short", Bytes({0xFF, 0xFE, 0xFF, 0x02, 'a', 0, 'b'})},
      {"prefix cut", Bytes({0xFF, 0x10})},
      {"marker without prefix", Bytes({0xFF, 0xFE, 0xFF})},
      {"empty input", ""},
  };
  for (const Case& c : cases) {
    MemorySource source(c.encoded);
    ArchiveReader reader(&source);
    std::string text = "untouched";
    EXPECT_FALSE(reader.ReadString(&text)) << c.name;
    EXPECT_EQ(text, "untouched") << c.name;
    EXPECT_TRUE(reader.truncated()) << c.name;
    EXPECT_FALSE(reader.ok()) << c.name;
    // A failed reader stays failed.
    uint8_t byte = 0x5A;
    EXPECT_FALSE(reader.ReadByte(&byte)) << c.name;
    EXPECT_EQ(byte, 0x5A);
  }
}

// A source that hands out its bytes in small pieces, so reads cross the
// reader's buffer refills at awkward places.
class DribbleSource : public ByteSource {
 public:
  DribbleSource(std::string data, size_t piece) : data_(std::move(data)), piece_(piece) {}
  size_t Read(void* buffer, size_t size) override {
    size_t n = std::min({size, piece_, data_.size() - pos_});
    std::memcpy(buffer, data_.data() + pos_, n);
    pos_ += n;
    return n;
  }
  uint64_t Remaining() const override { return data_.size() - pos_; }

 private:
  std::string data_;
  size_t piece_;
  size_t pos_ = 0;
};

TEST(ArchiveReaderTest, ReadsAcrossRefillsOfAnySize) {
  StringMap map;
  for (int i = 0; i < 300; ++i)
    map["key" + std::to_string(i)] = std::string(static_cast<size_t>(i * 37 % 9000), 'v');
  std::string encoded = StringMapFile::Encode(map);
  ASSERT_GT(encoded.size(), 3 * ArchiveReader::kBufferSize);
  for (size_t piece : {1u, 3u, 4095u, 4096u, 5000u, 1u << 20}) {
    DribbleSource source(encoded, piece);
    ArchiveReader reader(&source);
    StringMap back;
    ASSERT_TRUE(StringMapFile::Read(&reader, &back)) << piece;
    EXPECT_EQ(back, map) << piece;
    EXPECT_EQ(reader.position(), encoded.size());
  }
}

TEST(StringMapEncodingTest, DocumentedLayouts) {
  EXPECT_EQ(StringMapFile::Encode({}), Bytes({0x00, 0x00}));
  EXPECT_EQ(StringMapFile::Encode({{"k", "v"}, {"ab", ""}}),
            Bytes({0x02, 0x00, 0x02, 'a', 'b', 0x00, 0x01, 'k', 0x01, 'v'}));
  std::string key(300, 'K');
  std::string encoded = StringMapFile::Encode({{key, "x"}});
  EXPECT_EQ(encoded.substr(0, 5), Bytes({0x01, 0x00, 0xFF, 0x2C, 0x01}));

  StringMap big;
  for (int i = 0; i < 70000; ++i) big[std::to_string(i)] = "";
  std::string big_encoded = StringMapFile::Encode(big);
  EXPECT_EQ(big_encoded.substr(0, 6), Bytes({0xFF, 0xFF, 0x70, 0x11, 0x01, 0x00}));
  StringMap back;
  ASSERT_TRUE(StringMapFile::Decode(big_encoded, &back));
  EXPECT_EQ(back, big);
}

TEST(StringMapEncodingTest, ReadMergesIntoMapAndLaterDuplicateWins) {
  std::string encoded = Bytes({0x03, 0x00, 0x01, 'a', 0x01, '1', 0x01, 'A', 0x01, '2', 0x01,
                               'a', 0x01, '3', 'J', 'U', 'N', 'K'});
  StringMap map = {{"kept", "yes"}, {"a", "old"}};
  ASSERT_TRUE(StringMapFile::Decode(encoded, &map));
  EXPECT_EQ(map, (StringMap{{"kept", "yes"}, {"a", "3"}, {"A", "2"}}));
}

TEST(StringMapEncodingTest, TruncationAtEveryOffsetKeepsCompletePairs) {
  StringMap original = {{"alpha", "1"}, {"beta", std::string(300, 'b')}, {"gamma", ""}};
  std::string encoded = StringMapFile::Encode(original);
  // Offsets at which each complete pair ends (map order: alpha, beta, gamma).
  const size_t after_alpha = 2 + 6 + 2;
  const size_t after_beta = after_alpha + 5 + 3 + 300;
  ASSERT_EQ(encoded.size(), after_beta + 6 + 1);
  for (size_t cut = 0; cut < encoded.size(); ++cut) {
    StringMap map = {{"preset", "p"}};
    EXPECT_FALSE(StringMapFile::Decode(encoded.substr(0, cut), &map)) << cut;
    size_t expected_pairs = 1 + (cut >= after_alpha) + (cut >= after_beta);
    EXPECT_EQ(map.size(), expected_pairs) << cut;
    EXPECT_EQ(map.count("alpha"), cut >= after_alpha ? 1u : 0u) << cut;
    if (cut >= after_beta) {
      EXPECT_EQ(map["beta"], original["beta"]);
    }
  }
  StringMap whole;
  EXPECT_TRUE(StringMapFile::Decode(encoded, &whole));
  EXPECT_EQ(whole, original);
}

TEST(StringMapEncodingTest, HostileCountsEndWithFalseAndThePairsRead) {
  struct Case {
    const char* name;
    std::string encoded;
    size_t pairs;
  } cases[] = {
      {"4 billion pairs, none there", Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), 0},
      {"4 billion pairs, one there",
       Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 'k', 0x01, 'v'}), 1},
      {"count escape cut", Bytes({0xFF, 0xFF, 0x10}), 0},
      {"count cut", Bytes({0x01}), 0},
      {"pair with 4 GB value",
       Bytes({0x01, 0x00, 0x01, 'k', 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), 0},
  };
  for (const Case& c : cases) {
    StringMap map;
    EXPECT_FALSE(StringMapFile::Decode(c.encoded, &map)) << c.name;
    EXPECT_EQ(map.size(), c.pairs) << c.name;
  }
}

// A sink that fails after a number of bytes, as a full disk would.
class FailingSink : public ByteSink {
 public:
  explicit FailingSink(size_t capacity) : capacity_(capacity) {}
  bool Write(const void*, size_t size) override {
    if (size > capacity_) return false;
    capacity_ -= size;
    return true;
  }

 private:
  size_t capacity_;
};

TEST(ArchiveWriterTest, SinkFailureIsReported) {
  StringMap map;
  for (int i = 0; i < 2000; ++i) map["key" + std::to_string(i)] = "value";
  FailingSink sink(5000);
  ArchiveWriter writer(&sink);
  StringMapFile::Write(&writer, map);
  EXPECT_FALSE(writer.Flush());
  EXPECT_FALSE(writer.ok());

  FailingSink roomy(1 << 20);
  ArchiveWriter fine(&roomy);
  StringMapFile::Write(&fine, map);
  EXPECT_TRUE(fine.Flush());
}

}  // namespace
}  // namespace common

namespace common {
namespace {

TEST(AnsiConversionTest, EveryByteRoundTripsThroughItsCharacter) {
  for (int b = 0; b < 256; ++b) {
    char byte = static_cast<char>(b);
    EXPECT_EQ(Utf16UnitToAnsi(AnsiToUtf16Unit(byte)), byte) << b;
  }
  EXPECT_EQ(AnsiToUtf16Unit('\x80'), 0x20AC);
  EXPECT_EQ(AnsiToUtf16Unit('\x9F'), 0x0178);
  EXPECT_EQ(AnsiToUtf16Unit('\xE9'), 0x00E9);
}

}  // namespace
}  // namespace common
