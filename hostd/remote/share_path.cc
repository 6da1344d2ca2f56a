#include "hostd/remote/share_path.h"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <vector>

#include "platform/error.h"
#include "platform/path.h"
#include "platform/strings.h"

namespace hostd::remote {
namespace {

bool IsSep(char c) { return c == '\\' || c == '/'; }

// The real path of `real` with every symbolic link of its existing part
// followed; the part that does not exist yet is appended as it stands.
bool Canonical(const std::string& real, std::string* out) {
  std::string head = real, tail;
  while (true) {
    struct stat st;
    if (::lstat(head.c_str(), &st) == 0) {
      char buf[PATH_MAX];
      // A dangling link has no real path: refuse rather than guess.
      if (!::realpath(head.c_str(), buf)) return false;
      *out = std::string(buf) + tail;
      return true;
    }
    size_t slash = head.rfind('/');
    if (slash == std::string::npos || slash == 0) return false;
    tail = head.substr(slash) + tail;
    head.resize(slash);
  }
}

bool Inside(const std::string& path, const std::string& root) {
  if (path == root) return true;
  if (root == "/") return true;
  return path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
         path[root.size()] == '/';
}

}  // namespace

bool SharePathToLocal(const platform::Host& host, const std::string& relative, bool wildcards,
                      std::string* windows_path) {
  std::vector<std::string> parts;
  size_t pos = 0;
  while (pos <= relative.size()) {
    size_t end = pos;
    while (end < relative.size() && !IsSep(relative[end])) ++end;
    std::string c = relative.substr(pos, end - pos);
    pos = end + 1;
    if (c.empty()) continue;
    // Windows ignores trailing dots and blanks, so "..." and ".. " are
    // the parent folder too.
    std::string bare = c;
    while (!bare.empty() && (bare.back() == '.' || bare.back() == ' ')) bare.pop_back();
    if (bare.empty()) return platform::Fail(platform::kErrorAccessDenied);
    for (char ch : c) {
      unsigned char u = static_cast<unsigned char>(ch);
      if (u < 32 || ch == ':' || ch == '<' || ch == '>' || ch == '|' || ch == '"')
        return platform::Fail(platform::kErrorInvalidName);
    }
    parts.push_back(c);
  }
  for (size_t i = 0; i < parts.size(); ++i) {
    bool wild = parts[i].find_first_of("*?") != std::string::npos;
    if (wild && (!wildcards || i + 1 != parts.size())) return platform::Fail(platform::kErrorInvalidName);
  }

  std::string root_win = host.windows_dir();
  std::string win = root_win;
  for (const auto& p : parts) win += "\\" + p;

  std::string root_real, real, root_canon, canon;
  if (!platform::ResolvePath(host, platform::ParseWindowsPath(root_win), &root_real))
    return false;
  if (!Canonical(root_real, &root_canon)) return platform::Fail(platform::kErrorPathNotFound);
  // The folder a wildcard searches is what must stay inside.
  std::string checked = win;
  if (!parts.empty() && parts.back().find_first_of("*?") != std::string::npos)
    checked = win.substr(0, win.rfind('\\'));
  if (!platform::ResolvePath(host, platform::ParseWindowsPath(checked), &real)) return false;
  if (!Canonical(real, &canon) || !Inside(canon, root_canon))
    return platform::Fail(platform::kErrorAccessDenied);
  *windows_path = win;
  return true;
}

}  // namespace hostd::remote
