// ClientConnection against a lab network: real daemons, the real agent
// installed through the share and the client's service manager.
#include <gmock/gmock.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "VXAdmin/client/client_connection.h"
#include "VXAdmin/client/host_gate.h"
#include "VXAdmin/client/tests/lab_fixture.h"
#include "VXAgent/pipes/records.h"
#include "hostd/testing/running_daemon.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/pipe.h"
#include "platform/remote_session.h"
#include "platform/service.h"

namespace vxadmin::client {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using vxadmin::testing::kInstalledPath;
namespace rec = vxagent::records;

constexpr const char* kNotInstalled =
    " does not have client service installed! Use 'Install/Update Client' button in Scan tab to install "
    "client service!";
constexpr const char* kOlder =
    " is running older version of client service. Use 'Install/Update Client' button in Scan tab to update "
    "this client!";
constexpr const char* kFailed = " Connection failed! Double click here to run Host Audit!";

std::string ReadReal(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// A lab costs seconds to bring up and take down per client: each test
// asks for the clients it uses.
class ClientConnectionLabTest : public vxadmin::testing::LabTest {
 protected:
  int Clients() const override { return 1; }
  std::string ClientFile(const std::string& host, const std::string& file) const {
    return Root(host) + "/C/WINDOWS/system32/" + file;
  }
};
class TwoClientsLabTest : public ClientConnectionLabTest {
  int Clients() const override { return 2; }
};
class ThreeClientsLabTest : public ClientConnectionLabTest {
  int Clients() const override { return 3; }
};

TEST_F(ThreeClientsLabTest, ReportsUnprotectedAndOlderNodesAndConnectsToCurrentOnes) {
  InstallAgent("PC1");
  InstallAgent("PC3");
  ASSERT_TRUE(SetAgentValue("pc3", "ClientVersionNo", "4.0"));

  struct Case {
    const char* host;
    bool protection_check;
    bool ready;
    std::vector<std::string> lines;
  } cases[] = {
      {"PC1", false, true, {}},
      {"PC2", false, false, {std::string("[PC2]") + kNotInstalled}},
      {"PC2", true, false, {"[PC2] is an Unprotected node!"}},
      {"PC3", false, false, {std::string("[PC3]") + kOlder}},
      {"PC9", false, false, {std::string("[PC9]") + kFailed}},  // not in the network
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.host) + (c.protection_check ? " with protection check" : ""));
    ClientConnection conn(c.host, rec::kScanPipe, nullptr, c.protection_check);
    EXPECT_EQ(conn.EstablishAllConnections(), c.ready);
    EXPECT_EQ(conn.IsPipeOpen(), c.ready);
    EXPECT_EQ(sink_.Take(), c.lines);
  }

  // The opened pipe is the agent's, its SCommand sent: one request, one reply.
  ClientConnection conn("PC1", rec::kCheckVersionPipe);
  ASSERT_TRUE(conn.EstablishAllConnections());
  rec::VersionCheckRequest compare;
  compare.product = vxadmin::testing::kProductVersion;
  rec::Bytes request = rec::Encode(compare);
  uint32_t written = 0;
  EXPECT_TRUE(conn.WriteinPipe(request.data(), static_cast<uint32_t>(request.size()), &written));
  EXPECT_EQ(written, request.size());
  uint8_t reply[rec::kReplyLineSize] = {};
  uint32_t got = 0;
  ASSERT_TRUE(conn.ReadFromPipe(reply, sizeof reply, &got));
  EXPECT_TRUE(ReplyEquals(std::string(reinterpret_cast<char*>(reply), got), "Same Versions"));
  conn.ClosePipe();
  EXPECT_FALSE(conn.ReadFromPipe(reply, sizeof reply, &got));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorInvalidHandle);
}

