// vxinspect: shows any of the suite's files for support staff.
//
//   vxinspect [--json] [--type TYPE] FILE
//
// FILE is a real path. Without --type the type is guessed from the
// content. Output goes to standard output; a failure is one line on
// standard error ("vxinspect: FILE: reason") with exit code 1 (2 for a
// wrong command line). A file that is only partly readable is shown as far
// as it goes and then fails.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "tools/vxinspect/formats.h"

namespace {

int Usage(const std::string& why) {
  std::string types;
  for (const vxinspect::Format& f : vxinspect::Formats())
    types += (types.empty() ? "" : "|") + std::string(f.name);
  std::cerr << "vxinspect: " << why << "\nusage: vxinspect [--json] [--type " << types
            << "] FILE\n";
  return 2;
}

int Fail(const std::string& file, const std::string& why) {
  std::cerr << "vxinspect: " << file << ": " << why << "\n";
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  bool json = false;
  std::string type, file;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--json") {
      json = true;
    } else if (a == "--type") {
      if (++i == argc) return Usage("--type needs a value");
      type = argv[i];
    } else if (a.rfind("--type=", 0) == 0) {
      type = a.substr(7);
    } else if (a == "--help" || a == "-h") {
      Usage("shows a file of the suite");
      return 0;
    } else if (!a.empty() && a[0] == '-' && a != "-") {
      return Usage("unknown option " + a);
    } else if (file.empty()) {
      file = a;
    } else {
      return Usage("only one FILE");
    }
  }
  if (file.empty()) return Usage("no FILE");

  const vxinspect::Format* format = nullptr;
  if (!type.empty()) {
    format = vxinspect::FindFormat(type);
    if (!format) return Usage("unknown type " + type);
  }

  std::ifstream in(file, std::ios::binary);
  if (!in) return Fail(file, std::strerror(errno));
  std::stringstream content;
  content << in.rdbuf();
  if (in.bad()) return Fail(file, "read error");
  const std::string bytes = content.str();

  if (!format) format = vxinspect::GuessFormat(bytes);
  if (!format) return Fail(file, "not a file vxinspect knows (use --type to force one)");

  vxinspect::Node doc = vxinspect::Node::Object();
  doc.Add("file", vxinspect::Node::String(file));
  doc.Add("size", vxinspect::Node::Number(static_cast<int64_t>(bytes.size())));
  std::string error;
  bool ok = format->inspect(bytes, &doc, &error);
  if (!ok) doc.Add("error", vxinspect::Node::String(error));
  std::cout << (json ? vxinspect::RenderJson(doc) : vxinspect::RenderText(doc));
  std::cout.flush();
  if (!ok) return Fail(file, error);
  return 0;
}
