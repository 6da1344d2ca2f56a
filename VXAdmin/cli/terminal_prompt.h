// The credentials prompt of vxctl: asks on the terminal for the account to
// use on a host (the password without echo). Without a terminal on
// standard input there is no prompt, so a refused account fails instead
// of waiting for input that never comes.
#pragma once

#include "platform/share.h"

namespace vxadmin::cli {

// The prompt, or null when standard input is not a terminal.
platform::CredentialsPrompt TerminalPrompt();

}  // namespace vxadmin::cli
