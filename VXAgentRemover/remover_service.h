// VXAgentRemover.exe as a service: the console creates it as
// "VXAgentUnistall", starts it, reads its progress on UninstallPipe and
// stops and deletes it afterwards. The service main does the whole removal
// once and returns; the process then stays RUNNING until the stop control.
#pragma once

namespace vxremover {

// The program's entry: 0 at once when not started by the service manager
// (nothing is touched); otherwise a fresh debug log, the service until it
// is stopped, and 0.
int RemoverMain();

}  // namespace vxremover
