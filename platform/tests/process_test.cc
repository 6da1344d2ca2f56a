// Processes of a host: starting programs from Windows paths, the process
// list, handles, accounts and command lines.
#include "platform/process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/host.h"
#include "platform/path.h"
#include "platform/testing/temp_host.h"
#include "platform/tests/helpers/helper_paths.h"

namespace platform {
namespace {

using testing::CopyFile;
using testing::ReadText;
using testing::TempHost;
using testing::TestProgram;

constexpr char kSpy[] = "C:\\Program Files\\Spy\\spy.exe";

HostOptions TwoUsers() {
  HostOptions o;
  o.users = {"Administrator:Administrators", "Jane:Users"};
  return o;
}

class ProcessTest : public ::testing::Test {
 protected:
  ProcessTest() : host_(TwoUsers()) { CopyFile(TestProgram(), host_.Real(kSpy)); }

  Process Start(const std::string& command_line, LaunchOptions options = {}) {
    Process p;
    EXPECT_TRUE(CreateProcess(kSpy, command_line, options, &p)) << GetLastError();
    return p;
  }

  // Runs the test program's "dump" into C:\out.txt and returns the lines.
  std::vector<std::string> Dump(const std::string& application, const std::string& command_line,
                                const LaunchOptions& options = {}) {
    Process p;
    EXPECT_TRUE(CreateProcess(application, command_line, options, &p)) << GetLastError();
    EXPECT_TRUE(p.WaitForExit(10000));
    uint32_t code = 99;
    EXPECT_TRUE(p.GetExitCode(&code));
    EXPECT_EQ(code, 0u);
    std::string text = ReadText(host_.Real("C:\\out.txt"));
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
      size_t nl = text.find('\n', pos);
      lines.push_back(text.substr(pos, nl - pos));
      pos = nl + 1;
    }
    return lines;
  }

  static bool Listed(const Host& host, uint32_t pid, ProcessEntry* found = nullptr) {
    std::vector<ProcessEntry> list;
    EXPECT_TRUE(ListProcesses(host, &list));
    for (const auto& e : list)
      if (e.pid == pid) {
        if (found) *found = e;
        return true;
      }
    return false;
  }

