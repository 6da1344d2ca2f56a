// VXAgentRemover.exe run as the service "VXAgentUnistall" under a real
// host daemon, beside a real running agent, read by a client of
// UninstallPipe as the console reads it.
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "VXAgentRemover/uninstall_log.h"
#include "hostd/testing/running_daemon.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/pipe.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/service.h"
#include "platform/system_info.h"
#include "platform/testing/temp_host.h"

namespace vxremover {
namespace {

namespace fs = std::filesystem;
using hostd::testing::BinPath;
using hostd::testing::RunningDaemon;
using platform::RootKey;

const char kSys[] = "C:\\WINDOWS\\system32\\";
const char kPipe[] = "\\\\.\\pipe\\UninstallPipe";
const char* kRemovedFiles[] = {"VXAgent.exe", "VXMonitor.exe", "VXCESpylist.db", "ProcessSpy.db",
                               "VXTrackingCookies.ini", "ProcGuardLib.dll", "Imprinter.dll", "ExcludeDB.db"};
const char* kKeptFiles[] = {"ScanHistory.ini", "RestartDelete.db", "SpywareLog.txt", "VXAgentRemover.exe",
                            "LogFolder\\10-December-2026.log"};

std::string Sys(const std::string& name) { return kSys + name; }

class RemoverServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::copy_file(BinPath("VXAgentRemover.exe"), host_.Real(Sys("VXAgentRemover.exe")));
    for (const char* name : kRemovedFiles)
      if (std::string(name) != "VXAgent.exe" && std::string(name) != "VXMonitor.exe")
        host_.WriteFile(Sys(name), "data");
    for (const char* name : kKeptFiles)
      if (std::string(name) != "VXAgentRemover.exe") host_.WriteFile(Sys(name), "kept");
    host_.WriteFile(Sys(kUninstallLogName), "old run\r\n");

    platform::RegKey key;
    ASSERT_EQ(key.Create(RootKey::kLocalMachine, "Software\\VXCorporate\\Schedule_Info", platform::kKeyAllAccess), 0u);
    key.WriteString("Time", "9:5");
    ASSERT_EQ(key.Create(RootKey::kLocalMachine, "Software\\VXCorporate", platform::kKeyAllAccess), 0u);
    key.WriteString("ClientVersionNo", "5.1");
    key.WriteString("ClientDatabaseVersionNo", "2.0");
    key.WriteDword("ScanProgress", 0);
    ASSERT_EQ(key.Create(RootKey::kLocalMachine, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run",
                         platform::kKeyAllAccess),
              0u);
    key.WriteString("VXCEMonitor", "C:\\WINDOWS\\system32\\VXMonitor.exe");
    key.WriteString("Other", "C:\\Other.exe");

    daemon_ = std::make_unique<RunningDaemon>(host_.root());
    ASSERT_TRUE(daemon_->ok());
    scm_ = platform::OpenSCManagerA("", "", platform::SC_MANAGER_ALL_ACCESS);
    ASSERT_TRUE(scm_.IsValid());
  }

  void TearDown() override {
    for (auto& p : processes_) p.Terminate(1);
  }

  platform::ScHandle CreateAndStart(const char* name, const char* image) {
    platform::ScHandle s = platform::CreateServiceA(scm_, name, name, platform::SERVICE_ALL_ACCESS,
                                                    platform::SERVICE_WIN32_OWN_PROCESS,
                                                    platform::SERVICE_DEMAND_START, platform::SERVICE_ERROR_NORMAL,
                                                    std::string("%SystemRoot%\\system32\\") + image);
    EXPECT_TRUE(s.IsValid());
    EXPECT_TRUE(platform::StartServiceA(s));
    return s;
  }

  // A long-running program under the given Windows path (a copy of sleep).
  void RunProgramAs(const std::string& path) {
    fs::create_directories(fs::path(host_.Real(path)).parent_path());
    if (!fs::exists(host_.Real(path))) fs::copy_file("/bin/sleep", host_.Real(path));
    platform::Process p;
    ASSERT_TRUE(platform::CreateProcess(path, "prog 60", {}, &p));
    processes_.push_back(std::move(p));
  }

