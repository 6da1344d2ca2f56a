// vxhostd: the host daemon. Runs in the foreground unless --daemon is given.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "hostd/daemon/daemon.h"
#include "hostd/daemon/remote_module.h"
#include "hostd/daemon/scm_module.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: vxhostd [--root HOSTROOT] [--daemon] [--quiet] [--stop-timeout MS]\n"
               "               [--start-timeout MS] [--control-timeout MS]\n"
               "               [--remote-address A] [--remote-port N] [--logon-delay-ms MS]\n"
               "               [--max-sessions-per-peer N] [--idle-timeout MS] [--max-frame BYTES]\n"
               "--remote-port overrides host.ini's port; 0 picks a free one (see the log).\n"
               "HOSTROOT defaults to $VX_HOST_ROOT. The log is HOSTROOT/run/vxhostd.log.\n");
  return 2;
}

bool ParseMs(const char* text, std::chrono::milliseconds* out) {
  char* end = nullptr;
  unsigned long v = std::strtoul(text, &end, 10);
  if (!*text || *end || v > 3600000) return false;
  *out = std::chrono::milliseconds(v);
  return true;
}

// Detaches from the terminal. The parent returns only once the child has
// opened the host and started its modules (or failed), so that a script
// can use the host's SCM right after `vxhostd --daemon`.
int Detach(int* ready_fd) {
  int p[2];
  if (::pipe(p) != 0) return -1;
  pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid > 0) {
    ::close(p[1]);
    char c = 0;
    ssize_t n = ::read(p[0], &c, 1);
    std::_Exit(n == 1 && c == '0' ? 0 : 1);
  }
  ::close(p[0]);
  ::setsid();
  if (::fork() > 0) std::_Exit(0);
  int null_fd = ::open("/dev/null", O_RDWR);
  if (null_fd >= 0) {
    ::dup2(null_fd, 0);
    ::dup2(null_fd, 1);
    ::dup2(null_fd, 2);
    if (null_fd > 2) ::close(null_fd);
  }
  ::fcntl(p[1], F_SETFD, FD_CLOEXEC);
  *ready_fd = p[1];
  return 0;
}

void Ready(int fd, bool ok) {
  if (fd < 0) return;
  (void)!::write(fd, ok ? "0" : "1", 1);
  ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  hostd::DaemonOptions opt;
  if (const char* env = std::getenv("VX_HOST_ROOT")) opt.root = env;
  bool detach = false;
  hostd::remote::ServerOptions remote;
  bool remote_port_given = false;
  auto number = [](const char* text, unsigned long max, uint32_t* out) {
    char* end = nullptr;
    unsigned long v = std::strtoul(text, &end, 10);
    if (!*text || *end || v > max) return false;
    *out = static_cast<uint32_t>(v);
    return true;
  };
  uint32_t n = 0;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    const char* v = nullptr;
    if (a == "--root" && (v = value())) {
      opt.root = v;
    } else if (a == "--daemon") {
      detach = true;
    } else if (a == "--quiet") {
      opt.log_to_stderr = false;
    } else if (a == "--stop-timeout" && (v = value()) && ParseMs(v, &opt.stop_timeout)) {
    } else if (a == "--start-timeout" && (v = value()) && ParseMs(v, &opt.start_timeout)) {
    } else if (a == "--control-timeout" && (v = value()) && ParseMs(v, &opt.control_timeout)) {
    } else if (a == "--remote-address" && (v = value())) {
      remote.address = v;
    } else if (a == "--remote-port" && (v = value()) && number(v, 65535, &n)) {
      remote.port = static_cast<uint16_t>(n);
      remote_port_given = true;
    } else if (a == "--logon-delay-ms" && (v = value()) && number(v, 60000, &n)) {
      remote.failed_logon_delay_ms = n;
    } else if (a == "--max-sessions-per-peer" && (v = value()) && number(v, 100000, &n)) {
      remote.max_sessions_per_peer = n;
    } else if (a == "--idle-timeout" && (v = value()) && number(v, 86400000, &n)) {
      remote.idle_timeout_ms = n;
    } else if (a == "--max-frame" && (v = value()) && number(v, 1u << 30, &n)) {
      remote.max_frame = n;
    } else {
      return Usage();
    }
  }
  if (opt.root.empty()) {
    std::fprintf(stderr, "vxhostd: no host root (pass --root or set VX_HOST_ROOT)\n");
    return 2;
  }
  // Services find their host by an absolute root whatever our folder.
  if (char* real = ::realpath(opt.root.c_str(), nullptr)) {
    opt.root = real;
    std::free(real);
  }
  int ready_fd = -1;
  if (detach) {
    opt.log_to_stderr = false;
    if (Detach(&ready_fd) != 0) {
      std::perror("vxhostd: fork");
      return 1;
    }
  }
  hostd::Daemon::PrepareSignals();
  hostd::Daemon daemon(opt);
  std::string error;
  if (!daemon.Open(&error)) {
    std::fprintf(stderr, "vxhostd: %s\n", error.c_str());
    Ready(ready_fd, false);
    return 1;
  }
  daemon.AddModule(std::make_unique<hostd::ScmModule>());
  daemon.AddModule(std::make_unique<hostd::RemoteModule>(remote, remote_port_given));
  if (!daemon.StartModules(&error)) {
    std::fprintf(stderr, "vxhostd: %s\n", error.c_str());
    Ready(ready_fd, false);
    return 1;
  }
  Ready(ready_fd, true);
  daemon.WaitForStop();
  daemon.StopModules();
  daemon.log().Line("hostd", "exit");
  return 0;
}
