// What an idle VXMonitor.exe costs: the CPU time the running monitor uses
// over a wall-clock window, against the CPU time a spinning thread of this
// program gets over the same window (one core, as this machine grants it).
// The monitor guards a cookie folder of 100 files, knows 200 spy programs
// and 50 tracking sites, on a host with 20 other running programs, and
// nothing happens: the ratio is its idle share of a core (target < 0.01).
#include <benchmark/benchmark.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "VXAgent/engine/spy_database.h"
#include "common/rc4.h"
#include "platform/process.h"
#include "platform/testing/temp_host.h"

namespace {

struct Fixture {
  std::unique_ptr<platform::testing::TempHost> host;
  std::vector<platform::Process> others;
  platform::Process monitor;
};

Fixture& F() {
  static Fixture* f = [] {
    auto* f = new Fixture;
    f->host = std::make_unique<platform::testing::TempHost>();
    auto& host = *f->host;
    engine::SpyMap spies;
    for (int i = 0; i < 200; ++i) {
      auto spy = std::make_shared<engine::CSpy>();
      spy->files = {"C:\\Program Files\\Spy" + std::to_string(i) + "\\spy.exe"};
      spy->processes = {"%WINDIR%\\spy" + std::to_string(i) + "mon.exe"};
      spies["Spy " + std::to_string(i)] = spy;
    }
    std::string db = engine::EncodeSpyArchive(spies);
    common::Rc4Crypt(&db);
    host.WriteFile("C:\\WINDOWS\\system32\\ProcessSpy.db", db);
    std::string sites;
    for (int i = 0; i < 50; ++i) sites += "www.tracker" + std::to_string(i) + ".com\n";
    host.WriteFile("C:\\WINDOWS\\system32\\VXTrackingCookies.ini", sites);
    const std::string cookies = "C:\\Documents and Settings\\Administrator\\Cookies";
    for (int i = 0; i < 100; ++i)
      host.WriteFile(cookies + "\\administrator@site" + std::to_string(i) + "[1].txt", "c");
    std::filesystem::copy_file("/bin/sleep", host.Real("C:\\WINDOWS\\sleep.exe"));
    for (int i = 0; i < 20; ++i) {
      platform::Process p;
      if (platform::CreateProcess("C:\\WINDOWS\\sleep.exe", "sleep.exe 3600", {}, &p))
        f->others.push_back(std::move(p));
    }
    std::filesystem::copy_file(VX_MONITOR_PROGRAM, host.Real("C:\\WINDOWS\\system32\\VXMonitor.exe"));
    if (!platform::CreateProcess("C:\\WINDOWS\\system32\\VXMonitor.exe", " -" + cookies, {}, &f->monitor))
      std::fprintf(stderr, "VXMonitor.exe did not start\n");
    // Let it read its rules and make its first sweep before measuring.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    return f;
  }();
  return *f;
}

// User + system CPU of a process in seconds, from /proc.
double ProcessCpuSeconds(uint32_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void BM_MonitorIdleShareOfACore(benchmark::State& state) {
  Fixture& f = F();
  double monitor_total = 0, core_total = 0;
  for (auto _ : state) {
    std::atomic<bool> stop{false};
    double core = 0;
    const double monitor_before = ProcessCpuSeconds(f.monitor.pid());
    std::thread spinner([&] {
      const double start = ThreadCpuSeconds();
      volatile uint64_t n = 0;
      while (!stop.load(std::memory_order_relaxed)) n = n + 1;
      core = ThreadCpuSeconds() - start;
    });
    std::this_thread::sleep_for(std::chrono::seconds(3));
    stop = true;
    spinner.join();
    monitor_total += ProcessCpuSeconds(f.monitor.pid()) - monitor_before;
    core_total += core;
    state.SetIterationTime(3.0);
  }
  state.counters["monitor_cpu_s"] = monitor_total;
  state.counters["core_cpu_s"] = core_total;
  state.counters["ratio"] = core_total > 0 ? monitor_total / core_total : 0;
  std::printf("VXMonitor idle: %.3f s CPU against %.3f s of one core: ratio %.4f (target < 0.01)\n",
              monitor_total, core_total, core_total > 0 ? monitor_total / core_total : 0);
}
BENCHMARK(BM_MonitorIdleShareOfACore)->UseManualTime()->Iterations(3)->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  Fixture& f = F();
  f.monitor.Terminate(1);
  f.monitor.WaitForExit(2000);
  for (auto& p : f.others) {
    p.Terminate(1);
    p.WaitForExit(2000);
  }
  benchmark::Shutdown();
  return 0;
}
