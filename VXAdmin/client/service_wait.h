// Waiting for a service to reach a state, as the console does after a
// start or stop control: query every poll interval; give up after a
// stretch without progress, where progress is a check point that grew
// (a service that keeps reporting progress is waited for as long as it
// takes).
#pragma once

#include <cstdint>
#include <functional>

#include "platform/service.h"

namespace vxadmin::client {

struct ServiceWait {
  // QueryServiceStatus of the service waited for.
  std::function<bool(platform::SERVICE_STATUS*)> query;
  // Sleeps the given milliseconds; null sleeps for real.
  std::function<void(uint32_t)> sleep;
  // Monotonic milliseconds; null reads the steady clock.
  std::function<uint64_t()> now_ms;
  uint32_t poll_ms = 500;
  uint32_t no_progress_ms = 30000;
};

// Polls from `first` (the status just queried) until the state is `target`.
// Stops early when a query fails or when the service is STOPPED while
// waiting for another state (it ended: no later poll can change that).
// `*last` receives the last status seen. True when `target` was reached.
bool WaitForServiceState(const ServiceWait& wait, uint32_t target,
                         const platform::SERVICE_STATUS& first, platform::SERVICE_STATUS* last);

}  // namespace vxadmin::client
