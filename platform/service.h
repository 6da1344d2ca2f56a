// Services: the service control manager (SCM) of a host as its clients see
// it (OpenSCManagerA ... DeleteService).
//
// The SCM of a host is its daemon vxhostd; local programs reach it through
// <root>/run/scm.sock (the wire protocol is docs/formats/scm-protocol.md).
// A machine name that is not this host goes to the connector registered
// with RegisterRemoteScmConnector; without one it fails with 53.
//
// Every operation that fails returns false (or an invalid handle) and sets
// the thread's last error with the Windows code: 5 access not granted by
// the handle, 6 invalid handle, 53 unknown machine, 87 bad argument, 123
// bad service name, 1052 control not accepted, 1053 the service did not
// answer in time, 1056 already running, 1058 disabled, 1060 no such
// service, 1061 control not accepted in the current state, 1062 not
// running, 1067 the process ended before it reported, 1072 marked for
// deletion, 1073 exists, 1078 display name in use, 1722 the host's SCM is
// not reachable. Out-parameters are left untouched on failure.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Service types.
constexpr uint32_t SERVICE_WIN32_OWN_PROCESS = 0x10;
constexpr uint32_t SERVICE_WIN32_SHARE_PROCESS = 0x20;
constexpr uint32_t SERVICE_INTERACTIVE_PROCESS = 0x100;

// Start types.
constexpr uint32_t SERVICE_AUTO_START = 2;
constexpr uint32_t SERVICE_DEMAND_START = 3;
constexpr uint32_t SERVICE_DISABLED = 4;

// Error control.
constexpr uint32_t SERVICE_ERROR_IGNORE = 0;
constexpr uint32_t SERVICE_ERROR_NORMAL = 1;
constexpr uint32_t SERVICE_ERROR_SEVERE = 2;
constexpr uint32_t SERVICE_ERROR_CRITICAL = 3;

// Current states.
constexpr uint32_t SERVICE_STOPPED = 1;
constexpr uint32_t SERVICE_START_PENDING = 2;
constexpr uint32_t SERVICE_STOP_PENDING = 3;
constexpr uint32_t SERVICE_RUNNING = 4;
constexpr uint32_t SERVICE_CONTINUE_PENDING = 5;
constexpr uint32_t SERVICE_PAUSE_PENDING = 6;
constexpr uint32_t SERVICE_PAUSED = 7;

// Controls accepted.
constexpr uint32_t SERVICE_ACCEPT_STOP = 0x01;
constexpr uint32_t SERVICE_ACCEPT_PAUSE_CONTINUE = 0x02;
constexpr uint32_t SERVICE_ACCEPT_SHUTDOWN = 0x04;

// Control codes; 128 to 255 are the service's own.
constexpr uint32_t SERVICE_CONTROL_STOP = 1;
constexpr uint32_t SERVICE_CONTROL_PAUSE = 2;
constexpr uint32_t SERVICE_CONTROL_CONTINUE = 3;
constexpr uint32_t SERVICE_CONTROL_INTERROGATE = 4;
constexpr uint32_t SERVICE_CONTROL_SHUTDOWN = 5;

// Access rights of manager and service handles.
constexpr uint32_t SC_MANAGER_CONNECT = 0x0001;
constexpr uint32_t SC_MANAGER_CREATE_SERVICE = 0x0002;
constexpr uint32_t SC_MANAGER_ENUMERATE_SERVICE = 0x0004;
constexpr uint32_t SC_MANAGER_ALL_ACCESS = 0xF003F;
constexpr uint32_t SERVICE_QUERY_CONFIG = 0x0001;
constexpr uint32_t SERVICE_QUERY_STATUS = 0x0004;
constexpr uint32_t SERVICE_START = 0x0010;
constexpr uint32_t SERVICE_STOP = 0x0020;
constexpr uint32_t SERVICE_PAUSE_CONTINUE = 0x0040;
constexpr uint32_t SERVICE_INTERROGATE = 0x0080;
constexpr uint32_t SERVICE_USER_DEFINED_CONTROL = 0x0100;
constexpr uint32_t SERVICE_DELETE = 0x10000;
constexpr uint32_t SERVICE_ALL_ACCESS = 0xF01FF;

// The service manager of this host cannot be reached.
constexpr uint32_t kErrorRpcServerUnavailable = 1722;

