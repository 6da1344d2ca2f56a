#include <gtest/gtest.h>

#include <regex>
#include <vector>

#include "VXAdmin/shell/app_settings.h"
#include "VXAdmin/shell/status.h"
#include "platform/registry.h"
#include "platform/testing/temp_host.h"

namespace vxadmin {
namespace {

class RecordingSink : public StatusSink {
 public:
  void AddStatusLine(const std::string& text) override { lines.push_back(text); }
  void ShowMessage(const std::string& text) override { messages.push_back(text); }
  std::vector<std::string> lines, messages;
};

class ScopedSink {
 public:
  explicit ScopedSink(StatusSink* s) { SetStatusSink(s); }
  ~ScopedSink() { SetStatusSink(nullptr); }
};

platform::RegKey SettingsKey() {
  platform::RegKey key;
  EXPECT_EQ(key.Create(platform::RootKey::kLocalMachine, kSettingsKey, platform::kKeyAllAccess), 0u);
  return key;
}

TEST(AppSettingsTest, StartupSettingsAndTheirDefaults) {
  platform::testing::TempHost host;
  AppSettings none = ReadStartupSettings();
  EXPECT_TRUE(none.ask_password);
  EXPECT_FALSE(none.auto_update);
  EXPECT_EQ(none.product_version, "");

  platform::RegKey key = SettingsKey();
  key.WriteString("ServerVersionNo", "5.1");
  key.WriteString("DatabaseVersionNo", "2.20");
  key.WriteDword("AskPassword", 0);
  key.WriteDword("AutoUpdate", 1);
  AppSettings s = ReadStartupSettings();
  EXPECT_EQ(s.product_version, "5.1");
  EXPECT_EQ(s.database_version, "2.20");
  EXPECT_FALSE(s.ask_password);
  EXPECT_TRUE(s.auto_update);
  key.WriteDword("AutoUpdate", 2);  // only 1 means automatic
  EXPECT_FALSE(ReadStartupSettings().auto_update);
}

TEST(AppSettingsTest, InstalledPathReportsWhatIsMissing) {
  platform::testing::TempHost host;
  RecordingSink sink;
  {
    // Before the main window exists the text goes to a message box.
    EXPECT_EQ(GetInstalledPath(), "");
  }
  ScopedSink scope(&sink);
  EXPECT_EQ(GetInstalledPath(), "");
  ASSERT_EQ(sink.lines.size(), 1u);
  EXPECT_EQ(sink.lines[0], "Installation path not found! Please reinstall the setup!");
  SettingsKey().WriteString("InstalledPath", "C:\\Program Files\\VXCorporate");
  EXPECT_EQ(GetInstalledPath(), "C:\\Program Files\\VXCorporate");
  EXPECT_EQ(sink.lines.size(), 1u);
}

TEST(StatusTest, LinesAreTimeStamped) {
  EXPECT_TRUE(std::regex_match(TimeStampedLine("[PC1] x"), std::regex(R"(\[\d\d:\d\d:\d\d\] \[PC1\] x)")));
}

}  // namespace
}  // namespace vxadmin
