// The agent run as a real service under a real host daemon, spoken to over
// its pipes with records built by the test.
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "VXAgent/pipes/records.h"
#include "VXAgent/service/agent_service.h"
#include "VXAgent/service/debug_log.h"
#include "hostd/testing/running_daemon.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/pipe.h"
#include "platform/registry.h"
#include "platform/service.h"
#include "platform/testing/temp_host.h"

namespace vxagent {
namespace {

namespace fs = std::filesystem;
namespace rec = records;
using hostd::testing::BinPath;
using hostd::testing::RunningDaemon;

const std::string kVersionPipe = std::string("\\\\.\\pipe\\") + rec::kCheckVersionPipe;

class AgentServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::copy_file(BinPath("VXAgent.exe"), host_.Real("C:\\WINDOWS\\system32\\VXAgent.exe"));
    // A stale log of an earlier run, and a guard left set by a cut-off scan.
    host_.WriteFile("C:\\WINDOWS\\system32\\VXCEScheduleLog.txt", "old run\r\n");
    platform::RegKey key;
    ASSERT_EQ(key.Create(platform::RootKey::kLocalMachine, "Software\\VXCorporate", platform::kKeyAllAccess), 0u);
    key.WriteDword("ScanProgress", 1);
  }

  void StartAgent() {
    daemon_ = std::make_unique<RunningDaemon>(host_.root());
    ASSERT_TRUE(daemon_->ok());
    scm_ = platform::OpenSCManagerA("", "", platform::SC_MANAGER_ALL_ACCESS);
    ASSERT_TRUE(scm_.IsValid());
    service_ = platform::CreateServiceA(scm_, "VXAgent", "VXAgent", platform::SERVICE_ALL_ACCESS,
                                        platform::SERVICE_WIN32_OWN_PROCESS, platform::SERVICE_AUTO_START,
                                        platform::SERVICE_ERROR_NORMAL, "%SystemRoot%\\system32\\VXAgent.exe");
    ASSERT_TRUE(service_.IsValid());
    ASSERT_TRUE(platform::StartServiceA(service_));
    // The pipes appear once the service runs; until then a wait fails at once.
    ASSERT_TRUE(hostd::testing::WaitUntil([] { return platform::WaitNamedPipe(kVersionPipe, 100); }))
        << ServiceLog();
  }

  std::string ServiceLog() {
    std::string out;
    platform::ReadFileToString(DebugLogPath(), &out);
    return out;
  }

  // Waits for the one instance and opens it; another client may take it
  // between the wait and the open (as on Windows), so both are retried.
  static platform::PipeClient OpenVersionPipe() {
    platform::PipeClient c;
    EXPECT_TRUE(hostd::testing::WaitUntil(
        [&] { return platform::WaitNamedPipe(kVersionPipe, 1000) && c.Open(kVersionPipe); }));
    return c;
  }

  // Opens the version pipe and sends the opening SCommand.
  platform::PipeClient Connect(uint32_t thread_exit = 0) {
    platform::PipeClient c = OpenVersionPipe();
    rec::Bytes cmd = rec::Encode(rec::SCommand{thread_exit});
    uint32_t written = 0;
    EXPECT_TRUE(c.Write(cmd.data(), static_cast<uint32_t>(cmd.size()), &written));
    return c;
  }

  std::string Ask(const rec::VersionCheckRequest& request) {
    platform::PipeClient c = Connect();
    rec::Bytes req = rec::Encode(request);
    uint32_t n = 0;
    EXPECT_TRUE(c.Write(req.data(), static_cast<uint32_t>(req.size()), &n));
    EXPECT_EQ(n, 522u);
    uint8_t reply[260] = {};
    if (!c.Read(reply, sizeof reply, &n)) return "<no reply>";
    EXPECT_EQ(n, 260u);
    return rec::LineText(reply, n);
  }

  platform::testing::TempHost host_;
  std::unique_ptr<RunningDaemon> daemon_;
  platform::ScHandle scm_, service_;
};

TEST_F(AgentServiceTest, StartedFromAShellExitsAtOnceWithoutPipes) {
  std::string out;
  int rc = hostd::testing::RunProgram({host_.Real("C:\\WINDOWS\\system32\\VXAgent.exe")},
                                      {"VX_HOST_ROOT=" + host_.root()}, &out);
  EXPECT_EQ(rc, 0);
  EXPECT_FALSE(platform::WaitNamedPipe(kVersionPipe, 100));
  std::string log;
  platform::ReadFileToString("C:\\WINDOWS\\system32\\VXCEScheduleLog.txt", &log);
  EXPECT_EQ(log, "old run\r\n");
}

