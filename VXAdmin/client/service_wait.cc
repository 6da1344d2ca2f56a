#include "VXAdmin/client/service_wait.h"

#include <chrono>
#include <thread>

namespace vxadmin::client {

bool WaitForServiceState(const ServiceWait& wait, uint32_t target,
                         const platform::SERVICE_STATUS& first, platform::SERVICE_STATUS* last) {
  auto now = [&]() -> uint64_t {
    if (wait.now_ms) return wait.now_ms();
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
  };
  platform::SERVICE_STATUS st = first;
  uint64_t since = now();
  uint32_t check_point = st.dwCheckPoint;
  while (st.dwCurrentState != target) {
    if (st.dwCurrentState == platform::SERVICE_STOPPED) break;
    if (wait.sleep)
      wait.sleep(wait.poll_ms);
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(wait.poll_ms));
    if (!wait.query(&st)) break;
    if (st.dwCheckPoint > check_point) {
      since = now();
      check_point = st.dwCheckPoint;
    } else if (now() - since > wait.no_progress_ms) {
      break;
    }
  }
  *last = st;
  return st.dwCurrentState == target;
}

}  // namespace vxadmin::client
