#include "platform/registry.h"

#include <cstring>
#include <mutex>

#include "platform/error.h"
#include "platform/host.h"
#include "platform/registry_store.h"
#include "platform/strings.h"

namespace platform {
namespace {

constexpr size_t kMaxKeyNameLength = 255;
constexpr size_t kMaxValueNameLength = 16383;
constexpr uint32_t kMaximumAllowed = 0x02000000u;
constexpr uint32_t kGenericAll = 0x10000000u;
constexpr uint32_t kGenericWrite = 0x40000000u;
constexpr uint32_t kGenericRead = 0x80000000u;
constexpr uint32_t kDeleteRights = kKeySetValue | kKeyCreateSubKey | kKeyDelete;

// Generic and "as much as allowed" rights as the specific key rights they
// stand for (this registry keeps no security descriptors).
uint32_t NormaliseAccess(uint32_t access) {
  if (access & (kMaximumAllowed | kGenericAll)) access |= kKeyAllAccess;
  if (access & kGenericRead) access |= kKeyRead;
  if (access & kGenericWrite) access |= kKeyWrite;
  return access;
}

// Splits a key path into its names. Empty names (a leading, trailing or
// doubled backslash) are skipped, as path strings built by programs often
// carry one. 87 for a name longer than Windows allows.
uint32_t SplitKeyPath(std::string_view path, std::vector<std::string_view>* parts) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string_view::npos) end = path.size();
    std::string_view part = path.substr(start, end - start);
    if (part.size() > kMaxKeyNameLength) return kErrorInvalidParameter;
    if (!part.empty()) parts->push_back(part);
    start = end + 1;
  }
  return kErrorSuccess;
}

// Where a predefined root lives in the stored hives.
struct RootTarget {
  RegistryStore* store = nullptr;
  int64_t hive = 0;
  const char* hive_name = "";
  std::string sid;  // HKCU: the account's hive name
  std::vector<std::string_view> prefix;
};

uint32_t ResolveRoot(RootKey root, RootTarget* t) {
  Host* host = Host::Current();
  if (!host) return kErrorInvalidHandle;
  bool users = false;
  switch (root) {
    case RootKey::kLocalMachine:
      break;
    case RootKey::kUsers:
      users = true;
      break;
    case RootKey::kCurrentUser:
      users = true;
      t->sid = host->CurrentAccount().sid;
      t->prefix = {t->sid};
      break;
    case RootKey::kClassesRoot:
      t->prefix = {"SOFTWARE", "Classes"};
      break;
    case RootKey::kCurrentConfig:
      t->prefix = {"SYSTEM", "CurrentControlSet", "Hardware Profiles", "Current"};
      break;
    default:
      return kErrorInvalidHandle;
  }
  t->store = RegistryStore::For(*host);
  t->hive_name = users ? "HKEY_USERS" : "HKEY_LOCAL_MACHINE";
  return t->store->HiveId(users, &t->hive);
}

std::string JoinPath(std::string_view base, std::string_view rest) {
  std::string out(base);
  if (!rest.empty()) {
    if (!out.empty()) out.push_back('\\');
    out.append(rest);
  }
  return out;
}

uint32_t GetLe(const std::vector<uint8_t>& d, size_t n, uint64_t* out) {
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) v |= static_cast<uint64_t>(d[i]) << (8 * i);
  *out = v;
  return kErrorSuccess;
}

}  // namespace

class RegKey::Impl {
 public:
  RegistryStore* store = nullptr;
  int64_t id = 0;
  uint32_t access = 0;
  std::string path;
  // A predefined root or view: never deleted through this handle.
  bool root = false;
  // Enumeration positions; the mutex lets threads share a handle.
  mutable std::mutex cursor_mu;
  mutable EnumCursor key_cursor, value_cursor;

  bool Can(uint32_t rights) const { return (access & rights) != 0; }
};

RegKey::RegKey() = default;
RegKey::~RegKey() = default;
RegKey::RegKey(RegKey&& other) noexcept = default;
RegKey& RegKey::operator=(RegKey&& other) noexcept = default;

void RegKey::Close() { impl_.reset(); }