  ~ProcessTest() override { testing::StopHostProcesses(host_.host()); }
  TempHost host_;
};

TEST(CommandLineTest, SplitsByWindowsRules) {
  struct Case {
    const char* line;
    std::vector<std::string> args;
  } cases[] = {
      {"prog \"a b\" c", {"prog", "a b", "c"}},
      {"prog a\\\\\\\"b", {"prog", "a\\\"b"}},              // 3 backslashes + quote
      {"prog a\\\\\\\\\"b c\" d", {"prog", "a\\\\b c", "d"}},  // 4 backslashes + quote
      {"prog a\\\\b \\x", {"prog", "a\\\\b", "\\x"}},      // backslashes alone are plain
      {"prog \"a\"\"b\"", {"prog", "a\"b"}},                  // "" inside quotes
      {"prog \"\" x", {"prog", "", "x"}},
      {"prog\t a\t\tb ", {"prog", "a", "b"}},
      {"\"C:\\Program Files\\x.exe\" -y", {"C:\\Program Files\\x.exe", "-y"}},
      {"C:\\dir\\\"x.exe -y", {"C:\\dir\\x.exe -y"}},  // the program name takes no escapes
      {" -C:\\Spy\\Cookies", {"", "-C:\\Spy\\Cookies"}},
      {"", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(CommandLineToArgv(c.line), c.args) << c.line;
}

TEST(CommandLineTest, QuotingRoundTrips) {
  std::vector<std::vector<std::string>> cases = {
      {"C:\\Program Files\\a.exe", "plain", "two words", ""},
      {"a.exe", "quote\"inside", "trailing\\", "tail\\\\ blank\\", "\\\"", "\t"},
      {"a.exe", "C:\\dir with blank\\", "-x=\"y z\""},
  };
  for (const auto& args : cases) EXPECT_EQ(CommandLineToArgv(ArgvToCommandLine(args)), args);
}

TEST_F(ProcessTest, ChildSeesItsRawCommandLineAndArguments) {
  std::string line = "\"C:\\Program Files\\Spy\\spy.exe\" dump C:\\out.txt \"a b\" c\\\\\"d e\" \"q\\\"\"";
  auto lines = Dump(kSpy, line);
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], line);
  EXPECT_EQ(lines[1], "arg:a b");
  EXPECT_EQ(lines[2], "arg:c\\d e");
  EXPECT_EQ(lines[3], "arg:q\"");
}

TEST_F(ProcessTest, EmptyCommandLineIsTheApplication) {
  Process p = Start("");
  ASSERT_TRUE(p.WaitForExit(10000));
  uint32_t code = 0;
  ASSERT_TRUE(p.GetExitCode(&code));
  EXPECT_EQ(code, 2u);  // the test program's answer to no command
}

TEST_F(ProcessTest, ListShowsWindowsImageAndAccountAndTerminateEndsIt) {
  LaunchOptions as_jane;
  as_jane.account = "jane";
  Process p = Start("spy.exe wait", as_jane);
  ASSERT_TRUE(p.IsValid());
  ProcessEntry e;
  ASSERT_TRUE(Listed(host_.host(), p.pid(), &e));
  EXPECT_EQ(e.image, kSpy);
  EXPECT_EQ(e.account, "Jane");
  EXPECT_EQ(e.parent_pid, static_cast<uint32_t>(::getpid()));

  std::string image, account;
  ASSERT_TRUE(p.GetImagePath(&image));
  EXPECT_EQ(image, kSpy);
  ASSERT_TRUE(p.GetAccount(&account));
  EXPECT_EQ(account, "Jane");

  uint32_t code = 0;
  ASSERT_TRUE(p.GetExitCode(&code));
  EXPECT_EQ(code, kStillActive);
  SetLastError(0);
  EXPECT_FALSE(p.WaitForExit(20));
  EXPECT_EQ(GetLastError(), kErrorWaitTimeout);

  ASSERT_TRUE(p.Terminate(1234));
  ASSERT_TRUE(p.WaitForExit(10000));
  ASSERT_TRUE(p.GetExitCode(&code));
  EXPECT_EQ(code, 1234u);
  EXPECT_FALSE(Listed(host_.host(), p.pid()));
  SetLastError(0);
  EXPECT_FALSE(p.Terminate(1));
  EXPECT_EQ(GetLastError(), kErrorAccessDenied);
}

TEST_F(ProcessTest, ExitCodeOfAChildThatEnds) {
  Process p = Start("spy.exe exit 7");
  ASSERT_TRUE(p.WaitForExit(10000));
  uint32_t code = 0;
  ASSERT_TRUE(p.GetExitCode(&code));
  EXPECT_EQ(code, 7u);
  // A second handle of the same child shares what the first learned.
  Process again;
  ASSERT_TRUE(CreateProcess(kSpy, "spy.exe exit 9", {}, &again));
  Process opened = Process::Open(again.pid());
  ASSERT_TRUE(opened.IsValid());
  ASSERT_TRUE(again.WaitForExit(10000));
  ASSERT_TRUE(again.GetExitCode(&code));
  EXPECT_EQ(code, 9u);
  code = 0;
  ASSERT_TRUE(opened.GetExitCode(&code));
  EXPECT_EQ(code, 9u);
}

TEST_F(ProcessTest, OpenByIdAndTerminateThroughTheOpenedHandle) {
  Process p = Start("spy.exe wait");
  Process opened = Process::Open(p.pid());
  ASSERT_TRUE(opened.IsValid());
  ASSERT_TRUE(opened.Terminate(77));
  ASSERT_TRUE(p.WaitForExit(10000));
  uint32_t code = 0;
  ASSERT_TRUE(p.GetExitCode(&code));
  EXPECT_EQ(code, 77u);
}

TEST_F(ProcessTest, ProcessesOfAnotherHostAreInvisible) {
  Process mine = Start("spy.exe wait");
  uint32_t other_pid = 0;
  Process theirs;
  {
    TempHost other;  // current host while it lives
    CopyFile(TestProgram(), other.Real("C:\\x.exe"));
    ASSERT_TRUE(CreateProcess("C:\\x.exe", "x.exe wait", {}, &theirs));
    other_pid = theirs.pid();
    EXPECT_TRUE(Listed(other.host(), other_pid));
    EXPECT_FALSE(Listed(other.host(), mine.pid()));
    EXPECT_FALSE(Process::Open(mine.pid()).IsValid());
    ASSERT_TRUE(theirs.Terminate(0));
    ASSERT_TRUE(theirs.WaitForExit(10000));
  }
  EXPECT_TRUE(Listed(host_.host(), mine.pid()));
  // The test program itself runs on no host.
  EXPECT_FALSE(Listed(host_.host(), static_cast<uint32_t>(::getpid())));
  SetLastError(0);
  EXPECT_FALSE(Process::Open(static_cast<uint32_t>(::getpid())).IsValid());
  EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
  mine.Terminate(0);
}

TEST_F(ProcessTest, ImageOutsideEveryDriveHasNoWindowsPath) {
  Process p;
  ASSERT_TRUE(LaunchRealProgram(TestProgram(), "vx_testprog wait", {}, &p));
  ProcessEntry e;
  ASSERT_TRUE(Listed(host_.host(), p.pid(), &e));
  EXPECT_EQ(e.image, "");
  EXPECT_EQ(e.real_image, std::filesystem::canonical(TestProgram()).string());
  p.Terminate(0);
}

TEST_F(ProcessTest, LaunchFailuresCarryWindowsCodes) {
  host_.WriteFile("C:\\notes.exe", "just text\n");
  struct Case {
    const char* application;
    const char* account;
    uint32_t error;
  } cases[] = {
      {"C:\\Program Files\\Spy\\none.exe", "", kErrorFileNotFound},
      {"C:\\No Folder\\spy.exe", "", kErrorPathNotFound},
      {"C:\\WINDOWS", "", kErrorAccessDenied},
      {"C:\\notes.exe", "", kErrorBadExeFormat},
      {kSpy, "Nobody", kErrorNoSuchUser},
  };
  for (const auto& c : cases) {
    LaunchOptions o;
    o.account = c.account;
    Process p;
    SetLastError(0);
    EXPECT_FALSE(CreateProcess(c.application, "x wait", o, &p)) << c.application;
    EXPECT_EQ(GetLastError(), c.error) << c.application;
    EXPECT_FALSE(p.IsValid());
  }
}

TEST_F(ProcessTest, ProgramFoundFromTheCommandLine) {
  CopyFile(TestProgram(), host_.Real("C:\\WINDOWS\\system32\\syshelper.exe"));
  // No application: the first item names the program, ".exe" is implied and
  // the system folder is searched.
  auto lines = Dump("", "syshelper dump C:\\out.txt x");
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "syshelper dump C:\\out.txt x");
  EXPECT_EQ(lines[1], "arg:x");
  Process p;
  SetLastError(0);
  EXPECT_FALSE(CreateProcess("", "nosuchprogram dump C:\\out.txt", {}, &p));
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
}

