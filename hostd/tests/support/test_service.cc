// A service program for the SCM tests. Its first argument picks a
// behaviour; everything it does is appended as lines to "<service>.trace"
// in its working folder (the host's system folder under the SCM) and
// printed on standard output; started from a shell it only prints.
//
//   normal [EXIT SPECIFIC]  START_PENDING, RUNNING (stop, shutdown); stop
//                           reports STOPPED with the given exit codes, then
//                           tries one more report (traced when refused)
//   steps                   START_PENDING check point 1, 2 when <svc>.go1
//                           appears, RUNNING when <svc>.go2 appears
//   deaf                    RUNNING accepting no control, ignores them all
//   exit-now                ends with code 5 before the dispatcher
//   hang                    never calls the dispatcher (sleeps a minute)
//   ask                     asks the SCM for its own status before it
//                           reports anything, then runs as normal
//
// Controls: 150 is traced, 200 ends the process at once with code 3.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "platform/error.h"
#include "platform/host.h"
#include "platform/service_program.h"

namespace {

using namespace platform;

std::string g_mode;
std::string g_name = "shell";
uint32_t g_exit = 0, g_specific = 0;
SERVICE_STATUS_HANDLE g_handle = 0;
std::mutex g_mu;
SERVICE_STATUS g_status;

void Trace(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_mu);
  if (g_name != "shell") std::ofstream(g_name + ".trace", std::ios::app) << line << "\n";
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

void Report(uint32_t state, uint32_t accepted, uint32_t check_point, uint32_t exit_code = 0, uint32_t specific = 0) {
  SERVICE_STATUS s;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_status.dwCurrentState = state;
    g_status.dwControlsAccepted = accepted;
    g_status.dwCheckPoint = check_point;
    g_status.dwWaitHint = check_point ? 3000 : 0;
    g_status.dwWin32ExitCode = exit_code;
    g_status.dwServiceSpecificExitCode = specific;
    s = g_status;
  }
  if (!SetServiceStatus(g_handle, &s)) Trace("SetServiceStatus failed " + std::to_string(GetLastError()));
}

bool WaitForFile(const std::string& path) {
  for (int i = 0; i < 1000; ++i) {
    if (::access(path.c_str(), F_OK) == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

void Handler(uint32_t control) {
  if (g_mode == "deaf") {
    Trace("ignored " + std::to_string(control));
    return;
  }
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      Trace(control == SERVICE_CONTROL_STOP ? "stop" : "shutdown");
      Report(SERVICE_STOP_PENDING, 0, 1);
      Report(SERVICE_STOPPED, 0, 0, g_exit, g_specific);
      // A report after STOPPED must be refused.
      Report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0);
      return;
    case 200:
      Trace("crash");
      std::_Exit(3);
    default: {
      Trace("control " + std::to_string(control));
      SERVICE_STATUS s;
      {
        std::lock_guard<std::mutex> lock(g_mu);
        s = g_status;
      }
      SetServiceStatus(g_handle, &s);
    }
  }
}

void ServiceMain(uint32_t argc, char** argv) {
  std::string args;
  for (uint32_t i = 0; i < argc; ++i) args += std::string(i ? " " : "") + argv[i];
  Trace("main " + args);
  g_handle = RegisterServiceCtrlHandlerA("Service", Handler);
  if (!g_handle) {
    Trace("RegisterServiceCtrlHandlerA failed " + std::to_string(GetLastError()));
    return;
  }
  bool is_service = false;
  IsService(&is_service);
  char cwd[4096] = "";
  if (!::getcwd(cwd, sizeof cwd)) cwd[0] = 0;
  Host* host = Host::Current();
  Trace(std::string("service is_service=") + (is_service ? "1" : "0") +
        " account=" + (host ? host->CurrentAccount().name : "?") + " cwd=" + cwd);
  if (g_mode == "deaf") {
    Report(SERVICE_RUNNING, 0, 0);
    return;
  }
  if (g_mode == "ask") {
    ScHandle scm = OpenSCManagerA("", "", SC_MANAGER_CONNECT);
    ScHandle self = OpenServiceA(scm, g_name, SERVICE_QUERY_STATUS);
    SERVICE_STATUS st;
    if (QueryServiceStatus(self, &st))
      Trace(std::string("asked ") + ServiceStateName(st.dwCurrentState));
    else
      Trace("ask failed " + std::to_string(GetLastError()));
  }
  Report(SERVICE_START_PENDING, 0, 1);
  if (g_mode == "steps") {
    if (!WaitForFile(g_name + ".go1")) return;
    Report(SERVICE_START_PENDING, 0, 2);
    if (!WaitForFile(g_name + ".go2")) return;
  }
  Report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN, 0);
  Trace("running");
  // Returns like the agent's service main: the service lives on in the
  // dispatcher until it is stopped.
}

}  // namespace

int main(int argc, char** argv) {
  g_mode = argc > 1 ? argv[1] : "normal";
  if (argc > 3) {
    g_exit = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));
    g_specific = static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10));
  }
  if (const char* n = std::getenv("VX_SERVICE_NAME")) g_name = n;
  if (g_mode == "exit-now") return 5;
  if (g_mode == "hang") {
    std::this_thread::sleep_for(std::chrono::seconds(60));
    return 0;
  }
  bool is_service = false;
  IsService(&is_service);
  Trace(std::string("start is_service=") + (is_service ? "1" : "0") + " pid=" + std::to_string(::getpid()));
  SERVICE_TABLE_ENTRYA table[] = {{"TestService", ServiceMain}, {nullptr, nullptr}};
  bool ok = StartServiceCtrlDispatcherA(table);
  uint32_t error = ok ? 0 : GetLastError();
  Trace(std::string("dispatcher returned ok=") + (ok ? "1" : "0") + " error=" + std::to_string(error));
  return 0;
}
