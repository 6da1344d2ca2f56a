// Active protection's pieces inside one process on a temporary host: the
// monitor's path, its termination and the start for the logged-on user.
#include <gtest/gtest.h>

#include <deque>
#include <filesystem>

#include "VXAgent/service/active_protection.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/testing/temp_host.h"

namespace vxagent {
namespace {

namespace fs = std::filesystem;

TEST(MonitorPathTest, OneSeparatorWhateverTheFolderEndsWith) {
  EXPECT_EQ(MonitorPath("C:\\WINDOWS\\system32"), "C:\\WINDOWS\\system32\\VXMonitor.exe");
  EXPECT_EQ(MonitorPath("C:\\WINDOWS\\system32\\"), "C:\\WINDOWS\\system32\\VXMonitor.exe");
  EXPECT_EQ(MonitorPath(""), "\\VXMonitor.exe");
}

class ActiveProtectionTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (auto& p : started_)
      if (p.Terminate(1)) p.WaitForExit(2000);
  }

  // Starts a copy of /bin/sleep planted at `path`.
  platform::Process& Start(const std::string& path) {
    fs::create_directories(fs::path(host_.Real(path)).parent_path());
    fs::copy_file("/bin/sleep", host_.Real(path), fs::copy_options::overwrite_existing);
    platform::Process p;
    EXPECT_TRUE(platform::CreateProcess(path, platform::QuoteArgument(path) + " 600", {}, &p)) << path;
    started_.push_back(std::move(p));
    return started_.back();
  }

  platform::testing::TempHost host_;
  std::deque<platform::Process> started_;  // references stay valid as it grows
};

TEST_F(ActiveProtectionTest, TerminatesEveryMonitorByBaseNameOnly) {
  platform::Process& system_copy = Start("C:\\WINDOWS\\system32\\VXMonitor.exe");
  platform::Process& other_case = Start("C:\\elsewhere\\vxmonitor.EXE");
  platform::Process& similar = Start("C:\\elsewhere\\VXMonitor.exe.bak.exe");
  platform::Process& other = Start("C:\\elsewhere\\Monitor.exe");
  EXPECT_EQ(TerminateMonitor(), 2);
  EXPECT_TRUE(system_copy.WaitForExit(0));
  EXPECT_TRUE(other_case.WaitForExit(0));
  EXPECT_FALSE(similar.WaitForExit(0));
  EXPECT_FALSE(other.WaitForExit(0));
  EXPECT_EQ(TerminateMonitor(), 0);
}

TEST_F(ActiveProtectionTest, DisablingEndsMonitorsEvenWithoutTheRunValue) {
  platform::Process& monitor = Start("C:\\WINDOWS\\system32\\VXMonitor.exe");
  EXPECT_EQ(SetActiveProtection(false), kProtectionNotEnabled);
  EXPECT_TRUE(monitor.WaitForExit(0));
}

TEST_F(ActiveProtectionTest, StartProcessNeedsALoggedOnUser) {
  EXPECT_FALSE(StartProcess("C:\\WINDOWS\\system32\\VXMonitor.exe"));
}

}  // namespace
}  // namespace vxagent
