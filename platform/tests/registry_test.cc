#include "platform/registry.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>

#include "platform/error.h"
#include "platform/host.h"
#include "platform/pause.h"
#include "platform/strings.h"
#include "platform/testing/temp_host.h"

namespace platform {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes B(std::string_view s) { return Bytes(s.begin(), s.end()); }

class RegistryTest : public ::testing::Test {
 protected:
  static HostOptions Options() {
    HostOptions opt;
    opt.users = {"Administrator", "alice:Users"};
    return opt;
  }
  RegistryTest() : th_(Options()) { unsetenv("VX_ACCOUNT"); }
  ~RegistryTest() override { unsetenv("VX_ACCOUNT"); }

  // A fresh key HKLM\SOFTWARE\Test opened with every right.
  RegKey TestKey() {
    RegKey k;
    EXPECT_EQ(k.Create(RootKey::kLocalMachine, "SOFTWARE\\Test", kKeyAllAccess), 0u);
    return k;
  }
  Bytes Query(const RegKey& k, std::string_view name, uint32_t* type = nullptr) {
    uint32_t size = 0;
    EXPECT_EQ(k.QueryValue(name, type, nullptr, &size), 0u) << name;
    Bytes data(size);
    EXPECT_EQ(k.QueryValue(name, type, data.data(), &size), 0u) << name;
    data.resize(size);
    return data;
  }

  testing::TempHost th_;
};

TEST_F(RegistryTest, ValuesKeepTypeAndExactBytes) {
  struct Case {
    const char* name;
    uint32_t type;
    Bytes data;
  } cases[] = {
      {"Sz", kRegSz, B(std::string_view("C:\\Program Files\0", 17))},
      {"SzWithoutNul", kRegSz, B("abc")},
      {"Expand", kRegExpandSz, B(std::string_view("%SystemRoot%\\x\0", 15))},
      {"Multi", kRegMultiSz, B(std::string_view("one\0two\0\0", 9))},
      {"Dword", kRegDword, {0x78, 0x56, 0x34, 0x12}},
      {"Qword", kRegQword, {1, 2, 3, 4, 5, 6, 7, 0x80}},
      {"Binary", kRegBinary, {0, 0xFF, 0, 0x10, 0}},
      {"EmptyBinary", kRegBinary, {}},
      {"None", kRegNone, {9}},
      {"", kRegSz, B(std::string_view("default\0", 8))},
      {"High\xE9", kRegBinary, {0xE9}},
  };
  RegKey k = TestKey();
  for (const auto& c : cases)
    ASSERT_EQ(k.SetValue(c.name, c.type, c.data.data(), static_cast<uint32_t>(c.data.size())), 0u)
        << c.name;
  for (const auto& c : cases) {
    uint32_t type = 99, size = 12345;
    ASSERT_EQ(k.QueryValue(c.name, &type, nullptr, &size), 0u) << c.name;
    EXPECT_EQ(type, c.type) << c.name;
    EXPECT_EQ(size, c.data.size()) << c.name;
    EXPECT_EQ(Query(k, c.name), c.data) << c.name;
  }
}

TEST_F(RegistryTest, TypedWritersAndReaders) {
  RegKey k = TestKey();
  ASSERT_EQ(k.WriteString("S", "hello"), 0u);
  ASSERT_EQ(k.WriteString("E", "%TEMP%\\x", kRegExpandSz), 0u);
  ASSERT_EQ(k.WriteDword("D", 0xDEADBEEFu), 0u);
  ASSERT_EQ(k.WriteQword("Q", 0x0123456789ABCDEFull), 0u);
  ASSERT_EQ(k.WriteMultiString("M", {"a", "bc"}), 0u);
  ASSERT_EQ(k.WriteMultiString("M0", {}), 0u);

  uint32_t type = 0;
  EXPECT_EQ(Query(k, "S", &type), B(std::string_view("hello\0", 6)));
  EXPECT_EQ(type, kRegSz);
  EXPECT_EQ(Query(k, "D"), (Bytes{0xEF, 0xBE, 0xAD, 0xDE}));
  EXPECT_EQ(Query(k, "Q"), (Bytes{0xEF, 0xCD, 0xAB, 0x89, 0x67, 0x45, 0x23, 0x01}));
  EXPECT_EQ(Query(k, "M"), B(std::string_view("a\0bc\0\0", 6)));

  std::string s;
  EXPECT_EQ(k.ReadString("S", &s), 0u);
  EXPECT_EQ(s, "hello");
  EXPECT_EQ(k.ReadString("E", &s), 0u);
  EXPECT_EQ(s, "%TEMP%\\x");
  uint32_t d = 0;
  EXPECT_EQ(k.ReadDword("D", &d), 0u);
  EXPECT_EQ(d, 0xDEADBEEFu);
  uint64_t q = 0;
  EXPECT_EQ(k.ReadQword("Q", &q), 0u);
  EXPECT_EQ(q, 0x0123456789ABCDEFull);
  std::vector<std::string> m;
  EXPECT_EQ(k.ReadMultiString("M", &m), 0u);
  EXPECT_EQ(m, (std::vector<std::string>{"a", "bc"}));
  m = {"stale"};
  EXPECT_EQ(k.ReadMultiString("M0", &m), 0u);
  EXPECT_TRUE(m.empty());
  // An empty string cannot be stored inside a list: it would end it.
  EXPECT_EQ(k.WriteMultiString("Bad", {"a", "", "b"}), kErrorInvalidParameter);

  // Wrong types and sizes are refused and leave the output alone.
  uint8_t three[3] = {1, 2, 3};
  ASSERT_EQ(k.SetValue("D3", kRegDword, three, 3), 0u);
  struct Case {
    const char* what;
    std::function<uint32_t()> read;
  } cases[] = {
      {"dword from string", [&] { return k.ReadDword("S", &d); }},
      {"dword of 3 bytes", [&] { return k.ReadDword("D3", &d); }},
      {"qword from dword", [&] { return k.ReadQword("D", &q); }},
      {"string from dword", [&] { return k.ReadString("D", &s); }},
      {"multi from string", [&] { return k.ReadMultiString("S", &m); }},
  };
  d = 7;
  q = 7;
  s = "keep";
  m = {"keep"};
  for (const auto& c : cases) EXPECT_EQ(c.read(), kErrorInvalidData) << c.what;
  EXPECT_EQ(d, 7u);
  EXPECT_EQ(q, 7u);
  EXPECT_EQ(s, "keep");
  EXPECT_EQ(m, std::vector<std::string>{"keep"});
  EXPECT_EQ(k.ReadDword("Missing", &d), kErrorFileNotFound);
}

TEST_F(RegistryTest, SmallBufferGetsMoreDataAndTheNeededSize) {
  RegKey k = TestKey();
  const Bytes value = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  ASSERT_EQ(k.SetValue("V", kRegBinary, value.data(), 10), 0u);
  struct Case {
    uint32_t buffer;
    uint32_t code;
    uint32_t size_after;
  } cases[] = {{0, kErrorMoreData, 10}, {9, kErrorMoreData, 10}, {10, 0, 10}, {64, 0, 10}};
  for (const auto& c : cases) {
    Bytes buf(64, 0xAA);
    uint32_t size = c.buffer, type = 0;
    EXPECT_EQ(k.QueryValue("V", &type, buf.data(), &size), c.code) << c.buffer;
    EXPECT_EQ(size, c.size_after) << c.buffer;
    EXPECT_EQ(type, kRegBinary) << c.buffer;
    if (c.code == kErrorMoreData) {
      EXPECT_EQ(buf, Bytes(64, 0xAA)) << "buffer written on failure, size " << c.buffer;
    } else {
      EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 10), value);
    }
  }
  // Null data and size: just whether the value exists.
  EXPECT_EQ(k.QueryValue("V", nullptr, nullptr, nullptr), 0u);
  EXPECT_EQ(k.QueryValue("W", nullptr, nullptr, nullptr), kErrorFileNotFound);
  uint8_t byte = 0;
  EXPECT_EQ(k.QueryValue("V", nullptr, &byte, nullptr), kErrorInvalidParameter);
  // A missing value leaves type and size alone.
  uint32_t type = 42, size = 42;
  EXPECT_EQ(k.QueryValue("W", &type, nullptr, &size), kErrorFileNotFound);
  EXPECT_EQ(type, 42u);
  EXPECT_EQ(size, 42u);
}

