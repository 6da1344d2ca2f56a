#include "VXAgent/engine/restart_delete_map.h"

#include <gtest/gtest.h>

#include <thread>

#include "common/string_map_file.h"
#include "VXAgent/service/debug_log.h"
#include "platform/file.h"
#include "platform/strings.h"
#include "platform/testing/temp_host.h"

namespace engine {
namespace {

class RestartDeleteMapTest : public ::testing::Test {
 protected:
  common::StringMap FileContent() {
    common::StringMap m;
    common::ReadStringMapFile(RestartDeleteMapPath(), &m);
    return m;
  }
  platform::testing::TempHost host_;
};

TEST_F(RestartDeleteMapTest, PathIsInTheSystemFolder) {
  EXPECT_EQ("C:\\WINDOWS\\system32\\RestartDelete.db", RestartDeleteMapPath());
}

TEST_F(RestartDeleteMapTest, SaveWritesAndEmptiesLoadReplaces) {
  RestartDeleteMap map;
  EXPECT_FALSE(map.Load(RestartDeleteMapPath())) << "no file yet";
  map.SetPendingDelete("C:\\x\\spy.exe", "File");
  map.SetPendingQuarantine("HKLM\\Software\\SpyCo", "Registry Key");
  ASSERT_TRUE(map.Save(RestartDeleteMapPath()));
  EXPECT_TRUE(map.Snapshot().empty());
  EXPECT_EQ((common::StringMap{{"C:\\x\\spy.exe", "File#Delete"},
                               {"HKLM\\Software\\SpyCo", "Registry Key#Quarantine"}}),
            FileContent());
  map.Set("stale", "File#Delete");
  ASSERT_TRUE(map.Load(RestartDeleteMapPath()));
  EXPECT_EQ(FileContent(), map.Snapshot()) << "a load drops what was held outside a bracket";
  ASSERT_TRUE(map.Save(RestartDeleteMapPath()));
}

TEST_F(RestartDeleteMapTest, SaveWithoutTruncatingLeavesAReadableFile) {
  RestartDeleteMap map;
  map.Load(RestartDeleteMapPath());
  for (int i = 0; i < 10; ++i) map.SetPendingDelete("C:\\spy" + std::to_string(i), "File");
  ASSERT_TRUE(map.Save(RestartDeleteMapPath()));
  map.Load(RestartDeleteMapPath());
  map.Clear();
  ASSERT_TRUE(map.Save(RestartDeleteMapPath()));
  EXPECT_TRUE(FileContent().empty()) << "count 0 over the old tail";
}

TEST_F(RestartDeleteMapTest, OverlappingBracketsKeepEachOthersEntries) {
  RestartDeleteMap map;
  // A scan opens its bracket and records a failed delete.
  map.Load(RestartDeleteMapPath());
  map.SetPendingDelete("scan-entry", "File");
  // A log batch opens and closes its bracket meanwhile.
  map.Load(RestartDeleteMapPath());
  map.SetPendingQuarantine("batch-entry", "Folder");
  ASSERT_TRUE(map.Save(RestartDeleteMapPath()));
  EXPECT_EQ(2u, map.Snapshot().size()) << "the scan's bracket is still open";
  // The scan records more and closes.
  map.SetPendingDelete("late-scan-entry", "File");
  ASSERT_TRUE(map.Save(RestartDeleteMapPath()));
  EXPECT_TRUE(map.Snapshot().empty());
  EXPECT_EQ((common::StringMap{{"batch-entry", "Folder#Quarantine"},
                               {"late-scan-entry", "File#Delete"},
                               {"scan-entry", "File#Delete"}}),
            FileContent());
}

TEST_F(RestartDeleteMapTest, ConcurrentBracketsLoseNothing) {
  RestartDeleteMap map;
  platform::Host* host = &host_.host();
  auto worker = [&](const std::string& prefix) {
    platform::ScopedHost scope(host);
    for (int round = 0; round < 20; ++round) {
      map.Load(RestartDeleteMapPath());
      map.SetPendingDelete(prefix + std::to_string(round), "File");
      map.Save(RestartDeleteMapPath());
    }
  };
  std::thread a(worker, "scan-"), b(worker, "batch-");
  a.join();
  b.join();
  EXPECT_EQ(0, map.open_brackets());
  EXPECT_EQ(40u, FileContent().size());
}

TEST_F(RestartDeleteMapTest, UnwritableFileKeepsTheEntries) {
  RestartDeleteMap map;
  map.Load(RestartDeleteMapPath());
  map.SetPendingDelete("x", "File");
  ASSERT_TRUE(platform::CreateDirectory(RestartDeleteMapPath())) << "a folder in the file's place";
  EXPECT_FALSE(map.Save(RestartDeleteMapPath()));
  EXPECT_EQ(1u, map.Snapshot().size());
  EXPECT_EQ(0, map.open_brackets());
}

TEST_F(RestartDeleteMapTest, AgentFunctionsLogTheirSteps) {
  RestartDeleteMap::Global().Clear();
  EXPECT_FALSE(LoadRetartDeleteMap());
  EXPECT_TRUE(SaveRetartDeleteMap());
  ASSERT_TRUE(platform::WriteStringToFile(RestartDeleteMapPath(), std::string("\x02\x00\x01k", 4)));
  EXPECT_FALSE(LoadRetartDeleteMap());
  EXPECT_TRUE(SaveRetartDeleteMap());
  std::string log;
  ASSERT_TRUE(platform::ReadFileToString(vxagent::DebugLogPath(), &log));
  std::vector<std::string> messages;
  for (const std::string& line : platform::Split(log, '\n')) {
    size_t mark = line.find("## ");
    if (mark != std::string::npos) messages.push_back(platform::TrimBlanks(line.substr(mark + 3)));
  }
  const std::vector<std::string> save = {"In SaveRetartDeleteMap", "befor Geting file path",
                                         "befor opening file",     "after opening file",
                                         "before Serialize",       "after Serialize",
                                         "returning true"};
  std::vector<std::string> expected = {"In LoadRetartDeleteMap", "Leaving LoadRetartDeleteMap(false)"};
  expected.insert(expected.end(), save.begin(), save.end());
  expected.insert(expected.end(), {"In LoadRetartDeleteMap", "Leaving LoadRetartDeleteMap(catch)"});
  expected.insert(expected.end(), save.begin(), save.end());
  EXPECT_EQ(expected, messages);
}

TEST_F(RestartDeleteMapTest, AgentFunctionsUseTheGlobalMap) {
  RestartDeleteMap::Global().Clear();
  LoadRetartDeleteMap();
  RestartDeleteMap::Global().SetPendingDelete("g", "Cookie");
  EXPECT_TRUE(SaveRetartDeleteMap());
  EXPECT_EQ((common::StringMap{{"g", "Cookie#Delete"}}), FileContent());
  EXPECT_TRUE(LoadRetartDeleteMap());
  EXPECT_EQ(std::optional<std::string>("Cookie#Delete"), RestartDeleteMap::Global().Find("g"));
  EXPECT_TRUE(RestartDeleteMap::Global().Erase("g"));
  EXPECT_TRUE(SaveRetartDeleteMap());
}

}  // namespace
}  // namespace engine
