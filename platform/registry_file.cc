// .reg files: the Registry Editor text format (version 5.00, and REGEDIT4
// on import).
#include <cstdio>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/registry.h"
#include "platform/strings.h"

namespace platform {
namespace {

constexpr char kHeader5[] = "Windows Registry Editor Version 5.00";
constexpr char kHeader4[] = "REGEDIT4";
constexpr char kEol[] = "\r\n";
constexpr size_t kHexLineWidth = 76;

std::string Reason(uint32_t code) { return TrimBlanks(ErrorMessage(code)); }

std::vector<std::string> KeyNames(std::string_view path) {
  std::vector<std::string> out;
  for (auto& part : Split(path, '\\'))
    if (!part.empty()) out.push_back(part);
  return out;
}

std::string Join(const std::vector<std::string>& names, size_t from) {
  std::string out;
  for (size_t i = from; i < names.size(); ++i) {
    if (!out.empty()) out.push_back('\\');
    out += names[i];
  }
  return out;
}

// ---- export ----

std::string Quote(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

// A string value fits the "name"="text" form when it is one NUL-terminated
// text that keeps to one line; anything else is written as hex(1) so that
// its bytes come back exactly.
bool PlainString(const std::vector<uint8_t>& d) {
  if (d.empty() || d.back() != 0) return false;
  for (size_t i = 0; i + 1 < d.size(); ++i)
    if (d[i] == 0 || d[i] == '\r' || d[i] == '\n') return false;
  return true;
}

void AppendHex(std::string* out, std::string prefix, const std::vector<uint8_t>& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string line = std::move(prefix);
  for (size_t i = 0; i < bytes.size(); ++i) {
    line.push_back(kDigits[bytes[i] >> 4]);
    line.push_back(kDigits[bytes[i] & 15]);
    if (i + 1 < bytes.size()) {
      line.push_back(',');
      if (line.size() > kHexLineWidth) {
        *out += line + "\\" + kEol;
        line = "  ";
      }
    }
  }
  *out += line + kEol;
}

// Version 5.00 files carry the text types as UTF-16LE; our texts are single
// bytes, each one code unit.
std::vector<uint8_t> Widen(const std::vector<uint8_t>& d) {
  std::vector<uint8_t> out;
  out.reserve(d.size() * 2);
  for (uint8_t b : d) {
    out.push_back(b);
    out.push_back(0);
  }
  return out;
}

void AppendValue(std::string* out, const RegValue& v) {
  std::string prefix = v.name.empty() ? "@=" : Quote(v.name) + "=";
  if (v.type == kRegSz && PlainString(v.data)) {
    *out +=
        prefix +
        Quote(std::string_view(reinterpret_cast<const char*>(v.data.data()), v.data.size() - 1)) +
        kEol;
  } else if (v.type == kRegDword && v.data.size() == 4) {
    char buf[16];
    uint32_t x =
        v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) | (static_cast<uint32_t>(v.data[3]) << 24);
    std::snprintf(buf, sizeof buf, "dword:%08x", x);
    *out += prefix + buf + kEol;
  } else if (v.type == kRegBinary) {
    AppendHex(out, prefix + "hex:", v.data);
  } else {
    char buf[24];
    std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
    bool text = v.type == kRegSz || v.type == kRegExpandSz || v.type == kRegMultiSz;
    AppendHex(out, prefix + buf, text ? Widen(v.data) : v.data);
  }
}

bool ExportKey(const RegKey& key, const std::string& section, std::string* text,
               std::string* error) {
  *text += "[" + section + "]" + kEol;
  for (uint32_t i = 0;; ++i) {
    RegValue v;
    uint32_t code = key.EnumValue(i, &v);
    if (code == kErrorNoMoreItems) break;
    if (code != kErrorSuccess) {
      *error = section + ": " + Reason(code);
      return false;
    }
    AppendValue(text, v);
  }
  *text += kEol;
  for (uint32_t i = 0;; ++i) {
    std::string name;
    uint32_t code = key.EnumKey(i, &name);
    if (code == kErrorNoMoreItems) break;
    RegKey sub;
    if (code == kErrorSuccess) code = key.OpenKey(name, kKeyRead, &sub);
    if (code != kErrorSuccess) {
      *error = section + (name.empty() ? "" : "\\" + name) + ": " + Reason(code);
      return false;
    }
    if (!ExportKey(sub, section + "\\" + name, text, error)) return false;
  }
  return true;
}

// ---- import ----

struct Op {
  enum Kind { kKey, kDeleteKey, kSet, kDeleteValue } kind = kKey;
  size_t line = 0;
  RootKey root = RootKey::kLocalMachine;
  std::string path;  // kKey, kDeleteKey
  std::string name;  // kSet, kDeleteValue
  uint32_t type = 0;
  std::vector<uint8_t> data;
};

struct LogicalLine {
  size_t number;
  std::string text;
};

// Decodes a UTF-16LE file (what Registry Editor writes) to single bytes.
bool Narrow16(std::string_view in, std::string* out) {
  out->clear();
  for (size_t i = 0; i + 1 < in.size(); i += 2) {
    unsigned lo = static_cast<uint8_t>(in[i]), hi = static_cast<uint8_t>(in[i + 1]);
    if (hi != 0) return false;
    out->push_back(static_cast<char>(lo));
  }
  return true;
}

std::vector<LogicalLine> Lines(std::string_view text) {
  std::vector<LogicalLine> out;
  size_t number = 0;
  bool continuing = false;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string line(text.substr(pos, end - pos));
    pos = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string trimmed = TrimBlanks(line);
    if (continuing) {
      out.back().text += trimmed;
    } else {
      out.push_back({number, trimmed});
    }
    std::string& cur = out.back().text;
    // A backslash at the end of a data line continues it (hex lists).
    continuing = !cur.empty() && cur[0] != ';' && cur[0] != '[' && cur.back() == '\\';
    if (continuing) cur.pop_back();
  }
  return out;
}

bool HexDigit(char c, unsigned* v) {
  if (c >= '0' && c <= '9')
    *v = c - '0';
  else if (c >= 'a' && c <= 'f')
    *v = c - 'a' + 10;
  else if (c >= 'A' && c <= 'F')
    *v = c - 'A' + 10;
  else
    return false;
  return true;
}

// Reads a quoted text at s[*i] (which is '"'), leaving *i after the closing
// quote.
bool ReadQuoted(const std::string& s, size_t* i, std::string* out, std::string* why) {
  out->clear();
  for (size_t j = *i + 1; j < s.size(); ++j) {
    char c = s[j];
    if (c == '"') {
      *i = j + 1;
      return true;
    }
    if (c == '\\') {
      if (j + 1 >= s.size()) break;
      char e = s[++j];
      if (e != '\\' && e != '"') {
        *why =
            std::string("unknown escape \\") + e + " in a quoted text (write \\\\ for a backslash)";
        return false;
      }
      c = e;
    }
    out->push_back(c);
  }
  *why = "missing closing quote";
  return false;
}

bool ReadHexList(std::string_view s, std::vector<uint8_t>* out, std::string* why) {
  out->clear();
  std::string body = TrimBlanks(s);
  if (body.empty()) return true;
  if (body.back() == ',') body.pop_back();
  for (const auto& item : Split(body, ',')) {
    std::string t = TrimBlanks(item);
    unsigned hi = 0, lo = 0;
    if (t.size() == 1 && HexDigit(t[0], &lo)) {
      out->push_back(static_cast<uint8_t>(lo));
    } else if (t.size() == 2 && HexDigit(t[0], &hi) && HexDigit(t[1], &lo)) {
      out->push_back(static_cast<uint8_t>(hi * 16 + lo));
    } else {
      *why = "'" + t + "' is not a hex byte";
      return false;
    }
  }
  return true;
}

bool ParseData(const std::string& s, bool wide, uint32_t* type, std::vector<uint8_t>* data,
               std::string* why) {
  if (!s.empty() && s[0] == '"') {
    size_t i = 0;
    std::string text;
    if (!ReadQuoted(s, &i, &text, why)) return false;
    if (!TrimBlanks(s.substr(i)).empty()) {
      *why = "text after the closing quote";
      return false;
    }
    *type = kRegSz;
    data->assign(text.begin(), text.end());
    data->push_back(0);
    return true;
  }
  if (StartsWithIgnoreCase(s, "dword:")) {
    std::string digits = TrimBlanks(s.substr(6));
    uint32_t x = 0;
    unsigned d = 0;
    if (digits.empty() || digits.size() > 8) {
      *why = "dword needs 1 to 8 hex digits";
      return false;
    }
    for (char c : digits) {
      if (!HexDigit(c, &d)) {
        *why = "dword needs 1 to 8 hex digits";
        return false;
      }
      x = x * 16 + d;
    }
    *type = kRegDword;
    *data = {static_cast<uint8_t>(x), static_cast<uint8_t>(x >> 8), static_cast<uint8_t>(x >> 16),
             static_cast<uint8_t>(x >> 24)};
    return true;
  }
  if (StartsWithIgnoreCase(s, "hex:")) {
    *type = kRegBinary;
    return ReadHexList(std::string_view(s).substr(4), data, why);
  }
  if (StartsWithIgnoreCase(s, "hex(")) {
    size_t close = s.find("):");
    uint32_t t = 0;
    unsigned d = 0;
    bool ok = close != std::string::npos && close > 4 && close - 4 <= 8;
    for (size_t i = 4; ok && i < close; ++i) {
      ok = HexDigit(s[i], &d);
      t = t * 16 + d;
    }
    if (!ok) {
      *why = "hex(TYPE) needs a type in hex";
      return false;
    }
    std::vector<uint8_t> bytes;
    if (!ReadHexList(std::string_view(s).substr(close + 2), &bytes, why)) return false;
    bool text = t == kRegSz || t == kRegExpandSz || t == kRegMultiSz;
    if (wide && text) {
      if (bytes.size() % 2) {
        *why = "odd number of bytes in a UTF-16 text";
        return false;
      }
      std::vector<uint8_t> narrow;
      for (size_t i = 0; i < bytes.size(); i += 2) {
        if (bytes[i + 1] != 0) {
          *why = "a character outside the single-byte range";
          return false;
        }
        narrow.push_back(bytes[i]);
      }
      bytes = std::move(narrow);
    }
    *type = t;
    *data = std::move(bytes);
    return true;
  }
  *why = "cannot read the data '" + s + "'";
  return false;
}

bool ParseSection(const std::string& line, Op* op, std::string* why) {
  if (line.back() != ']') {
    *why = "missing ] at the end of the key";
    return false;
  }
  std::string inner = line.substr(1, line.size() - 2);
  op->kind = Op::kKey;
  if (!inner.empty() && inner[0] == '-') {
    op->kind = Op::kDeleteKey;
    inner.erase(0, 1);
  }
  size_t slash = inner.find('\\');
  std::string root = inner.substr(0, slash);
  if (!ParseRootKey(root, &op->root)) {
    *why = "unknown root key '" + root + "'";
    return false;
  }
  op->path = slash == std::string::npos ? "" : inner.substr(slash + 1);
  return true;
}

bool ParseValueLine(const std::string& line, bool wide, Op* op, std::string* why) {
  size_t i = 0;
  if (line[0] == '@') {
    i = 1;
  } else if (!ReadQuoted(line, &i, &op->name, why)) {
    return false;
  }
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
  if (i >= line.size() || line[i] != '=') {
    *why = "missing = after the value name";
    return false;
  }
  std::string rest = TrimBlanks(std::string_view(line).substr(i + 1));
  if (rest == "-") {
    op->kind = Op::kDeleteValue;
    return true;
  }
  op->kind = Op::kSet;
  return ParseData(rest, wide, &op->type, &op->data, why);
}

bool Parse(std::string_view text, std::vector<Op>* ops, std::string* error) {
  std::string decoded;
  if (text.size() >= 2 && static_cast<uint8_t>(text[0]) == 0xFF &&
      static_cast<uint8_t>(text[1]) == 0xFE) {
    if (!Narrow16(text.substr(2), &decoded)) {
      *error = "line 1: the file holds characters outside the single-byte range";
      return false;
    }
    text = decoded;
  } else if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") {
    text.remove_prefix(3);
  }
  bool have_header = false, wide = true, in_section = false, deleted_section = false;
  for (const auto& [number, line] : Lines(text)) {
    std::string why;
    auto bad = [&, n = number](const std::string& reason) {
      *error = "line " + std::to_string(n) + ": " + reason;
      return false;
    };
    if (line.empty() || line[0] == ';') continue;
    if (!have_header) {
      if (line == kHeader5) {
        wide = true;
      } else if (line == kHeader4) {
        wide = false;
      } else {
        return bad(std::string("not a registry file (expected \"") + kHeader5 + "\")");
      }
      have_header = true;
      continue;
    }
    Op op;
    op.line = number;
    if (line[0] == '[') {
      if (!ParseSection(line, &op, &why)) return bad(why);
      in_section = true;
      deleted_section = op.kind == Op::kDeleteKey;
    } else if (line[0] == '"' || line[0] == '@') {
      if (!in_section) return bad("value outside a key section");
      if (deleted_section) return bad("value under a key that is being deleted");
      if (!ParseValueLine(line, wide, &op, &why)) return bad(why);
    } else {
      return bad("cannot read '" + line + "'");
    }
    ops->push_back(std::move(op));
  }
  if (!have_header) {
    *error = std::string("line 1: not a registry file (expected \"") + kHeader5 + "\")";
    return false;
  }
  return true;
}

}  // namespace