// Create and Open differ only in whether missing keys are made on the way.
uint32_t RegKey::OpenOrCreate(RootKey root, std::string_view subkey, uint32_t access,
                              bool create, bool* created) {
  RootTarget t;
  std::vector<std::string_view> rel;
  uint32_t code = SplitKeyPath(subkey, &rel);
  if (code == kErrorSuccess) code = ResolveRoot(root, &t);
  if (code != kErrorSuccess) return code;
  std::vector<std::string_view> parts = t.prefix;
  parts.insert(parts.end(), rel.begin(), rel.end());
  auto impl = std::make_unique<Impl>();
  std::string stored;
  code = t.store->Walk(t.hive, parts, create, &impl->id, &stored, created);
  if (code != kErrorSuccess) return code;
  impl->store = t.store;
  impl->access = NormaliseAccess(access);
  impl->path = JoinPath(t.hive_name, stored);
  impl->root = rel.empty();
  impl_ = std::move(impl);
  return kErrorSuccess;
}

uint32_t RegKey::Create(RootKey root, std::string_view subkey, uint32_t access,
                        uint32_t* disposition) {
  bool created = false;
  uint32_t code = OpenOrCreate(root, subkey, access, true, &created);
  if (code == kErrorSuccess && disposition)
    *disposition = created ? kRegCreatedNewKey : kRegOpenedExistingKey;
  return code;
}

uint32_t RegKey::Open(RootKey root, std::string_view subkey, uint32_t access) {
  bool created = false;
  return OpenOrCreate(root, subkey, access, false, &created);
}

uint32_t RegKey::CreateKey(std::string_view subkey, uint32_t access, RegKey* out,
                           uint32_t* disposition) const {
  if (!impl_) return kErrorInvalidHandle;
  if (!impl_->Can(kKeyCreateSubKey)) return kErrorAccessDenied;
  std::vector<std::string_view> rel;
  uint32_t code = SplitKeyPath(subkey, &rel);
  if (code != kErrorSuccess) return code;
  auto impl = std::make_unique<Impl>();
  std::string stored;
  bool created = false;
  code = impl_->store->Walk(impl_->id, rel, true, &impl->id, &stored, &created);
  if (code != kErrorSuccess) return code;
  impl->store = impl_->store;
  impl->access = NormaliseAccess(access);
  impl->path = JoinPath(impl_->path, stored);
  impl->root = impl_->root && rel.empty();
  out->impl_ = std::move(impl);
  if (disposition) *disposition = created ? kRegCreatedNewKey : kRegOpenedExistingKey;
  return kErrorSuccess;
}

uint32_t RegKey::OpenKey(std::string_view subkey, uint32_t access, RegKey* out) const {
  if (!impl_) return kErrorInvalidHandle;
  std::vector<std::string_view> rel;
  uint32_t code = SplitKeyPath(subkey, &rel);
  if (code != kErrorSuccess) return code;
  auto impl = std::make_unique<Impl>();
  std::string stored;
  bool created = false;
  code = impl_->store->Walk(impl_->id, rel, false, &impl->id, &stored, &created);
  if (code != kErrorSuccess) return code;
  impl->store = impl_->store;
  impl->access = NormaliseAccess(access);
  impl->path = JoinPath(impl_->path, stored);
  impl->root = impl_->root && rel.empty();
  out->impl_ = std::move(impl);
  return kErrorSuccess;
}

uint32_t RegKey::QueryValue(std::string_view name, uint32_t* type, void* data,
                            uint32_t* size) const {
  if (!impl_) return kErrorInvalidHandle;
  if (!impl_->Can(kKeyQueryValue)) return kErrorAccessDenied;
  return impl_->store->QueryValue(impl_->id, name, type, data, size);
}

uint32_t RegKey::ReadValue(std::string_view name, RegValue* out) const {
  if (!impl_) return kErrorInvalidHandle;
  if (!impl_->Can(kKeyQueryValue)) return kErrorAccessDenied;
  uint32_t type = 0;
  std::vector<uint8_t> data;
  std::string stored;
  uint32_t code = impl_->store->ReadValue(impl_->id, name, &stored, &type, &data);
  if (code != kErrorSuccess) return code;
  out->name = std::move(stored);
  out->type = type;
  out->data = std::move(data);
  return kErrorSuccess;
}

