#include "platform/registry_store.h"

#include <pthread.h>
#include <sqlite3.h>

#include <atomic>
#include <cstring>
#include <memory>

#include "platform/error.h"

namespace platform {
namespace {

constexpr int kSchemaVersion = 1;
constexpr int kBusyTimeoutMs = 10000;
constexpr char kExtensionKey[] = "platform.registry";

// Bumped in every child after fork(), so that a store notices it was
// inherited and opens a connection of its own instead of sharing the
// parent's SQLite state.
std::atomic<uint64_t> g_fork_generation{0};
void OnForkChild() { g_fork_generation.fetch_add(1); }
std::once_flag g_atfork_once;

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
  kEnumValueAfter,
  kEnumKeyAfter,
  kDataVersion,
  kSqlCount,
};

const char* const kSqlText[] = {
    "BEGIN IMMEDIATE",
    "COMMIT",
    "ROLLBACK",
    "SELECT 1 FROM keys WHERE id = ?1",
    "SELECT id, name FROM keys WHERE parent = ?1 AND name = ?2",
    "INSERT INTO keys(parent, name) VALUES(?1, ?2)",
    "SELECT type, data, name FROM vals WHERE key = ?1 AND name = ?2",
    "INSERT INTO vals(key, name, type, data) VALUES(?1, ?2, ?3, ?4) "
    "ON CONFLICT(key, name) DO UPDATE SET type = excluded.type, data = excluded.data",
    "DELETE FROM vals WHERE key = ?1 AND name = ?2",
    "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1",
    "DELETE FROM keys WHERE id = ?1",
    "DELETE FROM vals WHERE key = ?1",
    "WITH RECURSIVE t(id) AS (SELECT ?1 UNION ALL SELECT k.id FROM keys k JOIN t ON k.parent = "
    "t.id) "
    "DELETE FROM vals WHERE key IN (SELECT id FROM t)",
    "WITH RECURSIVE t(id) AS (SELECT ?1 UNION ALL SELECT k.id FROM keys k JOIN t ON k.parent = "
    "t.id) "
    "DELETE FROM keys WHERE id IN (SELECT id FROM t)",
    "WITH RECURSIVE t(id) AS (SELECT id FROM keys WHERE parent = ?1 "
    "UNION ALL SELECT k.id FROM keys k JOIN t ON k.parent = t.id) "
    "DELETE FROM vals WHERE key IN (SELECT id FROM t) OR key = ?1",
    "WITH RECURSIVE t(id) AS (SELECT id FROM keys WHERE parent = ?1 "
    "UNION ALL SELECT k.id FROM keys k JOIN t ON k.parent = t.id) "
    "DELETE FROM keys WHERE id IN (SELECT id FROM t)",
    "SELECT name, type, data, rowid FROM vals WHERE key = ?1 ORDER BY rowid LIMIT 1 OFFSET ?2",
    "SELECT name, id FROM keys WHERE parent = ?1 ORDER BY id LIMIT 1 OFFSET ?2",
    "SELECT count(*) FROM keys WHERE parent = ?1",
    "SELECT count(*) FROM vals WHERE key = ?1",
    "SELECT name, type, data, rowid FROM vals WHERE key = ?1 AND rowid > ?2 ORDER BY rowid LIMIT 1",
    "SELECT name, id FROM keys WHERE parent = ?1 AND id > ?2 ORDER BY id LIMIT 1",
    "PRAGMA data_version",
};
static_assert(sizeof(kSqlText) / sizeof(kSqlText[0]) == kSqlCount);

// NOCASE folds ASCII letters only, which is how Windows compares key and
// value names of single-byte texts.
const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS keys("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  parent INTEGER NOT NULL,"
    "  name TEXT NOT NULL COLLATE NOCASE,"
    "  UNIQUE(parent, name));"
    "CREATE INDEX IF NOT EXISTS keys_by_parent ON keys(parent);"
    "CREATE TABLE IF NOT EXISTS vals("
    "  key INTEGER NOT NULL,"
    "  name TEXT NOT NULL COLLATE NOCASE,"
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL,"
    "  UNIQUE(key, name));"
    "CREATE INDEX IF NOT EXISTS vals_by_key ON vals(key);";

// Resets a statement when the scope ends, so that it holds no read
// transaction open between calls.
class Reset {
 public:
  explicit Reset(sqlite3_stmt* st) : st_(st) {}
  ~Reset() {
    if (st_) {
      sqlite3_reset(st_);
      sqlite3_clear_bindings(st_);
    }
  }

 private:
  sqlite3_stmt* st_;
};

void BindText(sqlite3_stmt* st, int i, std::string_view s) {
  // A null pointer would bind SQL NULL; names are never NULL.
  sqlite3_bind_text(st, i, s.data() ? s.data() : "", static_cast<int>(s.size()), SQLITE_STATIC);
}

std::string ColumnText(sqlite3_stmt* st, int i) {
  const unsigned char* p = sqlite3_column_text(st, i);
  int n = sqlite3_column_bytes(st, i);
  return p ? std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(n)) : std::string();
}

}  // namespace

