#include "VXAgent/engine/spy_scanner.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "VXAgent/engine/restart_delete_map.h"
#include "VXAgent/engine/spy_database.h"
#include "common/rc4.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/registry.h"
#include "platform/strings.h"
#include "platform/testing/temp_host.h"

namespace engine {
namespace {

namespace fs = std::filesystem;

class RecordingPipe : public ScanPipe {
 public:
  bool WriteRecord(std::string_view record) override {
    records.emplace_back(record);
    return true;
  }
  std::vector<std::string> records;
};

class FixedClock : public platform::Clock {
 public:
  FixedClock(int hour, int minute, int second) {
    platform::LocalTime t;
    t.year = 2006;
    t.month = 3;
    t.day = 7;
    t.hour = hour;
    t.minute = minute;
    t.second = second;
    millis_ = platform::FromLocalTime(t) * 1000;
  }
  int64_t NowUnixMillis() override { return millis_; }

 private:
  int64_t millis_;
};

platform::HostOptions ThreeDrives() {
  platform::HostOptions o;
  o.drives = {"C=fixed", "D=fixed", "E=removable"};
  return o;
}

class SpyScannerTest : public ::testing::Test {
 protected:
  SpyScannerTest() : host_(ThreeDrives()) {
    ::setenv("VX_PAUSE_SCALE", "0", 1);
    RestartDeleteMap::Global().Clear();
  }
  void WriteDatabase(const std::map<std::string, CSpy>& spies) {
    SpyMap map;
    for (const auto& [name, spy] : spies) map[name] = std::make_shared<const CSpy>(spy);
    std::string bytes = EncodeSpyArchive(map);
    ASSERT_TRUE(common::Rc4Crypt(&bytes));
    ASSERT_TRUE(platform::WriteStringToFile(SpyDatabasePath(), bytes));
  }
  std::string Read(const std::string& windows_path) {
    std::string out;
    platform::ReadFileToString(windows_path, &out);
    return out;
  }
  std::vector<std::string> LogLines(const char* file) {
    std::vector<std::string> lines;
    for (auto& l : platform::Split(Read(std::string("C:\\WINDOWS\\system32\\") + file), '\n'))
      if (!l.empty()) lines.push_back(l);
    return lines;
  }
  std::string LastTraceLine() {
    auto lines = LogLines(kTraceLogFile);
    return lines.empty() ? "" : lines.back();
  }
  bool Exists(const std::string& p) { return fs::exists(host_.Real(p)); }
  platform::testing::TempHost host_;
};

TEST_F(SpyScannerTest, OtherFixedDrivesAndDeepScan) {
  CSpy spy;
  spy.files = {"%ROOT%\\Spy\\spy.exe"};
  spy.folders = {"%ROOT%\\SpyData"};
  WriteDatabase({{"Spy", spy}});
  for (const char* path : {"C:\\Spy\\spy.exe", "D:\\Spy\\spy.exe", "E:\\Spy\\spy.exe", "D:\\SpyData\\x",
                           "D:\\spy\\spy.exe.bak"})
    host_.WriteFile(path, "x");
  {
    CSpyScanner quick;
    quick.RunSpyScan(false, nullptr, "PC1", kActionLogOnly);
    EXPECT_EQ("D:\\,", quick.otherDrives);
    EXPECT_EQ(1, quick.foundCount) << "a quick scan walks no drive";
    EXPECT_EQ("Cookies :0,Processes :0,Files: 1,Folders: 0,RegKey: 0:RegVal: 0,RegData: 0\r",
              LastTraceLine().substr(LastTraceLine().find("Cookies")));
  }
  CSpyScanner full;
  full.RunSpyScan(true, nullptr, "PC1", kActionLogOnly);
  std::vector<std::string> found;
  for (const auto& f : full.found()) found.push_back(f->GetTypeName() + ":" + f->trace());
  // The deep finds come first, in walking order; E: (removable) is never walked.
  EXPECT_EQ((std::vector<std::string>{"File:D:\\Spy\\spy.exe", "Folder:D:\\SpyData",
                                      "File:C:\\Spy\\spy.exe"}),
            found);
  // Everything the deep scan finds is counted with the files.
  EXPECT_EQ("Cookies :0,Processes :0,Files: 3,Folders: 0,RegKey: 0:RegVal: 0,RegData: 0\r",
            LastTraceLine().substr(LastTraceLine().find("Cookies")));
}

TEST_F(SpyScannerTest, ActionsCountsAndSpywareLog) {
  CSpy spy;
  spy.cookies = {"www.adsite.com"};
  spy.regValues = {"HKLM\\Software\\SpyCo\\A", "HKLM\\Software\\SpyCo\\B"};
  spy.files = {"%WINDIR%\\spy.txt"};
  WriteDatabase({{"SomeSpy", spy}});
  host_.WriteFile("C:\\Documents and Settings\\Administrator\\Cookies\\administrator@adsite[1].txt", "c");
  host_.WriteFile("C:\\WINDOWS\\spy.txt", "s");
  platform::RegKey key;
  ASSERT_EQ(0u, key.Create(platform::RootKey::kLocalMachine, "Software\\SpyCo", platform::kKeyAllAccess));
  ASSERT_EQ(0u, key.WriteString("A", "1"));
  ASSERT_EQ(0u, key.WriteString("B", "2"));
  FixedClock clock(14, 5, 9);
  platform::SetClockForTesting(&clock);
  CReportingScanner scanner;
  RecordingPipe pipe;
  scanner.RunSpyScan(false, &pipe, "PC7", kActionDelete);
  platform::SetClockForTesting(nullptr);
  EXPECT_EQ(4, scanner.foundCount);
  EXPECT_EQ(4, scanner.deletedCount);
  EXPECT_FALSE(scanner.restartRequired);
  EXPECT_FALSE(Exists("C:\\WINDOWS\\spy.txt"));
  EXPECT_FALSE(Exists("C:\\Documents and Settings\\Administrator\\Cookies\\administrator@adsite[1].txt"));
  EXPECT_EQ((std::vector<std::string>{
                " On [ 7 March 2006 14:05:09 ] - Cookie:SomeSpy <www.adsite.com$Administrator,>Deleted\r",
                " On [ 7 March 2006 14:05:09 ] - File:SomeSpy <C:\\WINDOWS\\spy.txt>Deleted\r",
                " On [ 7 March 2006 14:05:09 ] - Registry Value:SomeSpy <HKLM\\Software\\SpyCo\\A>Deleted\r",
                " On [ 7 March 2006 14:05:09 ] - Registry Value:SomeSpy <HKLM\\Software\\SpyCo\\B>Deleted\r",
            }),
            LogLines(kSpywareLogFile));
  ASSERT_EQ(1u, pipe.records.size()) << "one announcement per scan";
  EXPECT_EQ(kAnnouncementSize, pipe.records[0].size());
  EXPECT_EQ("[PC7] Spywares found.", std::string(pipe.records[0].c_str()));
  EXPECT_EQ(" On [ 7 March 2006 2:5:9 PM ] -   Cookies :1,Processes :0,Files: 1,Folders: 0,RegKey: 0:RegVal: "
            "2,RegData: 0\r",
            LastTraceLine());
  // The next scan starts a fresh spyware log.
  CReportingScanner again;
  again.RunSpyScan(false, nullptr, "PC7", kActionLogOnly);
  EXPECT_TRUE(LogLines(kSpywareLogFile).empty());
  EXPECT_EQ(0, again.foundCount);
}

TEST_F(SpyScannerTest, TraceLineClock) {
  struct Case {
    int h, m, s;
    const char* text;
  } cases[] = {
      {12, 30, 5, " On [ 7 March 2006 0:30:5 PM ] -  a b\r"},
      {0, 0, 0, " On [ 7 March 2006 0:0:0 AM ] -  a b\r"},
      {11, 59, 59, " On [ 7 March 2006 11:59:59 AM ] -  a b\r"},
      {23, 1, 2, " On [ 7 March 2006 11:1:2 PM ] -  a b\r"},
  };
  for (const auto& c : cases) {
    FixedClock clock(c.h, c.m, c.s);
    platform::SetClockForTesting(&clock);
    CSpyScanner::TraceLine("a", "b");
    platform::SetClockForTesting(nullptr);
    EXPECT_EQ(c.text, LastTraceLine());
  }
}

TEST_F(SpyScannerTest, LoadingHonoursTheExclusionListExactly) {
  CSpy excluded, kept;
  excluded.files = {"C:\\ex.exe"};
  kept.files = {"C:\\kept.exe", "C:\\notes.txt"};
  kept.processes = {"%WINDIR%\\x.scr"};
  WriteDatabase({{"Excluded", excluded}, {"Kept", kept}});
  ASSERT_TRUE(platform::WriteStringToFile(ExcludeListPath(),
                                          ExcludeList::Encode({"Excluded", "kept", "Absent"})));
  CSpyScanner scanner;
  scanner.LoadSpyDatabase();
  std::vector<std::string> files, processes;
  for (const auto& i : scanner.files().items()) files.push_back(i->spy_name() + ":" + i->trace());
  for (const auto& i : scanner.processes().items()) processes.push_back(i->spy_name() + ":" + i->trace());
  EXPECT_EQ((std::vector<std::string>{"Kept:C:\\kept.exe", "Kept:C:\\notes.txt"}), files);
  EXPECT_EQ((std::vector<std::string>{"Kept:C:\\WINDOWS\\x.scr", "Kept:C:\\kept.exe"}), processes);
  EXPECT_EQ(ExcludeList::Encode({"Excluded", "kept", "Absent"}), Read(ExcludeListPath()))
      << "written back unchanged";
}

TEST_F(SpyScannerTest, NoDatabaseFindsNothing) {
  host_.WriteFile("C:\\WINDOWS\\spy.txt", "s");
  CSpyScanner scanner;
  RecordingPipe pipe;
  scanner.RunSpyScan(true, &pipe, "PC1", kActionDelete);
  EXPECT_EQ(0, scanner.foundCount);
  EXPECT_TRUE(pipe.records.empty());
  EXPECT_NE(std::string::npos,
            LastTraceLine().find("Cookies :0,Processes :0,Files: 0,Folders: 0,RegKey: 0:RegVal: 0,RegData: 0"));
  EXPECT_EQ(std::string("\0\0", 2), Read(ExcludeListPath())) << "an empty list is written back";
}

TEST_F(SpyScannerTest, FailedDeleteGoesToTheRestartMap) {
  CSpy spy;
  spy.files = {"C:\\held.dll"};
  WriteDatabase({{"Spy", spy}});
  host_.WriteFile("C:\\held.dll", "h");
  platform::File held;
  ASSERT_TRUE(held.Open("C:\\held.dll", platform::kGenericRead, platform::kShareRead, platform::kOpenExisting));
  CSpyScanner scanner;
  scanner.RunSpyScan(false, nullptr, "PC1", kActionDelete);
  EXPECT_TRUE(scanner.restartRequired);
  EXPECT_EQ(1, scanner.deletedCount);
  EXPECT_EQ(std::optional<std::string>("File#Delete"), RestartDeleteMap::Global().Find("C:\\held.dll"));
  // The next scan only raises the flag for the pending trace.
  CSpyScanner next;
  next.RunSpyScan(false, nullptr, "PC1", kActionDelete);
  EXPECT_TRUE(next.restartRequired);
  EXPECT_EQ(0, next.foundCount);
  RestartDeleteMap::Global().Clear();
}

}  // namespace
}  // namespace engine
