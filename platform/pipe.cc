#include "platform/pipe.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/host.h"
#include "platform/path.h"
#include "platform/strings.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

std::atomic<RemotePipeConnector*> g_remote_connector{nullptr};

// Instance state byte kept in the instance file.
constexpr char kStateListening = 'L';
constexpr char kStateBusy = 'B';

// Longest pipe name: the instance file adds ".lock" and must stay a valid
// file name.
constexpr size_t kMaxPipeName = 250;

void CloseFd(int* fd) {
  if (*fd >= 0) ::close(*fd);
  *fd = -1;
}

// The folders of the current host that local pipes live in.
struct PipePlaces {
  std::string sockets;    // <root>/run/pipe: one socket per listening pipe
  std::string instances;  // <root>/run/pipeinst: owner lock + state per pipe
  std::string temp;       // <root>/run/pipeinst/tmp: sockets about to be named
};

bool MakeDir(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) return true;
  return FailErrno(errno);
}

bool GetPlaces(bool create, PipePlaces* places) {
  Host* host = Host::Current();
  if (!host) return Fail(kErrorPathNotFound);
  PipePlaces p;
  p.sockets = host->PipeDir();
  p.instances = host->RunDir() + "/pipeinst";
  p.temp = p.instances + "/tmp";
  if (create) {
    const std::string run = host->RunDir();  // normally made by Host::Create
    for (const std::string& dir : {run, p.sockets, p.instances, p.temp}) {
      if (!MakeDir(dir)) return false;
    }
  }
  *places = std::move(p);
  return true;
}

// The pipe name of a "\\.\pipe\X" text, or false with 123.
bool ParsePipeName(std::string_view path, WindowsPath* parsed) {
  WindowsPath wp = ParseWindowsPath(path);
  if (wp.kind != PathKind::kLocalPipe && wp.kind != PathKind::kRemotePipe) {
    return Fail(kErrorInvalidName);
  }
  const std::string& n = wp.pipe_name;
  if (n.empty() || n == "." || n == ".." || n.find('/') != std::string::npos ||
      n.find('\0') != std::string::npos) {
    return Fail(kErrorInvalidName);
  }
  if (n.size() > kMaxPipeName) return Fail(kErrorFilenameExcedRange);
  *parsed = std::move(wp);
  return true;
}

std::string InstancePath(const PipePlaces& places, const std::string& name) {
  return places.instances + "/" + ToLowerAscii(name) + ".lock";
}

// A socket address for `dir`/`name`. Paths longer than sun_path are reached
// through /proc/self/fd of the opened folder.
class SocketAddress {
 public:
  ~SocketAddress() { CloseFd(&dir_fd_); }
  bool Set(const std::string& dir, const std::string& name) {
    std::string path = dir + "/" + name;
    if (path.size() >= sizeof(addr_.sun_path)) {
      dir_fd_ = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
      if (dir_fd_ < 0) return FailErrno(errno);
      path = "/proc/self/fd/" + std::to_string(dir_fd_) + "/" + name;
      if (path.size() >= sizeof(addr_.sun_path)) return Fail(kErrorFilenameExcedRange);
    }
    std::memset(&addr_, 0, sizeof addr_);
    addr_.sun_family = AF_UNIX;
    std::memcpy(addr_.sun_path, path.data(), path.size());
    return true;
  }
  const sockaddr* addr() const { return reinterpret_cast<const sockaddr*>(&addr_); }
  socklen_t size() const { return sizeof addr_; }

 private:
  sockaddr_un addr_{};
  int dir_fd_ = -1;
};

// The stored spelling of `name` in `dir` when it differs only in case.
bool FindEntryIgnoringCase(const std::string& dir, const std::string& name, std::string* found) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) return false;
  bool ok = false;
  while (dirent* e = ::readdir(d)) {
    if (EqualsIgnoreCase(e->d_name, name)) {
      *found = e->d_name;
      ok = true;
      break;
    }
  }
  ::closedir(d);
  return ok;
}

