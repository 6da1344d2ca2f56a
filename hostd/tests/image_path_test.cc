#include "hostd/daemon/image_path.h"

#include <gtest/gtest.h>

#include <set>

namespace hostd {
namespace {

TEST(ImagePathTest, ExpandsTheWindowsFolderVariables) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"%SystemRoot%\\system32\\VXAgent.exe", "D:\\WINNT\\system32\\VXAgent.exe"},
      {"%systemroot%\\a.exe %WINDIR%", "D:\\WINNT\\a.exe D:\\WINNT"},
      {"%SystemDrive%\\x.exe", "D:\\x.exe"},
      {"%Other%\\a.exe 100%", "%Other%\\a.exe 100%"},
      {"C:\\plain.exe", "C:\\plain.exe"},
  };
  for (const auto& c : cases) EXPECT_EQ(ExpandImagePath(c.in, "D:\\WINNT"), c.out) << c.in;
}

TEST(ImagePathTest, SplitsProgramAndArguments) {
  std::set<std::string> files = {"C:\\Program Files\\VX\\svc.exe", "C:\\WINDOWS\\system32\\VXAgent.exe"};
  auto is_file = [&](const std::string& p) { return files.count(p) > 0; };
  struct Case {
    const char* in;
    const char* program;
    std::vector<std::string> args;
  } cases[] = {
      {"C:\\WINDOWS\\system32\\VXAgent.exe", "C:\\WINDOWS\\system32\\VXAgent.exe", {}},
      {"\"C:\\Program Files\\VX\\svc.exe\" -k \"two words\"", "C:\\Program Files\\VX\\svc.exe", {"-k", "two words"}},
      {"C:\\Program Files\\VX\\svc.exe run now", "C:\\Program Files\\VX\\svc.exe", {"run", "now"}},
      {"C:\\WINDOWS\\system32\\VXAgent.exe  a", "C:\\WINDOWS\\system32\\VXAgent.exe", {"a"}},
      {"C:\\missing\\x.exe arg", "C:\\missing\\x.exe", {"arg"}},
  };
  for (const auto& c : cases) {
    CommandLine cl;
    ASSERT_TRUE(SplitImagePath(c.in, is_file, &cl)) << c.in;
    EXPECT_EQ(cl.program, c.program) << c.in;
    EXPECT_EQ(cl.args, c.args) << c.in;
  }
  for (const char* bad : {"", "   ", "\"C:\\unterminated.exe", "\"\" x", "C:\\a.exe \"open"}) {
    CommandLine cl;
    cl.program = "untouched";
    EXPECT_FALSE(SplitImagePath(bad, is_file, &cl)) << bad;
    EXPECT_EQ(cl.program, "untouched") << bad;
  }
}

}  // namespace
}  // namespace hostd
