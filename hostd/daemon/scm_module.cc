#include "hostd/daemon/scm_module.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <cstring>

#include "hostd/daemon/daemon.h"
#include "platform/error.h"
#include "platform/service_wire.h"

namespace hostd {

namespace wire = platform::service_wire;

namespace {

// Start arguments beyond this many are refused rather than read.
constexpr uint32_t kMaxStartArgs = 1024;
// Service handles one session may hold open.
constexpr size_t kMaxHandles = 4096;
// Connections served at once; more are closed at once.
constexpr size_t kMaxConnections = 256;

std::string ErrorReply(uint32_t code) {
  wire::Writer w;
  w.U32(code);
  return w.data();
}

}  // namespace

ScmModule::~ScmModule() {
  if (acceptor_.joinable()) Stop();
}

bool ScmModule::Start(Daemon& daemon, std::string* error) {
  daemon_ = &daemon;
  const DaemonOptions& opt = daemon.options();
  manager_ = std::make_unique<ServiceManager>(daemon.host(), daemon.log(),
                                              ManagerTimeouts{opt.start_timeout, opt.control_timeout, opt.stop_timeout});
  if (!manager_->Load(error)) return false;

  socket_path_ = daemon.host().RunDir() + "/scm.sock";
  sockaddr_un addr{};
  if (socket_path_.size() >= sizeof addr.sun_path) {
    *error = socket_path_ + ": path too long for a socket";
    return false;
  }
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, socket_path_.c_str(), socket_path_.size() + 1);
  // A socket left by a daemon that died; the daemon lock says none runs.
  ::unlink(socket_path_.c_str());
  listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listen_fd_, 64) != 0 || ::pipe2(wake_, O_CLOEXEC) != 0) {
    *error = socket_path_ + ": " + std::strerror(errno);
    if (listen_fd_ >= 0) ::close(listen_fd_);
    listen_fd_ = -1;
    return false;
  }
  // Clients are served while the auto-start services start (the boot), so
  // that a service may use the SCM before it reports; Start returns once
  // every one of them has reported or failed.
  acceptor_ = std::thread(&ScmModule::AcceptLoop, this);
  manager_->StartAutoServices();
  return true;
}

void ScmModule::Stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
    for (auto& w : workers_)
      if (!w.done) ::shutdown(w.fd, SHUT_RDWR);
  }
  if (wake_[1] >= 0) (void)!::write(wake_[1], "x", 1);
  if (acceptor_.joinable()) acceptor_.join();
  if (listen_fd_ >= 0) {
    ::close(listen_fd_);
    ::unlink(socket_path_.c_str());
    listen_fd_ = -1;
  }
  // Shut the services down first: a worker may wait for one to start.
  if (manager_) manager_->Shutdown();
  std::list<Worker> workers;
  {
    std::lock_guard<std::mutex> lock(mu_);
    workers.swap(workers_);
  }
  for (auto& w : workers) w.thread.join();
  for (int& fd : wake_)
    if (fd >= 0) {
      ::close(fd);
      fd = -1;
    }
  manager_.reset();
}