TEST_F(RegistryTest, NamesIgnoreAsciiCaseAndKeepTheirStoredCase) {
  RegKey k;
  uint32_t disp = 0;
  ASSERT_EQ(k.Create(RootKey::kLocalMachine, "Software\\MixedCase\\Inner", kKeyAllAccess, &disp),
            0u);
  EXPECT_EQ(disp, kRegCreatedNewKey);
  // SOFTWARE was there already and keeps its case.
  EXPECT_EQ(k.Path(), "HKEY_LOCAL_MACHINE\\SOFTWARE\\MixedCase\\Inner");

  RegKey again;
  ASSERT_EQ(
      again.Create(RootKey::kLocalMachine, "software\\MIXEDCASE\\inner", kKeyAllAccess, &disp), 0u);
  EXPECT_EQ(disp, kRegOpenedExistingKey);
  EXPECT_EQ(again.Path(), "HKEY_LOCAL_MACHINE\\SOFTWARE\\MixedCase\\Inner");

  ASSERT_EQ(k.WriteString("ValName", "one"), 0u);
  ASSERT_EQ(again.WriteString("VALNAME", "two"), 0u);
  std::string s;
  EXPECT_EQ(k.ReadString("valname", &s), 0u);
  EXPECT_EQ(s, "two");
  RegValue v;
  ASSERT_EQ(k.EnumValue(0, &v), 0u);
  EXPECT_EQ(v.name, "ValName");
  EXPECT_EQ(k.EnumValue(1, &v), kErrorNoMoreItems);
  ASSERT_EQ(k.ReadValue("VALname", &v), 0u);
  EXPECT_EQ(v.name, "ValName");

  // Only ASCII letters fold: these two single-byte letters are different names.
  ASSERT_EQ(k.WriteDword("\xC4", 1), 0u);
  ASSERT_EQ(k.WriteDword("\xE4", 2), 0u);
  uint32_t d = 0;
  EXPECT_EQ(k.ReadDword("\xC4", &d), 0u);
  EXPECT_EQ(d, 1u);
  EXPECT_EQ(k.ReadDword("\xE4", &d), 0u);
  EXPECT_EQ(d, 2u);
}

TEST_F(RegistryTest, NameLengthLimits) {
  RegKey k = TestKey(), out;
  struct Case {
    const char* what;
    std::function<uint32_t()> op;
    uint32_t code;
  } cases[] = {
      {"key name of 255", [&] { return k.CreateKey(std::string(255, 'k'), kKeyRead, &out); }, 0},
      {"key name of 256", [&] { return k.CreateKey(std::string(256, 'k'), kKeyRead, &out); },
       kErrorInvalidParameter},
      {"open name of 256",
       [&] { return out.Open(RootKey::kLocalMachine, std::string(256, 'k'), kKeyRead); },
       kErrorInvalidParameter},
      {"value name of 16383", [&] { return k.WriteDword(std::string(16383, 'v'), 1); }, 0},
      {"value name of 16384", [&] { return k.WriteDword(std::string(16384, 'v'), 1); },
       kErrorInvalidParameter},
  };
  for (const auto& c : cases) EXPECT_EQ(c.op(), c.code) << c.what;
  uint32_t subkeys = 0, values = 0;
  ASSERT_EQ(k.QueryInfo(&subkeys, &values), 0u);
  EXPECT_EQ(subkeys, 1u);
  EXPECT_EQ(values, 1u);
}

