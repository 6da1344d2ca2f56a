#include "platform/remote_session.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/debug.h"
#include "platform/error.h"
#include "platform/strings.h"

namespace platform::remote {
namespace {

constexpr uint32_t kConnectTimeoutMs = 5000;
// A reply to a file request that takes longer than this means the peer is gone.
constexpr uint32_t kCallTimeoutMs = 120000;
constexpr uint32_t kErrorRequestNotAccepted = 71;

thread_local std::string t_detail;

void SetDetail(std::string text) {
  if (!text.empty()) OutputDebugString("remote: " + text);
  t_detail = std::move(text);
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool WriteWholeFile(const std::string& path, const std::string& text, mode_t mode) {
  std::string tmp = path + ".tmp";
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return FailErrno(errno);
  ::fchmod(fd, mode);
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      int e = errno;
      ::close(fd);
      ::unlink(tmp.c_str());
      return FailErrno(e);
    }
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    int e = errno;
    ::unlink(tmp.c_str());
    return FailErrno(e);
  }
  return true;
}

// Guards the calling host's credentials and known_hosts files within the
// process.
std::mutex g_files_mu;

int ConnectTcp(const std::string& address, uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  std::string service = std::to_string(port);
  if (::getaddrinfo(address.c_str(), service.c_str(), &hints, &res) != 0) return -1;
  int fd = -1;
  for (addrinfo* ai = res; ai; ai = ai->ai_next) {
    fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
    if (fd < 0) continue;
    int rc = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
    if (rc != 0 && errno == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      int err = 0;
      socklen_t len = sizeof err;
      if (::poll(&p, 1, kConnectTimeoutMs) == 1 &&
          ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0)
        rc = 0;
    }
    if (rc == 0) {
      int flags = ::fcntl(fd, F_GETFL);
      ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
      break;
    }
    ::close(fd);
    fd = -1;
  }
  ::freeaddrinfo(res);
  return fd;
}

SSL_CTX* ClientContext() {
  static SSL_CTX* ctx = [] {
    // A daemon that vanishes must not take the calling program with it.
    ::signal(SIGPIPE, SIG_IGN);
    std::string error;
    SSL_CTX* c = NewClientContext(&error);
    if (!c) OutputDebugString("remote: " + error);
    return c;
  }();
  return ctx;
}

}  // namespace

std::string LastRemoteDetail() { return t_detail; }

bool ResolveHost(const Host& self, const std::string& name, std::string* address, uint16_t* port) {
  std::string upper = ToUpperAscii(name);
  auto it = self.host_map().find(upper);
  if (it != self.host_map().end()) {
    const std::string& value = it->second;
    size_t colon = value.rfind(':');
    std::string addr = colon == std::string::npos ? value : value.substr(0, colon);
    uint16_t p = kDefaultPort;
    if (colon != std::string::npos) {
      char* end = nullptr;
      unsigned long v = std::strtoul(value.c_str() + colon + 1, &end, 10);
      if (*end || v == 0 || v > 65535) {
        SetDetail("host map entry " + upper + " = " + value + ": bad port");
        return Fail(kErrorBadNetPath);
      }
      p = static_cast<uint16_t>(v);
    }
    if (!addr.empty() && addr.front() == '[' && addr.back() == ']') addr = addr.substr(1, addr.size() - 2);
    *address = addr;
    *port = p;
    return true;
  }
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (name.empty() || ::getaddrinfo(name.c_str(), nullptr, &hints, &res) != 0) return Fail(kErrorBadNetPath);
  ::freeaddrinfo(res);
  *address = name;
  *port = kDefaultPort;
  return true;
}

// The credentials file: one line per host, "HOST<TAB>USER<TAB>PASSWORD".
bool LoadSavedCredentials(const Host& self, const std::string& host, Credentials* out) {
  std::lock_guard<std::mutex> lock(g_files_mu);
  std::string text = ReadWholeFile(self.root() + "/credentials");
  for (const auto& raw : Split(text, '\n')) {
    std::string line = raw;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    size_t t1 = line.find('\t');
    size_t t2 = t1 == std::string::npos ? t1 : line.find('\t', t1 + 1);
    if (t2 == std::string::npos) continue;
    if (!EqualsIgnoreCase(line.substr(0, t1), host)) continue;
    out->user = line.substr(t1 + 1, t2 - t1 - 1);
    out->password = line.substr(t2 + 1);
    return true;
  }
  return false;
}