TEST_F(ProcessTest, UnquotedProgramPathWithBlanksIsTriedAtEachBlank) {
  const std::string line = "C:\\Program Files\\Spy\\spy.exe dump C:\\out.txt";
  auto image = [&] {
    auto lines = Dump("", line);
    for (const auto& l : lines)
      if (l.rfind("image:", 0) == 0) return l.substr(6);
    return std::string();
  };
  EXPECT_EQ(image(), std::filesystem::canonical(host_.Real(kSpy)).string());
  // The shortest prefix naming a program wins.
  CopyFile(TestProgram(), host_.Real("C:\\Program.exe"));
  EXPECT_EQ(image(), std::filesystem::canonical(host_.Real("C:\\Program.exe")).string());
}

TEST_F(ProcessTest, ProgramWithoutExecuteBitStillStarts) {
  // Files written through the Windows file functions carry no execute bit.
  std::filesystem::permissions(host_.Real(kSpy), std::filesystem::perms(0644));
  Process p = Start("spy exit 5");
  ASSERT_TRUE(p.WaitForExit(10000));
  uint32_t code = 0;
  ASSERT_TRUE(p.GetExitCode(&code));
  EXPECT_EQ(code, 5u);
}

TEST_F(ProcessTest, EnvironmentAccountAndWorkingFolder) {
  struct Case {
    const char* name;
    bool as_service;         // the caller runs as a service
    const char* account;     // LaunchOptions::account
    const char* directory;   // LaunchOptions::current_directory
    const char* want_account;
    const char* want_dir;    // Windows path of the expected working folder
  } cases[] = {
      {"caller's account", false, "", "C:\\WINDOWS", "Administrator", "C:\\WINDOWS"},
      {"named account", false, "JANE", "C:\\Program Files", "Jane", "C:\\Program Files"},
      {"service caller", true, "", "C:\\WINDOWS\\system32", "SYSTEM", "C:\\WINDOWS\\system32"},
  };
  for (const auto& c : cases) {
    if (c.as_service) ::setenv("VX_SERVICE_CHANNEL", "7", 1);
    ::setenv("VX_TEST_VAR", "inherited", 1);
    LaunchOptions o;
    o.account = c.account;
    o.current_directory = c.directory;
    o.environment = {{"VX_TEST_VAR", "added"}};
    auto lines = Dump(kSpy, "spy dump C:\\out.txt", o);
    ::unsetenv("VX_SERVICE_CHANNEL");
    ::unsetenv("VX_TEST_VAR");
    std::string text;
    for (const auto& l : lines) text += l + "\n";
    EXPECT_NE(text.find("account:" + std::string(c.want_account) + "\n"), std::string::npos) << c.name << "\n" << text;
    EXPECT_NE(text.find("var:added\n"), std::string::npos) << c.name;
    EXPECT_NE(text.find("channel:\n"), std::string::npos) << c.name;
    std::string want_dir = std::filesystem::canonical(host_.Real(c.want_dir)).string();
    EXPECT_NE(text.find("cwd:" + want_dir + "\n"), std::string::npos) << c.name << "\n" << text;
  }
}

