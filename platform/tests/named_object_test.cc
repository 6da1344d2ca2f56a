#include "platform/named_object.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "platform/testing/temp_host.h"

namespace platform {
namespace {

namespace fs = std::filesystem;
using testing::TempHost;

// Runs `body` in a child process and returns its exit code.
template <typename F>
int RunChild(F body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(NamedObjectTest, SecondCreateOpensTheObjectAndSays183) {
  TempHost th;
  Event first;
  SetLastError(99);
  ASSERT_TRUE(first.Create("PC7", true, true));
  EXPECT_EQ(GetLastError(), kErrorSuccess);
  Event second;
  ASSERT_TRUE(second.Create("PC7", false, false));  // parameters ignored
  EXPECT_EQ(GetLastError(), kErrorAlreadyExists);
  // Still manual-reset and signalled: two waits both pass.
  EXPECT_EQ(second.Wait(0), kWaitObject0);
  EXPECT_EQ(second.Wait(0), kWaitObject0);
  // "Global\" names the same object; names are case-sensitive.
  Event global;
  ASSERT_TRUE(global.Create("Global\\PC7", false, false));
  EXPECT_EQ(GetLastError(), kErrorAlreadyExists);
  Event other_case;
  ASSERT_TRUE(other_case.Create("pc7", false, false));
  EXPECT_EQ(GetLastError(), kErrorSuccess);

  // One namespace for every kind of object.
  Mutex clash;
  EXPECT_FALSE(clash.Create("PC7", false));
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
  SharedMemory clash_mem;
  EXPECT_FALSE(clash_mem.Create("PC7", 16));
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);

  // Gone with its last handle.
  first.Close();
  second.Close();
  global.Close();
  Event again;
  EXPECT_FALSE(again.Open("PC7"));
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
  ASSERT_TRUE(again.Create("PC7", false, false));
  EXPECT_EQ(GetLastError(), kErrorSuccess);
}

TEST(NamedObjectTest, BadNamesAndMissingObjects) {
  TempHost th;
  struct Case {
    std::string name;
    uint32_t error;
  } cases[] = {
      {"a\\b", kErrorPathNotFound},
      {std::string(300, 'n'), kErrorFilenameExcedRange},
  };
  for (const auto& c : cases) {
    Event e;
    EXPECT_FALSE(e.Create(c.name, false, false));
    EXPECT_EQ(GetLastError(), c.error);
  }
  Event e;
  Mutex m;
  SharedMemory s;
  EXPECT_FALSE(e.Open("none"));
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
  EXPECT_FALSE(m.Open("none"));
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
  EXPECT_FALSE(s.Open("none"));
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
  EXPECT_FALSE(e.IsValid());
  EXPECT_EQ(e.Wait(0), kWaitFailed);
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
  // Odd characters stay inside the object folder.
  Event odd;
  ASSERT_TRUE(odd.Create("../x/%y", false, false));
  for (const auto& entry : fs::directory_iterator(th.host().ObjectDir())) {
    EXPECT_EQ(entry.path().parent_path(), fs::path(th.host().ObjectDir()));
  }
}

TEST(NamedObjectTest, EventResetModes) {
  TempHost th;
  struct Case {
    bool manual;
    bool initial;
    uint32_t first, second;
  } cases[] = {
      {true, true, kWaitObject0, kWaitObject0},
      {false, true, kWaitObject0, kWaitTimeout},
      {true, false, kWaitTimeout, kWaitTimeout},
      {false, false, kWaitTimeout, kWaitTimeout},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.manual) + std::to_string(c.initial));
    Event e;
    ASSERT_TRUE(e.Create("", c.manual, c.initial));
    EXPECT_EQ(e.Wait(0), c.first);
    EXPECT_EQ(e.Wait(0), c.second);
    ASSERT_TRUE(e.Set());
    EXPECT_EQ(e.Wait(10), kWaitObject0);
    ASSERT_TRUE(e.Reset());
    EXPECT_EQ(e.Wait(10), kWaitTimeout);
  }
  // Unnamed events are separate objects.
  Event a, b;
  ASSERT_TRUE(a.Create("", true, false));
  ASSERT_TRUE(b.Create("", true, false));
  a.Set();
  EXPECT_EQ(b.Wait(0), kWaitTimeout);
}

