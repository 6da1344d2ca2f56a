// String map files: the count, then key/value pairs (common/string_map_file.h).
#include "common/archive.h"
#include "common/string_map_file.h"
#include "tools/vxinspect/formats.h"

namespace vxinspect {

namespace {

struct Decoded {
  bool complete = false;
  uint32_t count = 0;
  uint64_t consumed = 0;
  // In file order, duplicates included: a support person wants to see them.
  std::vector<std::pair<std::string, std::string>> pairs;
};

Decoded Decode(std::string_view bytes) {
  Decoded d;
  common::MemorySource source(bytes);
  common::ArchiveReader reader(&source);
  if (!reader.ReadCount(&d.count)) return d;
  for (uint32_t i = 0; i < d.count; ++i) {
    std::string key, value;
    if (!reader.ReadString(&key) || !reader.ReadString(&value)) return d;
    d.pairs.emplace_back(std::move(key), std::move(value));
  }
  d.complete = true;
  d.consumed = reader.position();
  return d;
}

}  // namespace

int ProbeStringMap(std::string_view bytes) {
  Decoded d = Decode(bytes);
  if (!d.complete) return 0;
  // Exactly the counted pairs: certain. Left-over bytes happen (files are
  // rewritten without truncation) but make it less certain.
  return d.consumed == bytes.size() ? 30 : 20;
}

bool InspectStringMap(std::string_view bytes, Node* doc, std::string* error) {
  Decoded d = Decode(bytes);
  doc->Add("type", Node::String("stringmap"));
  doc->Add("count", Node::Number(d.count));
  Node& pairs = doc->Add("pairs", Node::Array());
  for (auto& [key, value] : d.pairs) {
    Node& pair = pairs.Push(Node::Object());
    pair.Add("key", Node::String(key));
    pair.Add("value", Node::String(value));
  }
  if (!d.complete) {
    *error = bytes.size() < 2 ? "too short for a string map file (no pair count)"
                              : "truncated: " + std::to_string(d.pairs.size()) + " of " +
                                    std::to_string(d.count) + " pairs readable";
    return false;
  }
  // Bytes after the counted pairs are never read by the programs.
  doc->Add("ignored_tail_bytes", Node::Number(static_cast<int64_t>(bytes.size() - d.consumed)));
  return true;
}

}  // namespace vxinspect
