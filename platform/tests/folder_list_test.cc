#include "platform/folder_list.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/testing/temp_host.h"

namespace platform {
namespace {

class FolderListTest : public ::testing::Test {
 protected:
  FolderListTest() {
    for (const char* name : {"b.txt", "_a.txt", "B", "a", "A.TXT", "Zed", "zed2"})
      host_.WriteFile(std::string("C:\\Walk\\") + name + (std::string(name) == "B" || std::string(name) == "Zed" ? "\\x" : ""), "x");
    std::filesystem::create_directory_symlink(host_.Real("C:\\Walk\\Zed"), host_.Real("C:\\Walk\\link"));
  }
  testing::TempHost host_;
};

TEST_F(FolderListTest, SameNamesFlagsAndOrderAsFindFile) {
  std::vector<FolderEntry> listed;
  ASSERT_TRUE(ListFolder("c:\\walk", &listed));
  std::vector<std::pair<std::string, bool>> found, expected;
  for (const auto& e : listed) found.push_back({e.name, e.directory});
  FindFile find;
  FindData data;
  ASSERT_TRUE(find.First("C:\\Walk\\*.*", &data));
  do {
    if (data.name != "." && data.name != "..")
      expected.push_back({data.name, (data.attributes & kAttrDirectory) != 0});
  } while (find.Next(&data));
  EXPECT_EQ(expected, found);
  EXPECT_EQ(8u, found.size());
}

TEST_F(FolderListTest, MissingFoldersAndFilesAreNotListed) {
  std::vector<FolderEntry> untouched = {{"keep", true}};
  for (const char* path : {"C:\\Walk\\none", "C:\\Walk\\b.txt", "Q:\\"}) {
    EXPECT_FALSE(ListFolder(path, &untouched)) << path;
    EXPECT_EQ(static_cast<uint32_t>(kErrorPathNotFound), GetLastError()) << path;
    EXPECT_EQ(1u, untouched.size());
  }
  int visits = 0;
  EXPECT_FALSE(VisitFolder("C:\\Walk\\none", [&](std::string_view, bool) { ++visits; }));
  EXPECT_EQ(0, visits);
}

}  // namespace
}  // namespace platform
