#include "platform/service.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <mutex>

#include "platform/error.h"
#include "platform/host.h"
#include "platform/service_wire.h"
#include "platform/strings.h"

namespace platform {

using service_wire::Reader;
using service_wire::Writer;

namespace {

constexpr uint32_t kGenericRead = 0x80000000u;
constexpr uint32_t kGenericWrite = 0x40000000u;
constexpr uint32_t kGenericExecute = 0x20000000u;
constexpr uint32_t kGenericAll = 0x10000000u;
constexpr uint32_t kErrorDatabaseDoesNotExist = 1065;

std::mutex g_connector_mu;
RemoteScmConnector g_connector;

class LocalTransport : public ScmTransport {
 public:
  explicit LocalTransport(int fd) : fd_(fd) {}
  ~LocalTransport() override { ::close(fd_); }
  bool RoundTrip(const std::string& request, std::string* reply) override {
    if (!service_wire::WriteFrame(fd_, request)) return Fail(kErrorRpcServerUnavailable);
    if (!service_wire::ReadFrame(fd_, reply)) return Fail(kErrorRpcServerUnavailable);
    return true;
  }

 private:
  int fd_;
};

// Rights a handle must hold for an operation; generic rights stand for
// the specific ones they map to.
bool Granted(uint32_t access, uint32_t needed) {
  if (access & kGenericAll) return true;
  if (access & kGenericRead)
    access |= SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SC_MANAGER_ENUMERATE_SERVICE;
  if (access & kGenericWrite) access |= SC_MANAGER_CREATE_SERVICE;
  if (access & kGenericExecute)
    access |= SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE | SERVICE_INTERROGATE |
              SERVICE_USER_DEFINED_CONTROL;
  return (access & needed) == needed;
}

bool IsLocalMachine(std::string_view machine) {
  while (!machine.empty() && (machine.front() == '\\' || machine.front() == '/')) machine.remove_prefix(1);
  if (machine.empty() || machine == ".") return true;
  Host* host = Host::Current();
  return host && EqualsIgnoreCase(machine, host->computer_name());
}

}  // namespace

struct ScHandle::Impl {
  struct Connection {
    std::mutex mu;
    std::unique_ptr<ScmTransport> transport;
  };
  std::shared_ptr<Connection> conn;
  bool is_service = false;
  std::string name;     // service name as stored
  uint32_t handle = 0;  // the SCM's number for this service handle
  uint32_t access = 0;

  ~Impl() {
    if (!is_service || !conn) return;
    // Closing is best effort (the SCM drops a session's handles with it)
    // and must not disturb the caller's last error.
    uint32_t saved = GetLastError();
    Writer w;
    w.U32(service_wire::kOpCloseHandle);
    w.U32(handle);
    std::string reply;
    Call(w, &reply);
    SetLastError(saved);
  }

  // One exchange; on success `*rest` reads the reply after its error code.
  bool Call(const Writer& request, std::string* reply) const {
    std::lock_guard<std::mutex> lock(conn->mu);
    std::string body;
    if (!conn->transport->RoundTrip(request.data(), &body)) return false;
    Reader r(body);
    uint32_t error = 0;
    if (!r.U32(&error)) return Fail(kErrorInvalidData);
    if (error != 0) return Fail(error);
    reply->assign(body, 4);
    return true;
  }
};

ScHandle::ScHandle() = default;
ScHandle::~ScHandle() = default;
ScHandle::ScHandle(ScHandle&& other) noexcept = default;
ScHandle& ScHandle::operator=(ScHandle&& other) noexcept = default;
ScHandle::ScHandle(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
void ScHandle::Close() { impl_.reset(); }

void RegisterRemoteScmConnector(RemoteScmConnector connector) {
  std::lock_guard<std::mutex> lock(g_connector_mu);
  g_connector = std::move(connector);
}

std::unique_ptr<ScmTransport> ConnectLocalScm() {
  Host* host = Host::Current();
  if (!host) {
    Fail(kErrorRpcServerUnavailable);
    return nullptr;
  }
  std::string path = host->RunDir() + "/scm.sock";
  sockaddr_un addr{};
  if (path.size() >= sizeof addr.sun_path) {
    Fail(kErrorRpcServerUnavailable);
    return nullptr;
  }
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    FailErrno(errno);
    return nullptr;
  }
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    Fail(kErrorRpcServerUnavailable);
    return nullptr;
  }
  return std::make_unique<LocalTransport>(fd);
}

