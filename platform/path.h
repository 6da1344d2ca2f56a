// Windows paths of the current host and the real paths behind them.
//
// Accepted forms: "C:\dir\file" (either slash), relative paths (against the
// process's current directory), "\\.\pipe\Name", "\\HOST\share\rest" and
// "\\HOST\pipe\Name". Local paths are resolved component by component
// against what exists: an entry whose name differs only in letter case is
// the same entry, and a short 8.3 name such as PROGRA~1 stands for the long
// name it abbreviates. Components that do not exist are kept as written, so
// that a path for a file about to be created resolves too.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform {

class Host;

enum class PathKind {
  kInvalid,
  kLocal,      // drive-letter path (after making a relative path absolute)
  kLocalPipe,  // \\.\pipe\Name
  kUnc,        // \\HOST\share\...
  kRemotePipe, // \\HOST\pipe\Name
};

struct WindowsPath {
  PathKind kind = PathKind::kInvalid;
  char drive = 0;                       // kLocal: upper-case letter
  std::string host;                     // kUnc, kRemotePipe (as written)
  std::string share;                    // kUnc: "ADMIN$", ...
  std::vector<std::string> components;  // after the root, "." and ".." applied
  std::string pipe_name;                // kLocalPipe, kRemotePipe

  // Canonical text: "C:\a\b", "\\HOST\ADMIN$\a", "\\.\pipe\N".
  std::string ToString() const;
};

// Parses `path` lexically; relative paths are joined to the current
// directory. "." and ".." are applied without going above the root.
// Returns kind kInvalid for an empty path, a bad drive or a name holding
// characters Windows refuses (<>|"* ? are allowed only where `wildcards`).
WindowsPath ParseWindowsPath(std::string_view path, bool wildcards = false);

// Resolves a local Windows path of the current host to its real path.
// Returns false and sets the last error (3 for a drive the host lacks or no
// host, 123 for an invalid name, 161 for UNC or pipe paths) when it cannot.
bool ResolvePath(std::string_view path, std::string* real);
bool ResolvePath(const Host& host, const WindowsPath& path, std::string* real);

// The Windows path of a real path, through the host's drive map (longest
// matching drive folder wins). Empty when no drive holds it.
std::string RealToWindowsPath(const Host& host, const std::string& real);

// GetLongPathNameA: the path with every existing component written as it
// is stored (long names, stored letter case). False with last error 2 or 3
// when some component does not exist.
bool GetLongPathName(std::string_view path, std::string* long_path);

// GetFullPathNameA: absolute, normalised Windows path; no disk access.
std::string GetFullPathName(std::string_view path);

// The process's current directory as a Windows path. Defaults to the real
// working directory when a drive holds it, else the host's system folder.
std::string GetCurrentDirectory();
bool SetCurrentDirectory(std::string_view path);

// The short 8.3 name Windows would generate for `long_name` as the
// `ordinal`-th name (1-based) of its kind in its folder ("PROGRA~1").
// Names that already are valid 8.3 names return themselves upper-cased.
std::string ShortName(std::string_view long_name, int ordinal);

// True when `name` matches the Windows wildcard `pattern` ("*", "?";
// "*.*" also matches names without a dot), ignoring case.
bool WildcardMatch(std::string_view pattern, std::string_view name);

}  // namespace platform
