#include "hostd/remote/server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <span>
#include <vector>

#include "hostd/remote/accounts.h"
#include "hostd/remote/share_path.h"
#include "hostd/remote/tls_identity.h"
#include "platform/debug.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/path.h"
#include "platform/pipe.h"
#include "platform/service.h"
#include "platform/strings.h"

namespace hostd::remote {
namespace pr = platform::remote;
namespace {

constexpr uint32_t kErrorRequestNotAccepted = 71;  // no more connections to this computer
// Local pipe messages are bounded by the socket send buffer (about 200 KB).
constexpr size_t kRelayBuffer = 1024 * 1024;

uint32_t ErrnoCode(int err) { return platform::ErrorFromErrno(err); }

std::string PeerText(const sockaddr_storage& ss) {
  char buf[INET6_ADDRSTRLEN] = "?";
  if (ss.ss_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(ss).sin_addr, buf, sizeof buf);
  else if (ss.ss_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(ss).sin6_addr, buf, sizeof buf);
  return buf;
}

// The stored name of `name` in `dir`, compared without regard to case.
std::string FindEntryIgnoreCase(const std::string& dir, const std::string& name) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) return {};
  std::string found;
  while (dirent* e = ::readdir(d)) {
    if (platform::EqualsIgnoreCase(e->d_name, name)) {
      found = e->d_name;
      break;
    }
  }
  ::closedir(d);
  return found;
}

int ConnectUnix(const std::string& path, int type) {
  sockaddr_un addr{};
  if (path.size() >= sizeof addr.sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  // Non-blocking: a pipe whose one instance is taken has a full queue,
  // and a blocking connect would wait for it instead of failing.
  int fd = ::socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    int e = errno;
    ::close(fd);
    errno = e;
    return -1;
  }
  int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}


}  // namespace

int ConnectLocalSocket(const platform::Host& host, const std::string& name) {
  std::string stored = FindEntryIgnoreCase(host.PipeDir(), name);
  if (stored.empty()) {
    platform::SetLastError(platform::kErrorFileNotFound);
    return -1;
  }
  int fd = ConnectUnix(host.PipeDir() + "/" + stored, SOCK_SEQPACKET);
  if (fd >= 0) return fd;
  int e = errno;
  // No listener or a full backlog: the instance serves someone else.
  platform::SetLastError(e == ENOENT ? platform::kErrorFileNotFound
                         : (e == ECONNREFUSED || e == EAGAIN) ? platform::kErrorPipeBusy
                                                              : ErrnoCode(e));
  return -1;
}

namespace {

// WaitNamedPipe on this host: 2 when the pipe does not exist, 121 when no
// instance became free in time.
bool WaitLocalPipe(const std::string& name, uint32_t wait_ms) {
  return platform::WaitNamedPipe("\\\\.\\pipe\\" + name, wait_ms);
}

// A service-manager conversation through the host's run/scm.sock.
ScmHandler LocalScmHandler() {
  std::shared_ptr<platform::ScmTransport> t = platform::ConnectLocalScm();
  if (!t) return nullptr;
  return [t](const std::string& request, std::string* reply) { return t->RoundTrip(request, reply); };
}

}  // namespace

// One session's state; lives on its thread.
struct Server::Session {
  Session(Server& s, pr::TlsConnection& c, std::string p) : server(s), conn(c), peer(std::move(p)) {}
  Server& server;
  pr::TlsConnection& conn;
  std::string peer;
  std::string user;       // empty until logged on
  bool admin = false;
  uint32_t next_handle = 1;
  std::map<uint32_t, platform::File> files;
  struct Find {
    platform::FindFile find;
    bool has_pending = false;
    platform::FindData pending;
  };
  std::map<uint32_t, std::unique_ptr<Find>> finds;

  // Set by a request that turns the session into a relay.
  int relay_fd = -1;
  ScmHandler scm;

  std::string Reply(uint32_t status, const std::string& payload = {}) {
    pr::WireWriter w;
    w.U32(status).Raw(payload);
    return w.Take();
  }
  std::string Error(uint32_t code) { return Reply(code == 0 ? platform::kErrorGenFailure : code); }
  std::string LastError() { return Error(platform::GetLastError()); }

