#include "VXAdmin/client/host_gate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/testing/temp_host.h"

namespace vxadmin::client {
namespace {

TEST(HostGateTest, AdmitsOneSetUpPerHostAtATime) {
  platform::testing::TempHost console;
  std::atomic<int> inside{0}, most{0};
  std::vector<std::thread> workers;
  // Names differing in case are one host.
  const char* names[] = {"PC1", "pc1", "Pc1", "PC1"};
  for (const char* name : names) {
    workers.emplace_back([&, name] {
      for (int i = 0; i < 50; ++i) {
        HostGate gate(name);
        int now = ++inside;
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        std::this_thread::yield();
        --inside;
      }
    });
  }
  for (auto& t : workers) t.join();
  EXPECT_EQ(most.load(), 1);
}

TEST(HostGateTest, OtherHostsDoNotWaitAndTheGateReopensOnEveryPath) {
  platform::testing::TempHost console;
  std::atomic<bool> other_done{false};
  {
    HostGate pc1("PC1");
    std::thread other([&] {
      HostGate pc2("PC2");
      other_done = true;
    });
    other.join();
    EXPECT_TRUE(other_done);
  }
  // Left by an early return (an exception here): the next set-up still passes.
  try {
    HostGate pc1("PC1");
    throw 1;
  } catch (int) {
  }
  std::atomic<bool> again{false};
  std::thread next([&] {
    HostGate pc1("PC1");
    again = true;
  });
  next.join();
  EXPECT_TRUE(again);
}

}  // namespace
}  // namespace vxadmin::client
