// CConfig against files of an emulated host: Load, Save, the destructor's
// save and the reported failures.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "common/config.h"
#include "common/rc4.h"
#include "platform/testing/temp_host.h"

namespace common {
namespace {

class ConfigFileTest : public ::testing::Test {
 protected:
  std::string ReadReal(const std::string& windows_path) {
    std::ifstream in(host_.Real(windows_path), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  bool Exists(const std::string& windows_path) {
    return std::ifstream(host_.Real(windows_path)).good();
  }

  platform::testing::TempHost host_;
  const std::string path_ = "C:\\WINDOWS\\system32\\ScanHistory.ini";
};

TEST_F(ConfigFileTest, ReadModifyWriteCycleKeepsTextByteForByte) {
  const std::string original =
      "top=1\n\n; about S\n[S]\nk= spaced\n\n# note\nn=2\n";
  host_.WriteFile(path_, original);
  {
    CConfig c;
    c.SetEncryptOnSave(false);
    c.SetDecryptOnLoad(false);
    c.SetFileName(path_);
    ASSERT_TRUE(c.Load(path_));
    EXPECT_TRUE(c.dirty());  // every loaded key went through SetValue
    EXPECT_EQ(c.GetValue("k", "s"), " spaced");
  }
  // The destructor saved the unchanged content back.
  EXPECT_EQ(ReadReal(path_), original);
}

TEST_F(ConfigFileTest, DestructorSavesChangesAndNotAfterAnExplicitSave) {
  {
    CConfig c;
    c.SetEncryptOnSave(false);
    c.SetFileName(path_);
    c.SetValue("k", "v", "", "S");
    ASSERT_TRUE(c.Save());
    EXPECT_FALSE(c.dirty());
    host_.WriteFile(path_, "changed behind its back\n");
  }
  EXPECT_EQ(ReadReal(path_), "changed behind its back\n");
  {
    CConfig c;
    c.SetEncryptOnSave(false);
    c.SetFileName(path_);
    c.SetValue("k", "v", "", "S");
  }
  EXPECT_EQ(ReadReal(path_), "\n[S]\nk=v\n");
}

TEST_F(ConfigFileTest, SealedFileRoundTripsThroughTheConstructorWithName) {
  {
    CConfig c;  // ciphering on, as constructed
    c.SetFileName(path_);
    c.SetValue("Date", "10 December 2026#1", "", "LASTSCAN");
    ASSERT_TRUE(c.Save());
  }
  std::string raw = ReadReal(path_);
  std::string plain = raw;
  Rc4Crypt(&plain);
  EXPECT_EQ(plain, "\n[LASTSCAN]\nDate=10 December 2026#1\n");
  CConfig loaded(path_);
  EXPECT_EQ(loaded.GetValue("date", "lastscan"), "10 December 2026#1");
  EXPECT_EQ(loaded.fileName(), path_);
}

TEST_F(ConfigFileTest, FailuresAreReportedWithTheirWording) {
  struct Case {
    const char* name;
    std::function<bool(CConfig&)> act;
    const char* output;
  } cases[] = {
      {"load of a missing file",
       [&](CConfig& c) { return c.Load("C:\\nowhere\\missing.ini"); },
       "<info>[CConfig::Load] Unable to open file. Does it exist?\n"},
      {"save without a file name", [](CConfig& c) { return c.Save(); },
       "<error>[CConfig::Save] No filename has been set.\n"},
      {"save into a missing folder",
       [](CConfig& c) {
         c.SetFileName("C:\\no such folder\\x.ini");
         return c.Save();
       },
       "<error>[CConfig::Save] Unable to save file.\n"},
      {"save with no sections at all",
       [](CConfig& c) {
         c.RemoveSection("");
         c.SetFileName("C:\\x.ini");
         return c.Save();
       },
       "<info>[CConfig::Save] Nothing to save.\n"},
  };
  for (const Case& c : cases) {
    CConfig config;
    config.SetEncryptOnSave(false);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(c.act(config)) << c.name;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.output) << c.name;
    config.SetFileName("");
    config.RemoveSection("");  // nothing left for the destructor to write
  }
  EXPECT_FALSE(Exists("C:\\x.ini"));
}

TEST_F(ConfigFileTest, MissingFileLeavesObjectUnchangedAndSaveCreatesIt) {
  CConfig c;
  c.SetEncryptOnSave(false);
  c.SetDecryptOnLoad(false);
  c.SetFileName(path_);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(c.Load(path_));
  testing::internal::GetCapturedStdout();
  EXPECT_FALSE(c.dirty());
  EXPECT_EQ(c.KeyCount(), 0);
  c.SetInt("noofscans", 1, "", "10 December 2026");
  ASSERT_TRUE(c.Save());
  EXPECT_EQ(ReadReal(path_), "\n[10 December 2026]\nnoofscans=1\n");
}

TEST_F(ConfigFileTest, SetFileNameReportsARealChangeOnly) {
  CConfig c;
  testing::internal::CaptureStdout();
  c.SetFileName("C:\\a.ini");
  c.SetFileName("c:\\A.INI");
  c.SetFileName("C:\\b.ini");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "<warn>[CConfig::SetFileName] The filename has changed from <c:\\A.INI> to "
            "<C:\\b.ini>.\n");
  EXPECT_EQ(c.fileName(), "C:\\b.ini");
}

}  // namespace
}  // namespace common
