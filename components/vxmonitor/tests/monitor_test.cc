// The monitor's pieces on a temporary host: its command line, its rule
// files, its day logs and one sweep of processes and cookies.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "VXAgent/engine/spy_database.h"
#include "common/rc4.h"
#include "common/string_map_file.h"
#include "components/vxmonitor/active_monitor.h"
#include "components/vxmonitor/monitor_log.h"
#include "components/vxmonitor/monitor_rules.h"
#include "hostd/testing/running_daemon.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/strings.h"
#include "platform/testing/temp_host.h"

namespace vxmonitor {
namespace {

namespace fs = std::filesystem;

TEST(MonitorCommandLineTest, CookieFolderIsTheRestAfterTheDash) {
  struct Case {
    const char* line;
    std::optional<std::string> folder;
  };
  const Case kCases[] = {
      // As the agent starts it: application given apart, the line unquoted.
      {" -C:\\Documents and Settings\\alice\\Cookies", "C:\\Documents and Settings\\alice\\Cookies"},
      {"-C:\\x", "C:\\x"},
      {"VXMonitor.exe -C:\\x\\Cookies", "C:\\x\\Cookies"},
      {"\"C:\\Program Files\\VX\\VXMonitor.exe\" -C:\\c d\\Cookies", "C:\\c d\\Cookies"},
      {" -\"C:\\quoted folder\\Cookies\"", "C:\\quoted folder\\Cookies"},
      // The start at logon through the Run value, and no arguments at all.
      {"C:\\WINDOWS\\system32\\VXMonitor.exe #FROMDLG", std::nullopt},
      {" #FROMDLG", std::nullopt},
      {"C:\\WINDOWS\\system32\\VXMonitor.exe", std::nullopt},
      {"", std::nullopt},
      {" - ", std::nullopt},
  };
  for (const Case& c : kCases) EXPECT_EQ(CookieFolderFromCommandLine(c.line), c.folder) << c.line;
}

TEST(MonitorRulesTest, TrackingSitesSkipCommentsSectionsAndBlankLines) {
  EXPECT_EQ(ParseTrackingSites("[Sites]\r\nsite1=www.adsite.com\r\n; a comment\n# another\n\n"
                               "  tracker.net  \nempty=\n\t[More]\nad.co.in"),
            (std::vector<std::string>{"www.adsite.com", "tracker.net", "ad.co.in"}));
  EXPECT_TRUE(ParseTrackingSites("").empty());
  // The list shipped with the monitor reads as sites only.
  std::ifstream in(hostd::testing::BinPath("VXTrackingCookies.ini"));
  ASSERT_TRUE(in);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> shipped = ParseTrackingSites(text);
  EXPECT_EQ(shipped.size(), 5u);
  for (const std::string& site : shipped) EXPECT_EQ(site.find_first_of("=[; "), std::string::npos) << site;
}

TEST(MonitorLogTest, KeysReadBackTheConsolesWay) {
  platform::LocalTime t;
  t.year = 2006;
  t.month = 1;
  t.day = 5;
  t.hour = 9;
  t.minute = 3;
  t.second = 7;
  const std::string key = EventKey(t, "Spy Runner", "C:\\a b\\x.exe");
  EXPECT_EQ(key, "[ 5 January 2006 09:03:07]  Spy Runner<C:\\a b\\x.exe>");
  std::optional<LogEntry> e = ParseLogEntry(key, "Process Terminated");
  ASSERT_TRUE(e);
  EXPECT_EQ(e->date_time, "5 January 2006 09:03:07");
  EXPECT_EQ(e->name, "Spy Runner");
  EXPECT_EQ(e->path, "C:\\a b\\x.exe");
  EXPECT_EQ(e->type, "Process Terminated");
  for (const char* bad : {"", "[", "[ 5 January 2006 09:03:07", "[ x]  name without path",
                          "[ x]  name<unterminated", "[ x]"})
    EXPECT_FALSE(ParseLogEntry(bad, "t")) << bad;
}

class MonitorHostTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (spy_.IsValid() && spy_.Terminate(1)) spy_.WaitForExit(2000);
  }

  // A sealed ProcessSpy.db of `spies`.
  void WriteDatabase(const engine::SpyMap& spies) {
    std::string bytes = engine::EncodeSpyArchive(spies);
    ASSERT_TRUE(common::Rc4Crypt(&bytes));
    host_.WriteFile("C:\\WINDOWS\\system32\\ProcessSpy.db", bytes);
  }

  static common::StringMap DayLog(const char* extension) {
    common::StringMap map;
    common::ReadStringMapFile(DayLogPath(platform::GetLocalTime(), extension), &map);
    return map;
  }

  platform::testing::TempHost host_;
  platform::Process spy_;
};

TEST_F(MonitorHostTest, DayLogsCollectEventsInTheNamedFiles) {
  platform::LocalTime t;
  t.year = 2026;
  t.month = 8;
  t.day = 3;
  t.hour = 23;
  EXPECT_EQ(DayLogPath(t, ".cs"), "C:\\WINDOWS\\system32\\LiveMonitorLogFolder\\3 August 2026.cs");
  ASSERT_TRUE(AppendEvent(t, ".cs", "a.com", "C:\\c\\u@a[1].txt", kCookieDeleted));
  t.second = 1;
  ASSERT_TRUE(AppendEvent(t, ".cs", "b.com", "C:\\c\\u@b[1].txt", kCookieNotDeleted));
  common::StringMap map;
  ASSERT_TRUE(common::ReadStringMapFile(DayLogPath(t, ".cs"), &map));
  EXPECT_EQ(map, (common::StringMap{{"[ 3 August 2026 23:00:00]  a.com<C:\\c\\u@a[1].txt>", "Cookie Deleted"},
                                    {"[ 3 August 2026 23:00:01]  b.com<C:\\c\\u@b[1].txt>", "Cookie Not Deleted"}}));
  EXPECT_FALSE(platform::PathFileExists(DayLogPath(t, ".ps")));
}