// One SQLite connection with its prepared statements, used by one thread
// at a time (the store lends it out). Each operation below is one
// statement or one transaction.
class RegistryConnection {
 public:
  static constexpr int64_t kNoKey = RegistryStore::kNoKey;

  RegistryConnection() = default;
  ~RegistryConnection() {
    for (auto* st : stmts_) sqlite3_finalize(st);
    if (db_) sqlite3_close(db_);
  }
  RegistryConnection(const RegistryConnection&) = delete;
  RegistryConnection& operator=(const RegistryConnection&) = delete;

  // Opens the file, creating the schema and the standard keys as needed.
  uint32_t Open(const std::string& file, const std::vector<std::string>& user_sids);

  uint32_t HiveId(bool users, int64_t* id);
  uint32_t Walk(int64_t start, const std::vector<std::string_view>& parts, bool create, int64_t* id,
                std::string* path, bool* created);
  uint32_t KeyExists(int64_t key);
  uint32_t QueryValue(int64_t key, std::string_view name, uint32_t* type, void* data,
                      uint32_t* size);
  uint32_t ReadValue(int64_t key, std::string_view name, std::string* stored, uint32_t* type,
                     std::vector<uint8_t>* data);
  uint32_t SetValue(int64_t key, std::string_view name, uint32_t type, const void* data,
                    uint32_t size);
  uint32_t DeleteValue(int64_t key, std::string_view name);
  uint32_t DeleteKey(int64_t start, const std::vector<std::string_view>& parts);
  uint32_t DeleteTree(int64_t start, const std::vector<std::string_view>& parts);
  uint32_t EnumValue(int64_t key, uint32_t index, EnumCursor* cursor, std::string* name,
                     uint32_t* type, std::vector<uint8_t>* data);
  uint32_t EnumKey(int64_t key, uint32_t index, EnumCursor* cursor, std::string* name);
  uint32_t QueryInfo(int64_t key, uint32_t* subkeys, uint32_t* values);

 private:
  // Runs one enumeration step: the row at `index` below `key`, found from
  // the cursor when it still holds, else by counting from the start.
  // `id_column` is the column of the row's order id; `take` reads the row.
  template <typename Take>
  uint32_t EnumStep(Sql by_offset, Sql after, int id_column, int64_t key, uint32_t index,
                    EnumCursor* cursor, Take&& take);
  sqlite3_stmt* Stmt(Sql which);
  uint32_t Code(int rc) const;
  uint32_t KeyExistsLocked(int64_t key);
  uint32_t ChildLocked(int64_t parent, std::string_view name, int64_t* id, std::string* stored);
  uint32_t WalkLocked(int64_t start, const std::vector<std::string_view>& parts, bool create,
                      int64_t* id, std::string* path, bool* created);
  uint32_t Begin();
  uint32_t Commit();
  void Rollback();
  // Runs a prepared statement that returns no rows.
  uint32_t Exec(sqlite3_stmt* st);

  sqlite3* db_ = nullptr;
  sqlite3_stmt* stmts_[kSqlCount] = {};
  int64_t machine_id_ = 0;
  int64_t users_id_ = 0;
};

uint32_t RegistryConnection::Code(int rc) const {
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return kErrorSuccess;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      return kErrorRegistryCorrupt;
    case SQLITE_FULL:
      return kErrorDiskFull;
    case SQLITE_NOMEM:
      return kErrorOutOfMemory;
    default:
      return kErrorRegistryIoFailed;
  }
}

