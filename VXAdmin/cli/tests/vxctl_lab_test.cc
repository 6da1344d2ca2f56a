// vxctl run as a program against a lab network.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <regex>
#include <sstream>

#include "VXAdmin/client/tests/lab_fixture.h"
#include "hostd/testing/running_daemon.h"

namespace vxadmin::cli {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

struct Outcome {
  int exit_code = -1;
  std::vector<std::string> lines;  // standard output and error, in order
  std::string text;
};

class VxctlLabTest : public vxadmin::testing::LabTest {
 protected:
  // Runs vxctl with the console host in VX_HOST_ROOT (or none).
  Outcome Vxctl(const std::vector<std::string>& args, bool with_console = true) {
    std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1",
                                     hostd::testing::BinPath("vxctl")};
    argv.insert(argv.end(), args.begin(), args.end());
    Outcome r;
    int status = hostd::testing::RunProgram(
        argv, {with_console ? "VX_HOST_ROOT=" + Root("console") : "VX_HOST_ROOT="}, &r.text);
    r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::istringstream in(r.text);
    for (std::string line; std::getline(in, line);) r.lines.push_back(line);
    return r;
  }
};

class ThreeClientsVxctlTest : public VxctlLabTest {
  int Clients() const override { return 3; }
};

// Status lines carry the time they were added: "[HH:MM:SS] text".
std::vector<std::string> StatusLines(const Outcome& r) {
  static const std::regex stamped(R"(^\[\d\d:\d\d:\d\d\] (.*)$)");
  std::vector<std::string> out;
  std::smatch m;
  for (const auto& line : r.lines)
    if (std::regex_match(line, m, stamped)) out.push_back(m[1]);
  std::sort(out.begin(), out.end());  // hosts are checked at the same time
  return out;
}

std::vector<std::string> OwnLines(const Outcome& r) {
  static const std::regex stamped(R"(^\[\d\d:\d\d:\d\d\] .*$)");
  std::vector<std::string> out;
  for (const auto& line : r.lines)
    if (!std::regex_match(line, stamped)) out.push_back(line);
  return out;
}

TEST_F(ThreeClientsVxctlTest, CheckReportsEachClientWithTheConsolesTexts) {
  // pc1 and pc3 get the agent through vxctl; pc3 then reports an old version.
  for (const char* host : {"pc1", "pc3"}) {
    Outcome copy = Vxctl({"copy", host, "VXAgent.exe"});
    ASSERT_EQ(copy.exit_code, 0) << copy.text;
    Outcome start = Vxctl({"service", host, "VXAgent", "start"});
    ASSERT_EQ(start.exit_code, 0) << start.text;
    EXPECT_THAT(StatusLines(start), ElementsAre("[" + std::string(host) + "] Starting client service..."));
    Outcome reg = Vxctl({"register", host});
    ASSERT_EQ(reg.exit_code, 0) << reg.text;
    EXPECT_THAT(OwnLines(reg), ElementsAre(std::string(host) + ": versions 5.1 / 2.0 registered"));
  }
  ASSERT_TRUE(SetAgentValue("pc3", "ClientVersionNo", "4.0"));

  Outcome check = Vxctl({"check", "pc1", "pc2", "pc3"});
  EXPECT_EQ(check.exit_code, 1) << check.text;
  EXPECT_THAT(StatusLines(check),
              ElementsAre("[pc2] does not have client service installed! Use 'Install/Update Client' button in "
                          "Scan tab to install client service!",
                          "[pc3] is running older version of client service. Use 'Install/Update Client' button "
                          "in Scan tab to update this client!"))
      << check.text;
  EXPECT_THAT(OwnLines(check), ElementsAre("pc1: ready (RemoteAdminOptionsPipe opened)", "pc2: not ready",
                                           "pc3: not ready"));

  Outcome only_pc1 = Vxctl({"check", "--pipe", "RemoteAdminScanPipe", "pc1"});
  EXPECT_EQ(only_pc1.exit_code, 0) << only_pc1.text;

  Outcome unprotected = Vxctl({"check", "--protection-check", "pc2"});
  EXPECT_THAT(StatusLines(unprotected), ElementsAre("[pc2] is an Unprotected node!"));

  // Registration needs an agent; service control reports what happened.
  Outcome no_agent = Vxctl({"register", "pc2"});
  EXPECT_EQ(no_agent.exit_code, 1);
  EXPECT_THAT(OwnLines(no_agent), ElementsAre("pc2: VXAgent.exe is not installed; versions not registered"));
  Outcome stop = Vxctl({"service", "pc1", "VXAgent", "stop"});
  EXPECT_EQ(stop.exit_code, 0) << stop.text;
  EXPECT_THAT(OwnLines(stop), ElementsAre("pc1: VXAgent stopped"));
  Outcome restart = Vxctl({"service", "pc1", "VXAgent", "restart"});
  EXPECT_EQ(restart.exit_code, 0) << restart.text;
  EXPECT_THAT(restart.lines, ElementsAre("pc1: VXAgent restarted"));
  Outcome del = Vxctl({"service", "pc1", "VXAgent", "delete"});
  EXPECT_EQ(del.exit_code, 0) << del.text;
  Outcome gone = Vxctl({"service", "pc1", "VXAgent", "stop"});
  EXPECT_EQ(gone.exit_code, 1);
  EXPECT_THAT(gone.text, HasSubstr("(error 1060)"));
}

TEST_F(VxctlLabTest, BadInputIsRefusedWithAReason) {
  struct Case {
    std::vector<std::string> args;
    bool with_console;
    int exit_code;
    const char* says;
  } cases[] = {
      {{}, true, 2, "usage: vxctl"},
      {{"frobnicate", "pc1"}, true, 2, "vxctl: unknown command 'frobnicate'"},
      {{"--colour", "check", "pc1"}, true, 2, "vxctl: unknown option --colour"},
      {{"check"}, true, 2, "vxctl: no host given"},
      {{"check", "pc1\\x"}, true, 2, "vxctl: 'pc1\\x' is not a host name"},
      {{"check", "--pipe", "a\\b", "pc1"}, true, 2, "vxctl: --pipe: give a pipe name"},
      {{"check", "--fast", "pc1"}, true, 2, "vxctl: check: unknown option --fast"},
      {{"service", "pc1", "VXAgent"}, true, 2, "vxctl: service: give a host, a service name and"},
      {{"service", "pc1", "VXAgent", "pause"}, true, 2, "vxctl: service: unknown operation 'pause'"},
      {{"copy", "pc1", "..\\secret.txt"}, true, 2, "is not a file name of the installation folder"},
      {{"check", "pc1"}, false, 2, "vxctl: no console host: pass --root HOSTROOT or set VX_HOST_ROOT"},
      {{"--root", "/nonexistent/console", "check", "pc1"}, true, 2, "vxctl: console host /nonexistent/console"},
  };
  for (const Case& c : cases) {
    std::string shown;
    for (const auto& a : c.args) shown += a + " ";
    SCOPED_TRACE(shown);
    Outcome r = Vxctl(c.args, c.with_console);
    EXPECT_EQ(r.exit_code, c.exit_code) << r.text;
    EXPECT_THAT(r.text, HasSubstr(c.says));
  }
  // --root names the console host as VX_HOST_ROOT does.
  Outcome r = Vxctl({"--root", Root("console"), "check", "pc1"}, false);
  EXPECT_THAT(StatusLines(r), ElementsAre("[pc1] does not have client service installed! Use 'Install/Update "
                                          "Client' button in Scan tab to install client service!"));
}

}  // namespace
}  // namespace vxadmin::cli
