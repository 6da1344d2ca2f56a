#include "platform/ini_file.h"

#include "platform/strings.h"

namespace platform {

bool IniFile::Parse(const std::string& text, std::string* error) {
  IniSection* current = nullptr;
  size_t line_no = 0;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    ++line_no;
    size_t comment = line.find(" ;");
    if (comment != std::string::npos) line.resize(comment);
    line = TrimBlanks(line);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line.front() == '[') {
      if (line.back() != ']') {
        if (error) *error = "line " + std::to_string(line_no) + ": section header without ']'";
        return false;
      }
      current = &Get(TrimBlanks(line.substr(1, line.size() - 2)));
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string::npos || current == nullptr) {
      if (error) *error = "line " + std::to_string(line_no) + ": expected key = value inside a section";
      return false;
    }
    current->entries.emplace_back(TrimBlanks(line.substr(0, eq)), TrimBlanks(line.substr(eq + 1)));
  }
  return true;
}

std::string IniFile::Serialize() const {
  std::string out;
  for (const auto& s : sections) {
    if (!out.empty()) out += "\n";
    out += "[" + s.name + "]\n";
    for (const auto& [k, v] : s.entries) out += k + " = " + v + "\n";
  }
  return out;
}

const IniSection* IniFile::Find(const std::string& section) const {
  for (const auto& s : sections)
    if (EqualsIgnoreCase(s.name, section)) return &s;
  return nullptr;
}

IniSection& IniFile::Get(const std::string& section) {
  for (auto& s : sections)
    if (EqualsIgnoreCase(s.name, section)) return s;
  sections.push_back(IniSection{section, {}});
  return sections.back();
}

std::string IniFile::Value(const std::string& section, const std::string& key,
                           const std::string& fallback) const {
  const IniSection* s = Find(section);
  if (!s) return fallback;
  for (const auto& [k, v] : s->entries)
    if (EqualsIgnoreCase(k, key)) return v;
  return fallback;
}

void IniFile::Set(const std::string& section, const std::string& key, const std::string& value) {
  IniSection& s = Get(section);
  for (auto& [k, v] : s.entries) {
    if (EqualsIgnoreCase(k, key)) {
      v = value;
      return;
    }
  }
  s.entries.emplace_back(key, value);
}

}  // namespace platform
