// The files a scan run of the agent leaves in the system folder:
//   ScanHistory.ini      plain sectioned config: day sections, run records, LASTSCAN
//   LogFolder\<run>.txt  string map: " [ date time ]  - type < spy > item#" -> status
//   SpySignatures.txt    text lines: spy "#@#" path "#@#" signature LF
// Each is shown by what its entries mean rather than as raw pairs or lines.
#include <algorithm>
#include <cctype>
#include <list>
#include <string>
#include <vector>

#include "common/archive.h"
#include "common/config.h"
#include "tools/vxinspect/formats.h"

namespace vxinspect {

namespace {

// ---- ScanHistory.ini ---------------------------------------------------

constexpr std::string_view kLastScanHeader = "[LASTSCAN]";
constexpr std::string_view kScanCountKey = "noofscans";

// The sections of a plain config text, parsed without touching any file.
std::list<common::ConfigSection> ParseSections(std::string_view bytes, std::vector<std::string>* warnings) {
  common::SetReportSink([&](int, const std::string& line) {
    warnings->push_back(line.substr(0, line.find_last_not_of("\r\n") + 1));
  });
  std::list<common::ConfigSection> sections;
  {
    common::CConfig config;
    config.SetDecryptOnLoad(false);
    config.ParseContent(std::string(bytes));
    sections = config.sections();
    // The object counts as changed; dropping it must not report a failed save.
    common::SetReportSink([](int, const std::string&) {});
  }
  common::SetReportSink(nullptr);
  return sections;
}

const std::string* KeyValue(const common::ConfigSection& section, std::string_view key) {
  for (const common::ConfigKey& k : section.keys)
    if (k.key.size() == key.size() && std::equal(k.key.begin(), k.key.end(), key.begin(), [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
        }))
      return &k.value;
  return nullptr;
}

std::string ValueOr(const common::ConfigSection& section, std::string_view key) {
  const std::string* v = KeyValue(section, key);
  return v ? *v : std::string();
}

// ---- LogFolder files ---------------------------------------------------

struct LogKey {
  std::string dateTime, type, spy, item;
};

// " [ " date " ]  - " type " < " spy " > " item "#"
bool SplitLogKey(const std::string& key, LogKey* out) {
  if (key.rfind(" [ ", 0) != 0 || key.empty() || key.back() != '#') return false;
  const size_t close = key.find(" ]  - ", 3);
  if (close == std::string::npos) return false;
  const size_t lt = key.find(" < ", close + 6);
  if (lt == std::string::npos) return false;
  const size_t gt = key.find(" > ", lt + 3);
  if (gt == std::string::npos) return false;
  out->dateTime = key.substr(3, close - 3);
  out->type = key.substr(close + 6, lt - close - 6);
  out->spy = key.substr(lt + 3, gt - lt - 3);
  out->item = key.substr(gt + 3, key.size() - gt - 4);
  return true;
}

struct LogPairs {
  bool complete = false;
  size_t parsed_keys = 0;
  std::vector<std::pair<std::string, std::string>> pairs;
};

LogPairs ReadLogPairs(std::string_view bytes) {
  LogPairs d;
  common::MemorySource source(bytes);
  common::ArchiveReader reader(&source);
  uint32_t count = 0;
  if (!reader.ReadCount(&count)) return d;
  for (uint32_t i = 0; i < count; ++i) {
    std::string key, value;
    if (!reader.ReadString(&key) || !reader.ReadString(&value)) return d;
    LogKey parts;
    if (SplitLogKey(key, &parts)) ++d.parsed_keys;
    d.pairs.emplace_back(std::move(key), std::move(value));
  }
  d.complete = true;
  return d;
}

// ---- SpySignatures.txt -------------------------------------------------

constexpr std::string_view kSeparator = "#@#";

struct SignatureLine {
  std::string spy, path, signature;
};

bool SplitSignatureLine(const std::string& line, SignatureLine* out) {
  const size_t first = line.find(kSeparator);
  if (first == std::string::npos) return false;
  const size_t second = line.find(kSeparator, first + kSeparator.size());
  if (second == std::string::npos) return false;
  out->spy = line.substr(0, first);
  out->path = line.substr(first + kSeparator.size(), second - first - kSeparator.size());
  out->signature = line.substr(second + kSeparator.size());
  return true;
}

std::vector<std::string> Lines(std::string_view bytes, std::string* unterminated) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t lf; (lf = bytes.find('\n', start)) != std::string_view::npos; start = lf + 1)
    lines.emplace_back(bytes.substr(start, lf - start));
  *unterminated = std::string(bytes.substr(start));
  return lines;
}

bool HasNul(std::string_view bytes) { return bytes.find('\0') != std::string_view::npos; }

}  // namespace

int ProbeScanHistory(std::string_view bytes) {
  if (!IsConfigText(bytes)) return 0;
  // Above a plain config: the history's own section and key names.
  if (bytes.find(kLastScanHeader) != std::string_view::npos) return 12;
  return bytes.find(std::string(kScanCountKey) + "=") != std::string_view::npos ? 11 : 0;
}

