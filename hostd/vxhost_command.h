// Subcommands of the vxhost tool. Each command lives in its own source file
// and registers itself with VXHOST_COMMAND, so that commands are added
// without touching a central table.
#pragma once

#include <string>
#include <vector>

namespace vxhost {

struct Invocation {
  std::string root;                // --root or VX_HOST_ROOT; may be empty
  std::vector<std::string> args;   // after the command name
};

using CommandFn = int (*)(const Invocation&);

struct CommandInfo {
  const char* name;
  const char* usage;   // one line: "create ROOT [--name N] ..."
  CommandFn fn;
};

bool RegisterCommand(const CommandInfo& info);

// One-line error on standard error ("vxhost: <what>: <why>"); returns 2.
int Fail(const std::string& message);
// Loads the host named by the invocation's root, or fails with a message.
bool LoadHost(const Invocation& inv);

}  // namespace vxhost

#define VXHOST_COMMAND(id, name, usage, fn) \
  static const bool vxhost_registered_##id = ::vxhost::RegisterCommand({name, usage, fn})