TEST_F(RegistryTest, EnumerationFollowsCreationOrder) {
  RegKey k = TestKey();
  RegKey sub;
  for (const char* name : {"b", "A", "c"}) ASSERT_EQ(k.CreateKey(name, kKeyRead, &sub), 0u);
  for (const char* name : {"z", "", "m"}) ASSERT_EQ(k.WriteDword(name, 1), 0u);
  ASSERT_EQ(k.WriteDword("Z", 2), 0u);  // rewriting keeps the value's place
  ASSERT_EQ(k.DeleteValue("m"), 0u);
  ASSERT_EQ(k.WriteDword("m", 3), 0u);  // a new value goes last

  std::vector<std::string> keys, values;
  std::string name;
  uint32_t i = 0, code = 0;
  for (; (code = k.EnumKey(i, &name)) == 0; ++i) keys.push_back(name);
  EXPECT_EQ(code, kErrorNoMoreItems);
  RegValue v;
  for (i = 0; (code = k.EnumValue(i, &v)) == 0; ++i) values.push_back(v.name);
  EXPECT_EQ(code, kErrorNoMoreItems);
  EXPECT_EQ(keys, (std::vector<std::string>{"b", "A", "c"}));
  EXPECT_EQ(values, (std::vector<std::string>{"z", "", "m"}));
  uint32_t subkeys = 0, nvalues = 0;
  EXPECT_EQ(k.QueryInfo(&subkeys, &nvalues), 0u);
  EXPECT_EQ(subkeys, 3u);
  EXPECT_EQ(nvalues, 3u);
}

// Enumeration answers by position at the time of each call, also when the
// key changes between calls, whoever changes it.
TEST_F(RegistryTest, EnumerationByIndexSeesChangesBetweenCalls) {
  struct Case {
    const char* what;
    std::function<void()> change;  // deletes subkey "a" and value "a"
  } cases[] = {
      {"through another handle",
       [] {
         RegKey other;
         ASSERT_EQ(other.Open(RootKey::kLocalMachine, "SOFTWARE\\Test", kKeyAllAccess), 0u);
         ASSERT_EQ(other.DeleteKey("a"), 0u);
         ASSERT_EQ(other.DeleteValue("a"), 0u);
       }},
      {"by another process",
       [] {
         pid_t pid = fork();
         ASSERT_GE(pid, 0);
         if (pid == 0) {
           RegKey other;
           bool ok = other.Open(RootKey::kLocalMachine, "SOFTWARE\\Test", kKeyAllAccess) == 0 &&
                     other.DeleteKey("a") == 0 && other.DeleteValue("a") == 0;
           _exit(ok ? 0 : 1);
         }
         int status = 0;
         ASSERT_EQ(waitpid(pid, &status, 0), pid);
         ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
       }},
  };
  for (const auto& c : cases) {
    DeleteKeyTree(RootKey::kLocalMachine, "SOFTWARE\\Test");  // the previous case's keys
    RegKey k = TestKey(), sub;
    for (const char* n : {"a", "b", "c", "d"}) {
      ASSERT_EQ(k.CreateKey(n, kKeyRead, &sub), 0u);
      ASSERT_EQ(k.WriteDword(n, 1), 0u);
    }
    std::string name;
    RegValue v;
    ASSERT_EQ(k.EnumKey(0, &name), 0u);
    ASSERT_EQ(k.EnumKey(1, &name), 0u);
    EXPECT_EQ(name, "b");
    ASSERT_EQ(k.EnumValue(0, &v), 0u);
    ASSERT_EQ(k.EnumValue(1, &v), 0u);
    EXPECT_EQ(v.name, "b");
    c.change();
    // Now b, c, d: index 2 is d.
    ASSERT_EQ(k.EnumKey(2, &name), 0u) << c.what;
    EXPECT_EQ(name, "d") << c.what;
    ASSERT_EQ(k.EnumValue(2, &v), 0u) << c.what;
    EXPECT_EQ(v.name, "d") << c.what;
    EXPECT_EQ(k.EnumKey(3, &name), kErrorNoMoreItems) << c.what;
    EXPECT_EQ(k.EnumValue(3, &v), kErrorNoMoreItems) << c.what;
  }
}

