// The daemon's service control manager: a ServiceManager served to local
// programs on <root>/run/scm.sock (one thread per connection) and, through
// HandleRequest, to any other module that carries SCM requests (remote
// access). Start loads the services, opens the socket and starts the
// auto-start services; Stop closes the socket and shuts the services down.
#pragma once

#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hostd/daemon/module.h"
#include "hostd/daemon/service_manager.h"

namespace hostd {

// One client's conversation with the SCM: the service handles it opened.
// Requests of one session are handled one at a time.
class ScmSession {
 public:
  ScmSession(ServiceManager& manager, std::string computer_name);
  // Answers one request body with its reply body (both without the frame
  // length); a malformed request gets error 13, an unknown handle 6.
  std::string Handle(const std::string& request);

 private:
  ServiceManager::Ref* Service(uint32_t handle);
  uint32_t AddHandle(ServiceManager::Ref service);

  ServiceManager& manager_;
  std::string computer_name_;
  std::map<uint32_t, ServiceManager::Ref> handles_;
  uint32_t next_handle_ = 1;
};

class ScmModule : public Module {
 public:
  ScmModule() = default;
  ~ScmModule() override;

  const char* name() const override { return "scm"; }
  bool Start(Daemon& daemon, std::string* error) override;
  void Stop() override;

  // A session for a module that carries SCM requests from elsewhere. Valid
  // until Stop.
  std::unique_ptr<ScmSession> NewSession();

  ServiceManager* manager() { return manager_.get(); }

 private:
  struct Worker {
    int fd = -1;
    std::thread thread;
    bool done = false;  // the connection is closed; join the thread
  };

  void AcceptLoop();
  void Serve(Worker* worker);

  Daemon* daemon_ = nullptr;
  std::unique_ptr<ServiceManager> manager_;
  std::string socket_path_;
  int listen_fd_ = -1;
  int wake_[2] = {-1, -1};
  std::thread acceptor_;
  std::mutex mu_;
  bool stopping_ = false;
  std::list<Worker> workers_;  // one per connection; finished ones are joined on the next accept
};

}  // namespace hostd
