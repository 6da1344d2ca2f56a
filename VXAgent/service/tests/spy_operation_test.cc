// Spy operations, the batch restart flag, the restart replay and the shared
// restart-delete map, inside one process on a temporary host.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "VXAgent/engine/restart_delete_map.h"
#include "VXAgent/service/log_pipe.h"
#include "VXAgent/service/restart_replay.h"
#include "VXAgent/service/spy_operation.h"
#include "common/string_map_file.h"
#include "platform/file.h"
#include "platform/testing/temp_host.h"

namespace vxagent {
namespace {

using engine::RestartDeleteMap;

class SpyOperationTest : public ::testing::Test {
 protected:
  void SetUp() override { RestartDeleteMap::Global().Clear(); }

  static bool Exists(const std::string& path) { return platform::PathFileExists(path); }

  // Holds `path` open without delete sharing, as a program using it would.
  static platform::File Hold(const std::string& path) {
    platform::File f;
    EXPECT_TRUE(f.Open(path, platform::kGenericRead, platform::kShareRead, platform::kOpenExisting)) << path;
    return f;
  }

  static common::StringMap FileMap() {
    common::StringMap map;
    common::ReadStringMapFile(engine::RestartDeleteMapPath(), &map);
    return map;
  }

  static void WriteMap(const common::StringMap& map) {
    ASSERT_TRUE(common::WriteStringMapFile(engine::RestartDeleteMapPath(), map, true));
  }

