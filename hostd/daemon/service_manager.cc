#include "hostd/daemon/service_manager.h"

#include <algorithm>
#include <cstring>

#include "hostd/daemon/image_path.h"
#include "platform/error.h"
#include "platform/service_wire.h"
#include "platform/strings.h"

namespace hostd {

using platform::SERVICE_STATUS;
using platform::ServiceConfig;
using namespace platform;  // the SERVICE_* constants
namespace wire = platform::service_wire;

namespace {

constexpr uint32_t kErrorServiceNeverStarted = 1077;
constexpr size_t kMaxNameLength = 256;
// How long a process that reported STOPPED may take to end before a new
// start of its service kills it.
constexpr std::chrono::milliseconds kLingerLimit{2000};

std::string Key(const std::string& name) { return ToLowerAscii(name); }

// Names become registry keys and log file names: no separators, no
// control characters.
bool ValidName(const std::string& name) {
  if (name.empty() || name.size() > kMaxNameLength) return false;
  for (char c : name)
    if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20) return false;
  return true;
}

SERVICE_STATUS Stopped(uint32_t type, uint32_t exit_code) {
  SERVICE_STATUS s;
  s.dwServiceType = type;
  s.dwCurrentState = SERVICE_STOPPED;
  s.dwWin32ExitCode = exit_code;
  return s;
}

bool IsPending(uint32_t state) {
  return state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ||
         state == SERVICE_PAUSE_PENDING || state == SERVICE_CONTINUE_PENDING;
}

}  // namespace

ServiceManager::ServiceManager(platform::Host& host, Log& log, ManagerTimeouts timeouts)
    : host_(host), log_(log), timeouts_(timeouts) {}

ServiceManager::~ServiceManager() {
  std::vector<std::shared_ptr<ServiceProcess>> all;
  {
    std::lock_guard<std::mutex> lock(mu_);
    shutting_down_ = true;
    for (auto& [key, rec] : services_)
      if (rec->process) all.push_back(std::move(rec->process));
    for (auto& p : retired_) all.push_back(std::move(p));
    retired_.clear();
  }
  for (auto& p : all) p->Kill();
  all.clear();  // joins the monitors; their exit events take mu_
}

bool ServiceManager::Load(std::string* error) {
  std::vector<StoredService> stored;
  uint32_t rc = store_.LoadAll(&stored);
  if (rc != 0) {
    *error = "cannot read the services from the registry: " + platform::TrimBlanks(platform::ErrorMessage(rc));
    return false;
  }
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& s : stored) {
    if (s.delete_flag) {
      store_.Remove(s.config.name);
      log_.Line("scm", "service " + s.config.name + " removed (marked for deletion)");
      continue;
    }
    auto rec = std::make_shared<Record>();
    rec->status = Stopped(s.config.service_type, kErrorServiceNeverStarted);
    rec->config = std::move(s.config);
    services_[Key(rec->config.name)] = rec;
  }
  log_.Line("scm", std::to_string(services_.size()) + " services registered");
  return true;
}

ServiceManager::RecordPtr ServiceManager::Find(const std::string& name) {
  auto it = services_.find(Key(name));
  return it == services_.end() ? nullptr : it->second;
}

ServiceManager::RecordPtr ServiceManager::FindByProcess(const ServiceProcess* p) {
  for (auto& [key, rec] : services_)
    if (rec->process.get() == p) return rec;
  return nullptr;
}

void ServiceManager::Retire(std::shared_ptr<ServiceProcess> p) {
  if (p) retired_.push_back(std::move(p));
}

void ServiceManager::Remove(const RecordPtr& rec) {
  uint32_t rc = store_.Remove(rec->config.name);
  if (rc != 0 && rc != kErrorFileNotFound)
    log_.Line("scm", "cannot remove service " + rec->config.name + " from the registry: error " + std::to_string(rc));
  Retire(std::move(rec->process));
  rec->process_ended = true;
  rec->removed = true;
  services_.erase(Key(rec->config.name));
  log_.Line("scm", "service " + rec->config.name + " deleted");
  cv_.notify_all();
}

void ServiceManager::Reap() {
  std::vector<std::shared_ptr<ServiceProcess>> done;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto handled = [&](const std::shared_ptr<ServiceProcess>& p) {
      return std::find(exit_handled_.begin(), exit_handled_.end(), p.get()) != exit_handled_.end();
    };
    for (auto it = retired_.begin(); it != retired_.end();) {
      if (handled(*it)) {
        exit_handled_.erase(std::find(exit_handled_.begin(), exit_handled_.end(), it->get()));
        done.push_back(std::move(*it));
        it = retired_.erase(it);
      } else {
        ++it;
      }
    }
  }
  // Destroying joins the monitor thread, which has left its exit event.
}