void ScmModule::AcceptLoop() {
  for (;;) {
    pollfd p[2] = {{listen_fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (::poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (p[1].revents) return;
    if (!p[0].revents) continue;
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      // Out of descriptors: let connections end before trying again.
      if (errno == EMFILE || errno == ENFILE) std::this_thread::sleep_for(std::chrono::milliseconds(50));
      continue;
    }
    std::list<Worker> finished;
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (auto it = workers_.begin(); it != workers_.end();) {
        auto next = std::next(it);
        if (it->done) finished.splice(finished.end(), workers_, it);
        it = next;
      }
      if (stopping_ || workers_.size() >= kMaxConnections) {
        ::close(fd);
      } else {
        workers_.emplace_back();
        Worker& w = workers_.back();
        w.fd = fd;
        w.thread = std::thread(&ScmModule::Serve, this, &w);
      }
    }
    for (auto& w : finished) w.thread.join();
  }
}

void ScmModule::Serve(Worker* worker) {
  ScmSession session(*manager_, daemon_->host().computer_name());
  std::string request;
  while (wire::ReadFrame(worker->fd, &request)) {
    if (!wire::WriteFrame(worker->fd, session.Handle(request))) break;
  }
  std::lock_guard<std::mutex> lock(mu_);
  ::close(worker->fd);
  worker->done = true;
}

std::unique_ptr<ScmSession> ScmModule::NewSession() {
  return std::make_unique<ScmSession>(*manager_, daemon_->host().computer_name());
}

ScmSession::ScmSession(ServiceManager& manager, std::string computer_name)
    : manager_(manager), computer_name_(std::move(computer_name)) {}

ServiceManager::Ref* ScmSession::Service(uint32_t handle) {
  auto it = handles_.find(handle);
  return it == handles_.end() ? nullptr : &it->second;
}

uint32_t ScmSession::AddHandle(ServiceManager::Ref service) {
  uint32_t h = next_handle_++;
  if (next_handle_ == 0) next_handle_ = 1;
  handles_[h] = std::move(service);
  return h;
}

std::string ScmSession::Handle(const std::string& request) {
  wire::Reader r(request);
  uint32_t op = 0;
  if (!r.U32(&op)) return ErrorReply(platform::kErrorInvalidData);
  wire::Writer out;
  std::string name;
  uint32_t handle = 0;
  ServiceManager::Ref* service = nullptr;
  // Operations on an open service start with its handle.
  bool on_service = op == wire::kOpStartService || op == wire::kOpControlService || op == wire::kOpQueryStatus ||
                    op == wire::kOpDeleteService || op == wire::kOpQueryConfig || op == wire::kOpCloseHandle;
  if (on_service) {
    if (!r.U32(&handle)) return ErrorReply(platform::kErrorInvalidData);
    service = Service(handle);
    if (!service) return ErrorReply(platform::kErrorInvalidHandle);
  }
  switch (op) {
    case wire::kOpHello: {
      uint32_t version = 0;
      if (!r.U32(&version) || !r.AtEnd()) break;
      if (version != wire::kProtocolVersion) return ErrorReply(platform::kErrorNotSupported);
      out.U32(0);
      out.U32(wire::kProtocolVersion);
      out.Text(computer_name_);
      return out.data();
    }
    case wire::kOpOpenService:
    case wire::kOpCreateService: {
      if (handles_.size() >= kMaxHandles) return ErrorReply(platform::kErrorTooManyOpenFiles);
      ServiceManager::Ref opened;
      uint32_t rc;
      if (op == wire::kOpOpenService) {
        if (!r.Text(&name) || !r.AtEnd()) break;
        rc = manager_.Open(name, &opened);
      } else {
        platform::ServiceConfig c;
        if (!r.Config(&c) || !r.AtEnd()) break;
        rc = manager_.Create(c, &opened);
      }
      if (rc != 0) return ErrorReply(rc);
      std::string stored = manager_.NameOf(opened);
      out.U32(0);
      out.U32(AddHandle(std::move(opened)));
      out.Text(stored);
      return out.data();
    }
    case wire::kOpStartService: {
      uint32_t argc = 0;
      if (!r.U32(&argc) || argc > kMaxStartArgs) break;
      std::vector<std::string> args;
      bool ok = true;
      for (uint32_t i = 0; ok && i < argc; ++i) {
        std::string a;
        ok = r.Text(&a);
        args.push_back(std::move(a));
      }
      if (!ok || !r.AtEnd()) break;
      return ErrorReply(manager_.Start(*service, args));
    }
    case wire::kOpControlService: {
      uint32_t control = 0;
      if (!r.U32(&control) || !r.AtEnd()) break;
      platform::SERVICE_STATUS st;
      uint32_t rc = manager_.Control(*service, control, &st);
      if (rc != 0) return ErrorReply(rc);
      out.U32(0);
      out.Status(st);
      return out.data();
    }
    case wire::kOpQueryStatus: {
      if (!r.AtEnd()) break;
      platform::SERVICE_STATUS st;
      uint32_t rc = manager_.QueryStatus(*service, &st);
      if (rc != 0) return ErrorReply(rc);
      out.U32(0);
      out.Status(st);
      return out.data();
    }
    case wire::kOpDeleteService:
      if (!r.AtEnd()) break;
      return ErrorReply(manager_.Delete(*service));
    case wire::kOpQueryConfig: {
      if (!r.AtEnd()) break;
      platform::ServiceConfig c;
      uint32_t rc = manager_.QueryConfig(*service, &c);
      if (rc != 0) return ErrorReply(rc);
      out.U32(0);
      out.Config(c);
      return out.data();
    }
    case wire::kOpCloseHandle:
      if (!r.AtEnd()) break;
      handles_.erase(handle);
      return ErrorReply(0);
    case wire::kOpEnumServices: {
      if (!r.AtEnd()) break;
      auto list = manager_.Enumerate();
      out.U32(0);
      out.U32(static_cast<uint32_t>(list.size()));
      for (const auto& e : list) {
        out.Text(e.name);
        out.Text(e.display_name);
        out.Status(e.status);
      }
      return out.data();
    }
    default:
      return ErrorReply(platform::kErrorInvalidFunction);
  }
  return ErrorReply(platform::kErrorInvalidData);
}

}  // namespace hostd
