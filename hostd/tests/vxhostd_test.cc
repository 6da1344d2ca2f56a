// The daemon around its SCM: boot from the registry, bounded starts, bad
// requests on the socket, the vxhost service commands and --daemon.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "hostd/testing/running_daemon.h"
#include "platform/error.h"
#include "platform/registry.h"
#include "platform/service.h"
#include "platform/service_wire.h"
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

void InstallTestService(const TempHost& host) {
  fs::create_symlink(fs::absolute(BinPath("vx_test_service")), host.Real("C:\\WINDOWS\\system32\\svc.exe"));
}

void Register(const std::string& name, const std::string& image, bool delete_flag) {
  RegKey k;
  ASSERT_EQ(k.Create(RootKey::kLocalMachine, kServicesKey + name, kKeyAllAccess), 0u);
  k.WriteDword("Type", SERVICE_WIN32_OWN_PROCESS);
  k.WriteDword("Start", SERVICE_DEMAND_START);
  k.WriteDword("ErrorControl", SERVICE_ERROR_NORMAL);
  k.WriteString("ImagePath", image, kRegExpandSz);
  if (delete_flag) k.WriteDword("DeleteFlag", 1);
}

bool Registered(const std::string& name) {
  RegKey k;
  return k.Open(RootKey::kLocalMachine, kServicesKey + name, kKeyRead) == 0;
}

TEST(VxhostdTest, BootReadsTheRegistryAndFinishesDeletions) {
  TempHost host;
  InstallTestService(host);
  Register("Kept", "C:\\WINDOWS\\system32\\svc.exe", false);
  Register("Leftover", "C:\\WINDOWS\\system32\\svc.exe", true);
  RegKey other;  // not a service: no Type, no ImagePath
  ASSERT_EQ(other.Create(RootKey::kLocalMachine, std::string(kServicesKey) + "Tcpip\\Parameters", kKeyAllAccess), 0u);
  other.Close();

  RunningDaemon daemon(host.root());
  ASSERT_TRUE(daemon.ok());
  EXPECT_FALSE(Registered("Leftover"));
  EXPECT_TRUE(Registered("Tcpip"));
  ScHandle scm = OpenSCManagerA("", "", SC_MANAGER_ALL_ACCESS);
  ASSERT_TRUE(scm);
  std::vector<ServiceEntry> all;
  ASSERT_TRUE(EnumServicesStatusA(scm, &all));
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].name, "Kept");
  EXPECT_EQ(all[0].display_name, "Kept");
  ScHandle kept = OpenServiceA(scm, "KEPT", SERVICE_ALL_ACCESS);
  ASSERT_TRUE(kept);
  EXPECT_TRUE(StartServiceA(kept)) << GetLastError();
}

