#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "VXAgent/engine/spy_database.h"

namespace engine {
namespace {

// Archives are built byte by byte here, independent of the writer.
class Bytes {
 public:
  Bytes& U8(uint8_t v) {
    s_.push_back(static_cast<char>(v));
    return *this;
  }
  Bytes& U16(uint16_t v) { return U8(v & 0xFF).U8(v >> 8); }
  Bytes& U32(uint32_t v) { return U16(v & 0xFFFF).U16(v >> 16); }
  Bytes& Raw(std::string_view t) {
    s_.append(t);
    return *this;
  }
  Bytes& Str(std::string_view t) { return U8(static_cast<uint8_t>(t.size())).Raw(t); }
  Bytes& Count(uint16_t n) { return U16(n); }
  Bytes& ClassRecord(uint16_t schema = 1, std::string_view name = "CSpy") {
    return U16(0xFFFF).U16(schema).U16(static_cast<uint16_t>(name.size())).Raw(name);
  }
  // Seven lists in stored order, one string each, named after `tag`:
  // processes, files, folders, cookies, registry data, values, keys.
  Bytes& SpyData(std::string_view tag) {
    for (const char* kind : {"proc", "file", "fold", "cook", "data", "val", "key"})
      Count(1).Str(std::string(kind) + "-" + std::string(tag));
    return *this;
  }
  Bytes& EmptySpyData() {
    for (int i = 0; i < 7; ++i) Count(0);
    return *this;
  }
  size_t size() const { return s_.size(); }
  const std::string& str() const { return s_; }