  // Starts the uninstaller and reads its lines as the console does: until a
  // read fails or the line is "Finished Uninstallation".
  std::vector<std::string> RunUninstaller() {
    remover_ = CreateAndStart("VXAgentUnistall", "VXAgentRemover.exe");
    platform::PipeClient c;
    EXPECT_TRUE(hostd::testing::WaitUntil([&] { return platform::WaitNamedPipe(kPipe, 1000) && c.Open(kPipe); }));
    std::vector<std::string> lines;
    uint8_t buf[260];
    uint32_t n = 0;
    while (c.Read(buf, sizeof buf, &n)) {
      EXPECT_EQ(n, 260u);
      lines.emplace_back(reinterpret_cast<const char*>(buf), strnlen(reinterpret_cast<const char*>(buf), n));
      if (lines.back() == "Finished Uninstallation") break;
    }
    return lines;
  }

  // The console's last step: stop and delete the uninstaller service.
  void StopUninstaller() {
    platform::SERVICE_STATUS status;
    ASSERT_TRUE(platform::ControlService(remover_, platform::SERVICE_CONTROL_STOP, &status));
    EXPECT_TRUE(hostd::testing::WaitUntil([&] {
      return platform::QueryServiceStatus(remover_, &status) && status.dwCurrentState == platform::SERVICE_STOPPED;
    }));
    EXPECT_TRUE(platform::DeleteService(remover_));
  }

  std::string Log() {
    std::string out;
    platform::ReadFileToString(UninstallLogPath(), &out);
    return out;
  }

  bool ValueExists(const char* key_name, const char* value) {
    platform::RegKey key;
    std::string text;
    return key.Open(RootKey::kLocalMachine, key_name, platform::kKeyRead) == 0 && key.ReadString(value, &text) == 0;
  }

  platform::testing::TempHost host_;
  std::unique_ptr<RunningDaemon> daemon_;
  platform::ScHandle scm_, remover_;
  std::vector<platform::Process> processes_;
};

TEST_F(RemoverServiceTest, RemovesARunningAgentAndItsMonitors) {
  fs::copy_file(BinPath("VXAgent.exe"), host_.Real(Sys("VXAgent.exe")));
  platform::ScHandle agent = CreateAndStart("VXAgent", "VXAgent.exe");
  RunProgramAs(Sys("VXMonitor.exe"));
  RunProgramAs(Sys("VXMonitor.exe"));
  RunProgramAs("C:\\Tools\\Other.exe");

  EXPECT_EQ(RunUninstaller(), (std::vector<std::string>{"Uninstallation started", "Finished Uninstallation"}))
      << Log();

  for (const char* name : kRemovedFiles) EXPECT_FALSE(platform::PathFileExists(Sys(name))) << name;
  for (const char* name : kKeptFiles) EXPECT_TRUE(platform::PathFileExists(Sys(name))) << name;
  platform::RegKey key;
  EXPECT_NE(key.Open(RootKey::kLocalMachine, "Software\\VXCorporate\\Schedule_Info", platform::kKeyRead), 0u);
  EXPECT_FALSE(ValueExists("Software\\VXCorporate", "ClientVersionNo"));
  EXPECT_FALSE(ValueExists("Software\\VXCorporate", "ClientDatabaseVersionNo"));
  EXPECT_FALSE(ValueExists("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", "VXCEMonitor"));
  EXPECT_TRUE(ValueExists("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", "Other"));
  uint32_t progress = 9;
  ASSERT_EQ(key.Open(RootKey::kLocalMachine, "Software\\VXCorporate", platform::kKeyRead), 0u);
  EXPECT_EQ(key.ReadDword("ScanProgress", &progress), 0u);

  // The agent was stopped and its service deleted; both monitors ended,
  // the other program runs on.
  platform::SERVICE_STATUS status;
  EXPECT_TRUE(platform::QueryServiceStatus(agent, &status));
  EXPECT_EQ(status.dwCurrentState, platform::SERVICE_STOPPED);
  EXPECT_TRUE(hostd::testing::WaitUntil([&] {
    platform::ScHandle gone = platform::OpenServiceA(scm_, "VXAgent", platform::SERVICE_QUERY_STATUS);
    return !gone.IsValid() && platform::GetLastError() == 1060;
  }));
  EXPECT_TRUE(processes_[0].WaitForExit(5000));
  EXPECT_TRUE(processes_[1].WaitForExit(5000));
  EXPECT_FALSE(processes_[2].WaitForExit(0));

  // The service main ends after the last line; the console may stop the
  // service before that, but this test wants to see the whole log.
  EXPECT_TRUE(hostd::testing::WaitUntil(
      [&] { return Log().find("## Finished Uninstallation on client!\r\n") != std::string::npos; }));
  StopUninstaller();
  const std::string log = Log();
  EXPECT_EQ(log.rfind(" On [ ", 0), 0u) << log;
  EXPECT_EQ(log.find("old run"), std::string::npos);
  const std::string sys = platform::GetSystemDirectory() + "\\";
  for (const std::string& line : std::vector<std::string>{
           "## In StartRemoteAdminService\r\n", "## Befor Uninstall()\r\n", "## Stop service 'VXAgent'!\r\n",
        "## In TerminateRunningproc\r\n", "## Delete Success:" + sys + "VXAgent.exe\r\n",
        "## Delete Success:" + sys + "VXMonitor.exe\r\n", "## Finished Uninstallation on client!\r\n"})
    EXPECT_NE(log.find(line), std::string::npos) << line << log;
}

