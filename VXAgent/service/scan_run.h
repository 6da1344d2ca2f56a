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

// Carries out one scan run. `scanKind` 0 is a quick scan, anything else a
// full scan; `pipe` (may be null) and `computerName` are handed to the
// scanner for its progress line; `onDetection` is 0 log, 1 delete,
// 2 quarantine. Returns false when the scanner could not run, when the
// run failed, or when another run holds the guard.
bool StartScan(uint8_t scanKind, engine::ScanPipe* pipe, const std::string& computerName,
               uint32_t onDetection);

// True while a scan run of this process is in progress.
bool ScanRunning();

}  // namespace vxagent
