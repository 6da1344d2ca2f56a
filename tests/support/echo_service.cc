// A service program that serves the pipe "\\.\pipe\VXEchoPipe" like an
// agent pipe thread: one client at a time, each message answered with
// "echo:" and the message, until the service is stopped.
#include <atomic>
#include <string>
#include <thread>

#include "platform/error.h"
#include "platform/pipe.h"
#include "platform/service.h"
#include "platform/service_program.h"

namespace {
using namespace platform;

SERVICE_STATUS_HANDLE g_handle = 0;
PipeServer g_pipe;
std::thread g_thread;

void Report(uint32_t state, uint32_t accepted) {
  SERVICE_STATUS s;
  s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  s.dwCurrentState = state;
  s.dwControlsAccepted = accepted;
  SetServiceStatus(g_handle, &s);
}

void Serve() {
  std::string buf(4096, '\0');
  while (g_pipe.Connect()) {
    uint32_t n = 0, w = 0;
    while (g_pipe.Read(buf.data(), static_cast<uint32_t>(buf.size()), &n)) {
      std::string reply = "echo:" + buf.substr(0, n);
      if (!g_pipe.Write(reply.data(), static_cast<uint32_t>(reply.size()), &w)) break;
      g_pipe.Flush();
    }
    if (!g_pipe.Disconnect()) break;
  }
}

void Handler(uint32_t control) {
  if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_SHUTDOWN) return;
  Report(SERVICE_STOP_PENDING, 0);
  g_pipe.Cancel();
  if (g_thread.joinable()) g_thread.join();
  g_pipe.Close();
  Report(SERVICE_STOPPED, 0);
}

void ServiceMain(uint32_t, char**) {
  g_handle = RegisterServiceCtrlHandlerA("VXEcho", Handler);
  if (!g_handle) return;
  if (!g_pipe.Create("\\\\.\\pipe\\VXEchoPipe")) {
    SERVICE_STATUS s;
    s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    s.dwCurrentState = SERVICE_STOPPED;
    s.dwWin32ExitCode = GetLastError();
    SetServiceStatus(g_handle, &s);
    return;
  }
  g_thread = std::thread(Serve);
  Report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN);
}

}  // namespace

int main() {
  SERVICE_TABLE_ENTRYA table[] = {{"VXEcho", ServiceMain}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherA(table) ? 0 : 1;
}
