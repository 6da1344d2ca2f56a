// The host's SCM end to end: a real vxhostd on a test host, the client API
// of platform/service.h and the test service program.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <thread>

#include "hostd/testing/running_daemon.h"
#include "platform/error.h"
#include "platform/path.h"
#include "platform/registry.h"
#include "platform/service.h"
#include "platform/testing/temp_host.h"

namespace platform {
namespace {

namespace fs = std::filesystem;
using hostd::testing::BinPath;
using hostd::testing::RunningDaemon;
using hostd::testing::RunProgram;
using hostd::testing::WaitUntil;
using testing::TempHost;

constexpr const char* kServicesKey = "SYSTEM\\CurrentControlSet\\Services\\";

class ScmTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_symlink(fs::absolute(BinPath("vx_test_service")), host_.Real("C:\\WINDOWS\\system32\\svc.exe"));
    StartDaemon();
  }
  void TearDown() override {
    scm_.Close();
    daemon_.reset();
  }

  void StartDaemon() {
    daemon_ = std::make_unique<RunningDaemon>(host_.root(), std::vector<std::string>{"--stop-timeout", "500"});
    ASSERT_TRUE(daemon_->ok());
    scm_ = OpenSCManagerA("", "", SC_MANAGER_ALL_ACCESS);
    ASSERT_TRUE(scm_) << GetLastError();
  }
  int StopDaemon() {
    scm_.Close();
    int status = daemon_->Stop();
    daemon_.reset();
    return status;
  }

  // A service running the test program with `args`.
  ScHandle Create(const std::string& name, const std::string& args = "normal",
                  uint32_t start = SERVICE_DEMAND_START) {
    ScHandle s = CreateServiceA(scm_, name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, start,
                                SERVICE_ERROR_NORMAL, "%SystemRoot%\\system32\\svc.exe " + args);
    EXPECT_TRUE(s) << "create " << name << ": " << GetLastError();
    return s;
  }

  SERVICE_STATUS Status(const ScHandle& s) {
    SERVICE_STATUS st;
    EXPECT_TRUE(QueryServiceStatus(s, &st)) << GetLastError();
    return st;
  }
  bool WaitForState(const ScHandle& s, uint32_t state) {
    return WaitUntil([&] { return Status(s).dwCurrentState == state; });
  }

