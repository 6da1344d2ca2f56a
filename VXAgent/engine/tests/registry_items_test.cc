#include "VXAgent/engine/registry_items.h"

#include <gtest/gtest.h>

#include "platform/testing/temp_host.h"

namespace engine {
namespace {

using platform::RegKey;
using platform::RootKey;

class RegistryItemsTest : public ::testing::Test {
 protected:
  void SetString(RootKey root, const std::string& key, const std::string& name,
                 const std::string& value) {
    RegKey k;
    ASSERT_EQ(0u, k.Create(root, key, platform::kKeyAllAccess));
    ASSERT_EQ(0u, k.WriteString(name, value));
  }
  std::optional<std::string> GetString(RootKey root, const std::string& key, const std::string& name) {
    RegKey k;
    if (k.Open(root, key, platform::kKeyQueryValue) != 0) return std::nullopt;
    std::string out;
    if (k.ReadString(name, &out) != 0) return std::nullopt;
    return out;
  }
  bool KeyExists(RootKey root, const std::string& key) {
    RegKey k;
    return k.Open(root, key, platform::kKeyQueryValue) == 0;
  }
  platform::testing::TempHost host_;
};

TEST_F(RegistryItemsTest, ParsedFieldsPerType) {
  CRegKeyItem key("HKEY_LOCAL_MACHINE\\Software\\SpyCo", "Spy");
  EXPECT_EQ(RootKey::kLocalMachine, key.hive());
  EXPECT_EQ("Software\\SpyCo", key.subkey());
  EXPECT_EQ("Software\\oCypS", CRegKeyItem("HKLM\\Software\\SpyCo", "S").QuarantinedSubkey());
  EXPECT_FALSE(CRegKeyItem("hklm\\Software\\SpyCo", "S").hive().has_value());

  CRegValueItem value("HKCU\\Software\\Run\\\"My Spy\\Tool\"", "Spy");
  EXPECT_EQ(RootKey::kCurrentUser, value.hive());
  EXPECT_EQ("Software\\Run", value.key_path());
  EXPECT_EQ("My Spy\\Tool", value.value_name());

  CRegDataItem quoted("HKLM\\Software\\SpyCo\\Mode\\\"On\"", "Spy", true);
  CRegDataItem colon("HKLM\\Software\\SpyCo\\Mode\\:On", "Spy", false);
  for (const auto* d : {&quoted, &colon}) {
    EXPECT_EQ("Software\\SpyCo", d->key_path());
    EXPECT_EQ("Mode", d->value_name());
    EXPECT_EQ("On", d->data());
  }
  const CSpyItem* items[] = {&key, &value, &quoted};
  const char* names[] = {"Registry Key", "Registry Value", "Registry Data"};
  for (int i = 0; i < 3; ++i) EXPECT_EQ(names[i], items[i]->GetTypeName());
}

TEST_F(RegistryItemsTest, KeyPresenceAndNames) {
  SetString(RootKey::kLocalMachine, "Software\\SpyCo", "x", "1");
  struct Case {
    const char* trace;
    bool present;
  } cases[] = {
      {"HKLM\\Software\\SpyCo", true},
      {"HKEY_LOCAL_MACHINE\\Software\\SpyCo", true},
      {"HKLM\\SOFTWARE\\spyco", true},
      {"hklm\\Software\\SpyCo", false},
      {"HKLM\\Software\\Other", false},
      {"Software\\SpyCo", false},
  };
  for (const auto& c : cases) EXPECT_EQ(c.present, CRegKeyItem(c.trace, "S").IsPresent()) << c.trace;
}

TEST_F(RegistryItemsTest, KeyQuarantineRecoverDelete) {
  SetString(RootKey::kLocalMachine, "Software\\SpyCo", "Mode", "on");
  SetString(RootKey::kLocalMachine, "Software\\SpyCo\\Sub\\Deep", "v", "deep");
  CRegKeyItem key("HKLM\\Software\\SpyCo", "Spy");
  ASSERT_EQ(kTraceDone, key.Quarantine());
  EXPECT_FALSE(KeyExists(RootKey::kLocalMachine, "Software\\SpyCo"));
  EXPECT_EQ("on", GetString(RootKey::kLocalMachine, "Software\\oCypS", "Mode"));
  EXPECT_EQ("deep", GetString(RootKey::kLocalMachine, "Software\\oCypS\\Sub\\Deep", "v"));
  EXPECT_FALSE(key.IsPresent());

  ASSERT_EQ(kTraceDone, key.Remove("Spy", key.trace(), key.GetTypeName(), kRecoverQuarantined));
  EXPECT_EQ("deep", GetString(RootKey::kLocalMachine, "Software\\SpyCo\\Sub\\Deep", "v"));
  EXPECT_FALSE(KeyExists(RootKey::kLocalMachine, "Software\\oCypS"));
  EXPECT_EQ(kTraceAbsent, key.Remove("Spy", key.trace(), key.GetTypeName(), kRecoverQuarantined));

  ASSERT_EQ(kTraceDone, key.Quarantine());
  EXPECT_EQ(kTraceDone, key.Remove("Spy", key.trace(), key.GetTypeName(), kDeleteQuarantined));
  EXPECT_FALSE(KeyExists(RootKey::kLocalMachine, "Software\\oCypS"));

  SetString(RootKey::kLocalMachine, "Software\\SpyCo\\Sub", "v", "x");
  EXPECT_EQ(kTraceDone, key.Remove("Spy", key.trace(), key.GetTypeName(), kDeleteDetected));
  EXPECT_FALSE(key.IsPresent());
  EXPECT_EQ(kTraceAbsent, key.Remove("Spy", key.trace(), key.GetTypeName(), kDeleteDetected));
}

TEST_F(RegistryItemsTest, PalindromeKeyIsNeverLostByQuarantine) {
  SetString(RootKey::kLocalMachine, "Software\\abba", "v", "kept");
  CRegKeyItem key("HKLM\\Software\\abba", "Spy");
  EXPECT_EQ(kTraceFailed, key.Quarantine());
  EXPECT_EQ("kept", GetString(RootKey::kLocalMachine, "Software\\abba", "v"));
}

TEST_F(RegistryItemsTest, ValueOperations) {
  const std::string run = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
  SetString(RootKey::kLocalMachine, run, "spy", "C:\\spy.exe");
  SetString(RootKey::kLocalMachine, run, "My Spy\\Tool", "C:\\tool.exe");
  CRegValueItem plain("HKLM\\" + run + "\\spy", "Spy");
  CRegValueItem quoted("HKLM\\" + run + "\\\"My Spy\\Tool\"", "Spy");
  CRegValueItem missing("HKLM\\" + run + "\\other", "Spy");
  EXPECT_TRUE(plain.IsPresent());
  EXPECT_TRUE(quoted.IsPresent());
  EXPECT_FALSE(missing.IsPresent());
  EXPECT_FALSE(CRegValueItem("HKLM\\Software\\NoKey\\spy", "Spy").IsPresent());

  ASSERT_EQ(kTraceDone, plain.Quarantine());
  EXPECT_EQ(std::nullopt, GetString(RootKey::kLocalMachine, run, "spy"));
  EXPECT_EQ("C:\\spy.exe", GetString(RootKey::kLocalMachine, run, "yps"));
  ASSERT_EQ(kTraceDone, plain.Remove("Spy", plain.trace(), plain.GetTypeName(), kRecoverQuarantined));
  EXPECT_EQ("C:\\spy.exe", GetString(RootKey::kLocalMachine, run, "spy"));
  EXPECT_EQ(std::nullopt, GetString(RootKey::kLocalMachine, run, "yps"));
  ASSERT_EQ(kTraceDone, plain.Quarantine());
  EXPECT_EQ(kTraceDone, plain.Remove("Spy", plain.trace(), plain.GetTypeName(), kDeleteQuarantined));
  EXPECT_EQ(std::nullopt, GetString(RootKey::kLocalMachine, run, "yps"));
  EXPECT_EQ(kTraceAbsent, plain.Quarantine());

  EXPECT_EQ(kTraceDone, quoted.Remove("Spy", quoted.trace(), quoted.GetTypeName(), kDeleteDetected));
  EXPECT_FALSE(quoted.IsPresent());
  EXPECT_EQ(kTraceAbsent, quoted.Remove("Spy", quoted.trace(), quoted.GetTypeName(), kDeleteDetected));
}

TEST_F(RegistryItemsTest, OversizedValueIsNotQuarantined) {
  RegKey k;
  ASSERT_EQ(0u, k.Create(RootKey::kLocalMachine, "Software\\Big", platform::kKeyAllAccess));
  std::vector<uint8_t> big(10241, 7);
  ASSERT_EQ(0u, k.SetValue("blob", platform::kRegBinary, big.data(), static_cast<uint32_t>(big.size())));
  CRegValueItem value("HKLM\\Software\\Big\\blob", "Spy");
  EXPECT_EQ(kTraceFailed, value.Quarantine());
  EXPECT_TRUE(value.IsPresent());
}

TEST_F(RegistryItemsTest, DataMatching) {
  SetString(RootKey::kLocalMachine, "Software\\IE\\Main", "Start Page", "http://Spy.Example/");
  SetString(RootKey::kLocalMachine, "Software\\IE\\Main", "", "default text");
  SetString(RootKey::kLocalMachine, "Software\\IE\\Main", "Blank", "");
  struct Case {
    const char* trace;
    bool present;
  } cases[] = {
      {"HKLM\\Software\\IE\\Main\\Start Page\\\"http://spy.example/\"", true},
      {"HKLM\\Software\\IE\\Main\\Start Page\\\"http://spy.example\"", false},
      {"HKLM\\Software\\IE\\Main\\Start Page\\\"\"", true},
      {"HKLM\\Software\\IE\\Main\\Blank\\\"\"", false},
      {"HKLM\\Software\\IE\\Main\\(Default)\\\"DEFAULT TEXT\"", true},
      {"HKLM\\Software\\IE\\Main\\Missing\\\"\"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(c.present, CRegDataItem(c.trace, "S", true).IsPresent()) << c.trace;
}

TEST_F(RegistryItemsTest, DetectedDataTakesTheColonFormAndActs) {
  SetString(RootKey::kLocalMachine, "Software\\SpyCo", "Mode", "active");
  CRegDataItem data("HKLM\\Software\\SpyCo\\Mode\\\"active\"", "Spy", true);
  ASSERT_TRUE(data.IsPresent());
  EXPECT_EQ("HKLM\\Software\\SpyCo\\Mode\\:active", data.trace());

  ASSERT_EQ(kTraceDone, data.Quarantine());
  EXPECT_EQ("evitca", GetString(RootKey::kLocalMachine, "Software\\SpyCo", "Mode"));
  // A console order rebuilds the trace from the log's colon form.
  CRegDataItem order(data.trace(), "Spy", false);
  ASSERT_EQ(kTraceDone, order.Remove("Spy", order.trace(), order.GetTypeName(), kRecoverQuarantined));
  EXPECT_EQ("active", GetString(RootKey::kLocalMachine, "Software\\SpyCo", "Mode"));

  ASSERT_EQ(kTraceDone, order.Remove("Spy", order.trace(), order.GetTypeName(), kDeleteDetected));
  RegKey k;
  ASSERT_EQ(0u, k.Open(RootKey::kLocalMachine, "Software\\SpyCo", platform::kKeyQueryValue));
  platform::RegValue value;
  ASSERT_EQ(0u, k.ReadValue("Mode", &value));
  EXPECT_EQ(static_cast<uint32_t>(platform::kRegSz), value.type);
  EXPECT_EQ(std::vector<uint8_t>(7, 0), value.data) << "same length, all zero";
  EXPECT_FALSE(order.IsPresent());
  EXPECT_EQ(kTraceAbsent, order.Remove("Spy", order.trace(), order.GetTypeName(), kDeleteDetected));
  // Deleted data is not brought back by a recover order.
  EXPECT_EQ(kTraceAbsent, order.Remove("Spy", order.trace(), order.GetTypeName(), kRecoverQuarantined));
  EXPECT_FALSE(order.IsPresent());
}

TEST_F(RegistryItemsTest, RecoveringDataOfAnEmptyDefinitionKeepsTheText) {
  SetString(RootKey::kLocalMachine, "Software\\SpyCo", "", "C:\\spy\\run.exe");
  CRegDataItem data("HKLM\\Software\\SpyCo\\(Default)\\\"\"", "Spy", true);
  ASSERT_TRUE(data.IsPresent());
  ASSERT_EQ(kTraceDone, data.Quarantine());
  EXPECT_EQ("exe.nur\\yps\\:C", GetString(RootKey::kLocalMachine, "Software\\SpyCo", ""));
  CRegDataItem order(data.trace(), "Spy", false);
  ASSERT_EQ(kTraceDone, order.Remove("Spy", order.trace(), order.GetTypeName(), kRecoverQuarantined));
  EXPECT_EQ("C:\\spy\\run.exe", GetString(RootKey::kLocalMachine, "Software\\SpyCo", ""));
}

TEST_F(RegistryItemsTest, KeyListRewritesUserSids) {
  std::string local = host_.host().users().at(0).sid;
  ASSERT_NE(std::string::npos, local.find("S-1-5-21"));
  EXPECT_EQ(local, FindLocalUserSid());
  CRegKeyList list;
  list.AddDefinitions("Spy", {"HKEY_USERS\\S-1-5-21-9-9-9-1003\\Software\\SpyCo", "HKLM\\%WINDIR%"});
  ASSERT_EQ(2u, list.items().size());
  EXPECT_EQ("HKEY_USERS\\" + local + "\\Software\\SpyCo", list.items()[0]->trace());
  EXPECT_EQ("HKLM\\C:\\WINDOWS", list.items()[1]->trace()) << "keys are expanded";
  SetString(RootKey::kUsers, local + "\\Software\\SpyCo", "x", "1");
  EXPECT_TRUE(list.items()[0]->IsPresent());
}

TEST_F(RegistryItemsTest, ValueAndDataLists) {
  CRegValueList values;
  values.AddDefinitions("Spy", {"HKLM\\%WINDIR%\\v"});
  ASSERT_EQ(1u, values.items().size());
  EXPECT_EQ("HKLM\\%WINDIR%\\v", values.items()[0]->trace()) << "values are not expanded";
  CRegDataList data;
  data.AddDefinitions("Spy", {"HKLM\\Software\\S\\Path\\\"%WINDIR%\\spy.exe\""});
  ASSERT_EQ(1u, data.items().size());
  const auto* item = dynamic_cast<const CRegDataItem*>(data.items()[0].get());
  ASSERT_NE(nullptr, item);
  EXPECT_EQ("C:\\WINDOWS\\spy.exe", item->data());
}

}  // namespace
}  // namespace engine