enum class InstanceState { kNone, kListening, kBusy };

// What the owner of the pipe's instance file says, without disturbing it.
InstanceState ProbeInstance(const std::string& instance_path) {
  int fd = ::open(instance_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return InstanceState::kNone;
  struct flock lk {};
  lk.l_type = F_WRLCK;
  lk.l_whence = SEEK_SET;
  InstanceState state = InstanceState::kNone;
  if (::fcntl(fd, F_OFD_GETLK, &lk) == 0 && lk.l_type != F_UNLCK) {
    char c = 0;
    state = (::pread(fd, &c, 1, 0) == 1 && c == kStateListening) ? InstanceState::kListening
                                                                  : InstanceState::kBusy;
  }
  ::close(fd);
  return state;
}

// One connected SOCK_SEQPACKET socket with the message discipline of a
// message-mode pipe: the unread rest of a message read in parts is kept.
class MessageSocket {
 public:
  explicit MessageSocket(const std::atomic<bool>* cancelled = nullptr) : cancelled_(cancelled) {}
  ~MessageSocket() { CloseFd(&fd_); }

  int fd() const { return fd_; }
  void Reset(int fd) {
    CloseFd(&fd_);
    fd_ = fd;
    rest_.clear();
    rest_pos_ = 0;
    reset_seen_ = false;
  }

  bool Read(void* buffer, uint32_t size, uint32_t* read) {
    if (rest_pos_ < rest_.size()) return Deliver(buffer, size, read);
    for (;;) {
      if (Cancelled()) return Fail(kErrorOperationAborted);
      ssize_t n = ::recv(fd_, nullptr, 0, MSG_PEEK | MSG_TRUNC);
      if (n < 0) {
        if (errno == EINTR) continue;
        // A reset reported by the peer's close comes before the messages
        // it left behind; those are still read.
        if (errno == ECONNRESET && !reset_seen_) {
          reset_seen_ = true;
          continue;
        }
        return ReadError(errno);
      }
      if (n == 0) {
        // Empty messages are never sent, so this is the peer's close.
        if (Cancelled()) return Fail(kErrorOperationAborted);
        return Fail(kErrorBrokenPipe);
      }
      if (static_cast<size_t>(n) <= size) {
        ssize_t got = RecvRetry(buffer, size);
        if (got < 0) return ReadError(errno);
        if (got == 0) return Fail(kErrorBrokenPipe);
        *read = static_cast<uint32_t>(got);
        return true;
      }
      // Larger than the buffer: take the whole message (its size is what
      // the kernel holds, so the allocation is bounded by real data).
      rest_.resize(static_cast<size_t>(n));
      ssize_t got = RecvRetry(rest_.data(), rest_.size());
      if (got <= 0) {
        rest_.clear();
        return got < 0 ? ReadError(errno) : Fail(kErrorBrokenPipe);
      }
      rest_.resize(static_cast<size_t>(got));
      rest_pos_ = 0;
      return Deliver(buffer, size, read);
    }
  }

  bool Write(const void* data, uint32_t size, uint32_t* written) {
    if (Cancelled()) return Fail(kErrorOperationAborted);
    if (size == 0) {
      *written = 0;
      return true;
    }
    for (;;) {
      ssize_t n = ::send(fd_, data, size, MSG_NOSIGNAL);
      if (n >= 0) {
        *written = static_cast<uint32_t>(n);
        return true;
      }
      if (errno == EINTR) continue;
      if (Cancelled()) return Fail(kErrorOperationAborted);
      if (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN) return Fail(kErrorBrokenPipe);
      if (errno == EMSGSIZE) return Fail(kErrorInvalidParameter);
      return FailErrno(errno);
    }
  }

  // Waits until the peer has taken every message written (the bytes still
  // charged to this socket drop to zero when the peer reads or closes).
  bool Flush() {
    if (Cancelled()) return Fail(kErrorOperationAborted);
    pollfd p{fd_, 0, 0};
    if (::poll(&p, 1, 0) == 1 && (p.revents & POLLHUP)) return Fail(kErrorBrokenPipe);
    auto pause = std::chrono::microseconds(10);
    for (int round = 0;; ++round) {
      int queued = 0;
      if (::ioctl(fd_, SIOCOUTQ, &queued) != 0) return FailErrno(errno);
      if (queued == 0) return true;
      if (Cancelled()) return Fail(kErrorOperationAborted);
      if (round < 20) {
        sched_yield();
      } else {
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(1000));
      }
    }
  }

 private:
  bool Cancelled() const { return cancelled_ && cancelled_->load(std::memory_order_relaxed); }

  ssize_t RecvRetry(void* buffer, size_t size) {
    for (;;) {
      ssize_t n = ::recv(fd_, buffer, size, 0);
      if (n < 0 && errno == EINTR) continue;
      return n;
    }
  }

  bool ReadError(int err) {
    if (Cancelled()) return Fail(kErrorOperationAborted);
    if (err == ECONNRESET || err == EPIPE || err == ENOTCONN) return Fail(kErrorBrokenPipe);
    return FailErrno(err);
  }

  bool Deliver(void* buffer, uint32_t size, uint32_t* read) {
    size_t left = rest_.size() - rest_pos_;
    size_t n = std::min<size_t>(left, size);
    if (n) std::memcpy(buffer, rest_.data() + rest_pos_, n);
    rest_pos_ += n;
    *read = static_cast<uint32_t>(n);
    if (rest_pos_ < rest_.size()) return Fail(kErrorMoreData);
    rest_.clear();
    rest_pos_ = 0;
    return true;
  }

  int fd_ = -1;
  const std::atomic<bool>* cancelled_;
  std::string rest_;
  size_t rest_pos_ = 0;
  bool reset_seen_ = false;
};

