// Host accounts: password hashes, the accounts file, and host.ini kept in
// step by the vxhost user commands.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "hostd/remote/accounts.h"
#include "hostd/tests/support/remote_daemon.h"
#include "platform/host.h"
#include "platform/testing/temp_host.h"

namespace {
namespace fs = std::filesystem;

TEST(AccountsTest, PasswordHashes) {
  std::string h = hostd::HashPassword("s3cret", 1000);
  EXPECT_EQ(h.rfind("pbkdf2-sha256$1000$", 0), 0u);
  EXPECT_NE(h, hostd::HashPassword("s3cret", 1000));  // salted
  struct Case {
    const char* password;
    std::string stored;
    bool ok;
  };
  std::string tampered = h;
  tampered.back() = tampered.back() == '0' ? '1' : '0';
  const Case cases[] = {
      {"s3cret", h, true},
      {"S3cret", h, false},
      {"", h, false},
      {"s3cret", tampered, false},
      {"s3cret", "", false},
      {"s3cret", "pbkdf2-sha256$1000$zz$00", false},
      {"s3cret", "pbkdf2-sha256$0$00$00", false},
      {"s3cret", "pbkdf2-sha256$99999999999$00$00", false},
      {"s3cret", "md5$1$00$00", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored);
    EXPECT_EQ(hostd::VerifyPassword(c.password, c.stored), c.ok);
  }
}

TEST(AccountsTest, FileRoundTripAndMalformedLines) {
  platform::testing::TempDir dir;
  std::string path = dir.path() + "/accounts";
  hostd::AccountsFile f;
  std::string error;
  ASSERT_TRUE(hostd::AccountsFile::Load(path, &f, &error));  // missing = empty
  EXPECT_TRUE(f.accounts().empty());
  f.Put({"Administrator", {"Administrators"}, hostd::HashPassword("a", 1000)});
  f.Put({"bob", {"Users", "Backup Operators"}, ""});
  ASSERT_TRUE(f.Save(path, &error)) << error;
  hostd::AccountsFile g;
  ASSERT_TRUE(hostd::AccountsFile::Load(path, &g, &error)) << error;
  ASSERT_NE(g.Find("BOB"), nullptr);
  EXPECT_EQ(g.Find("bob")->groups, (std::vector<std::string>{"Users", "Backup Operators"}));
  EXPECT_TRUE(hostd::IsAdministrator(g.Find("administrator")->groups));
  EXPECT_FALSE(hostd::IsAdministrator(g.Find("bob")->groups));
  EXPECT_TRUE(hostd::VerifyPassword("a", g.Find("Administrator")->password_hash));

  for (const char* bad : {"name-only\n", "a:b\n", "bad/name:Users:x\n", "a:b:c:d\n"}) {
    SCOPED_TRACE(bad);
    std::ofstream(path) << bad;
    hostd::AccountsFile h;
    EXPECT_FALSE(hostd::AccountsFile::Load(path, &h, &error));
  }
}

TEST(AccountsTest, UserCommandsKeepHostIniInStep) {
  platform::testing::TempDir dir;
  std::string root = dir.path() + "/h";
  using hostd::testing::RunTool;
  ASSERT_EQ(RunTool({"vxhost", "create", root, "--name", "PC1"}), 0);
  ASSERT_EQ(RunTool({"vxhost", "--root", root, "user", "add", "carol", "--group", "Administrators",
                     "--group", "Users", "--password-stdin"}, "pw\n"), 0);
  EXPECT_NE(RunTool({"vxhost", "--root", root, "user", "add", "Carol", "--password", "x"}), 0);
  EXPECT_NE(RunTool({"vxhost", "--root", root, "user", "add", "x:y", "--password", "x"}), 0);
  ASSERT_EQ(RunTool({"vxhost", "--root", root, "user", "passwd", "Administrator", "--password", "adm"}), 0);
  EXPECT_NE(RunTool({"vxhost", "--root", root, "user", "passwd", "nobody", "--password", "x"}), 0);

  std::string error;
  auto host = platform::Host::Load(root, &error);
  ASSERT_TRUE(host) << error;
  const platform::UserAccount* carol = host->FindUser("carol");
  ASSERT_NE(carol, nullptr);
  EXPECT_EQ(carol->groups, (std::vector<std::string>{"Administrators", "Users"}));
  EXPECT_EQ(carol->sid.rfind("S-1-5-21-", 0), 0u);
  EXPECT_NE(carol->sid, host->FindUser("Administrator")->sid);
  EXPECT_TRUE(fs::is_directory(root + "/C/Documents and Settings/carol/Desktop"));
  hostd::AccountsFile accounts;
  ASSERT_TRUE(hostd::AccountsFile::Load(host->AccountsFile(), &accounts, &error));
  ASSERT_NE(accounts.Find("carol"), nullptr);
  EXPECT_TRUE(hostd::VerifyPassword("pw", accounts.Find("carol")->password_hash));
  EXPECT_TRUE(hostd::VerifyPassword("adm", accounts.Find("Administrator")->password_hash));
  EXPECT_EQ(accounts.Find("Administrator")->groups, (std::vector<std::string>{"Administrators"}));

  ASSERT_EQ(RunTool({"vxhost", "--root", root, "user", "del", "CAROL"}), 0);
  host = platform::Host::Load(root, &error);
  EXPECT_EQ(host->FindUser("carol"), nullptr);
  ASSERT_TRUE(hostd::AccountsFile::Load(host->AccountsFile(), &accounts, &error));
  EXPECT_EQ(accounts.Find("carol"), nullptr);
  EXPECT_NE(RunTool({"vxhost", "--root", root, "user", "del", "carol"}), 0);
}

}  // namespace
