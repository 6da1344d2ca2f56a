// vxdbtool: authoring of spy definition databases.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "VXAgent/engine/spy_database.h"
#include "common/rc4.h"
#include "tools/vxdbtool/sample_database.h"
#include "tools/vxdbtool/spy_source.h"

namespace {

constexpr char kUsage[] =
    "usage: vxdbtool compile SOURCE OUT [--plain]   source -> database (sealed unless --plain)\n"
    "       vxdbtool decompile DB OUT [--plain]     database (sealed unless --plain) -> source\n"
    "       vxdbtool seal IN OUT                    encipher a database file\n"
    "       vxdbtool unseal IN OUT                  decipher a database file\n"
    "       vxdbtool sample --spies N --out FILE [--seed S] [--plain] [--source]\n"
    "                                               a database of made-up spyware\n"
    "       vxdbtool exclude OUT [NAME...]          an exclusion list of spy names\n";

bool ReadFile(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  *out = buffer.str();
  return !in.bad();
}

bool WriteFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
  out.close();
  return static_cast<bool>(out);
}

int Fail(const std::string& message) {
  std::cerr << "vxdbtool: " << message << "\n";
  return 1;
}

int Usage() {
  std::cerr << kUsage;
  return 2;
}

// Positional arguments and the flags of one command.
struct Args {
  std::vector<std::string> positional;
  bool plain = false, source = false;
  long spies = -1, seed = 1;
  std::string out;
  bool ok = true;
};

Args ParseArgs(int argc, char** argv, int first) {
  Args a;
  for (int i = first; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        a.ok = false;
        return {};
      }
      return argv[++i];
    };
    auto number = [&]() -> long {
      std::string v = value();
      char* end = nullptr;
      long n = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end || n < 0) a.ok = false;
      return n;
    };
    if (arg == "--plain") a.plain = true;
    else if (arg == "--source") a.source = true;
    else if (arg == "--spies") a.spies = number();
    else if (arg == "--seed") a.seed = number();
    else if (arg == "--out") a.out = value();
    else if (arg.rfind("--", 0) == 0) a.ok = false;
    else a.positional.push_back(arg);
  }
  return a;
}

int WriteDatabase(const engine::SpyMap& map, const std::string& path, bool plain) {
  std::string bytes = engine::EncodeSpyArchive(map);
  if (!plain && !common::Rc4Crypt(&bytes)) return Fail("database too large to seal");
  if (!WriteFile(path, bytes)) return Fail(path + ": cannot be written");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string command = argv[1];
  Args args = ParseArgs(argc, argv, 2);
  if (!args.ok) return Usage();
  const auto& pos = args.positional;

  if (command == "compile" && pos.size() == 2) {
    std::string text, error;
    if (!ReadFile(pos[0], &text)) return Fail(pos[0] + ": cannot be read");
    engine::SpyMap map;
    if (!vxdbtool::ParseSpySource(text, &map, &error)) return Fail(pos[0] + ": " + error);
    return WriteDatabase(map, pos[1], args.plain);
  }
  if (command == "decompile" && pos.size() == 2) {
    std::string bytes;
    if (!ReadFile(pos[0], &bytes)) return Fail(pos[0] + ": cannot be read");
    if (!args.plain && !common::Rc4Crypt(&bytes)) return Fail(pos[0] + ": too large");
    engine::SpyMap map;
    engine::SpyArchiveStatus status = engine::DecodeSpyArchive(bytes, &map);
    if (status != engine::SpyArchiveStatus::kOk)
      return Fail(pos[0] + ": " + engine::SpyArchiveStatusText(status) + " (after " +
                  std::to_string(map.size()) + " spies)");
    if (!WriteFile(pos[1], vxdbtool::FormatSpySource(map))) return Fail(pos[1] + ": cannot be written");
    return 0;
  }
  if ((command == "seal" || command == "unseal") && pos.size() == 2) {
    std::string bytes;
    if (!ReadFile(pos[0], &bytes)) return Fail(pos[0] + ": cannot be read");
    if (!common::Rc4Crypt(&bytes)) return Fail(pos[0] + ": too large");
    if (!WriteFile(pos[1], bytes)) return Fail(pos[1] + ": cannot be written");
    return 0;
  }
  if (command == "sample" && pos.empty() && args.spies >= 0 && !args.out.empty()) {
    vxdbtool::SampleOptions options;
    options.spies = static_cast<uint32_t>(args.spies);
    options.seed = static_cast<uint32_t>(args.seed);
    engine::SpyMap map = vxdbtool::GenerateSampleDatabase(options);
    if (args.source) {
      if (!WriteFile(args.out, vxdbtool::FormatSpySource(map)))
        return Fail(args.out + ": cannot be written");
      return 0;
    }
    return WriteDatabase(map, args.out, args.plain);
  }
  if (command == "exclude" && !pos.empty()) {
    std::vector<std::string> names(pos.begin() + 1, pos.end());
    if (!WriteFile(pos[0], engine::ExcludeList::Encode(names))) return Fail(pos[0] + ": cannot be written");
    return 0;
  }
  return Usage();
}