  std::string SystemFile(const std::string& name) { return host_.Real("C:\\WINDOWS\\system32\\" + name); }
  std::string Trace(const std::string& service) {
    std::ifstream in(SystemFile(service + ".trace"));
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  bool TraceHas(const std::string& service, const std::string& text) {
    return WaitUntil([&] { return Trace(service).find(text) != std::string::npos; });
  }
  bool Registered(const std::string& name) {
    RegKey k;
    return k.Open(RootKey::kLocalMachine, kServicesKey + name, kKeyRead) == 0;
  }

  TempHost host_;
  std::unique_ptr<RunningDaemon> daemon_;
  ScHandle scm_;
};

TEST_F(ScmTest, CreateStartQueryStopDelete) {
  ScHandle s = Create("Life", "normal 7 9");
  ASSERT_TRUE(s);

  RegKey key;
  ASSERT_EQ(key.Open(RootKey::kLocalMachine, std::string(kServicesKey) + "Life", kKeyRead), 0u);
  std::string image, object;
  uint32_t type = 0, start = 0, error_control = 0;
  EXPECT_EQ(key.ReadString("ImagePath", &image), 0u);
  EXPECT_EQ(image, "%SystemRoot%\\system32\\svc.exe normal 7 9");
  EXPECT_EQ(key.ReadString("ObjectName", &object), 0u);
  EXPECT_EQ(object, "LocalSystem");
  EXPECT_EQ(key.ReadDword("Type", &type), 0u);
  EXPECT_EQ(type, SERVICE_WIN32_OWN_PROCESS);
  EXPECT_EQ(key.ReadDword("Start", &start), 0u);
  EXPECT_EQ(start, SERVICE_DEMAND_START);
  EXPECT_EQ(key.ReadDword("ErrorControl", &error_control), 0u);
  EXPECT_EQ(error_control, SERVICE_ERROR_NORMAL);
  key.Close();

  EXPECT_EQ(Status(s).dwCurrentState, SERVICE_STOPPED);
  ASSERT_TRUE(StartServiceA(s, {"a", "b"})) << GetLastError();
  ASSERT_TRUE(WaitForState(s, SERVICE_RUNNING));
  SERVICE_STATUS st = Status(s);
  EXPECT_EQ(st.dwControlsAccepted, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN);

  // The program runs as a LocalSystem service in the real system folder,
  // and its service main gets the service name and the start arguments.
  std::string real_system;
  ASSERT_TRUE(ResolvePath("C:\\WINDOWS\\system32", &real_system));
  EXPECT_TRUE(TraceHas("Life", "main Life a b"));
  EXPECT_TRUE(TraceHas("Life", "service is_service=1 account=SYSTEM cwd=" + fs::canonical(real_system).string()))
      << Trace("Life");

  ASSERT_TRUE(ControlService(s, SERVICE_CONTROL_STOP, &st)) << GetLastError();
  EXPECT_EQ(st.dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(st.dwWin32ExitCode, 7u);
  EXPECT_EQ(st.dwServiceSpecificExitCode, 9u);
  // The dispatcher returns once the service reported STOPPED; the status
  // handle is dead from then on.
  EXPECT_TRUE(TraceHas("Life", "dispatcher returned ok=1 error=0"));
  EXPECT_NE(Trace("Life").find("SetServiceStatus failed 6"), std::string::npos);
  EXPECT_EQ(Status(s).dwCurrentState, SERVICE_STOPPED);

  ServiceConfig config;
  ASSERT_TRUE(QueryServiceConfigA(s, &config));
  EXPECT_EQ(config.image_path, "%SystemRoot%\\system32\\svc.exe normal 7 9");

  ASSERT_TRUE(DeleteService(s)) << GetLastError();
  EXPECT_FALSE(Registered("Life"));
  ScHandle again = OpenServiceA(scm_, "life", SERVICE_ALL_ACCESS);
  EXPECT_FALSE(again);
  EXPECT_EQ(GetLastError(), kErrorServiceDoesNotExist);
}

TEST_F(ScmTest, RefusedOperationsGiveTheirCodes) {
  ScHandle running = Create("Running");
  ASSERT_TRUE(StartServiceA(running));
  ASSERT_TRUE(WaitForState(running, SERVICE_RUNNING));
  ScHandle stopped = Create("Stopped");
  ScHandle marked = Create("Marked");
  ASSERT_TRUE(StartServiceA(marked));
  ASSERT_TRUE(WaitForState(marked, SERVICE_RUNNING));
  ASSERT_TRUE(DeleteService(marked));
  ScHandle deaf = Create("Deaf", "deaf");
  ASSERT_TRUE(StartServiceA(deaf));
  ASSERT_TRUE(WaitForState(deaf, SERVICE_RUNNING));
  ScHandle disabled = Create("Off", "normal", SERVICE_DISABLED);
  ScHandle missing = CreateServiceA(scm_, "Missing", "Missing", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                    SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "C:\\WINDOWS\\system32\\none.exe");
  ASSERT_TRUE(missing);
  ScHandle query_only = OpenServiceA(scm_, "Running", SERVICE_QUERY_STATUS);
  ASSERT_TRUE(query_only);

  SERVICE_STATUS st;
  auto create = [&](const std::string& name, const std::string& display, uint32_t start) {
    return [=, this] {
      return CreateServiceA(scm_, name, display, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, start,
                            SERVICE_ERROR_NORMAL, "C:\\WINDOWS\\system32\\svc.exe").IsValid();
    };
  };
  struct Case {
    const char* what;
    std::function<bool()> call;
    uint32_t code;
  } cases[] = {
      {"start a running service", [&] { return StartServiceA(running); }, kErrorServiceAlreadyRunning},
      {"open an unknown service", [&] { return OpenServiceA(scm_, "Nobody", SERVICE_ALL_ACCESS).IsValid(); },
       kErrorServiceDoesNotExist},
      {"stop a stopped service", [&] { return ControlService(stopped, SERVICE_CONTROL_STOP, &st); },
       kErrorServiceNotActive},
      {"user control to a stopped service", [&] { return ControlService(stopped, 150, &st); },
       kErrorServiceNotActive},
      {"delete a marked service", [&] { return DeleteService(marked); }, kErrorServiceMarkedForDelete},
      {"create over a marked service", create("marked", "Other", SERVICE_DEMAND_START), kErrorServiceMarkedForDelete},
      {"create an existing service", create("RUNNING", "Other", SERVICE_DEMAND_START), kErrorServiceExists},
      {"create with a used display name", create("Fresh", "Stopped", SERVICE_DEMAND_START),
       kErrorDuplicateServiceName},
      {"create with a backslash in the name", create("a\\b", "ab", SERVICE_DEMAND_START), kErrorInvalidName},
      {"create with a control character in the name", create(std::string("a\0b", 3), "ab", SERVICE_DEMAND_START),
       kErrorInvalidName},
      {"create with an empty name", create("", "empty", SERVICE_DEMAND_START), kErrorInvalidName},
      {"create with a boot start type", create("Boot", "Boot", 0), kErrorInvalidParameter},
      {"stop a service that accepts no stop", [&] { return ControlService(deaf, SERVICE_CONTROL_STOP, &st); },
       kErrorInvalidServiceControl},
      {"start a disabled service", [&] { return StartServiceA(disabled); }, kErrorServiceDisabled},
      {"start a service whose program is missing", [&] { return StartServiceA(missing); }, kErrorFileNotFound},
      {"stop through a query-only handle", [&] { return ControlService(query_only, SERVICE_CONTROL_STOP, &st); },
       kErrorAccessDenied},
      {"service call on the manager handle", [&] { return StartServiceA(scm_); }, kErrorInvalidHandle},
  };
  for (const auto& c : cases) {
    SetLastError(0);
    EXPECT_FALSE(c.call()) << c.what;
    EXPECT_EQ(GetLastError(), c.code) << c.what;
  }
  // Refusals changed nothing.
  EXPECT_EQ(Status(running).dwCurrentState, SERVICE_RUNNING);
  EXPECT_EQ(Status(marked).dwCurrentState, SERVICE_RUNNING);
  EXPECT_EQ(Status(stopped).dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(Status(missing).dwCurrentState, SERVICE_STOPPED);
  EXPECT_FALSE(Registered("Fresh"));
}

TEST_F(ScmTest, DeleteWhileRunningRemovesTheServiceWhenItStops) {
  ScHandle s = Create("Doomed");
  ASSERT_TRUE(StartServiceA(s));
  ASSERT_TRUE(WaitForState(s, SERVICE_RUNNING));
  ASSERT_TRUE(DeleteService(s));

  // Marked but running: still registered, still answering.
  EXPECT_TRUE(Registered("Doomed"));
  ScHandle other = OpenServiceA(scm_, "Doomed", SERVICE_ALL_ACCESS);
  ASSERT_TRUE(other);
  EXPECT_FALSE(StartServiceA(other));
  EXPECT_EQ(GetLastError(), kErrorServiceMarkedForDelete);

  SERVICE_STATUS st;
  ASSERT_TRUE(ControlService(other, SERVICE_CONTROL_STOP, &st)) << GetLastError();
  EXPECT_FALSE(Registered("Doomed"));
  EXPECT_FALSE(OpenServiceA(scm_, "Doomed", SERVICE_ALL_ACCESS));
  EXPECT_EQ(GetLastError(), kErrorServiceDoesNotExist);
  // Open handles keep answering with the last status.
  EXPECT_EQ(Status(s).dwCurrentState, SERVICE_STOPPED);

  // The name is free again.
  ScHandle reborn = Create("Doomed");
  ASSERT_TRUE(reborn);
  EXPECT_TRUE(StartServiceA(reborn)) << GetLastError();
}

TEST_F(ScmTest, ServiceProcessThatEndsBecomesStopped) {
  ScHandle s = Create("Crashy");
  ASSERT_TRUE(StartServiceA(s));
  ASSERT_TRUE(WaitForState(s, SERVICE_RUNNING));
  SERVICE_STATUS st;
  ControlService(s, 200, &st);  // the program ends inside its handler
  ASSERT_TRUE(WaitForState(s, SERVICE_STOPPED));
  st = Status(s);
  EXPECT_EQ(st.dwWin32ExitCode, kErrorProcessAborted);
  EXPECT_EQ(st.dwControlsAccepted, 0u);
  EXPECT_FALSE(ControlService(s, SERVICE_CONTROL_STOP, &st));
  EXPECT_EQ(GetLastError(), kErrorServiceNotActive);
  // It can be started again.
  ASSERT_TRUE(StartServiceA(s)) << GetLastError();
  EXPECT_TRUE(WaitForState(s, SERVICE_RUNNING));

  // A program that ends before it reports fails the start.
  ScHandle early = Create("Early", "exit-now");
  EXPECT_FALSE(StartServiceA(early));
  EXPECT_EQ(GetLastError(), kErrorProcessAborted);
  EXPECT_EQ(Status(early).dwCurrentState, SERVICE_STOPPED);
}

TEST_F(ScmTest, CheckPointProgressIsVisible) {
  ScHandle s = Create("Slow", "steps");
  // The start returns while the service still reports progress.
  ASSERT_TRUE(StartServiceA(s)) << GetLastError();
  SERVICE_STATUS st = Status(s);
  EXPECT_EQ(st.dwCurrentState, SERVICE_START_PENDING);
  EXPECT_EQ(st.dwCheckPoint, 1u);
  EXPECT_EQ(st.dwWaitHint, 3000u);
  EXPECT_FALSE(ControlService(s, SERVICE_CONTROL_STOP, &st));
  EXPECT_EQ(GetLastError(), kErrorServiceCannotAcceptCtrl);

  std::ofstream(SystemFile("Slow.go1")).put('x');
  ASSERT_TRUE(WaitUntil([&] { return Status(s).dwCheckPoint == 2; }));
  EXPECT_EQ(Status(s).dwCurrentState, SERVICE_START_PENDING);
  std::ofstream(SystemFile("Slow.go2")).put('x');
  ASSERT_TRUE(WaitForState(s, SERVICE_RUNNING));
  EXPECT_EQ(Status(s).dwCheckPoint, 0u);
}

TEST_F(ScmTest, ConcurrentStartsStartOneProcess) {
  Create("Race").Close();
  constexpr int kClients = 4;
  std::vector<std::thread> threads;
  std::vector<uint32_t> results(kClients, 0xFFFFFFFF);
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&results, i] {
      ScHandle scm = OpenSCManagerA("", "", SC_MANAGER_ALL_ACCESS);
      ScHandle s = OpenServiceA(scm, "Race", SERVICE_ALL_ACCESS);
      results[i] = StartServiceA(s) ? 0 : GetLastError();
    });
  }
  for (auto& t : threads) t.join();
  int started = 0;
  for (uint32_t r : results) {
    EXPECT_TRUE(r == 0 || r == kErrorServiceAlreadyRunning) << r;
    started += r == 0;
  }
  EXPECT_EQ(started, 1);
  ScHandle s = OpenServiceA(scm_, "Race", SERVICE_ALL_ACCESS);
  ASSERT_TRUE(WaitForState(s, SERVICE_RUNNING));
  std::string trace = Trace("Race");
  EXPECT_EQ(trace.find("start is_service"), trace.rfind("start is_service")) << trace;
}

