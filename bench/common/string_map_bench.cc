// A string map file of 1M pairs written with WriteStringMapFile and read
// back with ReadStringMapFile, against writing and reading the very same
// bytes with plain buffered stdio (fwrite of each field, fread in 4 KB
// blocks). Keys look like the agent's per-scan log keys.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/common/ratio.h"
#include "common/string_map_file.h"
#include "platform/testing/temp_host.h"

namespace {

constexpr int kPairs = 1000000;

const common::StringMap& Pairs() {
  static common::StringMap* map = [] {
    auto* m = new common::StringMap();
    for (int i = 0; i < kPairs; ++i) {
      m->emplace(" [ 10 December 2026 09:" + std::to_string(10 + i % 50) + ":" +
                     std::to_string(10 + i % 47) + " ]  - File < Spy" + std::to_string(i % 977) +
                     " > C:\\Program Files\\spy\\file" + std::to_string(i) + ".dll#",
                 i % 3 ? "Detected" : "Quarantined");
    }
    return m;
  }();
  return *map;
}

platform::testing::TempHost& Host() {
  static auto* host = new platform::testing::TempHost();
  return *host;
}

void BM_StringMapFileWriteRead(benchmark::State& state) {
  const common::StringMap& map = Pairs();
  const std::string path = "C:\\WINDOWS\\system32\\bench.db";
  for (auto _ : state) {
    if (!common::WriteStringMapFile(path, map, true)) state.SkipWithError("write failed");
    common::StringMap back;
    if (!common::ReadStringMapFile(path, &back) || back.size() != map.size())
      state.SkipWithError("read failed");
    benchmark::DoNotOptimize(back);
  }
}
BENCHMARK(BM_StringMapFileWriteRead)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void PutPrefix(std::FILE* f, size_t length) {
  unsigned char p[7];
  size_t n;
  if (length < 0xFF) {
    p[0] = static_cast<unsigned char>(length);
    n = 1;
  } else {
    p[0] = 0xFF;
    p[1] = static_cast<unsigned char>(length);
    p[2] = static_cast<unsigned char>(length >> 8);
    n = 3;
  }
  std::fwrite(p, 1, n, f);
}

void WritePlain(const std::string& path) {
  std::FILE* out = std::fopen(path.c_str(), "wb");
  unsigned char count[6] = {0xFF, 0xFF, kPairs & 0xFF, (kPairs >> 8) & 0xFF, kPairs >> 16, 0};
  std::fwrite(count, 1, sizeof count, out);
  for (const auto& [key, value] : Pairs()) {
    PutPrefix(out, key.size());
    std::fwrite(key.data(), 1, key.size(), out);
    PutPrefix(out, value.size());
    std::fwrite(value.data(), 1, value.size(), out);
  }
  std::fclose(out);
}

void BM_PlainStdioWriteRead(benchmark::State& state) {
  const std::string path = Host().Real("C:\\WINDOWS\\system32\\plain.db");
  std::string content;
  for (auto _ : state) {
    WritePlain(path);
    std::FILE* in = std::fopen(path.c_str(), "rb");
    content.clear();
    char block[4096];
    for (size_t got; (got = std::fread(block, 1, sizeof block, in)) != 0;) content.append(block, got);
    std::fclose(in);
    benchmark::DoNotOptimize(content);
  }
}
BENCHMARK(BM_PlainStdioWriteRead)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  Host();
  // The two must write the same bytes.
  const std::string plain_path = Host().Real("C:\\WINDOWS\\system32\\plain.db");
  WritePlain(plain_path);
  std::FILE* in = std::fopen(plain_path.c_str(), "rb");
  std::string plain;
  char block[4096];
  for (size_t got; (got = std::fread(block, 1, sizeof block, in)) != 0;) plain.append(block, got);
  std::fclose(in);
  std::string ours = common::StringMapFile::Encode(Pairs());
  if (plain != ours) {
    std::fprintf(stderr, "the baseline does not write the string map bytes\n");
    return 1;
  }
  std::printf("string map file: %d pairs, %zu bytes\n", kPairs, ours.size());
  benchmark::Initialize(&argc, argv);
  vxbench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio("BM_StringMapFileWriteRead", "BM_PlainStdioWriteRead", 2.0);
  benchmark::Shutdown();
  return 0;
}
