// vxhost reg, run as a program against a temporary host.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/registry.h"
#include "platform/testing/temp_host.h"

namespace {

using platform::testing::TempHost;

struct Result {
  int code;
  std::string out;  // standard output and error together
};

class RegCommandTest : public ::testing::Test {
 protected:
  Result Vxhost(const std::string& args) {
    const char* bin = std::getenv("VX_BIN_DIR");
    std::string cmd =
        std::string(bin ? bin : "bin") + "/vxhost --root '" + host_.root() + "' " + args + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    EXPECT_NE(p, nullptr);
    std::string out;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int status = pclose(p);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
  }
  TempHost host_;
};

TEST_F(RegCommandTest, AddQueryDeleteAndTheirErrors) {
  struct Step {
    std::string args;
    int code;
    std::string output;  // a part the output must hold
  } steps[] = {
      {"reg add 'HKLM\\SOFTWARE\\Acme' /v Name /d 'hello world'", 0, "completed successfully"},
      {"reg add 'HKLM\\SOFTWARE\\Acme' /v Count /t REG_DWORD /d 0x10", 0, ""},
      {"reg add 'HKLM\\SOFTWARE\\Acme' /v Big /t REG_QWORD /d 4294967296", 0, ""},
      {"reg add 'HKLM\\SOFTWARE\\Acme' /v List /t REG_MULTI_SZ /d 'a\\0b'", 0, ""},
      {"reg add 'HKLM\\SOFTWARE\\Acme' /v Raw /t REG_BINARY /d 00ff10", 0, ""},
      {"reg add 'HKLM\\SOFTWARE\\Acme' /ve /d def", 0, ""},
      {"reg add 'HKLM\\SOFTWARE\\Acme\\Sub'", 0, ""},
      {"reg query 'hklm\\software\\acme'", 0,
       "    Name    REG_SZ    hello world\n"
       "    Count    REG_DWORD    0x10\n"
       "    Big    REG_QWORD    0x100000000\n"
       "    List    REG_MULTI_SZ    a\\0b\n"
       "    Raw    REG_BINARY    00FF10\n"
       "    (Default)    REG_SZ    def\n"
       "\nhklm\\software\\acme\\Sub\n"},
      {"reg query 'HKLM\\SOFTWARE\\Acme' count", 0, "    Count    REG_DWORD    0x10\n"},
      {"reg query 'HKLM\\SOFTWARE\\Acme' /v Nope", 2,
       "vxhost: reg query: HKLM\\SOFTWARE\\Acme: value 'Nope': The system cannot find the file "
       "specified."},
      {"reg query 'HKLM\\SOFTWARE\\Nope'", 2,
       "HKLM\\SOFTWARE\\Nope: The system cannot find the file specified."},
      {"reg query 'HKXX\\foo'", 2, "unknown root key 'HKXX'"},
      {"reg add 'HKLM\\X' /v d /t REG_DWORD /d 12x", 2, "'12x' is not a number for REG_DWORD"},
      {"reg add 'HKLM\\X' /v d /t REG_DWORD /d 4294967296", 2, "not a number for REG_DWORD"},
      {"reg add 'HKLM\\X' /v d /t REG_BINARY /d abc", 2, "not an even number of hex digits"},
      {"reg add 'HKLM\\X' /v d /t REG_WHAT", 2, "unknown type 'REG_WHAT'"},
      {"reg delete HKLM", 2, "reg delete: HKLM: Access is denied."},
      {"reg delete 'HKLM\\SOFTWARE\\Acme' /v Name", 0, ""},
      {"reg query 'HKLM\\SOFTWARE\\Acme' Name", 2, "cannot find"},
      {"reg delete 'HKLM\\SOFTWARE\\Acme' /va", 0, ""},
      {"reg query 'HKLM\\SOFTWARE\\Acme'", 0,
       "HKLM\\SOFTWARE\\Acme\n\nHKLM\\SOFTWARE\\Acme\\Sub\n"},
      {"reg delete 'HKLM\\SOFTWARE\\Acme'", 0, ""},
      {"reg query 'HKLM\\SOFTWARE\\Acme\\Sub'", 2, "cannot find"},
      {"reg frob", 2, "unknown operation 'frob'"},
  };
  for (const auto& s : steps) {
    Result r = Vxhost(s.args);
    EXPECT_EQ(r.code, s.code) << s.args << "\n" << r.out;
    EXPECT_NE(r.out.find(s.output), std::string::npos) << s.args << "\ngot:\n" << r.out;
    if (s.code != 0) {
      EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "not one line: " << r.out;
    }
  }
}

TEST_F(RegCommandTest, ExportAndImportFiles) {
  ASSERT_EQ(Vxhost("reg add 'HKCU\\Software\\Acme' /v Raw /t REG_BINARY /d 00ff10").code, 0);
  std::string file = host_.root() + "/acme.reg";
  Result r = Vxhost("reg export 'HKCU\\Software\\Acme' '" + file + "'");
  ASSERT_EQ(r.code, 0) << r.out;
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(),
            "Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_CURRENT_USER\\Software\\Acme]\r\n\"Raw\"=hex:00,ff,10\r\n\r\n");
  ASSERT_EQ(Vxhost("reg delete 'HKCU\\Software\\Acme'").code, 0);
  r = Vxhost("reg import '" + file + "'");
  ASSERT_EQ(r.code, 0) << r.out;
  r = Vxhost("reg query 'HKCU\\Software\\Acme' Raw");
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("Raw    REG_BINARY    00FF10"), std::string::npos) << r.out;

  std::ofstream(host_.root() + "/bad.reg")
      << "Windows Registry Editor Version 5.00\n[HKLM\\Y]\n\"a\"=dword:xyz\n";
  r = Vxhost("reg import '" + host_.root() + "/bad.reg'");
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.out.find("bad.reg: line 3: dword needs 1 to 8 hex digits"), std::string::npos)
      << r.out;
  r = Vxhost("reg import '" + host_.root() + "/none.reg'");
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.out.find("none.reg: cannot open the file"), std::string::npos) << r.out;
  r = Vxhost("reg export 'HKLM\\Nope' '" + file + "'");
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.out.find("HKEY_LOCAL_MACHINE\\Nope: The system cannot find the file specified."),
            std::string::npos)
      << r.out;
}

}  // namespace
