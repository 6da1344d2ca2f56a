#include "hostd/daemon/daemon.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

namespace hostd {

Daemon::Daemon(DaemonOptions options) : options_(std::move(options)) {
  log_.set_stderr(options_.log_to_stderr);
  if (::pipe2(stop_pipe_, O_CLOEXEC | O_NONBLOCK) != 0) stop_pipe_[0] = stop_pipe_[1] = -1;
}

Daemon::~Daemon() {
  if (started_ > 0) StopModules();
  modules_.clear();
  if (!pid_path_.empty()) ::unlink(pid_path_.c_str());
  if (lock_fd_ >= 0) ::close(lock_fd_);
  for (int fd : stop_pipe_)
    if (fd >= 0) ::close(fd);
}

void Daemon::PrepareSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
}

bool Daemon::Open(std::string* error) {
  if (options_.root.empty()) {
    *error = "no host root (pass --root or set VX_HOST_ROOT)";
    return false;
  }
  host_ = platform::Host::Load(options_.root, error);
  if (!host_) return false;
  scope_ = std::make_unique<platform::ScopedHost>(host_.get());
  std::string run = host_->RunDir();
  ::mkdir(run.c_str(), 0755);
  std::string lock_path = run + "/vxhostd.lock";
  lock_fd_ = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock_fd_ < 0) {
    *error = lock_path + ": " + std::strerror(errno);
    return false;
  }
  if (::flock(lock_fd_, LOCK_EX | LOCK_NB) != 0) {
    std::string pid;
    std::ifstream(run + "/vxhostd.pid") >> pid;
    *error = "another vxhostd serves this host" + (pid.empty() ? std::string() : " (pid " + pid + ")");
    ::close(lock_fd_);
    lock_fd_ = -1;
    return false;
  }
  if (!log_.OpenFile(run + "/vxhostd.log")) {
    *error = run + "/vxhostd.log: " + std::strerror(errno);
    return false;
  }
  pid_path_ = run + "/vxhostd.pid";
  std::ofstream(pid_path_, std::ios::trunc) << ::getpid() << "\n";
  log_.Line("hostd", "host " + host_->computer_name() + " in " + host_->root() + ", pid " +
                         std::to_string(::getpid()));
  return true;
}

void Daemon::AddModule(std::unique_ptr<Module> module) { modules_.push_back(std::move(module)); }

Module* Daemon::FindModule(const std::string& name) const {
  for (const auto& m : modules_)
    if (name == m->name()) return m.get();
  return nullptr;
}

bool Daemon::StartModules(std::string* error) {
  for (; started_ < modules_.size(); ++started_) {
    Module& m = *modules_[started_];
    std::string why;
    if (!m.Start(*this, &why)) {
      *error = std::string(m.name()) + ": " + why;
      log_.Line(m.name(), "cannot start: " + why);
      StopModules();
      return false;
    }
    log_.Line(m.name(), "started");
  }
  return true;
}

void Daemon::WaitForStop() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  int sfd = ::signalfd(-1, &set, SFD_CLOEXEC);
  for (;;) {
    pollfd p[2] = {{stop_pipe_[0], POLLIN, 0}, {sfd, POLLIN, 0}};
    int n = ::poll(p, sfd >= 0 ? 2 : 1, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    if (p[0].revents) break;
    if (sfd >= 0 && p[1].revents) {
      signalfd_siginfo info;
      if (::read(sfd, &info, sizeof info) == sizeof info)
        log_.Line("hostd", std::string("signal ") + strsignal(static_cast<int>(info.ssi_signo)) + ", shutting down");
      break;
    }
  }
  if (sfd >= 0) ::close(sfd);
}

void Daemon::StopModules() {
  while (started_ > 0) {
    Module& m = *modules_[--started_];
    m.Stop();
    log_.Line(m.name(), "stopped");
  }
}

int Daemon::Run() {
  std::string error;
  if (!StartModules(&error)) return 1;
  WaitForStop();
  StopModules();
  log_.Line("hostd", "exit");
  return 0;
}

void Daemon::RequestStop() {
  if (stop_pipe_[1] >= 0) (void)!::write(stop_pipe_[1], "x", 1);
}

}  // namespace hostd
