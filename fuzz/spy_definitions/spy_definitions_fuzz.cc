// Any bytes as a definition archive, as definition strings and as a
// definitions source: no crash, no leak, no allocation beyond the input,
// and what reads cleanly writes back to the same thing.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "VXAgent/engine/spy_database.h"
#include "VXAgent/engine/trace_syntax.h"
#include "tools/vxdbtool/spy_source.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

bool SameMaps(const engine::SpyMap& a, const engine::SpyMap& b) {
  if (a.size() != b.size()) return false;
  for (const auto& [name, spy] : a) {
    auto it = b.find(name);
    if (it == b.end() || !spy != !it->second) return false;
    if (spy && !(*spy == *it->second)) return false;
  }
  return true;
}

void Archive(std::string_view bytes) {
  engine::SpyMap map;
  if (engine::DecodeSpyArchive(bytes, &map) != engine::SpyArchiveStatus::kOk) return;
  engine::SpyMap back;
  Check(engine::DecodeSpyArchive(engine::EncodeSpyArchive(map), &back) ==
        engine::SpyArchiveStatus::kOk);
  Check(SameMaps(map, back));
  std::vector<std::string> names;
  if (engine::ExcludeList::Decode(bytes, &names)) {
    std::vector<std::string> again;
    Check(engine::ExcludeList::Decode(engine::ExcludeList::Encode(names), &again) && again == names);
  }
}

void DefinitionString(std::string_view text) {
  engine::RegPath path = engine::ParseRegPath(text);
  Check(path.subkey.size() <= text.size());
  engine::ParseRegValueName(path.subkey);
  engine::RegDataParts quoted = engine::ParseRegData(path.subkey, true);
  // The colon form of a detected data trace reads back to the same parts
  // when nothing before the quote holds a colon.
  size_t quote = text.find('"');
  if (quote != std::string_view::npos && text.substr(0, quote).find(':') == std::string_view::npos &&
      text.find('\\') < quote) {
    std::string colon = engine::DataTraceColonForm(text, quoted.data);
    engine::RegDataParts from_log = engine::ParseRegData(engine::ParseRegPath(colon).subkey, false);
    Check(from_log.data == quoted.data);
    Check(from_log.key_path == quoted.key_path);
    Check(from_log.value_name == quoted.value_name);
  }
  engine::RewriteUserSid(text, "S-1-5-21-1-2-3-1000");
  engine::CookieSiteKey(text);
  engine::CookieFileSite(text);
  engine::DrivelessPath(text);
  std::string reversed = engine::ReverseLastComponent(text);
  Check(engine::ReverseLastComponent(reversed) == text);
}

void Source(std::string_view text) {
  engine::SpyMap map;
  std::string error;
  if (!vxdbtool::ParseSpySource(text, &map, &error)) return;
  engine::SpyMap back;
  Check(vxdbtool::ParseSpySource(vxdbtool::FormatSpySource(map), &back, &error));
  Check(SameMaps(map, back));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  Archive(bytes);
  DefinitionString(bytes);
  Source(bytes);
  return 0;
}