 private:
  std::string s_;
};

CSpy SpyOf(const std::string& tag) {
  CSpy s;
  s.processes = {"proc-" + tag};
  s.files = {"file-" + tag};
  s.folders = {"fold-" + tag};
  s.cookies = {"cook-" + tag};
  s.regData = {"data-" + tag};
  s.regValues = {"val-" + tag};
  s.regKeys = {"key-" + tag};
  return s;
}

// What a case expects of the map: name -> tag of SpyOf ("" for a null
// definition, "=" + name for a definition shared with that name).
using Expect = std::vector<std::pair<std::string, std::string>>;

struct Case {
  const char* what;
  Bytes archive;
  SpyArchiveStatus status;
  Expect spies;
};

std::vector<Case> Cases() {
  std::vector<Case> c;
  c.push_back({"class record then 0x8001 for every further spy",
               Bytes().Count(3).Str("A").ClassRecord().SpyData("a").Str("B").U16(0x8001).SpyData("b")
                   .Str("C").U16(0x8001).SpyData("c"),
               SpyArchiveStatus::kOk, {{"A", "a"}, {"B", "b"}, {"C", "c"}}});
  c.push_back({"empty database", Bytes().Count(0), SpyArchiveStatus::kOk, {}});
  c.push_back({"null definition", Bytes().Count(1).Str("A").U16(0), SpyArchiveStatus::kOk, {{"A", ""}}});
  // Index 1 is the class, 2 the first spy, 3 the second.
  c.push_back({"reference to the first spy",
               Bytes().Count(2).Str("A").ClassRecord().SpyData("a").Str("B").U16(0x0002),
               SpyArchiveStatus::kOk, {{"A", "a"}, {"B", "=A"}}});
  c.push_back({"reference to the second spy",
               Bytes().Count(3).Str("A").ClassRecord().SpyData("a").Str("B").U16(0x8001).SpyData("b")
                   .Str("C").U16(0x0003),
               SpyArchiveStatus::kOk, {{"A", "a"}, {"B", "b"}, {"C", "=B"}}});
  c.push_back({"big tag: new object of class 1, then a reference",
               Bytes().Count(3).Str("A").ClassRecord().SpyData("a").Str("B").U16(0x7FFF).U32(0x80000001u)
                   .SpyData("b").Str("C").U16(0x7FFF).U32(3),
               SpyArchiveStatus::kOk, {{"A", "a"}, {"B", "b"}, {"C", "=B"}}});
  c.push_back({"later equal name replaces the earlier",
               Bytes().Count(2).Str("A").ClassRecord().SpyData("a").Str("A").U16(0x8001).SpyData("b"),
               SpyArchiveStatus::kOk, {{"A", "b"}}});
  c.push_back({"names are case-sensitive",
               Bytes().Count(2).Str("A").ClassRecord().SpyData("a").Str("a").U16(0x8001).SpyData("b"),
               SpyArchiveStatus::kOk, {{"A", "a"}, {"a", "b"}}});
  c.push_back({"schema 2 stops reading, earlier spies stay",
               Bytes().Count(2).Str("A").U16(0).Str("B").ClassRecord(2).SpyData("b"),
               SpyArchiveStatus::kBadClass, {{"A", ""}}});
  c.push_back({"unknown class name",
               Bytes().Count(1).Str("A").ClassRecord(1, "CSpyX").SpyData("a"), SpyArchiveStatus::kBadClass,
               {}});
  c.push_back({"second class record of another class",
               Bytes().Count(2).Str("A").ClassRecord().SpyData("a").Str("B").ClassRecord(1, "CObject")
                   .SpyData("b"),
               SpyArchiveStatus::kBadClass, {{"A", "a"}}});
  c.push_back({"new object of index 2, which is an object",
               Bytes().Count(2).Str("A").ClassRecord().SpyData("a").Str("B").U16(0x8002).SpyData("b"),
               SpyArchiveStatus::kBadTag, {{"A", "a"}}});
  c.push_back({"new object of class 0", Bytes().Count(1).Str("A").U16(0x8000).SpyData("a"),
               SpyArchiveStatus::kBadTag, {}});
  c.push_back({"new object before any class record", Bytes().Count(1).Str("A").U16(0x8001).SpyData("a"),
               SpyArchiveStatus::kBadTag, {}});
  c.push_back({"big tag naming a class that does not exist",
               Bytes().Count(1).Str("A").U16(0x7FFF).U32(0x80000005u).SpyData("a"), SpyArchiveStatus::kBadTag,
               {}});
  c.push_back({"reference to the class index",
               Bytes().Count(2).Str("A").ClassRecord().SpyData("a").Str("B").U16(0x0001),
               SpyArchiveStatus::kBadReference, {{"A", "a"}}});
  c.push_back({"reference beyond what was read",
               Bytes().Count(2).Str("A").ClassRecord().SpyData("a").Str("B").U16(0x0003),
               SpyArchiveStatus::kBadReference, {{"A", "a"}}});
  c.push_back({"big reference beyond what was read",
               Bytes().Count(2).Str("A").ClassRecord().SpyData("a").Str("B").U16(0x7FFF).U32(0x7FFFFFFF),
               SpyArchiveStatus::kBadReference, {{"A", "a"}}});
  c.push_back({"huge spy count runs into the end",
               Bytes().U16(0xFFFF).U32(0xFFFFFFFFu).Str("A").ClassRecord().SpyData("a"),
               SpyArchiveStatus::kTruncated, {{"A", "a"}}});
  c.push_back({"huge list count runs into the end",
               Bytes().Count(2).Str("A").ClassRecord().SpyData("a").Str("B").U16(0x8001).U16(0xFFFF)
                   .U32(0xFFFFFFFFu).Str("x"),
               SpyArchiveStatus::kTruncated, {{"A", "a"}}});
  c.push_back({"huge class name length",
               Bytes().Count(1).Str("A").U16(0xFFFF).U16(1).U16(0xFFFF).Raw("CSpy"),
               SpyArchiveStatus::kTruncated, {}});
  c.push_back({"huge string length",
               Bytes().Count(1).U8(0xFF).U16(0xFFFF).U32(0xFFFFFFF0u).Raw("A"), SpyArchiveStatus::kTruncated,
               {}});
  c.push_back({"UTF-16 name",
               Bytes().Count(1).U8(0xFF).U16(0xFFFE).U8(2).U16('S').U16('p').ClassRecord().SpyData("a"),
               SpyArchiveStatus::kOk, {{"Sp", "a"}}});
  c.push_back({"bytes after the counted spies are ignored",
               Bytes().Count(1).Str("A").ClassRecord().EmptySpyData().Raw("junk"), SpyArchiveStatus::kOk,
               {{"A", "empty"}}});
  return c;
}

void CheckMap(const Expect& expect, const SpyMap& map) {
  ASSERT_EQ(expect.size(), map.size());
  for (const auto& [name, tag] : expect) {
    SCOPED_TRACE(name);
    auto it = map.find(name);
    ASSERT_NE(map.end(), it);
    if (tag.empty()) {
      EXPECT_EQ(nullptr, it->second);
    } else if (tag[0] == '=') {
      ASSERT_NE(nullptr, it->second);
      EXPECT_EQ(map.at(tag.substr(1)).get(), it->second.get()) << "shares the earlier object";
    } else if (tag == "empty") {
      ASSERT_NE(nullptr, it->second);
      EXPECT_EQ(CSpy(), *it->second);
    } else {
      ASSERT_NE(nullptr, it->second);
      EXPECT_EQ(SpyOf(tag), *it->second);
    }
  }
}

TEST(SpyArchiveTest, Table) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.what);
    SpyMap map;
    EXPECT_EQ(c.status, DecodeSpyArchive(c.archive.str(), &map));
    CheckMap(c.spies, map);
  }
}

