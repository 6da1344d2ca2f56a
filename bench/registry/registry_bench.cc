// Registry speed against bare SQLite on the same file, in the same run.
//
// Lookups: 100k random value reads through RegKey, against a loop of one
// prepared statement doing the same read. Creation: 100k keys created one
// RegKey::Create each (nothing batched), against one bare INSERT
// transaction per key. The ratios are printed at the end.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/testing/temp_host.h"

namespace {

using platform::RegKey;
using platform::RootKey;

constexpr int kKeys = 1000;
constexpr int kValuesPerKey = 20;
constexpr int kLookups = 100000;

struct Fixture {
  std::unique_ptr<platform::testing::TempHost> host;
  std::vector<RegKey> handles;
  std::vector<int64_t> key_ids;  // the same keys, for the bare loops
  std::vector<std::string> key_names, value_names;
  std::vector<std::pair<int, int>> picks;  // (key, value) per lookup
};

Fixture& F() {
  static Fixture* f = [] {
    auto* f = new Fixture;
    f->host = std::make_unique<platform::testing::TempHost>();
    for (int v = 0; v < kValuesPerKey; ++v) f->value_names.push_back("Value" + std::to_string(v));
    f->handles.resize(kKeys);
    for (int k = 0; k < kKeys; ++k) {
      f->key_names.push_back("Key" + std::to_string(k));
      f->handles[k].Create(RootKey::kLocalMachine, "SOFTWARE\\Bench\\" + f->key_names.back(),
                           platform::kKeyAllAccess);
      for (int v = 0; v < kValuesPerKey; ++v)
        f->handles[k].WriteDword(f->value_names[v], k * 100 + v);
    }
    std::mt19937 rng(42);
    for (int i = 0; i < kLookups; ++i)
      f->picks.push_back(
          {static_cast<int>(rng() % kKeys), static_cast<int>(rng() % kValuesPerKey)});
    return f;
  }();
  return *f;
}

sqlite3* OpenBare() {
  sqlite3* db = nullptr;
  sqlite3_open_v2(F().host->host().RegistryFile().c_str(), &db,
                  SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  sqlite3_busy_timeout(db, 10000);
  sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  return db;
}

sqlite3_stmt* Prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) std::abort();
  return st;
}

