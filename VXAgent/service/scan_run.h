// One scan run of the agent: the guard against two scans at once, the
// restart-delete map around the scanner, the scan statistics, the scan
// history entry, the signature report and the copy of the scan log.
//
// Started by the scan pipe's thread and by the scheduler. The guard is
// held inside the process, so two runs never overlap; the registry value
// ScanProgress mirrors it for the console and is 1 exactly while a run of
// this process holds the guard (or a stopped service left it set).
#pragma once

#include <cstdint>
#include <string>

#include "VXAgent/engine/spy_scanner.h"

namespace vxagent {

// What a finished scan run counted.
struct ScanStatistics {
  int32_t found = 0;
  int32_t deleted = 0;
  int32_t quarantined = 0;
  uint8_t scanKind = 0;          // 0 quick, 1 full, as asked for
  bool restartRequired = false;  // some delete or quarantine waits for the next start
};

enum class ScanRunResult {
  kDone,            // the run went through; statistics filled
  kFailed,          // the scanner could not be created or the run threw
  kAlreadyRunning,  // another run holds the guard; nothing was touched
};

// Carries out one scan run. `scanKind` 0 is a quick scan, anything else a
// full scan; `pipe` (may be null) and `computerName` are handed to the
// scanner for its progress line; `onDetection` is 0 log, 1 delete,
// 2 quarantine. Returns false when the scanner could not run, when the
// run failed, or when another run holds the guard.
bool StartScan(uint8_t scanKind, engine::ScanPipe* pipe, const std::string& computerName,
               uint32_t onDetection);

// The same, telling why a run did not happen. On kDone `*statistics`
// (may be null) receives this run's counts, whatever another run does
// afterwards.
ScanRunResult StartScan(uint8_t scanKind, engine::ScanPipe* pipe, const std::string& computerName,
                        uint32_t onDetection, ScanStatistics* statistics);

// True while a scan run of this process is in progress.
bool ScanRunning();

// The statistics of the latest successful run of this process (zeros
// before the first).
ScanStatistics LastScanStatistics();

}  // namespace vxagent
