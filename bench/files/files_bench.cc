// Cost of the Windows file semantics over the bare POSIX calls: opening
// (path resolution, sharing locks) and deleting (in-use checks). Prints each
// operation's time as a ratio to its POSIX baseline measured in this run.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>

#include "platform/file.h"
#include "platform/testing/temp_host.h"

namespace {

using namespace platform;

testing::TempHost* g_host = nullptr;
constexpr int kFiles = 1000;

std::string Name(int i) { return "C:\\bench\\f" + std::to_string(i) + ".dat"; }

void CreateFiles() {
  for (int i = 0; i < kFiles; ++i) g_host->WriteFile(Name(i), "data");
}

void BM_PosixOpenClose(benchmark::State& state) {
  std::string real = g_host->Real(Name(0));
  for (auto _ : state) {
    int fd = ::open(real.c_str(), O_RDWR | O_CLOEXEC);
    benchmark::DoNotOptimize(fd);
    ::close(fd);
  }
}
BENCHMARK(BM_PosixOpenClose);

void BM_FileOpenClose(benchmark::State& state) {
  for (auto _ : state) {
    File f;
    benchmark::DoNotOptimize(f.Open(Name(0), kGenericRead | kGenericWrite, kShareRead, kOpenExisting));
  }
}
BENCHMARK(BM_FileOpenClose);

void BM_PosixUnlink(benchmark::State& state) {
  int i = 0;
  for (auto _ : state) {
    if (i == kFiles) {
      state.PauseTiming();
      CreateFiles();
      i = 0;
      state.ResumeTiming();
    }
    ::unlink(g_host->Real(Name(i++)).c_str());
  }
}
BENCHMARK(BM_PosixUnlink);

void BM_DeleteFile(benchmark::State& state) {
  int i = 0;
  for (auto _ : state) {
    if (i == kFiles) {
      state.PauseTiming();
      CreateFiles();
      i = 0;
      state.ResumeTiming();
    }
    benchmark::DoNotOptimize(DeleteFile(Name(i++)));
  }
}
BENCHMARK(BM_DeleteFile);

// Collects each benchmark's time per iteration for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) times_[r.benchmark_name()] = r.GetAdjustedRealTime();
  }
  void PrintRatio(const char* what, const char* measured, const char* baseline) {
    if (times_.count(measured) && times_.count(baseline) && times_[baseline] > 0) {
      std::printf("ratio %-20s %.2f x %s\n", what, times_[measured] / times_[baseline], baseline);
    }
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  testing::TempHost host;
  g_host = &host;
  CreateFiles();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio("open+close", "BM_FileOpenClose", "BM_PosixOpenClose");
  reporter.PrintRatio("delete", "BM_DeleteFile", "BM_PosixUnlink");
  benchmark::Shutdown();
  return 0;
}