  std::string Handle(const std::string& body);
  std::string Logon(pr::WireReader& r);
  std::string FileOp(uint8_t op, pr::WireReader& r);
  std::string Pipe(uint8_t op, pr::WireReader& r);
  std::string Scm(uint8_t op, pr::WireReader& r);
  bool LocalPath(const std::string& rel, bool wild, std::string* win) {
    return SharePathToLocal(server.host_, rel, wild, win);
  }
  void AppendFind(pr::WireWriter& w, Find& f, uint32_t handle);
};

std::string Server::Session::Handle(const std::string& body) {
  pr::WireReader r(body);
  uint8_t op;
  if (!r.U8(&op)) return Error(platform::kErrorInvalidParameter);
  if (op == pr::kOpLogon) return Logon(r);
  // Nothing is served without a session.
  if (user.empty()) return Error(platform::kErrorAccessDenied);
  switch (op) {
    case pr::kOpTreeConnect: {
      std::string share;
      if (!r.Str(&share, 256) || !r.AtEnd()) return Error(platform::kErrorInvalidParameter);
      if (platform::EqualsIgnoreCase(share, "IPC$")) return Reply(0);
      if (!platform::EqualsIgnoreCase(share, "ADMIN$")) return Error(platform::kErrorBadNetName);
      if (!admin) {
        server.Log("peer " + peer + ": user " + user + " refused ADMIN$ (not an administrator)");
        return Error(platform::kErrorAccessDenied);
      }
      return Reply(0);
    }
    case pr::kOpPipeWait:
    case pr::kOpPipeOpen:
      return Pipe(op, r);
    case pr::kOpScmOpen:
    case pr::kOpScmCall:
      return Scm(op, r);
    default:
      break;
  }
  if (op >= pr::kOpOpen && op <= pr::kOpSetExecutable) {
    if (!admin) return Error(platform::kErrorAccessDenied);
    return FileOp(op, r);
  }
  return Error(platform::kErrorInvalidFunction);
}

std::string Server::Session::Logon(pr::WireReader& r) {
  std::string name, password;
  if (!r.Str(&name, 256) || !r.Str(&password, 1024) || !r.AtEnd())
    return Error(platform::kErrorInvalidParameter);
  std::string error;
  AccountsFile accounts;
  const Account* account = nullptr;
  if (AccountsFile::Load(server.host_.AccountsFile(), &accounts, &error)) {
    account = accounts.Find(name);
  } else {
    server.Log("accounts: " + error);
  }
  bool ok = false;
  if (account && !account->password_hash.empty()) {
    // A keyed digest of the password lets repeated logons of the same
    // user skip the deliberately slow hash.
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int dlen = 0;
    std::string material = platform::ToLowerAscii(account->name) + '\0' + password;
    EVP_Digest(material.data(), material.size(), digest, &dlen, EVP_sha256(), nullptr);
    std::string keyed(reinterpret_cast<char*>(server.cache_key_), sizeof server.cache_key_);
    keyed.append(reinterpret_cast<char*>(digest), dlen);
    EVP_Digest(keyed.data(), keyed.size(), digest, &dlen, EVP_sha256(), nullptr);
    std::string d(reinterpret_cast<char*>(digest), dlen);
    std::string key = platform::ToLowerAscii(account->name);
    {
      std::lock_guard<std::mutex> lock(server.cache_mu_);
      auto it = server.logon_cache_.find(key);
      ok = it != server.logon_cache_.end() && it->second.first == account->password_hash &&
           it->second.second.size() == d.size() &&
           CRYPTO_memcmp(it->second.second.data(), d.data(), d.size()) == 0;
    }
    if (!ok && VerifyPassword(password, account->password_hash)) {
      ok = true;
      std::lock_guard<std::mutex> lock(server.cache_mu_);
      server.logon_cache_[key] = {account->password_hash, d};
    }
  }
  if (!ok) {
    server.Log("peer " + peer + ": logon failure for user '" + name + "'" +
               (account ? "" : " (no such account)"));
    std::this_thread::sleep_for(std::chrono::milliseconds(server.options_.failed_logon_delay_ms));
    user.clear();
    admin = false;
    return Error(platform::kErrorLogonFailure);
  }
  user = account->name;
  admin = IsAdministrator(account->groups);
  pr::WireWriter w;
  w.U32(admin ? 1 : 0);
  return Reply(0, w.data());
}

