// The SCM's state: the registered services, their processes and statuses.
//
// Operations return the Windows error code (0 = done). Registrations live
// in the host registry (ServiceStore) and are read once at Load; every
// change writes through. A service's status is what its program last
// reported over the control channel; a process that ends without having
// reported SERVICE_STOPPED is STOPPED with exit code 1067. A service marked
// for deletion leaves the registry as soon as it is stopped.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hostd/daemon/log.h"
#include "hostd/daemon/service_process.h"
#include "hostd/daemon/service_store.h"
#include "platform/host.h"
#include "platform/service.h"

namespace hostd {

struct ManagerTimeouts {
  std::chrono::milliseconds start{30000};
  std::chrono::milliseconds control{30000};
  std::chrono::milliseconds stop{10000};
};

class ServiceManager : private ServiceProcess::Events {
 public:
  struct Record;
  // A service as a handle sees it: it stays usable after the service left
  // the registry (queries answer its last status, changes fail with 1072).
  using Ref = std::shared_ptr<Record>;

  ServiceManager(platform::Host& host, Log& log, ManagerTimeouts timeouts);
  ~ServiceManager() override;  // kills what still runs
  ServiceManager(const ServiceManager&) = delete;
  ServiceManager& operator=(const ServiceManager&) = delete;

  // Reads the registered services; finishes deletions left from a run
  // that ended before the service stopped.
  bool Load(std::string* error);

  // 123 bad name, 87 bad type/start/error control/empty path, 1073 exists,
  // 1072 exists and is marked, 1078 display name taken.
  uint32_t Create(const platform::ServiceConfig& config, Ref* service);
  uint32_t Open(const std::string& name, Ref* service);
  const std::string& NameOf(const Ref& service);
  // Returns once the program has reported its first status: 1056 not
  // stopped, 1058 disabled, 1072 marked, 2/3 program missing, 1067 the
  // process ended first, 1053 it did not report in time (it is killed),
  // 1115 the daemon is shutting down.
  uint32_t Start(const Ref& service, const std::vector<std::string>& args);
  // Waits until the program's handler has run: 1062 stopped, 1052 control
  // not accepted, 1061 pending state, 1053 no answer in time.
  uint32_t Control(const Ref& service, uint32_t control, platform::SERVICE_STATUS* status);
  uint32_t QueryStatus(const Ref& service, platform::SERVICE_STATUS* status);
  uint32_t QueryConfig(const Ref& service, platform::ServiceConfig* config);
  // 1072 when already marked.
  uint32_t Delete(const Ref& service);
  std::vector<platform::ServiceEntry> Enumerate();

  // Starts every auto-start service (the host's boot).
  void StartAutoServices();
  // The host's shutdown: refuses further starts, sends the stop control to
  // every running service, waits up to the stop time-out for the processes
  // to end, then kills the rest.
  void Shutdown();

  struct Record {
    platform::ServiceConfig config;
    platform::SERVICE_STATUS status;
    bool marked = false;
    std::shared_ptr<ServiceProcess> process;  // the latest process, kept after it ended
    bool process_ended = true;
    bool connected = false;
    bool reported = false;
    uint32_t acked_seq = 0;
    uint32_t ack_result = 0;
    std::vector<std::string> start_args;
    bool removed = false;   // left the registry and the table
    bool starting = false;  // a start waits for the previous process to end
  };

 private:
  using RecordPtr = Ref;

  void OnMessage(ServiceProcess* process, const std::string& message) override;
  void OnExit(ServiceProcess* process, uint32_t exit_code) override;

  RecordPtr Find(const std::string& name);           // mu_ held
  RecordPtr FindByProcess(const ServiceProcess* p);  // mu_ held
  void Remove(const RecordPtr& record);              // mu_ held
  void Retire(std::shared_ptr<ServiceProcess> p);    // mu_ held
  SpawnRequest SpawnFor(const Record& record) const;
  void Reap();  // joins retired processes whose end was handled; mu_ not held

  platform::Host& host_;
  Log& log_;
  ManagerTimeouts timeouts_;
  ServiceStore store_;

  std::mutex mu_;
  std::condition_variable cv_;
  std::map<std::string, RecordPtr> services_;  // by lower-case name
  std::vector<std::shared_ptr<ServiceProcess>> retired_;
  std::vector<const ServiceProcess*> exit_handled_;
  uint32_t next_seq_ = 0;
  bool shutting_down_ = false;
};

}  // namespace hostd