TEST_F(ProcessTest, OnlyRemappedDescriptorsAreInherited) {
  int remapped[2], leaked[2];
  ASSERT_EQ(::pipe(remapped), 0);
  ASSERT_EQ(::pipe(leaked), 0);  // no close-on-exec: must still not reach the child
  struct Case {
    std::string command;
    uint32_t code;
  } cases[] = {
      {"spy fd 5", 0},
      {"spy fd " + std::to_string(leaked[1]), 5},
  };
  for (const auto& c : cases) {
    LaunchOptions o;
    o.fds_to_remap = {{remapped[1], 5}};
    Process p;
    ASSERT_TRUE(CreateProcess(kSpy, c.command, o, &p));
    ASSERT_TRUE(p.WaitForExit(10000));
    uint32_t code = 99;
    ASSERT_TRUE(p.GetExitCode(&code));
    EXPECT_EQ(code, c.code) << c.command;
  }
  ::close(remapped[1]);
  char buf[8] = {};
  EXPECT_EQ(::read(remapped[0], buf, sizeof buf), 2);
  EXPECT_EQ(std::string(buf), "fd");
  for (int fd : {remapped[0], leaked[0], leaked[1]}) ::close(fd);
}

TEST_F(ProcessTest, ClosedHandleLeavesNoZombie) {
  uint32_t pid = 0;
  {
    Process p = Start("spy.exe exit 0");
    pid = p.pid();
  }
  // The background waiter reaps it: /proc/<pid> disappears.
  std::string proc = "/proc/" + std::to_string(pid);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::filesystem::exists(proc) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(std::filesystem::exists(proc));
}

TEST_F(ProcessTest, CreateProcessAsUserTakesTheExplorersAccount) {
  CopyFile(testing::BinDir() + "/explorer.exe", host_.Real("C:\\WINDOWS\\explorer.exe"));
  ProcessEntry none;
  SetLastError(0);
  EXPECT_FALSE(FindProcessByName("explorer.exe", &none));  // nobody logged on
  EXPECT_EQ(GetLastError(), kErrorInvalidParameter);

  LaunchOptions as_jane;
  as_jane.account = "Jane";
  as_jane.detach = true;
  Process shell;
  ASSERT_TRUE(CreateProcess("C:\\WINDOWS\\explorer.exe", "C:\\WINDOWS\\Explorer.EXE", as_jane, &shell));

  ProcessEntry e;
  ASSERT_TRUE(FindProcessByName("EXPLORER.EXE", &e));
  EXPECT_EQ(e.pid, shell.pid());
  Process opened = Process::Open(e.pid);
  ASSERT_TRUE(opened.IsValid());
  AccessToken token;
  ASSERT_TRUE(OpenProcessToken(opened, &token));
  EXPECT_EQ(token.account, "Jane");
  std::string profile;
  ASSERT_TRUE(GetUserProfileDirectory(token, &profile));
  EXPECT_EQ(profile, "C:\\Documents and Settings\\Jane");

  Process child;
  ASSERT_TRUE(CreateProcessAsUser(token, kSpy, "spy dump C:\\out.txt", {}, &child));
  ASSERT_TRUE(child.WaitForExit(10000));
  EXPECT_NE(ReadText(host_.Real("C:\\out.txt")).find("account:Jane\n"), std::string::npos);

  // The explorer ends on a log-off signal too; here it is terminated.
  ASSERT_TRUE(opened.Terminate(0));
  ASSERT_TRUE(shell.WaitForExit(10000));
  EXPECT_FALSE(FindProcessByName("explorer.exe", &e));
}

