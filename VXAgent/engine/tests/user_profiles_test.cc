#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "VXAgent/engine/path_expander.h"
#include "platform/testing/temp_host.h"

namespace engine {
namespace {

TEST(UserProfilesTest, EveryEntryOfTheProfilesFolder) {
  platform::HostOptions options;
  options.users = {"Administrator", "alice"};
  platform::testing::TempHost host(options);
  // A stray file is listed too: entries are not checked to be folders.
  host.WriteFile("C:\\Documents and Settings\\notes.txt", "x");
  CPathExpander expander;
  std::vector<std::string> list = {"kept"};
  ListUserProfiles(expander, &list);
  ASSERT_FALSE(list.empty());
  EXPECT_EQ("kept", list[0]);
  std::vector<std::string> got(list.begin() + 1, list.end());
  std::sort(got.begin(), got.end());
  EXPECT_EQ((std::vector<std::string>{
                "C:\\Documents and Settings\\Administrator",
                "C:\\Documents and Settings\\All Users",
                "C:\\Documents and Settings\\alice",
                "C:\\Documents and Settings\\notes.txt",
            }),
            got);
}

TEST(UserProfilesTest, NoProfilesFolderYieldsNothing) {
  platform::testing::TempHost host;
  std::filesystem::remove_all(host.Real("C:\\Documents and Settings"));
  CPathExpander expander;
  std::vector<std::string> list;
  ListUserProfiles(expander, &list);
  EXPECT_TRUE(list.empty());
}

}  // namespace
}  // namespace engine
