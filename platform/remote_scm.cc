// Service managers of other hosts: each OpenSCManagerA on another machine
// gets a session of its own with that host's daemon, whose service-manager
// conversation holds the handles the caller opens.
#include <memory>
#include <string>

#include "platform/error.h"
#include "platform/remote_session.h"
#include "platform/service.h"
#include "platform/share.h"
#include "platform/strings.h"

namespace platform {
namespace {

class RemoteScmTransport : public ScmTransport {
 public:
  explicit RemoteScmTransport(std::unique_ptr<remote::Connection> c) : c_(std::move(c)) {}
  bool RoundTrip(const std::string& request, std::string* reply) override {
    remote::WireWriter w;
    w.U8(remote::kOpScmCall).Str(request);
    std::string payload, body;
    if (!c_->Call(w.data(), &payload)) return false;
    remote::WireReader r(payload);
    if (!r.Str(&body) || !r.AtEnd()) return Fail(kErrorBadNetResp);
    *reply = std::move(body);
    return true;
  }

 private:
  std::unique_ptr<remote::Connection> c_;
};

std::unique_ptr<ScmTransport> ConnectRemoteScm(const std::string& machine) {
  std::unique_ptr<remote::Connection> c = remote::Client::Get().OpenSession(machine);
  if (!c) return nullptr;
  remote::WireWriter w;
  w.U8(remote::kOpScmOpen);
  std::string payload;
  if (!c->Call(w.data(), &payload)) return nullptr;
  return std::make_unique<RemoteScmTransport>(std::move(c));
}

}  // namespace

void InstallRemoteAccess() {
  InstallRemoteFileSystemOnly();
  InstallRemotePipes();
  RegisterRemoteScmConnector(ConnectRemoteScm);
}

}  // namespace platform
