// The scan history, ScanHistory.ini in the system folder: a plain-text
// sectioned config file (never enciphered) with one record per scan run.
//
//   [10 December 2026]           noofscans=<runs recorded that day>
//   [10 December 2026#2]         TIME=09:05:03, Detected, Deleted, Quarantined
//   [LASTSCAN]                   Date=<section of the latest run>
//
// Sections keep the order in which they were first created; nothing is
// ever removed by the agent (the console deletes the file once it has
// copied it, and the next run then starts again at #1).
#pragma once

#include <cstdint>
#include <string>

namespace vxagent {

inline constexpr const char* kScanHistoryFile = "ScanHistory.ini";
inline constexpr const char* kLastScanSection = "LASTSCAN";

// System folder + "\ScanHistory.ini".
std::string ScanHistoryPath();

// Adds one scan record for the current local time: counts the run in the
// day's section, writes the record section "<day>#<n>" and points LASTSCAN
// at it. False when the file could not be written (logged).
bool SaveScanStatisticsinINI(int32_t found, int32_t deleted, int32_t quarantined);

// The LASTSCAN Date value: the record section of the latest run, "" when
// there is none.
std::string LastScanSection();

}  // namespace vxagent
