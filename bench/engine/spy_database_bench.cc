// Reading a definition archive of 5,000 sample spies into the spy map,
// against a bare walk of the same bytes that only copies every string into
// one vector (no object table, no definitions, no bounds beyond the input).
// Most of the difference is allocating and freeing the eight containers of
// every spy (seven lists and a map node), which the bare walk does not have;
// the target allows for that.
#include <cstdio>
#include <string>
#include <vector>

#include "VXAgent/engine/spy_database.h"
#include "bench/common/ratio.h"
#include "tools/vxdbtool/sample_database.h"

namespace {

const std::string& Archive() {
  static const std::string* archive =
      new std::string(engine::EncodeSpyArchive(vxdbtool::GenerateSampleDatabase({5000, 1})));
  return *archive;
}

// The baseline: every length prefix here is short, every tag is 16 bits.
class BareWalk {
 public:
  explicit BareWalk(const std::string& bytes) : p_(bytes.data()), end_(p_ + bytes.size()) {}
  bool Run(std::vector<std::string>* out) {
    uint32_t spies = U16();
    for (uint32_t i = 0; i < spies && p_ < end_; ++i) {
      out->push_back(Str());
      if (U16() == 0xFFFF) {
        U16();
        p_ += U16();
      }
      for (int list = 0; list < 7; ++list) {
        uint32_t n = U16();
        for (uint32_t k = 0; k < n; ++k) out->push_back(Str());
      }
    }
    return p_ == end_;
  }

 private:
  uint32_t U16() {
    uint32_t v = static_cast<uint8_t>(p_[0]) | (static_cast<uint8_t>(p_[1]) << 8);
    p_ += 2;
    return v;
  }
  std::string Str() {
    size_t n = static_cast<uint8_t>(*p_++);
    std::string s(p_, n);
    p_ += n;
    return s;
  }
  const char* p_;
  const char* end_;
};

void BM_DecodeSpyArchive(benchmark::State& state) {
  for (auto _ : state) {
    engine::SpyMap map;
    engine::DecodeSpyArchive(Archive(), &map);
    benchmark::DoNotOptimize(map);
  }
}
BENCHMARK(BM_DecodeSpyArchive)->Unit(benchmark::kMillisecond)->MinTime(1.0);

void BM_BareStringWalk(benchmark::State& state) {
  for (auto _ : state) {
    std::vector<std::string> strings;
    BareWalk(Archive()).Run(&strings);
    benchmark::DoNotOptimize(strings);
  }
}
BENCHMARK(BM_BareStringWalk)->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace

int main(int argc, char** argv) {
  engine::SpyMap map;
  std::vector<std::string> strings;
  if (engine::DecodeSpyArchive(Archive(), &map) != engine::SpyArchiveStatus::kOk ||
      !BareWalk(Archive()).Run(&strings)) {
    std::fprintf(stderr, "the sample archive does not read back\n");
    return 1;
  }
  std::printf("definition archive: %zu spies, %zu strings, %zu bytes\n", map.size(), strings.size(),
              Archive().size());
  benchmark::Initialize(&argc, argv);
  vxbench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio("BM_DecodeSpyArchive", "BM_BareStringWalk", 2.5);
  benchmark::Shutdown();
  return 0;
}
