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
  explicit RemoteModule(remote::ServerOptions options) : options_(std::move(options)) {}
  const char* name() const override { return "remote"; }
  bool Start(Daemon& daemon, std::string* error) override;
  void Stop() override;
  // The bound port (0 when not listening).
  uint16_t port() const { return server_ ? server_->port() : 0; }

 private:
  remote::ServerOptions options_;
  std::unique_ptr<remote::Server> server_;
};

}  // namespace hostd
