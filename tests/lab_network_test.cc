// The whole road on one machine: a lab of a console host and two client
// hosts with their daemons. From the console a program is copied into
// \\PC1\ADMIN$\System32, made a service and started there; it serves a
// pipe that the console talks to over \\PC1\pipe\...; then the service is
// stopped and deleted. PC2 stays untouched.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/host.h"
#include "platform/pipe.h"
#include "platform/remote_session.h"
#include "platform/service.h"
#include "platform/share.h"
#include "platform/testing/temp_host.h"

namespace {
namespace fs = std::filesystem;
using namespace platform;

std::string Bin(const std::string& name) { return std::string(std::getenv("VX_BIN_DIR")) + "/" + name; }

int RunLab(const std::vector<std::string>& args) {
  pid_t pid = ::fork();
  if (pid == 0) {
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    std::string program = Bin("lab");
    argv.push_back(program.data());
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool WaitForState(const ScHandle& svc, uint32_t state) {
  SERVICE_STATUS st;
  for (int i = 0; i < 1000; ++i) {
    if (!QueryServiceStatus(svc, &st)) return false;
    if (st.dwCurrentState == state) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

class LabNetworkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    lab_ = dir_.path() + "/lab";
    ASSERT_EQ(RunLab({"up", lab_, "--clients", "2", "--logon-delay-ms", "50"}), 0);
    std::string error;
    console_ = Host::Load(lab_ + "/console", &error);
    ASSERT_TRUE(console_) << error;
    scope_ = std::make_unique<ScopedHost>(console_.get());
    remote::Client::Get().Reset();
  }
  void TearDown() override {
    remote::Client::Get().Reset();
    scope_.reset();
    EXPECT_EQ(RunLab({"down", lab_}), 0);
  }

  platform::testing::TempDir dir_;
  std::string lab_;
  std::unique_ptr<Host> console_;
  std::unique_ptr<ScopedHost> scope_;
};

TEST_F(LabNetworkTest, CopyInstallTalkAndRemoveAService) {
  ASSERT_EQ(ConnectShare("\\\\PC1\\ADMIN$", kConnectUpdateProfile), 0u) << remote::LastRemoteDetail();
  // Write test of the share, as the console does it.
  {
    File probe;
    ASSERT_TRUE(probe.Open("\\\\PC1\\ADMIN$\\VXCETestConnetion.jpg", kGenericWrite, kShareAll, kCreateAlways));
  }
  EXPECT_TRUE(DeleteFile("\\\\PC1\\ADMIN$\\VXCETestConnetion.jpg"));

  fs::copy_file(Bin("vx_echo_service"), lab_ + "/console/C/VXEcho.exe");
  ASSERT_TRUE(CopyFile("C:\\VXEcho.exe", "\\\\PC1\\ADMIN$\\System32\\VXEcho.exe", false)) << GetLastError();
  EXPECT_TRUE(PathFileExists("\\\\PC1\\ADMIN$\\System32\\VXEcho.exe"));
  EXPECT_FALSE(PathFileExists("\\\\PC2\\ADMIN$\\System32\\VXEcho.exe"));

  ScHandle scm = OpenSCManagerA("PC1", "", SC_MANAGER_ALL_ACCESS);
  ASSERT_TRUE(scm) << GetLastError();
  ScHandle svc = CreateServiceA(scm, "VXEcho", "VXEcho", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, "%SystemRoot%\\system32\\VXEcho.exe");
  ASSERT_TRUE(svc) << GetLastError();
  ASSERT_TRUE(StartServiceA(svc)) << GetLastError();
  ASSERT_TRUE(WaitForState(svc, SERVICE_RUNNING));

  const char* pipe = "\\\\PC1\\pipe\\VXEchoPipe";
  ASSERT_TRUE(WaitNamedPipe(pipe, 30000)) << GetLastError();
  PipeClient c;
  ASSERT_TRUE(c.Open(pipe)) << GetLastError();
  uint32_t n = 0;
  char buf[300];
  const char command[4] = {0, 0, 0, 0};
  ASSERT_TRUE(c.Write(command, 4, &n));
  ASSERT_TRUE(c.Read(buf, sizeof buf, &n));
  EXPECT_EQ(std::string(buf, n), std::string("echo:\0\0\0\0", 9));
  ASSERT_TRUE(c.Write("Same Versions", 14, &n));
  ASSERT_TRUE(c.Read(buf, sizeof buf, &n));
  EXPECT_EQ(std::string(buf, n), std::string("echo:Same Versions\0", 19));
  c.Close();
  // The other client has no such pipe.
  EXPECT_FALSE(WaitNamedPipe("\\\\PC2\\pipe\\VXEchoPipe", 100));
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);

  SERVICE_STATUS st;
  ASSERT_TRUE(ControlService(svc, SERVICE_CONTROL_STOP, &st)) << GetLastError();
  ASSERT_TRUE(WaitForState(svc, SERVICE_STOPPED));
  EXPECT_TRUE(DeleteService(svc));
  CloseServiceHandle(svc);
  EXPECT_FALSE(OpenServiceA(scm, "VXEcho", SERVICE_ALL_ACCESS));
  EXPECT_EQ(GetLastError(), kErrorServiceDoesNotExist);
  EXPECT_FALSE(WaitNamedPipe(pipe, 100));
  // The program's image stays in use until its process has ended, which
  // may be a moment after it reported STOPPED.
  bool deleted = false;
  for (int i = 0; i < 500 && !deleted; ++i) {
    deleted = DeleteFile("\\\\PC1\\ADMIN$\\System32\\VXEcho.exe");
    if (!deleted) {
      ASSERT_EQ(GetLastError(), kErrorAccessDenied);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  EXPECT_TRUE(deleted);
  EXPECT_FALSE(PathFileExists("\\\\PC1\\ADMIN$\\System32\\VXEcho.exe"));
}

}  // namespace