void Server::Session::AppendFind(pr::WireWriter& w, Find& f, uint32_t handle) {
  // As many entries as fit comfortably in one frame; the rest follow on
  // kOpFindNext.
  pr::WireWriter entries;
  uint32_t count = 0;
  bool more = false;
  size_t budget = server.options_.max_frame / 2;
  while (true) {
    platform::FindData d;
    if (f.has_pending) {
      d = f.pending;
      f.has_pending = false;
    } else if (!f.find.Next(&d)) {
      break;
    }
    if (entries.data().size() + d.name.size() + d.short_name.size() + 64 > budget && count > 0) {
      f.pending = d;
      f.has_pending = true;
      more = true;
      break;
    }
    entries.Str(d.name).Str(d.short_name).U32(d.attributes).U64(d.size);
    entries.U64(d.times.creation).U64(d.times.last_access).U64(d.times.last_write);
    ++count;
  }
  w.U32(more ? handle : 0).U32(count).Raw(entries.data());
}

std::string Server::Session::FileOp(uint8_t op, pr::WireReader& r) {
  auto bad = [&] { return Error(platform::kErrorInvalidParameter); };
  auto file = [&](uint32_t h) -> platform::File* {
    auto it = files.find(h);
    return it == files.end() ? nullptr : &it->second;
  };
  switch (op) {
    case pr::kOpOpen: {
      std::string path, win;
      uint32_t access, share, disposition, attributes;
      if (!r.Str(&path, 4096) || !r.U32(&access) || !r.U32(&share) || !r.U32(&disposition) ||
          !r.U32(&attributes) || !r.AtEnd())
        return bad();
      if (files.size() >= server.options_.max_open_files) return Error(platform::kErrorTooManyOpenFiles);
      if (!LocalPath(path, false, &win)) return LastError();
      platform::File f;
      if (!f.Open(win, access, share, disposition, attributes)) return LastError();
      uint32_t h = next_handle++;
      files.emplace(h, std::move(f));
      pr::WireWriter w;
      w.U32(h);
      return Reply(0, w.data());
    }
    case pr::kOpRead: {
      uint32_t h, size;
      if (!r.U32(&h) || !r.U32(&size) || !r.AtEnd()) return bad();
      platform::File* f = file(h);
      if (!f) return Error(platform::kErrorInvalidHandle);
      size = std::min(size, pr::kMaxTransfer);
      std::string data(size, '\0');
      uint32_t got = 0;
      if (!f->Read(data.data(), size, &got)) return LastError();
      data.resize(got);
      pr::WireWriter w;
      w.Str(data);
      return Reply(0, w.data());
    }
    case pr::kOpWrite: {
      uint32_t h;
      std::string data;
      if (!r.U32(&h) || !r.Str(&data, pr::kMaxTransfer) || !r.AtEnd()) return bad();
      platform::File* f = file(h);
      if (!f) return Error(platform::kErrorInvalidHandle);
      uint32_t written = 0;
      if (!f->Write(data.data(), static_cast<uint32_t>(data.size()), &written)) return LastError();
      pr::WireWriter w;
      w.U32(written);
      return Reply(0, w.data());
    }
    case pr::kOpSeek: {
      uint32_t h, origin;
      int64_t offset;
      if (!r.U32(&h) || !r.I64(&offset) || !r.U32(&origin) || !r.AtEnd() || origin > 2) return bad();
      platform::File* f = file(h);
      if (!f) return Error(platform::kErrorInvalidHandle);
      uint64_t pos = 0;
      if (!f->Seek(offset, static_cast<platform::SeekOrigin>(origin), &pos)) return LastError();
      pr::WireWriter w;
      w.U64(pos);
      return Reply(0, w.data());
    }
    case pr::kOpGetSize:
    case pr::kOpSetEnd:
    case pr::kOpFlush:
    case pr::kOpGetTimes:
    case pr::kOpClose: {
      uint32_t h;
      if (!r.U32(&h) || !r.AtEnd()) return bad();
      platform::File* f = file(h);
      if (!f) return Error(platform::kErrorInvalidHandle);
      pr::WireWriter w;
      if (op == pr::kOpGetSize) {
        uint64_t size = 0;
        if (!f->GetSize(&size)) return LastError();
        w.U64(size);
      } else if (op == pr::kOpSetEnd) {
        if (!f->SetEndOfFile()) return LastError();
      } else if (op == pr::kOpFlush) {
        if (!f->Flush()) return LastError();
      } else if (op == pr::kOpGetTimes) {
        platform::FileTimes t;
        if (!f->GetTimes(&t)) return LastError();
        w.U64(t.creation).U64(t.last_access).U64(t.last_write);
      } else {
        files.erase(h);
      }
      return Reply(0, w.data());
    }
    case pr::kOpSetTimes: {
      uint32_t h;
      platform::FileTimes t;
      if (!r.U32(&h) || !r.U64(&t.creation) || !r.U64(&t.last_access) || !r.U64(&t.last_write) ||
          !r.AtEnd())
        return bad();
      platform::File* f = file(h);
      if (!f) return Error(platform::kErrorInvalidHandle);
      if (!f->SetTimes(t)) return LastError();
      return Reply(0);
    }
    case pr::kOpDelete:
    case pr::kOpMkdir:
    case pr::kOpRmdir:
    case pr::kOpGetAttr: {
      std::string path, win;
      if (!r.Str(&path, 4096) || !r.AtEnd()) return bad();
      if (!LocalPath(path, false, &win)) return LastError();
      pr::WireWriter w;
      bool ok = true;
      if (op == pr::kOpDelete) ok = platform::DeleteFile(win);
      if (op == pr::kOpMkdir) ok = platform::CreateDirectory(win);
      if (op == pr::kOpRmdir) ok = platform::RemoveDirectory(win);
      if (op == pr::kOpGetAttr) {
        uint32_t a = platform::GetFileAttributes(win);
        ok = a != platform::kInvalidFileAttributes;
        w.U32(a);
      }
      if (!ok) return LastError();
      return Reply(0, w.data());
    }
    case pr::kOpSetAttr: {
      std::string path, win;
      uint32_t attributes;
      if (!r.Str(&path, 4096) || !r.U32(&attributes) || !r.AtEnd()) return bad();
      if (!LocalPath(path, false, &win)) return LastError();
      if (!platform::SetFileAttributes(win, attributes)) return LastError();
      return Reply(0);
    }
    case pr::kOpSetExecutable: {
      std::string path, win, real;
      uint8_t on;
      if (!r.Str(&path, 4096) || !r.U8(&on) || !r.AtEnd()) return bad();
      if (!LocalPath(path, false, &win)) return LastError();
      if (!platform::ResolvePath(win, &real)) return LastError();
      struct stat st;
      if (::lstat(real.c_str(), &st) != 0) return Error(ErrnoCode(errno));
      if (!S_ISREG(st.st_mode)) return Error(platform::kErrorAccessDenied);
      // Execute rights follow the read rights, as a copy on one disk keeps them.
      mode_t x = (st.st_mode & 0444) >> 2;
      mode_t mode = on ? (st.st_mode | x) : (st.st_mode & ~static_cast<mode_t>(0111));
      if (::chmod(real.c_str(), mode & 07777) != 0) return Error(ErrnoCode(errno));
      return Reply(0);
    }
    case pr::kOpMove:
    case pr::kOpCopy: {
      std::string from, to, wfrom, wto;
      uint8_t flag;
      if (!r.Str(&from, 4096) || !r.Str(&to, 4096) || !r.U8(&flag) || !r.AtEnd()) return bad();
      if (!LocalPath(from, false, &wfrom) || !LocalPath(to, false, &wto)) return LastError();
      bool ok = op == pr::kOpMove ? platform::MoveFileEx(wfrom, wto, flag != 0)
                                  : platform::CopyFile(wfrom, wto, flag != 0);
      if (!ok) return LastError();
      return Reply(0);
    }
    case pr::kOpFind: {
      std::string pattern, win;
      if (!r.Str(&pattern, 4096) || !r.AtEnd()) return bad();
      if (finds.size() >= server.options_.max_open_files) return Error(platform::kErrorTooManyOpenFiles);
      if (!LocalPath(pattern, true, &win)) return LastError();
      auto f = std::make_unique<Find>();
      if (!f->find.First(win, &f->pending)) return LastError();
      f->has_pending = true;
      uint32_t h = next_handle++;
      pr::WireWriter w;
      AppendFind(w, *f, h);
      if (f->has_pending) finds.emplace(h, std::move(f));
      return Reply(0, w.data());
    }
    case pr::kOpFindNext: {
      uint32_t h;
      if (!r.U32(&h) || !r.AtEnd()) return bad();
      auto it = finds.find(h);
      if (it == finds.end()) return Error(platform::kErrorInvalidHandle);
      pr::WireWriter w;
      AppendFind(w, *it->second, h);
      if (!it->second->has_pending) finds.erase(it);
      return Reply(0, w.data());
    }
    default:
      return Error(platform::kErrorInvalidFunction);
  }
}

