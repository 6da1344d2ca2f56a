#include "platform/service_program.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/error.h"
#include "platform/host.h"
#include "platform/service_wire.h"
#include "platform/strings.h"

namespace platform {

using service_wire::Reader;
using service_wire::Writer;

namespace {

constexpr SERVICE_STATUS_HANDLE kStatusHandle = 1;

// The one dispatcher of this process.
struct Dispatcher {
  std::mutex mu;
  bool started = false;  // StartServiceCtrlDispatcherA was entered once
  bool running = false;  // between connect and return
  int channel = -1;
  int wake[2] = {-1, -1};
  LPHANDLER_FUNCTION handler = nullptr;
  bool stopped = false;
};

Dispatcher& D() {
  static Dispatcher d;
  return d;
}

// The channel descriptor named by VX_SERVICE_CHANNEL, or -1.
int ChannelFromEnvironment() {
  const char* v = std::getenv("VX_SERVICE_CHANNEL");
  if (!v || !*v) return -1;
  char* end = nullptr;
  long fd = std::strtol(v, &end, 10);
  if (*end || fd < 0 || fd > 1 << 20) return -1;
  int type = 0;
  socklen_t len = sizeof type;
  if (::getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_SEQPACKET)
    return -1;
  return static_cast<int>(fd);
}

bool SendMessage(int fd, const Writer& w) {
  for (;;) {
    ssize_t n = ::send(fd, w.data().data(), w.data().size(), MSG_NOSIGNAL);
    if (n >= 0) return true;
    if (errno != EINTR) return Fail(kErrorBrokenPipe);
  }
}

// Receives one channel message; false when the channel is closed or broken.
bool ReceiveMessage(int fd, std::string* msg) {
  std::string buf(service_wire::kMaxFrame, '\0');
  for (;;) {
    ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
    if (n > 0) {
      buf.resize(static_cast<size_t>(n));
      *msg = std::move(buf);
      return true;
    }
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
}

struct MainArgs {
  LPSERVICE_MAIN_FUNCTIONA proc;
  std::vector<std::string> args;
};

void RunServiceMain(MainArgs a) {
  std::vector<char*> argv;
  for (auto& s : a.args) argv.push_back(s.data());
  argv.push_back(nullptr);
  a.proc(static_cast<uint32_t>(a.args.size()), argv.data());
}

}  // namespace

bool StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) {
  if (!table || !table[0].lpServiceName || !table[0].lpServiceProc) return Fail(kErrorInvalidParameter);
  Dispatcher& d = D();
  int fd = ChannelFromEnvironment();
  if (fd < 0) return Fail(kErrorFailedServiceControllerConnect);
  {
    std::lock_guard<std::mutex> lock(d.mu);
    if (d.started) return Fail(kErrorServiceAlreadyRunning);
    d.started = true;
  }
  // Programs the service starts must not inherit the channel.
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  Writer hello;
  hello.U32(service_wire::kMsgConnect);
  hello.U32(static_cast<uint32_t>(::getpid()));
  hello.Text(table[0].lpServiceName);
  if (!SendMessage(fd, hello)) return Fail(kErrorFailedServiceControllerConnect);

  // The SCM answers with the start arguments.
  std::string msg;
  uint32_t kind = 0, argc = 0;
  if (!ReceiveMessage(fd, &msg)) return Fail(kErrorFailedServiceControllerConnect);
  Reader r(msg);
  MainArgs main_args{table[0].lpServiceProc, {}};
  if (!r.U32(&kind) || kind != service_wire::kMsgStart || !r.U32(&argc) || argc > msg.size() / 4)
    return Fail(kErrorFailedServiceControllerConnect);
  main_args.args.resize(argc);
  for (auto& a : main_args.args)
    if (!r.Text(&a)) return Fail(kErrorFailedServiceControllerConnect);
  if (main_args.args.empty()) main_args.args.push_back(table[0].lpServiceName);

  int wake[2];
  if (::pipe2(wake, O_CLOEXEC) != 0) return FailErrno(errno);
  {
    std::lock_guard<std::mutex> lock(d.mu);
    d.channel = fd;
    d.wake[0] = wake[0];
    d.wake[1] = wake[1];
    d.running = true;
  }
  // The service main keeps running on its own; the process ends when the
  // program returns from main after the dispatcher, as on Windows.
  std::thread(RunServiceMain, std::move(main_args)).detach();

  bool ok = true;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(d.mu);
      if (d.stopped) break;
    }
    pollfd p[2] = {{fd, POLLIN, 0}, {wake[0], POLLIN, 0}};
    int n = ::poll(p, 2, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = FailErrno(errno);
      break;
    }
    if (p[1].revents) {
      char c;
      (void)!::read(wake[0], &c, 1);
      continue;
    }
    if (!p[0].revents) continue;
    if (!ReceiveMessage(fd, &msg)) {
      ok = Fail(kErrorBrokenPipe);
      break;
    }
    Reader m(msg);
    uint32_t seq = 0, control = 0;
    if (!m.U32(&kind) || kind != service_wire::kMsgControl || !m.U32(&seq) || !m.U32(&control)) continue;
    LPHANDLER_FUNCTION handler;
    {
      std::lock_guard<std::mutex> lock(d.mu);
      handler = d.handler;
    }
    uint32_t result = kErrorSuccess;
    if (handler)
      handler(control);
    else
      result = kErrorServiceCannotAcceptCtrl;
    Writer done;
    done.U32(service_wire::kMsgControlDone);
    done.U32(seq);
    done.U32(result);
    SendMessage(fd, done);
  }
  {
    std::lock_guard<std::mutex> lock(d.mu);
    d.running = false;
  }
  return ok;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(std::string_view name, LPHANDLER_FUNCTION handler) {
  (void)name;
  Dispatcher& d = D();
  std::lock_guard<std::mutex> lock(d.mu);
  if (!d.running) {
    SetLastError(kErrorServiceNotInExe);
    return 0;
  }
  if (!handler) {
    SetLastError(kErrorInvalidParameter);
    return 0;
  }
  d.handler = handler;
  return kStatusHandle;
}

