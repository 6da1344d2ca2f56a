// The agent service process: entry, service main, control handler, the
// main service thread and one thread per remote-admin pipe.
//
// Each pipe has one instance served by one thread: listen, read the
// SCommand, run the pipe's exchange, disconnect, listen again. A client
// that vanishes mid-exchange only ends that exchange; a thread ends when
// its pipe cannot be created or listened on, and the last thread that ends
// sets the stop event.
#pragma once

namespace vxagent {

inline constexpr const char* kAgentBanner =
    "%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%% MAIN %%%%";

// The program's entry: returns 0 at once when not started by the service
// manager; otherwise runs the service until it is stopped.
int AgentMain();

}  // namespace vxagent
