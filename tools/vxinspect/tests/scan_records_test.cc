// vxinspect on the files a scan run leaves: the scan history, a LogFolder
// file and the signature report.
#include <gtest/gtest.h>

#include "common/rc4.h"
#include "common/string_map_file.h"
#include "tools/vxinspect/document.h"
#include "tools/vxinspect/formats.h"

namespace vxinspect {
namespace {

const char kHistory[] =
    "\n[10 December 2026]\nnoofscans=2\n"
    "\n[10 December 2026#1]\nTIME=09:05:03\nDetected=4\nDeleted=0\nQuarantined=0\n"
    "\n[LASTSCAN]\nDate=10 December 2026#2\n"
    "\n[10 December 2026#2]\nTIME=13:00:00\nDetected=3\nDeleted=2\nQuarantined=0\n";

std::string LogFile() {
  return common::StringMapFile::Encode({
      {" [ 10 December 2026 09:05:03 ]  - File < AdHunter > C:\\WINDOWS\\adhunter.exe#", "Deleted"},
      {" [ 10 December 2026 09:05:03 ]  - Registry Value < Spy Co > HKLM\\Software\\S\\V#", "Detected"},
  });
}

const char kSignatures[] =
    "AdHunter#@#C:\\WINDOWS\\adhunter.exe#@#d7a8fbb307d7809469ca9abcb0082e4f8d5651e46d3cdb762d02d0bf37c9e592\n"
    "Runner#@#C:\\WINDOWS\\gone.EXE#@#\n";

TEST(ScanRecordsTest, GuessesEachFileOverTheGenericFormats) {
  std::string sealed = kHistory;
  common::Rc4Crypt(&sealed);
  struct Case {
    const char* what;
    std::string bytes;
    const char* format;
  } cases[] = {
      {"scan history", kHistory, "scanhistory"},
      {"history of one day without LASTSCAN", "\n[1 May 2026]\nnoofscans=1\n", "scanhistory"},
      {"a sealed file is a config, never a history", sealed, "config"},
      {"other config", "\n[S]\nk=v\n", "config"},
      {"LogFolder file", LogFile(), "scanlog"},
      {"map with a foreign key", common::StringMapFile::Encode({{"k", "v"}}), "stringmap"},
      {"empty map", common::StringMapFile::Encode({}), "stringmap"},
      {"signature report", kSignatures, "signatures"},
  };
  for (const Case& c : cases) {
    const Format* f = GuessFormat(c.bytes);
    ASSERT_NE(f, nullptr) << c.what;
    EXPECT_STREQ(c.format, f->name) << c.what;
  }
}

TEST(ScanRecordsTest, HistoryShowsDaysRunsAndTheLastScan) {
  Node doc = Node::Object();
  std::string error;
  ASSERT_TRUE(InspectScanHistory(kHistory, &doc, &error)) << error;
  EXPECT_EQ(RenderText(doc),
            "type: scanhistory\n"
            "last_scan: 10 December 2026#2\n"
            "days:\n"
            "  - day: 10 December 2026\n"
            "    runs: 2\n"
            "runs:\n"
            "  - section: 10 December 2026#1\n"
            "    day: 10 December 2026\n"
            "    number: 1\n"
            "    time: 09:05:03\n"
            "    detected: 4\n"
            "    deleted: 0\n"
            "    quarantined: 0\n"
            "  - section: 10 December 2026#2\n"
            "    day: 10 December 2026\n"
            "    number: 2\n"
            "    time: 13:00:00\n"
            "    detected: 3\n"
            "    deleted: 2\n"
            "    quarantined: 0\n"
            "other_sections: (none)\n");
}

TEST(ScanRecordsTest, LogFolderFileShowsEachEntrysParts) {
  Node doc = Node::Object();
  std::string error;
  ASSERT_TRUE(InspectScanLog(LogFile() + "old tail", &doc, &error)) << error;
  EXPECT_EQ(RenderText(doc),
            "type: scanlog\n"
            "count: 2\n"
            "entries:\n"
            "  - date_time: 10 December 2026 09:05:03\n"
            "    type: File\n"
            "    spy: AdHunter\n"
            "    item: C:\\WINDOWS\\adhunter.exe\n"
            "    status: Deleted\n"
            "  - date_time: 10 December 2026 09:05:03\n"
            "    type: Registry Value\n"
            "    spy: Spy Co\n"
            "    item: HKLM\\Software\\S\\V\n"
            "    status: Detected\n");
  // Forced onto a map with foreign keys and onto a cut file.
  Node other = Node::Object();
  ASSERT_TRUE(InspectScanLog(common::StringMapFile::Encode({{"k", "v"}}), &other, &error));
  EXPECT_EQ("k", other.Find("entries")->items()[0].Find("key")->text());
  Node cut = Node::Object();
  EXPECT_FALSE(InspectScanLog(LogFile().substr(0, 40), &cut, &error));
  EXPECT_EQ("truncated: 0 entries readable", error);
}

TEST(ScanRecordsTest, SignatureReportShowsEntriesAndStrayLines) {
  Node doc = Node::Object();
  std::string error;
  ASSERT_TRUE(InspectSignatures(std::string(kSignatures) + "garbage\nSpy#@#C:\\cut", &doc, &error)) << error;
  EXPECT_EQ(RenderText(doc),
            "type: signatures\n"
            "entries:\n"
            "  - spy: AdHunter\n"
            "    path: C:\\WINDOWS\\adhunter.exe\n"
            "    signature: d7a8fbb307d7809469ca9abcb0082e4f8d5651e46d3cdb762d02d0bf37c9e592\n"
            "  - spy: Runner\n"
            "    path: C:\\WINDOWS\\gone.EXE\n"
            "    signature: \"\"\n"
            "other_lines:\n"
            "  - garbage\n"
            "unterminated_last_line: Spy#@#C:\\cut\n");
  Node binary = Node::Object();
  EXPECT_FALSE(InspectSignatures(std::string("a#@#b#@#\0c\n", 11), &binary, &error));
}

}  // namespace
}  // namespace vxinspect
