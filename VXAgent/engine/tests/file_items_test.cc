#include "VXAgent/engine/file_items.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>

#include "platform/clock.h"
#include "platform/file.h"
#include "platform/registry.h"
#include "platform/testing/temp_host.h"

namespace engine {
namespace {

namespace fs = std::filesystem;
using platform::testing::TempHost;

class FileItemsTest : public ::testing::Test {
 protected:
  bool Exists(const std::string& windows_path) { return fs::exists(host_.Real(windows_path)); }
  std::string Content(const std::string& windows_path) {
    std::string out;
    platform::ReadFileToString(windows_path, &out);
    return out;
  }
  void SetRun(const std::string& name, const std::string& data) {
    platform::RegKey run;
    ASSERT_EQ(0u, run.Create(platform::RootKey::kLocalMachine, kRunKey, platform::kKeyAllAccess));
    ASSERT_EQ(0u, run.WriteString(name, data));
  }
  std::vector<std::string> RunNames() {
    std::vector<std::string> names;
    platform::RegKey run;
    if (run.Open(platform::RootKey::kLocalMachine, kRunKey, platform::kKeyRead) != 0) return names;
    platform::RegValue v;
    for (uint32_t i = 0; run.EnumValue(i, &v) == 0; ++i) names.push_back(v.name);
    return names;
  }
  TempHost host_;
};

TEST_F(FileItemsTest, Presence) {
  host_.WriteFile("C:\\x\\spy.exe", "spy");
  host_.WriteFile("C:\\x\\sub\\inner.txt", "t");
  struct Case {
    const char* path;
    bool file, folder;
  } cases[] = {
      {"C:\\x\\spy.exe", true, false},
      {"C:\\X\\SPY.EXE", true, false},
      {"C:\\x\\spy*.exe", true, false},
      {"C:\\x\\s?y.exe", true, false},
      {"C:\\x\\sub", false, true},
      {"C:\\x\\missing.exe", false, false},
      {"C:\\nowhere\\spy.exe", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(c.file, CFileItem(c.path, "Spy").IsPresent());
    EXPECT_EQ(c.folder, CFolderItem(c.path, "Spy").IsPresent());
  }
  EXPECT_EQ("File", CFileItem("a", "b").GetTypeName());
  EXPECT_EQ("Folder", CFolderItem("a", "b").GetTypeName());
}

TEST_F(FileItemsTest, DeleteDetectedReadOnlyFile) {
  host_.WriteFile("C:\\x\\spy.exe", "spy");
  ASSERT_TRUE(platform::SetFileAttributes("C:\\x\\spy.exe", platform::kAttrReadOnly));
  CFileItem item("C:\\x\\spy.exe", "Spy");
  EXPECT_EQ(kTraceDone, item.Remove("Spy", item.trace(), "File", kDeleteDetected));
  EXPECT_FALSE(Exists("C:\\x\\spy.exe"));
  EXPECT_EQ(kTraceAbsent, item.Remove("Spy", item.trace(), "File", kDeleteDetected));
}

TEST_F(FileItemsTest, QuarantineRecoverAndStaleQuarantinedFile) {
  host_.WriteFile("C:\\x\\spy.exe", "spy");
  CFileItem item("C:\\x\\spy.exe", "Spy");
  ASSERT_EQ(kTraceDone, item.Quarantine());
  EXPECT_FALSE(Exists("C:\\x\\spy.exe"));
  EXPECT_EQ("spy", Content("C:\\x\\exe.yps"));
  ASSERT_EQ(kTraceDone, item.Remove("Spy", item.trace(), "File", kRecoverQuarantined));
  EXPECT_EQ("spy", Content("C:\\x\\spy.exe"));
  EXPECT_FALSE(Exists("C:\\x\\exe.yps"));
  // A stale quarantined copy is replaced, read-only or not.
  host_.WriteFile("C:\\x\\exe.yps", "stale");
  ASSERT_TRUE(platform::SetFileAttributes("C:\\x\\exe.yps", platform::kAttrReadOnly));
  ASSERT_EQ(kTraceDone, item.Remove("Spy", item.trace(), "File", kQuarantineMode));
  EXPECT_EQ("spy", Content("C:\\x\\exe.yps"));
  ASSERT_EQ(kTraceDone, item.Remove("Spy", item.trace(), "File", kDeleteQuarantined));
  EXPECT_FALSE(Exists("C:\\x\\exe.yps"));
  EXPECT_FALSE(Exists("C:\\x\\spy.exe"));
  EXPECT_EQ(kTraceAbsent, item.Remove("Spy", item.trace(), "File", kRecoverQuarantined));
  EXPECT_EQ(kTraceAbsent, item.Quarantine());
}

TEST_F(FileItemsTest, QuarantineRemovesTheFirstRunEntryOnly) {
  host_.WriteFile("C:\\x\\spy.exe", "spy");
  SetRun("Other", "C:\\good.exe");
  SetRun("A", "c:\\x\\spy.exe /run");
  SetRun("B", "C:\\X\\SPY.EXE");
  CFileItem item("C:\\x\\spy.exe", "Spy");
  ASSERT_EQ(kTraceDone, item.Quarantine());
  EXPECT_EQ((std::vector<std::string>{"Other", "B"}), RunNames());
  std::string name, data;
  ASSERT_TRUE(RemoveRunEntry("C:\\x\\spy.exe", &name, &data));
  EXPECT_EQ("B", name);
  EXPECT_EQ("C:\\X\\SPY.EXE", data);
  EXPECT_FALSE(RemoveRunEntry("C:\\x\\spy.exe", &name, &data));
}

TEST_F(FileItemsTest, FolderTreeWithProtectedFilesIsRemoved) {
  host_.WriteFile("C:\\Spy\\a.txt", "a");
  host_.WriteFile("C:\\Spy\\sub\\deeper\\b.dll", "b");
  host_.WriteFile("C:\\Spy\\sub\\c.ini", "c");
  ASSERT_TRUE(platform::SetFileAttributes("C:\\Spy\\a.txt", platform::kAttrReadOnly | platform::kAttrHidden));
  ASSERT_TRUE(platform::SetFileAttributes("C:\\Spy\\sub\\deeper\\b.dll",
                                          platform::kAttrReadOnly | platform::kAttrSystem));
  CFolderItem folder("C:\\Spy", "Spy");
  ASSERT_TRUE(folder.IsPresent());
  EXPECT_EQ(kTraceDone, folder.Remove("Spy", folder.trace(), "Folder", kDeleteDetected));
  EXPECT_FALSE(Exists("C:\\Spy"));
  EXPECT_EQ(kTraceAbsent, folder.Remove("Spy", folder.trace(), "Folder", kDeleteDetected));
}

TEST_F(FileItemsTest, FolderThatResistsIsReportedAsFailed) {
  host_.WriteFile("C:\\Spy\\held.dll", "h");
  host_.WriteFile("C:\\Spy\\free.txt", "f");
  platform::File held;
  ASSERT_TRUE(held.Open("C:\\Spy\\held.dll", platform::kGenericRead, platform::kShareRead,
                        platform::kOpenExisting));
  CFolderItem folder("C:\\Spy", "Spy");
  EXPECT_EQ(kTraceFailed, folder.Remove("Spy", folder.trace(), "Folder", kDeleteDetected));
  EXPECT_FALSE(Exists("C:\\Spy\\free.txt")) << "the rest still goes";
  held.Close();
  EXPECT_EQ(kTraceDone, folder.Remove("Spy", folder.trace(), "Folder", kDeleteDetected));
}

TEST_F(FileItemsTest, FolderQuarantineRecoverDelete) {
  host_.WriteFile("C:\\Data\\SpyCo\\x.dat", "x");
  host_.WriteFile("C:\\Data\\oCypS\\stale.dat", "stale");
  CFolderItem folder("C:\\Data\\SpyCo", "Spy");
  ASSERT_EQ(kTraceDone, folder.Quarantine());
  EXPECT_FALSE(Exists("C:\\Data\\SpyCo"));
  EXPECT_TRUE(Exists("C:\\Data\\oCypS\\x.dat"));
  EXPECT_FALSE(Exists("C:\\Data\\oCypS\\stale.dat"));
  ASSERT_EQ(kTraceDone, folder.Remove("Spy", folder.trace(), "Folder", kRecoverQuarantined));
  EXPECT_TRUE(Exists("C:\\Data\\SpyCo\\x.dat"));
  ASSERT_EQ(kTraceDone, folder.Quarantine());
  ASSERT_EQ(kTraceDone, folder.Remove("Spy", folder.trace(), "Folder", kDeleteQuarantined));
  EXPECT_FALSE(Exists("C:\\Data\\oCypS"));
  EXPECT_EQ(kTraceAbsent, folder.Quarantine());
}

TEST_F(FileItemsTest, FileUnderAQuarantinedFolderIsQuarantinedAndRecovered) {
  host_.WriteFile("C:\\Data\\SpyCo\\bin\\spy.exe", "spy");
  CFolderItem folder("C:\\Data\\SpyCo", "Spy");
  CFileItem file("C:\\Data\\SpyCo\\bin\\spy.exe", "Spy");
  ASSERT_EQ(kTraceDone, folder.Quarantine());
  ASSERT_EQ(kTraceDone, file.Quarantine());
  EXPECT_TRUE(Exists("C:\\Data\\oCypS\\bin\\exe.yps"));
  ASSERT_EQ(kTraceDone, folder.Remove("Spy", folder.trace(), "Folder", kRecoverQuarantined));
  ASSERT_EQ(kTraceDone, file.Remove("Spy", file.trace(), "File", kRecoverQuarantined));
  EXPECT_EQ("spy", Content("C:\\Data\\SpyCo\\bin\\spy.exe"));
}

TEST_F(FileItemsTest, PalindromeNamesAreNotQuarantined) {
  host_.WriteFile("C:\\x\\abba", "keep");
  CFileItem file("C:\\x\\abba", "Spy");
  EXPECT_EQ(kTraceFailed, file.Quarantine());
  EXPECT_EQ("keep", Content("C:\\x\\abba"));
}

TEST_F(FileItemsTest, UnregisterAndDeleteOnlyLibraries) {
  host_.WriteFile("C:\\x\\lld.xyz", "library");
  host_.WriteFile("C:\\x\\txt.a", "text");
  EXPECT_TRUE(UnregisterAndDelete("C:\\x\\lld.xyz"));
  EXPECT_FALSE(Exists("C:\\x\\lld.xyz"));
  EXPECT_FALSE(Exists("C:\\x\\zyx.dll"));
  EXPECT_FALSE(UnregisterAndDelete("C:\\x\\txt.a"));
  EXPECT_TRUE(Exists("C:\\x\\txt.a"));
  EXPECT_FALSE(Exists("C:\\x\\a.txt"));
  // Deleting the quarantined form of a control: restored, unregistered, gone.
  host_.WriteFile("C:\\x\\xco.a", "control");
  CFileItem item("C:\\x\\a.ocx", "Spy");
  EXPECT_EQ(kTraceDone, item.Remove("Spy", item.trace(), "File", kDeleteQuarantined));
  EXPECT_FALSE(Exists("C:\\x\\xco.a"));
  EXPECT_FALSE(Exists("C:\\x\\a.ocx"));
}

class FixedClock : public platform::Clock {
 public:
  explicit FixedClock(const platform::LocalTime& t) : millis_(platform::FromLocalTime(t) * 1000) {}
  int64_t NowUnixMillis() override { return millis_; }

 private:
  int64_t millis_;
};

TEST_F(FileItemsTest, AccessDeniedLine) {
  platform::LocalTime t;
  t.year = 2006;
  t.month = 3;
  t.day = 7;
  t.hour = 14;
  t.minute = 5;
  t.second = 9;
  FixedClock clock(t);
  platform::SetClockForTesting(&clock);
  LogAccessDenied("SomeSpy", "C:\\WINDOWS\\x.exe");
  LogAccessDenied("Other", "C:\\y.dll");
  platform::SetClockForTesting(nullptr);
  EXPECT_EQ(" On [ 7 March 2006 14:05:09 ] -  SomeSpy C:\\WINDOWS\\x.exe\r\n"
            " On [ 7 March 2006 14:05:09 ] -  Other C:\\y.dll\r\n",
            Content("C:\\WINDOWS\\system32\\AccessDenied.txt"));
}

TEST_F(FileItemsTest, FileListIntake) {
  ::setenv("VX_ACCOUNT", "SYSTEM", 1);
  CFileList list;
  ::unsetenv("VX_ACCOUNT");
  list.AddDefinitions("Spy", {"%WINDIR%\\spy.exe", "%PROFILE%\\Application Data\\spy.dat",
                              "C:\\WINDOWS\\spy.exe", "\\nodrive.exe"});
  std::vector<std::string> traces;
  for (const auto& i : list.items()) {
    EXPECT_EQ("Spy", i->spy_name());
    EXPECT_EQ("File", i->GetTypeName());
    traces.push_back(i->trace());
  }
  // Profile order is the directory search's; compare as sets of traces.
  std::sort(traces.begin(), traces.end());
  EXPECT_EQ((std::vector<std::string>{
                "C:\\Documents and Settings\\Administrator\\Application Data\\spy.dat",
                "C:\\Documents and Settings\\All Users\\Application Data\\spy.dat",
                "C:\\WINDOWS\\spy.exe",
                "C:\\WINDOWS\\spy.exe",
                "\\nodrive.exe",
            }),
            traces);
  std::vector<std::string> keys;
  for (const auto& [key, item] : list.templates()) keys.push_back(key);
  std::sort(keys.begin(), keys.end());
  EXPECT_EQ((std::vector<std::string>{
                "Documents and Settings\\Administrator\\Application Data\\spy.dat",
                "Documents and Settings\\All Users\\Application Data\\spy.dat",
                "WINDOWS\\spy.exe",
            }),
            keys);
  EXPECT_EQ(2u, list.profiles().size());
}

TEST(FileListProfilesTest, OneTracePerProfile) {
  platform::HostOptions options;
  options.users = {"Administrator", "alice"};
  TempHost host(options);
  CFolderList list;
  list.AddDefinitions("Spy", {"%PROFILE%\\Local Settings\\SpyCo"});
  ASSERT_EQ(3u, list.items().size()) << "Administrator, alice and All Users";
  for (const auto& i : list.items()) EXPECT_EQ("Folder", i->GetTypeName());
}

}  // namespace
}  // namespace engine
