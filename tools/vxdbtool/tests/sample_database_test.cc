#include "tools/vxdbtool/sample_database.h"

#include <gtest/gtest.h>

#include <set>

#include "VXAgent/engine/trace_syntax.h"
#include "VXAgent/engine/path_expander.h"

namespace vxdbtool {
namespace {

bool AnyOf(const std::vector<std::string>& list, const std::function<bool(const std::string&)>& f) {
  for (const auto& s : list)
    if (f(s)) return true;
  return false;
}

bool Has(const std::string& s, const char* part) { return s.find(part) != std::string::npos; }

TEST(SampleDatabaseTest, CountNamesAndDeterminism) {
  for (uint32_t n : {0u, 1u, 7u, 150u, 400u}) {
    SCOPED_TRACE(n);
    engine::SpyMap map = GenerateSampleDatabase({n, 3});
    EXPECT_EQ(n, map.size()) << "names are distinct";
    engine::SpyMap again = GenerateSampleDatabase({n, 3});
    ASSERT_EQ(map.size(), again.size());
    for (const auto& [name, spy] : map) EXPECT_EQ(*spy, *again.at(name));
  }
}

TEST(SampleDatabaseTest, EverySpyCoversEveryTraceKind) {
  engine::SpyMap map = GenerateSampleDatabase({40, 9});
  bool any_bat = false, any_com = false;
  for (const auto& [name, spy] : map) {
    SCOPED_TRACE(name);
    ASSERT_NE(nullptr, spy);
    for (const auto* list : {&spy->files, &spy->processes, &spy->folders, &spy->cookies, &spy->regKeys,
                             &spy->regValues, &spy->regData})
      EXPECT_FALSE(list->empty());
    EXPECT_TRUE(AnyOf(spy->files, [](auto& s) { return Has(s, "%PROFILE%"); }));
    EXPECT_TRUE(AnyOf(spy->folders, [](auto& s) { return Has(s, "%PROFILE%"); }));
    EXPECT_TRUE(AnyOf(spy->files, [](auto& s) { return engine::IsProgramPath(s); }));
    EXPECT_TRUE(AnyOf(spy->files, [](auto& s) { return !engine::IsProgramPath(s); }));
    any_bat |= AnyOf(spy->files, [](auto& s) { return s.ends_with(".bat"); });
    any_com |= AnyOf(spy->files, [](auto& s) { return s.ends_with(".COM"); });
    EXPECT_TRUE(AnyOf(spy->regKeys, [](auto& s) { return Has(s, "S-1-5-21-"); }));
    EXPECT_TRUE(AnyOf(spy->regValues, [](auto& s) {
      return engine::ParseRegValueName(engine::ParseRegPath(s).subkey).value_name.find('\\') !=
             std::string::npos;
    })) << "a quoted value name holding a backslash";
    for (const auto& d : spy->regData) {
      engine::RegPath p = engine::ParseRegPath(d);
      EXPECT_TRUE(p.hive.has_value()) << d;
      EXPECT_EQ(2, std::count(d.begin(), d.end(), '"')) << d;
    }
    EXPECT_TRUE(AnyOf(spy->regData, [](auto& s) { return Has(s, "(Default)"); }));
    for (const auto* list : {&spy->regKeys, &spy->regValues})
      for (const auto& k : *list) EXPECT_TRUE(engine::ParseRegPath(k).hive.has_value()) << k;
    // Every macro used is one the agent knows.
    for (const auto* list : {&spy->files, &spy->processes, &spy->folders, &spy->regData}) {
      for (const auto& s : *list) {
        size_t start = s.find('%');
        if (start == std::string::npos) continue;
        std::string macro = s.substr(start, s.find('%', start + 1) - start + 1);
        bool known = false;
        for (const auto& m : engine::CPathExpander::Macros()) known |= macro == m.name;
        EXPECT_TRUE(known) << s;
      }
    }
  }
  EXPECT_TRUE(any_bat);
  EXPECT_TRUE(any_com);
}

}  // namespace
}  // namespace vxdbtool
