// Process speed against the bare Linux calls, in the same run.
//
// Start: CreateProcess of a host program from its Windows path and a wait
// for its end, against posix_spawn + waitpid of the same file. List: one
// ListProcesses of a host with 20 running programs, against a bare walk of
// /proc that reads what the list needs of each process: its environment
// (to tell its host) and its exe link. The ratios are printed at the
// end.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/testing/temp_host.h"

extern char** environ;

namespace {

struct Fixture {
  std::unique_ptr<platform::testing::TempHost> host;
  std::string true_real, sleep_real;
  std::vector<platform::Process> sleepers;
};

Fixture& F() {
  static Fixture* f = [] {
    auto* f = new Fixture;
    f->host = std::make_unique<platform::testing::TempHost>();
    f->true_real = f->host->Real("C:\\WINDOWS\\true.exe");
    f->sleep_real = f->host->Real("C:\\WINDOWS\\sleep.exe");
    std::filesystem::copy_file("/bin/true", f->true_real);
    std::filesystem::copy_file("/bin/sleep", f->sleep_real);
    for (int i = 0; i < 20; ++i) {
      platform::Process p;
      if (platform::CreateProcess("C:\\WINDOWS\\sleep.exe", "sleep.exe 600", {}, &p))
        f->sleepers.push_back(std::move(p));
    }
    return f;
  }();
  return *f;
}

void BM_CreateProcessAndWait(benchmark::State& state) {
  for (auto _ : state) {
    platform::Process p;
    if (!platform::CreateProcess("C:\\WINDOWS\\true.exe", "true.exe", {}, &p)) state.SkipWithError("start failed");
    p.WaitForExit(-1);
    uint32_t code = 1;
    p.GetExitCode(&code);
    benchmark::DoNotOptimize(code);
  }
}
BENCHMARK(BM_CreateProcessAndWait)->Unit(benchmark::kMicrosecond);

void BM_BareSpawnAndWait(benchmark::State& state) {
  const std::string& path = F().true_real;
  char* argv[] = {const_cast<char*>("true.exe"), nullptr};
  for (auto _ : state) {
    pid_t pid;
    if (posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, environ) != 0) state.SkipWithError("spawn failed");
    int status = 0;
    waitpid(pid, &status, 0);
    benchmark::DoNotOptimize(status);
  }
}
BENCHMARK(BM_BareSpawnAndWait)->Unit(benchmark::kMicrosecond);

void BM_ListProcesses(benchmark::State& state) {
  F();
  for (auto _ : state) {
    std::vector<platform::ProcessEntry> list;
    platform::ListProcesses(&list);
    if (list.size() < 20) state.SkipWithError("host programs missing from the list");
    benchmark::DoNotOptimize(list);
  }
}
BENCHMARK(BM_ListProcesses)->Unit(benchmark::kMicrosecond);

void BM_BareProcWalk(benchmark::State& state) {
  F();
  for (auto _ : state) {
    std::vector<std::string> images;
    DIR* d = opendir("/proc");
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
      char env[65536];
      int fd = open((std::string("/proc/") + e->d_name + "/environ").c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) continue;
      ssize_t got = read(fd, env, sizeof env);
      close(fd);
      benchmark::DoNotOptimize(got);
      char buf[PATH_MAX];
      ssize_t n = readlink((std::string("/proc/") + e->d_name + "/exe").c_str(), buf, sizeof buf);
      if (n > 0) images.emplace_back(buf, static_cast<size_t>(n));
    }
    closedir(d);
    benchmark::DoNotOptimize(images);
  }
}
BENCHMARK(BM_BareProcWalk)->Unit(benchmark::kMicrosecond);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& r : runs) times_[r.benchmark_name()] = r.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    auto ratio = [&](const char* ours, const char* bare) {
      if (times_.count(ours) && times_.count(bare) && times_[bare] > 0)
        std::printf("%s / %s = %.2f\n", ours, bare, times_[ours] / times_[bare]);
    };
    ratio("BM_CreateProcessAndWait", "BM_BareSpawnAndWait");
    ratio("BM_ListProcesses", "BM_BareProcWalk");
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  F();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (auto& p : F().sleepers) {
    p.Terminate(0);
    p.WaitForExit(5000);
  }
  return 0;
}