uint32_t RegKey::ReadString(std::string_view name, std::string* out) const {
  RegValue v;
  uint32_t code = ReadValue(name, &v);
  if (code != kErrorSuccess) return code;
  if (v.type != kRegSz && v.type != kRegExpandSz) return kErrorInvalidData;
  // What a C caller sees: the text up to the first NUL.
  size_t n = 0;
  while (n < v.data.size() && v.data[n] != 0) ++n;
  out->assign(reinterpret_cast<const char*>(v.data.data()), n);
  return kErrorSuccess;
}

uint32_t RegKey::ReadDword(std::string_view name, uint32_t* out) const {
  RegValue v;
  uint32_t code = ReadValue(name, &v);
  if (code != kErrorSuccess) return code;
  if (v.type != kRegDword || v.data.size() != 4) return kErrorInvalidData;
  uint64_t x = 0;
  GetLe(v.data, 4, &x);
  *out = static_cast<uint32_t>(x);
  return kErrorSuccess;
}

uint32_t RegKey::ReadQword(std::string_view name, uint64_t* out) const {
  RegValue v;
  uint32_t code = ReadValue(name, &v);
  if (code != kErrorSuccess) return code;
  if (v.type != kRegQword || v.data.size() != 8) return kErrorInvalidData;
  GetLe(v.data, 8, out);
  return kErrorSuccess;
}

uint32_t RegKey::ReadMultiString(std::string_view name, std::vector<std::string>* out) const {
  RegValue v;
  uint32_t code = ReadValue(name, &v);
  if (code != kErrorSuccess) return code;
  if (v.type != kRegMultiSz) return kErrorInvalidData;
  // Strings end at NULs; the list ends at an empty string or at the end of
  // the data, whichever comes first (a missing final NUL is tolerated).
  std::vector<std::string> list;
  size_t i = 0;
  while (i < v.data.size()) {
    size_t j = i;
    while (j < v.data.size() && v.data[j] != 0) ++j;
    if (j == i) break;
    list.emplace_back(reinterpret_cast<const char*>(v.data.data()) + i, j - i);
    i = j + 1;
  }
  *out = std::move(list);
  return kErrorSuccess;
}

uint32_t RegKey::SetValue(std::string_view name, uint32_t type, const void* data, uint32_t size) {
  if (!impl_) return kErrorInvalidHandle;
  if (!impl_->Can(kKeySetValue)) return kErrorAccessDenied;
  if (name.size() > kMaxValueNameLength || (size && !data)) return kErrorInvalidParameter;
  return impl_->store->SetValue(impl_->id, name, type, data, size);
}

uint32_t RegKey::WriteString(std::string_view name, std::string_view value, uint32_t type) {
  if (type != kRegSz && type != kRegExpandSz) return kErrorInvalidParameter;
  std::string data(value);
  data.push_back('\0');
  return SetValue(name, type, data.data(), static_cast<uint32_t>(data.size()));
}

uint32_t RegKey::WriteDword(std::string_view name, uint32_t value) {
  uint8_t b[4];
  for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(value >> (8 * i));
  return SetValue(name, kRegDword, b, sizeof b);
}

uint32_t RegKey::WriteQword(std::string_view name, uint64_t value) {
  uint8_t b[8];
  for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(value >> (8 * i));
  return SetValue(name, kRegQword, b, sizeof b);
}

uint32_t RegKey::WriteMultiString(std::string_view name, const std::vector<std::string>& values) {
  std::string data;
  for (const auto& s : values) {
    // An empty string would end the list early when read back.
    if (s.empty() || s.find('\0') != std::string::npos) return kErrorInvalidParameter;
    data.append(s);
    data.push_back('\0');
  }
  data.push_back('\0');
  return SetValue(name, kRegMultiSz, data.data(), static_cast<uint32_t>(data.size()));
}

uint32_t RegKey::DeleteValue(std::string_view name) {
  if (!impl_) return kErrorInvalidHandle;
  if (!impl_->Can(kKeySetValue)) return kErrorAccessDenied;
  return impl_->store->DeleteValue(impl_->id, name);
}

