// Reader and writer for the small INI files of the platform itself
// (host.ini). Not the system's sectioned configuration class: this one keeps
// no comments and trims blanks around keys and values.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace platform {

struct IniSection {
  std::string name;
  std::vector<std::pair<std::string, std::string>> entries;  // file order
};

struct IniFile {
  std::vector<IniSection> sections;

  // Parses `text`; lines starting with ';' or '#' and blank lines are
  // skipped, an inline " ;" starts a comment. Returns false with the line
  // number in `error` for a line that is neither a header nor key=value.
  bool Parse(const std::string& text, std::string* error);
  std::string Serialize() const;

  const IniSection* Find(const std::string& section) const;  // case-insensitive
  IniSection& Get(const std::string& section);                 // created when absent
  std::string Value(const std::string& section, const std::string& key,
                    const std::string& fallback = "") const;
  void Set(const std::string& section, const std::string& key, const std::string& value);
};

}  // namespace platform