TEST_F(RegistryTest, DeleteRules) {
  RegKey k = TestKey();
  RegKey sub;
  ASSERT_EQ(k.CreateKey("Parent\\Child", kKeyAllAccess, &sub), 0u);
  ASSERT_EQ(sub.WriteDword("v", 1), 0u);

  EXPECT_EQ(k.DeleteKey("Parent"), kErrorAccessDenied);  // has a subkey
  EXPECT_EQ(k.DeleteKey("Nothing"), kErrorFileNotFound);
  EXPECT_EQ(k.DeleteValue("Nothing"), kErrorFileNotFound);
  EXPECT_EQ(k.DeleteKey("Parent\\Child"), 0u);
  EXPECT_EQ(k.DeleteKey("parent"), 0u);
  RegKey probe;
  EXPECT_EQ(k.OpenKey("Parent", kKeyRead, &probe), kErrorFileNotFound);

  ASSERT_EQ(k.CreateKey("T\\A\\B", kKeyAllAccess, &sub), 0u);
  ASSERT_EQ(sub.WriteDword("v", 1), 0u);
  EXPECT_EQ(k.DeleteTree("T"), 0u);
  EXPECT_EQ(k.OpenKey("T", kKeyRead, &probe), kErrorFileNotFound);
  EXPECT_EQ(DeleteKeyTree(RootKey::kLocalMachine, "SOFTWARE\\Test\\T"), kErrorFileNotFound);

  // An empty subkey deletes the handle's own key.
  RegKey self;
  ASSERT_EQ(k.CreateKey("Self", kKeyAllAccess, &self), 0u);
  EXPECT_EQ(self.DeleteKey(""), 0u);
  EXPECT_EQ(k.OpenKey("Self", kKeyRead, &probe), kErrorFileNotFound);
  EXPECT_EQ(self.WriteDword("v", 1), kErrorKeyDeleted);

  // An empty subkey empties the handle's key and keeps it.
  ASSERT_EQ(k.CreateKey("U", kKeyAllAccess, &sub), 0u);
  ASSERT_EQ(k.WriteDword("w", 1), 0u);
  EXPECT_EQ(k.DeleteTree(""), 0u);
  uint32_t subkeys = 9, values = 9;
  EXPECT_EQ(k.QueryInfo(&subkeys, &values), 0u);
  EXPECT_EQ(subkeys, 0u);
  EXPECT_EQ(values, 0u);

  // DeleteRegistryValue over a root.
  ASSERT_EQ(k.WriteDword("x", 1), 0u);
  EXPECT_EQ(DeleteRegistryValue(RootKey::kLocalMachine, "SOFTWARE\\Test", "X"), 0u);
  EXPECT_EQ(DeleteRegistryValue(RootKey::kLocalMachine, "SOFTWARE\\Test", "X"), kErrorFileNotFound);

  // Hives and the predefined views are never deleted.
  RegKey root;
  ASSERT_EQ(root.Open(RootKey::kCurrentUser, "", kKeyAllAccess), 0u);
  EXPECT_EQ(root.DeleteKey(""), kErrorAccessDenied);
  EXPECT_EQ(root.DeleteTree(""), kErrorAccessDenied);
  EXPECT_EQ(DeleteKeyTree(RootKey::kLocalMachine, ""), kErrorAccessDenied);
  EXPECT_EQ(DeleteKeyTree(RootKey::kClassesRoot, ""), kErrorAccessDenied);
  EXPECT_EQ(DeleteKeyTree(RootKey::kUsers, ""), kErrorAccessDenied);
  ASSERT_EQ(root.Open(RootKey::kUsers, "", kKeyAllAccess), 0u);
  EXPECT_EQ(root.DeleteTree(""), kErrorAccessDenied);
  RegKey hku;
  EXPECT_EQ(hku.Open(RootKey::kUsers, "S-1-5-18", kKeyRead), 0u);
}

TEST_F(RegistryTest, HandlesRefuseWhatTheyWereNotOpenedFor) {
  RegKey setup = TestKey();
  ASSERT_EQ(setup.WriteDword("v", 1), 0u);
  RegKey child;
  ASSERT_EQ(setup.CreateKey("Child", kKeyRead, &child), 0u);

  RegKey ro, wo;
  ASSERT_EQ(ro.Open(RootKey::kLocalMachine, "SOFTWARE\\Test", kKeyRead), 0u);
  ASSERT_EQ(wo.Open(RootKey::kLocalMachine, "SOFTWARE\\Test", kKeyWrite), 0u);
  RegKey out;
  RegValue v;
  std::string name;
  uint32_t d = 0;
  struct Case {
    const char* what;
    std::function<uint32_t()> op;
  } cases[] = {
      {"read-only SetValue", [&] { return ro.WriteDword("v", 2); }},
      {"read-only DeleteValue", [&] { return ro.DeleteValue("v"); }},
      {"read-only CreateKey", [&] { return ro.CreateKey("New", kKeyAllAccess, &out); }},
      {"read-only DeleteKey", [&] { return ro.DeleteKey("Child"); }},
      {"read-only DeleteTree", [&] { return ro.DeleteTree("Child"); }},
      {"write-only QueryValue", [&] { return wo.ReadDword("v", &d); }},
      {"write-only EnumValue", [&] { return wo.EnumValue(0, &v); }},
      {"write-only EnumKey", [&] { return wo.EnumKey(0, &name); }},
      {"query-only EnumKey",
       [&] {
         RegKey q;
         uint32_t code = q.Open(RootKey::kLocalMachine, "SOFTWARE\\Test", kKeyQueryValue);
         return code ? code : q.EnumKey(0, &name);
       }},
  };
  for (const auto& c : cases) EXPECT_EQ(c.op(), kErrorAccessDenied) << c.what;
  // Nothing changed, and what the handles may do still works.
  EXPECT_EQ(ro.ReadDword("v", &d), 0u);
  EXPECT_EQ(d, 1u);
  EXPECT_EQ(ro.OpenKey("Child", kKeyRead, &out), 0u);
  EXPECT_EQ(ro.OpenKey("New", kKeyRead, &out), kErrorFileNotFound);
  EXPECT_EQ(wo.WriteDword("w", 3), 0u);
  EXPECT_EQ(wo.DeleteKey("Child"), 0u);
  RegKey closed;
  EXPECT_EQ(closed.ReadDword("v", &d), kErrorInvalidHandle);
}

TEST_F(RegistryTest, HandleOfADeletedKeyReportsKeyDeleted) {
  RegKey k = TestKey();
  RegKey victim;
  ASSERT_EQ(k.CreateKey("Victim", kKeyAllAccess, &victim), 0u);
  ASSERT_EQ(victim.WriteDword("v", 1), 0u);
  ASSERT_EQ(k.DeleteTree("Victim"), 0u);
  // A new key of the same name is another key.
  RegKey reborn;
  ASSERT_EQ(k.CreateKey("Victim", kKeyAllAccess, &reborn), 0u);
  ASSERT_EQ(reborn.WriteDword("v", 2), 0u);

  RegKey out;
  RegValue v;
  std::string name;
  uint32_t d = 0, n = 0, size = 4;
  uint8_t buf[4];
  struct Case {
    const char* what;
    std::function<uint32_t()> op;
  } cases[] = {
      {"QueryValue", [&] { return victim.QueryValue("v", nullptr, buf, &size); }},
      {"ReadDword", [&] { return victim.ReadDword("v", &d); }},
      {"SetValue", [&] { return victim.WriteDword("v", 3); }},
      {"DeleteValue", [&] { return victim.DeleteValue("v"); }},
      {"EnumValue", [&] { return victim.EnumValue(0, &v); }},
      {"EnumKey", [&] { return victim.EnumKey(0, &name); }},
      {"QueryInfo", [&] { return victim.QueryInfo(&n, &n); }},
      {"CreateKey", [&] { return victim.CreateKey("Sub", kKeyAllAccess, &out); }},
      {"OpenKey", [&] { return victim.OpenKey("", kKeyRead, &out); }},
      {"DeleteKey", [&] { return victim.DeleteKey(""); }},
      {"DeleteTree", [&] { return victim.DeleteTree(""); }},
  };
  for (const auto& c : cases) EXPECT_EQ(c.op(), kErrorKeyDeleted) << c.what;
  EXPECT_EQ(reborn.ReadDword("v", &d), 0u);
  EXPECT_EQ(d, 2u);
}

