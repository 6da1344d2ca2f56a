// Facts about the current host that the programs ask the system for:
// its name, its folders and its drives.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/host.h"

namespace platform {

// GetComputerNameA: the host's name in upper case; empty without a host.
std::string GetComputerName();
// GetSystemDirectoryA / GetWindowsDirectoryA: no trailing backslash.
std::string GetSystemDirectory();
std::string GetWindowsDirectory();
// GetTempPathA: the temporary folder with a trailing backslash.
std::string GetTempPath();
// GetLogicalDriveStringsA as a list: "C:\", "D:\", ...
std::vector<std::string> GetLogicalDrives();
// GetDriveTypeA for a root such as "C:\" (kNoRootDir for unknown drives).
DriveType GetDriveType(const std::string& root);

}  // namespace platform
