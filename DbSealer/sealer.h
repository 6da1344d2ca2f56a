// DbSealer: enciphers the two definition databases of an installation in
// place with `Rc4Crypt` and the default key. RC4 with a fixed key is its
// own inverse, so a second run makes the files plain again; the tool keeps
// no record of which state a file is in.
//
// The program has no window: what would be message boxes are lines on
// standard error. Exit codes (RunDbSealer's result):
//   0  at least one database was sealed and none failed;
//   1  no installation folder (reported);
//   2  nothing to seal: neither database exists in the folder;
//   3  a database exists but could not be read or rewritten (reported;
//      the file keeps its content).
#pragma once

#include <ostream>
#include <string>

namespace dbsealer {

enum ExitCode : int {
  kExitSealed = 0,
  kExitNoInstallation = 1,
  kExitNothingToSeal = 2,
  kExitSealFailed = 3,
};

inline constexpr char kRightsMessage[] =
    "Currently logged in user does not have rights to read registry entries! Run Host Audit "
    "for a brief report!";
inline constexpr char kNoPathMessage[] = "Installation path not found! Please reinstall the setup!";

// The databases, in the order they are sealed.
inline constexpr const char* kDatabaseNames[] = {"\\ProcessSpy.DB", "\\VXCEspylist.db"};

// The console's installation folder: the string value InstalledPath under
// HKEY_LOCAL_MACHINE\Software\VXCorporate (string or expandable string, at
// most 260 bytes with its terminator). Empty when missing or unreadable;
// `access_denied` tells whether the key refused to open for lack of rights.
std::string ReadInstalledPath(bool* access_denied);

enum class SealOutcome {
  kSealed,
  kMissing,        // no such file: skipped silently
  kNotRead,        // exists but could not be opened or read
  kNotRewritten,   // read, but could not be written back
};

// Reads the whole file at the Windows `path`, enciphers it and writes it
// back. `error` gets the last error code of a failure.
SealOutcome SealFile(const std::string& path, uint32_t* error);

// The whole program; messages go to `err`.
int RunDbSealer(std::ostream& err);

}  // namespace dbsealer
