// ReadStringMapFile and WriteStringMapFile on files of an emulated host.
#include "common/string_map_file.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform/error.h"
#include "platform/testing/temp_host.h"

namespace common {
namespace {

class StringMapFileTest : public ::testing::Test {
 protected:
  std::string ReadReal(const std::string& windows_path) {
    std::ifstream in(host_.Real(windows_path), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  platform::testing::TempHost host_;
  const std::string path_ = "C:\\WINDOWS\\system32\\RestartDelete.db";
};

StringMap TenPairs() {
  StringMap map;
  for (int i = 0; i < 10; ++i) map["C:\\spy\\file" + std::to_string(i) + ".exe"] = "1";
  return map;
}

TEST_F(StringMapFileTest, WriteWithoutTruncateLeavesOldTailThatReadersIgnore) {
  ASSERT_TRUE(WriteStringMapFile(path_, TenPairs(), true));
  const std::string ten = ReadReal(path_);
  const StringMap one = {{"k", "v"}};
  ASSERT_TRUE(WriteStringMapFile(path_, one, false));
  std::string now = ReadReal(path_);
  const std::string head = StringMapFile::Encode(one);
  ASSERT_EQ(now.size(), ten.size());
  EXPECT_EQ(now.substr(0, head.size()), head);
  EXPECT_EQ(now.substr(head.size()), ten.substr(head.size()));
  StringMap back;
  ASSERT_TRUE(ReadStringMapFile(path_, &back));
  EXPECT_EQ(back, one);

  ASSERT_TRUE(WriteStringMapFile(path_, one, true));
  EXPECT_EQ(ReadReal(path_), head);
}

TEST_F(StringMapFileTest, RoundTripOfLargeStringsAndManyPairs) {
  StringMap map;
  for (int i = 0; i < 70000; ++i) map["key" + std::to_string(i)] = std::to_string(i * 3);
  map["big"] = std::string(70000, 'x');
  ASSERT_TRUE(WriteStringMapFile(path_, map, false));
  StringMap back;
  ASSERT_TRUE(ReadStringMapFile(path_, &back));
  EXPECT_EQ(back, map);
}

TEST_F(StringMapFileTest, MissingFileFailsAndLeavesMapUnchanged) {
  StringMap map = {{"a", "1"}};
  EXPECT_FALSE(ReadStringMapFile("C:\\WINDOWS\\system32\\absent.db", &map));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorFileNotFound);
  EXPECT_EQ(map, (StringMap{{"a", "1"}}));
  EXPECT_FALSE(WriteStringMapFile("C:\\no folder\\x.db", map, false));
}

TEST_F(StringMapFileTest, TruncatedAndHostileFilesKeepPairsReadSoFar) {
  std::string good = StringMapFile::Encode({{"a", "1"}, {"b", "2"}});
  struct Case {
    const char* name;
    std::string bytes;
    size_t pairs;
  } cases[] = {
      {"cut inside the second pair", good.substr(0, good.size() - 1), 1},
      {"4 billion pairs claimed", std::string("\xFF\xFF\xFF\xFF\xFF\xFF\x01k\x01v", 10), 1},
      {"4 GB key claimed", std::string("\x01\x00\xFF\xFF\xFF\xFF\xFF\xFF\xFFk", 10), 0},
      {"empty file", "", 0},
  };
  for (const Case& c : cases) {
    host_.WriteFile(path_, c.bytes);
    StringMap map;
    EXPECT_FALSE(ReadStringMapFile(path_, &map)) << c.name;
    EXPECT_EQ(map.size(), c.pairs) << c.name;
  }
}

}  // namespace
}  // namespace common
