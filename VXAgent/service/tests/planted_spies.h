// Test support: a definition database of a few sample spies of several
// trace types, and the traces planted on a test host so that a scan finds
// them. Planting again restores what a delete or quarantine removed.
//
// A quick scan finds four items in this scan log order:
//   Cookie:CookieMonster <www.adsite.com$Administrator,>
//   File:AdHunter <C:\WINDOWS\adhunter.exe>      (43 bytes, signed)
//   File:TinyTrack <C:\TinyTrack\tt.dll>         (5 bytes, too small to sign)
//   Registry Value:AdHunter <HKLM\Software\AdHunter\Run>
// A full scan also finds D:\TinyTrack\tt.dll (the same path on drive D:).
#pragma once

#include <string>

#include "VXAgent/engine/spy_database.h"
#include "common/rc4.h"
#include "platform/file.h"
#include "platform/registry.h"
#include "platform/testing/temp_host.h"

namespace vxagent::testing {

inline constexpr const char* kAdHunterExe = "C:\\WINDOWS\\adhunter.exe";
inline constexpr const char* kAdHunterContent = "The quick brown fox jumps over the lazy dog";
// SHA-256 of kAdHunterContent.
inline constexpr const char* kAdHunterSha256 =
    "d7a8fbb307d7809469ca9abcb0082e4f8d5651e46d3cdb762d02d0bf37c9e592";
inline constexpr const char* kTinyTrackDll = "C:\\TinyTrack\\tt.dll";
inline constexpr const char* kTinyTrackOnD = "D:\\TinyTrack\\tt.dll";
inline constexpr const char* kCookieFile =
    "C:\\Documents and Settings\\Administrator\\Cookies\\administrator@adsite[1].txt";
inline constexpr int kQuickFinds = 4;
inline constexpr int kFullFinds = 5;

// Host options with the fixed drives C: and D:.
inline platform::HostOptions TwoFixedDrives() {
  platform::HostOptions o;
  o.drives = {"C=fixed", "D=fixed"};
  return o;
}

// Writes the enciphered definition database into the host's system folder.
inline bool WriteSampleDatabase() {
  engine::CSpy adhunter, cookies, tiny;
  adhunter.files = {"%WINDIR%\\adhunter.exe"};
  adhunter.regValues = {"HKLM\\Software\\AdHunter\\Run"};
  cookies.cookies = {"www.adsite.com"};
  tiny.files = {"%ROOT%\\TinyTrack\\tt.dll"};
  engine::SpyMap map;
  map["AdHunter"] = std::make_shared<const engine::CSpy>(adhunter);
  map["CookieMonster"] = std::make_shared<const engine::CSpy>(cookies);
  map["TinyTrack"] = std::make_shared<const engine::CSpy>(tiny);
  std::string bytes = engine::EncodeSpyArchive(map);
  return common::Rc4Crypt(&bytes) && platform::WriteStringToFile(engine::SpyDatabasePath(), bytes);
}

// Plants (again) every trace of the sample spies on the current host.
inline void PlantSampleSpies(const platform::testing::TempHost& host) {
  host.WriteFile(kAdHunterExe, kAdHunterContent);
  host.WriteFile(kTinyTrackDll, "tiny!");
  host.WriteFile(kTinyTrackOnD, "tiny!");
  host.WriteFile(kCookieFile, "cookie");
  platform::RegKey key;
  if (key.Create(platform::RootKey::kLocalMachine, "Software\\AdHunter", platform::kKeyAllAccess) == 0)
    key.WriteString("Run", "adhunter.exe");
}

}  // namespace vxagent::testing
