// The SQLite storage under the registry handles (registry.h): one
// connection per host and process, attached to the Host as an extension.
//
// Keys are rows with a numeric id that is never reused, so a handle that
// holds the id of a deleted key sees it gone (1018) rather than a newer key.
// Every change runs in one IMMEDIATE transaction; reads are single
// statements. The store keeps a pool of connections and lends one to each
// call, so any thread may use it and readers on several threads do not wait
// for each other. After fork() the child opens connections of its own (an
// SQLite connection must not cross a fork).
//
// The schema is described in docs/formats/registry.md.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host.h"

namespace platform {

class RegistryConnection;

// Where a handle's last enumeration call stopped, so that asking for the
// next index continues from there instead of counting from the first row.
// It is followed only while nothing in the registry changed since (same
// connection, no commit by anyone), so the answers are exactly those of
// counting, at a constant cost per call.
struct EnumCursor {
  const void* connection = nullptr;
  int64_t key = 0;
  int64_t data_version = 0;
  int64_t own_changes = 0;
  uint32_t index = 0;
  int64_t last = 0;  // order id of the row at `index`
};

class RegistryStore : public Host::Extension {
 public:
  // Id of a hive root and of "no key".
  static constexpr int64_t kNoKey = 0;

  // The store of `host`, created on first use. Never null; failures to open
  // the file are reported by the operations.
  static RegistryStore* For(const Host& host);

  explicit RegistryStore(std::string file, std::vector<std::string> user_sids);
  ~RegistryStore() override;
  RegistryStore(const RegistryStore&) = delete;
  RegistryStore& operator=(const RegistryStore&) = delete;

  // Ids of the two stored hives ("HKEY_LOCAL_MACHINE", "HKEY_USERS").
  uint32_t HiveId(bool users, int64_t* id);

  // Walks `parts` (non-empty names) down from `start`. With `create`, the
  // missing keys are created in one transaction and `*created` tells
  // whether the last one was new. `*path` receives the stored names of the
  // walked keys joined by backslashes. 2 when a key is missing (without
  // `create`), 1018 when `start` itself is gone.
  uint32_t Walk(int64_t start, const std::vector<std::string_view>& parts, bool create, int64_t* id,
                std::string* path, bool* created);
  uint32_t KeyExists(int64_t key);

  // RegQueryValueExA semantics (see RegKey::QueryValue).
  uint32_t QueryValue(int64_t key, std::string_view name, uint32_t* type, void* data,
                      uint32_t* size);
  // The whole value, with the name in its stored case.
  uint32_t ReadValue(int64_t key, std::string_view name, std::string* stored, uint32_t* type,
                     std::vector<uint8_t>* data);
  uint32_t SetValue(int64_t key, std::string_view name, uint32_t type, const void* data,
                    uint32_t size);
  uint32_t DeleteValue(int64_t key, std::string_view name);

  // Deletes the key at `parts` below `start` (which must have no subkeys:
  // 5) with its values, in one transaction. Hive roots are refused (5).
  uint32_t DeleteKey(int64_t start, const std::vector<std::string_view>& parts);
  // Deletes the subtree at `parts` below `start`; with no `parts` only the
  // values and subkeys of `start`, keeping the key.
  uint32_t DeleteTree(int64_t start, const std::vector<std::string_view>& parts);

  // The item at `index` in creation order; 259 past the end. `cursor`
  // belongs to the caller's handle and is updated on success.
  uint32_t EnumValue(int64_t key, uint32_t index, EnumCursor* cursor, std::string* name,
                     uint32_t* type, std::vector<uint8_t>* data);
  uint32_t EnumKey(int64_t key, uint32_t index, EnumCursor* cursor, std::string* name);
  uint32_t QueryInfo(int64_t key, uint32_t* subkeys, uint32_t* values);

 private:
  // Lends a connection to one operation: a free one of the pool, else a new
  // one, so threads read side by side instead of queueing on one handle.
  uint32_t Acquire(RegistryConnection** out);
  void Release(RegistryConnection* c);
  template <typename Fn>
  uint32_t With(Fn&& fn);

  const std::string file_;
  const std::vector<std::string> user_sids_;
  std::mutex mu_;  // guards free_ and generation_
  std::vector<RegistryConnection*> free_;
  uint64_t generation_;  // fork generation the pooled connections belong to
};

}  // namespace platform