int64_t ChildId(sqlite3_stmt* child, int64_t parent, const std::string& name) {
  sqlite3_bind_int64(child, 1, parent);
  sqlite3_bind_text(child, 2, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
  int64_t id = sqlite3_step(child) == SQLITE_ROW ? sqlite3_column_int64(child, 0) : 0;
  sqlite3_reset(child);
  return id;
}

const char kChildSql[] = "SELECT id FROM keys WHERE parent = ?1 AND name = ?2";
const char kValueSql[] = "SELECT type, data FROM vals WHERE key = ?1 AND name = ?2";

// One value read of the bare loop: bind, step, copy, reset.
uint32_t BareRead(sqlite3_stmt* st, int64_t key, const std::string& name, uint8_t* buf) {
  sqlite3_bind_int64(st, 1, key);
  sqlite3_bind_text(st, 2, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
  uint32_t n = 0;
  if (sqlite3_step(st) == SQLITE_ROW) {
    n = static_cast<uint32_t>(sqlite3_column_bytes(st, 1));
    std::memcpy(buf, sqlite3_column_blob(st, 1), n);
  }
  sqlite3_reset(st);
  return n;
}

int64_t BenchKeyId(sqlite3* db, sqlite3_stmt* child, int k) {
  int64_t hklm = ChildId(child, 0, "HKEY_LOCAL_MACHINE");
  int64_t bench = ChildId(child, ChildId(child, hklm, "SOFTWARE"), "Bench");
  (void)db;
  return ChildId(child, bench, F().key_names[k]);
}

// --- lookups on open handles ---

void BM_LookupBare(benchmark::State& state) {
  Fixture& f = F();
  sqlite3* db = OpenBare();
  sqlite3_stmt* child = Prepare(db, kChildSql);
  std::vector<int64_t> ids(kKeys);
  for (int k = 0; k < kKeys; ++k) ids[k] = BenchKeyId(db, child, k);
  sqlite3_stmt* st = Prepare(db, kValueSql);
  uint8_t buf[16];
  for (auto _ : state) {
    for (const auto& [k, v] : f.picks)
      if (BareRead(st, ids[k], f.value_names[v], buf) != 4) state.SkipWithError("value missing");
  }
  state.SetItemsProcessed(state.iterations() * kLookups);
  sqlite3_finalize(st);
  sqlite3_finalize(child);
  sqlite3_close(db);
}

void BM_LookupLayer(benchmark::State& state) {
  Fixture& f = F();
  uint8_t buf[16];
  for (auto _ : state) {
    for (const auto& [k, v] : f.picks) {
      uint32_t type = 0, size = sizeof buf;
      if (f.handles[k].QueryValue(f.value_names[v], &type, buf, &size) != 0 || size != 4)
        state.SkipWithError("value missing");
    }
  }
  state.SetItemsProcessed(state.iterations() * kLookups);
}

// --- lookups by path: open the key from the root, then read ---

void BM_PathLookupBare(benchmark::State& state) {
  Fixture& f = F();
  sqlite3* db = OpenBare();
  sqlite3_stmt* child = Prepare(db, kChildSql);
  sqlite3_stmt* st = Prepare(db, kValueSql);
  int64_t hklm = ChildId(child, 0, "HKEY_LOCAL_MACHINE");
  const std::string software = "SOFTWARE", bench = "Bench";
  uint8_t buf[16];
  for (auto _ : state) {
    for (const auto& [k, v] : f.picks) {
      int64_t id =
          ChildId(child, ChildId(child, ChildId(child, hklm, software), bench), f.key_names[k]);
      if (BareRead(st, id, f.value_names[v], buf) != 4) state.SkipWithError("value missing");
    }
  }
  state.SetItemsProcessed(state.iterations() * kLookups);
  sqlite3_finalize(st);
  sqlite3_finalize(child);
  sqlite3_close(db);
}

void BM_PathLookupLayer(benchmark::State& state) {
  Fixture& f = F();
  std::vector<std::string> paths;
  for (int k = 0; k < kKeys; ++k) paths.push_back("SOFTWARE\\Bench\\" + f.key_names[k]);
  uint8_t buf[16];
  for (auto _ : state) {
    for (const auto& [k, v] : f.picks) {
      RegKey key;
      uint32_t type = 0, size = sizeof buf;
      if (key.Open(RootKey::kLocalMachine, paths[k], platform::kKeyQueryValue) != 0 ||
          key.QueryValue(f.value_names[v], &type, buf, &size) != 0)
        state.SkipWithError("value missing");
    }
  }
  state.SetItemsProcessed(state.iterations() * kLookups);
}

// --- the same lookups from two threads: one shared connection behind a
// mutex (the layer) against one bare connection per thread ---

void BM_LookupBareThreads(benchmark::State& state) { BM_LookupBare(state); }
void BM_LookupLayerThreads(benchmark::State& state) { BM_LookupLayer(state); }

// --- enumerating the 1000 subkeys of one key by index ---

void BM_EnumKeysBare(benchmark::State& state) {
  sqlite3* db = OpenBare();
  sqlite3_stmt* child = Prepare(db, kChildSql);
  int64_t hklm = ChildId(child, 0, "HKEY_LOCAL_MACHINE");
  int64_t bench = ChildId(child, ChildId(child, hklm, "SOFTWARE"), "Bench");
  sqlite3_stmt* st = Prepare(db, "SELECT name FROM keys WHERE parent = ?1 ORDER BY id");
  for (auto _ : state) {
    int n = 0;
    sqlite3_bind_int64(st, 1, bench);
    while (sqlite3_step(st) == SQLITE_ROW) {
      std::string name(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
      benchmark::DoNotOptimize(name);
      ++n;
    }
    sqlite3_reset(st);
    if (n != kKeys) state.SkipWithError("wrong count");
  }
  state.SetItemsProcessed(state.iterations() * kKeys);
  sqlite3_finalize(st);
  sqlite3_finalize(child);
  sqlite3_close(db);
}

void BM_EnumKeysLayer(benchmark::State& state) {
  RegKey parent;
  parent.Open(RootKey::kLocalMachine, "SOFTWARE\\Bench", platform::kKeyRead);
  for (auto _ : state) {
    std::string name;
    uint32_t n = 0;
    while (parent.EnumKey(n, &name) == 0) ++n;
    if (n != kKeys) state.SkipWithError("wrong count");
  }
  state.SetItemsProcessed(state.iterations() * kKeys);
}

// --- creating 100k keys, one change each ---

constexpr int kCreates = 100000;

void BM_CreateBare(benchmark::State& state) {
  static int round = 0;
  sqlite3* db = OpenBare();
  sqlite3_stmt* child = Prepare(db, kChildSql);
  sqlite3_stmt* ins = Prepare(db, "INSERT INTO keys(parent, name) VALUES(?1, ?2)");
  sqlite3_stmt* begin = Prepare(db, "BEGIN IMMEDIATE");
  sqlite3_stmt* commit = Prepare(db, "COMMIT");
  auto step = [&](sqlite3_stmt* st) {
    int rc = sqlite3_step(st);
    sqlite3_reset(st);
    return rc;
  };
  for (auto _ : state) {
    // The parent is made outside the timed loop's subject but inside an
    // iteration, as the layer's run does.
    std::string parent_name = "BareCreate" + std::to_string(round++);
    int64_t soft = ChildId(child, ChildId(child, 0, "HKEY_LOCAL_MACHINE"), "SOFTWARE");
    step(begin);
    sqlite3_bind_int64(ins, 1, soft);
    sqlite3_bind_text(ins, 2, parent_name.c_str(), -1, SQLITE_TRANSIENT);
    step(ins);
    int64_t parent = sqlite3_last_insert_rowid(db);
    step(commit);
    for (int i = 0; i < kCreates; ++i) {
      std::string name = "K" + std::to_string(i);
      step(begin);
      // Like a create: look for the key, insert it when missing.
      if (ChildId(child, parent, name) == 0) {
        sqlite3_bind_int64(ins, 1, parent);
        sqlite3_bind_text(ins, 2, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
        if (step(ins) != SQLITE_DONE) state.SkipWithError("insert failed");
      }
      if (step(commit) != SQLITE_DONE) state.SkipWithError("commit failed");
    }
  }
  state.SetItemsProcessed(state.iterations() * kCreates);
  for (auto* st : {child, ins, begin, commit}) sqlite3_finalize(st);
  sqlite3_close(db);
}

void BM_CreateLayer(benchmark::State& state) {
  static int round = 0;
  for (auto _ : state) {
    std::string parent = "SOFTWARE\\LayerCreate" + std::to_string(round++) + "\\K";
    for (int i = 0; i < kCreates; ++i) {
      RegKey key;
      if (key.Create(RootKey::kLocalMachine, parent + std::to_string(i), platform::kKeyAllAccess) !=
          0)
        state.SkipWithError("create failed");
    }
  }
  state.SetItemsProcessed(state.iterations() * kCreates);
}

BENCHMARK(BM_LookupBare)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_LookupLayer)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_PathLookupBare)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_PathLookupLayer)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_LookupBareThreads)->Unit(benchmark::kMillisecond)->Threads(2)->UseRealTime();
BENCHMARK(BM_LookupLayerThreads)->Unit(benchmark::kMillisecond)->Threads(2)->UseRealTime();
BENCHMARK(BM_EnumKeysBare)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EnumKeysLayer)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CreateBare)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_CreateLayer)->Unit(benchmark::kMillisecond)->Iterations(1);

