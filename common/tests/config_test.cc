// CConfig in memory: the text it builds and parses, lookups, flags and the
// diagnostics it reports.
#include "common/config.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "common/rc4.h"

namespace common {
namespace {

// A config that neither enciphers nor deciphers, as every user sets it up.
class PlainConfig : public CConfig {
 public:
  PlainConfig() {
    SetEncryptOnSave(false);
    SetDecryptOnLoad(false);
  }
};

std::string Reparsed(const std::string& text) {
  PlainConfig c;
  c.ParseContent(text);
  return c.BuildContent();
}

TEST(ConfigTextTest, TrimAndCommentText) {
  struct Case {
    std::string in, trimmed, comment;
  } cases[] = {
      {"  a b \t", "a b", "; a b"},
      {"=:key=:", "key", "; key"},
      {" \r\n", "", ""},
      {"; already", "; already", "; already"},
      {"#hash", "#hash", "#hash"},
      {" x\n;y ", "x\n;y", "; x\n;y"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TrimConfigText(c.in), c.trimmed) << c.in;
    EXPECT_EQ(CommentText(c.in), c.comment) << c.in;
  }
}

TEST(ConfigBuildTest, DocumentedLayouts) {
  {
    PlainConfig c;
    EXPECT_TRUE(c.SetValue("a", "1", "", ""));
    EXPECT_TRUE(c.SetValue("b", "2", "", ""));
    EXPECT_EQ(c.BuildContent(), "a=1\nb=2\n");
  }
  {
    PlainConfig c;
    EXPECT_TRUE(c.SetValue("k", "v", "", "S"));
    EXPECT_EQ(c.BuildContent(), "\n[S]\nk=v\n");
  }
  {
    PlainConfig c;
    EXPECT_TRUE(c.CreateSection("S", "about S"));
    EXPECT_TRUE(c.SetValue("k", "v", "# hashed", "S"));
    EXPECT_TRUE(c.SetValue("top", "t", "first\nsecond", ""));
    EXPECT_EQ(c.BuildContent(),
              "\n; first\nsecond\ntop=t\n"
              "\n; about S\n[S]\n"
              "\n# hashed\nk=v\n");
  }
}

TEST(ConfigBuildTest, ScanHistoryShape) {
  PlainConfig c;
  c.SetInt("noofscans", 0, "", "10 December 2026");
  c.SetInt("noofscans", c.GetInt("noofscans", "10 December 2026") + 1, "", "10 December 2026");
  c.SetValue("TIME", "09:05:03", "", "10 December 2026#1");
  c.SetInt("Detected", 3, "", "10 December 2026#1");
  c.SetInt("Deleted", 0, "", "10 December 2026#1");
  c.SetInt("Quarantined", -1, "", "10 December 2026#1");
  c.SetValue("Date", "10 December 2026#1", "", "LASTSCAN");
  const std::string expected =
      "\n[10 December 2026]\nnoofscans=1\n"
      "\n[10 December 2026#1]\nTIME=09:05:03\nDetected=3\nDeleted=0\nQuarantined=-1\n"
      "\n[LASTSCAN]\nDate=10 December 2026#1\n";
  EXPECT_EQ(c.BuildContent(), expected);
  EXPECT_EQ(Reparsed(expected), expected);
}

TEST(ConfigBuildTest, EmptyValuesAreNeverWrittenNorCreated) {
  PlainConfig c;
  EXPECT_FALSE(c.SetValue("k", "", "", ""));
  EXPECT_EQ(c.KeyCount(), 0);
  EXPECT_FALSE(c.CreateKey("k", "", "", ""));
  EXPECT_TRUE(c.SetValue("k", "v", "", ""));
  // An existing key may be emptied; it is then left out of the text.
  EXPECT_TRUE(c.SetValue("k", "", "", ""));
  EXPECT_EQ(c.KeyCount(), 1);
  EXPECT_EQ(c.BuildContent(), "");
}

TEST(ConfigParseTest, LineRules) {
  struct Case {
    const char* name;
    std::string text;
    std::string key, section, value;  // value "" = the key must not exist
  } cases[] = {
      {"blanks around separator keep the value's blank", "k = v\n", "k", "", " v"},
      {"colon separator", "k:v\n", "k", "", "v"},
      {"leading equals trimmed, then no separator", "=v\n", "v", "", ""},
      {"no separator", "lonely\n", "lonely", "", ""},
      {"first separator splits", "url=http://x:80\n", "url", "", "http://x:80"},
      {"trailing separators trimmed", "k=v==\n", "k", "", "v"},
      {"CR before LF trimmed", "k=v\r\n", "k", "", "v"},
      {"last line without LF lost", "a=1\nk=v", "k", "", ""},
      {"section header", "[Sec]\nk=v\n", "k", "Sec", "v"},
      {"only the last bracket goes", "[a]b]\nk=v\n", "k", "a]b", "v"},
      {"header text after bracket stays", "[a]x\nk=v\n", "k", "ax", "v"},
      {"unclosed header names a section", "[open\nk=v\n", "k", "open", "v"},
      {"empty header is the unnamed section", "[S]\n[]\nk=v\n", "k", "", "v"},
  };
  for (const Case& c : cases) {
    PlainConfig config;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(config.ParseContent(c.text)) << c.name;
    testing::internal::GetCapturedStdout();
    ConfigKey* key = config.GetKey(c.key, c.section);
    if (c.value.empty()) {
      EXPECT_EQ(key, nullptr) << c.name;
    } else {
      ASSERT_NE(key, nullptr) << c.name;
      EXPECT_EQ(key->value, c.value) << c.name;
    }
  }
}

TEST(ConfigParseTest, UnclosedHeaderIsReportedAndLaterSectionsStillLoad) {
  PlainConfig c;
  testing::internal::CaptureStdout();
  c.ParseContent("a=1\n[broken\nb=2\n[Good]\nc=3\n");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "<warn>[CConfig::Load] Section header <broken> has no closing bracket.\n");
  EXPECT_EQ(c.GetValue("a", ""), "1");
  EXPECT_EQ(c.GetValue("b", "broken"), "2");
  EXPECT_EQ(c.GetValue("c", "Good"), "3");
  EXPECT_EQ(c.flags(), 6u);
}

TEST(ConfigParseTest, CommentsAttachToTheNextKeyOrSection) {
  const std::string text =
      "; top comment\n"
      "# second line\n"
      "k=v\n"
      "\n"
      "; section comment\n"
      "[S]\n"
      "; dropped-line comment stays pending\n"
      "nosep\n"
      "x=1\n";
  PlainConfig c;
  c.ParseContent(text);
  EXPECT_EQ(c.GetKey("k", "")->comment, "\n; top comment\n# second line");
  EXPECT_EQ(c.GetSection("S")->comment, "\n; section comment");
  EXPECT_EQ(c.GetKey("x", "S")->comment, "\n; dropped-line comment stays pending");
  EXPECT_EQ(c.BuildContent(),
            "\n; top comment\n# second line\nk=v\n"
            "\n; section comment\n[S]\n"
            "\n; dropped-line comment stays pending\nx=1\n");
}

TEST(ConfigParseTest, ParsingAgainUpdatesEqualKeysAndAppendsNewOnes) {
  PlainConfig c;
  c.SetValue("keep", "mine", "", "S");
  c.SetValue("k", "old", "old comment", "S");
  testing::internal::CaptureStdout();
  c.ParseContent("\n[s]\nK=new\nadded=1\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "<info>[CConfig::CreateSection] Section <s> allready exists. Aborting.\n");
  EXPECT_EQ(c.BuildContent(), "\n[S]\nkeep=mine\nk=new\nadded=1\n");
  EXPECT_EQ(c.sections().size(), 2u);
}

TEST(ConfigParseTest, DecryptOnLoadAndEncryptOnSaveUseTheDefaultKey) {
  CConfig sealed;  // both cipher switches on, as constructed
  sealed.SetValue("k", "v", "", "S");
  std::string bytes = sealed.BuildContent();
  std::string plain = bytes;
  Rc4Crypt(&plain);
  EXPECT_EQ(plain, "\n[S]\nk=v\n");

  CConfig reader;
  reader.ParseContent(bytes);
  EXPECT_EQ(reader.GetValue("k", "S"), "v");

  // Plain text read with deciphering on is noise: nothing sensible loads.
  CConfig noisy;
  noisy.ParseContent("\n[S]\nk=v\n");
  EXPECT_EQ(noisy.GetValue("k", "S"), "");
}

TEST(ConfigLookupTest, NamesIgnoreCaseAndFirstMatchWins) {
  PlainConfig c;
  c.SetValue("Count", "7", "", "Stats");
  EXPECT_EQ(c.GetValue("COUNT", "stats"), "7");
  EXPECT_EQ(c.GetInt("count", "STATS"), 7);
  EXPECT_EQ(c.GetKey("Count", "Other"), nullptr);
  EXPECT_TRUE(c.SetValue("COUNT", "8", "", "STATS"));
  EXPECT_EQ(c.KeyCount(), 1);
  EXPECT_EQ(c.BuildContent(), "\n[Stats]\nCount=8\n");
}

TEST(ConfigLookupTest, GetIntIsAtoiWithSentinel) {
  struct Case {
    const char* value;  // nullptr: key missing
    int32_t expected;
  } cases[] = {
      {nullptr, INT32_MIN}, {"42", 42},         {" -17x", -17},  {"abc", 0},
      {"+5", 5},            {"12 34", 12},      {"2147483647", INT32_MAX},
      {"99999999999", INT32_MAX}, {"-99999999999", INT32_MIN},
  };
  for (const Case& c : cases) {
    PlainConfig config;
    if (c.value) config.SetValue("k", c.value, "", "");
    EXPECT_EQ(config.GetInt("k", ""), c.expected) << (c.value ? c.value : "(missing)");
  }
  PlainConfig emptied;
  emptied.SetValue("k", "5", "", "");
  emptied.SetValue("k", "", "", "");
  EXPECT_EQ(emptied.GetInt("k", ""), INT32_MIN);
}

TEST(ConfigLookupTest, NumbersArePrintedWithDAndF) {
  PlainConfig c;
  c.SetInt("i", -2147483647 - 1, "", "");
  c.SetFloat("f", 1.5f, "", "");
  EXPECT_EQ(c.BuildContent(), "i=-2147483648\nf=1.500000\n");
}

TEST(ConfigFlagsTest, AutoCreateFlagsGateSetValueAndCreateKeyForcesKeys) {
  PlainConfig c;
  EXPECT_EQ(c.flags(), 6u);
  c.set_flags(0);
  EXPECT_FALSE(c.SetValue("k", "v", "", "New"));
  EXPECT_EQ(c.GetSection("New"), nullptr);
  EXPECT_FALSE(c.SetValue("k", "v", "", ""));
  EXPECT_TRUE(c.CreateKey("k", "v", "", ""));
  EXPECT_EQ(c.flags(), 0u);
  EXPECT_FALSE(c.CreateKey("k2", "v", "", "Missing"));
  EXPECT_TRUE(c.SetValue("k", "w", "", ""));  // existing keys are always updated

  c.set_flags(CConfig::kAutoCreateSections);
  EXPECT_FALSE(c.SetValue("k", "v", "", "Made"));
  EXPECT_NE(c.GetSection("Made"), nullptr);

  // Parsing sets both flags for its duration and restores them.
  c.ParseContent("\n[P]\nx=1\n");
  EXPECT_EQ(c.GetValue("x", "P"), "1");
  EXPECT_EQ(c.flags(), static_cast<uint32_t>(CConfig::kAutoCreateSections));
}

TEST(ConfigSectionTest, CreateAndRemove) {
  PlainConfig c;
  EXPECT_FALSE(c.dirty());
  EXPECT_TRUE(c.CreateSection("A", ""));
  EXPECT_TRUE(c.dirty());
  testing::internal::CaptureStdout();
  EXPECT_FALSE(c.CreateSection("a", "other"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "<info>[CConfig::CreateSection] Section <a> allready exists. Aborting.\n");
  c.SetValue("k", "v", "", "A");
  c.SetValue("top", "t", "", "");
  EXPECT_FALSE(c.RemoveSection("missing"));
  EXPECT_TRUE(c.RemoveSection("a"));
  EXPECT_EQ(c.KeyCount(), 1);
  EXPECT_TRUE(c.RemoveSection(""));  // the unnamed one too
  EXPECT_TRUE(c.sections().empty());
  EXPECT_EQ(c.BuildContent(), "");
  // Writing into the unnamed section recreates it at the end.
  EXPECT_TRUE(c.SetValue("again", "1", "", ""));
  EXPECT_EQ(c.BuildContent(), "again=1\n");
}

TEST(ReportTest, LevelTagsAndLineEnding) {
  struct Case {
    int level;
    const char* text;
    const char* out;
  } cases[] = {
      {0, "plain", "<debug>plain\n"},  {1, "ends LF\n", "<info>ends LF\n"},
      {2, "ends CR\r", "<warn>ends CR\r"}, {3, "x", "<error>x\n"},
      {4, "x", "<fatal>x\n"},          {5, "x", "<critical>x\n"},
  };
  for (const Case& c : cases) {
    testing::internal::CaptureStdout();
    Report(c.level, "%s", c.text);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
  }
  testing::internal::CaptureStdout();
  Report(1, "%s", std::string(200000, 'x').c_str());
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "<info>" + std::string(98999, 'x') + "\n");
}

}  // namespace
}  // namespace common

namespace common {
namespace {

TEST(ReportTest, SinkReceivesTaggedLinesInsteadOfStandardOutput) {
  std::vector<std::pair<int, std::string>> lines;
  SetReportSink([&](int level, const std::string& line) { lines.emplace_back(level, line); });
  testing::internal::CaptureStdout();
  {
    PlainConfig c;
    c.CreateSection("S", "");
    c.CreateSection("s", "");
    c.ParseContent("[x\n");
  }
  std::string out = testing::internal::GetCapturedStdout();
  SetReportSink(nullptr);
  EXPECT_EQ(out, "");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], std::make_pair(1, std::string("<info>[CConfig::CreateSection] Section <s> "
                                                    "allready exists. Aborting.\n")));
  EXPECT_EQ(lines[1].first, 2);
  EXPECT_EQ(lines[2], std::make_pair(3, std::string("<error>[CConfig::Save] No filename has "
                                                    "been set.\n")));
}

}  // namespace
}  // namespace common
