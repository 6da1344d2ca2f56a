#include "tools/vxdbtool/sample_database.h"

#include <random>
#include <string>

namespace vxdbtool {
namespace {

// Syllables of invented product names; none is a real program's name.
constexpr const char* kStarts[] = {"Blor", "Quen", "Zint", "Marv", "Tral", "Pek",
                                   "Vosk", "Dray", "Lumo", "Frin", "Gorp", "Nexa"};
constexpr const char* kEnds[] = {"pix", "var", "tok", "elo", "umba", "ist",
                                 "oro", "ax", "ique", "dle", "onn", "ery"};
constexpr const char* kKinds[] = {"Toolbar", "Adware", "Tracker", "Dialer", "Popper", "Helper"};

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

engine::CSpy MakeSpy(const std::string& word, uint32_t index, std::mt19937& rng) {
  const std::string w = Lower(word);
  auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
  engine::CSpy s;
  s.files = {
      "%PFDIR%\\" + word + "\\" + w + ".exe",
      "%SYSDIR%\\" + w + "32.dll",
      "%PROFILE%\\Application Data\\" + word + "\\settings.ini",
  };
  if (pick(2)) s.files.push_back("%WINDIR%\\" + w + "upd.bat");
  if (pick(2)) s.files.push_back("%COMMON_APPDATA%\\" + word + "\\" + w + "svc.COM");
  if (pick(3) == 0) s.files.push_back("%ROOT%\\" + w + "_log.txt");
  s.processes = {"%PFDIR%\\" + word + "\\" + w + "mon.exe"};
  if (pick(2)) s.processes.push_back("%SYSDIR%\\" + w + ".scr");
  s.folders = {"%PFDIR%\\" + word, "%PROFILE%\\Local Settings\\" + word};
  if (pick(2)) s.folders.push_back("%COMMON_APPDATA%\\" + word);
  s.cookies = {"www." + w + ".com", w + "ads.net"};
  if (pick(2)) s.cookies.push_back("track." + w + ".co.in");
  s.regKeys = {"HKLM\\Software\\" + word, "HKEY_CURRENT_USER\\Software\\" + word,
               "HKEY_USERS\\S-1-5-21-1004336348-1177238915-682003330-" +
                   std::to_string(1000 + index % 7) + "\\Software\\" + word};
  if (pick(2)) s.regKeys.push_back("HKCR\\CLSID\\{" + std::to_string(10000000 + index) +
                                   "-5EED-4A11-9C0F-00000000" + std::to_string(1000 + index % 9000) +
                                   "}");
  s.regValues = {
      "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run\\" + word,
      "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run\\\"" + word + " Agent\\Start\"",
  };
  if (pick(2)) s.regValues.push_back("HKLM\\Software\\" + word + "\\InstallPath");
  s.regData = {
      "HKLM\\Software\\" + word + "\\Mode\\\"active\"",
      "HKCU\\Software\\Microsoft\\Internet Explorer\\Main\\Start Page\\\"http://www." + w +
          ".example/start\"",
      "HKLM\\Software\\" + word + "\\(Default)\\\"\"",
  };
  if (pick(2)) s.regData.push_back("HKLM\\Software\\" + word + "\\Path\\\"%PFDIR%\\" + word + "\"");
  return s;
}

}  // namespace

engine::SpyMap GenerateSampleDatabase(const SampleOptions& options) {
  std::mt19937 rng(options.seed);
  engine::SpyMap map;
  const uint32_t starts = std::size(kStarts), ends = std::size(kEnds), kinds = std::size(kKinds);
  for (uint32_t i = 0; i < options.spies; ++i) {
    // Every index gives a distinct word: syllables first, then a number.
    uint32_t combo = i % (starts * ends);
    std::string word = std::string(kStarts[combo % starts]) + kEnds[combo / starts];
    if (i >= starts * ends) word += std::to_string(i / (starts * ends));
    std::string name = word + " " + kKinds[i % kinds];
    map[name] = std::make_shared<const engine::CSpy>(MakeSpy(word, i, rng));
  }
  return map;
}

}  // namespace vxdbtool