  platform::testing::TempHost host_;
};

TEST_F(SpyOperationTest, RecordRepliesFollowTheOperationTextAndTheStickyFlag) {
  host_.WriteFile("C:\\spy\\a.exe", "x");
  host_.WriteFile("C:\\spy\\held.txt", "x");
  platform::File held = Hold("C:\\spy\\held.txt");
  ClearBatchRestartFlag();
  struct Case {
    std::string record;
    const char* reply;
  };
  const Case kCases[] = {
      // Blanks, tabs and line breaks around the pieces are trimmed.
      {" [ File ] \t< Spy >\r\n C:\\spy\\a.exe \t#  QUARANTINE \n", "QUARANTINE"},
      {" [ File ]  < Spy > C:\\spy\\a.exe#Quarantine", "UNSUCCESS"},
      {" [ File ]  < Spy > C:\\spy\\a.exe#", "UNSUCCESS"},
      {"no delimiters at all", "UNSUCCESS"},
      // A type outside the seven builds nothing: nothing to do, no restart.
      {" [ Gizmo ]  < Spy > C:\\spy\\held.txt#DDELETE", "DDELETE"},
      {" [ File ]  < Spy > C:\\spy\\a.exe#RECOVER", "RECOVER"},
      {" [ File ]  < Spy > C:\\spy\\held.txt#DDELETE", "Restart Required"},
      {" [ File ]  < Spy > C:\\spy\\a.exe#QUARANTINE", "Restart Required"},
      {" [ File ]  < Spy > C:\\spy\\a.exe#bogus", "UNSUCCESS"},
  };
  engine::LoadRetartDeleteMap();
  for (const Case& c : kCases) EXPECT_EQ(AnswerSpyOperationRecord(c.record), c.reply) << c.record;
  engine::SaveRetartDeleteMap();
  EXPECT_TRUE(Exists("C:\\spy\\exe.a"));
  EXPECT_EQ(FileMap(), (common::StringMap{{"C:\\spy\\held.txt", "File#Delete"}}));
  ClearBatchRestartFlag();
  EXPECT_FALSE(BatchRestartFlag());
}

TEST_F(SpyOperationTest, ReplayRunsEachEntryAndKeepsOnlyWhatFailsAgain) {
  host_.WriteFile("C:\\spy\\del.exe", "x");
  host_.WriteFile("C:\\spy\\lower.dll", "x");
  host_.WriteFile("C:\\spy\\nohash.dat", "x");
  host_.WriteFile("C:\\spy\\held.txt", "x");
  platform::File held = Hold("C:\\spy\\held.txt");
  WriteMap({
      {"C:\\spy\\del.exe", "File#Delete"},
      {"C:\\spy\\lower.dll", "File#delete"},  // not exactly "Delete": quarantined
      {"C:\\spy\\nohash.dat", "Delete"},       // no type: nothing can be built
      {"C:\\spy\\held.txt", "File#Delete"},
  });
  EXPECT_EQ(RestartReplay(), 4);
  EXPECT_FALSE(Exists("C:\\spy\\del.exe"));
  EXPECT_TRUE(Exists("C:\\spy\\lld.rewol"));
  EXPECT_TRUE(Exists("C:\\spy\\nohash.dat"));
  EXPECT_TRUE(Exists("C:\\spy\\held.txt"));
  EXPECT_EQ(FileMap(), (common::StringMap{{"C:\\spy\\held.txt", "File#Delete"}}));
  // The agent's shared map is untouched and has no bracket left open.
  EXPECT_TRUE(RestartDeleteMap::Global().Snapshot().empty());
  EXPECT_EQ(RestartDeleteMap::Global().open_brackets(), 0);

  held.Close();
  EXPECT_EQ(RestartReplay(), 1);
  EXPECT_FALSE(Exists("C:\\spy\\held.txt"));
  EXPECT_FALSE(Exists(engine::RestartDeleteMapPath()));
  // Nothing pending: nothing happens.
  EXPECT_EQ(RestartReplay(), 0);

  // An empty map file is simply removed.
  WriteMap({});
  EXPECT_EQ(RestartReplay(), 0);
  EXPECT_FALSE(Exists(engine::RestartDeleteMapPath()));
}

// A recover that cancels a pending delete while a scan's bracket opens
// afterwards must not see the entry come back from the file: the next start
// would delete the item the administrator just recovered.
TEST_F(SpyOperationTest, ACancelledPendingDeleteStaysCancelledWhenAScanOverlaps) {
  WriteMap({{"C:\\spy\\recovered.exe", "File#Delete"}});
  engine::LoadRetartDeleteMap();  // the batch
  EXPECT_TRUE(SpyOperation("C:\\spy\\recovered.exe", "Spy", "File", "RECOVER"));
  engine::LoadRetartDeleteMap();  // a scan starts
  RestartDeleteMap::Global().SetPendingDelete("C:\\spy\\scan.exe", "File");
  engine::SaveRetartDeleteMap();  // the batch ends
  engine::SaveRetartDeleteMap();  // the scan ends
  EXPECT_EQ(FileMap(), (common::StringMap{{"C:\\spy\\scan.exe", "File#Delete"}}));
}

// A log batch and a scan run at the same time, each bracketing its work with
// the agent's load and save: the file ends up with every entry either of
// them recorded and none that a batch cancelled.
TEST_F(SpyOperationTest, ConcurrentBatchAndScanLoseNoEntry) {
  constexpr int kRounds = 25;
  std::vector<platform::File> holds;
  for (int i = 0; i < kRounds; ++i) {
    const std::string path = "C:\\spy\\held" + std::to_string(i) + ".txt";
    host_.WriteFile(path, "x");
    holds.push_back(Hold(path));
  }
  std::thread batch([&] {
    for (int i = 0; i < kRounds; ++i) {
      engine::LoadRetartDeleteMap();
      const std::string path = "C:\\spy\\held" + std::to_string(i) + ".txt";
      AnswerSpyOperationRecord(" [ File ]  < Spy > " + path + "#DDELETE");
      // Every other one is recovered again, which cancels it.
      if (i % 2) AnswerSpyOperationRecord(" [ File ]  < Spy > " + path + "#RECOVER");
      engine::SaveRetartDeleteMap();
    }
  });
  std::thread scan([&] {
    for (int i = 0; i < kRounds; ++i) {
      engine::LoadRetartDeleteMap();
      RestartDeleteMap::Global().SetPendingQuarantine("scan" + std::to_string(i), "Folder");
      engine::SaveRetartDeleteMap();
    }
  });
  batch.join();
  scan.join();
  common::StringMap expected;
  for (int i = 0; i < kRounds; ++i) {
    expected["scan" + std::to_string(i)] = "Folder#Quarantine";
    if (i % 2 == 0) expected["C:\\spy\\held" + std::to_string(i) + ".txt"] = "File#Delete";
  }
  EXPECT_EQ(FileMap(), expected);
  EXPECT_EQ(RestartDeleteMap::Global().open_brackets(), 0);
  EXPECT_TRUE(RestartDeleteMap::Global().Snapshot().empty());
}

}  // namespace
}  // namespace vxagent
