#include "hostd/testing/running_daemon.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

extern char** environ;

namespace hostd::testing {

namespace {

bool CanConnect(const std::string& path) {
  sockaddr_un addr{};
  if (path.size() >= sizeof addr.sun_path) return false;
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  if (fd >= 0) ::close(fd);
  return ok;
}

std::vector<char*> Pointers(std::vector<std::string>& v) {
  std::vector<char*> p;
  for (auto& s : v) p.push_back(s.data());
  p.push_back(nullptr);
  return p;
}

}  // namespace

std::string BinPath(const std::string& name) {
  const char* dir = std::getenv("VX_BIN_DIR");
  return std::string(dir ? dir : "bin") + "/" + name;
}

RunningDaemon::RunningDaemon(const std::string& root, std::vector<std::string> extra_args) {
  std::vector<std::string> args = {BinPath("vxhostd"), "--root", root, "--quiet"};
  args.insert(args.end(), extra_args.begin(), extra_args.end());
  auto argv = Pointers(args);
  if (::posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
    pid_ = -1;
    return;
  }
  std::string sock = root + "/run/scm.sock";
  for (int i = 0; i < 1000; ++i) {
    if (CanConnect(sock)) {
      ok_ = true;
      return;
    }
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

RunningDaemon::~RunningDaemon() { Stop(); }

int RunningDaemon::Stop() {
  if (pid_ < 0) return -1;
  ::kill(pid_, SIGTERM);
  int status = 0;
  for (int i = 0; i < 1000; ++i) {
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_ || (r < 0 && errno != EINTR)) {
      pid_ = -1;
      return status;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
  return -1;
}

int RunProgram(const std::vector<std::string>& argv_in, const std::vector<std::string>& env_in, std::string* out) {
  std::vector<std::string> args = argv_in;
  std::vector<std::string> env;
  // Entries of `env_in` replace inherited ones of the same name.
  for (char** e = environ; *e; ++e) {
    bool replaced = false;
    for (const auto& v : env_in) {
      size_t eq = v.find('=');
      replaced = replaced || std::strncmp(*e, v.c_str(), eq + 1) == 0;
    }
    if (!replaced) env.emplace_back(*e);
  }
  env.insert(env.end(), env_in.begin(), env_in.end());
  auto argv = Pointers(args);
  auto envp = Pointers(env);
  int p[2];
  if (::pipe2(p, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, p[1], 1);
  pid_t pid;
  int rc = ::posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  ::close(p[1]);
  if (rc != 0) {
    ::close(p[0]);
    return -1;
  }
  char buf[4096];
  ssize_t n;
  while ((n = ::read(p[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0) out->append(buf, static_cast<size_t>(n));
  ::close(p[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return status;
}

bool WaitUntil(const std::function<bool()>& done, int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

}  // namespace hostd::testing
