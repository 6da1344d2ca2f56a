#include "VXAgent/engine/trace_operation.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "VXAgent/engine/registry_items.h"
#include "VXAgent/engine/restart_delete_map.h"
#include "platform/file.h"
#include "platform/registry.h"
#include "platform/testing/temp_host.h"

namespace engine {
namespace {

namespace fs = std::filesystem;

class TraceOperationTest : public ::testing::Test {
 protected:
  bool Exists(const std::string& p) { return fs::exists(host_.Real(p)); }
  platform::testing::TempHost host_;
  RestartDeleteMap map_;
};

TEST_F(TraceOperationTest, BuildsEveryLoggedType) {
  struct Case {
    const char* type;
    bool built;
  } cases[] = {{"Cookie", true},          {"File", true},           {"Folder", true},
               {"Registry Key", true},    {"Registry Value", true}, {"Registry Data", true},
               {"Process", false},        {"file", false},          {"Worm", false}};
  for (const auto& c : cases) {
    auto item = BuildTrace(c.type, "HKLM\\Software\\S\\Mode\\:on", "Spy");
    EXPECT_EQ(c.built, item != nullptr) << c.type;
    if (item) {
      EXPECT_EQ(c.type, item->GetTypeName());
    }
  }
  auto data = BuildTrace("Registry Data", "HKLM\\Software\\S\\Mode\\:on", "Spy");
  const auto* parsed = dynamic_cast<const CRegDataItem*>(data.get());
  ASSERT_NE(nullptr, parsed);
  EXPECT_EQ("on", parsed->data()) << "rebuilt in the colon syntax";
  EXPECT_EQ("Mode", parsed->value_name());
}

TEST_F(TraceOperationTest, QuarantineRecoverAndDeleteAFile) {
  host_.WriteFile("C:\\x\\spy.exe", "spy");
  TraceOperation quarantine(&map_);
  EXPECT_TRUE(quarantine.QuarantineTrace("Spy", "File", "C:\\x\\spy.exe"));
  EXPECT_TRUE(Exists("C:\\x\\exe.yps"));
  TraceOperation recover(&map_);
  EXPECT_TRUE(recover.ApplyOperation("Spy", "File", "C:\\x\\spy.exe", kRecoverQuarantined));
  EXPECT_TRUE(Exists("C:\\x\\spy.exe"));
  TraceOperation remove(&map_);
  EXPECT_TRUE(remove.ApplyOperation("Spy", "File", "C:\\x\\spy.exe", kDeleteDetected));
  EXPECT_FALSE(Exists("C:\\x\\spy.exe"));
  EXPECT_FALSE(quarantine.restartNeeded || recover.restartNeeded || remove.restartNeeded);
  EXPECT_TRUE(map_.Snapshot().empty());
}

TEST_F(TraceOperationTest, RecoveringAPendingTraceOnlyCancelsIt) {
  host_.WriteFile("C:\\x\\exe.yps", "quarantined");
  map_.SetPendingQuarantine("C:\\x\\spy.exe", "File");
  TraceOperation op(&map_);
  op.ApplyOperation("Spy", "File", "C:\\x\\spy.exe", kRecoverQuarantined);
  EXPECT_FALSE(map_.Contains("C:\\x\\spy.exe"));
  EXPECT_TRUE(Exists("C:\\x\\exe.yps")) << "nothing on disk is touched";
  EXPECT_FALSE(Exists("C:\\x\\spy.exe"));
  EXPECT_FALSE(op.restartNeeded);
}

TEST_F(TraceOperationTest, FailuresAreRecorded) {
  host_.WriteFile("C:\\held.dll", "h");
  platform::File held;
  ASSERT_TRUE(held.Open("C:\\held.dll", platform::kGenericRead, platform::kShareRead, platform::kOpenExisting));
  TraceOperation del(&map_);
  del.ApplyOperation("Spy", "File", "C:\\held.dll", kDeleteDetected);
  EXPECT_TRUE(del.restartNeeded);
  EXPECT_EQ(std::optional<std::string>("File#Delete"), map_.Find("C:\\held.dll"));
  TraceOperation quarantine(&map_);
  quarantine.QuarantineTrace("Spy", "File", "C:\\held.dll");
  EXPECT_TRUE(quarantine.restartNeeded);
  EXPECT_EQ(std::optional<std::string>("File#Quarantine"), map_.Find("C:\\held.dll"));
  // A failed recovery is not recorded.
  host_.WriteFile("C:\\held2.dll", "h");
  host_.WriteFile("C:\\lld.2dleh", "q");
  platform::File held2;
  ASSERT_TRUE(held2.Open("C:\\lld.2dleh", platform::kGenericRead, platform::kShareRead, platform::kOpenExisting));
  TraceOperation recover(&map_);
  recover.ApplyOperation("Spy", "File", "C:\\held2.dll", kRecoverQuarantined);
  EXPECT_FALSE(recover.restartNeeded);
  EXPECT_FALSE(map_.Contains("C:\\held2.dll"));
}

TEST_F(TraceOperationTest, RegistryDataFromTheLog) {
  platform::RegKey key;
  ASSERT_EQ(0u, key.Create(platform::RootKey::kLocalMachine, "Software\\SpyCo", platform::kKeyAllAccess));
  ASSERT_EQ(0u, key.WriteString("Mode", "active"));
  TraceOperation op(&map_);
  op.QuarantineTrace("Spy", "Registry Data", "HKLM\\Software\\SpyCo\\Mode\\:active");
  std::string value;
  ASSERT_EQ(0u, key.ReadString("Mode", &value));
  EXPECT_EQ("evitca", value);
  op.ApplyOperation("Spy", "Registry Data", "HKLM\\Software\\SpyCo\\Mode\\:active", kRecoverQuarantined);
  ASSERT_EQ(0u, key.ReadString("Mode", &value));
  EXPECT_EQ("active", value);
}

TEST_F(TraceOperationTest, UnknownTypesAndProcessQuarantineDoNothing) {
  host_.WriteFile("C:\\x\\spy.exe", "spy");
  TraceOperation op(&map_);
  EXPECT_TRUE(op.QuarantineTrace("Spy", "Process", "C:\\x\\spy.exe"));
  EXPECT_TRUE(op.ApplyOperation("Spy", "Worm", "C:\\x\\spy.exe", kDeleteDetected));
  EXPECT_TRUE(op.QuarantineTrace("Spy", "Worm", "C:\\x\\spy.exe"));
  EXPECT_TRUE(Exists("C:\\x\\spy.exe"));
  EXPECT_FALSE(op.restartNeeded);
  EXPECT_TRUE(map_.Snapshot().empty());
}

}  // namespace
}  // namespace engine