uint32_t ServiceManager::Create(const ServiceConfig& in, Ref* service) {
  Reap();
  ServiceConfig c = in;
  if (!ValidName(c.name)) return kErrorInvalidName;
  if (c.display_name.empty()) c.display_name = c.name;
  if (c.display_name.size() > kMaxNameLength) return kErrorInvalidParameter;
  uint32_t base_type = c.service_type & ~SERVICE_INTERACTIVE_PROCESS;
  if (base_type != SERVICE_WIN32_OWN_PROCESS && base_type != SERVICE_WIN32_SHARE_PROCESS) return kErrorInvalidParameter;
  if (c.start_type < SERVICE_AUTO_START || c.start_type > SERVICE_DISABLED) return kErrorInvalidParameter;
  if (c.error_control > SERVICE_ERROR_CRITICAL) return kErrorInvalidParameter;
  if (platform::TrimBlanks(c.image_path).empty()) return kErrorInvalidParameter;
  if (c.account.empty()) c.account = "LocalSystem";

  std::lock_guard<std::mutex> lock(mu_);
  if (RecordPtr old = Find(c.name)) return old->marked ? kErrorServiceMarkedForDelete : kErrorServiceExists;
  for (auto& [key, rec] : services_)
    if (EqualsIgnoreCase(rec->config.display_name, c.display_name) || EqualsIgnoreCase(rec->config.name, c.display_name))
      return kErrorDuplicateServiceName;
  uint32_t rc = store_.Save(c);
  if (rc != 0) {
    store_.Remove(c.name);
    return rc;
  }
  auto rec = std::make_shared<Record>();
  rec->status = Stopped(c.service_type, kErrorServiceNeverStarted);
  rec->config = c;
  services_[Key(c.name)] = rec;
  log_.Line("scm", "service " + c.name + " created: " + c.image_path);
  *service = rec;
  return 0;
}

uint32_t ServiceManager::Open(const std::string& name, Ref* service) {
  if (!ValidName(name)) return kErrorInvalidName;
  std::lock_guard<std::mutex> lock(mu_);
  RecordPtr rec = Find(name);
  if (!rec) return kErrorServiceDoesNotExist;
  *service = rec;
  return 0;
}

const std::string& ServiceManager::NameOf(const Ref& service) { return service->config.name; }

SpawnRequest ServiceManager::SpawnFor(const Record& rec) const {
  SpawnRequest request;
  request.command_line = ExpandImagePath(rec.config.image_path, host_.windows_dir());
  request.current_directory = host_.system_dir();
  request.environment = {{"VX_SERVICE_NAME", rec.config.name}};
  request.output = host_.RunDir() + "/service-" + rec.config.name + ".log";
  return request;
}

uint32_t ServiceManager::Start(const Ref& rec, const std::vector<std::string>& args) {
  Reap();
  std::unique_lock<std::mutex> lock(mu_);
  if (rec->marked) return kErrorServiceMarkedForDelete;
  if (shutting_down_) return kErrorShutdownInProgress;
  if (rec->config.start_type == SERVICE_DISABLED) return kErrorServiceDisabled;
  if (rec->status.dwCurrentState != SERVICE_STOPPED || rec->starting) return kErrorServiceAlreadyRunning;
  if (rec->process && !rec->process_ended) {
    // It reported STOPPED and is on its way out; give it a moment.
    rec->starting = true;
    std::shared_ptr<ServiceProcess> old = rec->process;
    cv_.wait_for(lock, kLingerLimit, [&] { return rec->process != old || rec->process_ended; });
    rec->starting = false;
    if (rec->process == old && !rec->process_ended) old->Kill();
    if (rec->marked) return kErrorServiceMarkedForDelete;
    if (shutting_down_) return kErrorShutdownInProgress;
  }
  Retire(std::move(rec->process));

  SpawnRequest request = SpawnFor(*rec);
  uint32_t rc = 0;
  rec->status = SERVICE_STATUS{rec->config.service_type, SERVICE_START_PENDING, 0, 0, 0, 0, 2000};
  rec->connected = false;
  rec->reported = false;
  rec->process_ended = false;
  rec->start_args = {rec->config.name};
  rec->start_args.insert(rec->start_args.end(), args.begin(), args.end());
  auto process = ServiceProcess::Spawn(request, this, &rc);
  if (!process) {
    rec->process_ended = true;
    rec->status = Stopped(rec->config.service_type, rc);
    log_.Line("scm", "cannot start service " + rec->config.name + " (" + request.command_line + "): " +
                         platform::TrimBlanks(platform::ErrorMessage(rc)));
    return rc;
  }
  rec->process = process;
  log_.Line("scm", "service " + rec->config.name + " started, pid " + std::to_string(process->pid()));

  bool settled = cv_.wait_for(lock, timeouts_.start, [&] {
    return rec->reported || rec->process != process || rec->process_ended;
  });
  if (rec->reported) return 0;
  if (settled) return kErrorProcessAborted;
  log_.Line("scm", "service " + rec->config.name + " did not report in time; killed");
  rec->status = Stopped(rec->config.service_type, kErrorServiceRequestTimeout);
  process->Kill();
  return kErrorServiceRequestTimeout;
}

