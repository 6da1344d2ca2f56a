// What the active protection monitor looks for, and how it is started.
//
// Spy processes: the executables of "ProcessSpy.db" in the system folder, a
// definition database sealed like the agent's (the processes of each spy
// and those of its files that are programs, folder macros expanded for the
// monitor's user). Tracking cookies: the sites of "VXTrackingCookies.ini"
// in the system folder (docs/formats/tracking-cookies-ini.md).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vxmonitor {

inline constexpr char kProcessSpyDatabase[] = "ProcessSpy.db";
inline constexpr char kTrackingCookiesFile[] = "VXTrackingCookies.ini";

struct SpyExecutable {
  std::string image;  // expanded Windows path, compared without case
  std::string spy;    // the spy's name, for the log
};

// Reads a sealed definition database. False (and `out` untouched) when the
// file cannot be read or does not decode as a whole.
bool LoadSpyExecutables(const std::string& path, std::vector<SpyExecutable>* out);

// The sites of a tracking-cookie list: one per line, blanks around it
// ignored; empty lines, lines starting with ";" or "#" and "[section]"
// lines are skipped; "name=site" gives the site.
std::vector<std::string> ParseTrackingSites(std::string_view text);
// False when the file cannot be read.
bool LoadTrackingSites(const std::string& path, std::vector<std::string>* sites);

// The cookie folder of the monitor's command line: the text after a "-"
// that starts the arguments (" -C:\Documents and Settings\u\Cookies", or
// after the program's own name), blanks and quotes around it removed.
// Empty for "#FROMDLG" (the start at logon) and for no arguments.
std::optional<std::string> CookieFolderFromCommandLine(std::string_view command_line);

}  // namespace vxmonitor