class LocalPipeConnection : public PipeConnection {
 public:
  explicit LocalPipeConnection(int fd) { socket_.Reset(fd); }
  bool Read(void* buffer, uint32_t size, uint32_t* read) override {
    return socket_.Read(buffer, size, read);
  }
  bool Write(const void* data, uint32_t size, uint32_t* written) override {
    return socket_.Write(data, size, written);
  }
  bool Flush() override { return socket_.Flush(); }

 private:
  MessageSocket socket_;
};

// Connects to the local pipe `name` without waiting.
std::unique_ptr<PipeConnection> OpenLocal(const std::string& name) {
  PipePlaces places;
  if (!GetPlaces(false, &places)) return nullptr;
  std::string entry = name;
  for (int attempt = 0; attempt < 2; ++attempt) {
    SocketAddress addr;
    if (!addr.Set(places.sockets, entry)) return nullptr;
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
      FailErrno(errno);
      return nullptr;
    }
    if (::connect(fd, addr.addr(), addr.size()) == 0) {
      int flags = ::fcntl(fd, F_GETFL);
      ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
      return std::make_unique<LocalPipeConnection>(fd);
    }
    int err = errno;
    ::close(fd);
    switch (err) {
      case ENOENT:
        // Pipe names ignore case; the socket keeps its creator's spelling.
        if (attempt == 0 && FindEntryIgnoringCase(places.sockets, name, &entry) && entry != name) {
          continue;
        }
        Fail(kErrorFileNotFound);
        return nullptr;
      case EAGAIN:
        // Another client already holds the one place of the instance.
        Fail(kErrorPipeBusy);
        return nullptr;
      case ECONNREFUSED:
        // The instance serves a client, or its owner died.
        Fail(ProbeInstance(InstancePath(places, name)) == InstanceState::kNone ? kErrorFileNotFound
                                                                               : kErrorPipeBusy);
        return nullptr;
      default:
        FailErrno(err);
        return nullptr;
    }
  }
  Fail(kErrorFileNotFound);
  return nullptr;
}