TEST_F(ClientConnectionLabTest, VersionsCompareAsLeadingNumbersAndNewDatabasesAreCopiedOnce) {
  InstallAgent("PC1");
  ClientConnection conn("PC1", rec::kScanPipe);

  // The client registered 5.10 and database 1.0 (an older installation).
  UseSettings("5.10", "1.0", false);
  ASSERT_TRUE(conn.CheckProductVersion(true));
  UseSettings(vxadmin::testing::kProductVersion, vxadmin::testing::kDatabaseVersion, false);
  EXPECT_TRUE(conn.CheckProductVersion(false)) << "5.1 and 5.10 are the same number";
  UseSettings("5.2", vxadmin::testing::kDatabaseVersion, false);
  EXPECT_FALSE(conn.CheckProductVersion(false));
  EXPECT_THAT(sink_.Take(), IsEmpty()) << "a different version alone is no status line";
  UseSettings(vxadmin::testing::kProductVersion, vxadmin::testing::kDatabaseVersion, false);

  EXPECT_TRUE(conn.CheckDatabaseVersion());
  EXPECT_THAT(sink_.Take(), ElementsAre("[PC1] Updated with new spyware definitions."));
  EXPECT_EQ(ReadReal(ClientFile("pc1", "VXCESpylist.db")), ReadReal(Installed("VXCESpylist.db")));
  EXPECT_EQ(ReadReal(ClientFile("pc1", "ProcessSpy.db")), ReadReal(Installed("ProcessSpy.db")));

  // The agent now holds the console's database version: nothing to copy.
  std::filesystem::remove(ClientFile("pc1", "ProcessSpy.db"));
  EXPECT_TRUE(conn.CheckDatabaseVersion());
  EXPECT_THAT(sink_.Take(), IsEmpty());
  EXPECT_FALSE(std::filesystem::exists(ClientFile("pc1", "ProcessSpy.db")));

  // A database that cannot be copied fails the check with its own line,
  // and the client keeps its former version, so the next check copies.
  ASSERT_TRUE(SetAgentValue("pc1", "ClientDatabaseVersionNo", "1.5"));
  std::string process_spy = ReadReal(Installed("ProcessSpy.db"));
  std::filesystem::remove(Installed("ProcessSpy.db"));
  EXPECT_FALSE(conn.CheckDatabaseVersion());
  EXPECT_THAT(sink_.Take(), ElementsAre("[PC1] Could not copy ProcessSpy.db ! The file may be in use!"));
  std::ofstream(Installed("ProcessSpy.db")) << process_spy;
  EXPECT_TRUE(conn.CheckDatabaseVersion());
  EXPECT_THAT(sink_.Take(), ElementsAre("[PC1] Updated with new spyware definitions."));
  EXPECT_EQ(ReadReal(ClientFile("pc1", "ProcessSpy.db")), process_spy);

  // Without an installation folder nothing is copied, and that is no success.
  ASSERT_TRUE(SetAgentValue("pc1", "ClientDatabaseVersionNo", "1.5"));
  ASSERT_TRUE(Vxhost("console", {"reg", "delete", "HKLM\\SOFTWARE\\VXCorporate", "/v", "InstalledPath"}));
  EXPECT_FALSE(conn.CheckDatabaseVersion());
  EXPECT_THAT(sink_.Take(), ElementsAre("Installation path not found! Please reinstall the setup!"));
  ASSERT_TRUE(Vxhost("console", {"reg", "add", "HKLM\\SOFTWARE\\VXCorporate", "/v", "InstalledPath", "/t",
                                 "REG_SZ", "/d", kInstalledPath}));
  EXPECT_TRUE(conn.CheckDatabaseVersion());
  EXPECT_THAT(sink_.Take(), ElementsAre("[PC1] Updated with new spyware definitions."));

  // An older agent's version is never made current by that repair.
  ASSERT_TRUE(SetAgentValue("pc1", "ClientDatabaseVersionNo", "1.5"));
  ASSERT_TRUE(SetAgentValue("pc1", "ClientVersionNo", "4.0"));
  std::filesystem::remove(Installed("ProcessSpy.db"));
  EXPECT_FALSE(conn.CheckDatabaseVersion());
  sink_.Take();
  EXPECT_FALSE(conn.CheckProductVersion(false));
}

TEST_F(ClientConnectionLabTest, AgentWhosePipeIsGoneIsRestartedOnceWithoutAWord) {
  // Another program holds the scan pipe's name while the agent starts, so
  // the agent serves every pipe but that one; then it lets go.
  platform::PipeServer squatter;
  {
    std::string error;
    std::unique_ptr<platform::Host> pc1 = platform::Host::Load(Root("pc1"), &error);
    ASSERT_TRUE(pc1) << error;
    platform::ScopedHost on_pc1(pc1.get());
    ASSERT_TRUE(squatter.Create(std::string("\\\\.\\pipe\\") + rec::kScanPipe));
  }
  InstallAgent("PC1");  // returns once the agent has made all its pipes it could
  squatter.Close();
  std::string scan_pipe = std::string("\\\\PC1\\pipe\\") + rec::kScanPipe;
  ASSERT_FALSE(platform::WaitNamedPipe(scan_pipe, 100));
  ASSERT_EQ(platform::GetLastError(), platform::kErrorFileNotFound);

  ClientConnection conn("PC1", rec::kScanPipe);
  EXPECT_TRUE(conn.EstablishAllConnections());
  EXPECT_TRUE(conn.IsPipeOpen());
  EXPECT_THAT(sink_.Take(), IsEmpty());

  // A pipe that no agent serves stays shut after the one restart.
  ClientConnection nowhere("PC1", "RemoteAdminNoSuchPipe");
  ConnectionTimeouts quick;
  quick.pipe_wait_ms = 300;
  nowhere.SetTimeouts(quick);
  EXPECT_FALSE(nowhere.EstablishAllConnections());
  EXPECT_THAT(sink_.Take(), ElementsAre(std::string("[PC1]") + kFailed));
}

