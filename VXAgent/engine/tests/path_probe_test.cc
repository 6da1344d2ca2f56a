#include "VXAgent/engine/path_probe.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/file.h"
#include "platform/testing/temp_host.h"

namespace engine {
namespace {

using Answer = PathProbe::Answer;

TEST(PathProbeTest, AnswersLikeTheFileSystemWithoutRegardToCase) {
  platform::testing::TempHost host;
  host.WriteFile("C:\\Program Files\\Spy\\spy.exe", "x");
  host.WriteFile("C:\\top.txt", "x");
  PathProbe probe;
  struct Case {
    const char* path;
    Answer answer;
  } cases[] = {
      {"C:\\Program Files\\Spy\\spy.exe", Answer::kFile},
      {"c:\\PROGRAM FILES\\spy\\SPY.EXE", Answer::kFile},
      {"C:\\Program Files\\Spy", Answer::kFolder},
      {"C:\\top.txt", Answer::kFile},
      {"C:\\Program Files\\Spy\\other.exe", Answer::kAbsent},
      {"C:\\Program Files\\None\\spy.exe", Answer::kAbsent},
      {"C:\\top.txt\\inside", Answer::kAbsent},  // a file on the way
      {"Q:\\x", Answer::kAbsent},                // no such drive
      {"C:\\Program Files\\Spy\\*.exe", Answer::kUnsure},
      {"C:\\PROGRA~1\\Spy\\spy.exe", Answer::kUnsure},
      {"C:\\Program Files\\Spy\\..\\Spy\\spy.exe", Answer::kUnsure},
      {"C:\\Program Files\\\\Spy", Answer::kUnsure},
      {"C:\\Program Files\\Spy\\", Answer::kUnsure},
      {"C:\\Program Files\\Spy.", Answer::kUnsure},
      {"relative\\path", Answer::kUnsure},
      {"\\\\HOST\\share\\x", Answer::kUnsure},
  };
  for (const auto& c : cases) EXPECT_EQ(c.answer, probe.Probe(c.path)) << c.path;

  // Listings are kept until forgotten.
  host.WriteFile("C:\\Program Files\\Spy\\later.dll", "x");
  EXPECT_EQ(Answer::kAbsent, probe.Probe("C:\\Program Files\\Spy\\later.dll"));
  std::filesystem::remove_all(host.Real("C:\\Program Files\\Spy"));
  probe.Forget();
  EXPECT_EQ(Answer::kAbsent, probe.Probe("C:\\Program Files\\Spy\\spy.exe"));
  EXPECT_EQ(Answer::kAbsent, probe.Probe("C:\\Program Files\\Spy\\later.dll"));
}

}  // namespace
}  // namespace engine
