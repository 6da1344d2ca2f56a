// One running service program and its control channel.
//
// Spawn starts the program in a session of its own with its working folder,
// environment and a SOCK_SEQPACKET socket at descriptor 3 (named by
// VX_SERVICE_CHANNEL); standard output and error go to a log file. A
// monitor thread delivers every channel message and, last, the process's
// exit to the Events; the events run on that thread, so they must not
// destroy the ServiceProcess (keep it and drop it later).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace hostd {

struct SpawnSpec {
  std::string program;             // real path of the executable
  std::vector<std::string> argv;   // argv[0] included
  std::string cwd;                 // real working folder
  std::vector<std::string> env;    // "NAME=value", complete
  std::string output;              // real path stdout/stderr append to
};

class ServiceProcess {
 public:
  class Events {
   public:
    virtual ~Events() = default;
    virtual void OnMessage(ServiceProcess* process, const std::string& message) = 0;
    // `wait_status` as waitpid gives it. No event follows.
    virtual void OnExit(ServiceProcess* process, int wait_status) = 0;
  };

  // Starts the program; null with the Windows error code in `*error` (2
  // missing program, 5 not executable, ...) when it cannot be run.
  static std::shared_ptr<ServiceProcess> Spawn(const SpawnSpec& spec, Events* events, uint32_t* error);

  ~ServiceProcess();  // kills a process still running and joins the monitor
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  pid_t pid() const { return pid_; }
  bool exited() const { return exited_.load(); }
  // Sends one channel message; false when the channel is gone.
  bool Send(const std::string& message);
  // SIGKILL (the process alone, not the programs it started).
  void Kill();
  // Waits for the monitor thread to end (after the exit event). Not from
  // inside an event.
  void Join();

 private:
  ServiceProcess() = default;
  void Monitor();

  pid_t pid_ = -1;
  int pidfd_ = -1;
  int channel_ = -1;
  Events* events_ = nullptr;
  std::atomic<bool> exited_{false};
  std::thread monitor_;
};

}  // namespace hostd
