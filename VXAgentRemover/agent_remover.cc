#include "VXAgentRemover/agent_remover.h"

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "VXAgent/pipes/records.h"
#include "VXAgentRemover/uninstall_log.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/service.h"
#include "platform/strings.h"
#include "platform/system_info.h"

namespace vxremover {
namespace {

using platform::RootKey;

constexpr const char* kAgentFiles[] = {
    "VXAgent.exe",   "VXMonitor.exe",   "VXCESpylist.db", "ProcessSpy.db",
    "VXTrackingCookies.ini", "ProcGuardLib.dll", "Imprinter.dll", "ExcludeDB.db",
};
constexpr char kAgentKey[] = "Software\\VXCorporate";
constexpr char kScheduleKey[] = "Software\\VXCorporate\\Schedule_Info";
constexpr char kRunKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr char kMonitorImage[] = "VXMonitor.exe";

constexpr int kDeleteRetries = 5;
constexpr int kRetryWaitMs = 1000;
constexpr int kStopPollMs = 500;
constexpr int64_t kStopNoProgressMs = 30000;

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Progress for the console; whether it arrives is not examined.
void WriteLine(platform::PipeServer& pipe, const std::string& text) {
  vxagent::records::Bytes line = vxagent::records::EncodeLine(text);
  uint32_t written = 0;
  if (pipe.Write(line.data(), static_cast<uint32_t>(line.size()), &written)) pipe.Flush();
}

}  // namespace

void Uninstall() {
  UninstallLog("In Uninstall");
  platform::PipeServer pipe;
  pipe.Create(kRemoverPipe);
  UninstallLog("In for :: before ConnectNamedPipe");
  pipe.Connect();
  UninstallClient(pipe);
  UninstallLog("In for :: WriteFile(Finished Uninstallation)");
  WriteLine(pipe, "Finished Uninstallation");
  pipe.Disconnect();
  UninstallLog("In for :: after DisconnectNamedPipe");
  pipe.Close();
}

void UninstallClient(platform::PipeServer& pipe) {
  WriteLine(pipe, "Uninstallation started");
  std::string folder = platform::GetSystemDirectory();
  if (folder.empty() || folder.back() != '\\') folder += '\\';

  UninstallLog("UninstallClient:: befor deleting files");
  for (const char* name : kAgentFiles) DeleteFileFromPC(pipe, folder, name);

  UninstallLog("UninstallClient:: before deleteing Registy entries");
  platform::RegKey machine;
  if (machine.Open(RootKey::kLocalMachine, "", platform::kKeyAllAccess) == 0) machine.DeleteKey(kScheduleKey);
  platform::DeleteRegistryValue(RootKey::kLocalMachine, kAgentKey, "ClientVersionNo");
  platform::DeleteRegistryValue(RootKey::kLocalMachine, kAgentKey, "ClientDatabaseVersionNo");
  platform::DeleteRegistryValue(RootKey::kLocalMachine, kRunKey, "VXCEMonitor");
}

void DeleteFileFromPC(platform::PipeServer& pipe, const std::string& folder, const std::string& name) {
  const std::string path = folder + name;
  platform::FindFile find;
  platform::FindData found;
  if (!find.First(path, &found)) {
    UninstallLog("Delete Success:" + path);
    return;
  }
  find.Close();

  UninstallLog("DeleteFileFromPC:: Deleteing file" + path);
  const uint32_t attributes = platform::GetFileAttributes(path);
  if (attributes != platform::kInvalidFileAttributes && (attributes & platform::kAttrReadOnly)) {
    UninstallLog("DeleteFileFromPC:: Removing readonly attributes of" + path);
    const uint32_t rest = attributes & ~static_cast<uint32_t>(platform::kAttrReadOnly);
    platform::SetFileAttributes(path, rest != 0 ? rest : platform::kAttrNormal);
  }
  if (platform::DeleteFile(path)) {
    UninstallLog("Delete Success:" + path);
    return;
  }

  UninstallLog("DeleteFileFromPC:: delete file failed for" + path);
  // Only the agent's programs are held by something the uninstaller can end.
  if (name == "VXAgent.exe" || name == kMonitorImage) {
    UninstallLog("DeleteFileFromPC:: before TerminateRunningproc/StopRemoteService");
    if (name == kMonitorImage) {
      TerminateRunningproc();
    } else if (!StopRemoteService(kAgentServiceName)) {
      UninstallLog("StopRemoteService Failed!");
    }
    for (int attempt = 0; attempt < kDeleteRetries; ++attempt) {
      if (platform::DeleteFile(path)) {
        UninstallLog("Delete Success:" + path);
        return;
      }
      Sleep(kRetryWaitMs);
    }
  }
  char line[300];
  std::snprintf(line, sizeof line, "Error in deleting %s file", name.c_str());
  WriteLine(pipe, line);
}

void TerminateRunningproc() {
  UninstallLog("In TerminateRunningproc");
  std::vector<platform::ProcessEntry> processes;
  platform::ListProcesses(&processes);
  if (processes.size() > 1024) processes.resize(1024);
  for (const platform::ProcessEntry& entry : processes) {
    platform::Process process = platform::Process::Open(entry.pid);
    if (!process.IsValid()) continue;
    std::string image;
    if (!process.GetImagePath(&image) || image.empty()) image = "unknown";
    const size_t slash = image.rfind('\\');
    const std::string base = slash == std::string::npos ? image : image.substr(slash + 1);
    if (platform::EqualsIgnoreCase(base, kMonitorImage)) process.Terminate(1);
    process.Close();
  }
  UninstallLog("Leaving TerminateRunningproc");
}

bool StopRemoteService(std::string_view name) {
  char line[300];
  std::snprintf(line, sizeof line, "Stop service '%.*s'!", static_cast<int>(name.size()), name.data());
  UninstallLog(line);
  platform::ScHandle manager = platform::OpenSCManagerA("", "", platform::SC_MANAGER_ALL_ACCESS);
  platform::ScHandle service;
  if (manager.IsValid()) service = platform::OpenServiceA(manager, name, platform::SERVICE_ALL_ACCESS);
  UninstallLog("After open service!");
  if (!service.IsValid()) return false;

  platform::SERVICE_STATUS status;
  if (!platform::QueryServiceStatus(service, &status)) return false;
  if (status.dwCurrentState == platform::SERVICE_STOPPED) {
    UninstallLog("service has stopped!");
    platform::DeleteService(service);
    return true;
  }
  if (!platform::ControlService(service, platform::SERVICE_CONTROL_STOP, &status)) return false;

  auto last_progress = std::chrono::steady_clock::now();
  uint32_t check_point = status.dwCheckPoint;
  while (status.dwCurrentState != platform::SERVICE_STOPPED) {
    UninstallLog("In wait loop!");
    Sleep(kStopPollMs);
    if (!platform::QueryServiceStatus(service, &status)) break;
    const auto now = std::chrono::steady_clock::now();
    if (status.dwCheckPoint > check_point) {
      UninstallLog("The service is making progress!");
      check_point = status.dwCheckPoint;
      last_progress = now;
    } else if (std::chrono::duration_cast<std::chrono::milliseconds>(now - last_progress).count() >
               kStopNoProgressMs) {
      UninstallLog("Time OUT!!! The service did not make any progress!");
      break;
    }
  }
  // Marked for deletion even when it did not stop: it goes once it does.
  platform::DeleteService(service);
  UninstallLog("Out of here!");
  return true;
}

}  // namespace vxremover