ScHandle OpenSCManagerA(std::string_view machine, std::string_view database, uint32_t access) {
  if (!database.empty() && !EqualsIgnoreCase(database, "ServicesActive")) {
    Fail(kErrorDatabaseDoesNotExist);
    return {};
  }
  std::unique_ptr<ScmTransport> transport;
  if (IsLocalMachine(machine)) {
    transport = ConnectLocalScm();
  } else {
    RemoteScmConnector connector;
    {
      std::lock_guard<std::mutex> lock(g_connector_mu);
      connector = g_connector;
    }
    while (!machine.empty() && (machine.front() == '\\' || machine.front() == '/')) machine.remove_prefix(1);
    if (!connector) {
      Fail(kErrorBadNetPath);
      return {};
    }
    transport = connector(std::string(machine));
  }
  if (!transport) return {};
  auto impl = std::make_shared<ScHandle::Impl>();
  impl->conn = std::make_shared<ScHandle::Impl::Connection>();
  impl->conn->transport = std::move(transport);
  impl->access = access;
  Writer w;
  w.U32(service_wire::kOpHello);
  w.U32(service_wire::kProtocolVersion);
  std::string reply;
  if (!impl->Call(w, &reply)) return {};
  return ScHandle(std::move(impl));
}

namespace {

const ScHandle::Impl* Manager(const ScHandle& h) {
  if (!h.impl() || h.impl()->is_service) {
    Fail(kErrorInvalidHandle);
    return nullptr;
  }
  return h.impl().get();
}

const ScHandle::Impl* Service(const ScHandle& h, uint32_t needed) {
  if (!h.impl() || !h.impl()->is_service) {
    Fail(kErrorInvalidHandle);
    return nullptr;
  }
  if (!Granted(h.impl()->access, needed)) {
    Fail(kErrorAccessDenied);
    return nullptr;
  }
  return h.impl().get();
}

ScHandle ServiceHandle(const ScHandle::Impl& manager, const std::string& reply, uint32_t access) {
  Reader r(reply);
  std::string stored;
  uint32_t number = 0;
  if (!r.U32(&number) || !r.Text(&stored)) {
    Fail(kErrorInvalidData);
    return {};
  }
  auto impl = std::make_shared<ScHandle::Impl>();
  impl->conn = manager.conn;
  impl->is_service = true;
  impl->handle = number;
  impl->name = std::move(stored);
  impl->access = access;
  return ScHandle(std::move(impl));
}

}  // namespace

ScHandle OpenServiceA(const ScHandle& manager, std::string_view name, uint32_t access) {
  const ScHandle::Impl* m = Manager(manager);
  if (!m) return {};
  Writer w;
  w.U32(service_wire::kOpOpenService);
  w.Text(name);
  std::string reply;
  if (!m->Call(w, &reply)) return {};
  return ServiceHandle(*m, reply, access);
}

ScHandle CreateServiceA(const ScHandle& manager, std::string_view name,
                        std::string_view display_name, uint32_t access,
                        uint32_t service_type, uint32_t start_type, uint32_t error_control,
                        std::string_view image_path, std::string_view account) {
  const ScHandle::Impl* m = Manager(manager);
  if (!m) return {};
  if (!Granted(m->access, SC_MANAGER_CREATE_SERVICE)) {
    Fail(kErrorAccessDenied);
    return {};
  }
  ServiceConfig c;
  c.name = std::string(name);
  c.display_name = std::string(display_name);
  c.service_type = service_type;
  c.start_type = start_type;
  c.error_control = error_control;
  c.image_path = std::string(image_path);
  c.account = std::string(account);
  Writer w;
  w.U32(service_wire::kOpCreateService);
  w.Config(c);
  std::string reply;
  if (!m->Call(w, &reply)) return {};
  return ServiceHandle(*m, reply, access);
}

bool StartServiceA(const ScHandle& service, const std::vector<std::string>& args) {
  const ScHandle::Impl* s = Service(service, SERVICE_START);
  if (!s) return false;
  Writer w;
  w.U32(service_wire::kOpStartService);
  w.U32(s->handle);
  w.U32(static_cast<uint32_t>(args.size()));
  for (const auto& a : args) w.Text(a);
  if (w.data().size() > service_wire::kMaxFrame) return Fail(kErrorInvalidParameter);
  std::string reply;
  return s->Call(w, &reply);
}