TEST_F(RegistryTest, PredefinedViewsLandInTheStoredHives) {
  const UserAccount* alice = th_.host().FindUser("alice");
  ASSERT_NE(alice, nullptr);
  struct Case {
    const char* account;
    RootKey root;
    std::string stored_path;  // under which the view's key lives
  } cases[] = {
      {"SYSTEM", RootKey::kCurrentUser, "HKEY_USERS\\S-1-5-18"},
      {"alice", RootKey::kCurrentUser, "HKEY_USERS\\" + alice->sid},
      {"alice", RootKey::kClassesRoot, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes"},
      {"alice", RootKey::kCurrentConfig,
       "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current"},
  };
  for (const auto& c : cases) {
    setenv("VX_ACCOUNT", c.account, 1);
    std::string tag = std::string(c.account) + " " + RootKeyName(c.root);
    RegKey k;
    ASSERT_EQ(k.Create(c.root, "Software\\View", kKeyAllAccess), 0u) << tag;
    EXPECT_EQ(k.Path(), c.stored_path + "\\Software\\View") << tag;
    ASSERT_EQ(k.WriteString("Who", tag), 0u);

    RegKey stored;
    bool users = c.stored_path.rfind("HKEY_USERS", 0) == 0;
    std::string below = c.stored_path.substr(c.stored_path.find('\\') + 1);
    ASSERT_EQ(stored.Open(users ? RootKey::kUsers : RootKey::kLocalMachine,
                          below + "\\Software\\View", kKeyRead),
              0u)
        << tag;
    std::string who;
    EXPECT_EQ(stored.ReadString("Who", &who), 0u);
    EXPECT_EQ(who, tag);
  }
  // The two accounts see different HKCU contents.
  std::string who;
  RegKey k;
  setenv("VX_ACCOUNT", "SYSTEM", 1);
  ASSERT_EQ(k.Open(RootKey::kCurrentUser, "Software\\View", kKeyRead), 0u);
  EXPECT_EQ(k.ReadString("Who", &who), 0u);
  EXPECT_EQ(who, "SYSTEM HKEY_CURRENT_USER");
  // The hives of known accounts exist from the start.
  RegKey hive;
  EXPECT_EQ(hive.Open(RootKey::kUsers, th_.host().FindUser("Administrator")->sid, kKeyRead), 0u);
  EXPECT_EQ(hive.Open(RootKey::kUsers, ".DEFAULT", kKeyRead), 0u);
}

TEST(RegistryRootNames, ParseAndName) {
  struct Case {
    const char* text;
    bool ok;
    RootKey root;
  } cases[] = {
      {"HKLM", true, RootKey::kLocalMachine}, {"hkey_local_machine", true, RootKey::kLocalMachine},
      {"HKCU", true, RootKey::kCurrentUser},  {"HKEY_CLASSES_ROOT", true, RootKey::kClassesRoot},
      {"HKU", true, RootKey::kUsers},         {"HKCC", true, RootKey::kCurrentConfig},
      {"HKEY_LOCAL", false, RootKey::kUsers}, {"", false, RootKey::kUsers},
  };
  for (const auto& c : cases) {
    RootKey r = RootKey::kUsers;
    EXPECT_EQ(ParseRootKey(c.text, &r), c.ok) << c.text;
    EXPECT_EQ(r, c.root) << c.text;
  }
  EXPECT_STREQ(RootKeyName(RootKey::kCurrentConfig), "HKEY_CURRENT_CONFIG");
}

TEST(RegistryNoHost, OperationsFailWithoutACurrentHost) {
  ScopedHost none(nullptr);
  if (Host::Current()) GTEST_SKIP() << "VX_HOST_ROOT names a host";
  RegKey k;
  EXPECT_EQ(k.Open(RootKey::kLocalMachine, "SOFTWARE", kKeyRead), kErrorInvalidHandle);
  EXPECT_FALSE(k.Valid());
}

// Children write concurrently through their own connections; nothing a
// child committed may be lost.
TEST_F(RegistryTest, ConcurrentProcessesLoseNothing) {
  constexpr int kChildren = 4, kValues = 60;
  RegKey shared = TestKey();  // opened before fork: children must not share it
  std::vector<pid_t> pids;
  for (int c = 0; c < kChildren; ++c) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int rc = 0;
      for (int i = 0; i < kValues && rc == 0; ++i) {
        std::string name = "c" + std::to_string(c) + "_" + std::to_string(i);
        rc = shared.WriteDword(name, static_cast<uint32_t>(c * 1000 + i));
        RegKey own;
        if (rc == 0) rc = own.Create(RootKey::kLocalMachine, "SOFTWARE\\Test\\" + name, kKeyWrite);
        if (rc == 0) rc = own.WriteString("Owner", name);
      }
      _exit(rc == 0 ? 0 : 1);
    }
    pids.push_back(pid);
  }
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (int c = 0; c < kChildren; ++c) {
    for (int i = 0; i < kValues; ++i) {
      std::string name = "c" + std::to_string(c) + "_" + std::to_string(i);
      uint32_t d = 0;
      ASSERT_EQ(shared.ReadDword(name, &d), 0u) << name;
      EXPECT_EQ(d, static_cast<uint32_t>(c * 1000 + i));
      RegKey own;
      std::string owner;
      ASSERT_EQ(own.Open(RootKey::kLocalMachine, "SOFTWARE\\Test\\" + name, kKeyRead), 0u) << name;
      EXPECT_EQ(own.ReadString("Owner", &owner), 0u);
      EXPECT_EQ(owner, name);
    }
  }
}

