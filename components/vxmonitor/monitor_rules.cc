#include "components/vxmonitor/monitor_rules.h"

#include "VXAgent/engine/path_expander.h"
#include "VXAgent/engine/spy_database.h"
#include "VXAgent/engine/trace_syntax.h"
#include "common/rc4.h"
#include "platform/file.h"
#include "platform/strings.h"

namespace vxmonitor {

bool LoadSpyExecutables(const std::string& path, std::vector<SpyExecutable>* out) {
  std::string bytes;
  if (!platform::ReadFileToString(path, &bytes)) return false;
  if (!common::Rc4Crypt(&bytes)) return false;
  engine::SpyMap spies;
  if (engine::DecodeSpyArchive(bytes, &spies) != engine::SpyArchiveStatus::kOk) return false;
  engine::CPathExpander expander;
  std::vector<SpyExecutable> list;
  for (const auto& [name, spy] : spies) {
    if (!spy) continue;
    for (std::string image : spy->processes) {
      expander.Expand(image);
      list.push_back({image, name});
    }
    for (std::string file : spy->files) {
      expander.Expand(file);
      if (engine::IsProgramPath(file)) list.push_back({file, name});
    }
  }
  *out = std::move(list);
  return true;
}

std::vector<std::string> ParseTrackingSites(std::string_view text) {
  std::vector<std::string> sites;
  for (const std::string& raw : platform::Split(text, '\n')) {
    std::string line = platform::Trim(raw, " \t\r");
    if (line.empty() || line[0] == ';' || line[0] == '#' || line[0] == '[') continue;
    const size_t eq = line.find('=');
    if (eq != std::string::npos) line = platform::Trim(line.substr(eq + 1), " \t");
    if (!line.empty()) sites.push_back(line);
  }
  return sites;
}

bool LoadTrackingSites(const std::string& path, std::vector<std::string>* sites) {
  std::string text;
  if (!platform::ReadFileToString(path, &text)) return false;
  *sites = ParseTrackingSites(text);
  return true;
}

std::optional<std::string> CookieFolderFromCommandLine(std::string_view command_line) {
  std::string line = platform::Trim(command_line, " \t");
  if (!line.empty() && line[0] != '-') {
    // Started with the program's own name first: the arguments follow it.
    size_t end = 0;
    if (line[0] == '"') {
      end = line.find('"', 1);
      end = end == std::string::npos ? line.size() : end + 1;
    } else {
      end = line.find_first_of(" \t");
      if (end == std::string::npos) end = line.size();
    }
    line = platform::Trim(line.substr(end), " \t");
  }
  if (line.size() < 2 || line[0] != '-') return std::nullopt;
  // The folder is not quoted by the agent and may hold blanks: the rest of
  // the line is the folder.
  std::string folder = platform::Trim(line.substr(1), " \t\"");
  if (folder.empty()) return std::nullopt;
  return folder;
}

}  // namespace vxmonitor