bool InspectScanHistory(std::string_view bytes, Node* doc, std::string* error) {
  doc->Add("type", Node::String("scanhistory"));
  if (!bytes.empty() && !IsConfigText(bytes)) {
    *error = "not a plain-text scan history";
    return false;
  }
  std::vector<std::string> warnings;
  const std::list<common::ConfigSection> sections = ParseSections(bytes, &warnings);
  std::string last;
  for (const common::ConfigSection& s : sections)
    if (s.name == "LASTSCAN") last = ValueOr(s, "Date");
  doc->Add("last_scan", Node::String(last));
  // Filled first and added last: adding to `doc` moves its earlier fields.
  Node days = Node::Array(), runs = Node::Array(), other = Node::Array();
  for (const common::ConfigSection& s : sections) {
    if (s.name.empty() && s.keys.empty()) continue;
    if (s.name == "LASTSCAN") continue;
    const size_t hash = s.name.rfind('#');
    if (hash != std::string::npos) {
      Node& run = runs.Push(Node::Object());
      run.Add("section", Node::String(s.name));
      run.Add("day", Node::String(s.name.substr(0, hash)));
      run.Add("number", Node::String(s.name.substr(hash + 1)));
      run.Add("time", Node::String(ValueOr(s, "TIME")));
      run.Add("detected", Node::String(ValueOr(s, "Detected")));
      run.Add("deleted", Node::String(ValueOr(s, "Deleted")));
      run.Add("quarantined", Node::String(ValueOr(s, "Quarantined")));
    } else if (KeyValue(s, kScanCountKey)) {
      Node& day = days.Push(Node::Object());
      day.Add("day", Node::String(s.name));
      day.Add("runs", Node::String(ValueOr(s, kScanCountKey)));
    } else {
      other.Push(Node::String(s.name));
    }
  }
  doc->Add("days", std::move(days));
  doc->Add("runs", std::move(runs));
  doc->Add("other_sections", std::move(other));
  if (!warnings.empty()) {
    Node& list = doc->Add("warnings", Node::Array());
    for (const std::string& w : warnings) list.Push(Node::String(w));
  }
  return true;
}

int ProbeScanLog(std::string_view bytes) {
  LogPairs d = ReadLogPairs(bytes);
  // Every key in the shape the agent writes: more certain than a bare map.
  return d.complete && !d.pairs.empty() && d.parsed_keys == d.pairs.size() ? 35 : 0;
}

bool InspectScanLog(std::string_view bytes, Node* doc, std::string* error) {
  LogPairs d = ReadLogPairs(bytes);
  doc->Add("type", Node::String("scanlog"));
  doc->Add("count", Node::Number(static_cast<int64_t>(d.pairs.size())));
  Node& entries = doc->Add("entries", Node::Array());
  for (const auto& [key, status] : d.pairs) {
    Node& entry = entries.Push(Node::Object());
    LogKey parts;
    if (SplitLogKey(key, &parts)) {
      entry.Add("date_time", Node::String(parts.dateTime));
      entry.Add("type", Node::String(parts.type));
      entry.Add("spy", Node::String(parts.spy));
      entry.Add("item", Node::String(parts.item));
    } else {
      entry.Add("key", Node::String(key));  // not of the agent's shape: shown as it is
    }
    entry.Add("status", Node::String(status));
  }
  if (!d.complete) {
    *error = "truncated: " + std::to_string(d.pairs.size()) + " entries readable";
    return false;
  }
  return true;
}

int ProbeSignatures(std::string_view bytes) {
  if (bytes.empty() || HasNul(bytes)) return 0;
  std::string tail;
  const std::vector<std::string> lines = Lines(bytes, &tail);
  if (lines.empty()) return 0;
  for (const std::string& line : lines) {
    SignatureLine parts;
    if (!SplitSignatureLine(line, &parts)) return 0;
  }
  return 15;
}

bool InspectSignatures(std::string_view bytes, Node* doc, std::string* error) {
  doc->Add("type", Node::String("signatures"));
  if (HasNul(bytes)) {
    *error = "not a signature report (binary content)";
    return false;
  }
  std::string tail;
  const std::vector<std::string> lines = Lines(bytes, &tail);
  Node entries = Node::Array(), bad = Node::Array();
  for (const std::string& line : lines) {
    SignatureLine parts;
    if (!SplitSignatureLine(line, &parts)) {
      bad.Push(Node::String(line));
      continue;
    }
    Node& entry = entries.Push(Node::Object());
    entry.Add("spy", Node::String(parts.spy));
    entry.Add("path", Node::String(parts.path));
    entry.Add("signature", Node::String(parts.signature));
  }
  doc->Add("entries", std::move(entries));
  doc->Add("other_lines", std::move(bad));
  // The agent ends every line with LF; text after the last one is a cut write.
  if (!tail.empty()) doc->Add("unterminated_last_line", Node::String(tail));
  return true;
}

}  // namespace vxinspect
