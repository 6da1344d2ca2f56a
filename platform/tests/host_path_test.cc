#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/error.h"
#include "platform/host.h"
#include "platform/path.h"
#include "platform/testing/temp_host.h"

namespace platform {
namespace {

namespace fs = std::filesystem;
using testing::TempHost;

TEST(HostTest, CreateWritesDefaultsAndFolderTree) {
  HostOptions opt;
  opt.name = "pc7";
  opt.drives = {"C=fixed", "D=fixed", "E=cdrom"};
  opt.users = {"Administrator", "alice:Users"};
  TempHost th(opt);
  Host& h = th.host();
  EXPECT_EQ(h.computer_name(), "PC7");
  ASSERT_EQ(h.drives().size(), 3u);
  EXPECT_EQ(h.FindDrive('e')->type, DriveType::kCdrom);
  EXPECT_EQ(h.system_dir(), "C:\\WINDOWS\\system32");
  ASSERT_EQ(h.users().size(), 2u);
  EXPECT_EQ(h.users()[0].groups, std::vector<std::string>{"Administrators"});
  EXPECT_EQ(h.FindUser("ALICE")->groups, std::vector<std::string>{"Users"});
  EXPECT_NE(h.users()[0].sid, h.users()[1].sid);
  EXPECT_TRUE(fs::is_directory(th.Real("C:\\WINDOWS\\system32")));
  EXPECT_TRUE(fs::is_directory(th.Real("C:\\Documents and Settings\\alice\\Cookies")));
  EXPECT_TRUE(fs::is_directory(th.Real("C:\\Program Files\\Common Files")));
  EXPECT_EQ(h.FolderPath(kFolderCookies, *h.FindUser("alice")),
            "C:\\Documents and Settings\\alice\\Cookies");
  EXPECT_EQ(h.FolderPath(kFolderAppData, h.SystemAccount()),
            "C:\\WINDOWS\\system32\\config\\systemprofile\\Application Data");
  EXPECT_EQ(h.FolderPath(kFolderProgramFiles, h.SystemAccount()), "C:\\Program Files");
}

TEST(HostTest, LoadReportsMissingAndBrokenHostIni) {
  testing::TempDir dir;
  std::string error;
  EXPECT_EQ(Host::Load(dir.path(), &error), nullptr);
  EXPECT_NE(error.find("host.ini"), std::string::npos);
  std::ofstream(dir.path() + "/host.ini") << "[host]\nname = X\n[drives]\n1 = fixed\n";
  EXPECT_EQ(Host::Load(dir.path(), &error), nullptr);
  EXPECT_NE(error.find("not a letter"), std::string::npos);
}

TEST(PathTest, ParsesTheWindowsForms) {
  TempHost th;
  struct Case {
    const char* in;
    PathKind kind;
    const char* canonical;
  } cases[] = {
      {"C:\\WINDOWS\\system32\\x.dll", PathKind::kLocal, "C:\\WINDOWS\\system32\\x.dll"},
      {"c:/windows//system32/", PathKind::kLocal, "C:\\windows\\system32"},
      {"C:\\a\\..\\..\\b\\.\\c", PathKind::kLocal, "C:\\b\\c"},
      {"\\\\.\\pipe\\RemoteAdminScanPipe", PathKind::kLocalPipe, "\\\\.\\pipe\\RemoteAdminScanPipe"},
      {"\\\\PC1\\pipe\\RemoteAdminScanPipe", PathKind::kRemotePipe, "\\\\PC1\\pipe\\RemoteAdminScanPipe"},
      {"\\\\PC1\\ADMIN$\\System32\\VXAgent.exe", PathKind::kUnc, "\\\\PC1\\ADMIN$\\System32\\VXAgent.exe"},
      {"C:\\bad|name", PathKind::kInvalid, ""},
      {"", PathKind::kInvalid, ""},
      {"1:\\x", PathKind::kInvalid, ""},
  };
  for (const auto& c : cases) {
    WindowsPath wp = ParseWindowsPath(c.in);
    EXPECT_EQ(wp.kind, c.kind) << c.in;
    EXPECT_EQ(wp.ToString(), c.canonical) << c.in;
  }
  // Relative paths join the current directory (the system folder here).
  EXPECT_EQ(GetFullPathName("SpywareLog.txt"), GetCurrentDirectory() + "\\SpywareLog.txt");
}

TEST(PathTest, ResolvesIgnoringCaseAndShortNames) {
  TempHost th;
  th.WriteFile("C:\\Program Files\\Spy Co\\Spy.exe", "x");
  std::string real;
  ASSERT_TRUE(ResolvePath("c:\\program files\\SPY CO\\spy.EXE", &real));
  EXPECT_EQ(real, th.Real("C:\\Program Files\\Spy Co\\Spy.exe"));
  ASSERT_TRUE(ResolvePath("C:\\PROGRA~1\\SPYCO~1\\spy.exe", &real));
  EXPECT_EQ(real, th.Real("C:\\Program Files\\Spy Co\\Spy.exe"));
  // Missing components keep their spelling (for creation).
  ASSERT_TRUE(ResolvePath("C:\\program files\\New Folder\\a.txt", &real));
  EXPECT_EQ(real, th.Real("C:\\Program Files\\New Folder\\a.txt"));
  EXPECT_FALSE(ResolvePath("Q:\\x", &real));
  EXPECT_EQ(GetLastError(), kErrorPathNotFound);

  std::string long_path;
  ASSERT_TRUE(GetLongPathName("C:\\PROGRA~1\\spyco~1\\SPY.EXE", &long_path));
  EXPECT_EQ(long_path, "C:\\Program Files\\Spy Co\\Spy.exe");
  EXPECT_FALSE(GetLongPathName("C:\\PROGRA~1\\nothere.exe", &long_path));
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
}

TEST(PathTest, RealToWindowsUsesTheLongestDrive) {
  HostOptions opt;
  opt.drives = {"C=fixed", "D=fixed"};
  TempHost th(opt);
  EXPECT_EQ(RealToWindowsPath(th.host(), th.Real("D:\\x\\y.exe")), "D:\\x\\y.exe");
  EXPECT_EQ(RealToWindowsPath(th.host(), th.Real("C:\\")), "C:\\");
  EXPECT_EQ(RealToWindowsPath(th.host(), "/nowhere/else"), "");
}

TEST(PathTest, ShortNamesAndWildcards) {
  EXPECT_EQ(ShortName("Program Files", 1), "PROGRA~1");
  EXPECT_EQ(ShortName("Documents and Settings", 2), "DOCUME~2");
  EXPECT_EQ(ShortName("readme.txt", 1), "README.TXT");
  EXPECT_EQ(ShortName("archive.tar.gz", 1), "ARCHIV~1.GZ");
  struct Case {
    const char* pattern;
    const char* name;
    bool match;
  } cases[] = {
      {"*.*", "noext", true},     {"*.*", "a.b", true},       {"*.exe", "SPY.EXE", true},
      {"*.exe", "spy.exe.bak", false}, {"s?y.*", "spy", true}, {"s?y.*", "sy", false},
      {"*@*[*", "administrator@adsite[1].txt", true},         {"a*b*c", "aXbYc", true},
      {"a*b*c", "aXbY", false},   {"*", "", true},
  };
  for (const auto& c : cases) EXPECT_EQ(WildcardMatch(c.pattern, c.name), c.match) << c.pattern << " " << c.name;
}

}  // namespace
}  // namespace platform