bool SaveCredentials(const Host& self, const std::string& host, const Credentials& creds) {
  auto bad = [](const std::string& s) { return s.find_first_of("\t\r\n") != std::string::npos; };
  if (bad(host) || bad(creds.user) || bad(creds.password) || host.empty())
    return Fail(kErrorInvalidParameter);
  std::lock_guard<std::mutex> lock(g_files_mu);
  std::string path = self.root() + "/credentials";
  std::string text = ReadWholeFile(path), out = "# host<TAB>user<TAB>password\n";
  for (const auto& line : Split(text, '\n')) {
    if (line.empty() || line[0] == '#') continue;
    size_t t1 = line.find('\t');
    if (t1 != std::string::npos && EqualsIgnoreCase(line.substr(0, t1), host)) continue;
    out += line + "\n";
  }
  out += ToUpperAscii(host) + "\t" + creds.user + "\t" + creds.password + "\n";
  return WriteWholeFile(path, out, 0600);
}

// known_hosts: one line per host, "HOST FINGERPRINT".
PinResult CheckHostPin(const Host& self, const std::string& host, const std::string& fingerprint) {
  std::lock_guard<std::mutex> lock(g_files_mu);
  std::string path = self.TlsDir() + "/known_hosts";
  std::string text = ReadWholeFile(path);
  std::string upper = ToUpperAscii(host);
  for (const auto& raw : Split(text, '\n')) {
    std::string line = TrimBlanks(raw);
    if (line.empty() || line[0] == '#') continue;
    size_t sp = line.find(' ');
    if (sp == std::string::npos || !EqualsIgnoreCase(line.substr(0, sp), upper)) continue;
    return TrimBlanks(line.substr(sp + 1)) == fingerprint ? PinResult::kMatched : PinResult::kChanged;
  }
  ::mkdir(self.TlsDir().c_str(), 0700);
  if (!text.empty() && text.back() != '\n') text += "\n";
  text += upper + " " + fingerprint + "\n";
  return WriteWholeFile(path, text, 0644) ? PinResult::kFirstUse : PinResult::kError;
}

Connection::Connection(std::unique_ptr<TlsConnection> tls, std::string host)
    : tls_(std::move(tls)), host_(std::move(host)) {}

Connection::~Connection() = default;

std::unique_ptr<Connection> Connection::Open(const std::string& host_in, const Credentials& creds,
                                             bool logon) {
  t_detail.clear();
  Host* self = Host::Current();
  if (!self) {
    Fail(kErrorBadNetPath);
    return nullptr;
  }
  std::string host = ToUpperAscii(host_in);
  std::string address;
  uint16_t port = 0;
  if (!ResolveHost(*self, host, &address, &port)) return nullptr;
  SSL_CTX* ctx = ClientContext();
  if (!ctx) {
    Fail(kErrorBadNetPath);
    return nullptr;
  }
  int fd = ConnectTcp(address, port);
  if (fd < 0) {
    SetDetail(host + " (" + address + ":" + std::to_string(port) + ") cannot be reached");
    Fail(kErrorBadNetPath);
    return nullptr;
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  SSL* ssl = SSL_new(ctx);
  SSL_set_fd(ssl, fd);
  SSL_set_tlsext_host_name(ssl, host.c_str());
  auto tls = std::make_unique<TlsConnection>(ssl, fd);
  tls->SetReceiveTimeout(kCallTimeoutMs);
  if (SSL_connect(ssl) != 1) {
    SetDetail(host + ": TLS handshake failed: " + OpenSslErrorText());
    Fail(kErrorBadNetPath);
    return nullptr;
  }
  X509* cert = SSL_get1_peer_certificate(ssl);
  std::string fp = CertificateFingerprint(cert);
  X509_free(cert);
  switch (CheckHostPin(*self, host, fp)) {
    case PinResult::kFirstUse:
    case PinResult::kMatched:
      break;
    case PinResult::kChanged:
      SetDetail(host + " presented a different certificate (" + fp +
                ") than the one pinned in " + self->TlsDir() +
                "/known_hosts; refused. If the host was set up again, remove its line there.");
      Fail(kErrorTrustFailure);
      return nullptr;
    case PinResult::kError:
      SetDetail(self->TlsDir() + "/known_hosts cannot be written");
      Fail(kErrorTrustFailure);
      return nullptr;
  }
  std::string hello;
  if (tls->ReadFrame(&hello, kDefaultMaxFrame) != FrameStatus::kOk) {
    SetDetail(host + ": no greeting from the host");
    Fail(kErrorBadNetPath);
    return nullptr;
  }
  WireReader hr(hello);
  uint32_t status;
  std::string name, message;
  if (!hr.U32(&status) || !hr.Str(&name, 256) || !hr.Str(&message, 4096)) {
    Fail(kErrorBadNetResp);
    return nullptr;
  }
  if (status != 0) {
    SetDetail(host + " refused the session: " + message);
    Fail(status == kErrorRequestNotAccepted ? status : kErrorBadNetPath);
    return nullptr;
  }
  std::unique_ptr<Connection> c(new Connection(std::move(tls), host));
  if (!logon) return c;
  WireWriter w;
  w.U8(kOpLogon).Str(creds.user).Str(creds.password);
  std::string payload;
  if (!c->Call(w.data(), &payload)) return nullptr;
  WireReader r(payload);
  uint32_t flags;
  if (!r.U32(&flags)) {
    Fail(kErrorBadNetResp);
    return nullptr;
  }
  c->administrator_ = (flags & 1) != 0;
  return c;
}

bool Connection::Call(const std::string& request, std::string* payload) {
  std::lock_guard<std::mutex> lock(mu_);
  if (broken_) return Fail(kErrorUnexpNetErr);
  std::string reply;
  if (!tls_->WriteFrame(request) || tls_->ReadFrame(&reply, kDefaultMaxFrame + 64) != FrameStatus::kOk) {
    broken_ = true;
    tls_->Shutdown();
    return Fail(kErrorUnexpNetErr);
  }
  WireReader r(reply);
  uint32_t status;
  if (!r.U32(&status)) {
    broken_ = true;
    return Fail(kErrorBadNetResp);
  }
  if (status != 0) return Fail(status);
  *payload = reply.substr(4);
  return true;
}

bool Connection::CallWaiting(const std::string& request, uint32_t host_wait_ms, std::string* payload) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    tls_->SetReceiveTimeout(kCallTimeoutMs + std::min<uint32_t>(host_wait_ms, 24u * 3600 * 1000));
  }
  bool ok = Call(request, payload);
  std::lock_guard<std::mutex> lock(mu_);
  tls_->SetReceiveTimeout(kCallTimeoutMs);
  return ok;
}

