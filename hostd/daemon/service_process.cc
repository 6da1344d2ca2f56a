#include "hostd/daemon/service_process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/error.h"
#include "platform/service_wire.h"

namespace hostd {

namespace {

void CloseIf(int fd) {
  if (fd >= 0) ::close(fd);
}

// The code a killed service reports (it could not say anything itself).
constexpr uint32_t kKilledExitCode = 1067;

}  // namespace

std::shared_ptr<ServiceProcess> ServiceProcess::Spawn(const SpawnRequest& request, Events* events, uint32_t* error) {
  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0) {
    *error = platform::ErrorFromErrno(errno);
    return nullptr;
  }
  int out = ::open(request.output.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  platform::LaunchOptions options;
  options.account = "SYSTEM";
  options.environment = request.environment;
  options.environment.emplace_back("VX_SERVICE_CHANNEL", "3");
  options.current_directory = request.current_directory;
  options.detach = true;
  options.fds_to_remap.emplace_back(sv[1], 3);
  if (out >= 0) {
    options.fds_to_remap.emplace_back(out, 1);
    options.fds_to_remap.emplace_back(out, 2);
  }
  std::shared_ptr<ServiceProcess> p(new ServiceProcess());
  bool started = platform::CreateProcess("", request.command_line, options, &p->process_);
  uint32_t launch_error = started ? 0 : platform::GetLastError();
  CloseIf(sv[1]);
  CloseIf(out);
  if (!started) {
    ::close(sv[0]);
    *error = launch_error;
    return nullptr;
  }
  p->pid_ = p->process_.pid();
  p->channel_ = sv[0];
  p->events_ = events;
  p->monitor_ = std::thread(&ServiceProcess::Monitor, p.get());
  return p;
}

ServiceProcess::~ServiceProcess() {
  if (!exited_) Kill();
  Join();
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
  if (!exited_) process_.Terminate(kKilledExitCode);
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
    pollfd p[2] = {{process_.fd(), POLLIN, 0}, {channel_open ? channel_ : -1, POLLIN, 0}};
    int n = ::poll(p, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    if (p[1].revents) drain(0);
    if (p[0].revents) break;
  }
  // Messages sent just before the end still count (a final STOPPED report).
  if (channel_open) drain(MSG_DONTWAIT);
  uint32_t code = kKilledExitCode;
  process_.WaitForExit(-1);
  process_.GetExitCode(&code);
  exited_ = true;
  events_->OnExit(this, code);
}

}  // namespace hostd