uint32_t RegistryConnection::Open(const std::string& file,
                                  const std::vector<std::string>& user_sids) {
  int rc =
      sqlite3_open_v2(file.c_str(), &db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) return Code(rc);
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  sqlite3_extended_result_codes(db_, 0);
  // WAL lets readers run beside a writer; NORMAL syncing keeps every
  // committed transaction across a killed process (only a power loss may
  // drop the last ones), at a fraction of the cost of FULL.
  rc = sqlite3_exec(db_, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr, nullptr,
                    nullptr);
  if (rc != SQLITE_OK) return Code(rc);

  rc = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return Code(rc);
  auto fail = [&](int rc2) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return Code(rc2);
  };
  int version = 0;
  {
    sqlite3_stmt* st = nullptr;
    rc = sqlite3_prepare_v2(db_, "PRAGMA user_version", -1, &st, nullptr);
    if (rc != SQLITE_OK) return fail(rc);
    if (sqlite3_step(st) == SQLITE_ROW) version = sqlite3_column_int(st, 0);
    sqlite3_finalize(st);
  }
  if (version > kSchemaVersion) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return kErrorBadDbFormat;
  }
  if (version < kSchemaVersion) {
    rc = sqlite3_exec(db_, kSchema, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return fail(rc);
    rc = sqlite3_exec(db_, "PRAGMA user_version=1", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return fail(rc);
  }
  for (int i = 0; i < kSqlCount; ++i) {
    rc = sqlite3_prepare_v3(db_, kSqlText[i], -1, SQLITE_PREPARE_PERSISTENT, &stmts_[i], nullptr);
    if (rc != SQLITE_OK) return fail(rc);
  }
  // The hive roots and the keys every Windows machine has, among them the
  // targets of the HKCR and HKCC views and one hive per known account.
  int64_t ids[2] = {0, 0};
  const char* hives[2] = {"HKEY_LOCAL_MACHINE", "HKEY_USERS"};
  bool created = false;
  std::string path;
  for (int i = 0; i < 2; ++i) {
    uint32_t code = WalkLocked(kNoKey, {hives[i]}, true, &ids[i], &path, &created);
    if (code != kErrorSuccess) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      return code;
    }
  }
  std::vector<std::pair<int64_t, std::vector<std::string_view>>> seeds = {
      {ids[0], {"SOFTWARE", "Classes"}},
      {ids[0], {"SYSTEM", "CurrentControlSet", "Hardware Profiles", "Current"}},
      {ids[1], {".DEFAULT"}},
      {ids[1], {"S-1-5-18"}},
  };
  for (const auto& sid : user_sids)
    if (!sid.empty()) seeds.push_back({ids[1], {sid}});
  for (const auto& [start, parts] : seeds) {
    int64_t id = 0;
    uint32_t code = WalkLocked(start, parts, true, &id, &path, &created);
    if (code != kErrorSuccess) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      return code;
    }
  }
  rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return fail(rc);
  machine_id_ = ids[0];
  users_id_ = ids[1];
  return kErrorSuccess;
}

sqlite3_stmt* RegistryConnection::Stmt(Sql which) { return stmts_[which]; }

uint32_t RegistryConnection::Exec(sqlite3_stmt* st) {
  Reset reset(st);
  int rc = sqlite3_step(st);
  return rc == SQLITE_DONE || rc == SQLITE_ROW ? kErrorSuccess : Code(rc);
}

uint32_t RegistryConnection::Begin() { return Exec(Stmt(kBegin)); }

uint32_t RegistryConnection::Commit() {
  uint32_t code = Exec(Stmt(kCommit));
  if (code != kErrorSuccess) Rollback();
  return code;
}

void RegistryConnection::Rollback() {
  if (!sqlite3_get_autocommit(db_)) Exec(Stmt(kRollback));
}

uint32_t RegistryConnection::KeyExistsLocked(int64_t key) {
  sqlite3_stmt* st = Stmt(kKeyExists);
  Reset reset(st);
  sqlite3_bind_int64(st, 1, key);
  int rc = sqlite3_step(st);
  if (rc == SQLITE_ROW) return kErrorSuccess;
  if (rc == SQLITE_DONE) return kErrorKeyDeleted;
  return Code(rc);
}

