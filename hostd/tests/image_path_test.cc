#include "hostd/daemon/image_path.h"

#include <gtest/gtest.h>


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

}  // namespace
}  // namespace hostd
