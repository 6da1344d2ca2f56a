#include "VXAgent/engine/trace_syntax.h"

#include <gtest/gtest.h>

namespace engine {
namespace {

using platform::RootKey;

TEST(TraceSyntaxTest, RegistryHivePrefixes) {
  struct Case {
    const char* trace;
    std::optional<RootKey> hive;
    const char* subkey;
  } cases[] = {
      {"HKLM\\Software\\SpyCo", RootKey::kLocalMachine, "Software\\SpyCo"},
      {"HKEY_LOCAL_MACHINE\\Software\\SpyCo", RootKey::kLocalMachine, "Software\\SpyCo"},
      {"HKEY_CLASSES_ROOT\\CLSID\\{x}", RootKey::kClassesRoot, "CLSID\\{x}"},
      {"HKCR\\CLSID", RootKey::kClassesRoot, "CLSID"},
      {"HKEY_CURRENT_USER\\Software", RootKey::kCurrentUser, "Software"},
      {"HKCU\\Software", RootKey::kCurrentUser, "Software"},
      {"HKEY_USERS\\S-1-5-21-1-2-3-1000\\Software", RootKey::kUsers, "S-1-5-21-1-2-3-1000\\Software"},
      {"HKU\\.DEFAULT", RootKey::kUsers, ".DEFAULT"},
      {"HKEY_CURRENT_CONFIG\\Software", RootKey::kCurrentConfig, "Software"},
      {"HKCC\\Software", RootKey::kCurrentConfig, "Software"},
      {"hklm\\Software\\SpyCo", std::nullopt, "Software\\SpyCo"},
      {"HKey_Local_Machine\\Software", std::nullopt, "Software"},
      {"SOFTWARE\\SpyCo", std::nullopt, "SpyCo"},
      {"HKLM", RootKey::kLocalMachine, ""},
      {"", std::nullopt, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.trace);
    RegPath p = ParseRegPath(c.trace);
    EXPECT_EQ(c.hive, p.hive);
    EXPECT_EQ(c.subkey, p.subkey);
  }
}

TEST(TraceSyntaxTest, RegistryValueNames) {
  struct Case {
    const char* subkey;
    const char* key_path;
    const char* value;
  } cases[] = {
      {"Software\\Microsoft\\Windows\\CurrentVersion\\Run\\SpyStart",
       "Software\\Microsoft\\Windows\\CurrentVersion\\Run", "SpyStart"},
      {"Software\\Run\\\"My Spy\\Tool\"", "Software\\Run", "My Spy\\Tool"},
      {"Software\\Run/\"quoted\"", "Software\\Run", "quoted"},
      {"Software\\Run\\\"unterminated", "Software\\Run", "unterminated"},
      {"\"name\"", "", "name"},
      {"OnlyName", "", "OnlyName"},
      {"Key\\", "Key", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.subkey);
    RegValueName v = ParseRegValueName(c.subkey);
    EXPECT_EQ(c.key_path, v.key_path);
    EXPECT_EQ(c.value, v.value_name);
  }
}

TEST(TraceSyntaxTest, RegistryDataBothSyntaxes) {
  struct Case {
    const char* subkey;
    bool quoted;
    const char* key_path;
    const char* value;
    const char* data;
  } cases[] = {
      {"Software\\SpyCo\\Mode\\\"on\"", true, "Software\\SpyCo", "Mode", "on"},
      {"Software\\IE\\Main\\Start Page\\\"http://spy.example/\"", true, "Software\\IE\\Main",
       "Start Page", "http://spy.example/"},
      {"Software\\SpyCo\\(Default)\\\"\"", true, "Software\\SpyCo", "(Default)", ""},
      // Data holding quotes: up to the last quote.
      {"Software\\S\\Cmd\\\"run \"x\" now\"", true, "Software\\S", "Cmd", "run \"x\" now"},
      {"Software\\S\\Cmd\\\"only-one-quote", true, "Software\\S", "Cmd", ""},
      {"Software\\SpyCo\\Mode\\:on", false, "Software\\SpyCo", "Mode", "on"},
      // The first colon separates; the data may hold more.
      {"Software\\S\\Path\\:C:\\spy\\x.exe", false, "Software\\S", "Path", "C:\\spy\\x.exe"},
      {"Software\\S\\Path\\:", false, "Software\\S", "Path", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.subkey);
    RegDataParts d = ParseRegData(c.subkey, c.quoted);
    EXPECT_EQ(c.key_path, d.key_path);
    EXPECT_EQ(c.value, d.value_name);
    EXPECT_EQ(c.data, d.data);
  }
}

TEST(TraceSyntaxTest, DetectedDataTraceTakesTheColonForm) {
  std::string trace = "HKLM\\Software\\SpyCo\\Mode\\\"on\"";
  std::string colon = DataTraceColonForm(trace, "on");
  EXPECT_EQ("HKLM\\Software\\SpyCo\\Mode\\:on", colon);
  // The console sends the colon form back; it parses to the same parts.
  RegDataParts from_db = ParseRegData(ParseRegPath(trace).subkey, true);
  RegDataParts from_log = ParseRegData(ParseRegPath(colon).subkey, false);
  EXPECT_EQ(from_db.key_path, from_log.key_path);
  EXPECT_EQ(from_db.value_name, from_log.value_name);
  EXPECT_EQ(from_db.data, from_log.data);
  EXPECT_EQ("HKLM\\k", DataTraceColonForm("HKLM\\k", "x"));
}

TEST(TraceSyntaxTest, UserSidRewrite) {
  const std::string local = "S-1-5-21-111-222-333-1000";
  struct Case {
    const char* in;
    std::string local_sid;
    std::string out;
  } cases[] = {
      {"HKEY_USERS\\S-1-5-21-9-8-7-500\\Software\\SpyCo", local,
       "HKEY_USERS\\" + local + "\\Software\\SpyCo"},
      {"HKU\\S-1-5-21-1234567890-1234567890-1234567890-1003\\Software", local,
       "HKU\\" + local + "\\Software"},
      {"HKU\\S-1-5-21-9-8-7-500", local, "HKU\\" + local},
      {"HKLM\\Software\\SpyCo", local, "HKLM\\Software\\SpyCo"},
      // No local user SID: the definition keeps no usable SID.
      {"HKU\\S-1-5-21-9-8-7-500\\Software", "", "HKU\\\\Software"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.out, RewriteUserSid(c.in, c.local_sid)) << c.in;
}

TEST(TraceSyntaxTest, CookieSiteKeys) {
  struct Case {
    const char* site;
    const char* key;
  } cases[] = {
      {"www.adsite.com", "ADSITE"},
      {"adsite.co.in", "ADSITE.CO"},
      {"adsite.net", "ADSITE.NET"},
      {"AdSite.Com", "ADSITE"},
      {"www.adsite.com$Administrator,", "ADSITE"},
      {"tracker.example.com", "TRACKER.EXAMPLE"},
      {"www", "WWW"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(c.key, CookieSiteKey(c.site)) << c.site;
}

TEST(TraceSyntaxTest, CookieFileSites) {
  struct Case {
    const char* path;
    std::optional<std::string> site;
  } cases[] = {
      {"C:\\Documents and Settings\\bob\\Cookies\\bob@adsite[1].txt", "ADSITE"},
      {"C:\\Documents and Settings\\bob\\Cookies\\bob@anotheradsite[2].txt", "ANOTHERADSITE"},
      {"C:\\x\\bob@ads.co[1].txt", "ADS.CO"},
      {"C:\\x\\index.dat", std::nullopt},
      {"C:\\x\\bob@adsite.txt", std::nullopt},
      {"C:\\x\\[1]bob@adsite.txt", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(c.site, CookieFileSite(c.path)) << c.path;
}

TEST(TraceSyntaxTest, PathsDrivesAndPrograms) {
  struct Case {
    const char* path;
    std::optional<std::string> driveless;
    bool program;
  } cases[] = {
      {"C:\\WINDOWS\\spy.exe", "WINDOWS\\spy.exe", true},
      {"D:\\a\\b.BAT", "a\\b.BAT", true},
      {"C:\\a\\run.Com", "a\\run.Com", true},
      {"C:\\a\\x.scr", "a\\x.scr", false},
      {"C:\\a\\x.dll", "a\\x.dll", false},
      {"C:\\a\\x.exe.txt", "a\\x.exe.txt", false},
      {"\\x.exe", std::nullopt, true},
      {"C:", "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(c.driveless, DrivelessPath(c.path));
    EXPECT_EQ(c.program, IsProgramPath(c.path));
  }
}

TEST(TraceSyntaxTest, ReversedNames) {
  EXPECT_EQ("C:\\x\\exe.yps", ReverseLastComponent("C:\\x\\spy.exe"));
  EXPECT_EQ("C:\\x\\spy.exe", ReverseLastComponent("C:\\x\\exe.yps"));
  EXPECT_EQ("a/lld.yps", ReverseLastComponent("a/spy.dll"));
  EXPECT_EQ("cba", ReverseLastComponent("abc"));
}

}  // namespace
}  // namespace engine
