#include "tools/vxdbtool/spy_source.h"

#include <array>

namespace vxdbtool {
namespace {

using engine::CSpy;

struct ListKeyword {
  const char* keyword;
  std::vector<std::string> CSpy::*list;
};
// Field order, which is also the order the formatter writes.
constexpr std::array<ListKeyword, 7> kLists = {{
    {"file", &CSpy::files},
    {"process", &CSpy::processes},
    {"folder", &CSpy::folders},
    {"cookie", &CSpy::cookies},
    {"regkey", &CSpy::regKeys},
    {"regvalue", &CSpy::regValues},
    {"regdata", &CSpy::regData},
}};

constexpr char kHexSuffix[] = "#hex";
constexpr char kHexDigits[] = "0123456789abcdef";

bool NeedsHex(std::string_view text) {
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7F) return true;
  // Leading blanks would read as indentation.
  return !text.empty() && (text.front() == ' ' || text.front() == '\t');
}

std::string Hex(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    out += kHexDigits[c >> 4];
    out += kHexDigits[c & 0xF];
  }
  return out;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Unhex(std::string_view hex, std::string* out) {
  if (hex.size() % 2) return false;
  std::string bytes;
  for (size_t i = 0; i < hex.size(); i += 2) {
    int hi = HexValue(hex[i]), lo = HexValue(hex[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes += static_cast<char>(hi * 16 + lo);
  }
  *out = std::move(bytes);
  return true;
}

void Line(std::string* out, std::string_view indent, std::string_view keyword,
          std::string_view text) {
  *out += indent;
  *out += keyword;
  if (NeedsHex(text)) {
    *out += kHexSuffix;
    *out += ' ';
    *out += Hex(text);
  } else {
    *out += ' ';
    *out += text;
  }
  *out += '\n';
}

// One source line split into keyword and verbatim text.
struct SourceLine {
  std::string keyword;
  std::string text;
  bool has_text = false;
};

bool SplitLine(std::string_view line, SourceLine* out, std::string* reason) {
  size_t start = line.find_first_not_of(" \t");
  line.remove_prefix(start);
  size_t blank = line.find(' ');
  out->keyword = std::string(line.substr(0, blank));
  out->has_text = blank != std::string_view::npos;
  std::string_view text = out->has_text ? line.substr(blank + 1) : std::string_view();
  if (out->keyword.size() > 4 &&
      out->keyword.compare(out->keyword.size() - 4, 4, kHexSuffix) == 0) {
    out->keyword.resize(out->keyword.size() - 4);
    if (!Unhex(text, &out->text)) {
      *reason = "bad hexadecimal text";
      return false;
    }
  } else {
    out->text = std::string(text);
  }
  return true;
}

}  // namespace

bool ParseSpySource(std::string_view text, engine::SpyMap* map, std::string* error) {
  engine::SpyMap result;
  std::string name;
  std::shared_ptr<CSpy> spy;
  bool in_block = false, null_definition = false;
  size_t block_line = 0, number = 0;
  auto fail = [&](size_t line, const std::string& reason) {
    if (error) *error = "line " + std::to_string(line) + ": " + reason;
    return false;
  };
  while (!text.empty()) {
    size_t eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos || line[first] == '#') continue;
    SourceLine l;
    std::string reason;
    if (!SplitLine(line, &l, &reason)) return fail(number, reason);
    if (l.keyword == "spy") {
      if (in_block) return fail(number, "spy inside the block of \"" + name + "\" (missing end)");
      if (!l.has_text || l.text.empty()) return fail(number, "spy without a name");
      if (result.count(l.text)) return fail(number, "spy \"" + l.text + "\" defined twice");
      name = l.text;
      spy = std::make_shared<CSpy>();
      in_block = true;
      null_definition = false;
      block_line = number;
      continue;
    }
    if (!in_block) return fail(number, "\"" + l.keyword + "\" outside a spy block");
    if (l.keyword == "end") {
      result[name] = null_definition ? nullptr : std::shared_ptr<const CSpy>(spy);
      in_block = false;
      continue;
    }
    if (l.keyword == "none") {
      null_definition = true;
      continue;
    }
    const ListKeyword* list = nullptr;
    for (const auto& k : kLists)
      if (l.keyword == k.keyword) list = &k;
    if (!list) return fail(number, "unknown keyword \"" + l.keyword + "\"");
    if (!l.has_text) return fail(number, l.keyword + " without a text");
    ((*spy).*(list->list)).push_back(l.text);
  }
  if (in_block) return fail(block_line, "spy \"" + name + "\" has no end");
  for (auto& [n, s] : result) (*map)[n] = s;
  return true;
}

std::string FormatSpySource(const engine::SpyMap& map) {
  std::string out = "# Spy definitions: one block per spy (spy NAME ... end).\n";
  for (const auto& [name, spy] : map) {
    out += '\n';
    Line(&out, "", "spy", name);
    if (!spy) {
      out += "  none\n";
    } else {
      for (const auto& k : kLists)
        for (const std::string& text : (*spy).*(k.list)) Line(&out, "  ", k.keyword, text);
    }
    out += "end\n";
  }
  return out;
}

}  // namespace vxdbtool