TEST_F(ScmTest, UserControlReachesTheHandler) {
  ScHandle s = Create("Talk");
  ASSERT_TRUE(StartServiceA(s));
  ASSERT_TRUE(WaitForState(s, SERVICE_RUNNING));
  SERVICE_STATUS st;
  ASSERT_TRUE(ControlService(s, 150, &st)) << GetLastError();
  EXPECT_EQ(st.dwCurrentState, SERVICE_RUNNING);
  // ControlService returns after the handler ran.
  EXPECT_NE(Trace("Talk").find("control 150"), std::string::npos);
  ASSERT_TRUE(ControlService(s, SERVICE_CONTROL_INTERROGATE, &st));
  EXPECT_EQ(st.dwCurrentState, SERVICE_RUNNING);
}

TEST_F(ScmTest, AutoStartServicesFollowTheDaemon) {
  ScHandle aut = Create("Auto", "normal", SERVICE_AUTO_START);
  ScHandle demand = Create("Demand");
  ScHandle deaf = Create("DeafAuto", "deaf", SERVICE_AUTO_START);
  ScHandle asking = Create("AskAuto", "ask", SERVICE_AUTO_START);
  aut.Close();
  demand.Close();
  deaf.Close();
  asking.Close();
  // Created services do not start by themselves.
  EXPECT_EQ(Trace("Auto"), "");

  // Boot: auto-start services run once the daemon serves.
  ASSERT_EQ(StopDaemon(), 0);
  StartDaemon();
  ScHandle a = OpenServiceA(scm_, "Auto", SERVICE_ALL_ACCESS);
  ScHandle d = OpenServiceA(scm_, "Demand", SERVICE_ALL_ACCESS);
  ScHandle deaf_again = OpenServiceA(scm_, "DeafAuto", SERVICE_ALL_ACCESS);
  ASSERT_TRUE(a && d && deaf_again);
  EXPECT_TRUE(WaitForState(a, SERVICE_RUNNING));
  EXPECT_TRUE(WaitForState(deaf_again, SERVICE_RUNNING));
  EXPECT_EQ(Status(d).dwCurrentState, SERVICE_STOPPED);
  // The SCM answers a service that is still starting at boot.
  EXPECT_TRUE(TraceHas("AskAuto", "asked START_PENDING")) << Trace("AskAuto");
  ASSERT_TRUE(TraceHas("DeafAuto", "start is_service=1 pid="));
  std::string deaf_trace = Trace("DeafAuto");
  pid_t deaf_pid = std::stoi(deaf_trace.substr(deaf_trace.find("pid=") + 4));

  // Shutdown: the stop control reaches the service, which ends; the one
  // that ignores it is killed after the stop time-out.
  a.Close();
  d.Close();
  deaf_again.Close();
  EXPECT_EQ(StopDaemon(), 0);
  EXPECT_NE(Trace("Auto").find("stop\n"), std::string::npos);
  EXPECT_NE(Trace("Auto").find("dispatcher returned ok=1"), std::string::npos);
  EXPECT_NE(Trace("DeafAuto").find("ignored 1"), std::string::npos);
  EXPECT_NE(::kill(deaf_pid, 0), 0);
}

