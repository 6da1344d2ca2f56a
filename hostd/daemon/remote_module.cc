#include "hostd/daemon/remote_module.h"

#include "hostd/daemon/daemon.h"
#include "hostd/daemon/scm_module.h"

namespace hostd {

bool RemoteModule::Start(Daemon& daemon, std::string* error) {
  remote::ServerOptions opt = options_;
  if (!port_from_options_) opt.port = daemon.host().port();
  if (!port_from_options_ && opt.port == 0) {
    daemon.log().Line("remote", "host.ini sets no port: not listening");
    return true;
  }
  Log* log = &daemon.log();
  opt.log = [log](const std::string& line) { log->Line("remote", line); };
  server_ = std::make_unique<remote::Server>(daemon.host(), opt);
  if (auto* scm = dynamic_cast<ScmModule*>(daemon.FindModule("scm"))) {
    server_->set_scm_sessions([scm]() -> remote::ScmHandler {
      std::shared_ptr<ScmSession> session = scm->NewSession();
      return [session](const std::string& request, std::string* reply) {
        *reply = session->Handle(request);
        return true;
      };
    });
  }
  if (!server_->Start(error)) {
    server_.reset();
    return false;
  }
  daemon.log().Line("remote", "listening on " + opt.address + ":" + std::to_string(server_->port()));
  return true;
}

void RemoteModule::Stop() {
  if (server_) server_->Stop();
  server_.reset();
}

}  // namespace hostd
