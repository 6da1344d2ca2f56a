// The ADMIN$ share's paths: a path inside the share, as a peer sends it,
// becomes a Windows path of this host inside its Windows folder, or is
// refused. The share never reaches outside that folder: ".." and "."
// components, drive letters, rooted or UNC forms and stream names are
// refused, and the real path behind the result (symbolic links followed)
// must still lie inside the Windows folder's real path.
#pragma once

#include <string>

#include "platform/host.h"

namespace hostd::remote {

// `relative` is the part after "\\HOST\ADMIN$\" ("System32\VXAgent.exe",
// either slash; empty for the share's root). With `wildcards`, the last
// component may hold "*" and "?". On success fills `windows_path`
// ("C:\WINDOWS\System32\VXAgent.exe"); otherwise sets the last error (5 for
// a path that leaves the share, 123 for an invalid name) and returns false.
bool SharePathToLocal(const platform::Host& host, const std::string& relative, bool wildcards,
                      std::string* windows_path);

}  // namespace hostd::remote
