// Active protection: the monitor program VXMonitor.exe in the system
// folder, registered to start at every logon (the Run value VXCEMonitor),
// started at once on the logged-on user's desktop, and terminated when
// protection is switched off.
#pragma once

#include <string>

namespace vxagent {

inline constexpr char kRunKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr char kMonitorRunValue[] = "VXCEMonitor";
inline constexpr char kMonitorProgram[] = "VXMonitor.exe";
inline constexpr char kMonitorRunArgument[] = " #FROMDLG";

inline constexpr char kProtectionEnabled[] = "Active Protecion enabled successfully";
inline constexpr char kProtectionAlreadyEnabled[] = "Active Protecion is already enabled";
inline constexpr char kProtectionEnableError[] = "Error occured while enabling active protection";
inline constexpr char kProtectionDisabled[] = "Active Protecion disabled successfully";
inline constexpr char kProtectionNotEnabled[] = "Active Protecion is not enabled";
inline constexpr char kProtectionDisableError[] = "Error occured while disabling active protection";

// Switches protection on (writes the Run value and starts the monitor for
// the logged-on user; "already enabled" changes nothing) or off (terminates
// every monitor, then deletes the Run value). Returns the text for the
// console.
std::string SetActiveProtection(bool enable);

// System folder + "\VXMonitor.exe" (one separator, whatever the folder
// text ends with).
std::string MonitorPath(const std::string& system_dir);

// Starts `path` as the user who owns the first running explorer.exe, with
// the command line " -" + that user's profile folder + "\Cookies". False
// when nobody is logged on or the start failed.
bool StartProcess(const std::string& path);

// Terminates (exit code 1) every process of the host whose image base name
// is VXMonitor.exe, ignoring case, and waits briefly for each to end.
// Returns how many were terminated.
int TerminateMonitor();

}  // namespace vxagent