bool ControlService(const ScHandle& service, uint32_t control, SERVICE_STATUS* status) {
  uint32_t needed = SERVICE_USER_DEFINED_CONTROL;
  switch (control) {
    case SERVICE_CONTROL_STOP: needed = SERVICE_STOP; break;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE: needed = SERVICE_PAUSE_CONTINUE; break;
    case SERVICE_CONTROL_INTERROGATE: needed = SERVICE_INTERROGATE; break;
    default:
      // Shutdown is the SCM's own; other low codes are not controls.
      if (control < 128 || control > 255) {
        if (!service.impl() || !service.impl()->is_service) return Fail(kErrorInvalidHandle);
        return Fail(kErrorInvalidParameter);
      }
  }
  const ScHandle::Impl* s = Service(service, needed);
  if (!s) return false;
  Writer w;
  w.U32(service_wire::kOpControlService);
  w.U32(s->handle);
  w.U32(control);
  std::string reply;
  if (!s->Call(w, &reply)) return false;
  SERVICE_STATUS st;
  if (!Reader(reply).Status(&st)) return Fail(kErrorInvalidData);
  if (status) *status = st;
  return true;
}

bool QueryServiceStatus(const ScHandle& service, SERVICE_STATUS* status) {
  const ScHandle::Impl* s = Service(service, SERVICE_QUERY_STATUS);
  if (!s) return false;
  if (!status) return Fail(kErrorInvalidParameter);
  Writer w;
  w.U32(service_wire::kOpQueryStatus);
  w.U32(s->handle);
  std::string reply;
  if (!s->Call(w, &reply)) return false;
  SERVICE_STATUS st;
  if (!Reader(reply).Status(&st)) return Fail(kErrorInvalidData);
  *status = st;
  return true;
}

bool QueryServiceConfigA(const ScHandle& service, ServiceConfig* config) {
  const ScHandle::Impl* s = Service(service, SERVICE_QUERY_CONFIG);
  if (!s) return false;
  if (!config) return Fail(kErrorInvalidParameter);
  Writer w;
  w.U32(service_wire::kOpQueryConfig);
  w.U32(s->handle);
  std::string reply;
  if (!s->Call(w, &reply)) return false;
  ServiceConfig c;
  if (!Reader(reply).Config(&c)) return Fail(kErrorInvalidData);
  *config = std::move(c);
  return true;
}

bool DeleteService(const ScHandle& service) {
  const ScHandle::Impl* s = Service(service, SERVICE_DELETE);
  if (!s) return false;
  Writer w;
  w.U32(service_wire::kOpDeleteService);
  w.U32(s->handle);
  std::string reply;
  return s->Call(w, &reply);
}

bool EnumServicesStatusA(const ScHandle& manager, std::vector<ServiceEntry>* services) {
  const ScHandle::Impl* m = Manager(manager);
  if (!m) return false;
  if (!Granted(m->access, SC_MANAGER_ENUMERATE_SERVICE)) return Fail(kErrorAccessDenied);
  Writer w;
  w.U32(service_wire::kOpEnumServices);
  std::string reply;
  if (!m->Call(w, &reply)) return false;
  Reader r(reply);
  uint32_t count = 0;
  if (!r.U32(&count)) return Fail(kErrorInvalidData);
  // Each entry takes at least 36 bytes; a larger count is a lie.
  if (count > reply.size() / 36) return Fail(kErrorInvalidData);
  std::vector<ServiceEntry> out(count);
  for (auto& e : out)
    if (!r.Text(&e.name) || !r.Text(&e.display_name) || !r.Status(&e.status))
      return Fail(kErrorInvalidData);
  *services = std::move(out);
  return true;
}

bool CloseServiceHandle(ScHandle& handle) {
  if (!handle.IsValid()) return Fail(kErrorInvalidHandle);
  handle.Close();
  return true;
}

const char* ServiceStateName(uint32_t state) {
  switch (state) {
    case SERVICE_STOPPED: return "STOPPED";
    case SERVICE_START_PENDING: return "START_PENDING";
    case SERVICE_STOP_PENDING: return "STOP_PENDING";
    case SERVICE_RUNNING: return "RUNNING";
    case SERVICE_CONTINUE_PENDING: return "CONTINUE_PENDING";
    case SERVICE_PAUSE_PENDING: return "PAUSE_PENDING";
    case SERVICE_PAUSED: return "PAUSED";
  }
  return "UNKNOWN";
}

}  // namespace platform
