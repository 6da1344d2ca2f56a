// The syntax of definition strings, apart from any file or registry access,
// so that collections, traces and the database tool share one reading.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/registry.h"

namespace engine {

// A path without its drive: the text after the first ':' and the character
// after it ("C:\a\b" gives "a\b"). Empty optional when the path holds no
// ':' (it then has no place on any drive).
std::optional<std::string> DrivelessPath(std::string_view path);

// Whether an expanded file path names a program that may run as a process:
// its last four characters are ".EXE", ".COM" or ".BAT", in any case.
bool IsProgramPath(std::string_view path);

// Hive prefix and sub-key of a registry definition. The prefix must be one
// of the hive names, upper case, long names tested first; the sub-key is
// everything after the first backslash (empty without one).
struct RegPath {
  std::optional<platform::RootKey> hive;  // none: never present
  std::string subkey;
};
RegPath ParseRegPath(std::string_view trace);

// Key path and value name of a value definition's sub-key: a quoted name
// ("Run\"My Spy\Tool"") or the last backslash component.
struct RegValueName {
  std::string key_path;
  std::string value_name;
};
RegValueName ParseRegValueName(std::string_view subkey);

// Key path, value name and data of a data definition's sub-key. The quoted
// syntax (definitions) puts the data between the first and the last double
// quote; the colon syntax (log entries) after the first ':'. The character
// just before the quote or colon separates the data from the value name.
struct RegDataParts {
  std::string key_path;
  std::string value_name;  // "(Default)" means the unnamed value
  std::string data;
};
RegDataParts ParseRegData(std::string_view subkey, bool quoted);

// The colon form of a detected data definition: the text before the first
// double quote, then ':' and the data ("HKLM\k\v\"x"" gives "HKLM\k\v\:x").
// A string without a quote is returned unchanged.
std::string DataTraceColonForm(std::string_view trace, std::string_view data);

// The SID of a key definition under HKEY_USERS replaced by the machine's
// own user SID: from "S-1-5-21" on, the definition's SID (up to the next
// backslash or the end) gives way to `local_sid`. Definitions without
// "S-1-5-21" are returned unchanged.
std::string RewriteUserSid(std::string_view definition, std::string_view local_sid);

// The key a cookie definition is matched by: the site (before any "$") in
// upper case; with "WWW" in it, everything up to the first "." is dropped;
// then, with "COM", "CO" or "IN" anywhere in it, everything from the last
// "." on is dropped ("www.adsite.com" gives "ADSITE").
std::string CookieSiteKey(std::string_view trace);

// The site part of a cookie file: the text of its path between the first
// "@" and the first "[", upper case. Empty optional without both, or with
// the "[" first.
std::optional<std::string> CookieFileSite(std::string_view path);

// The name part of a reversed (quarantined) or restored path: the last
// component after a backslash (or, without one, a slash) reversed.
std::string ReverseLastComponent(std::string_view path);

}  // namespace engine
