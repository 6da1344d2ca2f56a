// The registry of the current host, kept in <root>/registry.sqlite.
//
// Hives: HKEY_LOCAL_MACHINE and HKEY_USERS are stored; HKEY_CURRENT_USER is
// HKEY_USERS\<SID of the calling account>, HKEY_CLASSES_ROOT is
// HKLM\SOFTWARE\Classes and HKEY_CURRENT_CONFIG is
// HKLM\SYSTEM\CurrentControlSet\Hardware Profiles\Current. Key and value
// names compare without regard to case and keep the case they were created
// with. Several processes may use one registry at once; every change is one
// transaction, so a process killed mid-write leaves the registry whole.
//
// Like the Windows registry functions, operations return their error code
// (0 = success) and do not set the thread's last error; out-parameters are
// left untouched on failure. Codes: 2 a missing key or value, 5 a right the
// handle was not opened with (or deleting a hive root or a key that still
// has subkeys), 87 a bad name, 234 a buffer too small, 259 enumeration past
// the end, 1018 an operation on a handle whose key was deleted meanwhile,
// 1015/1016 a damaged or unusable registry file, 6 when there is no current
// host. A handle belongs to the host that was current when it was opened
// and must not outlive that host.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

class Host;

// Predefined roots, with the values of the Windows handles.
enum class RootKey : uint32_t {
  kClassesRoot = 0x80000000u,
  kCurrentUser = 0x80000001u,
  kLocalMachine = 0x80000002u,
  kUsers = 0x80000003u,
  kCurrentConfig = 0x80000005u,
};

enum RegType : uint32_t {
  kRegNone = 0,
  kRegSz = 1,
  kRegExpandSz = 2,
  kRegBinary = 3,
  kRegDword = 4,
  kRegMultiSz = 7,
  kRegQword = 11,
};

// Access rights (REGSAM).
enum RegAccess : uint32_t {
  kKeyQueryValue = 0x0001,
  kKeySetValue = 0x0002,
  kKeyCreateSubKey = 0x0004,
  kKeyEnumerateSubKeys = 0x0008,
  kKeyNotify = 0x0010,
  kKeyDelete = 0x10000,  // DELETE
  kKeyRead = 0x20019,
  kKeyWrite = 0x20006,
  kKeyAllAccess = 0xF003F,
};

enum RegDisposition : uint32_t { kRegCreatedNewKey = 1, kRegOpenedExistingKey = 2 };

// A value as read back.
struct RegValue {
  std::string name;
  uint32_t type = kRegNone;
  std::vector<uint8_t> data;
};

// RAII handle to an open key (RegCreateKeyExA / RegOpenKeyExA / RegCloseKey).
class RegKey {
 public:
  RegKey();
  ~RegKey();
  RegKey(RegKey&& other) noexcept;
  RegKey& operator=(RegKey&& other) noexcept;
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;

  // Creates (with every missing parent, in one change) or opens `subkey`
  // under `root`; an empty `subkey` is the root itself. Names are separated
  // by backslashes (empty names are skipped); a name longer than 255
  // characters is refused (87). On success this object holds the new handle
  // (any key it held is closed); on failure it is left as it was. `access`
  // is what the handle may do afterwards; generic and MAXIMUM_ALLOWED rights
  // count as the key rights they stand for.
  uint32_t Create(RootKey root, std::string_view subkey, uint32_t access,
                  uint32_t* disposition = nullptr);
  // Opens an existing key: 2 when it does not exist.
  uint32_t Open(RootKey root, std::string_view subkey, uint32_t access);
  // The same relative to this open key. CreateKey needs kKeyCreateSubKey on
  // this handle (5 otherwise); OpenKey needs no right.
  uint32_t CreateKey(std::string_view subkey, uint32_t access, RegKey* out,
                     uint32_t* disposition = nullptr) const;
  uint32_t OpenKey(std::string_view subkey, uint32_t access, RegKey* out) const;
  void Close();
  bool Valid() const { return impl_ != nullptr; }

