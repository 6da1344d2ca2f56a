// The tool as a program: compile, decompile, seal and sample round trips.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "VXAgent/engine/spy_database.h"
#include "common/rc4.h"
#include "platform/testing/temp_host.h"
#include "tools/vxdbtool/sample_database.h"
#include "tools/vxdbtool/spy_source.h"

namespace vxdbtool {
namespace {

std::string Tool() {
  const char* bin = std::getenv("VX_BIN_DIR");
  return std::string(bin ? bin : "bin") + "/vxdbtool";
}

int RunTool(const std::string& args) {
  int status = std::system((Tool() + " " + args + " 2>/dev/null").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void Write(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

class VxdbtoolTest : public ::testing::Test {
 protected:
  std::string P(const char* name) { return dir_.path() + "/" + name; }
  platform::testing::TempDir dir_;
};

TEST_F(VxdbtoolTest, SourceRoundTripThroughSealedDatabase) {
  Write(P("src.txt"), FormatSpySource(GenerateSampleDatabase({25, 5})));
  ASSERT_EQ(0, RunTool("compile " + P("src.txt") + " " + P("db")));
  ASSERT_EQ(0, RunTool("decompile " + P("db") + " " + P("back.txt")));
  EXPECT_EQ(Read(P("src.txt")), Read(P("back.txt")));
  // The database is sealed: deciphering it gives the plain archive.
  std::string bytes = Read(P("db"));
  ASSERT_TRUE(common::Rc4Crypt(&bytes));
  engine::SpyMap map;
  EXPECT_EQ(engine::SpyArchiveStatus::kOk, engine::DecodeSpyArchive(bytes, &map));
  EXPECT_EQ(25u, map.size());
}

TEST_F(VxdbtoolTest, SealAndUnsealAreInverse) {
  ASSERT_EQ(0, RunTool("sample --spies 4 --out " + P("plain.db") + " --plain"));
  ASSERT_EQ(0, RunTool("seal " + P("plain.db") + " " + P("sealed.db")));
  ASSERT_EQ(0, RunTool("unseal " + P("sealed.db") + " " + P("again.db")));
  EXPECT_NE(Read(P("plain.db")), Read(P("sealed.db")));
  EXPECT_EQ(Read(P("plain.db")), Read(P("again.db")));
  ASSERT_EQ(0, RunTool("sample --spies 4 --out " + P("sample.db")));
  EXPECT_EQ(Read(P("sealed.db")), Read(P("sample.db"))) << "sample seals by default";
  ASSERT_EQ(0, RunTool("decompile " + P("plain.db") + " " + P("plain.txt") + " --plain"));
  EXPECT_EQ(FormatSpySource(GenerateSampleDatabase({4, 1})), Read(P("plain.txt")));
}

TEST_F(VxdbtoolTest, SampleReadsBackInTheAgent) {
  platform::testing::TempHost host;
  ASSERT_EQ(0, RunTool("sample --spies 12 --seed 7 --out " + host.Real(engine::SpyDatabasePath())));
  engine::SpyMap map;
  EXPECT_EQ(engine::SpyArchiveStatus::kOk, engine::ReadSpyDatabase(&map));
  engine::SpyMap expected = GenerateSampleDatabase({12, 7});
  ASSERT_EQ(expected.size(), map.size());
  for (const auto& [name, spy] : expected) EXPECT_EQ(*spy, *map.at(name)) << name;
}

TEST_F(VxdbtoolTest, ExclusionList) {
  ASSERT_EQ(0, RunTool("exclude " + P("ex.db") + " 'Blorpix Toolbar' Other"));
  std::vector<std::string> names;
  ASSERT_TRUE(engine::ExcludeList::Decode(Read(P("ex.db")), &names));
  EXPECT_EQ((std::vector<std::string>{"Blorpix Toolbar", "Other"}), names);
}

TEST_F(VxdbtoolTest, Failures) {
  Write(P("bad.txt"), "spy A\n  bogus x\nend\n");
  Write(P("junk.db"), "\x01\x00\x01" "A\x05\x80");
  struct Case {
    std::string args;
    int code;
  } cases[] = {
      {"", 2},
      {"frobnicate a b", 2},
      {"compile " + P("bad.txt") + " " + P("out.db"), 1},
      {"compile " + P("missing.txt") + " " + P("out.db"), 1},
      {"decompile " + P("junk.db") + " " + P("out.txt") + " --plain", 1},
      {"sample --spies -3 --out " + P("x.db"), 2},
      {"sample --spies 3", 2},
      {"seal " + P("missing") + " " + P("x"), 1},
  };
  for (const auto& c : cases) EXPECT_EQ(c.code, RunTool(c.args)) << c.args;
  EXPECT_TRUE(Read(P("out.db")).empty()) << "nothing written for a bad source";
}

}  // namespace
}  // namespace vxdbtool
