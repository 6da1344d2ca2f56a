// One running service program and its control channel.
//
// Spawn starts the program through the platform's CreateProcess as
// LocalSystem, detached into a session of its own, with a SOCK_SEQPACKET
// socket at descriptor 3 (named by VX_SERVICE_CHANNEL) and standard output
// and error appended to a log file. A monitor thread delivers every channel
// message and, last, the process's exit to the Events; the events run on
// that thread, so they must not destroy the ServiceProcess (keep it and
// drop it later).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/process.h"

namespace hostd {

struct SpawnRequest {
  std::string command_line;        // expanded ImagePath: program and arguments
  std::string current_directory;   // Windows path
  std::vector<std::pair<std::string, std::string>> environment;  // added variables
  std::string output;              // real path stdout/stderr append to
};

class ServiceProcess {
 public:
  class Events {
   public:
    virtual ~Events() = default;
    virtual void OnMessage(ServiceProcess* process, const std::string& message) = 0;
    // `exit_code` as GetExitCodeProcess gives it. No event follows.
    virtual void OnExit(ServiceProcess* process, uint32_t exit_code) = 0;
  };

  // Starts the program; null with the Windows error code in `*error` (2 or
  // 3 missing program, 5, 193 not a program) when it cannot be run.
  static std::shared_ptr<ServiceProcess> Spawn(const SpawnRequest& request, Events* events, uint32_t* error);

  ~ServiceProcess();  // kills a process still running and joins the monitor
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  uint32_t pid() const { return pid_; }
  bool exited() const { return exited_.load(); }
  // Sends one channel message; false when the channel is gone.
  bool Send(const std::string& message);
  // Kills the process alone (not the programs it started).
  void Kill();
  // Waits for the monitor thread to end (after the exit event). Not from
  // inside an event.
  void Join();

 private:
  ServiceProcess() = default;
  void Monitor();

  platform::Process process_;
  uint32_t pid_ = 0;
  int channel_ = -1;
  Events* events_ = nullptr;
  std::atomic<bool> exited_{false};
  std::thread monitor_;
};

}  // namespace hostd
