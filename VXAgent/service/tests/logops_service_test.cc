// The log pipe, the restart replay and the options pipe of the agent run as
// a real service under a real host daemon. The client side is written here
// byte by byte, as a console would put the records on the wire.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <vector>

#include "VXAgent/engine/restart_delete_map.h"
#include "VXAgent/service/debug_log.h"
#include "common/string_map_file.h"
#include "components/vxmonitor/monitor_log.h"
#include "hostd/testing/running_daemon.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/pipe.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/service.h"
#include "platform/strings.h"
#include "platform/testing/temp_host.h"

namespace vxagent {
namespace {

namespace fs = std::filesystem;
using hostd::testing::BinPath;
using hostd::testing::RunningDaemon;
using hostd::testing::WaitUntil;
using Bytes = std::vector<uint8_t>;

constexpr char kSystemDir[] = "C:\\WINDOWS\\system32";
constexpr char kRunKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

// --- The console's side of the wire, built by hand. ---

Bytes Le32(uint32_t v) {
  return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

// A 260-byte command record: the text, then zeros.
Bytes Command(const std::string& text) {
  Bytes b(260, 0);
  std::copy(text.begin(), text.end(), b.begin());
  return b;
}

// " [ type ] " + " < spy > " + item + "#" + operation, with its NUL.
Bytes Record(const std::string& type, const std::string& item, const std::string& operation,
             const std::string& spy = "Test Spy") {
  std::string text = " [ " + type + " ] " + " < " + spy + " > " + item + "#" + operation;
  Bytes b(text.begin(), text.end());
  b.push_back(0);
  return b;
}

Bytes OptionsRequest(uint32_t operation) {
  Bytes b = Le32(operation);
  std::string host = "PC1";
  Bytes name(100, 0);
  std::copy(host.begin(), host.end(), name.begin());
  b.insert(b.end(), name.begin(), name.end());
  return b;
}

class Client {
 public:
  explicit Client(const char* pipe_name) {
    const std::string pipe = std::string("\\\\.\\pipe\\") + pipe_name;
    // Another client may take the one instance between the wait and the open.
    opened_ = WaitUntil([&] { return platform::WaitNamedPipe(pipe, 1000) && pipe_.Open(pipe); });
    if (opened_) Send(Le32(0));  // SCommand, bThreadExit 0
  }
  bool opened() const { return opened_; }

  void Send(const Bytes& bytes) {
    uint32_t n = 0;
    EXPECT_TRUE(pipe_.Write(bytes.data(), static_cast<uint32_t>(bytes.size()), &n));
    EXPECT_EQ(n, bytes.size());
  }
  // One reply line, or nothing when the agent let the client go instead.
  std::optional<std::string> Reply() {
    uint8_t buf[1024];
    uint32_t n = 0;
    if (!pipe_.Read(buf, sizeof buf, &n) || n == 0) return std::nullopt;
    EXPECT_EQ(n, 260u) << "a reply line is always 260 bytes";
    size_t len = 0;
    while (len < n && buf[len]) ++len;
    return std::string(reinterpret_cast<char*>(buf), len);
  }
  void Close() { pipe_.Close(); }

 private:
  platform::PipeClient pipe_;
  bool opened_ = false;
};

platform::HostOptions TwoUsers() {
  platform::HostOptions o;
  o.users = {"Administrator:Administrators", "alice:Users"};
  return o;
}

class LogOpsServiceTest : public ::testing::Test {
 protected:
  LogOpsServiceTest() : host_(TwoUsers()) {}

  void SetUp() override {
    fs::copy_file(BinPath("VXAgent.exe"), host_.Real(std::string(kSystemDir) + "\\VXAgent.exe"));
    fs::copy_file(BinPath("VXMonitor.exe"), host_.Real(std::string(kSystemDir) + "\\VXMonitor.exe"));
  }

  void TearDown() override {
    // Programs the test or the agent started outside the service manager.
    std::vector<platform::ProcessEntry> list;
    if (platform::ListProcesses(&list)) {
      for (const auto& p : list) {
        if (p.image.empty() || platform::EndsWithIgnoreCase(p.image, "\\VXAgent.exe")) continue;
        platform::Process process = platform::Process::Open(p.pid);
        if (process.IsValid() && process.Terminate(1)) process.WaitForExit(2000);
      }
    }
  }

  void StartAgent() {
    if (!daemon_) {
      daemon_ = std::make_unique<RunningDaemon>(host_.root());
      ASSERT_TRUE(daemon_->ok());
      scm_ = platform::OpenSCManagerA("", "", platform::SC_MANAGER_ALL_ACCESS);
      ASSERT_TRUE(scm_.IsValid());
      service_ = platform::CreateServiceA(scm_, "VXAgent", "VXAgent", platform::SERVICE_ALL_ACCESS,
                                          platform::SERVICE_WIN32_OWN_PROCESS, platform::SERVICE_DEMAND_START,
                                          platform::SERVICE_ERROR_NORMAL, "%SystemRoot%\\system32\\VXAgent.exe");
      ASSERT_TRUE(service_.IsValid());
    }
    ASSERT_TRUE(platform::StartServiceA(service_));
    ASSERT_TRUE(WaitUntil([] { return platform::WaitNamedPipe("\\\\.\\pipe\\RemoteAdminLogPipe", 100); }))
        << ServiceLog();
  }

  void StopAgent() {
    platform::SERVICE_STATUS status;
    ASSERT_TRUE(platform::ControlService(service_, platform::SERVICE_CONTROL_STOP, &status));
    ASSERT_TRUE(WaitUntil([&] {
      return platform::QueryServiceStatus(service_, &status) && status.dwCurrentState == platform::SERVICE_STOPPED;
    }));
    // The pipes vanish with the process.
    ASSERT_TRUE(WaitUntil([] { return !platform::WaitNamedPipe("\\\\.\\pipe\\RemoteAdminLogPipe", 10); }));
  }

  std::string ServiceLog() {
    std::string out;
    platform::ReadFileToString(DebugLogPath(), &out);
    return out;
  }

  static common::StringMap PendingMap() {
    common::StringMap map;
    common::ReadStringMapFile(engine::RestartDeleteMapPath(), &map);
    return map;
  }

  static bool Exists(const std::string& path) { return platform::PathFileExists(path); }

  // Opens `path` as a program holding it in use would: nobody may delete
  // or rename it while the handle is open.
  static platform::File Hold(const std::string& path) {
    platform::File f;
    EXPECT_TRUE(f.Open(path, platform::kGenericRead, platform::kShareRead, platform::kOpenExisting)) << path;
    return f;
  }

  static std::string RunValue() {
    platform::RegKey key;
    std::string value;
    if (key.Open(platform::RootKey::kLocalMachine, kRunKey, platform::kKeyRead) != 0) return "<no key>";
    if (key.ReadString("VXCEMonitor", &value) != 0) return "<absent>";
    return value;
  }

  // The processes of the host whose image base name is `name`.
  static std::vector<platform::ProcessEntry> Running(const std::string& name) {
    std::vector<platform::ProcessEntry> list, found;
    platform::ListProcesses(&list);
    for (const auto& p : list)
      if (platform::EndsWithIgnoreCase(p.image, "\\" + name)) found.push_back(p);
    return found;
  }

  // Starts the desktop shell stand-in as `user`: from then on that user is
  // the logged-on user of the host.
  platform::Process LogOn(const std::string& user) {
    const std::string shell = "C:\\WINDOWS\\explorer.exe";
    fs::copy_file(BinPath("explorer.exe"), host_.Real(shell), fs::copy_options::overwrite_existing);
    return StartAs(user, shell);
  }

  static platform::Process StartAs(const std::string& user, const std::string& program) {
    platform::LaunchOptions options;
    options.account = user;
    options.detach = true;
    platform::Process process;
    EXPECT_TRUE(platform::CreateProcess(program, platform::QuoteArgument(program), options, &process))
        << program << ": " << platform::GetLastError();
    return process;
  }

  platform::testing::TempHost host_;
  std::unique_ptr<RunningDaemon> daemon_;
  platform::ScHandle scm_, service_;
};

TEST_F(LogOpsServiceTest, BatchesAnswerEveryRecordAndKeepTheRestartFlagPerBatch) {
  host_.WriteFile("C:\\spy\\a.exe", "spy");
  host_.WriteFile("C:\\spy\\b.dll", "spy");
  host_.WriteFile("C:\\spy\\held.txt", "in use");
  StartAgent();
  platform::File held = Hold("C:\\spy\\held.txt");

  {
    Client c("RemoteAdminLogPipe");
    ASSERT_TRUE(c.opened());
    c.Send(Command("SPYOPERATION"));
    EXPECT_EQ(c.Reply(), "OK");
    struct Step {
      Bytes record;
      const char* reply;
    };
    const Step kSteps[] = {
        {Record("File", "C:\\spy\\a.exe", "QUARANTINE"), "QUARANTINE"},
        {Record("File", "C:\\spy\\a.exe", "quarantine"), "UNSUCCESS"},  // operation names are exact
        {Record("File", "C:\\spy\\a.exe", "RECOVER"), "RECOVER"},
        {Record("File", "C:\\spy\\held.txt", "DDELETE"), "Restart Required"},
        // Once a record needed a restart, every later success says so.
        {Record("File", "C:\\spy\\b.dll", "QUARANTINE"), "Restart Required"},
        {Record("File", "C:\\spy\\b.dll", "SHRED"), "UNSUCCESS"},
    };
    for (const Step& step : kSteps) {
      c.Send(step.record);
      EXPECT_EQ(c.Reply(), step.reply) << std::string(step.record.begin(), step.record.end());
    }
    c.Send(Command("EndOfRecords"));  // case does not matter
    EXPECT_EQ(c.Reply(), std::nullopt) << "ENDOFRECORDS is not answered";
  }
  EXPECT_TRUE(Exists("C:\\spy\\a.exe")) << "quarantined, then recovered";
  EXPECT_FALSE(Exists("C:\\spy\\exe.a"));
  EXPECT_TRUE(Exists("C:\\spy\\lld.b")) << "quarantined even though the batch needed a restart";
  EXPECT_TRUE(Exists("C:\\spy\\held.txt"));
  EXPECT_EQ(PendingMap(), (common::StringMap{{"C:\\spy\\held.txt", "File#Delete"}}));

  // The next batch starts with a clear flag; recovering a pending item only
  // cancels the pending delete.
  {
    Client c("RemoteAdminLogPipe");
    c.Send(Command("spyoperation"));
    EXPECT_EQ(c.Reply(), "OK");
    c.Send(Record("File", "C:\\spy\\b.dll", "QDELETE"));
    EXPECT_EQ(c.Reply(), "QDELETE");
    c.Send(Record("File", "C:\\spy\\held.txt", "RECOVER"));
    EXPECT_EQ(c.Reply(), "RECOVER");
    c.Send(Command("ENDOFRECORDS"));
    EXPECT_EQ(c.Reply(), std::nullopt);
  }
  EXPECT_FALSE(Exists("C:\\spy\\lld.b"));
  EXPECT_TRUE(Exists("C:\\spy\\held.txt"));
  EXPECT_TRUE(PendingMap().empty());
  EXPECT_NE(ServiceLog().find("In SaveRetartDeleteMap"), std::string::npos);
}

TEST_F(LogOpsServiceTest, WrongCommandsEmptyAndDroppedBatches) {
  host_.WriteFile("C:\\spy\\held.txt", "in use");
  StartAgent();
  platform::File held = Hold("C:\\spy\\held.txt");

  // A command that is not SPYOPERATION (a shortened one, another word) is
  // dropped without a reply; the pipe serves the next client.
  for (const char* wrong : {"SPYOPERATIO", "ENDOFRECORDS", ""}) {
    Client c("RemoteAdminLogPipe");
    c.Send(Command(wrong));
    EXPECT_EQ(c.Reply(), std::nullopt) << wrong;
  }

  // An empty batch gets only "OK", and the map file is written (empty).
  {
    Client c("RemoteAdminLogPipe");
    c.Send(Command("SPYOPERATION"));
    EXPECT_EQ(c.Reply(), "OK");
    c.Send(Command("ENDOFRECORDS"));
    EXPECT_EQ(c.Reply(), std::nullopt);
  }
  std::string bytes;
  ASSERT_TRUE(platform::ReadFileToString(engine::RestartDeleteMapPath(), &bytes));
  EXPECT_EQ(bytes, std::string("\0\0", 2));

  // A console that goes away in the middle of a batch: what was done stays
  // done and the map is still stored.
  {
    Client c("RemoteAdminLogPipe");
    c.Send(Command("SPYOPERATION"));
    EXPECT_EQ(c.Reply(), "OK");
    c.Send(Record("File", "C:\\spy\\held.txt", "DDELETE"));
    EXPECT_EQ(c.Reply(), "Restart Required");
    c.Close();
  }
  EXPECT_TRUE(WaitUntil([] { return PendingMap().count("C:\\spy\\held.txt") == 1; })) << ServiceLog();
  // The log pipe is still served afterwards.
  Client next("RemoteAdminLogPipe");
  next.Send(Command("SPYOPERATION"));
  EXPECT_EQ(next.Reply(), "OK");
}

TEST_F(LogOpsServiceTest, PendingOperationsAreCarriedOutAtTheNextStart) {
  host_.WriteFile("C:\\spy\\held.exe", "in use");
  host_.WriteFile("C:\\spy\\q.dll", "in use");
  host_.WriteFile("C:\\spy\\stuck.dat", "in use for good");
  StartAgent();
  platform::File held = Hold("C:\\spy\\held.exe");
  platform::File q = Hold("C:\\spy\\q.dll");
  platform::File stuck = Hold("C:\\spy\\stuck.dat");
  {
    Client c("RemoteAdminLogPipe");
    c.Send(Command("SPYOPERATION"));
    EXPECT_EQ(c.Reply(), "OK");
    c.Send(Record("File", "C:\\spy\\held.exe", "DDELETE"));
    EXPECT_EQ(c.Reply(), "Restart Required");
    c.Send(Record("File", "C:\\spy\\q.dll", "QUARANTINE"));
    EXPECT_EQ(c.Reply(), "Restart Required");
    c.Send(Record("File", "C:\\spy\\stuck.dat", "DDELETE"));
    EXPECT_EQ(c.Reply(), "Restart Required");
    c.Send(Command("ENDOFRECORDS"));
    EXPECT_EQ(c.Reply(), std::nullopt);
  }
  EXPECT_EQ(PendingMap(), (common::StringMap{{"C:\\spy\\held.exe", "File#Delete"},
                                             {"C:\\spy\\q.dll", "File#Quarantine"},
                                             {"C:\\spy\\stuck.dat", "File#Delete"}}));
  StopAgent();
  held.Close();
  q.Close();

  // The replay runs before the pipes exist.
  StartAgent();
  EXPECT_FALSE(Exists("C:\\spy\\held.exe"));
  EXPECT_FALSE(Exists("C:\\spy\\q.dll"));
  EXPECT_TRUE(Exists("C:\\spy\\lld.q")) << "quarantined at the start";
  EXPECT_TRUE(Exists("C:\\spy\\stuck.dat"));
  // What still cannot be done stays pending for the start after this one.
  EXPECT_EQ(PendingMap(), (common::StringMap{{"C:\\spy\\stuck.dat", "File#Delete"}}));
  const std::string log = ServiceLog();
  EXPECT_NE(log.find("Leaving LoadRetartDeleteMap(true)"), std::string::npos) << log;
  EXPECT_LT(log.find("After RestartReplay"), log.find("In CreatePipeAndThread()"));

  stuck.Close();
  StopAgent();
  StartAgent();
  EXPECT_FALSE(Exists("C:\\spy\\stuck.dat"));
  EXPECT_FALSE(Exists(engine::RestartDeleteMapPath())) << "nothing left pending";
}

TEST_F(LogOpsServiceTest, OptionsOperationsAndTheirReplies) {
  StartAgent();
  auto ask = [](const Bytes& request) {
    Client c("RemoteAdminOptionsPipe");
    c.Send(request);
    return c.Reply();
  };
  EXPECT_EQ(ask(OptionsRequest(0)), "SUCCESS");
  EXPECT_EQ(ask(OptionsRequest(77)), "SUCCESS");
  EXPECT_EQ(ask(OptionsRequest(4)), std::nullopt) << "the protected-node check is not answered";
  EXPECT_EQ(ask(Bytes(50, 0)), std::nullopt) << "half a request is not acted upon";
  EXPECT_EQ(ask(OptionsRequest(2)), "Active Protecion is not enabled");

  // Nobody is logged on: the Run value is written, the start fails quietly.
  EXPECT_EQ(ask(OptionsRequest(1)), "Active Protecion enabled successfully");
  EXPECT_EQ(RunValue(), "C:\\WINDOWS\\system32\\VXMonitor.exe #FROMDLG");
  EXPECT_TRUE(Running("VXMonitor.exe").empty());
  EXPECT_NE(ServiceLog().find("StartProcess failed so shell execute VXMonitor"), std::string::npos);
  EXPECT_EQ(ask(OptionsRequest(1)), "Active Protecion is already enabled");

  // Uninstall preparation without a schedule: "ERROR", protection off anyway.
  EXPECT_EQ(ask(OptionsRequest(3)), "ERROR");
  EXPECT_EQ(RunValue(), "<absent>");
  // With a schedule: the key goes and the answer is "SUCCESS".
  {
    platform::RegKey key;
    ASSERT_EQ(key.Create(platform::RootKey::kLocalMachine, "Software\\VXCorporate\\Schedule_Info",
                         platform::kKeyAllAccess), 0u);
    key.WriteDword("Day", 8);
  }
  EXPECT_EQ(ask(OptionsRequest(1)), "Active Protecion enabled successfully");
  EXPECT_EQ(ask(OptionsRequest(3)), "SUCCESS");
  platform::RegKey gone;
  EXPECT_EQ(gone.Open(platform::RootKey::kLocalMachine, "Software\\VXCorporate\\Schedule_Info",
                      platform::kKeyRead), 2u);
  EXPECT_EQ(RunValue(), "<absent>");
}

TEST_F(LogOpsServiceTest, ActiveProtectionStopsSpyProcessesAndCookiesOfTheLoggedOnUser) {
  // The monitor's rules: a sealed ProcessSpy.db built by vxdbtool, and the
  // tracking-cookie sites.
  const std::string runner = "C:\\Program Files\\SpyRunner\\runner.exe";
  platform::testing::TempDir work;
  const std::string source = work.path() + "/spies.txt";
  std::ofstream(source) << "spy Spy Runner\n  file " << runner << "\nend\n";
  std::string out;
  ASSERT_EQ(hostd::testing::RunProgram(
                {BinPath("vxdbtool"), "compile", source, host_.Real(std::string(kSystemDir) + "\\ProcessSpy.db")},
                {}, &out),
            0)
      << out;
  host_.WriteFile(std::string(kSystemDir) + "\\VXTrackingCookies.ini", "[Sites]\nsite1=www.adsite.com\n");
  // A real program planted at the spy's path (the shell stand-in: it runs
  // until it is killed).
  fs::create_directories(fs::path(host_.Real(runner)).parent_path());
  fs::copy_file(BinPath("explorer.exe"), host_.Real(runner));
  const std::string cookies = "C:\\Documents and Settings\\alice\\Cookies";
  platform::CreateDirectory(cookies);
  host_.WriteFile(cookies + "\\alice@adsite[1].txt", "tracking");
  host_.WriteFile(cookies + "\\alice@goodsite[1].txt", "wanted");

  platform::Process shell = LogOn("alice");
  platform::Process spy = StartAs("alice", runner);
  StartAgent();

  Client on("RemoteAdminOptionsPipe");
  on.Send(OptionsRequest(1));
  EXPECT_EQ(on.Reply(), "Active Protecion enabled successfully");
  EXPECT_EQ(RunValue(), "C:\\WINDOWS\\system32\\VXMonitor.exe #FROMDLG");

  // The monitor runs as the logged-on user, not as the agent's account.
  ASSERT_TRUE(WaitUntil([] { return !Running("VXMonitor.exe").empty(); })) << ServiceLog();
  EXPECT_EQ(Running("VXMonitor.exe")[0].account, "alice");
  EXPECT_NE(ServiceLog().find(" -C:\\Documents and Settings\\alice\\Cookies"), std::string::npos);

  // What was there when it started is dealt with.
  EXPECT_TRUE(spy.WaitForExit(5000)) << "the spy process was not stopped";
  EXPECT_TRUE(WaitUntil([&] { return !Exists(cookies + "\\alice@adsite[1].txt"); }));
  EXPECT_TRUE(Exists(cookies + "\\alice@goodsite[1].txt"));
  // And so is what appears while it runs.
  platform::Process again = StartAs("alice", runner);
  host_.WriteFile(cookies + "\\alice@adsite[2].txt", "tracking again");
  EXPECT_TRUE(again.WaitForExit(5000));
  EXPECT_TRUE(WaitUntil([&] { return !Exists(cookies + "\\alice@adsite[2].txt"); }));
  EXPECT_FALSE(shell.WaitForExit(0)) << "other programs of the user are left alone";

  // The day logs, read back the console's way.
  auto entries = [](const char* extension) {
    common::StringMap map;
    common::ReadStringMapFile(vxmonitor::DayLogPath(platform::GetLocalTime(), extension), &map);
    std::vector<vxmonitor::LogEntry> list;
    for (const auto& [k, v] : map) {
      auto e = vxmonitor::ParseLogEntry(k, v);
      EXPECT_TRUE(e) << k;
      if (e) list.push_back(*e);
    }
    return list;
  };
  std::vector<vxmonitor::LogEntry> processes = entries(".ps");
  ASSERT_FALSE(processes.empty());
  for (const auto& e : processes) {
    EXPECT_EQ(e.name, "Spy Runner");
    EXPECT_TRUE(platform::EqualsIgnoreCase(e.path, runner)) << e.path;
    EXPECT_EQ(e.type, "Process Terminated");
  }
  std::vector<vxmonitor::LogEntry> cookie_events = entries(".cs");
  ASSERT_EQ(cookie_events.size(), 2u);
  std::vector<std::string> paths;
  for (const auto& e : cookie_events) {
    EXPECT_EQ(e.name, "www.adsite.com");
    EXPECT_EQ(e.type, "Cookie Deleted");
    paths.push_back(e.path);
  }
  std::sort(paths.begin(), paths.end());
  EXPECT_EQ(paths, (std::vector<std::string>{cookies + "\\alice@adsite[1].txt", cookies + "\\alice@adsite[2].txt"}));

  // Switched off: the monitor is gone by the time the reply arrives.
  Client off("RemoteAdminOptionsPipe");
  off.Send(OptionsRequest(2));
  EXPECT_EQ(off.Reply(), "Active Protecion disabled successfully");
  EXPECT_TRUE(Running("VXMonitor.exe").empty());
  EXPECT_EQ(RunValue(), "<absent>");
}

}  // namespace
}  // namespace vxagent
