// The SQLite storage under the registry handles (registry.h): one
// connection per host and process, attached to the Host as an extension.
//
// Keys are rows with a numeric id that is never reused, so a handle that
// holds the id of a deleted key sees it gone (1018) rather than a newer key.
// Every change runs in one IMMEDIATE transaction; reads are single
// statements. Calls are serialised by the store's mutex, so one store may be
// used from any thread. After fork() the child opens a connection of its own
// on first use (an SQLite connection must not cross a fork).
//
// The schema is described in docs/formats/registry.md.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host.h"

namespace platform {

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
  uint32_t Walk(int64_t start, const std::vector<std::string_view>& parts, bool create,
                int64_t* id, std::string* path, bool* created);
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

  uint32_t EnumValue(int64_t key, uint32_t index, std::string* name, uint32_t* type,
                     std::vector<uint8_t>* data);
  uint32_t EnumKey(int64_t key, uint32_t index, std::string* name);
  uint32_t QueryInfo(int64_t key, uint32_t* subkeys, uint32_t* values);

 private:
  enum Sql : int {
    kBegin,
    kCommit,
    kRollback,
    kKeyExists,
    kChild,
    kInsertKey,
    kGetValue,
    kUpsertValue,
    kDeleteValue,
    kHasChildren,
    kDeleteKeyRow,
    kDeleteKeyValues,
    kDeleteTreeValues,
    kDeleteTreeKeys,
    kDeleteSubtreeValues,
    kDeleteSubtreeKeys,
    kEnumValue,
    kEnumKey,
    kCountKeys,
    kCountValues,
    kSqlCount,
  };

  // Opens the connection if needed (first use, after a failure, after
  // fork). Called with mu_ held.
  uint32_t EnsureOpen();
  uint32_t OpenLocked();
  uint32_t WalkLocked(int64_t start, const std::vector<std::string_view>& parts, bool create,
                      int64_t* id, std::string* path, bool* created);
  void Abandon();
  sqlite3_stmt* Stmt(Sql which);
  uint32_t Code(int rc) const;
  uint32_t KeyExistsLocked(int64_t key);
  uint32_t ChildLocked(int64_t parent, std::string_view name, int64_t* id, std::string* stored);
  uint32_t Begin();
  uint32_t Commit();
  void Rollback();
  // Runs a prepared statement that returns no rows.
  uint32_t Exec(sqlite3_stmt* st);

  std::mutex mu_;
  std::string file_;
  std::vector<std::string> user_sids_;
  sqlite3* db_ = nullptr;
  uint64_t generation_ = 0;  // fork generation the connection belongs to
  sqlite3_stmt* stmts_[kSqlCount] = {};
  int64_t machine_id_ = 0;
  int64_t users_id_ = 0;
};

}  // namespace platform