// Threads of one process share the host's store; each sees its own writes
// and every thread's writes are there afterwards.
TEST_F(RegistryTest, ThreadsShareTheStore) {
  constexpr int kThreads = 4, kValues = 50;
  RegKey shared = TestKey();
  std::vector<std::thread> threads;
  std::vector<int> failures(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kValues; ++i) {
        std::string name = "t" + std::to_string(t) + "_" + std::to_string(i);
        uint32_t d = 0;
        RegKey own;
        if (shared.WriteDword(name, t * 1000 + i) != 0 || shared.ReadDword(name, &d) != 0 ||
            d != static_cast<uint32_t>(t * 1000 + i) ||
            own.Create(RootKey::kLocalMachine, "SOFTWARE\\Test\\" + name, kKeyRead) != 0)
          ++failures[t];
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures, std::vector<int>(kThreads, 0));
  uint32_t subkeys = 0, values = 0;
  ASSERT_EQ(shared.QueryInfo(&subkeys, &values), 0u);
  EXPECT_EQ(subkeys, static_cast<uint32_t>(kThreads * kValues));
  EXPECT_EQ(values, static_cast<uint32_t>(kThreads * kValues));
}

Bytes Pattern(uint32_t i) {
  Bytes b(16384);
  for (size_t j = 0; j < b.size(); ++j) b[j] = static_cast<uint8_t>((i * 31 + j * 7) & 0xFF);
  return b;
}

TEST_F(RegistryTest, ProcessKilledMidWriteLeavesAWholeRegistry) {
  RegKey top;
  ASSERT_EQ(top.Create(RootKey::kLocalMachine, "SOFTWARE\\Crash", kKeyAllAccess), 0u);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    for (uint32_t i = 0;; ++i) {
      RegKey k;
      std::string path = "K" + std::to_string(i) + "\\Deep\\Leaf";
      if (top.CreateKey(path, kKeyAllAccess, &k) != 0) _exit(1);
      Bytes p = Pattern(i);
      if (k.SetValue("Blob", kRegBinary, p.data(), static_cast<uint32_t>(p.size())) != 0) _exit(1);
      if (top.WriteDword("Progress", i) != 0) _exit(1);
    }
  }
  // Let it get well into its loop, then kill it wherever it is.
  uint32_t progress = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    if (top.ReadDword("Progress", &progress) == 0 && progress >= 40) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(pid, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself";
  ASSERT_GE(progress, 40u);

  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(th_.host().RegistryFile().c_str(), &db), SQLITE_OK);
  sqlite3_stmt* st = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), "ok");
  sqlite3_finalize(st);
  sqlite3_close(db);

  // A fresh host object opens the file anew, as the next process would.
  std::string error;
  auto fresh = Host::Load(th_.root(), &error);
  ASSERT_NE(fresh, nullptr) << error;
  ScopedHost scope(fresh.get());
  RegKey crash;
  ASSERT_EQ(crash.Open(RootKey::kLocalMachine, "SOFTWARE\\Crash", kKeyRead), 0u);
  ASSERT_EQ(crash.ReadDword("Progress", &progress), 0u);
  std::string name;
  uint32_t keys = 0;
  for (uint32_t i = 0; crash.EnumKey(i, &name) == 0; ++i, ++keys) {
    uint32_t n = static_cast<uint32_t>(std::stoul(name.substr(1)));
    RegKey leaf;
    // Creating a path is one change: all of it or none.
    ASSERT_EQ(crash.OpenKey(name + "\\Deep\\Leaf", kKeyRead, &leaf), 0u) << name;
    RegValue v;
    uint32_t code = leaf.ReadValue("Blob", &v);
    if (n <= progress) {
      ASSERT_EQ(code, 0u) << name;
    }
    if (code == 0) {
      EXPECT_EQ(v.data, Pattern(n)) << name;
    }
  }
  EXPECT_GE(keys, progress + 1);
}

TEST_F(RegistryTest, PauseScaleComesFromTheRegistry) {
  unsetenv("VX_PAUSE_SCALE");
  RegKey k;
  ASSERT_EQ(k.Create(RootKey::kLocalMachine, "Software\\VXCorporate", kKeyAllAccess), 0u);
  ASSERT_EQ(k.WriteDword("PauseScale", 37), 0u);
  EXPECT_EQ(PauseScalePercent(), 37u);
}

// Everything under a key, one line per key and value, for comparing trees.
std::string Dump(const RegKey& k, const std::string& path = "") {
  std::string out = "[" + path + "]\n";
  RegValue v;
  for (uint32_t i = 0; k.EnumValue(i, &v) == 0; ++i) {
    out += v.name + " type " + std::to_string(v.type) + ":";
    for (uint8_t b : v.data) out += " " + std::to_string(b);
    out += "\n";
  }
  std::string name;
  for (uint32_t i = 0; k.EnumKey(i, &name) == 0; ++i) {
    RegKey sub;
    EXPECT_EQ(k.OpenKey(name, kKeyRead, &sub), 0u);
    out += Dump(sub, path + "\\" + name);
  }
  return out;
}

