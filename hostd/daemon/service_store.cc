#include "hostd/daemon/service_store.h"

#include "platform/error.h"
#include "platform/registry.h"

namespace hostd {

using platform::RegKey;
using platform::RootKey;

uint32_t ServiceStore::LoadAll(std::vector<StoredService>* out) const {
  RegKey services;
  uint32_t rc = services.Open(RootKey::kLocalMachine, kServicesKey, platform::kKeyRead);
  if (rc == platform::kErrorFileNotFound) {
    out->clear();
    return 0;
  }
  if (rc != 0) return rc;
  std::vector<StoredService> found;
  std::string name;
  for (uint32_t i = 0; services.EnumKey(i, &name) == 0; ++i) {
    RegKey key;
    if (services.OpenKey(name, platform::kKeyRead, &key) != 0) continue;
    StoredService s;
    s.config.name = name;
    if (key.ReadDword("Type", &s.config.service_type) != 0) continue;
    if (!(s.config.service_type & (platform::SERVICE_WIN32_OWN_PROCESS | platform::SERVICE_WIN32_SHARE_PROCESS)))
      continue;
    if (key.ReadString("ImagePath", &s.config.image_path) != 0) continue;
    if (key.ReadDword("Start", &s.config.start_type) != 0) s.config.start_type = platform::SERVICE_DEMAND_START;
    if (key.ReadDword("ErrorControl", &s.config.error_control) != 0)
      s.config.error_control = platform::SERVICE_ERROR_NORMAL;
    if (key.ReadString("DisplayName", &s.config.display_name) != 0) s.config.display_name = name;
    if (key.ReadString("ObjectName", &s.config.account) != 0) s.config.account = "LocalSystem";
    uint32_t flag = 0;
    s.delete_flag = key.ReadDword("DeleteFlag", &flag) == 0 && flag != 0;
    found.push_back(std::move(s));
  }
  *out = std::move(found);
  return 0;
}

uint32_t ServiceStore::Save(const platform::ServiceConfig& c) const {
  RegKey key;
  uint32_t rc = key.Create(RootKey::kLocalMachine, std::string(kServicesKey) + "\\" + c.name, platform::kKeyAllAccess);
  if (rc != 0) return rc;
  if ((rc = key.WriteDword("Type", c.service_type)) != 0) return rc;
  if ((rc = key.WriteDword("Start", c.start_type)) != 0) return rc;
  if ((rc = key.WriteDword("ErrorControl", c.error_control)) != 0) return rc;
  if ((rc = key.WriteString("ImagePath", c.image_path, platform::kRegExpandSz)) != 0) return rc;
  if ((rc = key.WriteString("DisplayName", c.display_name)) != 0) return rc;
  return key.WriteString("ObjectName", c.account);
}

uint32_t ServiceStore::MarkDeleted(const std::string& name) const {
  RegKey key;
  uint32_t rc = key.Open(RootKey::kLocalMachine, std::string(kServicesKey) + "\\" + name, platform::kKeyAllAccess);
  if (rc != 0) return rc;
  return key.WriteDword("DeleteFlag", 1);
}

uint32_t ServiceStore::Remove(const std::string& name) const {
  return platform::DeleteKeyTree(RootKey::kLocalMachine, std::string(kServicesKey) + "\\" + name);
}

}  // namespace hostd
