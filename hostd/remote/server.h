// Remote access to this host from other hosts: the daemon's TCP listener.
//
// Each TLS 1.3 connection is one session (docs/formats/remote-protocol.md).
// A session logs on with a user name and password checked against the
// host's accounts; failed logons are answered only after a delay and are
// logged. Members of Administrators reach the ADMIN$ share (the host's
// Windows folder, never anything outside it) and the service manager; any
// logged-on user may open a named pipe, whose messages are then relayed
// both ways with their boundaries. Nothing is served without a logon.
//
// A session that sends a malformed, oversized or truncated frame, stays
// idle too long or vanishes is logged and closed; the others go on.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <openssl/ssl.h>

#include "platform/host.h"
#include "platform/remote_wire.h"

namespace hostd::remote {

struct ServerOptions {
  std::string address = "0.0.0.0";            // listen address
  uint16_t port = 0;                          // 0 = any free port (see Server::port)
  uint32_t failed_logon_delay_ms = 1000;      // answer to a failed logon waits this long
  uint32_t max_frame = platform::remote::kDefaultMaxFrame;
  uint32_t max_sessions = 512;                // in all
  uint32_t max_sessions_per_peer = 64;        // per peer address
  uint32_t idle_timeout_ms = 300000;          // between requests (not while relaying)
  uint32_t handshake_timeout_ms = 10000;
  uint32_t max_open_files = 256;              // per session
  // Receives one line per event worth keeping (refusals, failures, closes
  // after errors). Default: the debug output.
  std::function<void(const std::string&)> log;
};

// Connects the local end of a pipe relay: the named pipe `name` of `host`.
// Returns a connected socket or -1 with the last error set (2 no such
// pipe, 231 busy, ...).
using LocalConnector = std::function<int(const platform::Host& host, const std::string& name)>;
// The connector used when none is installed: the host's run/pipe/<Name>
// Unix socket.
int ConnectLocalSocket(const platform::Host& host, const std::string& name);

// One conversation with the host's service manager: answers a request body
// with a reply body (docs/formats/scm-protocol.md). Returns false with the
// last error set when the service manager cannot be reached.
using ScmHandler = std::function<bool(const std::string& request, std::string* reply)>;
// Makes a new conversation for a session; null with the last error set.
using ScmSessionFactory = std::function<ScmHandler()>;

class Server {
 public:
  Server(const platform::Host& host, ServerOptions options);
  ~Server();  // stops
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Loads the TLS identity, binds and starts accepting. False with a reason.
  bool Start(std::string* error);
  // The bound port (after Start).
  uint16_t port() const { return port_; }
  // Stops accepting, ends every session and waits for them.
  void Stop();

  void set_local_connector(LocalConnector c) { connector_ = std::move(c); }
  // Without a factory, sessions talk to the host's run/scm.sock.
  void set_scm_sessions(ScmSessionFactory f) { scm_sessions_ = std::move(f); }
  // Sessions now open.
  uint32_t session_count() const { return sessions_.load(); }

 private:
  struct Session;
  void AcceptLoop();
  void RunSession(int fd, std::string peer);
  void RelaySession(Session& s, platform::remote::TlsConnection& conn);
  void Log(const std::string& line) const;

  const platform::Host& host_;
  ServerOptions options_;
  LocalConnector connector_;
  ScmSessionFactory scm_sessions_;
  SSL_CTX* ctx_ = nullptr;
  int listen_fd_ = -1;
  int wake_fd_[2] = {-1, -1};
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<uint32_t> sessions_{0};
  std::thread* accept_thread_ = nullptr;

  mutable std::mutex mu_;
  std::condition_variable idle_cv_;
  std::map<std::string, uint32_t> per_peer_;
  std::map<int, bool> live_fds_;

  // Logons already proven with the slow hash, by user: the stored hash
  // they were checked against and a keyed digest of the password.
  std::mutex cache_mu_;
  std::map<std::string, std::pair<std::string, std::string>> logon_cache_;
  unsigned char cache_key_[32];

  friend struct Session;
};

// Runs the remote access server of `host` on `port` until SIGINT or
// SIGTERM; prints "listening on ADDRESS:PORT" once ready. Returns the
// process exit code.
int Serve(const platform::Host& host, ServerOptions options);

}  // namespace hostd::remote
