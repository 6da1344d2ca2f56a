// Opening files through the shell, the registration tool it starts, and
// the known folders.
#include "platform/shell.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/host.h"
#include "platform/process.h"
#include "platform/testing/temp_host.h"
#include "platform/tests/helpers/helper_paths.h"

namespace platform {
namespace {

namespace fs = std::filesystem;
using testing::CopyFile;
using testing::TempHost;
using testing::WaitForFile;

HostOptions TwoUsers() {
  HostOptions o;
  o.users = {"Administrator:Administrators", "Jane:Users"};
  return o;
}

class ShellTest : public ::testing::Test {
 protected:
  ShellTest() : host_(TwoUsers()) {
    CopyFile(testing::TestProgram(), host_.Real("C:\\Tools\\dump.exe"));
    CopyFile(testing::BinDir() + "/regsvr32.exe", host_.Real("C:\\WINDOWS\\system32\\regsvr32.exe"));
  }
  ~ShellTest() override { testing::StopHostProcesses(host_.host()); }
  TempHost host_;
};

TEST_F(ShellTest, OpenStartsAProgramWithItsParameters) {
  uint32_t r = ShellExecute("open", "C:\\Tools\\dump.exe", "dump C:\\out.txt \"a b\" c", "C:\\WINDOWS", 0);
  ASSERT_GT(r, 32u);
  std::string text = WaitForFile(host_.Real("C:\\out.txt"), "end\n");
  EXPECT_EQ(text.substr(0, text.find('\n')), "\"C:\\Tools\\dump.exe\" dump C:\\out.txt \"a b\" c");
  EXPECT_NE(text.find("\narg:a b\narg:c\n"), std::string::npos) << text;
  EXPECT_NE(text.find("cwd:" + fs::canonical(host_.Real("C:\\WINDOWS")).string() + "\n"),
            std::string::npos)
      << text;
}

TEST_F(ShellTest, FailuresGiveShellResultsAndLastErrors) {
  host_.WriteFile("C:\\readme.txt", "text\n");
  struct Case {
    const char* verb;
    const char* file;
    bool hide_opener;  // run with an empty PATH: no desktop opener
    uint32_t result;
    uint32_t error;
  } cases[] = {
      {"open", "C:\\Tools\\none.exe", false, kShellErrorFileNotFound, kErrorFileNotFound},
      {"open", "C:\\No Folder\\x.exe", false, kShellErrorPathNotFound, kErrorPathNotFound},
      {"open", "nosuchprogram.exe", false, kShellErrorFileNotFound, kErrorFileNotFound},
      {"print", "C:\\Tools\\dump.exe", false, kShellErrorNoAssociation, kErrorNoAssociation},
      {"explore", "C:\\readme.txt", false, kShellErrorNoAssociation, kErrorNoAssociation},
      {"OPEN", "C:\\readme.txt", true, kShellErrorNoAssociation, kErrorNoAssociation},
  };
  std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
  for (const auto& c : cases) {
    if (c.hide_opener) ::setenv("PATH", "", 1);
    SetLastError(0);
    uint32_t r = ShellExecute(c.verb, c.file, "", "", 0);
    ::setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(r, c.result) << c.verb << " " << c.file;
    EXPECT_EQ(GetLastError(), c.error) << c.verb << " " << c.file;
  }
}

TEST_F(ShellTest, DocumentsAndFoldersGoToTheDesktopOpener) {
  // A stand-in opener on PATH that notes what it was given.
  testing::TempDir bin;
  std::string note = bin.path() + "/opened";
  host_.WriteFile("C:\\Docs\\Help.chm", "help");
  {
    std::ofstream script(bin.path() + "/xdg-open");
    script << "#!/bin/sh\necho \"$1\" >> '" << note << "'\n";
  }
  fs::permissions(bin.path() + "/xdg-open", fs::perms(0755));
  std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
  ::setenv("PATH", (bin.path() + ":" + path).c_str(), 1);
  uint32_t doc = ShellExecute("open", "c:\\docs\\help.CHM", "", "", 1);
  uint32_t folder = ShellExecute("explore", "C:\\Docs", "", "", 1);
  ::setenv("PATH", path.c_str(), 1);
  EXPECT_GT(doc, 32u);
  EXPECT_GT(folder, 32u);
  std::string want = host_.Real("C:\\Docs\\Help.chm") + "\n";
  std::string text = testing::WaitForFile(note, want);
  EXPECT_NE(text.find(want), std::string::npos) << text;
  text = testing::WaitForFile(note, host_.Real("C:\\Docs") + "\n");
  EXPECT_NE(text.find(host_.Real("C:\\Docs") + "\n"), std::string::npos) << text;
}

TEST_F(ShellTest, Regsvr32UnregistersTheLibrary) {
  // The agent's call: " /s -u" + blank + path, the path not quoted.
  struct Case {
    const char* windows_path;
  } cases[] = {
      {"C:\\Spy\\zyx.dll"},
      {"C:\\Program Files\\Spy Ware\\zyx.dll"},
  };
  for (const auto& c : cases) {
    std::string real = host_.Real(c.windows_path);
    CopyFile(testing::TestLibrary("system"), real);
    uint32_t r = ShellExecute("open", "regsvr32.exe", std::string(" /s -u ") + c.windows_path, "", 0);
    ASSERT_GT(r, 32u) << c.windows_path;
    EXPECT_TRUE(testing::WaitForPath(real + ".unregistered")) << c.windows_path;
    EXPECT_FALSE(fs::exists(real + ".registered")) << c.windows_path;
  }
}

TEST_F(ShellTest, Regsvr32ExitCodes) {
  CopyFile(testing::TestLibrary("system"), host_.Real("C:\\Spy\\good.dll"));
  host_.WriteFile("C:\\Spy\\text.dll", "not a library\n");
  struct Case {
    const char* command;
    uint32_t code;
    const char* marker;  // file the library leaves, or ""
  } cases[] = {
      {"regsvr32 /s C:\\Spy\\good.dll", 0, "C:\\Spy\\good.dll.registered"},
      {"regsvr32 /S /U C:\\Spy\\good.dll", 0, "C:\\Spy\\good.dll.unregistered"},
      {"regsvr32 /s -u C:\\Spy\\text.dll", 1, ""},
      {"regsvr32 /s -u C:\\Spy\\missing.dll", 1, ""},
      {"regsvr32 /s /x C:\\Spy\\good.dll", 1, ""},
      {"regsvr32 /s", 1, ""},
  };
  for (const auto& c : cases) {
    Process p;
    ASSERT_TRUE(CreateProcess("C:\\WINDOWS\\system32\\regsvr32.exe", c.command, {}, &p)) << c.command;
    ASSERT_TRUE(p.WaitForExit(10000)) << c.command;
    uint32_t code = 99;
    ASSERT_TRUE(p.GetExitCode(&code));
    EXPECT_EQ(code, c.code) << c.command;
    if (*c.marker) {
      EXPECT_TRUE(fs::exists(host_.Real(c.marker))) << c.command;
      fs::remove(host_.Real(c.marker));
    }
  }
}

TEST_F(ShellTest, FolderPaths) {
  struct Case {
    int id;
    const char* account;
    bool ok;
    const char* path;
  } cases[] = {
      {kFolderSystem, "", true, "C:\\WINDOWS\\system32"},
      {kFolderCookies, "Jane", true, "C:\\Documents and Settings\\Jane\\Cookies"},
      {kFolderCookies, "", true, "C:\\Documents and Settings\\Administrator\\Cookies"},
      {kFolderAppData | kFolderFlagCreate, "jane", true, "C:\\Documents and Settings\\Jane\\Application Data"},
      {0x77, "", false, ""},
      {kFolderCookies, "Nobody", false, ""},
  };
  for (const auto& c : cases) {
    std::string path = "untouched";
    SetLastError(0);
    EXPECT_EQ(GetFolderPath(c.id, c.account, &path), c.ok) << c.id;
    EXPECT_EQ(path, c.ok ? c.path : "untouched") << c.id;
    if (!c.ok) {
      EXPECT_EQ(GetLastError(), kErrorInvalidParameter) << c.id;
    }
  }
}

TEST_F(ShellTest, CreateFlagMakesAMissingFolder) {
  std::string real = host_.Real("C:\\Documents and Settings\\Jane\\Favorites");
  fs::remove_all(real);
  std::string path;
  ASSERT_TRUE(GetFolderPath(kFolderFavorites, "Jane", &path));
  EXPECT_FALSE(fs::exists(real));
  ASSERT_TRUE(GetFolderPath(kFolderFavorites | kFolderFlagCreate, "Jane", &path));
  EXPECT_TRUE(fs::is_directory(real));
}

}  // namespace
}  // namespace platform
