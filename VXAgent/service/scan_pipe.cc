#include "VXAgent/service/scan_pipe.h"

#include <cstdio>

#include "VXAgent/pipes/records.h"
#include "VXAgent/pipes/version_check.h"
#include "VXAgent/service/debug_log.h"
#include "VXAgent/service/pipe_io.h"
#include "platform/pause.h"
#include "platform/registry.h"
#include "platform/system_info.h"

namespace vxagent {
namespace {

namespace rec = records;

constexpr uint32_t kStartPauseMs = 100;

// The scanner's announcement goes straight to the console's pipe.
class ConsolePipe : public engine::ScanPipe {
 public:
  explicit ConsolePipe(platform::PipeServer& pipe) : pipe_(pipe) {}
  bool WriteRecord(std::string_view record) override {
    uint32_t written = 0;
    if (!pipe_.Write(record.data(), static_cast<uint32_t>(record.size()), &written) ||
        written != record.size())
      return false;
    pipe_.Flush();
    return true;
  }

 private:
  platform::PipeServer& pipe_;
};

// ScanProgress as the console and the scheduler see it; 0 when absent.
bool ScanProgressSet() {
  platform::RegKey key;
  if (key.Open(platform::RootKey::kLocalMachine, kAgentKey, platform::kKeyRead | platform::kKeyWrite) != 0)
    return false;
  uint32_t value = 0;
  if (key.ReadDword("ScanProgress", &value) != 0) return false;
  return value == 1;
}

std::string Format(const char* format, const std::string& name, int a = 0, int b = 0) {
  char text[rec::kReplyLineSize + 64];
  std::snprintf(text, sizeof text, format, name.c_str(), a, b);
  return text;
}

}  // namespace

std::string ScanSummary(const std::string& computerName, uint32_t onDetection,
                        const ScanStatistics& s) {
  std::string message;
  if (s.found == 0)
    message = Format("[%s] No Spywares found.", computerName);
  else if (onDetection == 1)
    message = Format("[%s] %d Spyware(s) found out of which %d are deleted.", computerName, s.found, s.deleted);
  else if (onDetection == 2)
    message = Format("[%s] %d Spyware(s) found out of which %d are quarantined.", computerName, s.found,
                     s.quarantined);
  else
    message = Format("[%s] %d Spyware(s) found.", computerName, s.found);
  if (s.restartRequired) message += " (Restart Required)";
  return message;
}

bool ScanExchange(platform::PipeServer& pipe) {
  // The name is the PC's and does not change while the service runs.
  static const std::string computer_name = platform::GetComputerName();
  uint8_t buf[rec::kScanParametersSize];
  uint32_t got = 0;
  ReadResult r = ReadRecord(pipe, buf, sizeof buf, &got);
  if (r == ReadResult::kPipeDead) return false;
  rec::ScanParameters parameters;
  // A short request is not a scan order: nothing is started for it.
  if (r == ReadResult::kClientGone || !rec::Decode(buf, got, &parameters)) return true;

  char request[128];
  std::snprintf(request, sizeof request, "Scan Type(0-Quick,1-Full):%d, On Detect(0-log,1-Delete,2-Quarantine):%d",
                static_cast<int>(parameters.scan_kind), static_cast<int32_t>(parameters.on_detection));
  DebugLog(request);
  if (!WriteLine(pipe, "[" + computer_name + "] Starting scan...")) return true;
  platform::CourtesyPause(kStartPauseMs);

  std::string message;
  const std::string busy = "[" + computer_name + "] Scanning is already running by Scheduler.";
  if (ScanProgressSet() || ScanRunning()) {
    message = busy;
  } else {
    ConsolePipe console(pipe);
    ScanStatistics statistics;
    switch (StartScan(parameters.scan_kind, &console, computer_name, parameters.on_detection, &statistics)) {
      case ScanRunResult::kDone:
        message = ScanSummary(computer_name, parameters.on_detection, statistics);
        break;
      case ScanRunResult::kAlreadyRunning:  // the scheduler got there first
        message = busy;
        break;
      case ScanRunResult::kFailed:
        break;
    }
  }
  DebugLog(message);
  if (!WriteLine(pipe, message)) return true;
  WriteLine(pipe, "Finish");
  return true;
}

}  // namespace vxagent
