// ClientConnection's file copy and service control on the client.
#include "VXAdmin/client/client_connection.h"
#include "VXAdmin/client/service_wait.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/service.h"
#include "platform/strings.h"

namespace vxadmin::client {
namespace {

using namespace platform;

// Program of each service the console creates; other names are not created.
std::string ImagePathOf(const std::string& name) {
  if (EqualsIgnoreCase(name, kAgentService)) return "%SystemRoot%\\system32\\VXAgent.exe";
  if (EqualsIgnoreCase(name, kUninstallService)) return "%SystemRoot%\\system32\\VXAgentRemover.exe";
  return {};
}

ServiceWait WaitFor(const ScHandle& service, const ConnectionTimeouts& t) {
  ServiceWait wait;
  wait.query = [&service](SERVICE_STATUS* st) { return QueryServiceStatus(service, st); };
  wait.poll_ms = t.service_poll_ms;
  wait.no_progress_ms = t.service_wait_ms;
  return wait;
}

}  // namespace

bool ClientConnection::CopyFileToRemoteMachine(const std::string& folder, const std::string& file,
                                               bool only_if_missing) {
  std::string source = folder + "\\" + file;
  std::string target = "\\\\" + host_ + "\\ADMIN$\\System32\\" + file;
  if (only_if_missing && PathFileExists(target)) return true;
  if (!CopyFile(source, target, false)) {
    Status(Tagged(" Could not copy " + file + " ! The file may be in use!"));
    return false;
  }
  return true;
}

bool ClientConnection::StopService(const std::string& name, bool delete_service) {
  ScHandle scm = OpenSCManagerA(host_, "", SC_MANAGER_ALL_ACCESS);
  if (!scm) return false;
  ScHandle service = OpenServiceA(scm, name, SERVICE_ALL_ACCESS);
  if (!service) return false;
  SERVICE_STATUS st;
  if (!QueryServiceStatus(service, &st)) return false;
  bool stopped = st.dwCurrentState == SERVICE_STOPPED;
  if (!stopped) {
    if (!ControlService(service, SERVICE_CONTROL_STOP, &st)) return false;
    stopped = WaitForServiceState(WaitFor(service, timeouts_), SERVICE_STOPPED, st, &st);
  }
  if (delete_service) DeleteService(service);
  return stopped;
}

bool ClientConnection::CreateAndStartService(const std::string& name, bool report) {
  SetLastError(0);
  ScHandle scm = OpenSCManagerA(host_, "", SC_MANAGER_ALL_ACCESS);
  if (!scm) {
    if (report) ReportLastError("[" + host_ + "] Could not open the service control manager!");
    return false;
  }
  ScHandle service = OpenServiceA(scm, name, SERVICE_ALL_ACCESS);
  if (!service) {
    // Only the console's own services are created; a service of another
    // name without a program to run would only clutter the client.
    std::string image = ImagePathOf(name);
    if (GetLastError() == kErrorServiceDoesNotExist && !image.empty())
      service = CreateServiceA(scm, name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                               SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, image);
    if (!service) {
      if (report) ReportLastError(Tagged(" Could not create/open the client service!"));
      return false;
    }
  }
  if (report && EqualsIgnoreCase(name, kAgentService)) Status(Tagged(" Starting client service..."));
  std::string cannot_start =
      Tagged(" Could not start the " + name + " service! Please restart " + host_ + " and try again!");
  if (!StartServiceA(service)) {
    if (GetLastError() != kErrorServiceAlreadyRunning) {
      if (report) ReportLastError(cannot_start);
      return false;
    }
    SetLastError(0);
  }
  SERVICE_STATUS st;
  if (!QueryServiceStatus(service, &st)) {
    if (report) ReportLastError(Tagged(" Could not query the status of the client service!"));
    return false;
  }
  if (WaitForServiceState(WaitFor(service, timeouts_), SERVICE_RUNNING, st, &st)) return true;
  if (report) {
    // Say why it did not run rather than "The operation completed successfully".
    if (GetLastError() == 0)
      SetLastError(st.dwWin32ExitCode != 0 ? st.dwWin32ExitCode : kErrorServiceRequestTimeout);
    ReportLastError(cannot_start);
  }
  return false;
}

bool ClientConnection::RestartService(const std::string& name) {
  StopService(name, false);
  return CreateAndStartService(name, false);
}

}  // namespace vxadmin::client