std::string Server::Session::Pipe(uint8_t op, pr::WireReader& r) {
  std::string name;
  uint32_t wait_ms = 0;
  if (!r.Str(&name, 256) || (op == pr::kOpPipeWait && !r.U32(&wait_ms)) || !r.AtEnd())
    return Error(platform::kErrorInvalidParameter);
  if (name.empty() || name.find_first_of("\\/") != std::string::npos || name == "." || name == "..")
    return Error(platform::kErrorInvalidName);
  if (op == pr::kOpPipeWait) {
    // The session's idle limit bounds how long a peer may hold a daemon
    // thread waiting.
    if (!WaitLocalPipe(name, std::min(wait_ms, server.options_.idle_timeout_ms)))
      return LastError();
    return Reply(0);
  }
  LocalConnector connect = server.connector_ ? server.connector_ : ConnectLocalSocket;
  int fd = connect(server.host_, name);
  if (fd < 0) return LastError();
  relay_fd = fd;
  return Reply(0);
}

std::string Server::Session::Scm(uint8_t op, pr::WireReader& r) {
  if (!admin) {
    server.Log("peer " + peer + ": user " + user + " refused the service manager (not an administrator)");
    return Error(platform::kErrorAccessDenied);
  }
  if (op == pr::kOpScmOpen) {
    if (!r.AtEnd()) return Error(platform::kErrorInvalidParameter);
    scm = server.scm_sessions_ ? server.scm_sessions_() : LocalScmHandler();
    if (!scm) return LastError();
    return Reply(0);
  }
  std::string request;
  if (!r.Str(&request, server.options_.max_frame) || !r.AtEnd()) return Error(platform::kErrorInvalidParameter);
  if (!scm) return Error(platform::kErrorInvalidHandle);
  std::string reply;
  if (!scm(request, &reply)) return LastError();
  pr::WireWriter w;
  w.Str(reply);
  return Reply(0, w.data());
}

