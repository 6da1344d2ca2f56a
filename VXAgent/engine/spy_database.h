// The spy definition database: "VXCESpylist.db" in the system folder, an
// object archive of a map from spy name to definition, enciphered as a
// whole with Rc4Crypt and the default key; and the exclusion list
// "ExcludeDB.db" (a plain archive of one string list).
//
// Archive layout (see docs/formats/spy-database.md): a count of spies, then
// per spy its name (string) and an object reference to its definition. A
// definition's data is seven lists (count + strings) in the stored order
// processes, files, folders, cookies, registry data, registry values,
// registry keys. Object references use the 16-bit tags 0 (none), 0xFFFF
// (new class record: schema, name length, name, then the object), 0x8000+n
// (new object of class n), 0x7FFF + 32-bit value (top bit: new object of a
// class, else a reference), other values (reference to an earlier object).
// Every class and object read takes the next index from 1 on.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/archive.h"

namespace engine {

inline constexpr char kSpyDatabaseFile[] = "VXCESpylist.db";
inline constexpr char kExcludeDatabaseFile[] = "ExcludeDB.db";
inline constexpr char kSpyClassName[] = "CSpy";
inline constexpr uint16_t kSpySchema = 1;

// One spyware program: its traces by type, in the order of the fields.
struct CSpy {
  std::vector<std::string> files;
  std::vector<std::string> processes;
  std::vector<std::string> folders;
  std::vector<std::string> cookies;
  std::vector<std::string> regKeys;
  std::vector<std::string> regValues;
  std::vector<std::string> regData;

  bool operator==(const CSpy&) const = default;
};

// Spy name (exact, case-sensitive) to definition. A definition given as a
// reference to an earlier object shares that object; a null tag gives null.
using SpyMap = std::map<std::string, std::shared_ptr<const CSpy>>;

// Why reading stopped.
enum class SpyArchiveStatus {
  kOk,
  kTruncated,      // the input ended inside the archive
  kBadClass,       // a class record other than "CSpy" with schema 1
  kBadTag,         // a new object of an unknown class index
  kBadReference,   // a reference to an index that is not an object read before
};
const char* SpyArchiveStatusText(SpyArchiveStatus status);

// Reads the archive into `map` (a later equal name replaces the earlier
// entry). On an error the spies read before it stay in the map.
SpyArchiveStatus ReadSpyArchive(common::ArchiveReader* reader, SpyMap* map);
SpyArchiveStatus DecodeSpyArchive(std::string_view archive, SpyMap* map);

// Writes `map` as the agent's archives are written: the class record before
// the first definition, tag 0x8001 for every further one, references for
// definitions shared with an earlier name, tag 0 for null definitions.
void WriteSpyArchive(common::ArchiveWriter* writer, const SpyMap& map);
std::string EncodeSpyArchive(const SpyMap& map);

// System folder + "\VXCESpylist.db".
std::string SpyDatabasePath();

// Reads the database file and deciphers it in memory into `archive`.
// Nothing else reads the deciphered form, so it never touches the disk.
// False (and `archive` untouched) when the file cannot be opened or read.
bool DecipherSpyDatabase(std::string* archive);

// Fills `map` from the database; a missing database leaves it unchanged,
// a damaged one keeps the spies read before the damage.
SpyArchiveStatus ReadSpyDatabase(SpyMap* map);

// The exclusion list: names of spies never scanned for, compared exactly.
// Reads its file on construction and writes the (unchanged) content back
// on destruction, so a missing or damaged file ends up as a valid empty
// list. Both times the file's attributes are first set to archive only.
class ExcludeList {
 public:
  // `path` defaults to "ExcludeDB.db" in the folder of the agent's
  // executable (the system folder, where the agent is installed).
  ExcludeList();
  explicit ExcludeList(std::string path);
  ~ExcludeList();
  ExcludeList(const ExcludeList&) = delete;
  ExcludeList& operator=(const ExcludeList&) = delete;

  const std::vector<std::string>& names() const { return names_; }
  const std::string& path() const { return path_; }

  // The list's archive form (count + strings) and its reading; Decode
  // yields false and an empty list for a damaged archive.
  static std::string Encode(const std::vector<std::string>& names);
  static bool Decode(std::string_view data, std::vector<std::string>* names);

 private:
  std::string path_;
  std::vector<std::string> names_;
};

// "ExcludeDB.db" beside the agent's executable.
std::string ExcludeListPath();

}  // namespace engine