TEST_F(RegistryTest, ExportWritesTheRegistryEditorFormat) {
  RegKey k = TestKey();
  ASSERT_EQ(k.WriteString("", "def"), 0u);
  ASSERT_EQ(k.WriteString("Na\"me", "a \"q\" \\ b"), 0u);
  ASSERT_EQ(k.WriteDword("Dw", 10), 0u);
  Bytes bin = {1, 2, 0xFF};
  ASSERT_EQ(k.SetValue("Bin", kRegBinary, bin.data(), 3), 0u);
  ASSERT_EQ(k.WriteString("Exp", "%A%", kRegExpandSz), 0u);
  ASSERT_EQ(k.WriteMultiString("Multi", {"x", "y"}), 0u);
  ASSERT_EQ(k.WriteQword("Q", 1), 0u);
  RegKey sub;
  ASSERT_EQ(k.CreateKey("Sub", kKeyAllAccess, &sub), 0u);
  ASSERT_EQ(sub.WriteDword("v", 1), 0u);

  std::string text, error;
  ASSERT_TRUE(ExportRegFile(RootKey::kLocalMachine, "software\\test", &text, &error)) << error;
  EXPECT_EQ(text,
            "Windows Registry Editor Version 5.00\r\n"
            "\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n"
            "@=\"def\"\r\n"
            "\"Na\\\"me\"=\"a \\\"q\\\" \\\\ b\"\r\n"
            "\"Dw\"=dword:0000000a\r\n"
            "\"Bin\"=hex:01,02,ff\r\n"
            "\"Exp\"=hex(2):25,00,41,00,25,00,00,00\r\n"
            "\"Multi\"=hex(7):78,00,00,00,79,00,00,00,00,00\r\n"
            "\"Q\"=hex(b):01,00,00,00,00,00,00,00\r\n"
            "\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test\\Sub]\r\n"
            "\"v\"=dword:00000001\r\n"
            "\r\n");

  // Long hex data is wrapped with continuation lines of regedit's width.
  Bytes big(100, 0xAB);
  ASSERT_EQ(sub.SetValue("Big", kRegBinary, big.data(), 100), 0u);
  ASSERT_TRUE(ExportRegFile(RootKey::kLocalMachine, "SOFTWARE\\Test\\Sub", &text, &error)) << error;
  size_t lines = 0;
  for (const auto& line : Split(text, '\n')) {
    EXPECT_LE(line.size(), 81u) << line;
    if (!line.empty() && line.back() == '\r' && line.size() > 2 && line[line.size() - 2] == '\\')
      ++lines;
  }
  EXPECT_GT(lines, 3u);

  EXPECT_FALSE(ExportRegFile(RootKey::kLocalMachine, "SOFTWARE\\Missing", &text, &error));
  EXPECT_EQ(error.rfind("HKEY_LOCAL_MACHINE\\SOFTWARE\\Missing: ", 0), 0u) << error;
}

TEST_F(RegistryTest, ExportDeleteImportRestoresTheTree) {
  RegKey k = TestKey();
  Bytes big(300);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i);
  struct Val {
    const char* key;
    std::string name;
    uint32_t type;
    Bytes data;
  } vals[] = {
      {"", "", kRegSz, B(std::string_view("top\0", 4))},
      {"", "back\\slash \"quoted\"", kRegSz, B(std::string_view("x\0", 2))},
      {"", "NoNul", kRegSz, B("raw")},
      {"", "TwoLines", kRegSz, B(std::string_view("a\r\nb\0", 5))},
      {"", "Inner\0Nul", kRegSz, B(std::string_view("a\0b\0", 4))},
      {"", "HighBytes", kRegSz, B(std::string_view("caf\xE9\0", 5))},
      {"A", "Big", kRegBinary, big},
      {"A", "Empty", kRegBinary, {}},
      {"A", "Short", kRegDword, {1, 2, 3}},
      {"A", "Custom", 0x1234, {9, 8}},
      {"A", "None", kRegNone, {}},
      {"A\\Deeper", "Exp", kRegExpandSz, B(std::string_view("%PATH%;\xFF\0", 9))},
      {"A\\Deeper", "Multi", kRegMultiSz, B(std::string_view("a\0b\0\0", 5))},
      {"A\\Deeper", "Q", kRegQword, {1, 2, 3, 4, 5, 6, 7, 8}},
      {"Empty Key", "", kRegDword, {0, 0, 0, 0}},
  };
  for (const auto& v : vals) {
    RegKey sub;
    ASSERT_EQ(k.CreateKey(v.key, kKeyAllAccess, &sub), 0u);
    ASSERT_EQ(sub.SetValue(v.name, v.type, v.data.data(), static_cast<uint32_t>(v.data.size())), 0u)
        << v.name;
  }
  RegKey leaf;
  ASSERT_EQ(k.CreateKey("B\\Leaf Without Values", kKeyRead, &leaf), 0u);
  std::string before = Dump(k);

  std::string text, error;
  ASSERT_TRUE(ExportRegFile(RootKey::kLocalMachine, "SOFTWARE\\Test", &text, &error)) << error;
  ASSERT_EQ(DeleteKeyTree(RootKey::kLocalMachine, "SOFTWARE\\Test"), 0u);
  ASSERT_TRUE(ImportRegFile(text, &error)) << error;
  RegKey back;
  ASSERT_EQ(back.Open(RootKey::kLocalMachine, "SOFTWARE\\Test", kKeyRead), 0u);
  EXPECT_EQ(Dump(back), before);
  std::string again;
  ASSERT_TRUE(ExportRegFile(RootKey::kLocalMachine, "SOFTWARE\\Test", &again, &error)) << error;
  EXPECT_EQ(again, text);
}

