// Debugger output (OutputDebugStringA's stand-in): one line to standard
// error, prefixed with the program's name so that interleaved output of
// several programs stays readable.
#pragma once

#include <string_view>

namespace platform {

void OutputDebugString(std::string_view text);

}  // namespace platform
