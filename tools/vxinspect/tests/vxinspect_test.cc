// vxinspect: type guessing, the documents it builds, and the program's
// output and exit codes on real files.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

#include "VXAgent/engine/spy_database.h"
#include "common/config.h"
#include "common/rc4.h"
#include "common/string_map_file.h"
#include "platform/testing/temp_host.h"
#include "tools/vxinspect/document.h"
#include "tools/vxinspect/formats.h"

namespace vxinspect {
namespace {

std::string SealedConfigText() {
  std::string text = "\n[LASTSCAN]\nDate=10 December 2026#1\n";
  common::Rc4Crypt(&text);
  return text;
}

// Two spies, the second sharing nothing with the first, as an archive.
std::string SpyArchive() {
  engine::SpyMap map;
  auto a = std::make_shared<engine::CSpy>();
  a->files = {"%WINDIR%\\a.exe"};
  a->regKeys = {"HKLM\\Software\\A"};
  auto b = std::make_shared<engine::CSpy>();
  b->cookies = {"b.example"};
  map["Alpha Spy"] = a;
  map["Beta Spy"] = b;
  return engine::EncodeSpyArchive(map);
}

std::string Sealed(std::string bytes) {
  common::Rc4Crypt(&bytes);
  return bytes;
}

TEST(GuessFormatTest, PicksTheFormatTheBytesAreIn) {
  struct Case {
    const char* name;
    std::string bytes;
    const char* format;  // nullptr: none
  } cases[] = {
      {"string map", common::StringMapFile::Encode({{"k", "v"}}), "stringmap"},
      {"empty string map", common::StringMapFile::Encode({}), "stringmap"},
      {"string map with old tail",
       common::StringMapFile::Encode({{"k", "v"}}) + std::string("\x01x\x01y", 4), "stringmap"},
      {"plain config", "a=1\n\n[S]\nk=v\n", "config"},
      {"sealed config", SealedConfigText(), "config"},
      {"empty file", "", "config"},
      {"monitor day log",
       common::StringMapFile::Encode({{"[ 5 January 2006 09:03:07]  Spy<C:\\x\\spy.exe>", "Process Terminated"}}),
       "monitorlog"},
      {"scan log keys read loosely as events are not a monitor log",
       common::StringMapFile::Encode({{" [ 10 December 2026 09:05:03 ]  - File < Spy > C:\\x.exe#", "Deleted"}}),
       "scanlog"},
      {"string map with one key that is no event",
       common::StringMapFile::Encode({{"[ 5 January 2006 09:03:07]  Spy<C:\\x>", "t"}, {"k", "v"}}), "stringmap"},
      {"plain spy database", SpyArchive(), "spydb"},
      {"sealed spy database", Sealed(SpyArchive()), "spydb"},
      {"exclusion list", engine::ExcludeList::Encode({"Alpha Spy"}), "excludelist"},
      {"truncated string map", std::string("\x05\x00\x01k", 4), nullptr},
      {"binary noise", std::string("\x00\x13\x9a\xff\x00\x07\x01\x02", 8), nullptr},
  };
  for (const Case& c : cases) {
    const Format* f = GuessFormat(c.bytes);
    if (c.format == nullptr) {
      EXPECT_EQ(f, nullptr) << c.name << " guessed as " << (f ? f->name : "");
    } else {
      ASSERT_NE(f, nullptr) << c.name;
      EXPECT_STREQ(f->name, c.format) << c.name;
    }
  }
}

TEST(InspectTest, SpyDatabaseShowsEveryListAndKeepsWhatPrecedesDamage) {
  const std::string whole = SpyArchive();
  Node doc = Node::Object();
  std::string error;
  ASSERT_TRUE(InspectSpyDatabase(Sealed(whole), &doc, &error)) << error;
  EXPECT_EQ(doc.Find("sealed")->kind(), Node::Kind::kBool);
  EXPECT_EQ(doc.Find("spies")->number(), 2);
  const Node& first = doc.Find("definitions")->items().at(0);
  EXPECT_EQ(first.Find("name")->text(), "Alpha Spy");
  EXPECT_EQ(first.Find("files")->items().at(0).text(), "%WINDIR%\\a.exe");
  EXPECT_EQ(first.Find("registry_keys")->items().at(0).text(), "HKLM\\Software\\A");
  EXPECT_EQ(doc.Find("definitions")->items().at(1).Find("cookies")->items().at(0).text(), "b.example");

  // Cut inside the second spy: the first is still shown, and it says why.
  Node cut = Node::Object();
  EXPECT_FALSE(InspectSpyDatabase(whole.substr(0, whole.size() - 3), &cut, &error));
  EXPECT_EQ(cut.Find("spies")->number(), 1);
  EXPECT_NE(error.find("after 1 spies"), std::string::npos) << error;
}

TEST(InspectTest, StringMapDocumentShowsPairsInFileOrderWithDuplicates) {
  std::string bytes("\x03\x00\x01" "b\x01" "1\x01" "a\x02\xe9\x80\x01" "b\x00" "TAIL", 18);
  Node doc = Node::Object();
  std::string error;
  ASSERT_TRUE(InspectStringMap(bytes, &doc, &error)) << error;
  EXPECT_EQ(RenderJson(doc),
            "{\n"
            "  \"type\": \"stringmap\",\n"
            "  \"count\": 3,\n"
            "  \"pairs\": [\n"
            "    {\n      \"key\": \"b\",\n      \"value\": \"1\"\n    },\n"
            "    {\n      \"key\": \"a\",\n      \"value\": \"\xc3\xa9\xe2\x82\xac\"\n    },\n"
            "    {\n      \"key\": \"b\",\n      \"value\": \"\"\n    }\n"
            "  ],\n"
            "  \"ignored_tail_bytes\": 4\n"
            "}\n");
}

TEST(InspectTest, MonitorLogShowsEachEventsPieces) {
  std::string bytes = common::StringMapFile::Encode(
      {{"[ 5 January 2006 09:03:07]  Spy Runner<C:\\a b\\x.exe>", "Process Terminated"},
       {"odd key", "v"}});
  Node doc = Node::Object();
  std::string error;
  ASSERT_TRUE(InspectMonitorLog(bytes, &doc, &error)) << error;
  EXPECT_EQ(RenderJson(doc),
            "{\n"
            "  \"type\": \"monitorlog\",\n"
            "  \"count\": 2,\n"
            "  \"events\": [\n"
            "    {\n      \"date_time\": \"5 January 2006 09:03:07\",\n      \"type\": \"Process Terminated\",\n"
            "      \"name\": \"Spy Runner\",\n      \"path\": \"C:\\\\a b\\\\x.exe\"\n    },\n"
            "    {\n      \"unreadable_key\": \"odd key\",\n      \"value\": \"v\"\n    }\n"
            "  ]\n"
            "}\n");
  Node cut = Node::Object();
  EXPECT_FALSE(InspectMonitorLog(bytes.substr(0, bytes.size() - 3), &cut, &error));
  EXPECT_EQ(error, "truncated: 1 of 2 events readable");
}

TEST(InspectTest, TruncatedStringMapKeepsReadablePairsAndSaysWhy) {
  struct Case {
    std::string bytes;
    const char* error;
    size_t pairs;
  } cases[] = {
      {std::string("\x02\x00\x01k\x01v\x01", 7), "truncated: 1 of 2 pairs readable", 1},
      {std::string("\xff\xff\xff\xff\xff\xff", 6), "truncated: 0 of 4294967295 pairs readable", 0},
      {std::string("\x01", 1), "too short for a string map file (no pair count)", 0},
  };
  for (const Case& c : cases) {
    Node doc = Node::Object();
    std::string error;
    EXPECT_FALSE(InspectStringMap(c.bytes, &doc, &error));
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(doc.Find("pairs")->items().size(), c.pairs);
  }
}

TEST(InspectTest, ConfigDocumentPlainAndSealed) {
  for (bool sealed : {false, true}) {
    std::string bytes = "top=1\n; why\n[S]\nk= v\nlast";
    if (sealed) common::Rc4Crypt(&bytes);
    Node doc = Node::Object();
    std::string error;
    ASSERT_TRUE(InspectConfig(bytes, &doc, &error)) << error;
    EXPECT_EQ(RenderText(doc),
              std::string("type: config\n") + "sealed: " + (sealed ? "yes" : "no") +
                  "\n"
                  "sections:\n"
                  "  - name: \"\"\n"
                  "    keys:\n"
                  "      - key: top\n"
                  "        value: 1\n"
                  "  - name: S\n"
                  "    comment: \"\\n; why\"\n"
                  "    keys:\n"
                  "      - key: k\n"
                  "        value: \" v\"\n"
                  "ignored_last_line: last\n");
  }
}

TEST(InspectTest, ConfigWarningsGoIntoTheDocumentNotStandardOutput) {
  testing::internal::CaptureStdout();
  Node doc = Node::Object();
  std::string error;
  ASSERT_TRUE(InspectConfig("[A]\n[a]\n", &doc, &error));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  const Node* warnings = doc.Find("warnings");
  ASSERT_NE(warnings, nullptr);
  ASSERT_EQ(warnings->items().size(), 1u);
  EXPECT_EQ(warnings->items()[0].text(),
            "<info>[CConfig::CreateSection] Section <a> allready exists. Aborting.");
}

TEST(InspectTest, BinaryForcedAsConfigFails) {
  Node doc = Node::Object();
  std::string error;
  EXPECT_FALSE(InspectConfig(std::string("\x00\x01\x02\x03", 4), &doc, &error));
  EXPECT_EQ(error, "not a sectioned config file (neither plain nor sealed text)");
}

TEST(RenderTest, JsonEscapesControlCharactersAndQuotes) {
  Node doc = Node::Object();
  doc.Add("t", Node::String("a\"b\\c\x01\td"));
  doc.Add("empty", Node::Array());
  doc.Add("flag", Node::Bool(true));
  EXPECT_EQ(RenderJson(doc),
            "{\n  \"t\": \"a\\\"b\\\\c\\u0001\\td\",\n  \"empty\": [],\n  \"flag\": true\n}\n");
  EXPECT_EQ(RenderText(doc), "t: \"a\\\"b\\\\c\\u0001\\td\"\nempty: (none)\nflag: yes\n");
}

// The program itself.
class VxinspectProgramTest : public ::testing::Test {
 protected:
  struct Run {
    int code;
    std::string out, err;
  };
  std::string Write(const std::string& name, const std::string& bytes) {
    std::string path = dir_.path() + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  Run Exec(const std::string& args) {
    std::string out = dir_.path() + "/.out", err = dir_.path() + "/.err";
    std::string cmd = std::string(std::getenv("VX_BIN_DIR")) + "/vxinspect " + args + " >" +
                      out + " 2>" + err;
    int status = std::system(cmd.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(out), Slurp(err)};
  }
  static std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  platform::testing::TempDir dir_;
};

TEST_F(VxinspectProgramTest, OutputsAndExitCodes) {
  std::string map = Write("m.db", common::StringMapFile::Encode({{"k", "v"}}));
  std::string cut = Write("cut.db", std::string("\x02\x00\x01k\x01v", 6));
  std::string ini = Write("h.ini", "a=1\n");
  std::string noise = Write("n.bin", std::string("\x00\x13\x9a\xff\x00\x07\x01\x02", 8));
  struct Case {
    std::string args;
    int code;
    std::string out_contains;
    std::string err;  // exact
  } cases[] = {
      {map, 0, "type: stringmap\ncount: 1\npairs:\n  - key: k\n    value: v\n", ""},
      {"--json " + map, 0, "\"type\": \"stringmap\"", ""},
      {"--type config " + ini, 0, "      - key: a\n        value: 1\n", ""},
      {"--type=stringmap " + cut, 1, "error: truncated: 1 of 2 pairs readable\n",
       "vxinspect: " + cut + ": truncated: 1 of 2 pairs readable\n"},
      {noise, 1, "",
       "vxinspect: " + noise + ": not a file vxinspect knows (use --type to force one)\n"},
      {dir_.path() + "/missing", 1, "",
       "vxinspect: " + dir_.path() + "/missing: No such file or directory\n"},
  };
  for (const Case& c : cases) {
    Run r = Exec(c.args);
    EXPECT_EQ(r.code, c.code) << c.args;
    EXPECT_NE(r.out.find(c.out_contains), std::string::npos) << c.args << "\n" << r.out;
    EXPECT_EQ(r.err, c.err) << c.args;
  }
  for (const std::string& bad : {std::string("--type nosuch ") + map, std::string(""),
                                 std::string("--bogus ") + map, map + " " + map}) {
    Run r = Exec(bad);
    EXPECT_EQ(r.code, 2) << bad;
    EXPECT_EQ(r.err.rfind("vxinspect: ", 0), 0u) << bad;
  }
}

}  // namespace
}  // namespace vxinspect