uint32_t RegistryConnection::ChildLocked(int64_t parent, std::string_view name, int64_t* id,
                                         std::string* stored) {
  sqlite3_stmt* st = Stmt(kChild);
  Reset reset(st);
  sqlite3_bind_int64(st, 1, parent);
  BindText(st, 2, name);
  int rc = sqlite3_step(st);
  if (rc == SQLITE_ROW) {
    *id = sqlite3_column_int64(st, 0);
    stored->append(ColumnText(st, 1));
    return kErrorSuccess;
  }
  if (rc == SQLITE_DONE) return kErrorFileNotFound;
  return Code(rc);
}

uint32_t RegistryConnection::WalkLocked(int64_t start, const std::vector<std::string_view>& parts,
                                        bool create, int64_t* id, std::string* path,
                                        bool* created) {
  int64_t cur = start;
  std::string walked;
  bool made = false;
  // Hive roots are never deleted; any other start may have been.
  if (start != kNoKey && start != machine_id_ && start != users_id_) {
    uint32_t code = KeyExistsLocked(start);
    if (code != kErrorSuccess) return code;
  }
  for (std::string_view part : parts) {
    if (!walked.empty()) walked.push_back('\\');
    int64_t next = 0;
    uint32_t code = ChildLocked(cur, part, &next, &walked);
    made = false;
    if (code == kErrorFileNotFound && create) {
      sqlite3_stmt* st = Stmt(kInsertKey);
      Reset reset(st);
      sqlite3_bind_int64(st, 1, cur);
      BindText(st, 2, part);
      int rc = sqlite3_step(st);
      if (rc != SQLITE_DONE) return Code(rc);
      next = sqlite3_last_insert_rowid(db_);
      walked.append(part);
      made = true;
    } else if (code != kErrorSuccess) {
      return code;
    }
    cur = next;
  }
  *id = cur;
  *path = std::move(walked);
  *created = made;
  return kErrorSuccess;
}

uint32_t RegistryConnection::HiveId(bool users, int64_t* id) {
  *id = users ? users_id_ : machine_id_;
  return kErrorSuccess;
}

uint32_t RegistryConnection::Walk(int64_t start, const std::vector<std::string_view>& parts,
                                  bool create, int64_t* id, std::string* path, bool* created) {
  uint32_t code = kErrorSuccess;
  if (!create) return WalkLocked(start, parts, false, id, path, created);
  // Opening an existing key needs no write lock: try that first.
  code = WalkLocked(start, parts, false, id, path, created);
  if (code != kErrorFileNotFound) return code;
  if ((code = Begin()) != kErrorSuccess) return code;
  code = WalkLocked(start, parts, true, id, path, created);
  if (code != kErrorSuccess) {
    Rollback();
    return code;
  }
  return Commit();
}

uint32_t RegistryConnection::KeyExists(int64_t key) { return KeyExistsLocked(key); }

uint32_t RegistryConnection::QueryValue(int64_t key, std::string_view name, uint32_t* type,
                                        void* data, uint32_t* size) {
  if (data && !size) return kErrorInvalidParameter;
  uint32_t code = kErrorSuccess;
  sqlite3_stmt* st = Stmt(kGetValue);
  Reset reset(st);
  sqlite3_bind_int64(st, 1, key);
  BindText(st, 2, name);
  int rc = sqlite3_step(st);
  if (rc == SQLITE_DONE) {
    // A value is deleted together with its key, so only a miss needs to
    // tell a missing value from a deleted key.
    code = KeyExistsLocked(key);
    return code == kErrorSuccess ? kErrorFileNotFound : code;
  }
  if (rc != SQLITE_ROW) return Code(rc);
  uint32_t t = static_cast<uint32_t>(sqlite3_column_int64(st, 0));
  const void* blob = sqlite3_column_blob(st, 1);
  uint32_t n = static_cast<uint32_t>(sqlite3_column_bytes(st, 1));
  if (data) {
    if (*size < n) {
      if (type) *type = t;
      *size = n;
      return kErrorMoreData;
    }
    if (n) std::memcpy(data, blob, n);
  }
  if (type) *type = t;
  if (size) *size = n;
  return kErrorSuccess;
}

