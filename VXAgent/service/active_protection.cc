#include "VXAgent/service/active_protection.h"

#include <vector>

#include "VXAgent/service/debug_log.h"
#include "platform/error.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/strings.h"
#include "platform/system_info.h"

namespace vxagent {
namespace {

// Base name of a Windows image path; "unknown" when the image is not known.
std::string BaseName(const std::string& image) {
  if (image.empty()) return "unknown";
  const size_t slash = image.rfind('\\');
  return slash == std::string::npos ? image : image.substr(slash + 1);
}

std::string EnableProtection() {
  platform::RegKey key;
  if (key.Create(platform::RootKey::kLocalMachine, kRunKey, platform::kKeyAllAccess) != 0)
    return kProtectionEnableError;
  // Protection counts as on exactly while the value exists, whatever it holds.
  uint32_t type = 0, size = 0;
  const uint32_t query = key.QueryValue(kMonitorRunValue, &type, nullptr, &size);
  if (query == 0 || query == platform::kErrorMoreData) return kProtectionAlreadyEnabled;
  const std::string path = MonitorPath(platform::GetSystemDirectory());
  key.WriteString(kMonitorRunValue, path + kMonitorRunArgument);
  // Without a logged-on user the Run value starts the monitor at the next logon.
  if (!StartProcess(path)) DebugLog("StartProcess failed so shell execute VXMonitor");
  return kProtectionEnabled;
}

std::string DisableProtection() {
  TerminateMonitor();
  const uint32_t rc = platform::DeleteRegistryValue(platform::RootKey::kLocalMachine, kRunKey, kMonitorRunValue);
  if (rc == 0) return kProtectionDisabled;
  if (rc == platform::kErrorFileNotFound) return kProtectionNotEnabled;
  return kProtectionDisableError;
}

}  // namespace

std::string MonitorPath(const std::string& system_dir) {
  std::string path = system_dir;
  if (path.empty() || path.back() != '\\') path += '\\';
  return path + kMonitorProgram;
}

std::string SetActiveProtection(bool enable) {
  return enable ? EnableProtection() : DisableProtection();
}

bool StartProcess(const std::string& path) {
  platform::ProcessEntry shell;
  if (!platform::FindProcessByName("explorer.exe", &shell)) {
    DebugLog("In StartProcess no explorer.exe is running");
    return false;
  }
  platform::Process explorer = platform::Process::Open(shell.pid);
  if (!explorer.IsValid()) return false;
  platform::AccessToken token;
  if (!platform::OpenProcessToken(explorer, &token)) {
    DebugLog("In StartProcess OpenProcessToken Failed");
    return false;
  }
  // The emulated host has one desktop per user session and no window
  // stations, so the token alone places the monitor on the user's desktop.
  std::string profile;
  if (!platform::GetUserProfileDirectory(token, &profile)) {
    DebugLog("In StartProcess GetUserProfileDirectory Failed");
    return false;
  }
  const std::string command_line = " -" + profile + "\\Cookies";
  DebugLog(command_line);
  platform::LaunchOptions options;
  options.detach = true;  // a desktop program: it outlives the agent's request
  platform::Process monitor;
  if (!platform::CreateProcessAsUser(token, path, command_line, options, &monitor)) {
    DebugLog("In StartProcess CreateProcessAsUser Failed");
    return false;
  }
  return true;
}

int TerminateMonitor() {
  std::vector<platform::ProcessEntry> processes;
  if (!platform::ListProcesses(&processes)) return 0;
  int terminated = 0;
  for (const auto& p : processes) {
    if (!platform::EqualsIgnoreCase(BaseName(p.image), kMonitorProgram)) continue;
    platform::Process process = platform::Process::Open(p.pid);
    if (!process.IsValid()) continue;
    if (process.Terminate(1)) {
      ++terminated;
      // So that a console asking right after the reply finds it gone.
      process.WaitForExit(2000);
    }
  }
  return terminated;
}

}  // namespace vxagent
