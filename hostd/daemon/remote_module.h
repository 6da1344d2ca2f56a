// The daemon's remote access module: serves sessions from other hosts on
// the port of host.ini (hostd/remote/server.h). The service-manager
// requests of those sessions go straight to the daemon's SCM module. A host
// whose port is 0 does not listen.
#pragma once

#include <memory>

#include "hostd/daemon/module.h"
#include "hostd/remote/server.h"

namespace hostd {

class RemoteModule : public Module {
 public:
  RemoteModule() = default;
  // `options.port` 0 takes host.ini's port; with `port_from_options` it
  // is used as given (0 then picks any free port, logged once bound).
  RemoteModule(remote::ServerOptions options, bool port_from_options)
      : options_(std::move(options)), port_from_options_(port_from_options) {}
  const char* name() const override { return "remote"; }
  bool Start(Daemon& daemon, std::string* error) override;
  void Stop() override;
  // The bound port (0 when not listening).
  uint16_t port() const { return server_ ? server_->port() : 0; }

 private:
  remote::ServerOptions options_;
  bool port_from_options_ = false;
  std::unique_ptr<remote::Server> server_;
};

}  // namespace hostd