bool WaitLocal(const std::string& name, uint32_t timeout_ms) {
  PipePlaces places;
  if (!GetPlaces(false, &places)) return false;
  const std::string instance = InstancePath(places, name);
  if (timeout_ms == kPipeWaitDefault) timeout_ms = kPipeDefaultTimeoutMs;
  const bool forever = timeout_ms == kPipeWaitForever;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeout_ms);

  // Changes of the instance files wake the wait; a slice bound keeps it
  // going should a notification be missed. Closing an inotify descriptor
  // takes milliseconds, so each thread keeps its own, made on first need.
  struct Watch {
    int fd = -1;
    std::string dir;
    ~Watch() { CloseFd(&fd); }
  };
  thread_local Watch tw;
  auto drain = []() {
    alignas(inotify_event) char events[4096];
    ssize_t n;
    while (tw.fd >= 0 && (n = ::read(tw.fd, events, sizeof events)) > 0) {
      for (ssize_t off = 0; off + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
        const auto* ev = reinterpret_cast<const inotify_event*>(events + off);
        if (ev->mask & IN_IGNORED) tw.dir.clear();  // folder gone: watch afresh next time
        off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
      }
    }
  };
  bool first = true;
  bool watching = false;
  bool result = false;
  for (;;) {
    InstanceState state = ProbeInstance(instance);
    if (state == InstanceState::kListening) {
      result = true;
      break;
    }
    if (state == InstanceState::kNone && first) {
      Fail(kErrorFileNotFound);
      break;
    }
    first = false;
    if (!watching) {
      watching = true;
      if (tw.dir != places.instances) {
        CloseFd(&tw.fd);
        tw.dir.clear();
        tw.fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (tw.fd >= 0 && ::inotify_add_watch(tw.fd, places.instances.c_str(),
                                              IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE |
                                                  IN_MOVED_TO) >= 0) {
          tw.dir = places.instances;
        } else {
          CloseFd(&tw.fd);
        }
      }
      drain();  // older changes say nothing about now
      continue;  // look again now that changes are seen
    }
    int slice = 100;
    if (!forever) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) {
        Fail(kErrorSemTimeout);
        break;
      }
      slice = static_cast<int>(std::min<long long>(left, slice));
    }
    if (tw.fd >= 0) {
      pollfd p{tw.fd, POLLIN, 0};
      if (::poll(&p, 1, slice) > 0) drain();
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min(slice, 5)));
    }
  }
  return result;
}

std::atomic<uint64_t> g_temp_counter{0};

}  // namespace

void RegisterRemotePipeConnector(RemotePipeConnector* connector) {
  g_remote_connector.store(connector);
}

bool WaitNamedPipe(std::string_view name, uint32_t timeout_ms) {
  WindowsPath wp;
  if (!ParsePipeName(name, &wp)) return false;
  if (wp.kind == PathKind::kRemotePipe) {
    RemotePipeConnector* connector = g_remote_connector.load();
    if (!connector) return Fail(kErrorBadNetPath);
    return connector->Wait(wp.host, wp.pipe_name, timeout_ms);
  }
  return WaitLocal(wp.pipe_name, timeout_ms);
}

// ---------------------------------------------------------------------------
// PipeClient

PipeClient::PipeClient() = default;
PipeClient::~PipeClient() = default;
PipeClient::PipeClient(PipeClient&& other) noexcept = default;
PipeClient& PipeClient::operator=(PipeClient&& other) noexcept = default;
PipeClient::PipeClient(std::unique_ptr<PipeConnection> impl) : impl_(std::move(impl)) {}

