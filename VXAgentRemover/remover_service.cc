#include "VXAgentRemover/remover_service.h"

#include "VXAgentRemover/agent_remover.h"
#include "VXAgentRemover/uninstall_log.h"
#include "platform/file.h"
#include "platform/service.h"
#include "platform/service_program.h"

namespace vxremover {
namespace {

platform::SERVICE_STATUS g_status;
platform::SERVICE_STATUS_HANDLE g_status_handle = 0;

void ControlHandler(uint32_t control) {
  if (control == platform::SERVICE_CONTROL_STOP) {
    g_status.dwCurrentState = platform::SERVICE_STOPPED;
    g_status.dwWin32ExitCode = 0;
    g_status.dwCheckPoint = 0;
    g_status.dwWaitHint = 0;
  }
  platform::SetServiceStatus(g_status_handle, &g_status);
}

void StartRemoteAdminService(uint32_t, char**) {
  UninstallLog("In StartRemoteAdminService");
  g_status = {};
  g_status.dwServiceType = platform::SERVICE_WIN32_OWN_PROCESS | platform::SERVICE_WIN32_SHARE_PROCESS;
  g_status.dwCurrentState = platform::SERVICE_START_PENDING;
  g_status.dwControlsAccepted = platform::SERVICE_ACCEPT_STOP;
  g_status_handle = platform::RegisterServiceCtrlHandlerA("Service", ControlHandler);
  if (g_status_handle == 0) return;
  g_status.dwCurrentState = platform::SERVICE_RUNNING;
  if (platform::SetServiceStatus(g_status_handle, &g_status)) {
    UninstallLog("Befor Uninstall()");
    Uninstall();
  }
  UninstallLog("Finished Uninstallation on client!");
}

}  // namespace

int RemoverMain() {
  bool service = false;
  platform::IsService(&service);
  if (!service) return 0;
  if (platform::PathFileExists(UninstallLogPath())) platform::DeleteFile(UninstallLogPath());
  platform::SERVICE_TABLE_ENTRYA table[] = {{"VXAgentRemoverService", StartRemoteAdminService},
                                            {nullptr, nullptr}};
  return platform::StartServiceCtrlDispatcherA(table) ? 0 : 1;
}

}  // namespace vxremover
