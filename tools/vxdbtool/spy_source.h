// The readable source form of a spy definition database: one block per
// spy, its name and its seven lists (docs/formats/spy-definitions-source.md).
//
//   # comment
//   spy Name Of The Spy
//     file %PFDIR%\Spy\spy.exe
//     regdata HKLM\Software\Spy\Mode\"on"
//   end
//
// A line is a keyword, one blank, and the text taken verbatim to the end of
// the line. Texts holding control characters use the keyword followed by
// "#hex" and the bytes in hexadecimal. A block holding the line "none"
// stands for a spy without a definition.
#pragma once

#include <string>
#include <string_view>

#include "VXAgent/engine/spy_database.h"

namespace vxdbtool {

// Parses `text` into `map`. False with "line N: reason" in `error` for a
// malformed line, an unterminated block or a spy named twice.
bool ParseSpySource(std::string_view text, engine::SpyMap* map, std::string* error);

// The source form of `map` (spies in map order, lists in field order).
// Parsing it gives the same names and lists back.
std::string FormatSpySource(const engine::SpyMap& map);

}  // namespace vxdbtool
