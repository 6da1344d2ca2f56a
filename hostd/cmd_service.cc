// vxhost service: the host's services through its SCM (the daemon must run).
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "hostd/vxhost_command.h"
#include "platform/error.h"
#include "platform/service.h"
#include "platform/strings.h"

namespace vxhost {
namespace {

using namespace platform;

int ServiceFail(const std::string& what) {
  uint32_t code = GetLastError();
  return Fail("service " + what + ": " + TrimBlanks(ErrorMessage(code)) + " (" + std::to_string(code) + ")");
}

void PrintStatus(const std::string& name, const SERVICE_STATUS& s) {
  std::printf("SERVICE_NAME: %s\n", name.c_str());
  std::printf("  TYPE: %x\n", s.dwServiceType);
  std::printf("  STATE: %u %s\n", s.dwCurrentState, ServiceStateName(s.dwCurrentState));
  std::printf("  CONTROLS_ACCEPTED: %x\n", s.dwControlsAccepted);
  std::printf("  WIN32_EXIT_CODE: %u\n", s.dwWin32ExitCode);
  std::printf("  SERVICE_EXIT_CODE: %u\n", s.dwServiceSpecificExitCode);
  std::printf("  CHECKPOINT: %u\n", s.dwCheckPoint);
  std::printf("  WAIT_HINT: %u\n", s.dwWaitHint);
}

const char* StartTypeName(uint32_t t) {
  switch (t) {
    case SERVICE_AUTO_START: return "auto";
    case SERVICE_DEMAND_START: return "demand";
    case SERVICE_DISABLED: return "disabled";
  }
  return "?";
}

int List(const ScHandle& scm) {
  std::vector<ServiceEntry> all;
  if (!EnumServicesStatusA(scm, &all)) return ServiceFail("list");
  for (const auto& e : all)
    std::printf("%-24s %-16s %s\n", e.name.c_str(), ServiceStateName(e.status.dwCurrentState), e.display_name.c_str());
  return 0;
}

int Create(const ScHandle& scm, const std::vector<std::string>& a) {
  std::string name, path, display;
  uint32_t start = SERVICE_DEMAND_START;
  for (size_t i = 1; i < a.size(); ++i) {
    if ((a[i] == "--display" || a[i] == "--start") && i + 1 < a.size()) {
      const std::string& v = a[++i];
      if (a[i - 1] == "--display") {
        display = v;
      } else if (v == "auto") {
        start = SERVICE_AUTO_START;
      } else if (v == "demand") {
        start = SERVICE_DEMAND_START;
      } else if (v == "disabled") {
        start = SERVICE_DISABLED;
      } else {
        return Fail("service create: --start " + v + ": not auto, demand or disabled");
      }
    } else if (name.empty() && a[i][0] != '-') {
      name = a[i];
    } else if (path.empty() && a[i][0] != '-') {
      path = a[i];
    } else {
      return Fail("service create: unexpected argument '" + a[i] + "'");
    }
  }
  if (name.empty() || path.empty()) return Fail("service create: NAME and PATH are needed");
  ScHandle s = CreateServiceA(scm, name, display.empty() ? name : display, SERVICE_ALL_ACCESS,
                              SERVICE_WIN32_OWN_PROCESS, start, SERVICE_ERROR_NORMAL, path);
  if (!s) return ServiceFail("create " + name);
  std::printf("service %s created (%s start)\n", name.c_str(), StartTypeName(start));
  return 0;
}

// Polls until the service is stopped, giving up after 30 s without
// progress of its check point.
int WaitStopped(const ScHandle& s, const std::string& name) {
  SERVICE_STATUS st;
  auto last_progress = std::chrono::steady_clock::now();
  uint32_t check_point = 0;
  for (;;) {
    if (!QueryServiceStatus(s, &st)) return ServiceFail("stop " + name);
    if (st.dwCurrentState == SERVICE_STOPPED) break;
    auto now = std::chrono::steady_clock::now();
    if (st.dwCheckPoint > check_point) {
      check_point = st.dwCheckPoint;
      last_progress = now;
    } else if (now - last_progress > std::chrono::seconds(30)) {
      return Fail("service stop " + name + ": no progress for 30 s (" + ServiceStateName(st.dwCurrentState) + ")");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::printf("%s: %s\n", name.c_str(), ServiceStateName(st.dwCurrentState));
  return 0;
}

int OnService(const ScHandle& scm, const std::vector<std::string>& a) {
  const std::string& verb = a[0];
  if (a.size() < 2) return Fail("service " + verb + ": NAME is needed");
  const std::string& name = a[1];
  ScHandle s = OpenServiceA(scm, name, SERVICE_ALL_ACCESS);
  if (!s) return ServiceFail(verb + " " + name);
  if (verb == "start") {
    std::vector<std::string> args(a.begin() + 2, a.end());
    if (!StartServiceA(s, args)) return ServiceFail("start " + name);
    SERVICE_STATUS st;
    if (!QueryServiceStatus(s, &st)) return ServiceFail("start " + name);
    std::printf("%s: %s\n", name.c_str(), ServiceStateName(st.dwCurrentState));
    return 0;
  }
  if (a.size() > 2) return Fail("service " + verb + ": unexpected argument '" + a[2] + "'");
  if (verb == "stop") {
    SERVICE_STATUS st;
    if (!ControlService(s, SERVICE_CONTROL_STOP, &st)) return ServiceFail("stop " + name);
    return WaitStopped(s, name);
  }
  if (verb == "query") {
    SERVICE_STATUS st;
    ServiceConfig c;
    if (!QueryServiceStatus(s, &st) || !QueryServiceConfigA(s, &c)) return ServiceFail("query " + name);
    PrintStatus(c.name, st);
    std::printf("  DISPLAY_NAME: %s\n  START_TYPE: %s\n  BINARY_PATH_NAME: %s\n  SERVICE_START_NAME: %s\n",
                c.display_name.c_str(), StartTypeName(c.start_type), c.image_path.c_str(), c.account.c_str());
    return 0;
  }
  if (verb == "delete") {
    if (!DeleteService(s)) return ServiceFail("delete " + name);
    std::printf("service %s deleted\n", name.c_str());
    return 0;
  }
  return Fail("service: unknown subcommand '" + verb + "' (list, create, start, stop, query, delete)");
}

int Service(const Invocation& inv) {
  if (inv.args.empty()) return Fail("service: subcommand missing (list, create, start, stop, query, delete)");
  if (!LoadHost(inv)) return 2;
  ScHandle scm = OpenSCManagerA("", "", SC_MANAGER_ALL_ACCESS);
  if (!scm) return ServiceFail("manager");
  const std::string& verb = inv.args[0];
  if (verb == "list") return List(scm);
  if (verb == "create") return Create(scm, inv.args);
  return OnService(scm, inv.args);
}

}  // namespace

VXHOST_COMMAND(service, "service",
               "service list | create NAME PATH [--display D] [--start auto|demand|disabled] | "
               "start NAME [ARG...] | stop NAME | query NAME | delete NAME",
               Service);

}  // namespace vxhost