Server::Server(const platform::Host& host, ServerOptions options)
    : host_(host), options_(std::move(options)) {
  RAND_bytes(cache_key_, sizeof cache_key_);
}

Server::~Server() {
  Stop();
  if (ctx_) SSL_CTX_free(ctx_);
}

void Server::Log(const std::string& line) const {
  if (options_.log)
    options_.log(line);
  else
    platform::OutputDebugString("remote: " + line);
}

bool Server::Start(std::string* error) {
  // A peer that vanishes must cost its session, never the daemon.
  ::signal(SIGPIPE, SIG_IGN);
  std::string tls = host_.TlsDir();
  if (!EnsureTlsIdentity(tls, host_.computer_name(), error)) return false;
  ctx_ = pr::NewServerContext(TlsCertificateFile(tls), TlsKeyFile(tls), error);
  if (!ctx_) return false;

  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(options_.port);
  if (inet_pton(AF_INET, options_.address.c_str(), &addr.sin_addr) != 1) {
    if (error) *error = "bad listen address '" + options_.address + "'";
    return false;
  }
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listen_fd_, 128) != 0) {
    if (error) *error = options_.address + ":" + std::to_string(options_.port) + ": " + std::strerror(errno);
    if (listen_fd_ >= 0) ::close(listen_fd_);
    listen_fd_ = -1;
    return false;
  }
  socklen_t len = sizeof addr;
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  if (::pipe2(wake_fd_, O_CLOEXEC) != 0) {
    if (error) *error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  accept_thread_ = new std::thread([this] { AcceptLoop(); });
  return true;
}