TEST_F(ScmTest, ServicesEndWhenTheDaemonDies) {
  ScHandle s = Create("Orphan");
  ASSERT_TRUE(StartServiceA(s));
  ASSERT_TRUE(WaitForState(s, SERVICE_RUNNING));
  s.Close();
  scm_.Close();
  ASSERT_EQ(::kill(daemon_->pid(), SIGKILL), 0);
  // The dispatcher loses its channel and returns, so the program ends
  // instead of running on without a manager.
  EXPECT_TRUE(TraceHas("Orphan", "dispatcher returned ok=0 error=109")) << Trace("Orphan");
  daemon_.reset();

  StartDaemon();
  ScHandle again = OpenServiceA(scm_, "Orphan", SERVICE_ALL_ACCESS);
  ASSERT_TRUE(again);
  EXPECT_EQ(Status(again).dwCurrentState, SERVICE_STOPPED);
  EXPECT_TRUE(StartServiceA(again)) << GetLastError();
}

TEST_F(ScmTest, IsServiceOnlyUnderTheScm) {
  // From a shell the program is interactive and its dispatcher refuses.
  std::string out;
  int status = RunProgram({BinPath("vx_test_service"), "normal"},
                          {"VX_HOST_ROOT=" + host_.root(), "VX_SERVICE_CHANNEL=", "VX_ACCOUNT="}, &out);
  EXPECT_EQ(status, 0);
  EXPECT_NE(out.find("start is_service=0"), std::string::npos) << out;
  EXPECT_NE(out.find("dispatcher returned ok=0 error=1063"), std::string::npos) << out;

  ScHandle s = Create("Real");
  ASSERT_TRUE(StartServiceA(s));
  EXPECT_TRUE(TraceHas("Real", "start is_service=1"));
}