uint32_t ServiceManager::Control(const Ref& rec, uint32_t control, SERVICE_STATUS* status) {
  Reap();
  std::unique_lock<std::mutex> lock(mu_);
  const SERVICE_STATUS& st = rec->status;
  if (st.dwCurrentState == SERVICE_STOPPED || !rec->process || rec->process_ended) return kErrorServiceNotActive;
  // A service in the middle of a change takes nothing but interrogation.
  if (control != SERVICE_CONTROL_INTERROGATE && (IsPending(st.dwCurrentState) || !rec->connected))
    return kErrorServiceCannotAcceptCtrl;
  if ((control == SERVICE_CONTROL_STOP && !(st.dwControlsAccepted & SERVICE_ACCEPT_STOP)) ||
      ((control == SERVICE_CONTROL_PAUSE || control == SERVICE_CONTROL_CONTINUE) &&
       !(st.dwControlsAccepted & SERVICE_ACCEPT_PAUSE_CONTINUE)) ||
      (control == SERVICE_CONTROL_SHUTDOWN))
    return kErrorInvalidServiceControl;

  uint32_t seq = ++next_seq_;
  wire::Writer w;
  w.U32(wire::kMsgControl);
  w.U32(seq);
  w.U32(control);
  std::shared_ptr<ServiceProcess> process = rec->process;
  if (!process->Send(w.data())) return kErrorServiceCannotAcceptCtrl;
  bool answered = cv_.wait_for(lock, timeouts_.control, [&] {
    return rec->acked_seq >= seq || rec->process != process || rec->process_ended;
  });
  if (!answered) return kErrorServiceRequestTimeout;
  if (rec->acked_seq >= seq && rec->ack_result != 0) return rec->ack_result;
  *status = rec->status;
  return 0;
}

uint32_t ServiceManager::QueryStatus(const Ref& rec, SERVICE_STATUS* status) {
  std::lock_guard<std::mutex> lock(mu_);
  *status = rec->status;
  return 0;
}

uint32_t ServiceManager::QueryConfig(const Ref& rec, ServiceConfig* config) {
  std::lock_guard<std::mutex> lock(mu_);
  *config = rec->config;
  return 0;
}

uint32_t ServiceManager::Delete(const Ref& rec) {
  Reap();
  std::lock_guard<std::mutex> lock(mu_);
  if (rec->marked) return kErrorServiceMarkedForDelete;
  rec->marked = true;
  if (rec->status.dwCurrentState == SERVICE_STOPPED) {
    Remove(rec);
    return 0;
  }
  uint32_t rc = store_.MarkDeleted(rec->config.name);
  if (rc != 0) log_.Line("scm", "cannot mark service " + rec->config.name + " in the registry: error " + std::to_string(rc));
  log_.Line("scm", "service " + rec->config.name + " marked for deletion");
  return 0;
}

std::vector<platform::ServiceEntry> ServiceManager::Enumerate() {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<platform::ServiceEntry> out;
  for (auto& [key, rec] : services_) out.push_back({rec->config.name, rec->config.display_name, rec->status});
  return out;
}

void ServiceManager::StartAutoServices() {
  std::vector<Ref> autos;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& [key, rec] : services_)
      if (rec->config.start_type == SERVICE_AUTO_START && !rec->marked) autos.push_back(rec);
  }
  for (const auto& rec : autos) {
    uint32_t rc = Start(rec, {});
    if (rc != 0 && rc != kErrorServiceAlreadyRunning)
      log_.Line("scm", "auto-start of " + rec->config.name + " failed: error " + std::to_string(rc));
  }
}

