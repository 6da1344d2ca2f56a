// The active protection monitor's day logs (<day>.ps / <day>.cs): string
// map files whose keys carry the date and time, a name and a path.
#include "common/archive.h"
#include "components/vxmonitor/monitor_log.h"
#include "tools/vxinspect/formats.h"

namespace vxinspect {
namespace {

struct Decoded {
  bool complete = false;
  bool all_events = true;  // every key has the event shape
  uint32_t count = 0;
  std::vector<std::pair<std::string, std::string>> pairs;
};

// The console's reading accepts many keys (a scan log's, for one); the
// monitor writes exactly "[ " + date and time + "]  " + name + "<" + path
// + ">", and only that shape counts as a monitor log when guessing.
bool IsMonitorKey(std::string_view key, std::string_view value) {
  std::optional<vxmonitor::LogEntry> e = vxmonitor::ParseLogEntry(key, value);
  if (!e || key.substr(0, 2) != "[ " || key.back() != '>') return false;
  const std::string& when = e->date_time;
  if (when.empty() || when.front() == ' ' || when.back() == ' ') return false;
  return key.substr(2 + when.size(), 3) == "]  ";
}

Decoded Decode(std::string_view bytes) {
  Decoded d;
  common::MemorySource source(bytes);
  common::ArchiveReader reader(&source);
  if (!reader.ReadCount(&d.count)) return d;
  for (uint32_t i = 0; i < d.count; ++i) {
    std::string key, value;
    if (!reader.ReadString(&key) || !reader.ReadString(&value)) return d;
    if (!IsMonitorKey(key, value)) d.all_events = false;
    d.pairs.emplace_back(std::move(key), std::move(value));
  }
  d.complete = true;
  return d;
}

}  // namespace

int ProbeMonitorLog(std::string_view bytes) {
  Decoded d = Decode(bytes);
  // Only a file with events tells itself apart from any other string map.
  return d.complete && d.count > 0 && d.all_events ? 40 : 0;
}

bool InspectMonitorLog(std::string_view bytes, Node* doc, std::string* error) {
  Decoded d = Decode(bytes);
  doc->Add("type", Node::String("monitorlog"));
  doc->Add("count", Node::Number(d.count));
  Node& events = doc->Add("events", Node::Array());
  for (auto& [key, value] : d.pairs) {
    Node& event = events.Push(Node::Object());
    if (std::optional<vxmonitor::LogEntry> e = vxmonitor::ParseLogEntry(key, value)) {
      event.Add("date_time", Node::String(e->date_time));
      event.Add("type", Node::String(e->type));
      event.Add("name", Node::String(e->name));
      event.Add("path", Node::String(e->path));
    } else {
      // Shown as it stands: the console would skip or misread it.
      event.Add("unreadable_key", Node::String(key));
      event.Add("value", Node::String(value));
    }
  }
  if (!d.complete) {
    *error = bytes.size() < 2 ? "too short for a monitor log (no event count)"
                              : "truncated: " + std::to_string(d.pairs.size()) + " of " +
                                    std::to_string(d.count) + " events readable";
    return false;
  }
  return true;
}

}  // namespace vxinspect
