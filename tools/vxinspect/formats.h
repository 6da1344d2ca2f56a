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
int ProbeMonitorLog(std::string_view bytes);
bool InspectMonitorLog(std::string_view bytes, Node* doc, std::string* error);
int ProbeConfig(std::string_view bytes);
bool InspectConfig(std::string_view bytes, Node* doc, std::string* error);

}  // namespace vxinspect
