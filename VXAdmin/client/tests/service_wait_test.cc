#include "VXAdmin/client/service_wait.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "VXAdmin/client/client_connection.h"

namespace vxadmin::client {
namespace {

using platform::SERVICE_RUNNING;
using platform::SERVICE_START_PENDING;
using platform::SERVICE_STATUS;
using platform::SERVICE_STOPPED;

// A service that reports the given (state, check point) steps, one per
// query, then keeps reporting the last; time passes only in sleeps.
struct FakeService {
  std::vector<std::pair<uint32_t, uint32_t>> steps;
  size_t next = 0;
  bool fail_at_end = false;
  uint64_t clock = 0;
  int queries = 0;

  ServiceWait Wait() {
    ServiceWait w;
    w.query = [this](SERVICE_STATUS* st) {
      ++queries;
      if (next >= steps.size() && fail_at_end) return false;
      auto [state, cp] = steps[next < steps.size() ? next : steps.size() - 1];
      if (next < steps.size()) ++next;
      st->dwCurrentState = state;
      st->dwCheckPoint = cp;
      return true;
    };
    w.sleep = [this](uint32_t ms) { clock += ms; };
    w.now_ms = [this] { return clock; };
    return w;
  }
};

SERVICE_STATUS Status(uint32_t state, uint32_t check_point) {
  SERVICE_STATUS st;
  st.dwCurrentState = state;
  st.dwCheckPoint = check_point;
  return st;
}

TEST(ServiceWaitTest, WaitsWhileTheServiceProgressesAndGivesUpWhenItStalls) {
  struct Case {
    const char* what;
    std::vector<std::pair<uint32_t, uint32_t>> steps;
    bool fail_at_end;
    bool reached;
    uint64_t max_elapsed_ms;
    uint64_t min_elapsed_ms;
  };
  // Pending for 100 s with a check point that grows every 10 s.
  std::vector<std::pair<uint32_t, uint32_t>> slow;
  for (uint32_t i = 0; i < 200; ++i) slow.push_back({SERVICE_START_PENDING, i / 20});
  slow.push_back({SERVICE_RUNNING, 0});
  Case cases[] = {
      {"runs after a few polls", {{SERVICE_START_PENDING, 0}, {SERVICE_START_PENDING, 0}, {SERVICE_RUNNING, 0}},
       false, true, 1500, 1500},
      {"stalls at one check point", {{SERVICE_START_PENDING, 3}}, false, false, 31000, 30000},
      {"keeps progressing beyond 30 s", slow, false, true, 101000, 100000},
      {"ended while starting", {{SERVICE_STOPPED, 0}}, false, false, 500, 500},
      {"status no longer readable", {{SERVICE_START_PENDING, 1}}, true, false, 1000, 500},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeService svc{c.steps};
    svc.fail_at_end = c.fail_at_end;
    SERVICE_STATUS last;
    EXPECT_EQ(WaitForServiceState(svc.Wait(), SERVICE_RUNNING, Status(SERVICE_START_PENDING, 0), &last),
              c.reached);
    EXPECT_LE(svc.clock, c.max_elapsed_ms);
    EXPECT_GE(svc.clock, c.min_elapsed_ms);
  }
}

TEST(ServiceWaitTest, ATargetAlreadyReachedNeedsNoQuery) {
  FakeService svc{{{SERVICE_RUNNING, 0}}};
  SERVICE_STATUS last;
  EXPECT_TRUE(WaitForServiceState(svc.Wait(), SERVICE_STOPPED, Status(SERVICE_STOPPED, 0), &last));
  EXPECT_EQ(svc.queries, 0);
  EXPECT_EQ(svc.clock, 0u);
}

TEST(ReplyTest, FixedRepliesCompareWithTheirNul) {
  struct Case {
    std::string reply;
    bool same;
  } cases[] = {
      {std::string("Same Versions\0\0\0", 16), true},
      {std::string("Same Versions\0", 14), true},
      {std::string("Same Versions", 13), false},  // no NUL: a cut reply
      {std::string("Same Versions!\0", 15), false},
      {std::string("Same Version\0", 13), false},
      {std::string("same versions\0", 14), false},
      {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(ReplyEquals(c.reply, "Same Versions"), c.same) << c.reply;
}

}  // namespace
}  // namespace vxadmin::client