TEST(VxhostdTest, StartOfASilentProgramIsBounded) {
  TempHost host;
  InstallTestService(host);
  RunningDaemon daemon(host.root(), {"--start-timeout", "300"});
  ASSERT_TRUE(daemon.ok());
  ScHandle scm = OpenSCManagerA("", "", SC_MANAGER_ALL_ACCESS);
  ScHandle s = CreateServiceA(scm, "Mute", "Mute", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                              SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "C:\\WINDOWS\\system32\\svc.exe hang");
  ASSERT_TRUE(s);
  EXPECT_FALSE(StartServiceA(s));
  EXPECT_EQ(GetLastError(), kErrorServiceRequestTimeout);
  SERVICE_STATUS st;
  ASSERT_TRUE(QueryServiceStatus(s, &st));
  EXPECT_EQ(st.dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(st.dwWin32ExitCode, kErrorServiceRequestTimeout);
}

// A raw connection to the SCM socket.
class RawClient {
 public:
  explicit RawClient(const std::string& path) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~RawClient() { ::close(fd_); }
  bool connected() const { return connected_; }
  bool SendRaw(const std::string& bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  // The error code of the reply to `body`; 0xFFFFFFFF when the daemon
  // closed the connection instead.
  uint32_t Ask(const std::string& body) {
    if (!service_wire::WriteFrame(fd_, body)) return 0xFFFFFFFF;
    std::string reply;
    if (!service_wire::ReadFrame(fd_, &reply)) return 0xFFFFFFFF;
    uint32_t code = 0;
    service_wire::Reader(reply).U32(&code);
    return code;
  }
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

TEST(VxhostdTest, MalformedRequestsAreAnsweredOrDropped) {
  TempHost host;
  RunningDaemon daemon(host.root());
  ASSERT_TRUE(daemon.ok());
  std::string sock = host.root() + "/run/scm.sock";

  auto body = [](std::initializer_list<uint32_t> words, const std::string& tail = "") {
    service_wire::Writer w;
    for (uint32_t v : words) w.U32(v);
    return w.data() + tail;
  };
  struct Case {
    const char* what;
    std::string request;
    uint32_t code;
  } cases[] = {
      {"unknown operation", body({77}), kErrorInvalidFunction},
      {"text longer than the request", body({service_wire::kOpOpenService, 500}, "abc"), kErrorInvalidData},
      {"trailing bytes", body({service_wire::kOpEnumServices, 1}), kErrorInvalidData},
      {"service call with an unknown handle", body({service_wire::kOpQueryStatus, 99}), kErrorInvalidHandle},
      {"start with a huge argument count", body({service_wire::kOpStartService, 99, 0x7FFFFFFF}), kErrorInvalidHandle},
      {"wrong protocol version", body({service_wire::kOpHello, 99}), kErrorNotSupported},
      {"operation cut short", std::string("\x06\x00", 2), kErrorInvalidData},
  };
  RawClient client(sock);
  ASSERT_TRUE(client.connected());
  for (const auto& c : cases) EXPECT_EQ(client.Ask(c.request), c.code) << c.what;

  // A frame length beyond the limit ends the connection, not the daemon.
  RawClient greedy(sock);
  ASSERT_TRUE(greedy.connected());
  ASSERT_TRUE(greedy.SendRaw(std::string("\xFF\xFF\xFF\x7F", 4)));
  char byte;
  EXPECT_EQ(::recv(greedy.fd(), &byte, 1, 0), 0);

  ScHandle scm = OpenSCManagerA("", "", SC_MANAGER_ALL_ACCESS);
  EXPECT_TRUE(scm) << GetLastError();
}

// Address space of a process in kB (VmSize of /proc/PID/status).
long VirtualKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  long kb = -1;
  while (in >> key) {
    if (key == "VmSize:") {
      in >> kb;
      break;
    }
  }
  return kb;
}

TEST(VxhostdTest, EndedConnectionsLeaveNoThreadsBehind) {
  TempHost host;
  // One malloc arena, so that the address space measures thread stacks.
  setenv("MALLOC_ARENA_MAX", "1", 1);
  RunningDaemon daemon(host.root());
  unsetenv("MALLOC_ARENA_MAX");
  ASSERT_TRUE(daemon.ok());
  long before = VirtualKb(daemon.pid());
  ASSERT_GT(before, 0);
  // Each connection is served by a thread of its own; one left unjoined
  // keeps its whole stack (megabytes) mapped.
  for (int i = 0; i < 40; ++i) {
    ScHandle scm = OpenSCManagerA("", "", SC_MANAGER_ALL_ACCESS);
    ASSERT_TRUE(scm) << GetLastError();
  }
  ScHandle last = OpenSCManagerA("", "", SC_MANAGER_ALL_ACCESS);
  ASSERT_TRUE(last);
  long grown = VirtualKb(daemon.pid()) - before;
  EXPECT_LT(grown, 64 * 1024) << grown << " kB more";
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

TEST(VxhostdTest, ServiceCommandsOfTheHostTool) {
  TempHost host;
  InstallTestService(host);
  RunningDaemon daemon(host.root());
  ASSERT_TRUE(daemon.ok());
  auto vxhost = [&](std::vector<std::string> args, std::string* out) {
    args.insert(args.begin(), {BinPath("vxhost"), "--root", host.root(), "service"});
    out->clear();
    int status = RunProgram(args, {}, out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  std::string out;
  EXPECT_EQ(vxhost({"create", "Tool", "%SystemRoot%\\system32\\svc.exe", "--display", "Tool Service", "--start", "auto"}, &out), 0);
  EXPECT_EQ(vxhost({"start", "Tool"}, &out), 0);
  EXPECT_EQ(vxhost({"start", "Tool"}, &out), 2);
  EXPECT_EQ(vxhost({"query", "Tool"}, &out), 0);
  EXPECT_NE(out.find("DISPLAY_NAME: Tool Service"), std::string::npos) << out;
  EXPECT_NE(out.find("START_TYPE: auto"), std::string::npos) << out;
  EXPECT_NE(out.find("BINARY_PATH_NAME: %SystemRoot%\\system32\\svc.exe"), std::string::npos) << out;
  EXPECT_EQ(vxhost({"list"}, &out), 0);
  EXPECT_NE(out.find("Tool"), std::string::npos) << out;
  EXPECT_EQ(vxhost({"stop", "Tool"}, &out), 0);
  EXPECT_EQ(out, "Tool: STOPPED\n");
  EXPECT_EQ(vxhost({"delete", "Tool"}, &out), 0);
  EXPECT_EQ(vxhost({"query", "Tool"}, &out), 2);
  EXPECT_EQ(vxhost({"create", "X", "C:\\x.exe", "--start", "sometimes"}, &out), 2);

  std::string log = ReadFile(host.root() + "/run/vxhostd.log");
  EXPECT_NE(log.find("scm: service Tool created"), std::string::npos) << log;
  EXPECT_NE(log.find("scm: service Tool deleted"), std::string::npos) << log;
}

TEST(VxhostdTest, DaemonModeReturnsOnceServing) {
  TempHost host;
  std::string out;
  int status = RunProgram({BinPath("vxhostd"), "--daemon", "--root", host.root()}, {}, &out);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  pid_t pid = 0;
  std::ifstream(host.root() + "/run/vxhostd.pid") >> pid;
  ASSERT_GT(pid, 0);
  ScHandle scm = OpenSCManagerA("", "", SC_MANAGER_ALL_ACCESS);
  EXPECT_TRUE(scm) << GetLastError();
  scm.Close();
  ASSERT_EQ(::kill(pid, SIGTERM), 0);
  // Detached, it is reaped by whoever adopted it; a zombie has ended too.
  auto ended = [&] {
    std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    return stat.empty() || (paren != std::string::npos && stat.compare(paren + 1, 3, " Z ") == 0);
  };
  EXPECT_TRUE(WaitUntil(ended));
  EXPECT_FALSE(fs::exists(host.root() + "/run/vxhostd.pid"));
  EXPECT_FALSE(fs::exists(host.root() + "/run/scm.sock"));
}

}  // namespace
}  // namespace platform
