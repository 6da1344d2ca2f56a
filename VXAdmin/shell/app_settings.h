// The console's settings, read from HKLM\SOFTWARE\VXCorporate of the
// console's host: installation folder, product and database versions, the
// ask-password and automatic-update switches.
#pragma once

#include <string>

namespace vxadmin {

inline constexpr const char* kSettingsKey = "SOFTWARE\\VXCorporate";

struct AppSettings {
  std::string product_version;   // ServerVersionNo
  std::string database_version;  // DatabaseVersionNo
  bool ask_password = true;      // AskPassword, on when absent
  bool auto_update = false;      // AutoUpdate == 1
};

// Reads the settings at start-up. A key that cannot be opened leaves every
// field at its default; a missing value leaves its field at its default.
AppSettings ReadStartupSettings();

// The settings read at start-up, shared by every worker.
const AppSettings& Settings();
void SetSettings(const AppSettings& settings);

// The console's installation folder (InstalledPath), or "" with the status
// line or message box that says why.
std::string GetInstalledPath();

}  // namespace vxadmin
