#include "VXAgent/pipes/records.h"

#include <gtest/gtest.h>

namespace vxagent::records {
namespace {

TEST(RecordsTest, FixedRecordsHaveTheirSizesAndOffsets) {
  Bytes v = Encode(VersionCheckRequest{1, "5.1", "2.20", 1});
  ASSERT_EQ(v.size(), 522u);
  EXPECT_EQ(v[0], 1);
  EXPECT_EQ(FieldText(&v[1], 260), "5.1");
  EXPECT_EQ(FieldText(&v[261], 260), "2.20");
  EXPECT_EQ(v[521], 1);

  Bytes s = Encode(ScanParameters{1, 2});
  EXPECT_EQ(s, (Bytes{1, 0, 0, 0, 2, 0, 0, 0}));

  Bytes sched = Encode(ScheduleInfo{1, 2, 8, 0x0000000112345678LL});
  ASSERT_EQ(sched.size(), 20u);
  EXPECT_EQ(ReadLe32(&sched[8]), 8u);
  EXPECT_EQ(sched[12], 0x78);
  EXPECT_EQ(sched[16], 0x01);
  ScheduleInfo back;
  ASSERT_TRUE(Decode(sched.data(), sched.size(), &back));
  EXPECT_EQ(back.time, 0x0000000112345678LL);

  Bytes o = Encode(OptionsRequest{4, "PC1"});
  ASSERT_EQ(o.size(), 104u);
  EXPECT_EQ(ReadLe32(o.data()), 4u);
  EXPECT_EQ(FieldText(&o[4], 100), "PC1");
}

TEST(RecordsTest, DecodersCheckSizes) {
  uint8_t three[3] = {1, 0, 0};
  SCommand c{7};
  EXPECT_FALSE(Decode(three, 3, &c));
  EXPECT_EQ(c.bThreadExit, 7u);  // untouched
  ScanParameters p;
  EXPECT_FALSE(Decode(three, 3, &p));
  // A short version request reads like the agent's zeroed buffer.
  uint8_t shortv[5] = {0, '5', '.', '1', 0};
  VersionCheckRequest r;
  ASSERT_TRUE(Decode(shortv, sizeof shortv, &r));
  EXPECT_EQ(r.product, "5.1");
  EXPECT_EQ(r.database, "");
  EXPECT_EQ(r.check, 0);
  // Padding of the scan parameters is ignored.
  uint8_t padded[8] = {1, 9, 9, 9, 0, 0, 0, 0};
  ASSERT_TRUE(Decode(padded, 8, &p));
  EXPECT_EQ(p.scan_kind, 1);
}

TEST(RecordsTest, LinesAreZeroFilledAndCut) {
  Bytes l = EncodeLine("OK");
  ASSERT_EQ(l.size(), 260u);
  EXPECT_EQ(LineText(l.data(), l.size()), "OK");
  for (size_t i = 2; i < l.size(); ++i) ASSERT_EQ(l[i], 0) << i;
  Bytes long_line = EncodeLine(std::string(400, 'x'));
  EXPECT_EQ(LineText(long_line.data(), long_line.size()).size(), 259u);
}

TEST(RecordsTest, SpyOperationRoundTripAndAgentSplit) {
  std::string t = BuildSpyOperationText("File", "Spy Co", "C:\\x\\a#b.exe", "QUARANTINE");
  EXPECT_EQ(t, " [ File ]  < Spy Co > C:\\x\\a#b.exe#QUARANTINE");
  struct Case {
    const char* text;
    SpyOperation want;
  } cases[] = {
      {" [ File ]  < Spy Co > C:\\x\\a#b.exe#QUARANTINE", {"File", "Spy Co", "C:\\x\\a#b.exe", "QUARANTINE"}},
      {" [ Cookie ]  < Ad > adsite.com$Administrator,alice,#DDELETE", {"Cookie", "Ad", "adsite.com$Administrator,alice,", "DDELETE"}},
      {" [ Registry Data ]  < S > HKLM\\Software\\S\\Mode\\:x>y#RECOVER", {"Registry Data", "S", "HKLM\\Software\\S\\Mode\\:x>y", "RECOVER"}},
      {"garbage without delimiters", {"", "", "", ""}},
      {"[File] no name #QDELETE", {"File", "", "", "QDELETE"}},
  };
  for (const auto& c : cases) {
    SpyOperation got = SplitSpyOperation(c.text);
    EXPECT_EQ(got.type, c.want.type) << c.text;
    EXPECT_EQ(got.spy, c.want.spy) << c.text;
    EXPECT_EQ(got.item, c.want.item) << c.text;
    EXPECT_EQ(got.operation, c.want.operation) << c.text;
  }
}

}  // namespace
}  // namespace vxagent::records