bool ExportRegFile(RootKey root, std::string_view subkey, std::string* text, std::string* error) {
  std::vector<std::string> rel = KeyNames(subkey);
  std::string shown = std::string(RootKeyName(root)) + (rel.empty() ? "" : "\\" + Join(rel, 0));
  RegKey key;
  uint32_t code = key.Open(root, subkey, kKeyRead);
  if (code != kErrorSuccess) {
    *error = shown + ": " + Reason(code);
    return false;
  }
  // The section names keep the stored case of the names below the root.
  std::vector<std::string> stored = KeyNames(key.Path());
  std::string section = RootKeyName(root);
  if (!rel.empty() && stored.size() >= rel.size())
    section += "\\" + Join(stored, stored.size() - rel.size());
  std::string out = std::string(kHeader5) + kEol + kEol;
  std::string why;
  if (!ExportKey(key, section, &out, &why)) {
    *error = why;
    return false;
  }
  *text = std::move(out);
  return true;
}

bool ImportRegFile(std::string_view text, std::string* error) {
  std::vector<Op> ops;
  std::string why;
  if (!Parse(text, &ops, &why)) {
    *error = why;
    return false;
  }
  RegKey key;
  for (const Op& op : ops) {
    uint32_t code = kErrorSuccess;
    std::string what;
    switch (op.kind) {
      case Op::kKey:
        code = key.Create(op.root, op.path, kKeyAllAccess);
        what = std::string(RootKeyName(op.root)) + (op.path.empty() ? "" : "\\" + op.path);
        break;
      case Op::kDeleteKey:
        code = DeleteKeyTree(op.root, op.path);
        if (code == kErrorFileNotFound) code = kErrorSuccess;
        what = std::string(RootKeyName(op.root)) + (op.path.empty() ? "" : "\\" + op.path);
        break;
      case Op::kSet:
        code =
            key.SetValue(op.name, op.type, op.data.data(), static_cast<uint32_t>(op.data.size()));
        what = op.name.empty() ? "@" : "\"" + op.name + "\"";
        break;
      case Op::kDeleteValue:
        code = key.DeleteValue(op.name);
        if (code == kErrorFileNotFound) code = kErrorSuccess;
        what = op.name.empty() ? "@" : "\"" + op.name + "\"";
        break;
    }
    if (code != kErrorSuccess) {
      *error = "line " + std::to_string(op.line) + ": " + what + ": " + Reason(code);
      return false;
    }
  }
  return true;
}

}  // namespace platform
