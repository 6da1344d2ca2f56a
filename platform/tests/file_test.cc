#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <functional>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/file_attributes.h"
#include "platform/testing/temp_host.h"

namespace platform {
namespace {

namespace fs = std::filesystem;
using testing::TempHost;

std::string RealContent(const std::string& real) {
  std::ifstream in(real, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class FileTest : public ::testing::Test {
 protected:
  TempHost th_;
  const std::string dir_ = "C:\\work";

  void SetUp() override { ASSERT_TRUE(CreateDirectory(dir_)); }
  std::string P(const std::string& name) const { return dir_ + "\\" + name; }
  std::string Real(const std::string& name) const { return th_.Real(P(name)); }
  void Put(const std::string& name, const std::string& content) const {
    th_.WriteFile(P(name), content);
  }
};

// --- Dispositions ---

TEST_F(FileTest, DispositionsOnExistingAndMissingFiles) {
  struct Case {
    uint32_t disposition;
    bool exists;
    bool opens;
    uint32_t error;        // last error after the call
    const char* content;   // content afterwards; null: no file
  } cases[] = {
      {kCreateNew, false, true, 0, ""},
      {kCreateNew, true, false, kErrorFileExists, "old"},
      {kCreateAlways, false, true, 0, ""},
      {kCreateAlways, true, true, kErrorAlreadyExists, ""},
      {kOpenExisting, false, false, kErrorFileNotFound, nullptr},
      {kOpenExisting, true, true, 0, "old"},
      {kOpenAlways, false, true, 0, ""},
      {kOpenAlways, true, true, kErrorAlreadyExists, "old"},
      {kTruncateExisting, false, false, kErrorFileNotFound, nullptr},
      {kTruncateExisting, true, true, 0, ""},
  };
  int i = 0;
  for (const Case& c : cases) {
    std::string name = "d" + std::to_string(i++) + ".txt";
    if (c.exists) Put(name, "old");
    SetLastError(0);
    File f;
    EXPECT_EQ(f.Open(P(name), kGenericRead | kGenericWrite, kShareRead, c.disposition), c.opens)
        << "disposition " << c.disposition << " exists " << c.exists;
    EXPECT_EQ(GetLastError(), c.error) << "disposition " << c.disposition << " exists " << c.exists;
    EXPECT_EQ(f.IsValid(), c.opens);
    f.Close();
    if (c.content) {
      EXPECT_EQ(RealContent(Real(name)), c.content) << "disposition " << c.disposition;
    } else {
      EXPECT_FALSE(fs::exists(Real(name)));
    }
  }
}

TEST_F(FileTest, OpenRefusals) {
  Put("file.txt", "x");
  ASSERT_TRUE(CreateDirectory(P("sub")));
  struct Case {
    std::string path;
    uint32_t access;
    uint32_t disposition;
    uint32_t error;
  } cases[] = {
      {P("nofolder\\a.txt"), kGenericRead, kOpenExisting, kErrorPathNotFound},
      {P("nofolder\\a.txt"), kGenericWrite, kCreateAlways, kErrorPathNotFound},
      {P("file.txt\\a.txt"), kGenericWrite, kCreateAlways, kErrorPathNotFound},
      {P("sub"), kGenericRead, kOpenExisting, kErrorAccessDenied},
      {P("sub"), kGenericWrite, kOpenAlways, kErrorAccessDenied},
      {P("sub"), kGenericWrite, kCreateNew, kErrorFileExists},
      {P("file.txt"), kGenericRead, kTruncateExisting, kErrorInvalidParameter},
      {P("file.txt"), kGenericRead, 0, kErrorInvalidParameter},
      {P("file.txt"), kGenericRead, 6, kErrorInvalidParameter},
      {"C:\\bad|name.txt", kGenericRead, kOpenExisting, kErrorInvalidName},
      {"Q:\\x.txt", kGenericRead, kOpenExisting, kErrorPathNotFound},
  };
  for (const Case& c : cases) {
    File f;
    EXPECT_FALSE(f.Open(c.path, c.access, kShareAll, c.disposition)) << c.path;
    EXPECT_EQ(GetLastError(), c.error) << c.path << " disposition " << c.disposition;
    EXPECT_FALSE(f.IsValid());
  }
  EXPECT_EQ(RealContent(Real("file.txt")), "x");
}

TEST_F(FileTest, NamesAreFoundWithoutRegardToCase) {
  Put("Report.TXT", "data");
  std::string out;
  ASSERT_TRUE(ReadFileToString("c:\\WORK\\report.txt", &out));
  EXPECT_EQ(out, "data");
  File f;
  ASSERT_TRUE(f.Open("C:\\Work\\REPORT.txt", kGenericWrite, kShareNone, kCreateAlways));
  f.Close();
  // Overwritten in place, not created beside it under the other spelling.
  EXPECT_EQ(std::distance(fs::directory_iterator(th_.Real(dir_)), fs::directory_iterator()), 1);
  EXPECT_TRUE(fs::exists(Real("Report.TXT")));
}

// --- Reading, writing, positions ---

TEST_F(FileTest, ReadWriteSeekAndEndOfFile) {
  File f;
  ASSERT_TRUE(f.Open(P("rw.bin"), kGenericRead | kGenericWrite, kShareNone, kCreateNew));
  ASSERT_TRUE(f.WriteAll("0123456789"));
  uint64_t pos = 99;
  ASSERT_TRUE(f.Seek(-4, kSeekEnd, &pos));
  EXPECT_EQ(pos, 6u);
  char buf[8] = {};
  uint32_t got = 0;
  ASSERT_TRUE(f.Read(buf, sizeof buf, &got));
  EXPECT_EQ(std::string(buf, got), "6789");
  ASSERT_TRUE(f.Read(buf, sizeof buf, &got));
  EXPECT_EQ(got, 0u);  // end of file is success with nothing read

  ASSERT_TRUE(f.Seek(3, kSeekBegin));
  ASSERT_TRUE(f.SetEndOfFile());
  uint64_t size = 0;
  ASSERT_TRUE(f.GetSize(&size));
  EXPECT_EQ(size, 3u);
  ASSERT_TRUE(f.Seek(5, kSeekEnd, &pos));
  ASSERT_TRUE(f.SetEndOfFile());  // extends with zeros
  ASSERT_TRUE(f.GetSize(&size));
  EXPECT_EQ(size, 8u);

  pos = 77;
  EXPECT_FALSE(f.Seek(-9, kSeekCurrent, &pos));
  EXPECT_EQ(GetLastError(), kErrorNegativeSeek);
  EXPECT_EQ(pos, 77u);
  ASSERT_TRUE(f.Flush());
  f.Close();
  EXPECT_EQ(RealContent(Real("rw.bin")), std::string("012\0\0\0\0\0", 8));
}

TEST_F(FileTest, HandleRightsLimitWhatItDoes) {
  Put("r.txt", "abc");
  File reader;
  ASSERT_TRUE(reader.Open(P("r.txt"), kGenericRead, kShareAll, kOpenExisting));
  uint32_t written = 5;
  EXPECT_FALSE(reader.Write("x", 1, &written));
  EXPECT_EQ(GetLastError(), kErrorAccessDenied);
  EXPECT_EQ(written, 5u);
  EXPECT_FALSE(reader.SetEndOfFile());
  EXPECT_EQ(GetLastError(), kErrorAccessDenied);
  EXPECT_FALSE(reader.SetTimes(FileTimes{0, 0, FileTimeFromUnix(1000000000)}));
  EXPECT_EQ(GetLastError(), kErrorAccessDenied);

  File writer;
  ASSERT_TRUE(writer.Open(P("r.txt"), kGenericWrite, kShareAll, kOpenExisting));
  char c;
  uint32_t got = 9;
  EXPECT_FALSE(writer.Read(&c, 1, &got));
  EXPECT_EQ(GetLastError(), kErrorAccessDenied);
  EXPECT_EQ(got, 9u);

  File appender;
  ASSERT_TRUE(appender.Open(P("r.txt"), kFileAppendData, kShareAll, kOpenExisting));
  ASSERT_TRUE(appender.Seek(0, kSeekBegin));
  ASSERT_TRUE(appender.WriteAll("de"));
  appender.Close();
  EXPECT_EQ(RealContent(Real("r.txt")), "abcde");

  File closed;
  uint64_t size = 42;
  EXPECT_FALSE(closed.GetSize(&size));
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
  EXPECT_EQ(size, 42u);
}

TEST_F(FileTest, WholeFileHelpersLeaveOutputAloneOnFailure) {
  ASSERT_TRUE(WriteStringToFile(P("w.txt"), std::string("a\0b", 3)));
  std::string out = "keep";
  ASSERT_TRUE(ReadFileToString(P("w.txt"), &out));
  EXPECT_EQ(out, std::string("a\0b", 3));
  // Shorter content over longer, on a hidden file that keeps its bit.
  ASSERT_TRUE(SetFileAttributes(P("w.txt"), kAttrHidden));
  ASSERT_TRUE(WriteStringToFile(P("w.txt"), "z"));
  EXPECT_EQ(RealContent(Real("w.txt")), "z");
  EXPECT_EQ(GetFileAttributes(P("w.txt")), kAttrHidden);
  out = "keep";
  EXPECT_FALSE(ReadFileToString(P("missing.txt"), &out));
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
  EXPECT_EQ(out, "keep");
}

// --- Times ---

TEST(FileTimeTest, ConvertsBetweenUnixAndFileTime) {
  struct Case {
    int64_t seconds;
    int64_t nanos;
    FileTime ft;
  } cases[] = {
      {0, 0, 116444736000000000ULL},
      {1, 500, 116444736010000005ULL},
      {-11644473600LL, 0, 0},
      {1700000000, 0, 133444736000000000ULL},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FileTimeFromUnix(c.seconds, c.nanos), c.ft) << c.seconds;
    EXPECT_EQ(UnixFromFileTime(c.ft), c.seconds);
  }
  EXPECT_EQ(FileTimeFromUnix(-11644473601LL), 0u);  // before 1601 clamps
}

TEST_F(FileTest, FileTimesRoundTripAndZeroKeepsATime) {
  Put("t.txt", "x");
  const FileTime created = FileTimeFromUnix(946684800);       // 2000-01-01
  const FileTime accessed = FileTimeFromUnix(1000000000, 1200);
  const FileTime written = FileTimeFromUnix(1100000000);
  {
    File f;
    ASSERT_TRUE(f.Open(P("t.txt"), kGenericWrite, kShareAll, kOpenExisting));
    ASSERT_TRUE(f.SetTimes(FileTimes{created, accessed, written}));
  }
  File f;
  ASSERT_TRUE(f.Open(P("t.txt"), kGenericRead | kFileWriteAttributes, kShareAll, kOpenExisting));
  FileTimes t;
  ASSERT_TRUE(f.GetTimes(&t));
  EXPECT_EQ(t.creation, created);
  EXPECT_EQ(t.last_access, accessed);
  EXPECT_EQ(t.last_write, written);

  const FileTime later = FileTimeFromUnix(1200000000);
  ASSERT_TRUE(f.SetTimes(FileTimes{0, 0, later}));
  ASSERT_TRUE(f.GetTimes(&t));
  EXPECT_EQ(t.creation, created);
  EXPECT_EQ(t.last_access, accessed);
  EXPECT_EQ(t.last_write, later);

  FindFile find;
  FindData d;
  ASSERT_TRUE(find.First(P("t.txt"), &d));
  EXPECT_EQ(d.times.last_write, later);
  EXPECT_EQ(d.times.creation, created);
}

TEST_F(FileTest, NewFileTimesAreNow) {
  File f;
  ASSERT_TRUE(f.Open(P("new.txt"), kGenericWrite, kShareNone, kCreateNew));
  FileTimes t;
  ASSERT_TRUE(f.GetTimes(&t));
  int64_t now = static_cast<int64_t>(::time(nullptr));
  EXPECT_NEAR(static_cast<double>(UnixFromFileTime(t.last_write)), static_cast<double>(now), 5);
  EXPECT_NEAR(static_cast<double>(UnixFromFileTime(t.creation)), static_cast<double>(now), 5);
}

// --- Read-only files ---

TEST_F(FileTest, ReadOnlyFileRefusesWritingAndDeletion) {
  Put("ro.txt", "keep");
  Put("other.txt", "other");
  ASSERT_TRUE(SetFileAttributes(P("ro.txt"), kAttrReadOnly));
  struct Case {
    const char* what;
    std::function<bool()> op;
  } cases[] = {
      {"write open", [&] { File f; return f.Open(P("ro.txt"), kGenericWrite, kShareAll, kOpenExisting); }},
      {"create always", [&] { File f; return f.Open(P("ro.txt"), kGenericRead, kShareAll, kCreateAlways); }},
      {"truncate", [&] { File f; return f.Open(P("ro.txt"), kGenericWrite, kShareAll, kTruncateExisting); }},
      {"delete", [&] { return DeleteFile(P("ro.txt")); }},
      {"replaced by move", [&] { return MoveFileEx(P("other.txt"), P("ro.txt"), true); }},
      {"overwritten by copy", [&] { return CopyFile(P("other.txt"), P("ro.txt"), false); }},
      {"write helper", [&] { return WriteStringToFile(P("ro.txt"), "new"); }},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_FALSE(c.op()) << c.what;
    EXPECT_EQ(GetLastError(), kErrorAccessDenied) << c.what;
  }
  EXPECT_EQ(RealContent(Real("ro.txt")), "keep");

  // Reading and renaming stay allowed, and the bit travels with the file.
  std::string out;
  ASSERT_TRUE(ReadFileToString(P("ro.txt"), &out));
  ASSERT_TRUE(MoveFile(P("ro.txt"), P("ro2.txt")));
  EXPECT_EQ(GetFileAttributes(P("ro2.txt")), kAttrReadOnly);
  EXPECT_FALSE(DeleteFile(P("ro2.txt")));
  ASSERT_TRUE(SetFileAttributes(P("ro2.txt"), kAttrNormal));
  EXPECT_TRUE(DeleteFile(P("ro2.txt")));
}

// --- Attributes ---

TEST_F(FileTest, AttributesRoundTrip) {
  Put("a.txt", "x");
  ASSERT_TRUE(CreateDirectory(P("folder")));
  EXPECT_EQ(GetFileAttributes(P("a.txt")), kAttrArchive);  // as a fresh Windows file
  EXPECT_EQ(GetFileAttributes(P("folder")), kAttrDirectory);
  struct Case {
    const char* name;
    uint32_t set;
    uint32_t get;
  } cases[] = {
      {"a.txt", kAttrReadOnly | kAttrHidden, kAttrReadOnly | kAttrHidden},
      {"a.txt", kAttrSystem | kAttrArchive, kAttrSystem | kAttrArchive},
      {"a.txt", kAttrNormal, kAttrNormal},
      {"a.txt", 0, kAttrNormal},
      {"a.txt", kAttrHidden | kAttrDirectory, kAttrHidden},  // DIRECTORY is not settable
      {"folder", kAttrHidden | kAttrSystem, kAttrDirectory | kAttrHidden | kAttrSystem},
      {"folder", 0, kAttrDirectory},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(SetFileAttributes(P(c.name), c.set)) << c.set;
    EXPECT_EQ(GetFileAttributes(P(c.name)), c.get) << c.name << " set " << c.set;
  }
  EXPECT_TRUE(PathIsDirectory(P("FOLDER")));
  EXPECT_FALSE(PathIsDirectory(P("a.txt")));
  EXPECT_TRUE(PathFileExists(P("A.TXT")));

  EXPECT_EQ(GetFileAttributes(P("missing.txt")), kInvalidFileAttributes);
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
  EXPECT_EQ(GetFileAttributes(P("nofolder\\x")), kInvalidFileAttributes);
  EXPECT_EQ(GetLastError(), kErrorPathNotFound);
  EXPECT_FALSE(SetFileAttributes(P("missing.txt"), kAttrHidden));
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
  EXPECT_FALSE(PathFileExists(P("missing.txt")));
}

TEST_F(FileTest, ReadOnlyIsMirroredOnTheWriteBits) {
  Put("m.txt", "x");
  ASSERT_TRUE(SetFileAttributes(P("m.txt"), kAttrReadOnly | kAttrHidden));
  struct stat st;
  ASSERT_EQ(::stat(Real("m.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0222, 0u);
  unsigned char buf[8];
  ASSERT_EQ(::getxattr(Real("m.txt").c_str(), "user.vx.attrs", buf, sizeof buf), 4);
  EXPECT_EQ(buf[0], kAttrReadOnly | kAttrHidden);
  EXPECT_EQ(buf[1] | buf[2] | buf[3], 0);
  ASSERT_TRUE(SetFileAttributes(P("m.txt"), kAttrNormal));
  ASSERT_EQ(::stat(Real("m.txt").c_str(), &st), 0);
  EXPECT_NE(st.st_mode & S_IWUSR, 0u);

  // A file made read-only by a POSIX tool reads as READONLY too.
  Put("posix.txt", "x");
  ASSERT_EQ(::chmod(Real("posix.txt").c_str(), 0444), 0);
  EXPECT_EQ(GetFileAttributes(P("posix.txt")), kAttrReadOnly | kAttrArchive);
  EXPECT_FALSE(DeleteFile(P("posix.txt")));
  EXPECT_EQ(GetLastError(), kErrorAccessDenied);
}

class NoXattrFileTest : public FileTest {
 protected:
  void SetUp() override {
    FileTest::SetUp();
    file_attributes::DisableExtendedAttributesForTesting(true);
  }
  void TearDown() override { file_attributes::DisableExtendedAttributesForTesting(false); }
};

TEST_F(NoXattrFileTest, OnlyReadOnlySurvivesWithoutExtendedAttributes) {
  Put("f.txt", "x");
  ASSERT_TRUE(SetFileAttributes(P("f.txt"), kAttrReadOnly | kAttrHidden | kAttrSystem));
  EXPECT_EQ(GetFileAttributes(P("f.txt")), kAttrReadOnly | kAttrArchive);
  EXPECT_FALSE(DeleteFile(P("f.txt")));
  EXPECT_EQ(GetLastError(), kErrorAccessDenied);
  File f;
  EXPECT_FALSE(f.Open(P("f.txt"), kGenericWrite, kShareAll, kOpenExisting));
  EXPECT_EQ(GetLastError(), kErrorAccessDenied);
  ASSERT_TRUE(SetFileAttributes(P("f.txt"), 0));
  EXPECT_EQ(GetFileAttributes(P("f.txt")), kAttrArchive);
  EXPECT_TRUE(DeleteFile(P("f.txt")));

  // A creation time cannot be kept; the others still can.
  File g;
  ASSERT_TRUE(g.Open(P("g.txt"), kGenericWrite, kShareNone, kCreateNew));
  EXPECT_FALSE(g.SetTimes(FileTimes{FileTimeFromUnix(1000), 0, 0}));
  EXPECT_EQ(GetLastError(), kErrorNotSupported);
  ASSERT_TRUE(g.SetTimes(FileTimes{0, 0, FileTimeFromUnix(1000000000)}));
  FileTimes t;
  ASSERT_TRUE(g.GetTimes(&t));
  EXPECT_EQ(t.last_write, FileTimeFromUnix(1000000000));
}

TEST_F(FileTest, CreationAttributesAndHiddenOverwrite) {
  File f;
  ASSERT_TRUE(f.Open(P("h.txt"), kGenericWrite, kShareNone, kCreateNew, kAttrHidden));
  ASSERT_TRUE(f.WriteAll("x"));
  f.Close();
  EXPECT_EQ(GetFileAttributes(P("h.txt")), kAttrHidden | kAttrArchive);
  // Overwriting a hidden file must name the hidden attribute, as on Windows.
  EXPECT_FALSE(f.Open(P("h.txt"), kGenericWrite, kShareNone, kCreateAlways, kAttrNormal));
  EXPECT_EQ(GetLastError(), kErrorAccessDenied);
  ASSERT_TRUE(f.Open(P("h.txt"), kGenericWrite, kShareNone, kCreateAlways, kAttrHidden | kAttrSystem));
  f.Close();
  EXPECT_EQ(GetFileAttributes(P("h.txt")), kAttrHidden | kAttrSystem | kAttrArchive);
  // A handle that created a read-only file may still write through it.
  ASSERT_TRUE(f.Open(P("ro.txt"), kGenericWrite, kShareNone, kCreateNew, kAttrReadOnly));
  EXPECT_TRUE(f.WriteAll("data"));
  f.Close();
  EXPECT_EQ(RealContent(Real("ro.txt")), "data");
  EXPECT_EQ(GetFileAttributes(P("ro.txt")), kAttrReadOnly | kAttrArchive);
}

// --- Sharing between openers ---

struct ShareCase {
  uint32_t access1, share1, access2, share2;
  bool second_opens;
};

TEST_F(FileTest, SharingModesBetweenTwoOpeners) {
  Put("s.txt", "x");
  const uint32_t R = kGenericRead, W = kGenericWrite, D = kDeleteAccess;
  const ShareCase cases[] = {
      {R, kShareRead, R, kShareRead, true},
      {R, kShareRead, W, kShareRead, false},           // first does not share write
      {R, kShareRead | kShareWrite, W, kShareRead, true},
      {R, kShareRead | kShareWrite, W, kShareRead | kShareWrite, true},
      {W, kShareRead, R, kShareRead, false},           // second must share write the first holds
      {W, kShareRead, R, kShareRead | kShareWrite, true},
      {R, kShareNone, R, kShareAll, false},
      {R, kShareAll, R, kShareWrite, false},           // second denies read the first holds
      {D, kShareRead, D, kShareAll, false},            // delete not shared
      {R, kShareAll, D, kShareAll, true},
      {R, kShareRead | kShareWrite, D, kShareAll, false},
      {0, kShareNone, R, kShareAll, true},             // no data access: no sharing check
      {R, kShareNone, kFileReadAttributes, kShareNone, true},
      {kGenericAll, kShareAll, R, kShareRead | kShareWrite, false},  // all includes delete
  };
  int row = 0;
  for (const ShareCase& c : cases) {
    ++row;
    bool expect = c.second_opens;
    File first, second;
    ASSERT_TRUE(first.Open(P("s.txt"), c.access1, c.share1, kOpenExisting)) << row;
    SetLastError(0);
    EXPECT_EQ(second.Open(P("s.txt"), c.access2, c.share2, kOpenExisting), expect) << "row " << row;
    if (!expect) {
      EXPECT_EQ(GetLastError(), kErrorSharingViolation) << "row " << row;
    }
  }
  // Closing the handles released every lock.
  File only;
  EXPECT_TRUE(only.Open(P("s.txt"), kGenericAll, kShareNone, kOpenExisting));
}

TEST_F(FileTest, RacingExclusiveOpenersNeverBothWin) {
  Put("race.txt", "x");
  constexpr int kRounds = 300;
  std::barrier sync(2);
  int both = 0, neither = 0;
  std::atomic<int> wins{0};
  auto racer = [&] {
    for (int i = 0; i < kRounds; ++i) {
      sync.arrive_and_wait();
      File f;
      if (f.Open(P("race.txt"), kGenericRead | kGenericWrite, kShareNone, kOpenExisting)) ++wins;
      sync.arrive_and_wait();  // hold the handle until both have tried
      sync.arrive_and_wait();
    }
  };
  std::thread other(racer);
  for (int i = 0; i < kRounds; ++i) {
    sync.arrive_and_wait();
    File f;
    if (f.Open(P("race.txt"), kGenericRead | kGenericWrite, kShareNone, kOpenExisting)) ++wins;
    sync.arrive_and_wait();
    int w = wins.exchange(0);
    if (w == 2) ++both;
    if (w == 0) ++neither;
    sync.arrive_and_wait();
  }
  other.join();
  EXPECT_EQ(both, 0);
  EXPECT_EQ(neither, 0);
}

TEST_F(FileTest, OpenFileWithoutDeleteSharingRefusesDeleteAndRename) {
  Put("busy.txt", "x");
  Put("target.txt", "t");
  ASSERT_TRUE(CreateDirectory(P("tree")));
  ASSERT_TRUE(CreateDirectory(P("tree\\deep")));
  th_.WriteFile(P("tree\\deep\\in.txt"), "x");
  {
    File holder;
    ASSERT_TRUE(holder.Open(P("busy.txt"), kGenericRead, kShareRead | kShareWrite, kOpenExisting));
    File tree_holder;
    ASSERT_TRUE(tree_holder.Open(P("tree\\deep\\in.txt"), kGenericRead, kShareRead, kOpenExisting));
    struct Case {
      const char* what;
      std::function<bool()> op;
    } cases[] = {
        {"delete", [&] { return DeleteFile(P("busy.txt")); }},
        {"rename", [&] { return MoveFile(P("busy.txt"), P("moved.txt")); }},
        {"replace target", [&] { return MoveFileEx(P("target.txt"), P("busy.txt"), true); }},
        {"rename folder holding it", [&] { return MoveFile(P("tree"), P("tree2")); }},
        {"overwrite by copy", [&] { return CopyFile(P("target.txt"), P("busy.txt"), false); }},
    };
    for (const Case& c : cases) {
      SetLastError(0);
      EXPECT_FALSE(c.op()) << c.what;
      EXPECT_EQ(GetLastError(), kErrorSharingViolation) << c.what;
    }
    EXPECT_TRUE(fs::exists(Real("busy.txt")));
  }
  EXPECT_TRUE(MoveFile(P("tree"), P("tree2")));
  EXPECT_TRUE(MoveFile(P("busy.txt"), P("moved.txt")));
  EXPECT_TRUE(DeleteFile(P("moved.txt")));
}

TEST_F(FileTest, DeleteSharingAllowsDeleteWhileOpen) {
  Put("shared.txt", "x");
  File holder;
  ASSERT_TRUE(holder.Open(P("shared.txt"), kGenericRead, kShareAll, kOpenExisting));
  EXPECT_TRUE(MoveFile(P("shared.txt"), P("renamed.txt")));
  EXPECT_TRUE(DeleteFile(P("renamed.txt")));
  std::string out;
  ASSERT_TRUE(holder.ReadAll(&out));  // the open handle still reads its file
  EXPECT_EQ(out, "x");
}

// A child process that opens a file itself and holds it until told to go.
class ChildHolder {
 public:
  ChildHolder(const std::string& path, uint32_t access, uint32_t share) {
    int ready[2], go[2];
    if (::pipe(ready) != 0 || ::pipe(go) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(ready[0]);
      ::close(go[1]);
      File f;
      char ok = f.Open(path, access, share, kOpenExisting) ? 'y' : 'n';
      if (::write(ready[1], &ok, 1) != 1) ::_exit(2);
      char c;
      while (::read(go[0], &c, 1) < 0 && errno == EINTR) {
      }
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(go[0]);
    go_ = go[1];
    char ok = 0;
    opened_ = ::read(ready[0], &ok, 1) == 1 && ok == 'y';
    ::close(ready[0]);
  }
  ~ChildHolder() { Release(); }
  bool opened() const { return opened_; }
  void Release() {
    if (go_ >= 0) ::close(go_);
    go_ = -1;
    Reap();
  }
  void Kill() {
    if (pid_ > 0) ::kill(pid_, SIGKILL);
    Reap();
  }

 private:
  void Reap() {
    if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  pid_t pid_ = -1;
  int go_ = -1;
  bool opened_ = false;
};

TEST_F(FileTest, SharingIsEnforcedAcrossProcesses) {
  Put("x.txt", "x");
  {
    ChildHolder child(P("x.txt"), kGenericRead, kShareRead);
    ASSERT_TRUE(child.opened());
    EXPECT_FALSE(DeleteFile(P("x.txt")));
    EXPECT_EQ(GetLastError(), kErrorSharingViolation);
    EXPECT_FALSE(MoveFile(P("x.txt"), P("y.txt")));
    EXPECT_EQ(GetLastError(), kErrorSharingViolation);
    File w;
    EXPECT_FALSE(w.Open(P("x.txt"), kGenericWrite, kShareAll, kOpenExisting));
    EXPECT_EQ(GetLastError(), kErrorSharingViolation);
    File r;
    EXPECT_TRUE(r.Open(P("x.txt"), kGenericRead, kShareRead, kOpenExisting));
    child.Release();
  }
  EXPECT_TRUE(DeleteFile(P("x.txt")));

  // The other direction: this process holds, the child is refused.
  Put("z.txt", "z");
  {
    File mine;
    ASSERT_TRUE(mine.Open(P("z.txt"), kGenericWrite, kShareNone, kOpenExisting));
    ChildHolder child(P("z.txt"), kGenericRead, kShareAll);
    EXPECT_FALSE(child.opened());
  }
}

TEST_F(FileTest, LocksOfACrashedProcessVanish) {
  Put("crash.txt", "x");
  ChildHolder child(P("crash.txt"), kGenericRead | kGenericWrite, kShareNone);
  ASSERT_TRUE(child.opened());
  EXPECT_FALSE(DeleteFile(P("crash.txt")));
  EXPECT_EQ(GetLastError(), kErrorSharingViolation);
  child.Kill();
  EXPECT_TRUE(DeleteFile(P("crash.txt")));
}

// --- Running images ---

TEST_F(FileTest, RunningImageRefusesDeleteAndRename) {
  ASSERT_TRUE(CreateDirectory(P("app")));
  std::string image = P("app\\spy.exe");
  fs::copy_file("/bin/sleep", th_.Real(image));
  ASSERT_EQ(::chmod(th_.Real(image).c_str(), 0755), 0);
  std::string real = th_.Real(image);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::execl(real.c_str(), "spy.exe", "30", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // Wait until the child runs the image (not the test program any more).
  struct stat want;
  ASSERT_EQ(::stat(real.c_str(), &want), 0);
  std::string exe = "/proc/" + std::to_string(pid) + "/exe";
  bool running = false;
  for (int i = 0; i < 400 && !running; ++i) {
    struct stat st;
    running = ::stat(exe.c_str(), &st) == 0 && st.st_ino == want.st_ino && st.st_dev == want.st_dev;
    if (!running) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(running);

  struct Case {
    const char* what;
    std::function<bool()> op;
  } cases[] = {
      {"delete", [&] { return DeleteFile("c:\\WORK\\APP\\SPY.EXE"); }},
      {"rename", [&] { return MoveFile(image, P("app\\exe.yps")); }},
      {"rename its folder", [&] { return MoveFile(P("app"), P("ppa")); }},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_FALSE(c.op()) << c.what;
    EXPECT_EQ(GetLastError(), kErrorAccessDenied) << c.what;
  }
  // Reading it is fine (a copy of a running program).
  EXPECT_TRUE(CopyFile(image, P("copy.exe"), true));

  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  EXPECT_TRUE(MoveFile(image, P("app\\exe.yps")));
  EXPECT_TRUE(DeleteFile(P("app\\exe.yps")));
}

// --- Directory search ---

std::vector<std::string> Search(const std::string& pattern, uint32_t* error) {
  std::vector<std::string> names;
  FindFile find;
  FindData d;
  *error = 0;
  if (!find.First(pattern, &d)) {
    *error = GetLastError();
    return names;
  }
  do {
    names.push_back(d.name);
  } while (find.Next(&d));
  EXPECT_EQ(GetLastError(), kErrorNoMoreFiles);
  return names;
}

TEST_F(FileTest, WildcardSearch) {
  for (const char* n : {"a.txt", "B.TXT", "noext", "long name.html", "ab.tx", "_u"}) Put(n, "x");
  ASSERT_TRUE(CreateDirectory(P("Sub.d")));
  using V = std::vector<std::string>;
  struct Case {
    std::string pattern;
    V names;
    uint32_t error;
  } cases[] = {
      {P("*"), {".", "..", "a.txt", "ab.tx", "B.TXT", "long name.html", "noext", "Sub.d", "_u"}, 0},
      {P("*.*"), {".", "..", "a.txt", "ab.tx", "B.TXT", "long name.html", "noext", "Sub.d", "_u"}, 0},
      {P("*.txt"), {"a.txt", "B.TXT"}, 0},
      {P("*.TXT"), {"a.txt", "B.TXT"}, 0},
      {P("?.txt"), {"a.txt", "B.TXT"}, 0},
      {P("a*"), {"a.txt", "ab.tx"}, 0},
      {P("*.tx?"), {"a.txt", "ab.tx", "B.TXT"}, 0},
      {P("noext.*"), {"noext"}, 0},
      {P("NOEXT"), {"noext"}, 0},
      {P("LONGNA~1.HTM"), {"long name.html"}, 0},
      {P("*.htm"), {}, kErrorFileNotFound},
      {P("*.d"), {"Sub.d"}, 0},
      {P("zzz*"), {}, kErrorFileNotFound},
      {P("nofolder\\*.*"), {}, kErrorPathNotFound},
      {P("a.txt\\*"), {}, kErrorPathNotFound},
      {"c:\\WORK\\SUB.D\\*.*", {".", ".."}, 0},
      {"\\\\PC9\\ADMIN$\\*.*", {}, kErrorBadNetPath},
  };
  for (const Case& c : cases) {
    uint32_t error;
    V got = Search(c.pattern, &error);
    EXPECT_EQ(got, c.names) << c.pattern;
    EXPECT_EQ(error, c.error) << c.pattern;
  }
  // The drive root has no "." and "..".
  uint32_t error;
  V root = Search("C:\\*", &error);
  ASSERT_FALSE(root.empty());
  EXPECT_NE(root.front(), ".");
}

TEST_F(FileTest, SearchReportsEntryDetails) {
  Put("data.bin", "12345");
  ASSERT_TRUE(SetFileAttributes(P("data.bin"), kAttrHidden));
  ASSERT_TRUE(CreateDirectory(P("Program Files")));
  FindFile find;
  FindData d;
  d.name = "unchanged";
  EXPECT_FALSE(find.First(P("none*"), &d));
  EXPECT_EQ(d.name, "unchanged");
  ASSERT_TRUE(find.First(P("DATA.BIN"), &d));
  EXPECT_EQ(d.name, "data.bin");
  EXPECT_EQ(d.size, 5u);
  EXPECT_EQ(d.attributes, kAttrHidden);
  EXPECT_EQ(d.short_name, "");
  EXPECT_FALSE(find.Next(&d));
  EXPECT_EQ(GetLastError(), kErrorNoMoreFiles);
  ASSERT_TRUE(find.First(P("program*"), &d));
  EXPECT_EQ(d.name, "Program Files");
  EXPECT_EQ(d.short_name, "PROGRA~1");
  EXPECT_EQ(d.attributes, kAttrDirectory);
  EXPECT_EQ(d.size, 0u);
  find.Close();
  EXPECT_FALSE(find.Next(&d));
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
}

// --- Copy, move, folders ---

TEST_F(FileTest, CopyMoveAndFolderErrors) {
  Put("src.txt", "source");
  Put("dst.txt", "dest");
  ASSERT_TRUE(CreateDirectory(P("dir")));
  th_.WriteFile(P("full\\inner.txt"), "x");
  struct Case {
    const char* what;
    std::function<bool()> op;
    uint32_t error;
  } cases[] = {
      {"copy missing", [&] { return CopyFile(P("none.txt"), P("n2.txt"), false); }, kErrorFileNotFound},
      {"copy from missing folder", [&] { return CopyFile(P("no\\a"), P("n2.txt"), false); }, kErrorPathNotFound},
      {"copy onto existing", [&] { return CopyFile(P("src.txt"), P("dst.txt"), true); }, kErrorFileExists},
      {"copy a folder", [&] { return CopyFile(P("dir"), P("n3"), false); }, kErrorAccessDenied},
      {"copy onto a folder", [&] { return CopyFile(P("src.txt"), P("dir"), false); }, kErrorAccessDenied},
      {"copy into missing folder", [&] { return CopyFile(P("src.txt"), P("no\\a"), false); }, kErrorPathNotFound},
      {"copy onto itself", [&] { return CopyFile(P("src.txt"), P("SRC.TXT"), false); }, kErrorSharingViolation},
      {"move onto existing", [&] { return MoveFile(P("src.txt"), P("dst.txt")); }, kErrorAlreadyExists},
      {"move folder onto file", [&] { return MoveFile(P("dir"), P("dst.txt")); }, kErrorAlreadyExists},
      {"replace folder", [&] { return MoveFileEx(P("src.txt"), P("dir"), true); }, kErrorAccessDenied},
      {"move missing", [&] { return MoveFile(P("none.txt"), P("n4.txt")); }, kErrorFileNotFound},
      {"move into missing folder", [&] { return MoveFile(P("src.txt"), P("no\\a")); }, kErrorPathNotFound},
      {"delete missing", [&] { return DeleteFile(P("none.txt")); }, kErrorFileNotFound},
      {"delete a folder", [&] { return DeleteFile(P("dir")); }, kErrorAccessDenied},
      {"delete in missing folder", [&] { return DeleteFile(P("no\\a")); }, kErrorPathNotFound},
      {"create existing folder", [&] { return CreateDirectory(P("DIR")); }, kErrorAlreadyExists},
      {"create folder over a file", [&] { return CreateDirectory(P("src.txt")); }, kErrorAlreadyExists},
      {"create without parent", [&] { return CreateDirectory(P("no\\sub")); }, kErrorPathNotFound},
      {"remove non-empty", [&] { return RemoveDirectory(P("full")); }, kErrorDirNotEmpty},
      {"remove missing", [&] { return RemoveDirectory(P("none")); }, kErrorFileNotFound},
      {"remove a file", [&] { return RemoveDirectory(P("src.txt")); }, kErrorDirectory},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_FALSE(c.op()) << c.what;
    EXPECT_EQ(GetLastError(), c.error) << c.what;
  }
  EXPECT_EQ(RealContent(Real("src.txt")), "source");
  EXPECT_EQ(RealContent(Real("dst.txt")), "dest");
  EXPECT_FALSE(fs::exists(Real("n2.txt")));
}

TEST_F(FileTest, CopyAndMoveSucceed) {
  Put("src.txt", "source");
  Put("dst.txt", "dest");
  ASSERT_TRUE(SetFileAttributes(P("src.txt"), kAttrHidden));
  FileTimes old;
  {
    File f;
    ASSERT_TRUE(f.Open(P("src.txt"), kGenericWrite, kShareAll, kOpenExisting));
    ASSERT_TRUE(f.SetTimes(FileTimes{0, 0, FileTimeFromUnix(1000000000)}));
    ASSERT_TRUE(f.GetTimes(&old));
  }
  ASSERT_TRUE(CopyFile(P("src.txt"), P("copy.txt"), true));
  EXPECT_EQ(RealContent(Real("copy.txt")), "source");
  EXPECT_EQ(GetFileAttributes(P("copy.txt")), kAttrHidden | kAttrArchive);
  File c;
  FileTimes t;
  ASSERT_TRUE(c.Open(P("copy.txt"), kGenericRead, kShareAll, kOpenExisting));
  ASSERT_TRUE(c.GetTimes(&t));
  EXPECT_EQ(t.last_write, old.last_write);
  c.Close();

  ASSERT_TRUE(CopyFile(P("src.txt"), P("dst.txt"), false));
  EXPECT_EQ(RealContent(Real("dst.txt")), "source");

  // Replace, then a rename that changes only letter case.
  Put("new.txt", "new");
  ASSERT_TRUE(MoveFileEx(P("new.txt"), P("DST.TXT"), true));
  EXPECT_EQ(RealContent(Real("dst.txt")), "new");
  EXPECT_FALSE(fs::exists(Real("new.txt")));
  ASSERT_TRUE(MoveFile(P("dst.txt"), P("Dst.TXT")));
  EXPECT_TRUE(fs::exists(Real("Dst.TXT")));
  EXPECT_FALSE(fs::exists(Real("dst.txt")));

  // Folders move with their content; then they can be emptied and removed.
  th_.WriteFile(P("tree\\a\\b.txt"), "b");
  ASSERT_TRUE(MoveFile(P("TREE"), P("eert")));
  EXPECT_EQ(RealContent(Real("eert/a/b.txt")), "b");
  EXPECT_FALSE(MoveFile(P("eert"), P("eert\\a\\inside")));
  ASSERT_TRUE(DeleteFile(P("eert\\a\\b.txt")));
  ASSERT_TRUE(RemoveDirectory(P("eert\\a")));
  ASSERT_TRUE(RemoveDirectory(P("eert")));
  EXPECT_FALSE(fs::exists(Real("eert")));
}

// Drive D: lives on another real file system (tmpfs) than C:.
TEST(FileCrossDeviceTest, MoveBetweenRealFileSystemsCopiesFiles) {
  std::string shm = "/dev/shm/vxfiles-XXXXXX";
  if (!fs::is_directory("/dev/shm") || !::mkdtemp(shm.data())) GTEST_SKIP() << "no /dev/shm";
  HostOptions options;
  options.drives = {"C=fixed", "D=fixed:" + shm};
  {
    TempHost th(options);
    struct stat c_st, d_st;
    ASSERT_EQ(::stat(th.Real("C:\\").c_str(), &c_st), 0);
    ASSERT_EQ(::stat(shm.c_str(), &d_st), 0);
    ASSERT_NE(c_st.st_dev, d_st.st_dev);
    th.WriteFile("C:\\x\\a.txt", "moved");
    ASSERT_TRUE(SetFileAttributes("C:\\x\\a.txt", kAttrHidden));
    FileTimes set{0, 0, FileTimeFromUnix(1000000000)};
    {
      File f;
      ASSERT_TRUE(f.Open("C:\\x\\a.txt", kGenericWrite, kShareAll, kOpenExisting));
      ASSERT_TRUE(f.SetTimes(set));
    }
    ASSERT_TRUE(MoveFile("C:\\x\\a.txt", "D:\\a.txt"));
    EXPECT_FALSE(PathFileExists("C:\\x\\a.txt"));
    EXPECT_EQ(RealContent(shm + "/a.txt"), "moved");
    EXPECT_EQ(GetFileAttributes("D:\\a.txt"), kAttrHidden);
    File f;
    FileTimes got;
    ASSERT_TRUE(f.Open("D:\\a.txt", kGenericRead, kShareAll, kOpenExisting));
    ASSERT_TRUE(f.GetTimes(&got));
    EXPECT_EQ(got.last_write, set.last_write);
    f.Close();

    EXPECT_FALSE(MoveFile("C:\\x", "D:\\x"));
    EXPECT_EQ(GetLastError(), kErrorNotSameDevice);
    EXPECT_TRUE(PathIsDirectory("C:\\x"));
  }
  fs::remove_all(shm);
}

TEST_F(FileTest, ReadOnlyFolderRefusesRemoval) {
  ASSERT_TRUE(CreateDirectory(P("keep")));
  ASSERT_TRUE(SetFileAttributes(P("keep"), kAttrReadOnly));
  EXPECT_FALSE(RemoveDirectory(P("keep")));
  EXPECT_EQ(GetLastError(), kErrorAccessDenied);
  ASSERT_TRUE(SetFileAttributes(P("keep"), 0));
  EXPECT_TRUE(RemoveDirectory(P("keep")));
}

// --- Paths served by other file systems ---

// A share that serves \\PC2\ADMIN$ from this host's Windows folder, the
// way the share server does, to check that calls reach the right side.
class LoopbackShare : public FileSystem {
 public:
  std::unique_ptr<OpenFile> Open(const std::string& path, uint32_t access, uint32_t share,
                                 uint32_t disposition, uint32_t attributes) override {
    return LocalFileSystem()->Open(Local(path), access, share, disposition, attributes);
  }
  bool Delete(const std::string& path) override { return LocalFileSystem()->Delete(Local(path)); }
  bool Move(const std::string& from, const std::string& to, bool replace) override {
    return LocalFileSystem()->Move(Local(from), Local(to), replace);
  }
  bool Copy(const std::string& from, const std::string& to, bool fail_if_exists) override {
    ++copies;
    return LocalFileSystem()->Copy(from, Local(to), fail_if_exists);
  }
  bool CreateDirectory(const std::string& path) override {
    return LocalFileSystem()->CreateDirectory(Local(path));
  }
  bool RemoveDirectory(const std::string& path) override {
    return LocalFileSystem()->RemoveDirectory(Local(path));
  }
  uint32_t GetAttributes(const std::string& path) override {
    return LocalFileSystem()->GetAttributes(Local(path));
  }
  bool SetAttributes(const std::string& path, uint32_t attributes) override {
    return LocalFileSystem()->SetAttributes(Local(path), attributes);
  }
  std::unique_ptr<FindFile::Impl> FindFirst(const std::string& pattern, FindData* first) override {
    return LocalFileSystem()->FindFirst(Local(pattern), first);
  }
  int copies = 0;

 private:
  static std::string Local(const std::string& unc) {
    const std::string prefix = "\\\\PC2\\ADMIN$";
    return unc.rfind(prefix, 0) == 0 ? "C:\\WINDOWS" + unc.substr(prefix.size()) : unc;
  }
};

TEST_F(FileTest, UncPathsNeedTheShareFileSystem) {
  Put("agent.exe", "agent");
  const std::string remote = "\\\\PC2\\ADMIN$\\System32\\agent.exe";
  EXPECT_FALSE(CopyFile(P("agent.exe"), remote, false));
  EXPECT_EQ(GetLastError(), kErrorBadNetPath);
  EXPECT_EQ(GetFileAttributes(remote), kInvalidFileAttributes);
  EXPECT_EQ(GetLastError(), kErrorBadNetPath);
  File pipe;
  EXPECT_FALSE(pipe.Open("\\\\.\\pipe\\NoServer", kGenericRead, 0, kOpenExisting));
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);

  LoopbackShare share;
  RegisterRemoteFileSystem(&share);
  EXPECT_TRUE(CopyFile(P("agent.exe"), remote, false));
  EXPECT_EQ(share.copies, 1);  // the target's side copies
  EXPECT_EQ(RealContent(th_.Real("C:\\WINDOWS\\system32\\agent.exe")), "agent");
  std::string out;
  EXPECT_TRUE(ReadFileToString(remote, &out));
  EXPECT_EQ(out, "agent");
  // Across the two sides a move copies and deletes.
  EXPECT_TRUE(MoveFileEx(remote, P("back.exe"), false));
  EXPECT_EQ(RealContent(Real("back.exe")), "agent");
  EXPECT_FALSE(PathFileExists(remote));
  EXPECT_TRUE(MoveFile(P("back.exe"), "\\\\PC2\\ADMIN$\\back.exe"));
  EXPECT_FALSE(PathFileExists(P("back.exe")));
  uint32_t error;
  EXPECT_EQ(Search("\\\\PC2\\ADMIN$\\back.*", &error), std::vector<std::string>{"back.exe"});
  EXPECT_TRUE(DeleteFile("\\\\PC2\\ADMIN$\\back.exe"));
  EXPECT_FALSE(MoveFile(P("..\\work"), "\\\\PC2\\ADMIN$\\work"));
  EXPECT_EQ(GetLastError(), kErrorNotSameDevice);
  RegisterRemoteFileSystem(nullptr);
}

}  // namespace
}  // namespace platform
