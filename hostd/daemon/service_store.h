// Where the SCM keeps its services: the host registry, one key per service
// under HKLM\SYSTEM\CurrentControlSet\Services with the values ImagePath
// (EXPAND_SZ), DisplayName, ObjectName (SZ), Type, Start, ErrorControl
// (DWORD) and, for a service marked for deletion, DeleteFlag = 1.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/service.h"

namespace hostd {

struct StoredService {
  platform::ServiceConfig config;
  bool delete_flag = false;
};

class ServiceStore {
 public:
  static constexpr const char* kServicesKey = "SYSTEM\\CurrentControlSet\\Services";

  // Every key below Services that describes a Win32 service (a Type with
  // the own- or share-process bit and an ImagePath); other keys are left
  // alone. Registry error code, 0 also when the Services key is missing.
  uint32_t LoadAll(std::vector<StoredService>* out) const;
  // Writes the service's key and values (creating the key).
  uint32_t Save(const platform::ServiceConfig& config) const;
  uint32_t MarkDeleted(const std::string& name) const;
  // Removes the service's key with everything below it.
  uint32_t Remove(const std::string& name) const;
};

}  // namespace hostd