bool PipeClient::Open(std::string_view name) {
  Close();
  WindowsPath wp;
  if (!ParsePipeName(name, &wp)) return false;
  std::unique_ptr<PipeConnection> conn;
  if (wp.kind == PathKind::kRemotePipe) {
    RemotePipeConnector* connector = g_remote_connector.load();
    if (!connector) return Fail(kErrorBadNetPath);
    conn = connector->Open(wp.host, wp.pipe_name);
  } else {
    conn = OpenLocal(wp.pipe_name);
  }
  if (!conn) return false;
  impl_ = std::move(conn);
  return true;
}

void PipeClient::Close() { impl_.reset(); }

bool PipeClient::Read(void* buffer, uint32_t size, uint32_t* read) {
  if (!impl_) return Fail(kErrorInvalidHandle);
  return impl_->Read(buffer, size, read);
}

bool PipeClient::Write(const void* data, uint32_t size, uint32_t* written) {
  if (!impl_) return Fail(kErrorInvalidHandle);
  return impl_->Write(data, size, written);
}

bool PipeClient::Flush() {
  if (!impl_) return Fail(kErrorInvalidHandle);
  return impl_->Flush();
}

// ---------------------------------------------------------------------------
// PipeServer

struct PipeServer::State {
  State() : conn(&cancelled) {}
  PipePlaces places;
  std::string name;           // as the creator spelt it
  std::string socket_path;    // <sockets>/<name>
  std::string instance_path;  // <instances>/<lower name>.lock
  int instance_fd = -1;       // holds the owner lock while the instance lives
  int listen_fd = -1;
  bool listener_spent = false;  // shut down to refuse further clients
  MessageSocket conn;
  bool connected = false;
  std::atomic<bool> cancelled{false};
  std::mutex mu;  // guards the descriptors against Cancel

  void SetState(char c) {
    if (instance_fd >= 0 && ::pwrite(instance_fd, &c, 1, 0) != 1) {
      // The state only steers WaitNamedPipe; opens still tell the truth.
    }
  }

  // A fresh listening socket, bound under a temporary name and then moved
  // onto the pipe's name, so that clients never find the name missing.
  bool Listen() {
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return FailErrno(errno);
    std::string temp_name = std::to_string(::getpid()) + "-" + std::to_string(++g_temp_counter);
    std::string temp_path = places.temp + "/" + temp_name;
    ::unlink(temp_path.c_str());
    SocketAddress addr;
    if (!addr.Set(places.temp, temp_name)) {
      ::close(fd);
      return false;
    }
    // Backlog 0 admits exactly one waiting connection: the instance's one
    // client. Later clients find the queue full and are told the pipe is busy.
    if (::bind(fd, addr.addr(), addr.size()) != 0 || ::chmod(temp_path.c_str(), 0600) != 0 ||
        ::listen(fd, 0) != 0 || ::rename(temp_path.c_str(), socket_path.c_str()) != 0) {
      int err = errno;
      ::unlink(temp_path.c_str());
      ::close(fd);
      return FailErrno(err);
    }
    std::lock_guard<std::mutex> lock(mu);
    CloseFd(&listen_fd);
    listen_fd = fd;
    listener_spent = false;
    if (cancelled) ::shutdown(listen_fd, SHUT_RDWR);
    return true;
  }
};

PipeServer::PipeServer() = default;
PipeServer::~PipeServer() { Close(); }

bool PipeServer::IsValid() const { return state_ != nullptr; }

