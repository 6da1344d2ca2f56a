#include "VXAdmin/client/tests/lab_fixture.h"

#include <sys/wait.h>

#include <filesystem>
#include <fstream>

#include "VXAdmin/client/client_connection.h"
#include "hostd/testing/running_daemon.h"
#include "platform/pipe.h"
#include "platform/registry.h"
#include "platform/remote_session.h"

namespace vxadmin::testing {
namespace {
namespace fs = std::filesystem;
using hostd::testing::BinPath;
using hostd::testing::RunProgram;

bool Ran(int status) { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }

}  // namespace

void RecordingSink::AddStatusLine(const std::string& text) {
  std::lock_guard<std::mutex> lock(mu_);
  lines_.push_back(text);
}

void RecordingSink::ShowMessage(const std::string& text) {
  std::lock_guard<std::mutex> lock(mu_);
  lines_.push_back("message: " + text);
}

std::vector<std::string> RecordingSink::Take() {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::string> out;
  out.swap(lines_);
  return out;
}

void LabTest::SetUp() {
  lab_ = dir_.path() + "/lab";
  std::string out;
  ASSERT_TRUE(Ran(RunProgram({BinPath("lab"), "up", lab_, "--clients", std::to_string(Clients()),
                              "--logon-delay-ms", "0"},
                             {}, &out)))
      << out;
  std::string error;
  console_ = platform::Host::Load(Root("console"), &error);
  ASSERT_TRUE(console_) << error;
  scope_ = std::make_unique<platform::ScopedHost>(console_.get());
  platform::remote::Client::Get().Reset();

  fs::create_directories(Installed(""));
  fs::copy_file(BinPath("VXAgent.exe"), Installed("VXAgent.exe"));
  std::ofstream(Installed("VXCESpylist.db")) << "spy definitions " << kDatabaseVersion;
  std::ofstream(Installed("ProcessSpy.db")) << "process definitions " << kDatabaseVersion;
  platform::RegKey key;
  ASSERT_EQ(key.Create(platform::RootKey::kLocalMachine, kSettingsKey, platform::kKeyAllAccess), 0u);
  key.WriteString("InstalledPath", kInstalledPath);
  key.WriteString("ServerVersionNo", kProductVersion);
  key.WriteString("DatabaseVersionNo", kDatabaseVersion);
  key.WriteDword("AskPassword", 0);
  SetSettings(ReadStartupSettings());
  SetStatusSink(&sink_);
}

void LabTest::TearDown() {
  SetStatusSink(nullptr);
  platform::remote::Client::Get().Reset();
  scope_.reset();
  std::string out;
  EXPECT_TRUE(Ran(RunProgram({BinPath("lab"), "down", lab_}, {}, &out))) << out;
}

std::string LabTest::Installed(const std::string& file) const {
  return Root("console") + "/C/Program Files/Veltrix/" + file;
}

bool LabTest::Vxhost(const std::string& host, const std::vector<std::string>& args) const {
  std::vector<std::string> argv = {BinPath("vxhost"), "--root", Root(host)};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string out;
  return Ran(RunProgram(argv, {}, &out));
}

bool LabTest::SetAgentValue(const std::string& host, const std::string& name, const std::string& value) const {
  return Vxhost(host, {"reg", "add", "HKLM\\Software\\VXCorporate", "/v", name, "/t", "REG_SZ", "/d", value});
}

void LabTest::InstallAgent(const std::string& host) {
  client::ClientConnection c(host, "RemoteAdminCheckVersionPipe");
  ASSERT_TRUE(c.ConnectShare());
  ASSERT_TRUE(c.CopyFileToRemoteMachine(kInstalledPath, "VXAgent.exe", false));
  ASSERT_TRUE(c.CreateAndStartService(client::kAgentService, false));
  // The pipes appear a moment after the service runs.
  ASSERT_TRUE(hostd::testing::WaitUntil([&] { return c.CheckProductVersion(true); }));
  // The agent creates its pipes one after another, the log pipe last.
  ASSERT_TRUE(hostd::testing::WaitUntil(
      [&] { return platform::WaitNamedPipe("\\\\" + host + "\\pipe\\RemoteAdminLogPipe", 100); }));
  sink_.Take();
}

void LabTest::UseSettings(const std::string& product, const std::string& database, bool ask_password) {
  AppSettings s = Settings();
  s.product_version = product;
  s.database_version = database;
  s.ask_password = ask_password;
  SetSettings(s);
}

}  // namespace vxadmin::testing
