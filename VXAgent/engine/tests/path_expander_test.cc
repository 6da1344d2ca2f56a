#include "VXAgent/engine/path_expander.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "platform/host.h"
#include "platform/ini_file.h"
#include "platform/testing/temp_host.h"

namespace engine {
namespace {

using platform::testing::TempHost;

// The agent runs as a service: per-user folders are the service account's.
class ServiceAccount {
 public:
  ServiceAccount() { ::setenv("VX_ACCOUNT", "SYSTEM", 1); }
  ~ServiceAccount() { ::unsetenv("VX_ACCOUNT"); }
};

constexpr const char* kSysProfile = "C:\\WINDOWS\\system32\\config\\systemprofile";

TEST(PathExpanderTest, EveryMacroOfTheTable) {
  ServiceAccount account;
  TempHost host;
  CPathExpander expander;
  const std::string p = kSysProfile;
  const std::string all = "C:\\Documents and Settings\\All Users";
  struct Case {
    const char* macro;
    std::string folder;
  } cases[] = {
      {"%ADMINTOOLS%", p + "\\Start Menu\\Programs\\Administrative Tools"},
      {"%COMMON_ADMINTOOLS%", all + "\\Start Menu\\Programs\\Administrative Tools"},
      {"%APPDATA%", p + "\\Application Data"},
      {"%COMMON_APPDATA%", all + "\\Application Data"},
      {"%COMMON_DOCUMENTS%", all + "\\Documents"},
      {"%COOKIES%", p + "\\Cookies"},
      {"%FLAG_CREATE%", p + "\\Desktop"},
      {"%HISTORY%", p + "\\Local Settings\\History"},
      {"%INTERNET_CACHE%", p + "\\Local Settings\\Temporary Internet Files"},
      {"%LOCAL_APPDATA%", p + "\\Local Settings\\Application Data"},
      {"%MYPICTURES%", p + "\\My Documents\\My Pictures"},
      {"%PERSONAL%", p + "\\My Documents"},
      {"%PFDIR%", "C:\\Program Files"},
      {"%PROGRAM_FILES_COMMON%", "C:\\Program Files\\Common Files"},
      {"%SYSDIR%", "C:\\WINDOWS\\system32"},
      {"%WINDIR%", "C:\\WINDOWS"},
      {"%PROFILE%", p},
      {"%COMMON_PROGRAMS%", all + "\\Start Menu\\Programs"},
      {"%FAVORITES%", p + "\\Favorites"},
      {"%COMMON_DESKTOP%", all + "\\Desktop"},
      {"%ROOT%", "C:"},
  };
  ASSERT_EQ(std::size(cases), CPathExpander::Macros().size());
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].macro);
    EXPECT_STREQ(cases[i].macro, CPathExpander::Macros()[i].name) << "replacement order";
    std::string path = std::string(cases[i].macro) + "\\x.exe";
    expander.Expand(path);
    EXPECT_EQ(cases[i].folder + "\\x.exe", path);
  }
}

TEST(PathExpanderTest, ExpandCases) {
  ServiceAccount account;
  TempHost host;
  CPathExpander expander;
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"%WINDIR%\\system32\\x.dll", "C:\\WINDOWS\\system32\\x.dll"},
      {"%WINDIR%\\a;%WINDIR%\\b", "C:\\WINDOWS\\a;C:\\WINDOWS\\b"},
      {"%ROOT%\\tmp", "C:\\tmp"},
      {"%windir%\\x.dll", "%windir%\\x.dll"},
      {"%WinDir%\\x.dll", "%WinDir%\\x.dll"},
      {"C:\\plain\\path.exe", "C:\\plain\\path.exe"},
      {"%UNKNOWN%\\x", "%UNKNOWN%\\x"},
      {"%WINDIR", "%WINDIR"},
      {"%SYSDIR%%PFDIR%", "C:\\WINDOWS\\system32C:\\Program Files"},
      {"", ""},
  };
  for (const auto& c : cases) {
    std::string path = c.in;
    expander.Expand(path);
    EXPECT_EQ(c.out, path) << c.in;
  }
}

TEST(PathExpanderTest, InteractiveAccountUsesItsOwnProfile) {
  ::setenv("VX_ACCOUNT", "Administrator", 1);
  TempHost host;
  CPathExpander expander;
  ::unsetenv("VX_ACCOUNT");
  std::string path = "%APPDATA%\\spy";
  expander.Expand(path);
  EXPECT_EQ("C:\\Documents and Settings\\Administrator\\Application Data\\spy", path);
}

// Hosts whose folder table differs from the defaults.
class CustomFolders : public ::testing::Test {
 protected:
  void Load(const std::vector<std::pair<std::string, std::string>>& folders) {
    std::string error;
    ASSERT_TRUE(platform::Host::Create(dir_.path(), {}, &error)) << error;
    std::string ini_path = dir_.path() + "/host.ini";
    std::ifstream in(ini_path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    platform::IniFile ini;
    ASSERT_TRUE(ini.Parse(text, &error)) << error;
    for (const auto& [id, path] : folders) ini.Set("folders", id, path);
    std::ofstream(ini_path, std::ios::trunc) << ini.Serialize();
    host_ = platform::Host::Load(dir_.path(), &error);
    ASSERT_TRUE(host_) << error;
    scope_ = std::make_unique<platform::ScopedHost>(host_.get());
  }
  platform::testing::TempDir dir_;
  std::unique_ptr<platform::Host> host_;
  std::unique_ptr<platform::ScopedHost> scope_;
};

TEST_F(CustomFolders, RootFollowsTheProgramFilesDrive) {
  Load({{"0x26", "D:\\Apps"}});
  CPathExpander expander;
  std::string path = "%ROOT%\\tmp";
  expander.Expand(path);
  EXPECT_EQ("D:\\tmp", path);
}

TEST_F(CustomFolders, MissingOrOverlongFoldersExpandToNothing) {
  // Program files without a drive: %ROOT% is empty. A folder of 260
  // characters does not fit the system's buffer and is reported as absent.
  Load({{"0x26", "Apps"}, {"0x27", "C:\\" + std::string(257, 'p')}});
  CPathExpander expander;
  std::string root = "%ROOT%\\tmp";
  expander.Expand(root);
  EXPECT_EQ("\\tmp", root);
  std::string pictures = "%MYPICTURES%\\x.exe";
  expander.Expand(pictures);
  EXPECT_EQ("\\x.exe", pictures);
}

TEST_F(CustomFolders, FolderJustInsideTheBufferIsKept) {
  std::string folder = "C:\\" + std::string(256, 'p');  // 259 characters
  Load({{"0x27", folder}});
  CPathExpander expander;
  std::string pictures = "%MYPICTURES%";
  expander.Expand(pictures);
  EXPECT_EQ(folder, pictures);
}

TEST(PathExpanderTest, NoHostExpandsToNothing) {
  // Outside any host (no VX_HOST_ROOT in the test environment).
  ::unsetenv("VX_HOST_ROOT");
  CPathExpander expander;
  std::string path = "%WINDIR%\\x";
  expander.Expand(path);
  EXPECT_EQ("\\x", path);
}

}  // namespace
}  // namespace engine