// Keeps each benchmark's time per iteration to print the ratios: CPU time
// (user and system, so the file writes count) for one thread, which stays
// steady on a shared machine; wall time where two threads run.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& r : runs) {
      std::string name = r.benchmark_name();
      bool wall = name.find("Threads") != std::string::npos;
      std::string key = name.substr(0, name.find('/'));
      times[key] = wall ? r.GetAdjustedRealTime() : r.GetAdjustedCPUTime();
      wall_times[key] = r.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times, wall_times;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  F();  // build the data set before anything is timed
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto ratio = [&](const char* what, const char* layer, const char* bare) {
    auto l = reporter.times.find(layer), b = reporter.times.find(bare);
    if (l != reporter.times.end() && b != reporter.times.end() && b->second > 0)
      std::printf("ratio %-42s layer/bare = %.2f\n", what, l->second / b->second);
  };
  ratio("100k lookups on open keys", "BM_LookupLayer", "BM_LookupBare");
  ratio("100k lookups by path (open + read)", "BM_PathLookupLayer", "BM_PathLookupBare");
  ratio("100k lookups, 2 threads", "BM_LookupLayerThreads", "BM_LookupBareThreads");
  ratio("enumerating 1000 subkeys by index", "BM_EnumKeysLayer", "BM_EnumKeysBare");
  ratio("100k key creations", "BM_CreateLayer", "BM_CreateBare");
  auto c = reporter.times.find("BM_CreateLayer");
  auto w = reporter.wall_times.find("BM_CreateLayer");
  if (c != reporter.times.end() && c->second > 0 && w->second > 0)
    std::printf(
        "key creation rate through the layer: %.0f keys/s of CPU time, %.0f keys/s of wall time\n",
        kCreates / (c->second / 1e3), kCreates / (w->second / 1e3));
  benchmark::Shutdown();
  return 0;
}