bool SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS* status) {
  Dispatcher& d = D();
  int fd, wake;
  {
    std::lock_guard<std::mutex> lock(d.mu);
    // The handle dies with the STOPPED report.
    if (handle != kStatusHandle || !d.handler || d.stopped) return Fail(kErrorInvalidHandle);
    fd = d.channel;
    wake = d.wake[1];
  }
  if (!status || status->dwCurrentState < SERVICE_STOPPED || status->dwCurrentState > SERVICE_PAUSED)
    return Fail(kErrorInvalidParameter);
  Writer w;
  w.U32(service_wire::kMsgStatus);
  w.Status(*status);
  if (!SendMessage(fd, w)) return false;
  if (status->dwCurrentState == SERVICE_STOPPED) {
    std::lock_guard<std::mutex> lock(d.mu);
    d.stopped = true;
    (void)!::write(wake, "s", 1);
  }
  return true;
}

std::vector<TokenGroup> GetTokenGroups() {
  std::vector<TokenGroup> groups;
  groups.push_back({kSidEveryone});
  const char* channel = std::getenv("VX_SERVICE_CHANNEL");
  bool from_scm = channel && *channel;
  Host* host = Host::Current();
  const UserAccount* account = host ? &host->CurrentAccount() : nullptr;
  bool system = from_scm || (account && account->sid == "S-1-5-18");
  if (system) {
    groups.push_back({kSidAdministrators});
  } else if (account) {
    for (const auto& g : account->groups) {
      if (EqualsIgnoreCase(g, "Administrators")) groups.push_back({kSidAdministrators});
      if (EqualsIgnoreCase(g, "Users")) groups.push_back({kSidUsers});
    }
  } else {
    groups.push_back({kSidUsers});
  }
  if (from_scm)
    groups.push_back({kSidService});
  else if (!system)
    groups.push_back({kSidInteractive});
  groups.push_back({kSidAuthenticatedUsers});
  groups.push_back({kSidLocal});
  return groups;
}

uint32_t IsService(bool* is_service) {
  *is_service = false;
  for (const auto& g : GetTokenGroups()) {
    if (g.sid == kSidInteractive) return kErrorSuccess;
    if (g.sid == kSidService) {
      *is_service = true;
      return kErrorSuccess;
    }
  }
  *is_service = true;
  return kErrorSuccess;
}

}  // namespace platform
