#include "VXAgent/service/scan_run.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <new>

#include "VXAgent/engine/restart_delete_map.h"
#include "VXAgent/pipes/version_check.h"
#include "VXAgent/service/agent_logs.h"
#include "VXAgent/service/debug_log.h"
#include "VXAgent/service/scan_history.h"
#include "VXAgent/service/signature_report.h"
#include "platform/registry.h"

namespace vxagent {
namespace {

// The guard. Taken with one compare-exchange before anything else, so that
// of two callers in the same instant exactly one runs.
std::atomic<bool> g_scan_running{false};

std::mutex g_statistics_mu;
ScanStatistics g_statistics;

// ScanProgress for the console; a key that cannot be opened leaves it be.
void SetScanProgress(uint32_t value, bool log_steps) {
  platform::RegKey key;
  if (key.Open(platform::RootKey::kLocalMachine, kAgentKey, platform::kKeyRead | platform::kKeyWrite) != 0)
    return;
  if (log_steps) DebugLog("After objRegKey.Open!");
  key.WriteDword("ScanProgress", value);
  key.Close();
  if (log_steps) DebugLog("After objRegKey.Close!");
}

// Releases the guard however the run ends; ScanProgress goes back to 0
// first, so that nobody sees the guard free while the value still says 1.
class GuardRelease {
 public:
  ~GuardRelease() { g_scan_running.store(false); }
};

}  // namespace

ScanRunResult StartScan(uint8_t scanKind, engine::ScanPipe* pipe, const std::string& computerName,
                        uint32_t onDetection, ScanStatistics* statistics) {
  bool idle = false;
  if (!g_scan_running.compare_exchange_strong(idle, true)) return ScanRunResult::kAlreadyRunning;
  GuardRelease release;
  std::unique_ptr<engine::CReportingScanner> scanner;
  bool map_open = false;
  try {
    DebugLog("********** In StartScan..");
    SetScanProgress(1, /*log_steps=*/true);
    DebugLog("Befor LoadRetartDeleteMap");
    engine::LoadRetartDeleteMap();
    map_open = true;
    DebugLog("After LoadRetartDeleteMap");
    scanner.reset(new (std::nothrow) engine::CReportingScanner());
    if (!scanner) {
      // The map bracket opened above must close, or later loads would merge
      // instead of reading the file afresh.
      engine::SaveRetartDeleteMap();
      SetScanProgress(0, false);
      DebugLog("Scanner is NULL! End of StartScan");
      return ScanRunResult::kFailed;
    }
    scanner->RunSpyScan(scanKind != 0, pipe, computerName, static_cast<int>(onDetection));
    DebugLog("Befor SaveRetartDeleteMap");
    map_open = false;
    engine::SaveRetartDeleteMap();
    DebugLog("After SaveRetartDeleteMap");

    ScanStatistics run;
    run.scanKind = scanKind;
    run.found = scanner->foundCount;
    run.deleted = scanner->deletedCount;
    run.quarantined = scanner->quarantinedCount;
    run.restartRequired = scanner->restartRequired;
    {
      std::lock_guard<std::mutex> lock(g_statistics_mu);
      g_statistics = run;
    }
    if (statistics) *statistics = run;

    DebugLog("Before DeleteSpyObj");
    SaveScanStatisticsinINI(run.found, run.deleted, run.quarantined);
    DebugLog("After SaveScanStatisticsinINI");
    CreateReportCE();
    DebugLog("After CreateReportCE");
    SaveLogFileOnClient();
    DebugLog("After SaveLogFileOnClient");
    SetScanProgress(0, false);
    DebugLog("Befor delete pSpyScanner");
    scanner.reset();
    DebugLog("After delete! End of StartScan");
    return ScanRunResult::kDone;
  } catch (...) {
    DebugLog("Exception caught In StartScan");
    // What the run put into the map still has to be finished at the next
    // start, and an open bracket would stop later runs reading the file.
    if (map_open) engine::SaveRetartDeleteMap();
    SetScanProgress(0, false);
    scanner.reset();
    DebugLog("In catch(...)! After delete! End of StartScan");
    return ScanRunResult::kFailed;
  }
}

bool StartScan(uint8_t scanKind, engine::ScanPipe* pipe, const std::string& computerName,
               uint32_t onDetection) {
  return StartScan(scanKind, pipe, computerName, onDetection, nullptr) == ScanRunResult::kDone;
}

bool ScanRunning() { return g_scan_running.load(); }

ScanStatistics LastScanStatistics() {
  std::lock_guard<std::mutex> lock(g_statistics_mu);
  return g_statistics;
}

}  // namespace vxagent
