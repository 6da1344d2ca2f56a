#include "VXAgent/engine/registry_items.h"

#include <algorithm>

#include "platform/strings.h"

namespace engine {
namespace {

using platform::RegKey;
using platform::RegValue;

constexpr uint32_t kSuccess = 0;
constexpr uint32_t kNotFound = 2;
// Values are moved through a buffer of this size; larger ones fail.
constexpr size_t kValueBuffer = 10240;
constexpr char kUserSidMark[] = "S-1-5-21";
constexpr char kDefaultValueName[] = "(Default)";

int ResultOf(uint32_t code) {
  if (code == kSuccess) return kTraceDone;
  return code == kNotFound ? kTraceAbsent : kTraceFailed;
}

std::string Reversed(std::string s) {
  std::reverse(s.begin(), s.end());
  return s;
}

// Copies every value and then every sub-key of `from` into `to`.
bool CopyTree(const RegKey& from, RegKey& to) {
  RegValue value;
  for (uint32_t i = 0; from.EnumValue(i, &value) == kSuccess; ++i) {
    if (to.SetValue(value.name, value.type, value.data.data(),
                    static_cast<uint32_t>(value.data.size())) != kSuccess)
      return false;
  }
  std::string name;
  for (uint32_t i = 0; from.EnumKey(i, &name) == kSuccess; ++i) {
    RegKey child_from, child_to;
    if (from.OpenKey(name, platform::kKeyRead, &child_from) != kSuccess) return false;
    if (to.CreateKey(name, platform::kKeyAllAccess, &child_to) != kSuccess) return false;
    if (!CopyTree(child_from, child_to)) return false;
  }
  return true;
}

// Moves the tree at `from` to `to` under `hive`: copy, then delete the
// source. A stale tree at the target is replaced.
int MoveTree(platform::RootKey hive, const std::string& from, const std::string& to) {
  if (platform::EqualsIgnoreCase(from, to)) return kTraceFailed;  // would delete what it copied
  RegKey source;
  uint32_t code = source.Open(hive, from, platform::kKeyRead);
  if (code != kSuccess) return ResultOf(code);
  platform::DeleteKeyTree(hive, to);
  RegKey target;
  if (target.Create(hive, to, platform::kKeyAllAccess) != kSuccess) return kTraceFailed;
  if (!CopyTree(source, target)) return kTraceFailed;
  source.Close();
  target.Close();
  return platform::DeleteKeyTree(hive, from) == kSuccess ? kTraceDone : kTraceFailed;
}

// Moves a value to another name in the same key.
int MoveValue(platform::RootKey hive, const std::string& key_path, const std::string& from,
              const std::string& to) {
  if (platform::EqualsIgnoreCase(from, to)) return kTraceFailed;
  RegKey key;
  uint32_t code = key.Open(hive, key_path, platform::kKeyQueryValue | platform::kKeySetValue);
  if (code != kSuccess) return ResultOf(code);
  RegValue value;
  code = key.ReadValue(from, &value);
  if (code != kSuccess) return ResultOf(code);
  if (value.data.size() > kValueBuffer) return kTraceFailed;
  if (key.SetValue(to, value.type, value.data.data(), static_cast<uint32_t>(value.data.size())) !=
      kSuccess)
    return kTraceFailed;
  return key.DeleteValue(from) == kSuccess ? kTraceDone : kTraceFailed;
}

// The text of a value: its bytes up to the first NUL.
std::string TextOf(const RegValue& value) {
  std::string text(value.data.begin(), value.data.end());
  return text.substr(0, text.find('\0'));
}

}  // namespace

CRegItem::CRegItem(std::string trace, std::string spy_name)
    : CSpyItem(std::move(trace), std::move(spy_name)) {
  RegPath path = ParseRegPath(this->trace());
  hive_ = path.hive;
  subkey_ = std::move(path.subkey);
}

// --- Registry Key ---------------------------------------------------------

std::unique_ptr<CSpyItem> CRegKeyItem::Clone() const { return std::make_unique<CRegKeyItem>(*this); }

std::string CRegKeyItem::QuarantinedSubkey() const { return ReverseLastComponent(subkey_); }

bool CRegKeyItem::IsPresent() {
  if (!hive_) return false;
  RegKey key;
  return key.Open(*hive_, subkey_, platform::kKeyQueryValue) == kSuccess;
}

int CRegKeyItem::Quarantine() {
  if (!hive_) return kTraceAbsent;
  return MoveTree(*hive_, subkey_, QuarantinedSubkey());
}

int CRegKeyItem::Remove(const std::string&, const std::string&, const std::string&, int mode) {
  if (!hive_) return kTraceAbsent;
  switch (mode) {
    case kRecoverQuarantined:
      return MoveTree(*hive_, QuarantinedSubkey(), subkey_);
    case kDeleteQuarantined:
      return ResultOf(platform::DeleteKeyTree(*hive_, QuarantinedSubkey()));
    case kDeleteDetected:
      return ResultOf(platform::DeleteKeyTree(*hive_, subkey_));
    default:
      return kTraceFailed;
  }
}

// --- Registry Value -------------------------------------------------------

CRegValueItem::CRegValueItem(std::string trace, std::string spy_name)
    : CRegItem(std::move(trace), std::move(spy_name)) {
  RegValueName parts = ParseRegValueName(subkey_);
  key_path_ = std::move(parts.key_path);
  value_name_ = std::move(parts.value_name);
}

std::unique_ptr<CSpyItem> CRegValueItem::Clone() const {
  return std::make_unique<CRegValueItem>(*this);
}

bool CRegValueItem::IsPresent() {
  if (!hive_) return false;
  RegKey key;
  if (key.Open(*hive_, key_path_, platform::kKeyQueryValue) != kSuccess) return false;
  uint32_t size = 0;
  return key.QueryValue(value_name_, nullptr, nullptr, &size) == kSuccess;
}

int CRegValueItem::Quarantine() {
  if (!hive_) return kTraceAbsent;
  return MoveValue(*hive_, key_path_, value_name_, Reversed(value_name_));
}

int CRegValueItem::Remove(const std::string&, const std::string&, const std::string&, int mode) {
  if (!hive_) return kTraceAbsent;
  switch (mode) {
    case kRecoverQuarantined:
      return MoveValue(*hive_, key_path_, Reversed(value_name_), value_name_);
    case kDeleteQuarantined:
      return ResultOf(platform::DeleteRegistryValue(*hive_, key_path_, Reversed(value_name_)));
    case kDeleteDetected:
      return ResultOf(platform::DeleteRegistryValue(*hive_, key_path_, value_name_));
    default:
      return kTraceFailed;
  }
}

// --- Registry Data --------------------------------------------------------

CRegDataItem::CRegDataItem(std::string trace, std::string spy_name, bool quoted)
    : CRegItem(std::move(trace), std::move(spy_name)) {
  RegDataParts parts = ParseRegData(subkey_, quoted);
  key_path_ = std::move(parts.key_path);
  value_name_ = std::move(parts.value_name);
  data_ = std::move(parts.data);
}

std::unique_ptr<CSpyItem> CRegDataItem::Clone() const {
  return std::make_unique<CRegDataItem>(*this);
}

std::string CRegDataItem::StoredValueName() const {
  return value_name_ == kDefaultValueName ? std::string() : value_name_;
}

bool CRegDataItem::MatchesData(const std::string& expected) const {
  if (!hive_) return false;
  RegKey key;
  if (key.Open(*hive_, key_path_, platform::kKeyQueryValue) != kSuccess) return false;
  RegValue value;
  if (key.ReadValue(StoredValueName(), &value) != kSuccess) return false;
  std::string text = TextOf(value);
  return expected.empty() ? !text.empty() : platform::EqualsIgnoreCase(expected, text);
}

bool CRegDataItem::IsPresent() {
  if (!MatchesData(data_)) return false;
  set_trace(DataTraceColonForm(trace(), data_));
  return true;
}

namespace {

// Reverses the text part of `value` (read from `name` of `key`) and writes
// it back with its type and length: the quarantined form and its undoing.
int ReverseStoredText(RegKey& key, const std::string& name, RegValue* value) {
  size_t text_length = TextOf(*value).size();
  if (text_length == 0) return kTraceAbsent;
  std::reverse(value->data.begin(), value->data.begin() + static_cast<std::ptrdiff_t>(text_length));
  return ResultOf(key.SetValue(name, value->type, value->data.data(),
                               static_cast<uint32_t>(value->data.size())));
}

}  // namespace

int CRegDataItem::Quarantine() {
  if (!hive_) return kTraceAbsent;
  RegKey key;
  uint32_t code = key.Open(*hive_, key_path_, platform::kKeyQueryValue | platform::kKeySetValue);
  if (code != kSuccess) return ResultOf(code);
  RegValue value;
  code = key.ReadValue(StoredValueName(), &value);
  if (code != kSuccess) return ResultOf(code);
  return ReverseStoredText(key, StoredValueName(), &value);
}

int CRegDataItem::Remove(const std::string&, const std::string&, const std::string&, int mode) {
  if (!hive_) return kTraceAbsent;
  RegKey key;
  uint32_t code = key.Open(*hive_, key_path_, platform::kKeyQueryValue | platform::kKeySetValue);
  if (code != kSuccess) return ResultOf(code);
  RegValue value;
  code = key.ReadValue(StoredValueName(), &value);
  if (mode == kRecoverQuarantined) {
    // A definition with empty data matched any text, so writing it back
    // would wipe the value: reversing the quarantined text again restores
    // what was there.
    if (data_.empty()) {
      if (code != kSuccess) return ResultOf(code);
      return ReverseStoredText(key, StoredValueName(), &value);
    }
    // Only a quarantined form (the definition's data reversed) is
    // recovered: data deleted meanwhile must not come back.
    if (code != kSuccess) return ResultOf(code);
    std::string reversed(data_.rbegin(), data_.rend());
    if (!platform::EqualsIgnoreCase(TextOf(value), reversed)) return kTraceAbsent;
    uint32_t type = value.type == platform::kRegSz || value.type == platform::kRegExpandSz
                        ? value.type
                        : platform::kRegSz;
    return ResultOf(key.WriteString(StoredValueName(), data_, type));
  }
  if (mode != kDeleteQuarantined && mode != kDeleteDetected) return kTraceFailed;
  if (code != kSuccess || TextOf(value).empty()) return kTraceAbsent;
  // The value stays, holding zero bytes of its old length and type.
  std::vector<uint8_t> zeros(value.data.size(), 0);
  return ResultOf(key.SetValue(StoredValueName(), value.type, zeros.data(),
                               static_cast<uint32_t>(zeros.size())));
}

// --- Collections ----------------------------------------------------------

std::string FindLocalUserSid() {
  RegKey users;
  if (users.Open(platform::RootKey::kUsers, "", platform::kKeyRead) != kSuccess) return {};
  std::string name;
  for (uint32_t i = 0; users.EnumKey(i, &name) == kSuccess; ++i)
    if (name.find(kUserSidMark) != std::string::npos) return name;
  return {};
}

void CRegKeyList::AddDefinitions(const std::string& spy_name,
                                 const std::vector<std::string>& definitions) {
  std::string local_sid = FindLocalUserSid();
  for (const std::string& definition : definitions) {
    std::string key = definition;
    expander_.Expand(key);
    if (key.find(kUserSidMark) != std::string::npos) key = RewriteUserSid(key, local_sid);
    Append(std::make_unique<CRegKeyItem>(key, spy_name));
  }
}

void CRegValueList::AddDefinitions(const std::string& spy_name,
                                   const std::vector<std::string>& definitions) {
  for (const std::string& definition : definitions)
    Append(std::make_unique<CRegValueItem>(definition, spy_name));
}

void CRegDataList::AddDefinitions(const std::string& spy_name,
                                  const std::vector<std::string>& definitions) {
  for (const std::string& definition : definitions) {
    std::string data = definition;
    expander_.Expand(data);
    Append(std::make_unique<CRegDataItem>(data, spy_name, /*quoted=*/true));
  }
}

}  // namespace engine