TEST_F(AgentServiceTest, ServesVersionChecksAndSurvivesBadClients) {
  StartAgent();
  // Start-up reset the guard and began a fresh log with the banner.
  platform::RegKey key;
  ASSERT_EQ(key.Open(platform::RootKey::kLocalMachine, "Software\\VXCorporate", platform::kKeyRead), 0u);
  uint32_t progress = 7;
  EXPECT_EQ(key.ReadDword("ScanProgress", &progress), 0u);
  EXPECT_EQ(progress, 0u);
  std::string log;
  ASSERT_TRUE(platform::ReadFileToString(DebugLogPath(), &log));
  EXPECT_EQ(log.find("old run"), std::string::npos);
  EXPECT_NE(log.find(kAgentBanner), std::string::npos);
  EXPECT_LT(log.find(kAgentBanner), log.find("In StartRemoteAdminService"));

  EXPECT_EQ(Ask({1, "5.1", "2.0", 0}), "Success");
  EXPECT_EQ(Ask({0, "5.10", "2.0", 0}), "Same Versions");

  // bThreadExit 1: dropped without a reply; the pipe serves the next one.
  {
    platform::PipeClient c = Connect(1);
    uint8_t reply[260];
    uint32_t n = 0;
    EXPECT_FALSE(c.Read(reply, sizeof reply, &n));
  }
  // A client that connects and leaves without a request, and one that
  // leaves after half a record, do not end the pipe.
  { platform::PipeClient c = Connect(); }
  {
    platform::PipeClient c = OpenVersionPipe();
    ASSERT_TRUE(c.IsValid());
  }
  EXPECT_NE(ServiceLog().find("In Version check cmd.bThreadExit == TRUE, now calling DisconnectNamedPipe!"),
            std::string::npos);
  EXPECT_EQ(Ask({0, "5.1", "3.0", 1}), "2.0");
  EXPECT_EQ(Ask({0, "5.1", "3.0", 1}), "Same Versions");

  // A stop control ends the service.
  platform::SERVICE_STATUS status;
  ASSERT_TRUE(platform::ControlService(service_, platform::SERVICE_CONTROL_STOP, &status));
  EXPECT_TRUE(hostd::testing::WaitUntil([&] {
    return platform::QueryServiceStatus(service_, &status) && status.dwCurrentState == platform::SERVICE_STOPPED;
  }));
}

// Raw bytes written to a pipe by a client that does not follow the protocol.
struct BadClient {
  const char* what;
  std::vector<uint8_t> first;   // in place of the SCommand
  std::vector<uint8_t> second;  // in place of the pipe's request; empty: none
};

std::vector<uint8_t> Filled(size_t size, uint8_t value) { return std::vector<uint8_t>(size, value); }

TEST_F(AgentServiceTest, MalformedRecordsOnEveryPipeNeitherCrashNorBlockTheNextClient) {
  StartAgent();
  const BadClient kClients[] = {
      {"half an SCommand", {0, 0}, {}},
      {"SCommand then a short request", {0, 0, 0, 0}, {1, 2, 3}},
      {"oversized SCommand", Filled(3000, 0x41), {}},
      {"bThreadExit garbage then an oversized request", {0xEF, 0xBE, 0xAD, 0xDE}, Filled(5000, 0xFF)},
  };
  const char* kPipeNames[] = {rec::kCheckVersionPipe, rec::kScheduleScanPipe, rec::kOptionsPipe, rec::kLogPipe};
  for (const char* name : kPipeNames) {
    const std::string pipe = std::string("\\\\.\\pipe\\") + name;
    for (const BadClient& bad : kClients) {
      SCOPED_TRACE(std::string(name) + ": " + bad.what);
      platform::PipeClient c;
      ASSERT_TRUE(hostd::testing::WaitUntil(
          [&] { return platform::WaitNamedPipe(pipe, 1000) && c.Open(pipe); }));
      uint32_t n = 0;
      c.Write(bad.first.data(), static_cast<uint32_t>(bad.first.size()), &n);
      if (!bad.second.empty()) c.Write(bad.second.data(), static_cast<uint32_t>(bad.second.size()), &n);
      // Whatever the agent answers, it lets this client go and listens again.
      uint8_t reply[1024];
      while (c.Read(reply, sizeof reply, &n) || platform::GetLastError() == platform::kErrorMoreData) {
      }
    }
    // The same pipe still takes a client.
    platform::PipeClient next;
    EXPECT_TRUE(hostd::testing::WaitUntil(
        [&] { return platform::WaitNamedPipe(pipe, 1000) && next.Open(pipe); })) << name;
  }
  // And the version pipe still answers in full after its own bad clients.
  EXPECT_EQ(Ask({1, "5.1", "2.0", 0}), "Success");
  EXPECT_EQ(Ask({0, "5.1", "2.0", 0}), "Same Versions");
}

TEST_F(AgentServiceTest, StopControlEndsTheServiceWhileAClientIsConnected) {
  StartAgent();
  platform::PipeClient idle = Connect();  // holds the version pipe mid-exchange
  ASSERT_TRUE(idle.IsValid());
  platform::SERVICE_STATUS status;
  ASSERT_TRUE(platform::ControlService(service_, platform::SERVICE_CONTROL_STOP, &status));
  EXPECT_TRUE(hostd::testing::WaitUntil([&] {
    return platform::QueryServiceStatus(service_, &status) && status.dwCurrentState == platform::SERVICE_STOPPED;
  })) << ServiceLog();
  // The client learns that the agent went away instead of waiting forever.
  uint8_t reply[260];
  uint32_t n = 0;
  EXPECT_FALSE(idle.Read(reply, sizeof reply, &n));
}

}  // namespace
}  // namespace vxagent