uint32_t RegKey::DeleteKey(std::string_view subkey) {
  if (!impl_) return kErrorInvalidHandle;
  if (!impl_->Can(kDeleteRights)) return kErrorAccessDenied;
  std::vector<std::string_view> rel;
  uint32_t code = SplitKeyPath(subkey, &rel);
  if (code != kErrorSuccess) return code;
  if (rel.empty() && impl_->root) return kErrorAccessDenied;
  return impl_->store->DeleteKey(impl_->id, rel);
}

uint32_t RegKey::DeleteTree(std::string_view subkey) {
  if (!impl_) return kErrorInvalidHandle;
  if (!impl_->Can(kDeleteRights)) return kErrorAccessDenied;
  std::vector<std::string_view> rel;
  uint32_t code = SplitKeyPath(subkey, &rel);
  if (code != kErrorSuccess) return code;
  if (rel.empty() && impl_->root) return kErrorAccessDenied;
  return impl_->store->DeleteTree(impl_->id, rel);
}

uint32_t RegKey::EnumValue(uint32_t index, RegValue* out) const {
  if (!impl_) return kErrorInvalidHandle;
  if (!impl_->Can(kKeyQueryValue)) return kErrorAccessDenied;
  RegValue v;
  std::lock_guard<std::mutex> lock(impl_->cursor_mu);
  uint32_t code =
      impl_->store->EnumValue(impl_->id, index, &impl_->value_cursor, &v.name, &v.type, &v.data);
  if (code != kErrorSuccess) return code;
  *out = std::move(v);
  return kErrorSuccess;
}

uint32_t RegKey::EnumKey(uint32_t index, std::string* name) const {
  if (!impl_) return kErrorInvalidHandle;
  if (!impl_->Can(kKeyEnumerateSubKeys)) return kErrorAccessDenied;
  std::lock_guard<std::mutex> lock(impl_->cursor_mu);
  return impl_->store->EnumKey(impl_->id, index, &impl_->key_cursor, name);
}

uint32_t RegKey::QueryInfo(uint32_t* subkeys, uint32_t* values) const {
  if (!impl_) return kErrorInvalidHandle;
  if (!impl_->Can(kKeyQueryValue)) return kErrorAccessDenied;
  return impl_->store->QueryInfo(impl_->id, subkeys, values);
}

std::string RegKey::Path() const { return impl_ ? impl_->path : std::string(); }

uint32_t DeleteKeyTree(RootKey root, std::string_view subkey) {
  RegKey key;
  uint32_t code = key.Open(root, "", kKeyAllAccess);
  if (code != kErrorSuccess) return code;
  return key.DeleteTree(subkey);
}

uint32_t DeleteRegistryValue(RootKey root, std::string_view subkey, std::string_view value) {
  RegKey key;
  uint32_t code = key.Open(root, subkey, kKeySetValue);
  if (code != kErrorSuccess) return code;
  return key.DeleteValue(value);
}

namespace {
struct RootName {
  RootKey root;
  const char* longname;
  const char* shortname;
};
constexpr RootName kRootNames[] = {
    {RootKey::kClassesRoot, "HKEY_CLASSES_ROOT", "HKCR"},
    {RootKey::kCurrentUser, "HKEY_CURRENT_USER", "HKCU"},
    {RootKey::kLocalMachine, "HKEY_LOCAL_MACHINE", "HKLM"},
    {RootKey::kUsers, "HKEY_USERS", "HKU"},
    {RootKey::kCurrentConfig, "HKEY_CURRENT_CONFIG", "HKCC"},
};
}  // namespace

bool ParseRootKey(std::string_view name, RootKey* root) {
  for (const auto& r : kRootNames) {
    if (EqualsIgnoreCase(name, r.longname) || EqualsIgnoreCase(name, r.shortname)) {
      *root = r.root;
      return true;
    }
  }
  return false;
}

const char* RootKeyName(RootKey root) {
  for (const auto& r : kRootNames)
    if (r.root == root) return r.longname;
  return "";
}

}  // namespace platform