TEST_F(RemoverServiceTest, ALockedFileIsReportedAtOnceAndTheRestIsRemoved) {
  platform::File held;
  ASSERT_TRUE(held.Open(Sys("ExcludeDB.db"), platform::kGenericRead, platform::kShareRead, platform::kOpenExisting));
  ASSERT_TRUE(platform::SetFileAttributes(Sys("Imprinter.dll"), platform::kAttrReadOnly | platform::kAttrHidden));

  EXPECT_EQ(RunUninstaller(), (std::vector<std::string>{"Uninstallation started", "Error in deleting ExcludeDB.db file",
                                                        "Finished Uninstallation"}))
      << Log();
  EXPECT_TRUE(platform::PathFileExists(Sys("ExcludeDB.db")));
  EXPECT_FALSE(platform::PathFileExists(Sys("Imprinter.dll")));
  EXPECT_FALSE(platform::PathFileExists(Sys("VXCESpylist.db")));
  // The registry steps still ran.
  EXPECT_FALSE(ValueExists("Software\\VXCorporate", "ClientVersionNo"));

  StopUninstaller();
  const std::string log = Log();
  EXPECT_NE(log.find("DeleteFileFromPC:: Removing readonly attributes of"), std::string::npos) << log;
  EXPECT_NE(log.find("DeleteFileFromPC:: delete file failed for"), std::string::npos) << log;
  // Nothing is stopped or ended for a file that is not the agent's program.
  EXPECT_EQ(log.find("before TerminateRunningproc/StopRemoteService"), std::string::npos) << log;
}

TEST_F(RemoverServiceTest, MissingFilesCountAsRemoved) {
  for (const char* name : kRemovedFiles) platform::DeleteFile(Sys(name));
  EXPECT_EQ(RunUninstaller(), (std::vector<std::string>{"Uninstallation started", "Finished Uninstallation"}))
      << Log();
  EXPECT_FALSE(ValueExists("Software\\VXCorporate", "ClientDatabaseVersionNo"));
  StopUninstaller();
}

TEST_F(RemoverServiceTest, StartedFromAShellExitsAtOnceAndTouchesNothing) {
  std::string out;
  int rc = hostd::testing::RunProgram({host_.Real(Sys("VXAgentRemover.exe"))}, {"VX_HOST_ROOT=" + host_.root()}, &out);
  EXPECT_EQ(rc, 0);
  EXPECT_FALSE(platform::WaitNamedPipe(kPipe, 100));
  EXPECT_TRUE(platform::PathFileExists(Sys("ExcludeDB.db")));
  EXPECT_TRUE(ValueExists("Software\\VXCorporate", "ClientVersionNo"));
  EXPECT_EQ(Log(), "old run\r\n");
}

}  // namespace
}  // namespace vxremover
