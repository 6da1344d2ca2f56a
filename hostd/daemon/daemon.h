// The host daemon: what Windows itself provides on a PC, for one host.
//
// A Daemon owns the host it serves, its log, the single-instance lock and
// pid file under <root>/run, and a list of modules (scm, and later remote
// access). Run() starts the modules, waits for SIGTERM/SIGINT or
// RequestStop(), then stops the modules in reverse order.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "hostd/daemon/log.h"
#include "hostd/daemon/module.h"
#include "platform/host.h"

namespace hostd {

struct DaemonOptions {
  std::string root;              // host root (required)
  bool log_to_stderr = true;
  // How long a service may take to report after its process started, to
  // answer a control, and to end after the stop control at shutdown.
  std::chrono::milliseconds start_timeout{30000};
  std::chrono::milliseconds control_timeout{30000};
  std::chrono::milliseconds stop_timeout{10000};
};

class Daemon {
 public:
  explicit Daemon(DaemonOptions options);
  ~Daemon();
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  // Blocks the signals Run() waits for and ignores SIGPIPE; call before
  // any thread is created so that every thread inherits the mask.
  static void PrepareSignals();

  // Loads the host, takes <run>/vxhostd.lock (false with "another vxhostd
  // serves this host" when held), writes <run>/vxhostd.pid, opens the log.
  bool Open(std::string* error);

  void AddModule(std::unique_ptr<Module> module);
  Module* FindModule(const std::string& name) const;

  // Starts the modules; false with the reason when one fails (the others
  // are stopped again).
  bool StartModules(std::string* error);
  // Waits until a stop signal or RequestStop().
  void WaitForStop();
  // Stops the started modules in reverse order; removes the pid file.
  void StopModules();
  // StartModules + WaitForStop + StopModules; the process exit code.
  int Run();

  // Makes WaitForStop return; safe from any thread.
  void RequestStop();

  platform::Host& host() { return *host_; }
  Log& log() { return log_; }
  const DaemonOptions& options() const { return options_; }

 private:
  DaemonOptions options_;
  Log log_;
  std::unique_ptr<platform::Host> host_;
  std::unique_ptr<platform::ScopedHost> scope_;
  std::vector<std::unique_ptr<Module>> modules_;
  size_t started_ = 0;
  int lock_fd_ = -1;
  int stop_pipe_[2] = {-1, -1};
  std::string pid_path_;
};

}  // namespace hostd
