// VXMonitor.exe: active protection for the logged-on user. Started by the
// agent with " -" + profile + "\Cookies", or at logon through the Run value
// with " #FROMDLG" (then the user's own cookie folder is guarded). Runs
// until it is terminated.
#include "components/vxmonitor/active_monitor.h"
#include "components/vxmonitor/monitor_rules.h"
#include "platform/host.h"
#include "platform/process.h"

int main() {
  platform::Host* host = platform::Host::Current();
  if (!host) return 1;
  std::optional<std::string> folder = vxmonitor::CookieFolderFromCommandLine(platform::GetCommandLine());
  if (!folder) folder = host->FolderPath(platform::kFolderCookies, host->CurrentAccount());
  vxmonitor::ActiveMonitor monitor(*folder);
  return monitor.Run();
}
