// Small ASCII string helpers shared by the platform layer and the programs.
// Windows compares names without regard to case in the ASCII range only
// (texts are single-byte), which is what these do.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform {

char ToLowerAscii(char c);
char ToUpperAscii(char c);
std::string ToLowerAscii(std::string_view s);
std::string ToUpperAscii(std::string_view s);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
// <0, 0, >0 like _stricmp.
int CompareIgnoreCase(std::string_view a, std::string_view b);
bool StartsWithIgnoreCase(std::string_view s, std::string_view prefix);
bool EndsWithIgnoreCase(std::string_view s, std::string_view suffix);

// Removes blanks (space, tab, CR, LF) at both ends.
std::string TrimBlanks(std::string_view s);
// Removes every character of `set` at both ends.
std::string Trim(std::string_view s, std::string_view set);

std::vector<std::string> Split(std::string_view s, char sep);
// Replaces every occurrence of `from` (non-empty) by `to`, left to right,
// without rescanning replaced text.
std::string ReplaceAll(std::string_view s, std::string_view from, std::string_view to);

}  // namespace platform
