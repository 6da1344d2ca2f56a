// The command line a service is started with, from its ImagePath value
// (the program and its arguments, split by CreateProcess's rules).
#pragma once

#include <string>
#include <string_view>

namespace hostd {

// Replaces %SystemRoot% and %windir% with `windows_dir` and %SystemDrive%
// with its drive ("C:"), without regard to case; other %...% stay as
// written.
std::string ExpandImagePath(std::string_view path, const std::string& windows_dir);

}  // namespace hostd