TEST_F(MonitorHostTest, RulesComeFromTheSealedDatabaseAndTheSiteList) {
  auto spy = std::make_shared<engine::CSpy>();
  spy->processes = {"%WINDIR%\\spymon.exe"};
  spy->files = {"C:\\spy\\spy.exe", "C:\\spy\\spy.dll", "C:\\spy\\run.BAT"};
  WriteDatabase({{"Spy One", spy}, {"Nothing", nullptr}});
  host_.WriteFile("C:\\WINDOWS\\system32\\VXTrackingCookies.ini", "site=www.adsite.com\n");
  ActiveMonitor monitor("C:\\Documents and Settings\\Administrator\\Cookies");
  monitor.RefreshRules();
  std::vector<std::string> images;
  for (const auto& e : monitor.executables()) {
    EXPECT_EQ(e.spy, "Spy One");
    images.push_back(e.image);
  }
  EXPECT_EQ(images, (std::vector<std::string>{"C:\\WINDOWS\\spymon.exe", "C:\\spy\\spy.exe", "C:\\spy\\run.BAT"}));
  EXPECT_EQ(monitor.sites(), (std::vector<std::string>{"ADSITE"}));

  // A changed list is read again; a damaged database keeps the old rules.
  host_.WriteFile("C:\\WINDOWS\\system32\\VXTrackingCookies.ini", "tracker.net\nother.org\n");
  host_.WriteFile("C:\\WINDOWS\\system32\\ProcessSpy.db", "not a database");
  monitor.RefreshRules();
  EXPECT_EQ(monitor.sites(), (std::vector<std::string>{"TRACKER.NET", "OTHER.ORG"}));
  EXPECT_EQ(monitor.executables().size(), 3u);
  // Files that are gone take their rules with them.
  platform::DeleteFile("C:\\WINDOWS\\system32\\ProcessSpy.db");
  platform::DeleteFile("C:\\WINDOWS\\system32\\VXTrackingCookies.ini");
  monitor.RefreshRules();
  EXPECT_TRUE(monitor.executables().empty());
  EXPECT_TRUE(monitor.sites().empty());
}

TEST_F(MonitorHostTest, OneSweepEndsSpyProcessesAndDeletesListedCookies) {
  const std::string runner = "C:\\spy\\runner.exe";
  fs::create_directories(fs::path(host_.Real(runner)).parent_path());
  fs::copy_file(hostd::testing::BinPath("explorer.exe"), host_.Real(runner));
  auto spy = std::make_shared<engine::CSpy>();
  spy->files = {runner};
  WriteDatabase({{"Runner", spy}});
  host_.WriteFile("C:\\WINDOWS\\system32\\VXTrackingCookies.ini", "www.adsite.com\n");
  const std::string cookies = "C:\\Documents and Settings\\Administrator\\Cookies";
  host_.WriteFile(cookies + "\\administrator@adsite[1].txt", "t");
  host_.WriteFile(cookies + "\\administrator@adsite[2].txt", "t");
  platform::SetFileAttributes(cookies + "\\administrator@adsite[2].txt", platform::kAttrReadOnly);
  host_.WriteFile(cookies + "\\administrator@goodsite[1].txt", "keep");
  host_.WriteFile(cookies + "\\index.dat", "keep");
  platform::CreateDirectory(cookies + "\\folder@adsite[3].txt");

  platform::LaunchOptions options;
  ASSERT_TRUE(platform::CreateProcess(runner, platform::QuoteArgument(runner), options, &spy_));

  ActiveMonitor monitor(cookies + "\\");
  monitor.RefreshRules();
  EXPECT_EQ(monitor.SweepCookies(), 2);
  EXPECT_FALSE(platform::PathFileExists(cookies + "\\administrator@adsite[1].txt"));
  EXPECT_FALSE(platform::PathFileExists(cookies + "\\administrator@adsite[2].txt")) << "read-only too";
  EXPECT_TRUE(platform::PathFileExists(cookies + "\\administrator@goodsite[1].txt"));
  EXPECT_TRUE(platform::PathFileExists(cookies + "\\index.dat"));
  EXPECT_TRUE(platform::PathIsDirectory(cookies + "\\folder@adsite[3].txt"));
  EXPECT_EQ(monitor.SweepCookies(), 0);

  EXPECT_EQ(monitor.SweepProcesses(), 1);
  EXPECT_TRUE(spy_.WaitForExit(5000));
  EXPECT_TRUE(hostd::testing::WaitUntil([&] { return monitor.SweepProcesses() == 0; }));

  const common::StringMap ps = DayLog(".ps");
  ASSERT_EQ(ps.size(), 1u);
  std::optional<LogEntry> e = ParseLogEntry(ps.begin()->first, ps.begin()->second);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->name, "Runner");
  EXPECT_TRUE(platform::EqualsIgnoreCase(e->path, runner)) << e->path;
  EXPECT_EQ(e->type, kProcessTerminated);
  EXPECT_EQ(DayLog(".cs").size(), 2u);
}

}  // namespace
}  // namespace vxmonitor