TEST_F(ScmTest, OneDaemonPerHost) {
  std::string out;
  int status = RunProgram({BinPath("vxhostd"), "--root", host_.root(), "--quiet"}, {}, &out);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
  std::ifstream pid_file(host_.root() + "/run/vxhostd.pid");
  pid_t pid = 0;
  pid_file >> pid;
  EXPECT_EQ(pid, daemon_->pid());
  // The first daemon still serves.
  EXPECT_TRUE(Create("StillHere"));
}

// Relays to this host's own SCM, standing in for a remote session.
class CountingTransport : public ScmTransport {
 public:
  explicit CountingTransport(int* calls) : inner_(ConnectLocalScm()), calls_(calls) {}
  bool RoundTrip(const std::string& request, std::string* reply) override {
    ++*calls_;
    return inner_->RoundTrip(request, reply);
  }

 private:
  std::unique_ptr<ScmTransport> inner_;
  int* calls_;
};

TEST_F(ScmTest, OtherMachinesGoThroughTheRemoteConnector) {
  ScHandle none = OpenSCManagerA("\\\\PC9", "", SC_MANAGER_ALL_ACCESS);
  EXPECT_FALSE(none);
  EXPECT_EQ(GetLastError(), kErrorBadNetPath);

  int calls = 0;
  std::string asked;
  RegisterRemoteScmConnector([&](const std::string& machine) -> std::unique_ptr<ScmTransport> {
    asked = machine;
    return std::make_unique<CountingTransport>(&calls);
  });
  {
    ScHandle remote = OpenSCManagerA("\\\\PC9", "", SC_MANAGER_ALL_ACCESS);
    ASSERT_TRUE(remote) << GetLastError();
    EXPECT_EQ(asked, "PC9");
    ScHandle s = CreateServiceA(remote, "ViaRemote", "ViaRemote", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "C:\\WINDOWS\\system32\\svc.exe");
    ASSERT_TRUE(s) << GetLastError();
    EXPECT_GE(calls, 2);
    // This host's own name stays local.
    int before = calls;
    ScHandle local = OpenSCManagerA(host_.host().computer_name(), "", SC_MANAGER_ALL_ACCESS);
    ASSERT_TRUE(local);
    EXPECT_TRUE(OpenServiceA(local, "ViaRemote", SERVICE_QUERY_STATUS));
    EXPECT_EQ(calls, before);
  }
  RegisterRemoteScmConnector(nullptr);
}

TEST(ScmWithoutDaemonTest, ManagerIsUnreachable) {
  TempHost host;
  ScHandle scm = OpenSCManagerA("", "", SC_MANAGER_ALL_ACCESS);
  EXPECT_FALSE(scm);
  EXPECT_EQ(GetLastError(), kErrorRpcServerUnavailable);
}

}  // namespace
}  // namespace platform
