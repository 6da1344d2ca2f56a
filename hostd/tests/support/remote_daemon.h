// Test support: emulated hosts whose remote access server runs in a child
// process (vxhostd with its remote access on 127.0.0.1, any free port), a console host that
// reaches them through its host map, and a raw TLS client for feeding the
// server bytes that no well-behaved client sends.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/host.h"
#include "platform/remote_wire.h"

namespace hostd::testing {

// Runs a program of the build (VX_BIN_DIR) and waits; returns its exit code.
int RunTool(const std::vector<std::string>& args, const std::string& stdin_text = "");

struct DaemonUser {
  std::string name;
  std::string groups;    // "Administrators", "Users", ...
  std::string password;
};

// A host root with users and a running server.
class Daemon {
 public:
  // Creates the host `name` in `root` (unless it exists) with `users`, and
  // starts its daemon with `extra` arguments of vxhostd.
  Daemon(const std::string& root, const std::string& name, const std::vector<DaemonUser>& users,
         const std::vector<std::string>& extra = {});
  ~Daemon();

  uint16_t port() const { return port_; }
  const std::string& root() const { return root_; }
  std::string Log() const;       // what the server wrote to standard error
  // Waits up to a few seconds for `text` to appear `times` times in the log.
  bool WaitForLog(const std::string& text, int times = 1) const;
  int CountLog(const std::string& text) const;
  void Stop();
  bool running() const { return pid_ > 0; }

 private:
  std::string root_;
  pid_t pid_ = -1;
  uint16_t port_ = 0;
};

// A console host in `root` whose host map names each daemon.
std::unique_ptr<platform::Host> MakeConsoleHost(
    const std::string& root, const std::vector<std::pair<std::string, uint16_t>>& hosts);

// A TLS session opened by hand: greeting read, nothing else done.
class RawSession {
 public:
  explicit RawSession(uint16_t port);
  bool ok() const { return conn_ != nullptr; }
  uint32_t greeting_status() const { return greeting_status_; }
  platform::remote::TlsConnection& conn() { return *conn_; }
  // Sends `body` as one frame and reads the reply; returns its status, or
  // 0xFFFFFFFF when no reply came.
  uint32_t Call(const std::string& body, std::string* payload = nullptr);
  uint32_t Logon(const std::string& user, const std::string& password);
  // Writes raw bytes inside the TLS stream.
  bool WriteRaw(const std::string& bytes);
  // True when the server has closed the session (reads see the end).
  bool ClosedByServer();

 private:
  std::unique_ptr<platform::remote::TlsConnection> conn_;
  uint32_t greeting_status_ = 0xFFFFFFFF;
};

// A plain TCP connection to the server's port (for bytes that are no TLS).
int ConnectPlain(uint16_t port);

}  // namespace hostd::testing
