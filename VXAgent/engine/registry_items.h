// Registry traces: a key, a value (anywhere under a key) and data (a value
// holding a given string); their collections. The definition syntax is in
// trace_syntax.h. Quarantined forms: a key or value under its name
// reversed, data reversed in place.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "VXAgent/engine/spy_item_list.h"
#include "VXAgent/engine/trace_syntax.h"
#include "platform/registry.h"

namespace engine {

// The common base: hive and sub-key, parsed when the trace is built. A
// trace without a known hive prefix has no hive and is never present.
class CRegItem : public CSpyItem {
 public:
  CRegItem(std::string trace, std::string spy_name);
  const std::optional<platform::RootKey>& hive() const { return hive_; }
  const std::string& subkey() const { return subkey_; }

 protected:
  std::optional<platform::RootKey> hive_;
  std::string subkey_;
};

class CRegKeyItem : public CRegItem {
 public:
  using CRegItem::CRegItem;
  std::unique_ptr<CSpyItem> Clone() const override;
  bool IsPresent() override;
  // Copies the key tree under its reversed name and deletes the original.
  int Quarantine() override;
  int Remove(const std::string& spy_name, const std::string& trace, const std::string& type_name,
             int mode) override;
  std::string GetTypeName() const override { return kRegKeyType; }

  // The sub-key with its last name reversed.
  std::string QuarantinedSubkey() const;
};

class CRegValueItem : public CRegItem {
 public:
  CRegValueItem(std::string trace, std::string spy_name);
  std::unique_ptr<CSpyItem> Clone() const override;
  bool IsPresent() override;
  // Writes the value under its reversed name and deletes the original.
  int Quarantine() override;
  int Remove(const std::string& spy_name, const std::string& trace, const std::string& type_name,
             int mode) override;
  std::string GetTypeName() const override { return kRegValueType; }

  const std::string& key_path() const { return key_path_; }
  const std::string& value_name() const { return value_name_; }

 private:
  std::string key_path_;
  std::string value_name_;
};

class CRegDataItem : public CRegItem {
 public:
  // `quoted`: the definition syntax (data in double quotes); otherwise the
  // colon syntax of the spyware log.
  CRegDataItem(std::string trace, std::string spy_name, bool quoted);
  std::unique_ptr<CSpyItem> Clone() const override;
  // MatchesData; when found the trace string takes its colon form.
  bool IsPresent() override;
  // Reverses the value's text in place.
  int Quarantine() override;
  int Remove(const std::string& spy_name, const std::string& trace, const std::string& type_name,
             int mode) override;
  std::string GetTypeName() const override { return kRegDataType; }

  // True when `expected` is not empty and equals the value's text ignoring
  // case, or when it is empty and the value's text is not.
  bool MatchesData(const std::string& expected) const;

  const std::string& key_path() const { return key_path_; }
  const std::string& value_name() const { return value_name_; }
  const std::string& data() const { return data_; }

 private:
  // "(Default)" is the unnamed value.
  std::string StoredValueName() const;
  std::string key_path_;
  std::string value_name_;
  std::string data_;
};

// The first sub-key of HKEY_USERS whose name contains "S-1-5-21" (a real
// user's hive); empty when there is none.
std::string FindLocalUserSid();

class CRegKeyList : public CSpyItemList {
 public:
  // Expand, per-user SID rewrite, one key trace per string.
  void AddDefinitions(const std::string& spy_name,
                      const std::vector<std::string>& definitions) override;
};

class CRegValueList : public CSpyItemList {
 public:
  // One value trace per string, unexpanded.
  void AddDefinitions(const std::string& spy_name,
                      const std::vector<std::string>& definitions) override;
};

class CRegDataList : public CSpyItemList {
 public:
  // Expand, one data trace per string in the quoted syntax.
  void AddDefinitions(const std::string& spy_name,
                      const std::vector<std::string>& definitions) override;
};

}  // namespace engine