void Server::Stop() {
  if (!accept_thread_) return;
  stopping_ = true;
  char c = 1;
  ssize_t ignored = ::write(wake_fd_[1], &c, 1);
  (void)ignored;
  accept_thread_->join();
  delete accept_thread_;
  accept_thread_ = nullptr;
  {
    std::unique_lock<std::mutex> lock(mu_);
    for (auto& [fd, unused] : live_fds_) ::shutdown(fd, SHUT_RDWR);
    idle_cv_.wait(lock, [this] { return sessions_.load() == 0; });
  }
  ::close(listen_fd_);
  ::close(wake_fd_[0]);
  ::close(wake_fd_[1]);
  listen_fd_ = wake_fd_[0] = wake_fd_[1] = -1;
}

void Server::AcceptLoop() {
  while (!stopping_) {
    pollfd p[2] = {{listen_fd_, POLLIN, 0}, {wake_fd_[0], POLLIN, 0}};
    if (::poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      Log(std::string("accept: poll: ") + std::strerror(errno));
      return;
    }
    if (p[1].revents) return;
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    int fd = ::accept4(listen_fd_, reinterpret_cast<sockaddr*>(&ss), &len, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED) {
        Log(std::string("accept: ") + std::strerror(errno));
        // Out of descriptors: back off rather than spin.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      continue;
    }
    std::string peer = PeerText(ss);
    {
      std::lock_guard<std::mutex> lock(mu_);
      ++sessions_;
      live_fds_[fd] = true;
    }
    try {
      std::thread([this, fd, peer] { RunSession(fd, peer); }).detach();
    } catch (...) {
      Log("peer " + peer + ": no thread for the session; closed");
      std::lock_guard<std::mutex> lock(mu_);
      live_fds_.erase(fd);
      ::close(fd);
      --sessions_;
      idle_cv_.notify_all();
    }
  }
}

void Server::RunSession(int fd, std::string peer) {
  bool refused = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    uint32_t& n = per_peer_[peer];
    if (n >= options_.max_sessions_per_peer || sessions_.load() > options_.max_sessions) refused = true;
    ++n;
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
  int idle = 30, intvl = 10, cnt = 3;
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intvl, sizeof intvl);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &cnt, sizeof cnt);
  // A peer that stops reading must not hold the thread forever.
  timeval snd{};
  snd.tv_sec = options_.idle_timeout_ms / 1000 + 1;
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &snd, sizeof snd);

  SSL* ssl = SSL_new(ctx_);
  SSL_set_fd(ssl, fd);
  {
    pr::TlsConnection conn(ssl, fd);
    conn.SetReceiveTimeout(options_.handshake_timeout_ms);
    if (SSL_accept(ssl) != 1) {
      Log("peer " + peer + ": TLS handshake failed: " + pr::OpenSslErrorText() + "; closed");
    } else if (refused) {
      Log("peer " + peer + ": too many sessions; refused");
      pr::WireWriter w;
      w.U32(kErrorRequestNotAccepted).Str(host_.computer_name()).Str("too many sessions from this peer");
      conn.WriteFrame(w.data());
    } else {
      pr::WireWriter hello;
      hello.U32(0).Str(host_.computer_name()).Str("");
      Session s(*this, conn, peer);
      if (conn.WriteFrame(hello.data())) {
        conn.SetReceiveTimeout(options_.idle_timeout_ms);
        while (!stopping_) {
          std::string body;
          pr::FrameStatus st = conn.ReadFrame(&body, options_.max_frame);
          if (st == pr::FrameStatus::kClosed) break;
          if (st != pr::FrameStatus::kOk) {
            Log("peer " + peer + ": " + pr::FrameStatusName(st) + "; session closed");
            break;
          }
          std::string reply = s.Handle(body);
          if (!conn.WriteFrame(reply)) {
            Log("peer " + peer + ": reply not delivered; session closed");
            break;
          }
          if (s.relay_fd >= 0) {
            RelaySession(s, conn);
            break;
          }
        }
      }
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      live_fds_.erase(fd);
    }
  }
  // Free this thread's OpenSSL state now: the process may end as soon as
  // Stop has seen the last session go.
  OPENSSL_thread_stop();
  std::lock_guard<std::mutex> lock(mu_);
  if (--per_peer_[peer] == 0) per_peer_.erase(peer);
  --sessions_;
  idle_cv_.notify_all();
}

