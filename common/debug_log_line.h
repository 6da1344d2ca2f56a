// The pieces shared by the programs' debug logs (the agent's and the
// uninstaller's): one line per message with the thread's last error code and
// its text, appended to a file that other programs may read meanwhile.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace common {

// "(Error code: N): <text of N> ## <message>", with every CR and LF
// removed so that one message stays one line.
std::string DebugLogBody(uint32_t error_code, std::string_view message);

// Appends `line` to the file at `path` (a host path), creating it when
// missing. Lines of different threads of this process never interleave.
// A file that cannot be opened loses the line; logging never fails a caller.
void AppendDebugLogLine(const std::string& path, std::string_view line);

}  // namespace common
