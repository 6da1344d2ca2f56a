// Services: the program side (the service process the SCM starts).
//
// The host daemon starts a service program with VX_HOST_ROOT, VX_ACCOUNT=
// SYSTEM and VX_SERVICE_CHANNEL naming an inherited socket, its control
// channel. StartServiceCtrlDispatcherA connects to that channel, runs the
// service main on a thread of its own and calls the control handler on the
// calling thread for every control the SCM sends; it returns once the
// service has reported SERVICE_STOPPED.
//
// The process token is emulated: a process started by the SCM carries the
// SERVICE group (S-1-5-6), one started from a shell under a user the
// INTERACTIVE group (S-1-5-4), and a LocalSystem process started some other
// way neither.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/service.h"

namespace platform {

using LPSERVICE_MAIN_FUNCTIONA = void (*)(uint32_t argc, char** argv);
using LPHANDLER_FUNCTION = void (*)(uint32_t control);

struct SERVICE_TABLE_ENTRYA {
  const char* lpServiceName;
  LPSERVICE_MAIN_FUNCTIONA lpServiceProc;
};

// 0 is the failed handle.
using SERVICE_STATUS_HANDLE = uintptr_t;

// The calling program is not a service program the SCM started.
constexpr uint32_t kErrorServiceNotInExe = 1083;

// Blocks until the service has reported SERVICE_STOPPED and returns true.
// `table` ends with an entry whose name is null; only its first entry is
// run (every service owns its process). Fails with 1063 when the process
// was not started by the SCM, 87 for an empty table, 1056 when called a
// second time, 109 when the SCM drops the channel.
bool StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table);

// Registers the control handler of the running service. `name` is not
// checked (the service owns its process). Returns 0 with 1083 outside a
// running dispatcher, 87 without a handler.
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(std::string_view name, LPHANDLER_FUNCTION handler);

// Reports the service's status to the SCM. False with 6 for a handle that
// RegisterServiceCtrlHandlerA did not return or after SERVICE_STOPPED was
// reported, 87 for a null status or an unknown state, 109 when the channel
// is gone.
bool SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS* status);

// Well-known SIDs of the token groups.
constexpr const char* kSidEveryone = "S-1-1-0";
constexpr const char* kSidLocal = "S-1-2-0";
constexpr const char* kSidInteractive = "S-1-5-4";
constexpr const char* kSidService = "S-1-5-6";
constexpr const char* kSidAuthenticatedUsers = "S-1-5-11";
constexpr const char* kSidAdministrators = "S-1-5-32-544";
constexpr const char* kSidUsers = "S-1-5-32-545";

struct TokenGroup {
  std::string sid;
  uint32_t attributes = 0x7;  // mandatory, enabled by default, enabled
};

// GetTokenInformation(TokenGroups) of this process, in token order.
std::vector<TokenGroup> GetTokenGroups();

// Whether this process runs as a service: walks the token groups in order;
// INTERACTIVE first found means no, SERVICE first found means yes, neither
// means yes (a LocalSystem process that is not interactive). Returns 0 and
// sets `*is_service`; the value is false until the test has run.
uint32_t IsService(bool* is_service);

}  // namespace platform