void ServiceManager::Shutdown() {
  std::vector<std::shared_ptr<ServiceProcess>> all;
  {
    std::unique_lock<std::mutex> lock(mu_);
    shutting_down_ = true;
    for (auto& [key, rec] : services_) {
      if (!rec->process || rec->process_ended || rec->status.dwCurrentState == SERVICE_STOPPED) continue;
      uint32_t accepted = rec->status.dwControlsAccepted;
      uint32_t control = (accepted & SERVICE_ACCEPT_STOP) || !(accepted & SERVICE_ACCEPT_SHUTDOWN)
                             ? SERVICE_CONTROL_STOP
                             : SERVICE_CONTROL_SHUTDOWN;
      if (!rec->connected) continue;
      wire::Writer w;
      w.U32(wire::kMsgControl);
      w.U32(++next_seq_);
      w.U32(control);
      rec->process->Send(w.data());
      log_.Line("scm", "stopping service " + rec->config.name);
    }
    auto all_ended = [&] {
      for (auto& [key, rec] : services_)
        if (rec->process && !rec->process_ended) return false;
      for (auto& p : retired_)
        if (!p->exited()) return false;
      return true;
    };
    if (!cv_.wait_for(lock, timeouts_.stop, all_ended)) {
      for (auto& [key, rec] : services_)
        if (rec->process && !rec->process_ended) {
          log_.Line("scm", "service " + rec->config.name + " did not stop in time; killed");
          rec->process->Kill();
        }
      for (auto& p : retired_) p->Kill();
    }
    for (auto& [key, rec] : services_)
      if (rec->process) all.push_back(rec->process);
    for (auto& p : retired_) all.push_back(p);
  }
  for (auto& p : all) p->Join();
}

void ServiceManager::OnMessage(ServiceProcess* p, const std::string& message) {
  std::lock_guard<std::mutex> lock(mu_);
  RecordPtr rec = FindByProcess(p);
  if (!rec) return;
  wire::Reader r(message);
  uint32_t kind = 0;
  if (!r.U32(&kind)) return;
  switch (kind) {
    case wire::kMsgConnect: {
      uint32_t pid = 0;
      std::string table_name;
      if (!r.U32(&pid) || !r.Text(&table_name)) return;
      rec->connected = true;
      wire::Writer w;
      w.U32(wire::kMsgStart);
      w.U32(static_cast<uint32_t>(rec->start_args.size()));
      for (const auto& a : rec->start_args) w.Text(a);
      p->Send(w.data());
      break;
    }
    case wire::kMsgStatus: {
      SERVICE_STATUS st;
      if (!r.Status(&st) || st.dwCurrentState < SERVICE_STOPPED || st.dwCurrentState > SERVICE_PAUSED) return;
      // A process that has said it stopped has no say any more.
      if (rec->reported && rec->status.dwCurrentState == SERVICE_STOPPED) return;
      rec->status = st;
      rec->reported = true;
      if (st.dwCurrentState == SERVICE_STOPPED) {
        log_.Line("scm", "service " + rec->config.name + " stopped, exit code " + std::to_string(st.dwWin32ExitCode));
        if (rec->marked) Remove(rec);
      }
      break;
    }
    case wire::kMsgControlDone: {
      uint32_t seq = 0, result = 0;
      if (!r.U32(&seq) || !r.U32(&result)) return;
      if (seq > rec->acked_seq) {
        rec->acked_seq = seq;
        rec->ack_result = result;
      }
      break;
    }
    default:
      return;
  }
  cv_.notify_all();
}

void ServiceManager::OnExit(ServiceProcess* p, uint32_t exit_code) {
  std::lock_guard<std::mutex> lock(mu_);
  exit_handled_.push_back(p);
  RecordPtr rec = FindByProcess(p);
  if (rec) {
    rec->process_ended = true;
    if (rec->status.dwCurrentState != SERVICE_STOPPED) {
      log_.Line("scm", "service " + rec->config.name + " ended without stopping (exit code " + std::to_string(exit_code) + ")");
      rec->status = Stopped(rec->status.dwServiceType, kErrorProcessAborted);
    } else {
      rec->status.dwControlsAccepted = 0;
      rec->status.dwCheckPoint = 0;
      rec->status.dwWaitHint = 0;
    }
    if (rec->marked) Remove(rec);
  }
  cv_.notify_all();
}

}  // namespace hostd
