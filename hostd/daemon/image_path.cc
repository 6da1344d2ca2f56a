#include "hostd/daemon/image_path.h"

#include "platform/strings.h"

namespace hostd {

std::string ExpandImagePath(std::string_view path, const std::string& windows_dir) {
  std::string drive = windows_dir.size() >= 2 && windows_dir[1] == ':' ? windows_dir.substr(0, 2) : "C:";
  std::string out;
  size_t i = 0;
  while (i < path.size()) {
    if (path[i] == '%') {
      size_t end = path.find('%', i + 1);
      if (end != std::string_view::npos) {
        std::string_view var = path.substr(i + 1, end - i - 1);
        const std::string* value = nullptr;
        if (platform::EqualsIgnoreCase(var, "SystemRoot") || platform::EqualsIgnoreCase(var, "windir"))
          value = &windows_dir;
        else if (platform::EqualsIgnoreCase(var, "SystemDrive"))
          value = &drive;
        if (value) {
          out += *value;
          i = end + 1;
          continue;
        }
      }
    }
    out += path[i++];
  }
  return out;
}

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Splits `s` into words at blanks; "..." groups (the quotes are dropped).
bool SplitWords(std::string_view s, std::vector<std::string>* words) {
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && IsBlank(s[i])) ++i;
    if (i >= s.size()) break;
    std::string w;
    bool quoted = false;
    while (i < s.size() && (quoted || !IsBlank(s[i]))) {
      if (s[i] == '"')
        quoted = !quoted;
      else
        w += s[i];
      ++i;
    }
    if (quoted) return false;
    words->push_back(std::move(w));
  }
  return true;
}

}  // namespace

bool SplitImagePath(std::string_view path, const std::function<bool(const std::string&)>& is_file,
                    CommandLine* out) {
  std::string_view s = path;
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  if (s.empty()) return false;
  CommandLine cl;
  std::string_view rest;
  if (s.front() == '"') {
    size_t end = s.find('"', 1);
    if (end == std::string_view::npos || end == 1) return false;
    cl.program = std::string(s.substr(1, end - 1));
    rest = s.substr(end + 1);
  } else {
    size_t cut = std::string_view::npos;
    for (size_t pos = s.find(' '); pos != std::string_view::npos; pos = s.find(' ', pos + 1)) {
      if (is_file(std::string(s.substr(0, pos)))) {
        cut = pos;
        break;
      }
    }
    if (cut == std::string_view::npos && !is_file(std::string(s))) {
      size_t blank = s.find_first_of(" \t");
      cut = blank;
    }
    cl.program = std::string(s.substr(0, cut));
    rest = cut == std::string_view::npos ? std::string_view() : s.substr(cut);
  }
  if (!SplitWords(rest, &cl.args)) return false;
  *out = std::move(cl);
  return true;
}

}  // namespace hostd
