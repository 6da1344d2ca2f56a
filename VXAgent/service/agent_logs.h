// The per-scan log files of LogFolder in the system folder, made from the
// scan log (SpywareLog.txt) once a scan run is over.
//
// A scan log line, as the scanner writes it:
//    On [ 7 March 2006 14:05:09 ] - File:SomeSpy <C:\WINDOWS\x.exe>Deleted
// becomes one entry of a string map file named after the run's scan
// history section ("LogFolder\10 December 2026#2.txt"):
//   " [ 7 March 2006 14:05:09 ]  - File < SomeSpy > C:\WINDOWS\x.exe#" -> "Deleted"
// Lines with equal keys collapse into one entry; the later status wins.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/string_map_file.h"

namespace vxagent {

inline constexpr const char* kLogFolder = "LogFolder";

// The pieces of one scan log line, each trimmed of blanks, tabs and line
// breaks.
struct ScanLogLine {
  std::string dateTime;  // "7 March 2006 14:05:09"
  std::string type;      // "File", "Registry Value", ...
  std::string spyName;
  std::string item;      // the trace: path, key, cookie site and users
  std::string status;    // "Detected", "Deleted", "Quarantined"
};

// Cuts a line at its delimiters in order: the first "[" and the next "]"
// (date and time), the next "-" and ":" (type), "<" (spy name), ">"
// (item), the rest (status). False, `out` untouched, when a delimiter is
// missing: such a line was not written by the scanner.
bool SplitScanLogLine(std::string_view line, ScanLogLine* out);

// The LogFolder key of a line: " [ " date " ] " " - " type " < " spy " > " item "#".
std::string LogMapKey(const ScanLogLine& line);

// The lines of a text file, without their CR LF; false when it cannot be
// read.
bool ReadTextLines(const std::string& path, std::vector<std::string>* lines);

// Converts the scan log at `source` into a string map file at `target`
// (created when absent, not truncated). False when the source cannot be
// read or the target cannot be written (logged).
bool WriteLogInMap(const std::string& source, const std::string& target);

// Moves the scan log into LogFolder under the latest scan history section,
// deleting the scan log once its content is stored.
void SaveLogFileOnClient();

// System folder + "\LogFolder\".
std::string LogFolderPath();

}  // namespace vxagent
