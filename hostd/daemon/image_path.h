// The command line a service is started with, from its ImagePath value.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace hostd {

// Replaces %SystemRoot% and %windir% with `windows_dir` and %SystemDrive%
// with its drive ("C:"), without regard to case; other %...% stay as
// written.
std::string ExpandImagePath(std::string_view path, const std::string& windows_dir);

struct CommandLine {
  std::string program;             // Windows path of the executable
  std::vector<std::string> args;   // after the program
};

// Splits an expanded ImagePath. A quoted first word is the program. An
// unquoted path containing blanks is cut at the first blank after which
// `is_file` accepts the text before it (as Windows tries "C:\Program",
// then "C:\Program Files\a.exe", ...); when none is accepted the first word
// is the program. Arguments are split at blanks, double quotes group.
// False for an empty path or an unterminated quote.
bool SplitImagePath(std::string_view path, const std::function<bool(const std::string&)>& is_file,
                    CommandLine* out);

}  // namespace hostd