uint32_t RegistryConnection::ReadValue(int64_t key, std::string_view name, std::string* stored,
                                       uint32_t* type, std::vector<uint8_t>* data) {
  uint32_t code = kErrorSuccess;
  sqlite3_stmt* st = Stmt(kGetValue);
  Reset reset(st);
  sqlite3_bind_int64(st, 1, key);
  BindText(st, 2, name);
  int rc = sqlite3_step(st);
  if (rc == SQLITE_DONE) {
    code = KeyExistsLocked(key);
    return code == kErrorSuccess ? kErrorFileNotFound : code;
  }
  if (rc != SQLITE_ROW) return Code(rc);
  const auto* blob = static_cast<const uint8_t*>(sqlite3_column_blob(st, 1));
  size_t n = static_cast<size_t>(sqlite3_column_bytes(st, 1));
  *type = static_cast<uint32_t>(sqlite3_column_int64(st, 0));
  data->assign(blob, blob + n);
  *stored = ColumnText(st, 2);
  return kErrorSuccess;
}

uint32_t RegistryConnection::SetValue(int64_t key, std::string_view name, uint32_t type,
                                      const void* data, uint32_t size) {
  uint32_t code = kErrorSuccess;
  if ((code = Begin()) != kErrorSuccess) return code;
  code = KeyExistsLocked(key);
  if (code == kErrorSuccess) {
    sqlite3_stmt* st = Stmt(kUpsertValue);
    Reset reset(st);
    sqlite3_bind_int64(st, 1, key);
    BindText(st, 2, name);
    sqlite3_bind_int64(st, 3, type);
    if (size)
      sqlite3_bind_blob(st, 4, data, static_cast<int>(size), SQLITE_STATIC);
    else
      sqlite3_bind_zeroblob(st, 4, 0);
    int rc = sqlite3_step(st);
    if (rc != SQLITE_DONE) code = Code(rc);
  }
  if (code != kErrorSuccess) {
    Rollback();
    return code;
  }
  return Commit();
}

uint32_t RegistryConnection::DeleteValue(int64_t key, std::string_view name) {
  uint32_t code = kErrorSuccess;
  if ((code = Begin()) != kErrorSuccess) return code;
  code = KeyExistsLocked(key);
  if (code == kErrorSuccess) {
    sqlite3_stmt* st = Stmt(kDeleteValue);
    Reset reset(st);
    sqlite3_bind_int64(st, 1, key);
    BindText(st, 2, name);
    int rc = sqlite3_step(st);
    if (rc != SQLITE_DONE)
      code = Code(rc);
    else if (sqlite3_changes(db_) == 0)
      code = kErrorFileNotFound;
  }
  if (code != kErrorSuccess) {
    Rollback();
    return code;
  }
  return Commit();
}

uint32_t RegistryConnection::DeleteKey(int64_t start, const std::vector<std::string_view>& parts) {
  uint32_t code = kErrorSuccess;
  if ((code = Begin()) != kErrorSuccess) return code;
  int64_t key = 0;
  std::string path;
  bool created = false;
  code = WalkLocked(start, parts, false, &key, &path, &created);
  if (code == kErrorSuccess && (key == machine_id_ || key == users_id_)) code = kErrorAccessDenied;
  if (code == kErrorSuccess) {
    sqlite3_stmt* st = Stmt(kHasChildren);
    Reset reset(st);
    sqlite3_bind_int64(st, 1, key);
    int rc = sqlite3_step(st);
    if (rc == SQLITE_ROW)
      code = kErrorAccessDenied;
    else if (rc != SQLITE_DONE)
      code = Code(rc);
  }
  for (Sql sql : {kDeleteKeyValues, kDeleteKeyRow}) {
    if (code != kErrorSuccess) break;
    sqlite3_stmt* st = Stmt(sql);
    sqlite3_bind_int64(st, 1, key);
    code = Exec(st);
  }
  if (code != kErrorSuccess) {
    Rollback();
    return code;
  }
  return Commit();
}

uint32_t RegistryConnection::DeleteTree(int64_t start, const std::vector<std::string_view>& parts) {
  uint32_t code = kErrorSuccess;
  if ((code = Begin()) != kErrorSuccess) return code;
  int64_t key = 0;
  std::string path;
  bool created = false;
  code = WalkLocked(start, parts, false, &key, &path, &created);
  bool keep_root = parts.empty();
  if (code == kErrorSuccess && !keep_root && (key == machine_id_ || key == users_id_))
    code = kErrorAccessDenied;
  Sql steps[2] = {kDeleteTreeValues, kDeleteTreeKeys};
  if (keep_root) steps[0] = kDeleteSubtreeValues, steps[1] = kDeleteSubtreeKeys;
  for (Sql sql : steps) {
    if (code != kErrorSuccess) break;
    sqlite3_stmt* st = Stmt(sql);
    sqlite3_bind_int64(st, 1, key);
    code = Exec(st);
  }
  if (code != kErrorSuccess) {
    Rollback();
    return code;
  }
  return Commit();
}

