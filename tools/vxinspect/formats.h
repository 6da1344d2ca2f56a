// The file formats vxinspect knows. Each format can tell how much a file
// looks like it (to guess the type when none is given) and turns the file's
// bytes into a Node document. Adding a format = one Format entry in
// formats.cc and its two functions.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tools/vxinspect/document.h"

namespace vxinspect {

struct Format {
  const char* name;          // the --type value: "stringmap"
  const char* description;   // "string map file"
  // 0: not this format; higher: more certainly this format.
  int (*probe)(std::string_view bytes);
  // Fills `doc` with what the bytes hold. False with a one-line `error`
  // when they are not (wholly) of this format; `doc` then holds what could
  // be read.
  bool (*inspect)(std::string_view bytes, Node* doc, std::string* error);
};

const std::vector<Format>& Formats();
const Format* FindFormat(std::string_view name);
// The format with the highest probe score; null when none scores.
const Format* GuessFormat(std::string_view bytes);

int ProbeStringMap(std::string_view bytes);
bool InspectStringMap(std::string_view bytes, Node* doc, std::string* error);
int ProbeConfig(std::string_view bytes);
bool InspectConfig(std::string_view bytes, Node* doc, std::string* error);
// Text in the shape of a plain (not enciphered) config file.
bool IsConfigText(std::string_view text);
// The agent's scan records: ScanHistory.ini, LogFolder files, SpySignatures.txt.
int ProbeScanHistory(std::string_view bytes);
bool InspectScanHistory(std::string_view bytes, Node* doc, std::string* error);
int ProbeScanLog(std::string_view bytes);
bool InspectScanLog(std::string_view bytes, Node* doc, std::string* error);
int ProbeSignatures(std::string_view bytes);
bool InspectSignatures(std::string_view bytes, Node* doc, std::string* error);

}  // namespace vxinspect