// Runs the vxhost tool on the test's host; returns its exit status and
// standard output.
int RunVxhost(const std::string& root, const std::string& args, std::string* out = nullptr) {
  std::string cmd = "'" + testing::BinDir() + "/vxhost' --root '" + root + "' " + args;
  FILE* f = ::popen(cmd.c_str(), "r");
  if (!f) return -1;
  std::string text;
  char buf[512];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  int status = ::pclose(f);
  if (out) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(ProcessTest, VxhostExecRunsAProgramInTheHost) {
  struct Case {
    std::string args;
    int status;
    const char* dump;  // expected in C:\out.txt, or ""
  } cases[] = {
      {"exec --user jane 'C:\\Program Files\\Spy\\spy.exe' dump 'C:\\out.txt' 'a b'", 0,
       "arg:a b\naccount:Jane\n"},
      {"exec 'C:\\Program Files\\Spy\\spy.exe' exit 7", 7, ""},
      {"exec '" + TestProgram() + "' exit 3", 3, ""},
      {"exec 'C:\\Program Files\\Spy\\none.exe'", 2, ""},
      {"exec --user Nobody 'C:\\Program Files\\Spy\\spy.exe' exit 0", 2, ""},
  };
  for (const auto& c : cases) {
    std::filesystem::remove(host_.Real("C:\\out.txt"));
    EXPECT_EQ(RunVxhost(host_.root(), c.args), c.status) << c.args;
    if (*c.dump) {
      EXPECT_NE(ReadText(host_.Real("C:\\out.txt")).find(c.dump), std::string::npos) << c.args;
    }
  }
}

TEST_F(ProcessTest, LogonPsAndKillThroughVxhost) {
  std::string out;
  ASSERT_EQ(RunVxhost(host_.root(), "logon Jane", &out), 0);
  uint32_t pid = static_cast<uint32_t>(std::strtoul(out.c_str(), nullptr, 10));
  ASSERT_NE(pid, 0u);
  // Logging on twice finds the running shell.
  ASSERT_EQ(RunVxhost(host_.root(), "logon jane", &out), 0);
  EXPECT_EQ(static_cast<uint32_t>(std::strtoul(out.c_str(), nullptr, 10)), pid);
  EXPECT_NE(RunVxhost(host_.root(), "logon Nobody"), 0);

  // Not our child: the handle still tells account and image.
  Process shell = Process::Open(pid);
  ASSERT_TRUE(shell.IsValid());
  std::string account, image;
  ASSERT_TRUE(shell.GetAccount(&account));
  EXPECT_EQ(account, "Jane");
  ASSERT_TRUE(shell.GetImagePath(&image));
  EXPECT_EQ(image, "C:\\WINDOWS\\explorer.exe");

  ASSERT_EQ(RunVxhost(host_.root(), "ps", &out), 0);
  EXPECT_NE(out.find(std::to_string(pid) + "  Jane"), std::string::npos) << out;
  EXPECT_NE(out.find("C:\\WINDOWS\\explorer.exe"), std::string::npos) << out;

  ASSERT_EQ(RunVxhost(host_.root(), "kill " + std::to_string(pid) + " 3"), 0);
  ASSERT_TRUE(shell.WaitForExit(10000));
  // Linux keeps no exit status for a process that is not our child, and
  // this handle did not terminate it.
  uint32_t code = 0;
  SetLastError(0);
  EXPECT_FALSE(shell.GetExitCode(&code));
  EXPECT_EQ(GetLastError(), kErrorAccessDenied);
  EXPECT_NE(RunVxhost(host_.root(), "kill " + std::to_string(pid)), 0);

  // Terminated through our own handle, the requested code is known.
  ASSERT_EQ(RunVxhost(host_.root(), "logon Jane", &out), 0);
  Process again = Process::Open(static_cast<uint32_t>(std::strtoul(out.c_str(), nullptr, 10)));
  ASSERT_TRUE(again.IsValid());
  ASSERT_TRUE(again.Terminate(4));
  ASSERT_TRUE(again.WaitForExit(10000));
  ASSERT_TRUE(again.GetExitCode(&code));
  EXPECT_EQ(code, 4u);
}

TEST_F(ProcessTest, GetCommandLineWithoutLauncherJoinsOwnArguments) {
  // This test program was not started through CreateProcess.
  ::unsetenv("VX_COMMAND_LINE");
  std::vector<std::string> own = CommandLineToArgv(GetCommandLine());
  ASSERT_FALSE(own.empty());
  EXPECT_EQ(std::filesystem::path(own[0]).filename(), std::filesystem::path(CurrentProgramPath()).filename());
  // An inherited text that does not describe our arguments is ignored.
  ::setenv("VX_COMMAND_LINE", "other.exe /x", 1);
  EXPECT_EQ(CommandLineToArgv(GetCommandLine()), own);
  ::unsetenv("VX_COMMAND_LINE");
}

}  // namespace
}  // namespace platform