template <typename Take>
uint32_t RegistryConnection::EnumStep(Sql by_offset, Sql after, int id_column, int64_t key,
                                      uint32_t index, EnumCursor* cursor, Take&& take) {
  // The stamp is taken before the query: a commit landing in between makes
  // the next call count from the start again, never trust a stale cursor.
  int64_t version = 0;
  {
    sqlite3_stmt* dv = Stmt(kDataVersion);
    Reset reset(dv);
    int rc = sqlite3_step(dv);
    if (rc != SQLITE_ROW) return Code(rc);
    version = sqlite3_column_int64(dv, 0);
  }
  int64_t changes = sqlite3_total_changes64(db_);
  bool follow = cursor->connection == this && cursor->key == key && cursor->index + 1 == index &&
                cursor->data_version == version && cursor->own_changes == changes;
  sqlite3_stmt* st = Stmt(follow ? after : by_offset);
  Reset reset(st);
  sqlite3_bind_int64(st, 1, key);
  sqlite3_bind_int64(st, 2, follow ? cursor->last : static_cast<int64_t>(index));
  int rc = sqlite3_step(st);
  if (rc == SQLITE_DONE) {
    uint32_t code = KeyExistsLocked(key);
    return code == kErrorSuccess ? kErrorNoMoreItems : code;
  }
  if (rc != SQLITE_ROW) return Code(rc);
  take(st);
  *cursor = EnumCursor{this, key, version, changes, index, sqlite3_column_int64(st, id_column)};
  return kErrorSuccess;
}

uint32_t RegistryConnection::EnumValue(int64_t key, uint32_t index, EnumCursor* cursor,
                                       std::string* name, uint32_t* type,
                                       std::vector<uint8_t>* data) {
  return EnumStep(kEnumValue, kEnumValueAfter, 3, key, index, cursor, [&](sqlite3_stmt* st) {
    *name = ColumnText(st, 0);
    *type = static_cast<uint32_t>(sqlite3_column_int64(st, 1));
    const auto* blob = static_cast<const uint8_t*>(sqlite3_column_blob(st, 2));
    data->assign(blob, blob + sqlite3_column_bytes(st, 2));
  });
}

uint32_t RegistryConnection::EnumKey(int64_t key, uint32_t index, EnumCursor* cursor,
                                     std::string* name) {
  return EnumStep(kEnumKey, kEnumKeyAfter, 1, key, index, cursor,
                  [&](sqlite3_stmt* st) { *name = ColumnText(st, 0); });
}

uint32_t RegistryConnection::QueryInfo(int64_t key, uint32_t* subkeys, uint32_t* values) {
  uint32_t code = kErrorSuccess;
  if ((code = KeyExistsLocked(key)) != kErrorSuccess) return code;
  uint32_t counts[2] = {0, 0};
  Sql sqls[2] = {kCountKeys, kCountValues};
  for (int i = 0; i < 2; ++i) {
    sqlite3_stmt* st = Stmt(sqls[i]);
    Reset reset(st);
    sqlite3_bind_int64(st, 1, key);
    int rc = sqlite3_step(st);
    if (rc != SQLITE_ROW) return Code(rc);
    counts[i] = static_cast<uint32_t>(sqlite3_column_int64(st, 0));
  }
  if (subkeys) *subkeys = counts[0];
  if (values) *values = counts[1];
  return kErrorSuccess;
}

// ---- the store: a pool of connections ----

RegistryStore* RegistryStore::For(const Host& host) {
  auto* ext =
      host.GetOrCreateExtension(kExtensionKey, [&host]() -> std::unique_ptr<Host::Extension> {
        std::vector<std::string> sids;
        for (const auto& u : host.users()) sids.push_back(u.sid);
        return std::make_unique<RegistryStore>(host.RegistryFile(), std::move(sids));
      });
  return static_cast<RegistryStore*>(ext);
}

