// Libraries loaded at run time: where they are looked for, exports,
// references.
#include "platform/dynlib.h"

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/testing/temp_host.h"
#include "platform/tests/helpers/helper_paths.h"

namespace platform {
namespace {

using testing::CopyFile;
using testing::TempHost;
using Origin = const char* (*)();

class DynlibTest : public ::testing::Test {
 protected:
  DynlibTest() {
    // The system folder holds its own copy of the library that also sits
    // beside the test program, and one that only it holds.
    CopyFile(testing::TestLibrary("system"), host_.Real("C:\\WINDOWS\\system32\\VxTestLib.dll"));
    CopyFile(testing::TestLibrary("system"), host_.Real("C:\\WINDOWS\\system32\\OnlySys.dll"));
    CopyFile(testing::TestLibrary("system"), host_.Real("C:\\WINDOWS\\onlywin.dll"));
    host_.WriteFile("C:\\WINDOWS\\system32\\Bad.dll", "MZ not for this loader");
    CopyFile(testing::TestLibrary("system"), host_.Real("C:\\Spy\\zyx.dll"));
  }
  TempHost host_;
};

TEST_F(DynlibTest, SearchOrder) {
  struct Case {
    const char* name;
    const char* origin;  // which build answered, empty: none found
    uint32_t error;
  } cases[] = {
      {"VxTestLib.dll", "own", 0},     // the program's folder comes first
      {"VXTESTLIB.DLL", "own", 0},     // names are matched without regard to case
      {"VxTestLib", "own", 0},         // ".dll" is implied
      {"onlysys.dll", "system", 0},
      {"OnlySys", "system", 0},
      {"onlywin.dll", "system", 0},    // the Windows folder after the system folder
      {"C:\\Spy\\zyx.dll", "system", 0},
      {"OnlySys.", "", kErrorModNotFound},  // a trailing dot: no extension
      {"Missing.dll", "", kErrorModNotFound},
      {"C:\\Spy\\missing.dll", "", kErrorModNotFound},
      {"Bad.dll", "", kErrorBadExeFormat},
      {"", "", kErrorModNotFound},
  };
  for (const auto& c : cases) {
    SetLastError(0);
    ModuleHandle m = LoadLibrary(c.name);
    if (!*c.origin) {
      EXPECT_EQ(m, nullptr) << c.name;
      EXPECT_EQ(GetLastError(), c.error) << c.name;
      continue;
    }
    ASSERT_NE(m, nullptr) << c.name << " error " << GetLastError();
    auto origin = reinterpret_cast<Origin>(GetProcAddress(m, "VxTestLibraryOrigin"));
    ASSERT_NE(origin, nullptr) << c.name;
    EXPECT_STREQ(origin(), c.origin) << c.name;
    EXPECT_TRUE(FreeLibrary(m));
  }
}

TEST_F(DynlibTest, MissingExportAndBadHandles) {
  ScopedLibrary lib("VxTestLib.dll");
  ASSERT_TRUE(lib);
  SetLastError(0);
  EXPECT_EQ(GetProcAddress(lib.get(), "CreateSignature"), nullptr);
  EXPECT_EQ(GetLastError(), kErrorProcNotFound);
  EXPECT_NE(lib.Get<Origin>("VxTestLibraryOrigin"), nullptr);

  int not_a_module = 0;
  SetLastError(0);
  EXPECT_EQ(GetProcAddress(&not_a_module, "VxTestLibraryOrigin"), nullptr);
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
  SetLastError(0);
  EXPECT_FALSE(FreeLibrary(nullptr));
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
}

TEST_F(DynlibTest, ReferencesAreCounted) {
  ModuleHandle a = LoadLibrary("OnlySys.dll");
  ModuleHandle b = LoadLibrary("onlysys");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a, b);
  std::string real;
  ASSERT_TRUE(GetModuleRealPath(a, &real));
  EXPECT_EQ(real, host_.Real("C:\\WINDOWS\\system32\\OnlySys.dll"));
  EXPECT_TRUE(FreeLibrary(a));
  EXPECT_NE(GetProcAddress(b, "VxTestLibraryOrigin"), nullptr);  // still loaded
  EXPECT_TRUE(FreeLibrary(b));
  SetLastError(0);
  EXPECT_FALSE(FreeLibrary(a));
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
}

}  // namespace
}  // namespace platform