void Server::RelaySession(Session& s, pr::TlsConnection& conn) {
  int local = s.relay_fd;
  // Only the pages a message touches become resident.
  std::unique_ptr<char[]> storage(new char[kRelayBuffer]);
  std::span<char> buf(storage.get(), kRelayBuffer);
  // A frame that has begun must complete within the idle limit; between
  // messages the relay waits as long as both ends live.
  conn.SetReceiveTimeout(options_.idle_timeout_ms);
  std::string why;
  while (!stopping_) {
    pollfd p[2] = {{conn.fd(), POLLIN, 0}, {local, POLLIN, 0}};
    int timeout = conn.HasBuffered() ? 0 : -1;
    // Each message is usually answered at once from the other side: look
    // for it a little before sleeping (see PollSpinning).
    int rc = pr::PollSpinning(p, 2, timeout, pr::kRelaySpinUs);
    if (rc < 0) {
      if (errno == EINTR) continue;
      why = std::string("poll: ") + std::strerror(errno);
      break;
    }
    if (conn.HasBuffered() || (p[0].revents & (POLLIN | POLLHUP | POLLERR))) {
      std::string body;
      pr::FrameStatus st = conn.ReadFrame(&body, options_.max_frame);
      if (st == pr::FrameStatus::kClosed) break;
      if (st != pr::FrameStatus::kOk) {
        why = pr::FrameStatusName(st);
        break;
      }
      ssize_t n = ::send(local, body.data(), body.size(), MSG_NOSIGNAL);
      if (n < 0 || static_cast<size_t>(n) != body.size()) {
        why = "local end refused a message";
        break;
      }
      continue;
    }
    if (p[1].revents & (POLLIN | POLLHUP | POLLERR)) {
      // One record is one message. The buffer holds the largest record a
      // local pipe can carry; MSG_TRUNC still reports one that did not fit.
      ssize_t n = ::recv(local, buf.data(), buf.size(), MSG_TRUNC);
      if (n > 0 && static_cast<size_t>(n) > buf.size()) {
        why = "local message larger than the relay buffer";
        break;
      }
      if (n <= 0) break;  // the local end closed: so does the relay
      if (!conn.WriteFrame(std::string_view(buf.data(), static_cast<size_t>(n)))) {
        why = "peer gone";
        break;
      }
    }
  }
  if (!why.empty()) Log("peer " + s.peer + ": relay ended: " + why + "; session closed");
  ::close(local);
  s.relay_fd = -1;
}

int Serve(const platform::Host& host, ServerOptions options) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  Server server(host, options);
  std::string error;
  if (!server.Start(&error)) {
    std::fprintf(stderr, "remote: %s\n", error.c_str());
    return 2;
  }
  std::printf("listening on %s:%u\n", options.address.c_str(), server.port());
  std::fflush(stdout);
  int sig = 0;
  sigwait(&set, &sig);
  server.Stop();
  return 0;
}

}  // namespace hostd::remote
