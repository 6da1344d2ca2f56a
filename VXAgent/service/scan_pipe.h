// The exchange of RemoteAdminScanPipe, after the SCommand:
//   console: ScanParameters (8 bytes: scan kind, 3 padding, on detection)
//   agent:   "[PC] Starting scan..."
//            "[PC] Spywares found."           once, at the first detection
//            summary line                     "" when the run failed
//            "Finish"
// A scan already in progress (ScanProgress 1 or a run of this process) is
// answered "[PC] Scanning is already running by Scheduler." instead of a
// summary, and starts nothing.
#pragma once

#include <cstdint>
#include <string>

#include "VXAgent/service/scan_run.h"
#include "platform/pipe.h"

namespace vxagent {

// The summary line of a finished run for the console.
std::string ScanSummary(const std::string& computerName, uint32_t onDetection,
                        const ScanStatistics& statistics);

// One scan request on the scan pipe. False only when the pipe itself
// failed; a client that went away or sent a short request is let go.
bool ScanExchange(platform::PipeServer& pipe);

}  // namespace vxagent
