#include "VXAgent/pipes/version_check.h"

#include <gtest/gtest.h>

#include "platform/registry.h"
#include "platform/testing/temp_host.h"

namespace vxagent {
namespace {

using records::VersionCheckRequest;

std::string Stored(const char* value) {
  platform::RegKey key;
  std::string out = "<absent>";
  if (key.Open(platform::RootKey::kLocalMachine, kAgentKey, platform::kKeyRead) == 0) key.ReadString(value, &out);
  return out;
}

TEST(VersionCheckTest, RegisterThenCompare) {
  platform::testing::TempHost host;
  // Nothing registered yet: both compares cannot read.
  EXPECT_EQ(AnswerVersionCheck({0, "5.1", "2.0", 0}), "Could not read the client version!");
  EXPECT_EQ(AnswerVersionCheck({1, "5.10", "2.0", 0}), "Success");
  EXPECT_EQ(Stored("ClientVersionNo"), "5.10");
  EXPECT_EQ(Stored("ClientDatabaseVersionNo"), "2.0");

  struct Case {
    const char* console;
    const char* reply;
  } product_cases[] = {
      {"5.1", "Same Versions"},    // 5.1 and 5.10 are the same number
      {"5.1.7", "Same Versions"},  // only the leading number counts
      {"5.2", "5.10"},             // different: the stored text comes back
      {"abc", "5.10"},             // no number reads as 0
  };
  for (const auto& c : product_cases)
    EXPECT_EQ(AnswerVersionCheck({0, c.console, "", 0}), c.reply) << c.console;
}

TEST(VersionCheckTest, DatabaseCompareOverwritesOnce) {
  platform::testing::TempHost host;
  ASSERT_EQ(AnswerVersionCheck({1, "5.1", "2.0", 0}), "Success");
  EXPECT_EQ(AnswerVersionCheck({0, "5.1", "3.0", 1}), "2.0");
  EXPECT_EQ(Stored("ClientDatabaseVersionNo"), "3.0");
  EXPECT_EQ(AnswerVersionCheck({0, "5.1", "3.0", 1}), "Same Versions");
  // The product value is untouched by database checks.
  EXPECT_EQ(Stored("ClientVersionNo"), "5.1");
}

}  // namespace
}  // namespace vxagent
