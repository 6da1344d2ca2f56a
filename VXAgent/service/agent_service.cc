#include "VXAgent/service/agent_service.h"

#include <atomic>
#include <string>
#include <thread>

#include "VXAgent/pipes/records.h"
#include "VXAgent/pipes/version_check.h"
#include "VXAgent/service/debug_log.h"
#include "VXAgent/service/log_pipe.h"
#include "VXAgent/service/options_pipe.h"
#include "VXAgent/service/restart_replay.h"
#include "VXAgent/service/pipe_io.h"
#include "VXAgent/service/scan_pipe.h"
#include "VXAgent/service/schedule.h"
#include "VXAgent/service/scheduler.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/named_object.h"
#include "platform/pipe.h"
#include "platform/registry.h"
#include "platform/service.h"
#include "platform/service_program.h"

namespace vxagent {
namespace {

using platform::PipeServer;
namespace rec = records;

platform::SERVICE_STATUS g_status;
platform::SERVICE_STATUS_HANDLE g_status_handle = 0;
// Threads are detached and may still be waking from the stop event while
// the process exits, so the event is never destroyed.
platform::Event& g_stop_event = *new platform::Event;
std::atomic<int> g_active_threads{0};

// Version pipe: one VersionCheckRequest, one reply.
// Returns false when the pipe itself failed.
bool VersionExchange(PipeServer& pipe) {
  uint8_t buf[rec::kVersionCheckRequestSize];
  uint32_t got = 0;
  ReadResult r = ReadRecord(pipe, buf, sizeof buf, &got);
  if (r == ReadResult::kPipeDead) return false;
  if (r == ReadResult::kClientGone) return true;
  rec::VersionCheckRequest request;
  rec::Decode(buf, got, &request);
  WriteLine(pipe, AnswerVersionCheck(request));
  return true;
}

struct PipeSlot {
  const char* name;
  const char* thread_name;
  const char* log_tag;  // how the thread names itself in its debug lines
  Exchange exchange;
  // Writes the thread's step lines around listening and disconnecting.
  bool step_lines = false;
};

constexpr PipeSlot kPipes[] = {
    {rec::kCheckVersionPipe, "RemoteAdminCheckVersionThread", "Version check", VersionExchange},
    {rec::kScanPipe, "RemoteAdminScanThread", "Scan", ScanExchange},
    {rec::kScheduleScanPipe, "RemoteAdminScheduleScanThread", "Schedule", ScheduleScanExchange, true},
    {rec::kOptionsPipe, "RemoteAdminOptionsThread", "Options", OptionsPipeExchange},
    {rec::kLogPipe, "RemoteAdminLogThread", "Log", LogPipeExchange},
};

void ThreadEnded() {
  if (--g_active_threads == 0) g_stop_event.Set();
}

void PipeThread(const PipeSlot* slot, std::shared_ptr<PipeServer> pipe) {
  const std::string tag = slot->log_tag;
  try {
    if (slot->step_lines) DebugLog(std::string("In ") + slot->thread_name);
    while (pipe->IsValid()) {
      if (slot->step_lines) DebugLog("Befor " + tag + " ConnectNamedPipe");
      // A pipe that cannot listen any more ends its thread.
      if (!pipe->Connect()) {
        DebugLog(std::string("In ") + slot->log_tag + " ::ConnectNamedPipe Failed!");
        break;
      }
      if (slot->step_lines) DebugLog("After " + tag + " ConnectNamedPipe");
      uint8_t cmd[rec::kSCommandSize];
      uint32_t got = 0;
      ReadResult r = ReadRecord(*pipe, cmd, sizeof cmd, &got);
      if (r == ReadResult::kPipeDead) {
        DebugLog(std::string("In ") + slot->log_tag + " ::ReadFile Failed, now calling DisconnectNamedPipe!");
        break;
      }
      rec::SCommand command;
      if (r == ReadResult::kOk && rec::Decode(cmd, got, &command)) {
        if (command.bThreadExit == 1) {
          DebugLog(std::string("In ") + slot->log_tag +
                   " cmd.bThreadExit == TRUE, now calling DisconnectNamedPipe!");
        } else if (!slot->exchange(*pipe)) {
          break;
        }
      }
      if (slot->step_lines) DebugLog("Befor " + tag + " DisconnectNamedPipe");
      pipe->Disconnect();
      if (slot->step_lines) DebugLog("After " + tag + " DisconnectNamedPipe");
    }
  } catch (...) {
    DebugLog(std::string("Exception caught in ") + slot->thread_name);
  }
  pipe->Disconnect();
  pipe->Close();
  ThreadEnded();
}

void CreatePipeAndThread(const PipeSlot& slot) {
  DebugLog("In CreatePipeAndThread()");
  DebugLog(slot.name);
  auto pipe = std::make_shared<PipeServer>();
  pipe->Create(std::string("\\\\.\\pipe\\") + slot.name);
  DebugLog("After CreateNamedPipe");
  ++g_active_threads;
  std::thread(PipeThread, &slot, pipe).detach();
  DebugLog(std::string("After AfxBeginThread(") + slot.thread_name);
}

void RemoteAdminThreadProc() {
  DebugLog("In RemoteAdminThreadProc");
  ++g_active_threads;
  platform::RegKey key;
  if (key.Create(platform::RootKey::kLocalMachine, kAgentKey, platform::kKeyAllAccess) == 0)
    key.WriteDword("ScanProgress", 0);
  // What could not be finished before the last stop, before any console
  // request is accepted.
  DebugLog("Befor RestartReplay");
  RestartReplay();
  DebugLog("After RestartReplay");
  for (const auto& slot : kPipes) CreatePipeAndThread(slot);
  // Not counted: it never ends, and scheduled scans go on when every pipe
  // thread has ended.
  StartSchedulerThread(AgentScanControl());
  DebugLog("All threads created successfully!");
  ThreadEnded();
}

void MainServiceThread() {
  DebugLog("******************* Starting RemoteAdminThreadProc *******************");
  std::thread(RemoteAdminThreadProc).detach();
  g_stop_event.Wait(platform::kInfinite);
  DebugLog("After CloseHandle!");
}

void ControlHandler(uint32_t control) {
  if (control == platform::SERVICE_CONTROL_STOP) {
    g_stop_event.Set();
    g_status.dwCurrentState = platform::SERVICE_STOPPED;
    g_status.dwWin32ExitCode = 0;
    g_status.dwCheckPoint = 0;
    g_status.dwWaitHint = 0;
  }
  platform::SetServiceStatus(g_status_handle, &g_status);
}

void StartRemoteAdminService(uint32_t, char**) {
  DebugLog("In StartRemoteAdminService");
  g_status = {};
  g_status.dwServiceType = platform::SERVICE_WIN32_OWN_PROCESS | platform::SERVICE_WIN32_SHARE_PROCESS;
  g_status.dwCurrentState = platform::SERVICE_START_PENDING;
  g_status.dwControlsAccepted = platform::SERVICE_ACCEPT_STOP;
  g_status_handle = platform::RegisterServiceCtrlHandlerA("Service", ControlHandler);
  if (g_status_handle == 0) return;
  g_status.dwCurrentState = platform::SERVICE_RUNNING;
  if (!platform::SetServiceStatus(g_status_handle, &g_status)) return;
  g_stop_event.Create("", false, false);
  std::thread(MainServiceThread).detach();
  DebugLog("After AfxBeginThread( ServiceMain");
}

}  // namespace

int AgentMain() {
  bool service = false;
  platform::IsService(&service);
  if (!service) return 0;
  // The previous run's log goes first, so that the new log starts with the
  // banner instead of losing it.
  if (platform::PathFileExists(DebugLogPath())) platform::DeleteFile(DebugLogPath());
  DebugLog(kAgentBanner);
  platform::SERVICE_TABLE_ENTRYA table[] = {{"RemoteAdminService", StartRemoteAdminService},
                                            {nullptr, nullptr}};
  return platform::StartServiceCtrlDispatcherA(table) ? 0 : 1;
}

}  // namespace vxagent
