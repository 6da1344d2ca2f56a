#include "VXAgent/service/debug_log.h"

#include <gtest/gtest.h>

#include <regex>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/testing/temp_host.h"

namespace vxagent {
namespace {

std::string ReadLog() {
  std::string text;
  platform::ReadFileToString(DebugLogPath(), &text);
  return text;
}

TEST(DebugLogTest, LinesCarryTheLastErrorAndClearIt) {
  platform::testing::TempHost host;
  platform::SetLastError(0);
  DebugLog("first");
  platform::SetLastError(platform::kErrorFileNotFound);
  DebugLog("after a failure\r\nwith a line break");
  DebugLog("next");
  EXPECT_EQ(platform::GetLastError(), 0u);

  std::string log = ReadLog();
  std::regex line(
      R"(\[\d{1,2}-(January|February|March|April|May|June|July|August|September|October|November|December)-\d{4} \d\d:\d\d:\d\d \] - \(Error code: (\d+)\): ([^\r\n]*) ## ([^\r\n]*)\r\n)");
  std::vector<std::smatch> lines;
  for (auto it = std::sregex_iterator(log.begin(), log.end(), line); it != std::sregex_iterator(); ++it)
    lines.push_back(*it);
  ASSERT_EQ(lines.size(), 3u) << log;
  EXPECT_EQ(lines[0][2], "0");
  EXPECT_EQ(lines[0][3], "The operation completed successfully.");
  EXPECT_EQ(lines[0][4], "first");
  EXPECT_EQ(lines[1][2], "2");
  EXPECT_EQ(lines[1][3], "The system cannot find the file specified.");
  EXPECT_EQ(lines[1][4], "after a failurewith a line break");
  EXPECT_EQ(lines[2][2], "0");
  // Nothing but the three lines is in the file.
  EXPECT_EQ(static_cast<size_t>(lines[2].position() + lines[2].length()), log.size());
}

}  // namespace
}  // namespace vxagent
