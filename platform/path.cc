#include "platform/path.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <map>
#include <mutex>

#include "platform/error.h"
#include "platform/host.h"
#include "platform/strings.h"

namespace platform {
namespace {

constexpr uint32_t kErrorBadPathname = 161;

std::mutex g_cwd_mu;
std::string g_cwd;  // empty until first asked for or set

bool IsSep(char c) { return c == '\\' || c == '/'; }

bool ValidComponent(std::string_view c, bool wildcards) {
  for (char ch : c) {
    unsigned char u = static_cast<unsigned char>(ch);
    if (u < 32) return false;
    switch (ch) {
      case '<': case '>': case '|': case '"': case ':':
        return false;
      case '*': case '?':
        if (!wildcards) return false;
        break;
      default:
        break;
    }
  }
  return true;
}

// Splits `rest` at either slash and applies "." and ".." to `out`.
bool AppendComponents(std::string_view rest, bool wildcards, std::vector<std::string>* out) {
  size_t pos = 0;
  while (pos <= rest.size()) {
    size_t end = pos;
    while (end < rest.size() && !IsSep(rest[end])) ++end;
    std::string_view c = rest.substr(pos, end - pos);
    pos = end + 1;
    if (c.empty() || c == ".") continue;
    if (c == "..") {
      if (!out->empty()) out->pop_back();
      continue;
    }
    // Windows drops trailing dots and blanks of a component.
    std::string comp(c);
    while (comp.size() > 1 && (comp.back() == '.' || comp.back() == ' ')) comp.pop_back();
    if (!ValidComponent(comp, wildcards)) return false;
    out->push_back(std::move(comp));
  }
  return true;
}

bool IsValid83(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  size_t dot = name.find('.');
  if (dot != std::string_view::npos && name.find('.', dot + 1) != std::string_view::npos) return false;
  std::string_view base = name.substr(0, dot);
  std::string_view ext = dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
  if (base.empty() || base.size() > 8 || ext.size() > 3) return false;
  for (char c : name) {
    if (c == ' ' || c == '+' || c == ',' || c == ';' || c == '=' || c == '[' || c == ']') return false;
  }
  return true;
}

std::string ShortKey(std::string_view long_name) {
  // Base and extension as the short name uses them, without the ordinal.
  std::string s;
  for (char c : long_name)
    if (c != ' ') s += c;
  while (!s.empty() && s[0] == '.') s.erase(0, 1);
  size_t dot = s.rfind('.');
  std::string base = dot == std::string::npos ? s : s.substr(0, dot);
  std::string ext = dot == std::string::npos ? "" : s.substr(dot + 1);
  std::string b;
  for (char c : base) {
    if (c == '.') continue;
    if (c == '+' || c == ',' || c == ';' || c == '=' || c == '[' || c == ']') c = '_';
    b += ToUpperAscii(c);
  }
  std::string e;
  for (char c : ext) {
    if (c == '+' || c == ',' || c == ';' || c == '=' || c == '[' || c == ']') c = '_';
    e += ToUpperAscii(c);
  }
  if (b.size() > 6) b.resize(6);
  if (e.size() > 3) e.resize(3);
  return b + "|" + e;
}

// Finds the stored name in `dir` for component `comp`: exact, then ignoring
// case, then as a short name. Empty when nothing matches.
std::string LookupComponent(const std::string& dir, const std::string& comp) {
  DIR* d = ::opendir(dir.empty() ? "/" : dir.c_str());
  if (!d) return {};
  std::vector<std::string> names;
  while (dirent* e = ::readdir(d)) {
    std::string n = e->d_name;
    if (n == "." || n == "..") continue;
    names.push_back(std::move(n));
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  for (const auto& n : names)
    if (EqualsIgnoreCase(n, comp)) return n;
  if (comp.find('~') == std::string::npos) return {};
  std::map<std::string, int> ordinals;
  for (const auto& n : names) {
    if (IsValid83(n)) continue;
    int ordinal = ++ordinals[ShortKey(n)];
    if (EqualsIgnoreCase(ShortName(n, ordinal), comp)) return n;
  }
  return {};
}

bool Exists(const std::string& real) {
  struct stat st;
  return ::lstat(real.empty() ? "/" : real.c_str(), &st) == 0;
}

}  // namespace

std::string WindowsPath::ToString() const {
  std::string out;
  switch (kind) {
    case PathKind::kInvalid:
      return {};
    case PathKind::kLocal:
      out = std::string(1, drive) + ":";
      if (components.empty()) return out + "\\";
      break;
    case PathKind::kLocalPipe:
      return "\\\\.\\pipe\\" + pipe_name;
    case PathKind::kRemotePipe:
      return "\\\\" + host + "\\pipe\\" + pipe_name;
    case PathKind::kUnc:
      out = "\\\\" + host + "\\" + share;
      break;
  }
  for (const auto& c : components) out += "\\" + c;
  return out;
}

WindowsPath ParseWindowsPath(std::string_view path, bool wildcards) {
  WindowsPath wp;
  if (path.empty()) return wp;
  if (path.size() >= 2 && IsSep(path[0]) && IsSep(path[1])) {
    size_t pos = 2;
    size_t end = pos;
    while (end < path.size() && !IsSep(path[end])) ++end;
    std::string host(path.substr(pos, end - pos));
    if (host.empty() || end >= path.size()) return wp;
    pos = end + 1;
    end = pos;
    while (end < path.size() && !IsSep(path[end])) ++end;
    std::string share(path.substr(pos, end - pos));
    if (share.empty()) return wp;
    std::string_view rest = end < path.size() ? path.substr(end + 1) : std::string_view();
    if (EqualsIgnoreCase(share, "pipe")) {
      if (rest.empty()) return wp;
      wp.pipe_name = std::string(rest);  // pipe names may hold backslashes
      wp.kind = host == "." ? PathKind::kLocalPipe : PathKind::kRemotePipe;
      if (wp.kind == PathKind::kRemotePipe) wp.host = host;
      return wp;
    }
    if (host == "." || host == "?") {
      // \\.\C:\x and \\?\C:\x name local paths.
      return ParseWindowsPath(path.substr(4), wildcards);
    }
    wp.host = host;
    wp.share = share;
    if (!AppendComponents(rest, wildcards, &wp.components)) return WindowsPath{};
    wp.kind = PathKind::kUnc;
    return wp;
  }
  if (path.size() >= 2 && path[1] == ':') {
    char letter = path[0];
    if (!((letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z'))) return wp;
    wp.drive = ToUpperAscii(letter);
    std::string_view rest = path.substr(2);
    if (!rest.empty() && !IsSep(rest[0])) {
      // "C:name" is relative to the current folder of that drive; we keep
      // one current folder, so it is relative to the drive's root.
    }
    if (!AppendComponents(rest, wildcards, &wp.components)) return WindowsPath{};
    wp.kind = PathKind::kLocal;
    return wp;
  }
  // Rooted ("\x") or relative: against the current directory.
  WindowsPath base = ParseWindowsPath(GetCurrentDirectory());
  if (base.kind != PathKind::kLocal && base.kind != PathKind::kUnc) return wp;
  if (IsSep(path[0])) base.components.clear();
  if (!AppendComponents(path, wildcards, &base.components)) return WindowsPath{};
  return base;
}

bool ResolvePath(const Host& host, const WindowsPath& wp, std::string* real) {
  if (wp.kind == PathKind::kInvalid) return Fail(kErrorInvalidName);
  if (wp.kind != PathKind::kLocal) return Fail(kErrorBadPathname);
  const Drive* drive = host.FindDrive(wp.drive);
  if (!drive) return Fail(kErrorPathNotFound);
  std::string out = drive->real;
  // Fast path: the path exists exactly as written.
  std::string direct = out;
  for (const auto& c : wp.components) direct += "/" + c;
  if (wp.components.empty() || Exists(direct)) {
    *real = direct.empty() ? "/" : direct;
    return true;
  }
  bool missing = false;
  for (const auto& c : wp.components) {
    std::string candidate = out + "/" + c;
    if (!missing && !Exists(candidate)) {
      std::string stored = LookupComponent(out, c);
      if (stored.empty()) {
        missing = true;
      } else {
        candidate = out + "/" + stored;
      }
    }
    out = std::move(candidate);
  }
  *real = out;
  return true;
}

bool ResolvePath(std::string_view path, std::string* real) {
  Host* host = Host::Current();
  if (!host) return Fail(kErrorPathNotFound);
  WindowsPath wp = ParseWindowsPath(path);
  return ResolvePath(*host, wp, real);
}

std::string RealToWindowsPath(const Host& host, const std::string& real) {
  const Drive* best = nullptr;
  for (const auto& d : host.drives()) {
    const std::string& root = d.real;
    bool inside = root.empty() ? (!real.empty() && real[0] == '/')
                               : (real == root || (real.size() > root.size() &&
                                                   real.compare(0, root.size(), root) == 0 &&
                                                   real[root.size()] == '/'));
    if (inside && (!best || root.size() > best->real.size())) best = &d;
  }
  if (!best) return {};
  std::string rest = real.substr(best->real.size());
  for (char& c : rest)
    if (c == '/') c = '\\';
  if (rest.empty()) rest = "\\";
  return std::string(1, best->letter) + ":" + rest;
}

bool GetLongPathName(std::string_view path, std::string* long_path) {
  Host* host = Host::Current();
  if (!host) return Fail(kErrorPathNotFound);
  WindowsPath wp = ParseWindowsPath(path);
  if (wp.kind != PathKind::kLocal) return Fail(kErrorInvalidName);
  const Drive* drive = host->FindDrive(wp.drive);
  if (!drive) return Fail(kErrorPathNotFound);
  std::string real = drive->real;
  std::string out = std::string(1, wp.drive) + ":";
  for (size_t i = 0; i < wp.components.size(); ++i) {
    const std::string& c = wp.components[i];
    std::string stored = LookupComponent(real, c);
    if (stored.empty()) {
      return Fail(i + 1 == wp.components.size() ? kErrorFileNotFound : kErrorPathNotFound);
    }
    real += "/" + stored;
    out += "\\" + stored;
  }
  if (wp.components.empty()) out += "\\";
  *long_path = out;
  return true;
}

std::string GetFullPathName(std::string_view path) { return ParseWindowsPath(path).ToString(); }

std::string GetCurrentDirectory() {
  std::lock_guard<std::mutex> lock(g_cwd_mu);
  if (g_cwd.empty()) {
    Host* host = Host::Current();
    if (host) {
      char buf[PATH_MAX];
      if (::getcwd(buf, sizeof buf)) g_cwd = RealToWindowsPath(*host, buf);
      if (g_cwd.empty()) g_cwd = host->system_dir();
    } else {
      return "C:\\";
    }
  }
  return g_cwd;
}

bool SetCurrentDirectory(std::string_view path) {
  WindowsPath wp = ParseWindowsPath(path);
  if (wp.kind != PathKind::kLocal) return Fail(kErrorInvalidName);
  std::string real;
  if (!ResolvePath(wp.ToString(), &real)) return false;
  struct stat st;
  if (::stat(real.c_str(), &st) != 0) return FailErrno(errno);
  if (!S_ISDIR(st.st_mode)) return Fail(kErrorDirectory);
  std::lock_guard<std::mutex> lock(g_cwd_mu);
  g_cwd = wp.ToString();
  return true;
}

std::string ShortName(std::string_view long_name, int ordinal) {
  if (IsValid83(long_name)) return ToUpperAscii(long_name);
  std::string key = ShortKey(long_name);
  size_t bar = key.find('|');
  std::string out = key.substr(0, bar) + "~" + std::to_string(ordinal);
  std::string ext = key.substr(bar + 1);
  if (!ext.empty()) out += "." + ext;
  return out;
}

bool WildcardMatch(std::string_view pattern, std::string_view name) {
  if (pattern == "*" || pattern == "*.*") return true;
  // Iterative matcher with backtracking on the last '*'.
  auto match = [](std::string_view p, std::string_view n) {
    size_t pi = 0, ni = 0, star = std::string_view::npos, mark = 0;
    while (ni < n.size()) {
      if (pi < p.size() && (p[pi] == '?' || ToLowerAscii(p[pi]) == ToLowerAscii(n[ni]))) {
        ++pi;
        ++ni;
      } else if (pi < p.size() && p[pi] == '*') {
        star = pi++;
        mark = ni;
      } else if (star != std::string_view::npos) {
        pi = star + 1;
        ni = ++mark;
      } else {
        return false;
      }
    }
    while (pi < p.size() && (p[pi] == '*' || p[pi] == '?')) ++pi;
    return pi == p.size();
  };
  if (match(pattern, name)) return true;
  // "name.*" also matches "name", as "*.*" matches names without a dot.
  if (pattern.size() >= 2 && pattern.substr(pattern.size() - 2) == ".*" &&
      name.find('.') == std::string_view::npos)
    return match(pattern.substr(0, pattern.size() - 2), name);
  return false;
}

}  // namespace platform
