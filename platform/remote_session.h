// The calling host's side of remote access: finding another host, proving
// it is the host met before, logging on to its daemon, and the sessions
// that carry file, pipe and service-manager requests
// (docs/formats/remote-protocol.md, docs/formats/credentials.md).
//
// Host names resolve through the calling host's host.ini [hosts] map
// (NAME = address:port) first, then DNS with kDefaultPort. The first
// certificate a host presents is pinned in <root>/tls/known_hosts of the
// calling host; a host that later presents another one is refused (last
// error kErrorTrustFailure, and a debug line saying which host and what to
// do).
//
// Failures set the thread's last error: 53 when the host cannot be found
// or reached, 1326 for a refused logon, 5 when the account lacks the
// rights, 71 when the host refuses more sessions, 59 when a session breaks
// off, 58 for a reply that does not parse.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/host.h"
#include "platform/remote_wire.h"

namespace platform::remote {

// The trust relationship failed: the host's certificate is not the pinned one.
constexpr uint32_t kErrorTrustFailure = 1790;

struct Credentials {
  std::string user;
  std::string password;
};

// Address and port of `name` as seen from `self`. False with 53.
bool ResolveHost(const Host& self, const std::string& name, std::string* address,
                 uint16_t* port);

// The calling host's saved credentials (<root>/credentials): the account
// to log on with at `host`. False when none is saved.
bool LoadSavedCredentials(const Host& self, const std::string& host, Credentials* out);
// Saves (or replaces) the credentials for `host`; the file is readable by
// its owner only. False with the last error set.
bool SaveCredentials(const Host& self, const std::string& host, const Credentials& creds);

enum class PinResult { kFirstUse, kMatched, kChanged, kError };
// Checks `fingerprint` against the pin of `host` in <root>/tls/known_hosts,
// pinning it when the host has none yet.
PinResult CheckHostPin(const Host& self, const std::string& host, const std::string& fingerprint);

// Text of the newest refusal of this thread beyond its error code
// ("PC1 presented a different certificate ..."); empty when none.
std::string LastRemoteDetail();

// One logged-on TLS session with a host's daemon. Thread safe: calls are
// serialised.
class Connection {
 public:
  // Connects to `host` as seen from the current host and logs on with
  // `creds` (unless `logon` is false: then the session only proves that
  // the host answers and is the host pinned). Null with the last error set.
  static std::unique_ptr<Connection> Open(const std::string& host, const Credentials& creds,
                                          bool logon = true);
  ~Connection();

  // Sends one request body and reads its reply. On status 0 fills
  // `payload` with the rest of the reply and returns true; otherwise sets
  // the last error to the status (or to 59 when the session broke) and
  // returns false.
  bool Call(const std::string& request, std::string* payload);
  // Call for a request that the host may hold up to `host_wait_ms` by
  // design (a pipe wait): the reply is awaited that much longer.
  bool CallWaiting(const std::string& request, uint32_t host_wait_ms, std::string* payload);
  bool administrator() const { return administrator_; }
  bool broken() const { return broken_; }
  const std::string& host() const { return host_; }

  // After a request that turned the session into a relay: one message each.
  // Write fails with 109 once the far end has gone; so does Read, which
  // waits without a time-out.
  bool WriteMessage(const void* data, uint32_t size);
  bool ReadMessage(std::string* message);

 private:
  Connection(std::unique_ptr<TlsConnection> tls, std::string host);

  std::mutex mu_;
  std::unique_ptr<TlsConnection> tls_;
  std::string host_;
  bool administrator_ = false;
  bool broken_ = false;
  bool relaying_ = false;
};

// Process-wide state of the remote client: the credentials proven for each
// host in this process (by the share connection) and one shared session per
// host for file requests.
class Client {
 public:
  static Client& Get();

  // Remembers `creds` for `host` (upper-cased) for later sessions.
  void SetCredentials(const std::string& host, const Credentials& creds);
  // The credentials proven in this process, else the saved ones. False
  // with 1326 when there are none.
  bool CredentialsFor(const std::string& host, Credentials* out);
  // The shared session with `host`, opened when there is none or the last
  // one broke. Null with the last error set.
  std::shared_ptr<Connection> Shared(const std::string& host);
  // A new session of its own (pipes and the service manager relay on one).
  std::unique_ptr<Connection> OpenSession(const std::string& host);
  // Forgets every session and credential (tests, and a host list reload).
  void Reset();

 private:
  std::mutex mu_;
  std::map<std::string, Credentials> credentials_;
  std::map<std::string, std::shared_ptr<Connection>> shared_;
};

}  // namespace platform::remote

namespace platform {
// The parts that InstallRemoteAccess (platform/share.h) installs.
void InstallRemoteFileSystemOnly();
void InstallRemotePipes();
}  // namespace platform
