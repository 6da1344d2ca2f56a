#include "VXAgent/engine/cookie_items.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "platform/strings.h"
#include "platform/testing/temp_host.h"

namespace engine {
namespace {

namespace fs = std::filesystem;

class CookieItemsTest : public ::testing::Test {
 protected:
  CookieItemsTest() : host_(Options()) {}
  static platform::HostOptions Options() {
    platform::HostOptions o;
    o.users = {"Administrator", "alice"};
    return o;
  }
  std::string Cookie(const std::string& profile, const std::string& name) {
    return "C:\\Documents and Settings\\" + profile + "\\Cookies\\" + name;
  }
  void Plant(const std::string& profile, const std::string& name) {
    host_.WriteFile(Cookie(profile, name), "cookie");
  }
  bool Exists(const std::string& windows_path) { return fs::exists(host_.Real(windows_path)); }
  // The profiles after "$", sorted (their order is the directory search's).
  static std::vector<std::string> Listed(const std::string& trace) {
    size_t dollar = trace.find('$');
    if (dollar == std::string::npos) return {};
    std::vector<std::string> out = platform::Split(trace.substr(dollar + 1), ',');
    EXPECT_EQ("", out.back()) << "every profile ends with a comma";
    out.pop_back();
    std::sort(out.begin(), out.end());
    return out;
  }
  platform::testing::TempHost host_;
};

TEST_F(CookieItemsTest, PresenceAndProfileList) {
  Plant("Administrator", "administrator@adsite[1].txt");
  Plant("alice", "alice@adsite[2].txt");
  Plant("alice", "alice@anotheradsite[1].txt");
  Plant("alice", "index.dat");
  struct Case {
    const char* site;
    std::vector<std::string> profiles;  // empty: not present
  } cases[] = {
      {"www.adsite.com", {"Administrator", "alice"}},
      {"adsite", {"Administrator", "alice"}},
      {"www.anotheradsite.com", {"alice"}},
      {"adsite.net", {}},
      {"www.otheradsite.com", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.site);
    CCookieItem item(c.site, "Spy");
    EXPECT_EQ(!c.profiles.empty(), item.IsPresent());
    EXPECT_EQ(c.profiles, Listed(item.trace()));
    if (c.profiles.empty()) {
      EXPECT_EQ(c.site, item.trace());
    }
  }
  CCookieItem item("www.adsite.com", "Spy");
  ASSERT_TRUE(item.IsPresent());
  ASSERT_TRUE(item.IsPresent());
  EXPECT_EQ((std::vector<std::string>{"Administrator", "alice"}), Listed(item.trace()))
      << "a second test does not stack lists";
  EXPECT_EQ("Cookie", item.GetTypeName());
}

TEST_F(CookieItemsTest, DeleteActsOnTheListedProfilesOnly) {
  Plant("Administrator", "administrator@adsite[1].txt");
  Plant("alice", "alice@adsite[1].txt");
  Plant("Administrator", "administrator@keep[1].txt");
  CCookieItem item("www.adsite.com$Administrator,", "Spy");
  EXPECT_EQ(kTraceDone, item.Remove("Spy", item.trace(), "Cookie", kDeleteDetected));
  EXPECT_FALSE(Exists(Cookie("Administrator", "administrator@adsite[1].txt")));
  EXPECT_TRUE(Exists(Cookie("alice", "alice@adsite[1].txt")));
  EXPECT_TRUE(Exists(Cookie("Administrator", "administrator@keep[1].txt")));
  // Without a profile list nothing is done.
  CCookieItem bare("www.adsite.com", "Spy");
  EXPECT_EQ(kTraceDone, bare.Remove("Spy", bare.trace(), "Cookie", kDeleteDetected));
  EXPECT_TRUE(Exists(Cookie("alice", "alice@adsite[1].txt")));
}

TEST_F(CookieItemsTest, QuarantineRecoverAndDeleteQuarantined) {
  Plant("alice", "alice@adsite[1].txt");
  CCookieItem item("www.adsite.com", "Spy");
  ASSERT_TRUE(item.IsPresent());
  ASSERT_EQ(kTraceDone, item.Quarantine());
  EXPECT_FALSE(Exists(Cookie("alice", "alice@adsite[1].txt")));
  EXPECT_TRUE(Exists(Cookie("alice", "txt.]1[etisda@ecila")));
  EXPECT_FALSE(item.IsPresent());
  // A console order carries the logged form.
  CCookieItem order("www.adsite.com$alice,", "Spy");
  ASSERT_EQ(kTraceDone, order.Remove("Spy", order.trace(), "Cookie", kRecoverQuarantined));
  EXPECT_TRUE(Exists(Cookie("alice", "alice@adsite[1].txt")));
  ASSERT_EQ(kTraceDone, order.Quarantine());
  ASSERT_EQ(kTraceDone, order.Remove("Spy", order.trace(), "Cookie", kDeleteQuarantined));
  EXPECT_FALSE(Exists(Cookie("alice", "txt.]1[etisda@ecila")));
  EXPECT_FALSE(Exists(Cookie("alice", "alice@adsite[1].txt")));
}

TEST_F(CookieItemsTest, NoProfilesFolderFindsNothing) {
  fs::remove_all(host_.Real("C:\\Documents and Settings"));
  EXPECT_EQ("C:\\Documents and Settings", CookieProfilesFolder());
  EXPECT_FALSE(CCookieItem("www.adsite.com", "Spy").IsPresent());
}

TEST_F(CookieItemsTest, ListTakesStringsUnchanged) {
  CCookieList list;
  list.AddDefinitions("Spy", {"www.adsite.com", "%WINDIR%"});
  ASSERT_EQ(2u, list.items().size());
  EXPECT_EQ("www.adsite.com", list.items()[0]->trace());
  EXPECT_EQ("%WINDIR%", list.items()[1]->trace());
}

}  // namespace
}  // namespace engine