TEST(NamedObjectTest, EventWaitTimesOutAndSetWakesAWaiter) {
  TempHost th;
  Event e;
  ASSERT_TRUE(e.Create("Wake", false, false));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(e.Wait(60), kWaitTimeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(60));
  uint32_t result = 0;
  std::thread t([&] { result = e.Wait(kInfinite); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  e.Set();
  t.join();
  EXPECT_EQ(result, kWaitObject0);
  EXPECT_EQ(e.Wait(0), kWaitTimeout);  // the waiter took the auto-reset signal
}

TEST(NamedObjectTest, EventsAcrossProcesses) {
  TempHost th;
  Event ready, go;
  ASSERT_TRUE(ready.Create("ready", false, false));
  ASSERT_TRUE(go.Create("go", true, false));
  pid_t pid = fork();
  if (pid == 0) {
    Event r, g;
    bool ok = r.Open("ready") && g.Create("go", false, false) &&
              GetLastError() == kErrorAlreadyExists && r.Set() && g.Wait(5000) == kWaitObject0;
    _exit(ok ? 0 : 1);
  }
  EXPECT_EQ(ready.Wait(5000), kWaitObject0);
  go.Set();
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(NamedObjectTest, PulseReleasesWaitersAndLeavesTheEventReset) {
  TempHost th;
  for (bool manual : {false, true}) {
    SCOPED_TRACE(manual);
    Event e;
    ASSERT_TRUE(e.Create(manual ? "PulseM" : "PulseA", manual, false));
    // Nobody waits: a pulse leaves nothing behind.
    e.Pulse();
    EXPECT_EQ(e.Wait(0), kWaitTimeout);
    // A waiter in another process is released by a pulse.
    pid_t pid = fork();
    if (pid == 0) {
      Event mine;
      bool ok = mine.Open(manual ? "PulseM" : "PulseA") && mine.Wait(10000) == kWaitObject0;
      _exit(ok ? 0 : 1);
    }
    int status = 0;
    bool reaped = false;
    for (int i = 0; i < 2000 && !reaped; ++i) {
      e.Pulse();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      reaped = waitpid(pid, &status, WNOHANG) == pid;
    }
    if (!reaped) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
    EXPECT_TRUE(reaped && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(e.Wait(0), kWaitTimeout);
  }
}

TEST(NamedObjectTest, WaitForAnyEventReturnsTheLowestSignalledIndex) {
  TempHost th;
  Event a, b, c;
  ASSERT_TRUE(a.Create("", false, false));
  ASSERT_TRUE(b.Create("", false, true));
  ASSERT_TRUE(c.Create("", false, true));
  EXPECT_EQ(WaitForAnyEvent({&a, &b, &c}, 0), kWaitObject0 + 1);
  EXPECT_EQ(WaitForAnyEvent({&a, &b, &c}, 0), kWaitObject0 + 2);  // b was consumed, c not
  EXPECT_EQ(WaitForAnyEvent({&a, &b, &c}, 20), kWaitTimeout);
  uint32_t result = kWaitFailed;
  std::thread t([&] { result = WaitForAnyEvent({&a, &b, &c}, 10000); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  c.Set();
  t.join();
  EXPECT_EQ(result, kWaitObject0 + 2);
  EXPECT_EQ(WaitForAnyEvent({}, 0), kWaitFailed);
  EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
}

TEST(NamedObjectTest, WaitAndResetAdmitsOneCallerAtATime) {
  TempHost th;
  Event gate;
  ASSERT_TRUE(gate.Create("HOST9", true, true));
  std::atomic<int> inside{0}, most{0}, passes{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      Event mine;
      if (!mine.Create("HOST9", true, true)) return;
      for (int i = 0; i < 50; ++i) {
        if (mine.WaitAndReset(10000) != kWaitObject0) return;
        int now = ++inside;
        most = std::max(most.load(), now);
        std::this_thread::yield();
        --inside;
        ++passes;
        mine.Set();
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(passes.load(), 200);
  EXPECT_EQ(most.load(), 1);
}

TEST(NamedObjectTest, MutexOwnershipAndRecursion) {
  TempHost th;
  Mutex m;
  ASSERT_TRUE(m.Create("Data-Mapping-Mutex", false));
  EXPECT_FALSE(m.Release());
  EXPECT_EQ(GetLastError(), kErrorNotOwner);
  EXPECT_EQ(m.Wait(0), kWaitObject0);
  EXPECT_EQ(m.Wait(0), kWaitObject0);
  uint32_t other = kWaitFailed;
  bool other_release = true;
  std::thread t([&] {
    other_release = m.Release();
    other = m.Wait(30);
  });
  t.join();
  EXPECT_FALSE(other_release);
  EXPECT_EQ(other, kWaitTimeout);
  EXPECT_TRUE(m.Release());
  EXPECT_TRUE(m.Release());
  EXPECT_FALSE(m.Release());
  std::thread t2([&] {
    other = m.Wait(1000);
    m.Release();
  });
  t2.join();
  EXPECT_EQ(other, kWaitObject0);

  // Initial ownership of a new mutex, seen from another process.
  Mutex owned;
  ASSERT_TRUE(owned.Create("Owned", true));
  EXPECT_EQ(RunChild([] {
              Mutex mine;
              return mine.Open("Owned") && mine.Wait(20) == kWaitTimeout ? 0 : 1;
            }),
            0);
  EXPECT_TRUE(owned.Release());
  EXPECT_EQ(RunChild([] {
              Mutex mine;
              return mine.Open("Owned") && mine.Wait(1000) == kWaitObject0 ? 0 : 1;
            }),
            0);
}

TEST(NamedObjectTest, MutexOfADeadOwnerIsAcquiredAsAbandoned) {
  TempHost th;
  Mutex m;
  ASSERT_TRUE(m.Create("Abandon", false));
  // A process that ends while owning it.
  ASSERT_EQ(RunChild([] {
              Mutex mine;
              return mine.Open("Abandon") && mine.Wait(1000) == kWaitObject0 ? 0 : 1;
            }),
            0);
  EXPECT_EQ(m.Wait(1000), kWaitAbandoned);
  EXPECT_TRUE(m.Release());
  EXPECT_EQ(m.Wait(0), kWaitObject0);
  EXPECT_TRUE(m.Release());
  // A thread that ends while owning it.
  std::thread([&] { m.Wait(1000); }).join();
  EXPECT_EQ(m.Wait(1000), kWaitAbandoned);
  EXPECT_TRUE(m.Release());
}

TEST(NamedObjectTest, SharedMemoryAcrossProcesses) {
  TempHost th;
  const std::string name = "{E7D0593B-344E-474a-85FC-C9E7D3B88439}";
  SharedMemory mem;
  ASSERT_TRUE(mem.Create(name, 2052));
  EXPECT_EQ(GetLastError(), kErrorSuccess);
  ASSERT_EQ(mem.size(), 2052u);
  auto* bytes = static_cast<unsigned char*>(mem.data());
  for (size_t i = 0; i < 2052; ++i) ASSERT_EQ(bytes[i], 0) << i;
  EXPECT_EQ(RunChild([&] {
              SharedMemory other;
              // A later instance: the object exists, its size stays.
              if (!other.Create(name, 16) || GetLastError() != kErrorAlreadyExists) return 1;
              if (other.size() != 2052) return 2;
              std::memcpy(static_cast<char*>(other.data()) + 4, "#AUTOMATIC", 11);
              return 0;
            }),
            0);
  EXPECT_STREQ(reinterpret_cast<char*>(bytes + 4), "#AUTOMATIC");
  SharedMemory none;
  EXPECT_FALSE(none.Create("zero", 0));
  EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
}

TEST(NamedObjectTest, ObjectsLeftByADeadProcessCountAsGone) {
  TempHost th;
  ASSERT_EQ(RunChild([] {
              auto* e = new Event;  // never closed: the process just ends
              return e->Create("Leftover", true, true) ? 0 : 1;
            }),
            0);
  Event e;
  EXPECT_FALSE(e.Open("Leftover"));
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
  ASSERT_TRUE(e.Create("Leftover", false, false));
  EXPECT_EQ(GetLastError(), kErrorSuccess);
  EXPECT_EQ(e.Wait(0), kWaitTimeout);
}

}  // namespace
}  // namespace platform
