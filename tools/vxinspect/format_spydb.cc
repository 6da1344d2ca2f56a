// Spy definition databases (VXCESpylist.db, ProcessSpy.db), sealed with the
// default key or plain, and the exclusion list ExcludeDB.db.
#include <string>

#include "VXAgent/engine/spy_database.h"
#include "common/rc4.h"
#include "tools/vxinspect/formats.h"

namespace vxinspect {

namespace {

// A database whose archive reads to its end without damage and names at
// least one spy; the class name must be there, since a count of 0 or a
// few stray bytes would otherwise pass for an archive.
bool ReadsAsSpyArchive(std::string_view archive, engine::SpyMap* map) {
  if (archive.find(engine::kSpyClassName) == std::string_view::npos) return false;
  return engine::DecodeSpyArchive(archive, map) == engine::SpyArchiveStatus::kOk && !map->empty();
}

std::string Deciphered(std::string_view bytes) {
  std::string plain(bytes);
  common::Rc4Crypt(&plain);
  return plain;
}

Node List(const std::vector<std::string>& items) {
  Node list = Node::Array();
  for (const std::string& item : items) list.Push(Node::String(item));
  return list;
}

bool Printable(const std::string& text) {
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) return false;
  }
  return !text.empty();
}

}  // namespace

int ProbeSpyDatabase(std::string_view bytes) {
  engine::SpyMap map;
  if (ReadsAsSpyArchive(bytes, &map)) return 12;
  map.clear();
  if (ReadsAsSpyArchive(Deciphered(bytes), &map)) return 12;
  return 0;
}

bool InspectSpyDatabase(std::string_view bytes, Node* doc, std::string* error) {
  // Plain when the plain bytes hold the class record, sealed otherwise.
  const bool sealed = bytes.find(engine::kSpyClassName) == std::string_view::npos;
  const std::string archive = sealed ? Deciphered(bytes) : std::string(bytes);
  engine::SpyMap map;
  engine::SpyArchiveStatus status = engine::DecodeSpyArchive(archive, &map);
  doc->Add("sealed", Node::Bool(sealed));
  doc->Add("spies", Node::Number(static_cast<int64_t>(map.size())));
  Node& list = doc->Add("definitions", Node::Array());
  for (const auto& [name, spy] : map) {
    Node& entry = list.Push(Node::Object());
    entry.Add("name", Node::String(name));
    if (!spy) {
      entry.Add("definition", Node::String("(none)"));
      continue;
    }
    // In the order the archive stores the lists.
    entry.Add("processes", List(spy->processes));
    entry.Add("files", List(spy->files));
    entry.Add("folders", List(spy->folders));
    entry.Add("cookies", List(spy->cookies));
    entry.Add("registry_data", List(spy->regData));
    entry.Add("registry_values", List(spy->regValues));
    entry.Add("registry_keys", List(spy->regKeys));
  }
  if (status != engine::SpyArchiveStatus::kOk) {
    *error = std::string("damaged spy database: ") + engine::SpyArchiveStatusText(status) + " after " +
             std::to_string(map.size()) + " spies";
    return false;
  }
  return true;
}

int ProbeExcludeList(std::string_view bytes) {
  std::vector<std::string> names;
  // Only a list that is the whole file: other archives of ours also begin
  // with a count and strings.
  if (!engine::ExcludeList::Decode(bytes, &names) || names.empty() ||
      engine::ExcludeList::Encode(names) != bytes)
    return 0;
  for (const std::string& name : names)
    if (!Printable(name)) return 0;
  return 3;
}

bool InspectExcludeList(std::string_view bytes, Node* doc, std::string* error) {
  std::vector<std::string> names;
  bool ok = engine::ExcludeList::Decode(bytes, &names);
  doc->Add("excluded", Node::Number(static_cast<int64_t>(names.size())));
  doc->Add("names", List(names));
  if (!ok) *error = "damaged exclusion list";
  return ok;
}

}  // namespace vxinspect