bool PipeServer::Create(std::string_view name) {
  Close();
  WindowsPath wp;
  if (!ParsePipeName(name, &wp)) return false;
  if (wp.kind != PathKind::kLocalPipe) return Fail(kErrorInvalidName);
  auto st = std::make_unique<State>();
  if (!GetPlaces(true, &st->places)) return false;
  st->name = wp.pipe_name;
  st->socket_path = st->places.sockets + "/" + st->name;
  st->instance_path = InstancePath(st->places, st->name);

  // Own the name: a write lock on the instance file, held for the
  // instance's lifetime, which the kernel drops should this process die.
  for (int attempt = 0;; ++attempt) {
    int fd = ::open(st->instance_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return FailErrno(errno);
    struct flock lk {};
    lk.l_type = F_WRLCK;
    lk.l_whence = SEEK_SET;
    if (::fcntl(fd, F_OFD_SETLK, &lk) != 0) {
      int err = errno;
      ::close(fd);
      if (err == EAGAIN || err == EACCES) return Fail(kErrorPipeBusy);
      return FailErrno(err);
    }
    // The previous owner may have removed the file between our open and
    // our lock; a lock on a removed file owns nothing.
    struct stat by_fd {}, by_path {};
    if (::fstat(fd, &by_fd) == 0 && ::stat(st->instance_path.c_str(), &by_path) == 0 &&
        by_fd.st_ino == by_path.st_ino && by_fd.st_dev == by_path.st_dev) {
      st->instance_fd = fd;
      break;
    }
    ::close(fd);
    if (attempt > 100) return Fail(kErrorPipeBusy);
  }
  st->SetState(kStateBusy);

  // Sockets left by a dead owner, in any spelling of the name.
  if (DIR* d = ::opendir(st->places.sockets.c_str())) {
    while (dirent* e = ::readdir(d)) {
      if (EqualsIgnoreCase(e->d_name, st->name)) ::unlinkat(dirfd(d), e->d_name, 0);
    }
    ::closedir(d);
  }
  if (!st->Listen()) {
    uint32_t err = GetLastError();
    ::unlink(st->instance_path.c_str());
    CloseFd(&st->instance_fd);
    return Fail(err);
  }
  st->SetState(kStateListening);
  state_ = std::move(st);
  return true;
}

void PipeServer::Close() {
  if (!state_) return;
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->conn.Reset(-1);
    CloseFd(&state_->listen_fd);
  }
  // Unnamed before the lock goes, so a new owner never meets our leftovers.
  ::unlink(state_->socket_path.c_str());
  ::unlink(state_->instance_path.c_str());
  CloseFd(&state_->instance_fd);
  state_.reset();
}

bool PipeServer::Connect() {
  if (!state_) return Fail(kErrorInvalidHandle);
  State& st = *state_;
  if (st.cancelled) return Fail(kErrorOperationAborted);
  if (st.connected) return true;
  if (st.listen_fd < 0) return Fail(kErrorInvalidHandle);
  for (;;) {
    pollfd p{st.listen_fd, POLLIN, 0};
    int rc = ::poll(&p, 1, -1);
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) return FailErrno(errno);
    if (st.cancelled) return Fail(kErrorOperationAborted);
    // Refuse further clients before taking this one, so nobody slips into
    // the queue behind it.
    ::shutdown(st.listen_fd, SHUT_RD);
    st.listener_spent = true;
    int fd = ::accept4(st.listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR) continue;
      if (st.cancelled) return Fail(kErrorOperationAborted);
      if (errno == EAGAIN) {
        // Woken without a client (should not happen): listen afresh.
        if (!st.Listen()) return false;
        continue;
      }
      return FailErrno(errno);
    }
    {
      std::lock_guard<std::mutex> lock(st.mu);
      st.conn.Reset(fd);
      if (st.cancelled) ::shutdown(fd, SHUT_RDWR);
    }
    st.connected = true;
    st.SetState(kStateBusy);
    return true;
  }
}

bool PipeServer::Disconnect() {
  if (!state_) return Fail(kErrorInvalidHandle);
  State& st = *state_;
  {
    std::lock_guard<std::mutex> lock(st.mu);
    st.conn.Reset(-1);
  }
  st.connected = false;
  // A listener that was shut down, or that holds a client never taken with
  // Connect, is replaced; an idle one keeps listening.
  bool replace = st.listener_spent || st.listen_fd < 0;
  if (!replace) {
    pollfd p{st.listen_fd, POLLIN, 0};
    replace = ::poll(&p, 1, 0) == 1;
  }
  if (replace && !st.Listen()) return false;
  st.SetState(kStateListening);
  return true;
}