bool Connection::WriteMessage(const void* data, uint32_t size) {
  std::lock_guard<std::mutex> lock(mu_);
  if (broken_ || !tls_->WriteFrame(std::string_view(static_cast<const char*>(data), size))) {
    broken_ = true;
    return Fail(kErrorBrokenPipe);
  }
  return true;
}

bool Connection::ReadMessage(std::string* message) {
  // Reads are not serialised with writes: a relay's reader and writer are
  // one thread on the caller's side (one pipe handle, strictly alternating).
  if (broken_) return Fail(kErrorBrokenPipe);
  if (!relaying_) {
    // A relayed pipe waits for its peer as long as the peer takes.
    tls_->SetReceiveTimeout(0);
    relaying_ = true;
  }
  if (!tls_->HasBuffered()) {
    // The reply to a message just written usually follows within
    // microseconds; wait for it without letting the processor fall asleep.
    pollfd p{tls_->fd(), POLLIN, 0};
    PollSpinning(&p, 1, -1, kRelaySpinUs);
  }
  std::string m;
  FrameStatus st = tls_->ReadFrame(&m, kDefaultMaxFrame);
  if (st != FrameStatus::kOk) {
    broken_ = true;
    return Fail(kErrorBrokenPipe);
  }
  *message = std::move(m);
  return true;
}

Client& Client::Get() {
  static Client* client = new Client();  // lives as long as the process
  return *client;
}

void Client::SetCredentials(const std::string& host, const Credentials& creds) {
  std::lock_guard<std::mutex> lock(mu_);
  std::string key = ToUpperAscii(host);
  credentials_[key] = creds;
  shared_.erase(key);  // the next request logs on with these
}

bool Client::CredentialsFor(const std::string& host, Credentials* out) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = credentials_.find(ToUpperAscii(host));
    if (it != credentials_.end()) {
      *out = it->second;
      return true;
    }
  }
  Host* self = Host::Current();
  if (self && LoadSavedCredentials(*self, host, out)) return true;
  return Fail(kErrorLogonFailure);
}

std::shared_ptr<Connection> Client::Shared(const std::string& host) {
  std::string key = ToUpperAscii(host);
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = shared_.find(key);
    if (it != shared_.end() && !it->second->broken()) return it->second;
  }
  std::shared_ptr<Connection> c = OpenSession(host);
  if (!c) return nullptr;
  std::lock_guard<std::mutex> lock(mu_);
  auto& slot = shared_[key];
  if (!slot || slot->broken()) slot = c;
  return slot;
}

std::unique_ptr<Connection> Client::OpenSession(const std::string& host) {
  Credentials creds;
  if (!CredentialsFor(host, &creds)) return nullptr;
  return Connection::Open(host, creds);
}

void Client::Reset() {
  std::lock_guard<std::mutex> lock(mu_);
  credentials_.clear();
  shared_.clear();
}

}  // namespace platform::remote
