// The schedule's ties to the agent's own scan run. Kept apart from
// schedule.cc and scheduler.cc so that their tests link without the scan
// engine and give their own ScanControl.
#include "VXAgent/service/scan_run.h"
#include "VXAgent/service/schedule.h"
#include "VXAgent/service/scheduler.h"

namespace vxagent {

ScanControl AgentScanControl() {
  ScanControl control;
  control.running = [] { return ScanRunning(); };
  control.start = [](uint8_t scanKind, uint32_t onDetection) {
    return StartScan(scanKind, nullptr, std::string(), onDetection);
  };
  return control;
}

bool ScheduleScanExchange(platform::PipeServer& pipe) {
  return ServeScheduleRequest(pipe, [] { return ScanRunning(); });
}

}  // namespace vxagent
