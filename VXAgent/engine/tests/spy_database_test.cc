#include "VXAgent/engine/spy_database.h"

#include <gtest/gtest.h>

#include "common/rc4.h"
#include "platform/file.h"
#include "platform/testing/temp_host.h"

namespace engine {
namespace {

class SpyDatabaseTest : public ::testing::Test {
 protected:
  void WriteDatabase(const SpyMap& map) {
    std::string bytes = EncodeSpyArchive(map);
    ASSERT_TRUE(common::Rc4Crypt(&bytes));
    ASSERT_TRUE(platform::WriteStringToFile(SpyDatabasePath(), bytes));
  }
  platform::testing::TempHost host_;
};

TEST_F(SpyDatabaseTest, PathsAreInTheSystemFolder) {
  EXPECT_EQ("C:\\WINDOWS\\system32\\VXCESpylist.db", SpyDatabasePath());
  EXPECT_EQ("C:\\WINDOWS\\system32\\ExcludeDB.db", ExcludeListPath());
}

TEST_F(SpyDatabaseTest, ReadsTheEncipheredDatabase) {
  CSpy first;
  first.files = {"%WINDIR%\\first.exe"};
  first.processes = {"%SYSDIR%\\first.exe"};
  CSpy second;  // an empty process list adds nothing but the spy loads
  second.regKeys = {"HKLM\\Software\\Second"};
  WriteDatabase({{"First", std::make_shared<const CSpy>(first)},
                 {"Second", std::make_shared<const CSpy>(second)}});
  std::string plain;
  ASSERT_TRUE(DecipherSpyDatabase(&plain));
  EXPECT_EQ(0x02, plain[0]) << "deciphered: the spy count comes first";
  SpyMap map;
  EXPECT_EQ(SpyArchiveStatus::kOk, ReadSpyDatabase(&map));
  ASSERT_EQ(2u, map.size());
  EXPECT_EQ(first, *map["First"]);
  EXPECT_EQ(second, *map["Second"]);
}

TEST_F(SpyDatabaseTest, MissingDatabaseLoadsNothing) {
  SpyMap map;
  std::string plain = "untouched";
  EXPECT_FALSE(DecipherSpyDatabase(&plain));
  EXPECT_EQ("untouched", plain);
  EXPECT_EQ(SpyArchiveStatus::kOk, ReadSpyDatabase(&map));
  EXPECT_TRUE(map.empty());
}

TEST_F(SpyDatabaseTest, UnencipheredDatabaseReadsAsNoise) {
  // A plain archive deciphers to noise: whatever is read, nothing crashes.
  CSpy spy;
  spy.files = {"C:\\x.exe"};
  ASSERT_TRUE(platform::WriteStringToFile(SpyDatabasePath(),
                                          EncodeSpyArchive({{"A", std::make_shared<const CSpy>(spy)}})));
  SpyMap map;
  EXPECT_NE(SpyArchiveStatus::kOk, ReadSpyDatabase(&map));
}

TEST_F(SpyDatabaseTest, ExcludeListReadsAndWritesBack) {
  const std::string path = ExcludeListPath();
  ASSERT_TRUE(platform::WriteStringToFile(path, ExcludeList::Encode({"SpyA", "Spy B"})));
  ASSERT_TRUE(platform::SetFileAttributes(path, platform::kAttrReadOnly | platform::kAttrHidden));
  {
    ExcludeList list;
    EXPECT_EQ((std::vector<std::string>{"SpyA", "Spy B"}), list.names());
    EXPECT_EQ(platform::kAttrArchive, platform::GetFileAttributes(path));
  }
  std::string bytes;
  ASSERT_TRUE(platform::ReadFileToString(path, &bytes));
  EXPECT_EQ(ExcludeList::Encode({"SpyA", "Spy B"}), bytes);
}

TEST_F(SpyDatabaseTest, MissingOrDamagedExcludeListBecomesAnEmptyOne) {
  struct Case {
    const char* what;
    std::optional<std::string> content;
  } cases[] = {
      {"missing", std::nullopt},
      {"damaged", std::string("\x05\x00\x04SpyA", 7)},
      {"empty file", std::string()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = ExcludeListPath();
    platform::DeleteFile(path);
    if (c.content) {
      ASSERT_TRUE(platform::WriteStringToFile(path, *c.content));
    }
    {
      ExcludeList list;
      EXPECT_TRUE(list.names().empty());
    }
    std::string bytes;
    ASSERT_TRUE(platform::ReadFileToString(path, &bytes));
    EXPECT_EQ(std::string("\0\0", 2), bytes);
  }
}

}  // namespace
}  // namespace engine