TEST(SpyArchiveTest, TruncationAtEveryOffsetKeepsTheSpiesBefore) {
  Bytes b;
  b.Count(3);
  std::vector<size_t> ends;  // where each spy's bytes end
  b.Str("A").ClassRecord().SpyData("a");
  ends.push_back(b.size());
  b.Str("B").U16(0x8001).SpyData("b");
  ends.push_back(b.size());
  b.Str("C").U16(0x0002);
  ends.push_back(b.size());
  const Expect all = {{"A", "a"}, {"B", "b"}, {"C", "=A"}};
  for (size_t n = 0; n <= b.size(); ++n) {
    SCOPED_TRACE(n);
    SpyMap map;
    SpyArchiveStatus status = DecodeSpyArchive(std::string_view(b.str()).substr(0, n), &map);
    size_t complete = 0;
    while (complete < ends.size() && ends[complete] <= n) ++complete;
    EXPECT_EQ(n == b.size() ? SpyArchiveStatus::kOk : SpyArchiveStatus::kTruncated, status);
    CheckMap(Expect(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(complete)), map);
  }
}

TEST(SpyArchiveTest, WriterProducesTheStoredForm) {
  SpyMap map;
  auto a = std::make_shared<const CSpy>(SpyOf("a"));
  map["A"] = a;
  map["B"] = std::make_shared<const CSpy>(SpyOf("b"));
  map["C"] = a;
  map["D"] = nullptr;
  Bytes expected;
  expected.Count(4).Str("A").ClassRecord().SpyData("a").Str("B").U16(0x8001).SpyData("b")
      .Str("C").U16(0x0002).Str("D").U16(0);
  EXPECT_EQ(expected.str(), EncodeSpyArchive(map));
}

TEST(SpyArchiveTest, RoundTripOfLongTextsAndManyLists) {
  SpyMap map;
  CSpy spy;
  spy.files = {std::string(300, 'f'), "", "%WINDIR%\\x.exe"};
  spy.regData.assign(70000, "HKLM\\Software\\SpyCo\\Mode\\\"on\"");
  spy.regKeys = {std::string(70000, 'k')};
  map["Long"] = std::make_shared<const CSpy>(spy);
  map["Empty"] = std::make_shared<const CSpy>();
  SpyMap back;
  ASSERT_EQ(SpyArchiveStatus::kOk, DecodeSpyArchive(EncodeSpyArchive(map), &back));
  ASSERT_EQ(2u, back.size());
  EXPECT_EQ(spy, *back["Long"]);
  EXPECT_EQ(CSpy(), *back["Empty"]);
}

TEST(ExcludeListCodingTest, DecodeCases) {
  struct C {
    const char* what;
    std::string bytes;
    bool ok;
    std::vector<std::string> names;
  } cases[] = {
      {"two names", Bytes().Count(2).Str("SpyA").Str("spy b").str(), true, {"SpyA", "spy b"}},
      {"empty list", Bytes().Count(0).str(), true, {}},
      {"empty file", "", false, {}},
      {"count beyond the data", Bytes().Count(3).Str("SpyA").str(), false, {}},
      {"huge count", Bytes().U16(0xFFFF).U32(0xFFFFFFFFu).str(), false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> names;
    EXPECT_EQ(c.ok, ExcludeList::Decode(c.bytes, &names));
    EXPECT_EQ(c.names, names);
  }
  EXPECT_EQ(Bytes().Count(2).Str("SpyA").Str("spy b").str(), ExcludeList::Encode({"SpyA", "spy b"}));
}

}  // namespace
}  // namespace engine
