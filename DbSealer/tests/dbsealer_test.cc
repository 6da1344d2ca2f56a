// DbSealer.exe run as a process on an emulated host.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "DbSealer/sealer.h"
#include "common/rc4.h"
#include "platform/file.h"
#include "platform/registry.h"
#include "platform/testing/temp_host.h"

namespace dbsealer {
namespace {

const char kFolder[] = "C:\\Program Files\\VXCorporate";

class DbSealerTest : public ::testing::Test {
 protected:
  struct Run {
    int code;
    std::string err;
  };

  void SetInstalledPath(const std::string& value, uint32_t type = platform::kRegSz) {
    platform::RegKey key;
    ASSERT_EQ(key.Create(platform::RootKey::kLocalMachine, "SOFTWARE\\VXCorporate",
                         platform::kKeyAllAccess),
              0u);
    if (type == platform::kRegDword) {
      ASSERT_EQ(key.WriteDword("InstalledPath", 7), 0u);
    } else {
      ASSERT_EQ(key.WriteString("InstalledPath", value, type), 0u);
    }
  }

  Run Exec() {
    std::string err = host_.root() + "/dbsealer.err";
    std::string cmd = "VX_HOST_ROOT='" + host_.root() + "' '" + std::getenv("VX_BIN_DIR") +
                      "/DbSealer.exe' 2>'" + err + "'";
    int status = std::system(cmd.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(err)};
  }

  std::string Read(const std::string& windows_path) { return Slurp(host_.Real(windows_path)); }
  static std::string Slurp(const std::string& real) {
    std::ifstream in(real, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  static std::string Sealed(std::string plain) {
    common::Rc4Crypt(&plain);
    return plain;
  }

  platform::testing::TempHost host_;
  const std::string spylist_ = std::string(kFolder) + "\\VXCESpylist.db";
  const std::string process_ = std::string(kFolder) + "\\ProcessSpy.DB";
  const std::string spy_data_ = std::string("\x02\x00spy definitions\x00\xff", 19);
  const std::string process_data_ = "process names\r\n";
};

TEST_F(DbSealerTest, SealsBothDatabasesAndASecondRunRestoresThem) {
  SetInstalledPath(kFolder);
  host_.WriteFile(spylist_, spy_data_);
  host_.WriteFile(process_, process_data_);

  Run first = Exec();
  EXPECT_EQ(first.code, kExitSealed) << first.err;
  EXPECT_EQ(Read(spylist_), Sealed(spy_data_));
  EXPECT_EQ(Read(process_), Sealed(process_data_));
  // The folder goes to the debugger output, nothing else is said.
  EXPECT_EQ(first.err, "[DbSealer.exe] " + std::string(kFolder) + "\n");

  Run second = Exec();
  EXPECT_EQ(second.code, kExitSealed) << second.err;
  EXPECT_EQ(Read(spylist_), spy_data_);
  EXPECT_EQ(Read(process_), process_data_);
}

TEST_F(DbSealerTest, OneDatabaseEmptyOrMissing) {
  struct Case {
    const char* name;
    bool write_process;
    std::string spy;
    int code;
  } cases[] = {
      {"only the spy list, zero length", false, "", kExitSealed},
      {"only the spy list", false, "abc", kExitSealed},
      {"both, spy list empty", true, "", kExitSealed},
  };
  SetInstalledPath(kFolder);
  for (const Case& c : cases) {
    platform::DeleteFile(process_);
    host_.WriteFile(spylist_, c.spy);
    if (c.write_process) host_.WriteFile(process_, process_data_);
    Run r = Exec();
    EXPECT_EQ(r.code, c.code) << c.name << ": " << r.err;
    EXPECT_EQ(Read(spylist_), Sealed(c.spy)) << c.name;
    EXPECT_EQ(platform::PathFileExists(process_), c.write_process) << c.name;
    if (c.write_process) {
      EXPECT_EQ(Read(process_), Sealed(process_data_)) << c.name;
    }
  }
}

TEST_F(DbSealerTest, NoInstallationFolderTouchesNothing) {
  struct Case {
    const char* name;
    bool set;  // false: the key does not exist
    std::string value;
    uint32_t type;
  } cases[] = {
      {"key missing", false, "", platform::kRegSz},
      {"value empty", true, "", platform::kRegSz},
      {"value of the wrong type", true, "", platform::kRegDword},
      {"value longer than 260 bytes", true, "C:\\" + std::string(300, 'x'), platform::kRegSz},
  };
  // Databases at the root of the drive, where the bare names would point.
  host_.WriteFile("C:\\ProcessSpy.DB", process_data_);
  host_.WriteFile("C:\\VXCEspylist.db", spy_data_);
  for (const Case& c : cases) {
    if (c.set) SetInstalledPath(c.value, c.type);
    Run r = Exec();
    EXPECT_EQ(r.code, kExitNoInstallation) << c.name;
    EXPECT_EQ(r.err, std::string(kNoPathMessage) + "\n") << c.name;
    EXPECT_EQ(Read("C:\\ProcessSpy.DB"), process_data_) << c.name;
    EXPECT_EQ(Read("C:\\VXCEspylist.db"), spy_data_) << c.name;
  }
}

TEST_F(DbSealerTest, ExpandableStringIsAcceptedAsIs) {
  SetInstalledPath(kFolder, platform::kRegExpandSz);
  host_.WriteFile(spylist_, spy_data_);
  Run r = Exec();
  EXPECT_EQ(r.code, kExitSealed) << r.err;
  EXPECT_EQ(Read(spylist_), Sealed(spy_data_));
}

TEST_F(DbSealerTest, NothingToSealIsReported) {
  for (bool folder_exists : {false, true}) {
    SetInstalledPath(kFolder);
    if (folder_exists) platform::CreateDirectory(kFolder);
    Run r = Exec();
    EXPECT_EQ(r.code, kExitNothingToSeal) << r.err;
    EXPECT_NE(r.err.find("No database to seal in " + std::string(kFolder) + "\n"),
              std::string::npos)
        << r.err;
  }
}

TEST_F(DbSealerTest, ReadOnlyDatabaseIsLeftUnchangedAndReported) {
  SetInstalledPath(kFolder);
  host_.WriteFile(spylist_, spy_data_);
  host_.WriteFile(process_, process_data_);
  ASSERT_TRUE(platform::SetFileAttributes(process_, platform::kAttrReadOnly));
  Run r = Exec();
  EXPECT_EQ(r.code, kExitSealFailed);
  EXPECT_NE(r.err.find("ProcessSpy.DB: cannot be rewritten, left unchanged"), std::string::npos)
      << r.err;
  EXPECT_EQ(Read(process_), process_data_);
  // The other database is still sealed.
  EXPECT_EQ(Read(spylist_), Sealed(spy_data_));
}

TEST(SealFileTest, MissingFileIsSkipped) {
  platform::testing::TempHost host;
  uint32_t error = 0;
  EXPECT_EQ(SealFile("C:\\nowhere\\VXCEspylist.db", &error), SealOutcome::kMissing);
  EXPECT_EQ(SealFile("C:\\VXCEspylist.db", &error), SealOutcome::kMissing);
}

}  // namespace
}  // namespace dbsealer