TEST_F(TwoClientsLabTest, RefusedSharesAndUnwritableShares) {
  // The console's saved password for PC1 is wrong now.
  platform::remote::SaveCredentials(*console_, "PC1", {"Administrator", "wrong"});
  platform::remote::Client::Get().Reset();
  std::string right = ReadReal(Root("lab.ini"));
  right = right.substr(right.find("password = ") + 11);
  right = right.substr(0, right.find('\n'));

  int asked = 0;
  struct Case {
    bool ask_password;
    bool answer;  // the operator gives the right password, else cancels
    bool connected;
    int prompts;
    std::vector<std::string> lines;
  } cases[] = {
      {false, true, false, 0, {std::string("[PC1]") + kFailed}},
      {true, false, false, 1, {"[PC1] The attempt to connect was cancelled by the user!"}},
      {true, true, true, 1, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("ask password ") + (c.ask_password ? "on" : "off"));
    UseSettings(vxadmin::testing::kProductVersion, vxadmin::testing::kDatabaseVersion, c.ask_password);
    asked = 0;
    ClientConnection conn("PC1", rec::kScanPipe);
    conn.SetCredentialsPrompt([&](const std::string& host, platform::remote::Credentials* creds) {
      ++asked;
      EXPECT_EQ(host, "PC1");
      if (!c.answer) return false;
      creds->user = "Administrator";
      creds->password = right;
      return true;
    });
    EXPECT_EQ(conn.ConnectShare(), c.connected);
    EXPECT_EQ(asked, c.prompts);
    EXPECT_EQ(sink_.Take(), c.lines);
  }

  // A share in which the test file cannot be written is no connection.
  UseSettings(vxadmin::testing::kProductVersion, vxadmin::testing::kDatabaseVersion, false);
  InstallAgent("PC2");
  const char* probe = "\\\\PC2\\ADMIN$\\VXCETestConnetion.jpg";
  ASSERT_TRUE(platform::WriteStringToFile(probe, "in the way"));
  ASSERT_TRUE(platform::SetFileAttributes(probe, platform::kAttrReadOnly));
  ClientConnection conn("PC2", rec::kScanPipe);
  EXPECT_FALSE(conn.EstablishAllConnections());
  EXPECT_FALSE(conn.IsPipeOpen());
  EXPECT_THAT(sink_.Take(), ElementsAre(std::string("[PC2]") + kFailed));
}

TEST_F(TwoClientsLabTest, OneSetUpPerHostAtATimeWhileOtherHostsGoOn) {
  InstallAgent("PC1");
  InstallAgent("PC2");
  std::atomic<bool> pc1_done{false}, pc2_done{false};
  std::atomic<bool> pc1_ready{false};
  std::thread pc1, pc2;
  {
    // Another set-up of PC1 is under way (this test holds its gate).
    HostGate held("pc1");
    pc1 = std::thread([&] {
      ClientConnection conn("PC1", rec::kScanPipe);
      pc1_ready = conn.EstablishAllConnections();
      pc1_done = true;
    });
    pc2 = std::thread([&] {
      ClientConnection conn("PC2", rec::kScanPipe);
      EXPECT_TRUE(conn.EstablishAllConnections());
      pc2_done = true;
    });
    pc2.join();
    EXPECT_TRUE(pc2_done);
    // PC2 finished its whole set-up; PC1's could not even begin.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(pc1_done);
  }
  pc1.join();
  EXPECT_TRUE(pc1_ready);

  // Two operations on one host started at once both get their pipe: the
  // set-ups take turns, the second open waits for the busy instance.
  std::atomic<int> ready{0};
  std::vector<std::thread> both;
  for (int i = 0; i < 2; ++i)
    both.emplace_back([&] {
      ClientConnection conn("PC1", rec::kScanPipe);
      if (conn.EstablishAllConnections()) ++ready;
    });
  for (auto& t : both) t.join();
  EXPECT_EQ(ready, 2);
  EXPECT_THAT(sink_.Take(), IsEmpty());
}