TEST_F(RegistryTest, ImportReadsHandWrittenFiles) {
  RegKey k = TestKey();
  ASSERT_EQ(k.WriteDword("Doomed", 1), 0u);
  RegKey gone;
  ASSERT_EQ(k.CreateKey("Gone\\Child", kKeyAllAccess, &gone), 0u);
  const std::string file =
      "Windows Registry Editor Version 5.00\n"
      "; a comment\r\n"
      "\n"
      "[HKLM\\SOFTWARE\\Test]\n"
      "\"Doomed\"=-\n"
      "\"Missing\"=-\n"
      "\"Spaced\" = \"v\"   \n"
      "\"Wrapped\"=hex:01,02,\\\n"
      "   03,\\\n"
      "  04\n"
      "\"Upper\"=DWORD:FFFFFFFF\n"
      "\"Q\"=hex(b):2a,00,00,00,00,00,00,00\n"
      "@=hex(2):41,00,00,00\n"
      "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Test\\Gone]\n"
      "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Test\\NeverThere]\n"
      "[HKEY_CURRENT_USER\\Software\\Mine]\r\n"
      "\"Who\"=\"me\"\r\n";
  std::string error;
  ASSERT_TRUE(ImportRegFile(file, &error)) << error;
  uint32_t d = 0;
  EXPECT_EQ(k.ReadDword("Doomed", &d), kErrorFileNotFound);
  EXPECT_EQ(Query(k, "Spaced"), B(std::string_view("v\0", 2)));
  EXPECT_EQ(Query(k, "Wrapped"), (Bytes{1, 2, 3, 4}));
  EXPECT_EQ(k.ReadDword("upper", &d), 0u);
  EXPECT_EQ(d, 0xFFFFFFFFu);
  uint64_t q = 0;
  EXPECT_EQ(k.ReadQword("Q", &q), 0u);
  EXPECT_EQ(q, 42u);
  uint32_t type = 0;
  EXPECT_EQ(Query(k, "", &type), B(std::string_view("A\0", 2)));
  EXPECT_EQ(type, kRegExpandSz);
  RegKey probe;
  EXPECT_EQ(k.OpenKey("Gone", kKeyRead, &probe), kErrorFileNotFound);
  std::string who;
  ASSERT_EQ(probe.Open(RootKey::kCurrentUser, "Software\\Mine", kKeyRead), 0u);
  EXPECT_EQ(probe.ReadString("Who", &who), 0u);
  EXPECT_EQ(who, "me");

  // REGEDIT4 files carry text types as single bytes; Registry Editor's own
  // 5.00 files are UTF-16LE with a byte order mark.
  ASSERT_TRUE(
      ImportRegFile("REGEDIT4\n\n[HKLM\\SOFTWARE\\Test]\n\"Old\"=hex(2):41,42,00\n", &error))
      << error;
  EXPECT_EQ(Query(k, "Old"), B(std::string_view("AB\0", 3)));
  std::string utf16 = "\xFF\xFE";
  for (char c : std::string("Windows Registry Editor Version "
                            "5.00\r\n[HKLM\\SOFTWARE\\Test]\r\n\"W\"=\"\xE9\"\r\n")) {
    utf16.push_back(c);
    utf16.push_back('\0');
  }
  ASSERT_TRUE(ImportRegFile(utf16, &error)) << error;
  EXPECT_EQ(Query(k, "W"), B(std::string_view("\xE9\0", 2)));
}

TEST_F(RegistryTest, ImportReportsTheFirstBadLineAndChangesNothing) {
  const std::string head =
      "Windows Registry Editor Version 5.00\n\n[HKLM\\SOFTWARE\\Fresh]\n\"ok\"=dword:1\n";
  struct Case {
    std::string text;
    std::string error;  // expected start of the message
  } cases[] = {
      {"REGEDIT5\n[HKLM\\X]\n", "line 1: not a registry file"},
      {"", "line 1: not a registry file"},
      {head + "\"v\"=dword:123456789\n", "line 5: dword"},
      {head + "\"v\"=dword:12g\n", "line 5: dword"},
      {head + "\"v\"=hex:01,2g3\n", "line 5: '2g3' is not a hex byte"},
      {head + "\"v\"=hex:01,\\\n  02,zz\n", "line 5: 'zz' is not a hex byte"},
      {head + "\"v\"=\"unterminated\n", "line 5: missing closing quote"},
      {head + "\"v\"=\"C:\\path\"\n", "line 5: unknown escape \\p"},
      {head + "\"v\"=\"x\" junk\n", "line 5: text after the closing quote"},
      {head + "\"v\" \"x\"\n", "line 5: missing ="},
      {head + "\"v\"=str:x\n", "line 5: cannot read the data"},
      {head + "\"v\"=hex(2):41,00,42\n", "line 5: odd number of bytes"},
      {head + "\"v\"=hex(1):41,01\n", "line 5: a character outside"},
      {head + "\"v\"=hex(zz):00\n", "line 5: hex(TYPE)"},
      {head + "[HKEY_NOWHERE\\X]\n", "line 5: unknown root key 'HKEY_NOWHERE'"},
      {head + "[HKLM\\X\n", "line 5: missing ]"},
      {head + "junk\n", "line 5: cannot read 'junk'"},
      {"Windows Registry Editor Version 5.00\n\"v\"=\"x\"\n",
       "line 2: value outside a key section"},
      {head + "[-HKLM\\SOFTWARE\\Fresh]\n\"v\"=\"x\"\n", "line 6: value under a key"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(ImportRegFile(c.text, &error)) << c.text;
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << "got: " << error << "\nfor: " << c.text;
    RegKey probe;
    EXPECT_EQ(probe.Open(RootKey::kLocalMachine, "SOFTWARE\\Fresh", kKeyRead), kErrorFileNotFound)
        << c.text;
  }
  // A change that fails while applying stops there; the lines before stay.
  std::string error;
  EXPECT_FALSE(ImportRegFile(head + "[-HKEY_LOCAL_MACHINE]\n[HKLM\\SOFTWARE\\After]\n", &error));
  EXPECT_EQ(error.rfind("line 5: HKEY_LOCAL_MACHINE: ", 0), 0u) << error;
  RegKey probe;
  uint32_t d = 0;
  ASSERT_EQ(probe.Open(RootKey::kLocalMachine, "SOFTWARE\\Fresh", kKeyRead), 0u);
  EXPECT_EQ(probe.ReadDword("ok", &d), 0u);
  EXPECT_EQ(d, 1u);
  EXPECT_EQ(probe.Open(RootKey::kLocalMachine, "SOFTWARE\\After", kKeyRead), kErrorFileNotFound);
}

}  // namespace
}  // namespace platform