bool PipeServer::Read(void* buffer, uint32_t size, uint32_t* read) {
  if (!state_) return Fail(kErrorInvalidHandle);
  if (!state_->connected) return Fail(state_->cancelled ? kErrorOperationAborted : kErrorPipeNotConnected);
  return state_->conn.Read(buffer, size, read);
}

bool PipeServer::Write(const void* data, uint32_t size, uint32_t* written) {
  if (!state_) return Fail(kErrorInvalidHandle);
  if (!state_->connected) return Fail(state_->cancelled ? kErrorOperationAborted : kErrorPipeNotConnected);
  return state_->conn.Write(data, size, written);
}

bool PipeServer::Flush() {
  if (!state_) return Fail(kErrorInvalidHandle);
  if (!state_->connected) return Fail(state_->cancelled ? kErrorOperationAborted : kErrorPipeNotConnected);
  return state_->conn.Flush();
}

void PipeServer::Cancel() {
  if (!state_) return;
  State& st = *state_;
  st.cancelled = true;
  std::lock_guard<std::mutex> lock(st.mu);
  if (st.listen_fd >= 0) ::shutdown(st.listen_fd, SHUT_RDWR);
  if (st.conn.fd() >= 0) ::shutdown(st.conn.fd(), SHUT_RDWR);
}

// ---------------------------------------------------------------------------
// File::Open on pipe names

namespace {

// A pipe connection behind a File handle: reads, writes and flushes go to
// the pipe; what only files have fails with 1.
class PipeOpenFile : public OpenFile {
 public:
  explicit PipeOpenFile(PipeClient client) : client_(std::move(client)) {}
  bool Read(void* buffer, uint32_t size, uint32_t* read) override {
    return client_.Read(buffer, size, read);
  }
  bool Write(const void* data, uint32_t size, uint32_t* written) override {
    return client_.Write(data, size, written);
  }
  bool Flush() override { return client_.Flush(); }
  bool Seek(int64_t, SeekOrigin, uint64_t*) override { return Fail(kErrorInvalidFunction); }
  bool GetSize(uint64_t*) override { return Fail(kErrorInvalidFunction); }
  bool SetEndOfFile() override { return Fail(kErrorInvalidFunction); }
  bool GetTimes(FileTimes*) override { return Fail(kErrorInvalidFunction); }
  bool SetTimes(const FileTimes&) override { return Fail(kErrorInvalidFunction); }

 private:
  PipeClient client_;
};

class PipeFileSystem : public FileSystem {
 public:
  std::unique_ptr<OpenFile> Open(const std::string& path, uint32_t, uint32_t, uint32_t,
                                 uint32_t) override {
    PipeClient client;
    if (!client.Open(path)) return nullptr;
    return std::make_unique<PipeOpenFile>(std::move(client));
  }
  bool Delete(const std::string&) override { return Fail(kErrorAccessDenied); }
  bool Move(const std::string&, const std::string&, bool) override { return Fail(kErrorAccessDenied); }
  bool Copy(const std::string&, const std::string&, bool) override { return Fail(kErrorAccessDenied); }
  bool CreateDirectory(const std::string&) override { return Fail(kErrorAccessDenied); }
  bool RemoveDirectory(const std::string&) override { return Fail(kErrorAccessDenied); }
  uint32_t GetAttributes(const std::string&) override {
    SetLastError(kErrorAccessDenied);
    return kInvalidFileAttributes;
  }
  bool SetAttributes(const std::string&, uint32_t) override { return Fail(kErrorAccessDenied); }
  std::unique_ptr<FindFile::Impl> FindFirst(const std::string&, FindData*) override {
    Fail(kErrorFileNotFound);
    return nullptr;
  }
};

// Installed when this module is part of the program.
const bool g_pipe_file_system_installed = [] {
  static PipeFileSystem fs;
  RegisterPipeFileSystem(&fs);
  return true;
}();

}  // namespace

}  // namespace platform
