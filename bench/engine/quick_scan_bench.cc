// A quick scan's tests of 50,000 definitions of mixed types (the sample
// database's files, folders, registry keys, values and data of 2,460 made-up
// spies) against a host where 20 of those spies are present.
//
// Path tests: the file and folder collections' detection loops, against a
// plain stat() loop over the same expanded paths (resolved to real paths
// beforehand). Registry tests: the three registry collections' loops,
// against bare SQLite lookups with prepared statements on the same
// registry database (one row per key name on the way, one per value).
// The sample has about 20 definitions per spy.
// Courtesy pauses are off; the scan only logs (action 0).
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "VXAgent/engine/file_items.h"
#include "VXAgent/engine/registry_items.h"
#include "VXAgent/engine/spy_item_list.h"
#include "bench/common/ratio.h"
#include "platform/host.h"
#include "platform/path.h"
#include "platform/strings.h"
#include "platform/testing/temp_host.h"
#include "tools/lab/plant.h"
#include "tools/vxdbtool/sample_database.h"

namespace {

constexpr uint32_t kSpies = 2460;  // about 50,000 definitions
constexpr size_t kPresentSpies = 20;

engine::SpyMap* g_map = nullptr;

// Counts detections; nothing else.
class CountingScanner : public engine::SpyScannerInterface {
 public:
  void RecordDetection(std::unique_ptr<engine::CSpyItem>, const std::string&) override {}
  bool AnnounceDetection(const std::string&) override { return false; }
  void CountFound() override { ++found; }
  void CountDeleted() override {}
  void CountQuarantined() override {}
  void SetRestartRequired() override {}
  bool TakeFirstDetectionPending() override { return false; }
  int action() const override { return engine::kActionLogOnly; }
  int found = 0;
};

struct PathLists {
  engine::CFileList files;
  engine::CFolderList folders;
  PathLists() {
    for (const auto& [name, spy] : *g_map) {
      files.AddDefinitions(name, spy->files);
      folders.AddDefinitions(name, spy->folders);
    }
  }
};

struct RegistryLists {
  engine::CRegKeyList keys;
  engine::CRegValueList values;
  engine::CRegDataList data;
  RegistryLists() {
    for (const auto& [name, spy] : *g_map) {
      keys.AddDefinitions(name, spy->regKeys);
      values.AddDefinitions(name, spy->regValues);
      data.AddDefinitions(name, spy->regData);
    }
  }
};

void BM_PathTests(benchmark::State& state) {
  int found = 0;
  size_t traces = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto lists = std::make_unique<PathLists>();
    traces = lists->files.items().size() + lists->folders.items().size();
    CountingScanner scanner;
    state.ResumeTiming();
    lists->files.Scan(scanner, engine::kActionLogOnly);
    lists->folders.Scan(scanner, engine::kActionLogOnly);
    found = scanner.found;
    state.PauseTiming();
    lists.reset();
    state.ResumeTiming();
  }
  state.counters["traces"] = static_cast<double>(traces);
  state.counters["found"] = found;
}
BENCHMARK(BM_PathTests)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_StatLoop(benchmark::State& state) {
  std::vector<std::string> real;
  {
    PathLists lists;
    for (const auto* list : {static_cast<engine::CSpyItemList*>(&lists.files),
                             static_cast<engine::CSpyItemList*>(&lists.folders)})
      for (const auto& item : list->items()) {
        std::string r;
        if (platform::ResolvePath(item->trace(), &r)) real.push_back(r);
      }
  }
  int found = 0;
  for (auto _ : state) {
    found = 0;
    struct stat st;
    for (const auto& path : real) found += ::stat(path.c_str(), &st) == 0;
    benchmark::DoNotOptimize(found);
  }
  state.counters["traces"] = static_cast<double>(real.size());
  state.counters["found"] = found;
}
BENCHMARK(BM_StatLoop)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_RegistryTests(benchmark::State& state) {
  int found = 0;
  size_t traces = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto lists = std::make_unique<RegistryLists>();
    traces = lists->keys.items().size() + lists->values.items().size() + lists->data.items().size();
    CountingScanner scanner;
    state.ResumeTiming();
    lists->data.Scan(scanner, engine::kActionLogOnly);
    lists->values.Scan(scanner, engine::kActionLogOnly);
    lists->keys.Scan(scanner, engine::kActionLogOnly);
    found = scanner.found;
    state.PauseTiming();
    lists.reset();
    state.ResumeTiming();
  }
  state.counters["traces"] = static_cast<double>(traces);
  state.counters["found"] = found;
}
BENCHMARK(BM_RegistryTests)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// One lookup of the baseline: the key's names from its stored hive on, and
// the value name and expected data when there are any.
struct Lookup {
  bool users = false;
  std::vector<std::string> names;
  bool value = false;
  std::string value_name;
  bool data = false;
  std::string expected;
};

void AddKeyPath(platform::RootKey hive, const std::string& subkey, Lookup* l) {
  const platform::UserAccount& account = platform::Host::Current()->CurrentAccount();
  switch (hive) {
    case platform::RootKey::kUsers: l->users = true; break;
    case platform::RootKey::kCurrentUser: l->users = true; l->names.push_back(account.sid); break;
    case platform::RootKey::kClassesRoot: l->names = {"SOFTWARE", "Classes"}; break;
    case platform::RootKey::kCurrentConfig:
      l->names = {"SYSTEM", "CurrentControlSet", "Hardware Profiles", "Current"};
      break;
    default: break;
  }
  for (const auto& part : platform::Split(subkey, '\\'))
    if (!part.empty()) l->names.push_back(part);
}