// A service's status as it last reported it (the SCM fills in STOPPED
// with exit code 1067 for a process that ended without saying so).
struct SERVICE_STATUS {
  uint32_t dwServiceType = 0;
  uint32_t dwCurrentState = 0;
  uint32_t dwControlsAccepted = 0;
  uint32_t dwWin32ExitCode = 0;
  uint32_t dwServiceSpecificExitCode = 0;
  uint32_t dwCheckPoint = 0;
  uint32_t dwWaitHint = 0;
};

// A service's registration (QueryServiceConfigA).
struct ServiceConfig {
  std::string name;            // as created
  std::string display_name;
  uint32_t service_type = SERVICE_WIN32_OWN_PROCESS;
  uint32_t start_type = SERVICE_DEMAND_START;
  uint32_t error_control = SERVICE_ERROR_NORMAL;
  std::string image_path;      // as stored, unexpanded
  std::string account;         // "LocalSystem"
};

// One entry of EnumServicesStatusA.
struct ServiceEntry {
  std::string name;
  std::string display_name;
  SERVICE_STATUS status;
};

// A way to exchange SCM requests with one service manager: the local
// daemon's socket, or a remote host's daemon through its session. Bodies
// are the frame bodies of the SCM protocol (without the length prefix).
class ScmTransport {
 public:
  virtual ~ScmTransport() = default;
  // Sends one request and receives its reply. False with the last error
  // set when the exchange failed (the reply's own error is in its body).
  virtual bool RoundTrip(const std::string& request, std::string* reply) = 0;
};

// Opens a transport to the SCM of `machine` (a name as the caller wrote it,
// without leading backslashes); null with the last error set on failure.
using RemoteScmConnector = std::function<std::unique_ptr<ScmTransport>(const std::string& machine)>;

// Installs the connector used for machine names other than this host's
// (an empty function removes it). Process-wide.
void RegisterRemoteScmConnector(RemoteScmConnector connector);

// The transport to this host's own daemon (<root>/run/scm.sock); null with
// 1722 when no daemon listens.
std::unique_ptr<ScmTransport> ConnectLocalScm();

// A handle to a service manager or a service (SC_HANDLE). Closed when the
// object dies; service handles keep their manager's connection alive.
class ScHandle {
 public:
  ScHandle();
  ~ScHandle();
  ScHandle(ScHandle&& other) noexcept;
  ScHandle& operator=(ScHandle&& other) noexcept;
  ScHandle(const ScHandle&) = delete;
  ScHandle& operator=(const ScHandle&) = delete;

  bool IsValid() const { return impl_ != nullptr; }
  explicit operator bool() const { return IsValid(); }
  void Close();

  struct Impl;
  explicit ScHandle(std::shared_ptr<Impl> impl);
  const std::shared_ptr<Impl>& impl() const { return impl_; }

 private:
  std::shared_ptr<Impl> impl_;
};

// OpenSCManagerA: `machine` empty, ".", this host's name or "\\NAME" of it
// means this host. `database` must be empty or "ServicesActive" (1065
// otherwise).
ScHandle OpenSCManagerA(std::string_view machine, std::string_view database, uint32_t access);
// OpenServiceA: 1060 for an unknown name (looked up without regard to case).
ScHandle OpenServiceA(const ScHandle& manager, std::string_view name, uint32_t access);
// CreateServiceA: `image_path` may hold %SystemRoot%, expanded when the
// service starts; an empty `account` is LocalSystem. Opens the new service.
ScHandle CreateServiceA(const ScHandle& manager, std::string_view name,
                        std::string_view display_name, uint32_t access,
                        uint32_t service_type, uint32_t start_type, uint32_t error_control,
                        std::string_view image_path, std::string_view account = {});
// StartServiceA: returns once the service process has reported its first
// status (or failed); `args` are passed to the service main after its name.
bool StartServiceA(const ScHandle& service, const std::vector<std::string>& args = {});
// ControlService: sends `control` and waits until the service's handler has
// run; `status` receives the status after it.
bool ControlService(const ScHandle& service, uint32_t control, SERVICE_STATUS* status);
bool QueryServiceStatus(const ScHandle& service, SERVICE_STATUS* status);
bool QueryServiceConfigA(const ScHandle& service, ServiceConfig* config);
// DeleteService: marks the service; it leaves the registry once stopped.
bool DeleteService(const ScHandle& service);
// EnumServicesStatusA over every service of the manager, in name order.
bool EnumServicesStatusA(const ScHandle& manager, std::vector<ServiceEntry>* services);
// CloseServiceHandle: false with 6 for a handle that is not open.
bool CloseServiceHandle(ScHandle& handle);

// Name of a state ("RUNNING", "STOPPED", ...) for tools and logs.
const char* ServiceStateName(uint32_t state);

}  // namespace platform