TEST_F(ClientConnectionLabTest, CopiesFilesAndControlsServices) {
  ClientConnection conn("PC1", rec::kScanPipe);
  ASSERT_TRUE(conn.ConnectShare());
  std::string target = ClientFile("pc1", "VXCESpylist.db");

  // Only-if-missing keeps the client's own file; otherwise it is replaced.
  std::ofstream(target) << "the client's own";
  EXPECT_TRUE(conn.CopyFileToRemoteMachine(kInstalledPath, "VXCESpylist.db", true));
  EXPECT_EQ(ReadReal(target), "the client's own");
  EXPECT_TRUE(conn.CopyFileToRemoteMachine(kInstalledPath, "VXCESpylist.db", false));
  EXPECT_EQ(ReadReal(target), ReadReal(Installed("VXCESpylist.db")));
  EXPECT_FALSE(conn.CopyFileToRemoteMachine(kInstalledPath, "Missing.db", false));
  EXPECT_THAT(sink_.Take(), ElementsAre("[PC1] Could not copy Missing.db ! The file may be in use!"));

  // The agent's service is created with the console's settings and started;
  // starting it again is no error.
  ASSERT_TRUE(conn.CopyFileToRemoteMachine(kInstalledPath, "VXAgent.exe", false));
  EXPECT_TRUE(conn.CreateAndStartService(kAgentService, true));
  EXPECT_TRUE(conn.CreateAndStartService(kAgentService, true));
  EXPECT_THAT(sink_.Take(), ElementsAre("[PC1] Starting client service...", "[PC1] Starting client service..."));
  platform::ScHandle scm = platform::OpenSCManagerA("PC1", "", platform::SC_MANAGER_ALL_ACCESS);
  ASSERT_TRUE(scm);
  platform::ScHandle agent = platform::OpenServiceA(scm, kAgentService, platform::SERVICE_ALL_ACCESS);
  ASSERT_TRUE(agent);
  platform::ServiceConfig config;
  ASSERT_TRUE(platform::QueryServiceConfigA(agent, &config));
  EXPECT_EQ(config.image_path, "%SystemRoot%\\system32\\VXAgent.exe");
  EXPECT_EQ(config.start_type, platform::SERVICE_AUTO_START);
  EXPECT_EQ(config.service_type, platform::SERVICE_WIN32_OWN_PROCESS);
  EXPECT_EQ(config.error_control, platform::SERVICE_ERROR_NORMAL);

  // Stopped, then restarted without a word.
  EXPECT_TRUE(conn.StopService(kAgentService, false));
  platform::SERVICE_STATUS st;
  ASSERT_TRUE(platform::QueryServiceStatus(agent, &st));
  EXPECT_EQ(st.dwCurrentState, platform::SERVICE_STOPPED);
  EXPECT_TRUE(conn.StopService(kAgentService, false)) << "a stopped service is stopped";
  EXPECT_TRUE(conn.RestartService(kAgentService));
  ASSERT_TRUE(platform::QueryServiceStatus(agent, &st));
  EXPECT_EQ(st.dwCurrentState, platform::SERVICE_RUNNING);
  EXPECT_THAT(sink_.Take(), IsEmpty());

  // A service of another name is not made up; the failure names the reason.
  EXPECT_FALSE(conn.CreateAndStartService("VXOther", true));
  EXPECT_THAT(sink_.Take(),
              ElementsAre("[PC1] Could not create/open the client service! The specified service does not exist "
                          "as an installed service. (Error code: 1060)"));
  EXPECT_EQ(platform::GetLastError(), 0u) << "ReportLastError resets the last error";
  EXPECT_FALSE(platform::OpenServiceA(scm, "VXOther", platform::SERVICE_ALL_ACCESS));
  EXPECT_FALSE(conn.CreateAndStartService("VXOther", false));
  EXPECT_THAT(sink_.Take(), IsEmpty());

  // Stop and delete.
  EXPECT_TRUE(conn.StopService(kAgentService, true));
  agent.Close();
  EXPECT_TRUE(hostd::testing::WaitUntil(
      [&] { return !platform::OpenServiceA(scm, kAgentService, platform::SERVICE_ALL_ACCESS); }));
  EXPECT_FALSE(conn.StopService(kAgentService, false));
}

}  // namespace
}  // namespace vxadmin::client
