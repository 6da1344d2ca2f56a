#include "VXAgent/engine/trace_syntax.h"

#include <algorithm>

#include "platform/strings.h"

namespace engine {
namespace {

struct HivePrefix {
  const char* name;
  platform::RootKey root;
};
// Long names first: "HKEY_USERS" must not be taken for a short name.
constexpr HivePrefix kHivePrefixes[] = {
    {"HKEY_CLASSES_ROOT", platform::RootKey::kClassesRoot},
    {"HKEY_CURRENT_USER", platform::RootKey::kCurrentUser},
    {"HKEY_LOCAL_MACHINE", platform::RootKey::kLocalMachine},
    {"HKEY_USERS", platform::RootKey::kUsers},
    {"HKEY_CURRENT_CONFIG", platform::RootKey::kCurrentConfig},
    {"HKCR", platform::RootKey::kClassesRoot},
    {"HKCU", platform::RootKey::kCurrentUser},
    {"HKLM", platform::RootKey::kLocalMachine},
    {"HKU", platform::RootKey::kUsers},
    {"HKCC", platform::RootKey::kCurrentConfig},
};

constexpr std::string_view kUserSidPrefix = "S-1-5-21";

// Splits "a\b\c" into "a\b" and "c"; without a backslash the key path is
// empty and the whole text is the name.
void SplitLastComponent(std::string_view text, std::string* key_path, std::string* name) {
  size_t slash = text.rfind('\\');
  if (slash == std::string_view::npos) {
    key_path->clear();
    *name = std::string(text);
  } else {
    *key_path = std::string(text.substr(0, slash));
    *name = std::string(text.substr(slash + 1));
  }
}

// The text before the separator character that precedes position `mark`.
std::string_view BeforeSeparator(std::string_view text, size_t mark) {
  return mark == 0 ? std::string_view() : text.substr(0, mark - 1);
}

}  // namespace

std::optional<std::string> DrivelessPath(std::string_view path) {
  size_t colon = path.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  size_t start = std::min(path.size(), colon + 2);
  return std::string(path.substr(start));
}

bool IsProgramPath(std::string_view path) {
  return platform::EndsWithIgnoreCase(path, ".EXE") || platform::EndsWithIgnoreCase(path, ".COM") ||
         platform::EndsWithIgnoreCase(path, ".BAT");
}

RegPath ParseRegPath(std::string_view trace) {
  RegPath out;
  for (const auto& p : kHivePrefixes) {
    if (trace.substr(0, std::string_view(p.name).size()) == p.name) {
      out.hive = p.root;
      break;
    }
  }
  size_t slash = trace.find('\\');
  if (slash != std::string_view::npos) out.subkey = std::string(trace.substr(slash + 1));
  return out;
}

RegValueName ParseRegValueName(std::string_view subkey) {
  RegValueName out;
  size_t quote = subkey.find('"');
  if (quote != std::string_view::npos) {
    size_t end = subkey.find('"', quote + 1);
    out.value_name = std::string(subkey.substr(
        quote + 1, end == std::string_view::npos ? std::string_view::npos : end - quote - 1));
    out.key_path = std::string(BeforeSeparator(subkey, quote));
  } else {
    SplitLastComponent(subkey, &out.key_path, &out.value_name);
  }
  return out;
}

RegDataParts ParseRegData(std::string_view subkey, bool quoted) {
  RegDataParts out;
  std::string_view rest = subkey;
  if (quoted) {
    size_t first = subkey.find('"');
    if (first != std::string_view::npos) {
      size_t last = subkey.rfind('"');
      if (last > first) out.data = std::string(subkey.substr(first + 1, last - first - 1));
      rest = BeforeSeparator(subkey, first);
    }
  } else {
    size_t colon = subkey.find(':');
    if (colon != std::string_view::npos) {
      out.data = std::string(subkey.substr(colon + 1));
      rest = BeforeSeparator(subkey, colon);
    }
  }
  SplitLastComponent(rest, &out.key_path, &out.value_name);
  return out;
}

std::string DataTraceColonForm(std::string_view trace, std::string_view data) {
  size_t quote = trace.find('"');
  if (quote == std::string_view::npos) return std::string(trace);
  std::string out(trace.substr(0, quote));
  out += ':';
  out += data;
  return out;
}

std::string RewriteUserSid(std::string_view definition, std::string_view local_sid) {
  size_t start = definition.find(kUserSidPrefix);
  if (start == std::string_view::npos) return std::string(definition);
  size_t end = definition.find('\\', start);
  if (end == std::string_view::npos) end = definition.size();
  std::string out(definition.substr(0, start));
  out += local_sid;
  out += definition.substr(end);
  return out;
}

std::string CookieSiteKey(std::string_view trace) {
  std::string key = platform::ToUpperAscii(trace.substr(0, trace.find('$')));
  if (key.find("WWW") != std::string::npos) {
    size_t dot = key.find('.');
    if (dot != std::string::npos) key.erase(0, dot + 1);
  }
  if (key.find("CO") != std::string::npos || key.find("IN") != std::string::npos) {
    size_t dot = key.rfind('.');
    if (dot != std::string::npos) key.erase(dot);
  }
  return key;
}

std::optional<std::string> CookieFileSite(std::string_view path) {
  size_t at = path.find('@');
  size_t bracket = path.find('[');
  if (at == std::string_view::npos || bracket == std::string_view::npos || bracket < at)
    return std::nullopt;
  return platform::ToUpperAscii(path.substr(at + 1, bracket - at - 1));
}

std::string ReverseLastComponent(std::string_view path) {
  size_t sep = path.rfind('\\');
  if (sep == std::string_view::npos) sep = path.rfind('/');
  size_t start = sep == std::string_view::npos ? 0 : sep + 1;
  std::string out(path);
  std::reverse(out.begin() + static_cast<std::ptrdiff_t>(start), out.end());
  return out;
}

}  // namespace engine