std::vector<Lookup> RegistryLookups() {
  RegistryLists lists;
  std::vector<Lookup> out;
  for (const auto& item : lists.data.items()) {
    auto* d = static_cast<engine::CRegDataItem*>(item.get());
    if (!d->hive()) continue;
    Lookup l;
    AddKeyPath(*d->hive(), d->key_path(), &l);
    l.value = l.data = true;
    l.value_name = d->value_name() == "(Default)" ? "" : d->value_name();
    l.expected = d->data();
    out.push_back(l);
  }
  for (const auto& item : lists.values.items()) {
    auto* v = static_cast<engine::CRegValueItem*>(item.get());
    if (!v->hive()) continue;
    Lookup l;
    AddKeyPath(*v->hive(), v->key_path(), &l);
    l.value = true;
    l.value_name = v->value_name();
    out.push_back(l);
  }
  for (const auto& item : lists.keys.items()) {
    auto* k = static_cast<engine::CRegKeyItem*>(item.get());
    if (!k->hive()) continue;
    Lookup l;
    AddKeyPath(*k->hive(), k->subkey(), &l);
    out.push_back(l);
  }
  return out;
}

void BM_SqliteLookups(benchmark::State& state) {
  std::vector<Lookup> lookups = RegistryLookups();
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(platform::Host::Current()->RegistryFile().c_str(), &db, SQLITE_OPEN_READONLY,
                      nullptr) != SQLITE_OK) {
    state.SkipWithError("cannot open the registry");
    return;
  }
  sqlite3_stmt *child = nullptr, *value = nullptr;
  sqlite3_prepare_v2(db, "SELECT id FROM keys WHERE parent = ?1 AND name = ?2", -1, &child, nullptr);
  sqlite3_prepare_v2(db, "SELECT type, data FROM vals WHERE key = ?1 AND name = ?2", -1, &value, nullptr);
  auto find_child = [&](int64_t parent, const std::string& name, int64_t* id) {
    sqlite3_bind_int64(child, 1, parent);
    sqlite3_bind_text(child, 2, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
    bool ok = sqlite3_step(child) == SQLITE_ROW;
    if (ok) *id = sqlite3_column_int64(child, 0);
    sqlite3_reset(child);
    return ok;
  };
  int64_t machine = 0, users = 0;
  find_child(0, "HKEY_LOCAL_MACHINE", &machine);
  find_child(0, "HKEY_USERS", &users);
  int found = 0;
  for (auto _ : state) {
    found = 0;
    for (const auto& l : lookups) {
      int64_t id = l.users ? users : machine;
      bool ok = true;
      for (const auto& name : l.names)
        if (!(ok = find_child(id, name, &id))) break;
      if (ok && l.value) {
        sqlite3_bind_int64(value, 1, id);
        sqlite3_bind_text(value, 2, l.value_name.data(), static_cast<int>(l.value_name.size()),
                          SQLITE_STATIC);
        ok = sqlite3_step(value) == SQLITE_ROW;
        if (ok && l.data) {
          const char* text = static_cast<const char*>(sqlite3_column_blob(value, 1));
          std::string s(text ? text : "", static_cast<size_t>(sqlite3_column_bytes(value, 1)));
          s = s.substr(0, s.find('\0'));
          ok = l.expected.empty() ? !s.empty() : platform::EqualsIgnoreCase(s, l.expected);
        }
        sqlite3_reset(value);
      }
      found += ok;
    }
    benchmark::DoNotOptimize(found);
  }
  sqlite3_finalize(child);
  sqlite3_finalize(value);
  sqlite3_close(db);
  state.counters["traces"] = static_cast<double>(lookups.size());
  state.counters["found"] = found;
}
BENCHMARK(BM_SqliteLookups)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  ::setenv("VX_PAUSE_SCALE", "0", 1);
  ::setenv("VX_ACCOUNT", "SYSTEM", 1);  // the agent's account
  platform::testing::TempHost host;
  engine::SpyMap map = vxdbtool::GenerateSampleDatabase({kSpies, 11});
  g_map = &map;
  // A few of them present: files, folders and registry entries (no
  // processes are started: the quick scan's path and registry tests are
  // measured here).
  lab::PlantOptions plant;
  for (const auto& [name, spy] : map) {
    if (plant.spies.size() == kPresentSpies) break;
    plant.spies.push_back(name);
  }
  lab::PlantResult planted;
  std::string error;
  if (!lab::PlantSpies(map, plant, &planted, &error)) {
    std::fprintf(stderr, "planting failed: %s\n", error.c_str());
    return 1;
  }
  size_t definitions = 0;
  for (const auto& [name, spy] : map)
    definitions += spy->files.size() + spy->folders.size() + spy->regKeys.size() +
                   spy->regValues.size() + spy->regData.size() + spy->cookies.size() +
                   spy->processes.size();
  std::printf("%zu definitions of %u spies, %zu traces of %zu spies planted\n", definitions, kSpies,
              planted.traces.size(), kPresentSpies);
  benchmark::Initialize(&argc, argv);
  vxbench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio("BM_PathTests", "BM_StatLoop", 1.5);
  reporter.PrintRatio("BM_RegistryTests", "BM_SqliteLookups", 1.5);
  benchmark::Shutdown();
  return 0;
}
