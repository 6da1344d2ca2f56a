#include "tools/vxdbtool/spy_source.h"

#include <gtest/gtest.h>

namespace vxdbtool {
namespace {

using engine::CSpy;
using engine::SpyMap;

TEST(SpySourceTest, ParsesBlocks) {
  const char* text =
      "# a comment\n"
      "\n"
      "spy Spy One\r\n"
      "  file %WINDIR%\\one.exe\n"
      "  file C:\\two.dll  \n"  // trailing blanks belong to the text
      "\tprocess %SYSDIR%\\one.exe\n"
      "  folder %PFDIR%\\One\n"
      "  cookie www.one.example.com\n"
      "  regkey HKLM\\Software\\One\n"
      "  regvalue HKCU\\Run\\\"One\\Start\"\n"
      "  regdata HKLM\\Software\\One\\Mode\\\"on\"\n"
      "  # comments inside a block\n"
      "end\n"
      "spy Nothing\n"
      "  none\n"
      "end\n"
      "spy Empty\n"
      "end";
  SpyMap map;
  std::string error;
  ASSERT_TRUE(ParseSpySource(text, &map, &error)) << error;
  ASSERT_EQ(3u, map.size());
  CSpy one;
  one.files = {"%WINDIR%\\one.exe", "C:\\two.dll  "};
  one.processes = {"%SYSDIR%\\one.exe"};
  one.folders = {"%PFDIR%\\One"};
  one.cookies = {"www.one.example.com"};
  one.regKeys = {"HKLM\\Software\\One"};
  one.regValues = {"HKCU\\Run\\\"One\\Start\""};
  one.regData = {"HKLM\\Software\\One\\Mode\\\"on\""};
  ASSERT_NE(nullptr, map["Spy One"]);
  EXPECT_EQ(one, *map["Spy One"]);
  EXPECT_EQ(nullptr, map["Nothing"]);
  ASSERT_NE(nullptr, map["Empty"]);
  EXPECT_EQ(CSpy(), *map["Empty"]);
}

TEST(SpySourceTest, Errors) {
  struct Case {
    const char* text;
    const char* error;
  } cases[] = {
      {"file C:\\x.exe\n", "line 1: \"file\" outside a spy block"},
      {"spy A\nfile x\n", "line 1: spy \"A\" has no end"},
      {"spy A\nspy B\nend\n", "line 2: spy inside the block of \"A\" (missing end)"},
      {"spy A\nend\nspy A\nend\n", "line 3: spy \"A\" defined twice"},
      {"spy\nend\n", "line 1: spy without a name"},
      {"spy A\n  files x\nend\n", "line 2: unknown keyword \"files\""},
      {"spy A\n  file\nend\n", "line 2: file without a text"},
      {"spy A\n  file#hex 4\nend\n", "line 2: bad hexadecimal text"},
      {"spy A\n  file#hex zz\nend\n", "line 2: bad hexadecimal text"},
      {"end\n", "line 1: \"end\" outside a spy block"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    SpyMap map;
    map["kept"] = nullptr;
    std::string error;
    EXPECT_FALSE(ParseSpySource(c.text, &map, &error));
    EXPECT_EQ(c.error, error);
    EXPECT_EQ(1u, map.size()) << "a failed parse adds nothing";
  }
}

TEST(SpySourceTest, FormatThenParseGivesTheSameMap) {
  SpyMap map;
  CSpy odd;
  odd.files = {"", " leading blank", "tab\tinside", "line\nbreak", "cr at end\r", "#not a comment",
               "\xE9t\xE9.exe", "trailing  "};
  odd.regData = {"HKLM\\k\\v\\\"\"", std::string("nul\0inside", 10)};
  map["Odd"] = std::make_shared<const CSpy>(odd);
  map[" spaced name "] = std::make_shared<const CSpy>();
  map["line\nname"] = nullptr;
  map["#hash"] = nullptr;
  std::string text = FormatSpySource(map);
  SpyMap back;
  std::string error;
  ASSERT_TRUE(ParseSpySource(text, &back, &error)) << error << "\n" << text;
  ASSERT_EQ(map.size(), back.size());
  for (const auto& [name, spy] : map) {
    SCOPED_TRACE(name);
    ASSERT_EQ(1u, back.count(name));
    if (!spy) {
      EXPECT_EQ(nullptr, back[name]);
    } else {
      ASSERT_NE(nullptr, back[name]);
      EXPECT_EQ(*spy, *back[name]);
    }
  }
}

}  // namespace
}  // namespace vxdbtool