RegistryStore::RegistryStore(std::string file, std::vector<std::string> user_sids)
    : file_(std::move(file)),
      user_sids_(std::move(user_sids)),
      generation_(g_fork_generation.load()) {
  std::call_once(g_atfork_once, [] { pthread_atfork(nullptr, nullptr, OnForkChild); });
}

RegistryStore::~RegistryStore() {
  if (generation_ == g_fork_generation.load())
    for (auto* c : free_) delete c;
}

uint32_t RegistryStore::Acquire(RegistryConnection** out) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    uint64_t now = g_fork_generation.load();
    if (generation_ != now) {
      // Connections inherited through fork() belong to the parent: they are
      // neither used nor closed here (closing could disturb the parent's
      // locks), only forgotten.
      free_.clear();
      generation_ = now;
    }
    if (!free_.empty()) {
      *out = free_.back();
      free_.pop_back();
      return kErrorSuccess;
    }
  }
  auto c = std::make_unique<RegistryConnection>();
  uint32_t code = c->Open(file_, user_sids_);
  if (code != kErrorSuccess) return code;
  *out = c.release();
  return kErrorSuccess;
}

void RegistryStore::Release(RegistryConnection* c) {
  std::lock_guard<std::mutex> lock(mu_);
  if (generation_ == g_fork_generation.load()) free_.push_back(c);
}

template <typename Fn>
uint32_t RegistryStore::With(Fn&& fn) {
  RegistryConnection* c = nullptr;
  uint32_t code = Acquire(&c);
  if (code != kErrorSuccess) return code;
  code = fn(*c);
  Release(c);
  return code;
}

uint32_t RegistryStore::HiveId(bool users, int64_t* id) {
  return With([&](RegistryConnection& c) { return c.HiveId(users, id); });
}
uint32_t RegistryStore::Walk(int64_t start, const std::vector<std::string_view>& parts, bool create,
                             int64_t* id, std::string* path, bool* created) {
  return With(
      [&](RegistryConnection& c) { return c.Walk(start, parts, create, id, path, created); });
}
uint32_t RegistryStore::KeyExists(int64_t key) {
  return With([&](RegistryConnection& c) { return c.KeyExists(key); });
}
uint32_t RegistryStore::QueryValue(int64_t key, std::string_view name, uint32_t* type, void* data,
                                   uint32_t* size) {
  if (data && !size) return kErrorInvalidParameter;
  return With([&](RegistryConnection& c) { return c.QueryValue(key, name, type, data, size); });
}
uint32_t RegistryStore::ReadValue(int64_t key, std::string_view name, std::string* stored,
                                  uint32_t* type, std::vector<uint8_t>* data) {
  return With([&](RegistryConnection& c) { return c.ReadValue(key, name, stored, type, data); });
}
uint32_t RegistryStore::SetValue(int64_t key, std::string_view name, uint32_t type,
                                 const void* data, uint32_t size) {
  return With([&](RegistryConnection& c) { return c.SetValue(key, name, type, data, size); });
}
uint32_t RegistryStore::DeleteValue(int64_t key, std::string_view name) {
  return With([&](RegistryConnection& c) { return c.DeleteValue(key, name); });
}
uint32_t RegistryStore::DeleteKey(int64_t start, const std::vector<std::string_view>& parts) {
  return With([&](RegistryConnection& c) { return c.DeleteKey(start, parts); });
}
uint32_t RegistryStore::DeleteTree(int64_t start, const std::vector<std::string_view>& parts) {
  return With([&](RegistryConnection& c) { return c.DeleteTree(start, parts); });
}
uint32_t RegistryStore::EnumValue(int64_t key, uint32_t index, EnumCursor* cursor,
                                  std::string* name, uint32_t* type, std::vector<uint8_t>* data) {
  return With(
      [&](RegistryConnection& c) { return c.EnumValue(key, index, cursor, name, type, data); });
}
uint32_t RegistryStore::EnumKey(int64_t key, uint32_t index, EnumCursor* cursor,
                                std::string* name) {
  return With([&](RegistryConnection& c) { return c.EnumKey(key, index, cursor, name); });
}
uint32_t RegistryStore::QueryInfo(int64_t key, uint32_t* subkeys, uint32_t* values) {
  return With([&](RegistryConnection& c) { return c.QueryInfo(key, subkeys, values); });
}

}  // namespace platform
