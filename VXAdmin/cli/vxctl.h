// vxctl: the console's client operations without a window, over the same
// ClientConnection as the window program.
//
//   vxctl [--root HOSTROOT] check [--pipe NAME] [--protection-check] HOST...
//   vxctl [--root HOSTROOT] register HOST...
//   vxctl [--root HOSTROOT] copy HOST FILE...
//   vxctl [--root HOSTROOT] service HOST NAME start|stop|restart|delete
//
// The console host is HOSTROOT, else $VX_HOST_ROOT; its registry holds the
// console's settings (versions, installation folder, AskPassword). Status
// lines go to standard output with their time stamps, errors of vxctl
// itself to standard error.
#pragma once

#include <string>
#include <vector>

namespace vxadmin::cli {

// Runs one command line (without the program name). Exit codes: 0 every
// host succeeded, 1 some host failed, 2 bad usage or no console host.
int RunVxctl(const std::vector<std::string>& args);

}  // namespace vxadmin::cli
