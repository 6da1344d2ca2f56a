// Loading a sealed definition database of about 20 MB: deciphering alone
// (the baseline), deciphering and parsing into the spy map, and the
// scanner's whole load (file read, decipher, parse, exclusion list and the
// intake of every list into the seven collections). Parsing, the growth
// from the first to the second, must stay within three times the
// deciphering.
#include <stdlib.h>

#include <cstdio>
#include <string>

#include "VXAgent/engine/spy_database.h"
#include "VXAgent/engine/spy_scanner.h"
#include "bench/common/ratio.h"
#include "common/rc4.h"
#include "platform/file.h"
#include "platform/testing/temp_host.h"
#include "tools/vxdbtool/sample_database.h"

namespace {

constexpr size_t kTargetBytes = 20u << 20;

std::string* g_sealed = nullptr;

std::string MakeSealed() {
  // The sample's archive grows linearly with the spy count: measure a
  // small one and scale.
  const uint32_t probe = 1000;
  size_t per_spy = engine::EncodeSpyArchive(vxdbtool::GenerateSampleDatabase({probe, 5})).size() / probe;
  uint32_t spies = static_cast<uint32_t>(kTargetBytes / per_spy);
  std::string bytes = engine::EncodeSpyArchive(vxdbtool::GenerateSampleDatabase({spies, 5}));
  common::Rc4Crypt(&bytes);
  return bytes;
}

void BM_Decipher(benchmark::State& state) {
  for (auto _ : state) {
    std::string bytes = *g_sealed;
    common::Rc4Crypt(&bytes);
    benchmark::DoNotOptimize(bytes.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_sealed->size()));
}
BENCHMARK(BM_Decipher)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_DecipherParse(benchmark::State& state) {
  for (auto _ : state) {
    std::string bytes = *g_sealed;
    common::Rc4Crypt(&bytes);
    engine::SpyMap map;
    if (engine::DecodeSpyArchive(bytes, &map) != engine::SpyArchiveStatus::kOk)
      state.SkipWithError("the database does not read back");
    benchmark::DoNotOptimize(map);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_sealed->size()));
}
BENCHMARK(BM_DecipherParse)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_LoadSpyDatabase(benchmark::State& state) {
  size_t traces = 0;
  for (auto _ : state) {
    engine::CSpyScanner scanner;
    scanner.LoadSpyDatabase();
    traces = scanner.files().items().size() + scanner.folders().items().size() +
             scanner.regKeys().items().size() + scanner.regValues().items().size() +
             scanner.regData().items().size() + scanner.cookies().items().size() +
             scanner.processes().items().size();
  }
  if (traces == 0) state.SkipWithError("nothing loaded");
  state.counters["traces"] = static_cast<double>(traces);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_sealed->size()));
}
BENCHMARK(BM_LoadSpyDatabase)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  ::setenv("VX_PAUSE_SCALE", "0", 1);
  platform::testing::TempHost host;
  std::string sealed = MakeSealed();
  g_sealed = &sealed;
  if (!platform::WriteStringToFile(engine::SpyDatabasePath(), sealed)) {
    std::fprintf(stderr, "cannot install the database\n");
    return 1;
  }
  std::printf("sealed database: %.1f MB\n", static_cast<double>(sealed.size()) / (1 << 20));
  benchmark::Initialize(&argc, argv);
  vxbench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double decipher = reporter.CpuMs("BM_Decipher"), both = reporter.CpuMs("BM_DecipherParse");
  if (decipher > 0 && both > 0)
    std::printf("parse / decipher = %.2f cpu (target <= 3.00)%s\n", (both - decipher) / decipher,
                (both - decipher) / decipher <= 3.0 ? "" : "  ** MISSED **");
  const double load = reporter.CpuMs("BM_LoadSpyDatabase");
  if (decipher > 0 && load > 0)
    std::printf("whole load: %.0f ms cpu, %.1f MB/s, %.1f x deciphering (no target)\n", load,
                static_cast<double>(sealed.size()) / (1 << 20) / (load / 1e3), load / decipher);
  benchmark::Shutdown();
  return 0;
}