  // RegQueryValueExA: `data` may be null to ask for type and size only;
  // with a buffer smaller than the value, returns 234, sets `*type` and
  // sets `*size` to the size needed, leaving the buffer alone. String values
  // count their terminating NUL. An empty `name` is the unnamed default
  // value. 2 when the value does not exist; 87 for `data` without `size`.
  // Needs kKeyQueryValue, as do all reads.
  uint32_t QueryValue(std::string_view name, uint32_t* type, void* data,
                      uint32_t* size) const;
  // Typed reads. ReadString accepts SZ and EXPAND_SZ (without expanding)
  // and gives the text up to the first NUL; the others require their exact
  // type and size (13 otherwise). ReadMultiString stops at the first empty
  // string.
  uint32_t ReadString(std::string_view name, std::string* out) const;
  uint32_t ReadDword(std::string_view name, uint32_t* out) const;
  uint32_t ReadQword(std::string_view name, uint64_t* out) const;
  uint32_t ReadMultiString(std::string_view name, std::vector<std::string>* out) const;
  // The whole value; `out->name` is the name in its stored case.
  uint32_t ReadValue(std::string_view name, RegValue* out) const;

  // RegSetValueExA: stores exactly `size` bytes with `type`. 5 on a handle
  // opened without kKeySetValue; 87 for a name over 16,383 characters.
  // Overwriting a value keeps its place in the enumeration and its name's
  // stored case.
  uint32_t SetValue(std::string_view name, uint32_t type, const void* data, uint32_t size);
  // SZ or EXPAND_SZ with the terminating NUL counted.
  uint32_t WriteString(std::string_view name, std::string_view value, uint32_t type = kRegSz);
  uint32_t WriteDword(std::string_view name, uint32_t value);
  uint32_t WriteQword(std::string_view name, uint64_t value);
  // Each string NUL-terminated, then one more NUL. An empty string inside
  // the list is refused (87): readers would take it for the list's end.
  uint32_t WriteMultiString(std::string_view name, const std::vector<std::string>& values);

  uint32_t DeleteValue(std::string_view name);
  // Deleting needs a handle opened for writing (kKeySetValue,
  // kKeyCreateSubKey or kKeyDelete); hive roots and the predefined views are
  // never deleted (5).
  // RegDeleteKeyA: refuses a key that has subkeys (5). An empty `subkey`
  // deletes this handle's own key.
  uint32_t DeleteKey(std::string_view subkey);
  // SHDeleteKeyA / RegDeleteTree: the key with all its subkeys and values.
  // An empty `subkey` empties this handle's key (values and subkeys) and
  // keeps the key itself, as RegDeleteTree does.
  uint32_t DeleteTree(std::string_view subkey);

  // Enumeration by index in creation order; 259 past the end. Values need
  // kKeyQueryValue, subkeys kKeyEnumerateSubKeys, QueryInfo kKeyQueryValue.
  uint32_t EnumValue(uint32_t index, RegValue* out) const;
  uint32_t EnumKey(uint32_t index, std::string* name) const;
  uint32_t QueryInfo(uint32_t* subkeys, uint32_t* values) const;

  // The key's full path below its stored hive ("HKEY_LOCAL_MACHINE\SOFTWARE\X").
  std::string Path() const;

  class Impl;

 private:
  uint32_t OpenOrCreate(RootKey root, std::string_view subkey, uint32_t access, bool create,
                        bool* created);

  std::unique_ptr<Impl> impl_;
};

// SHDeleteKeyA and SHDeleteValueA over a root.
uint32_t DeleteKeyTree(RootKey root, std::string_view subkey);
uint32_t DeleteRegistryValue(RootKey root, std::string_view subkey, std::string_view value);

// Parses a root name ("HKLM", "HKEY_LOCAL_MACHINE", ...); false if unknown.
bool ParseRootKey(std::string_view name, RootKey* root);
const char* RootKeyName(RootKey root);  // "HKEY_LOCAL_MACHINE"

// Registry Editor 5.00 text files (.reg): export a key tree, import a file.
// Import reads the whole text first: a line it cannot read fills `error`
// with "line N: reason" and nothing is changed. A change that then fails
// (a refused deletion, say) stops the import there with "line N: reason";
// the changes of the lines before it stay, each one whole.
bool ExportRegFile(RootKey root, std::string_view subkey, std::string* text, std::string* error);
bool ImportRegFile(std::string_view text, std::string* error);

}  // namespace platform
