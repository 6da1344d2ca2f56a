#include "hostd/daemon/service_process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/error.h"
#include "platform/service_wire.h"

namespace hostd {

namespace {

// A descriptor at 10 or above, so that moving it to 0..3 in the child never
// overwrites another source.
int High(int fd) {
  if (fd < 0) return fd;
  int h = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
  ::close(fd);
  return h;
}

void CloseIf(int fd) {
  if (fd >= 0) ::close(fd);
}

}  // namespace

std::shared_ptr<ServiceProcess> ServiceProcess::Spawn(const SpawnSpec& spec, Events* events, uint32_t* error) {
  if (::access(spec.program.c_str(), F_OK) != 0) {
    *error = platform::kErrorFileNotFound;
    return nullptr;
  }
  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0) {
    *error = platform::ErrorFromErrno(errno);
    return nullptr;
  }
  int child_channel = High(sv[1]);
  int out = High(::open(spec.output.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  int null_in = High(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  int err_pipe[2];
  if (::pipe2(err_pipe, O_CLOEXEC) != 0) err_pipe[0] = err_pipe[1] = -1;

  // Everything the child needs is prepared before fork: after it only
  // async-signal-safe calls are allowed.
  std::vector<char*> argv, envp;
  for (const auto& a : spec.argv) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (const auto& e : spec.env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  pid_t pid = ::fork();
  if (pid == 0) {
    ::setsid();
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    ::dup2(null_in, 0);
    if (out >= 0) {
      ::dup2(out, 1);
      ::dup2(out, 2);
    }
    ::dup2(child_channel, 3);
    int e = 0;
    if (::chdir(spec.cwd.c_str()) != 0) e = errno;
    if (e == 0) {
      ::execve(spec.program.c_str(), argv.data(), envp.data());
      e = errno;
    }
    (void)!::write(err_pipe[1], &e, sizeof e);
    ::_exit(127);
  }
  int fork_errno = errno;
  CloseIf(child_channel);
  CloseIf(out);
  CloseIf(null_in);
  CloseIf(err_pipe[1]);
  if (pid < 0) {
    CloseIf(err_pipe[0]);
    ::close(sv[0]);
    *error = platform::ErrorFromErrno(fork_errno);
    return nullptr;
  }
  int exec_errno = 0;
  ssize_t n;
  do n = ::read(err_pipe[0], &exec_errno, sizeof exec_errno);
  while (n < 0 && errno == EINTR);
  CloseIf(err_pipe[0]);
  if (n == static_cast<ssize_t>(sizeof exec_errno)) {
    ::waitpid(pid, nullptr, 0);
    ::close(sv[0]);
    *error = exec_errno == ENOEXEC ? 193u : platform::ErrorFromErrno(exec_errno);
    return nullptr;
  }
  std::shared_ptr<ServiceProcess> p(new ServiceProcess());
  p->pid_ = pid;
  p->pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  p->channel_ = sv[0];
  p->events_ = events;
  p->monitor_ = std::thread(&ServiceProcess::Monitor, p.get());
  return p;
}

ServiceProcess::~ServiceProcess() {
  if (!exited_) Kill();
  Join();
  CloseIf(pidfd_);
  CloseIf(channel_);
}

bool ServiceProcess::Send(const std::string& message) {
  for (;;) {
    ssize_t n = ::send(channel_, message.data(), message.size(), MSG_NOSIGNAL);
    if (n >= 0) return true;
    if (errno != EINTR) return false;
  }
}

void ServiceProcess::Kill() {
  if (!exited_) ::kill(pid_, SIGKILL);
}

void ServiceProcess::Join() {
  if (monitor_.joinable() && monitor_.get_id() != std::this_thread::get_id()) monitor_.join();
}

void ServiceProcess::Monitor() {
  std::string buf(platform::service_wire::kMaxFrame, '\0');
  bool channel_open = true;
  auto drain = [&](int flags) {
    for (;;) {
      ssize_t n = ::recv(channel_, buf.data(), buf.size(), flags);
      if (n > 0) {
        events_->OnMessage(this, buf.substr(0, static_cast<size_t>(n)));
        if (flags) continue;
        return;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) channel_open = false;
      return;
    }
  };
  for (;;) {
    pollfd p[2] = {{pidfd_, POLLIN, 0}, {channel_open ? channel_ : -1, POLLIN, 0}};
    int n = ::poll(p, 2, pidfd_ >= 0 ? -1 : 200);
    if (n < 0 && errno == EINTR) continue;
    if (p[1].revents) drain(0);
    bool gone;
    if (pidfd_ >= 0) {
      gone = p[0].revents != 0;
    } else {
      siginfo_t info{};
      gone = ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid_;
    }
    if (gone) break;
  }
  // Messages sent just before the end still count (a final STOPPED report).
  if (channel_open) drain(MSG_DONTWAIT);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  exited_ = true;
  events_->OnExit(this, status);
}

}  // namespace hostd
