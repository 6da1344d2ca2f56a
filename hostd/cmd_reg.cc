// vxhost reg: look at and change a host's registry the way an administrator
// does with reg.exe (query, add, delete, import, export).
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "hostd/vxhost_command.h"
#include "platform/error.h"
#include "platform/registry.h"
#include "platform/strings.h"

namespace vxhost {
namespace {

using platform::RegKey;
using platform::RegValue;
using platform::RootKey;

std::string Reason(uint32_t code) { return platform::TrimBlanks(platform::ErrorMessage(code)); }

struct KeyName {
  RootKey root = RootKey::kLocalMachine;
  std::string subkey;
  std::string shown;  // as given, for messages
};

bool ParseKey(const std::string& text, KeyName* key, std::string* why) {
  size_t slash = text.find('\\');
  std::string root = text.substr(0, slash);
  if (!platform::ParseRootKey(root, &key->root)) {
    *why = text + ": unknown root key '" + root + "' (HKLM, HKCU, HKCR, HKU or HKCC)";
    return false;
  }
  key->subkey = slash == std::string::npos ? "" : text.substr(slash + 1);
  key->shown = text;
  return true;
}

const struct {
  uint32_t type;
  const char* name;
} kTypeNames[] = {
    {platform::kRegNone, "REG_NONE"},          {platform::kRegSz, "REG_SZ"},
    {platform::kRegExpandSz, "REG_EXPAND_SZ"}, {platform::kRegBinary, "REG_BINARY"},
    {platform::kRegDword, "REG_DWORD"},        {platform::kRegMultiSz, "REG_MULTI_SZ"},
    {platform::kRegQword, "REG_QWORD"},
};

std::string TypeName(uint32_t type) {
  for (const auto& t : kTypeNames)
    if (t.type == type) return t.name;
  char buf[24];
  std::snprintf(buf, sizeof buf, "REG_0x%X", type);
  return buf;
}

bool ParseType(const std::string& name, uint32_t* type) {
  for (const auto& t : kTypeNames) {
    if (platform::EqualsIgnoreCase(name, t.name)) {
      *type = t.type;
      return true;
    }
  }
  return false;
}

uint64_t Le(const std::vector<uint8_t>& d) {
  uint64_t v = 0;
  for (size_t i = 0; i < d.size() && i < 8; ++i) v |= static_cast<uint64_t>(d[i]) << (8 * i);
  return v;
}

std::string Text(const std::vector<uint8_t>& d, size_t from = 0) {
  size_t end = from;
  while (end < d.size() && d[end] != 0) ++end;
  return std::string(d.begin() + from, d.begin() + end);
}

std::string Shown(const RegValue& v) {
  switch (v.type) {
    case platform::kRegSz:
    case platform::kRegExpandSz:
      return Text(v.data);
    case platform::kRegMultiSz: {
      std::string out;
      for (size_t i = 0; i < v.data.size() && v.data[i] != 0;) {
        std::string s = Text(v.data, i);
        out += (out.empty() ? "" : "\\0") + s;
        i += s.size() + 1;
      }
      return out;
    }
    case platform::kRegDword:
    case platform::kRegQword:
      if (v.data.size() == (v.type == platform::kRegDword ? 4u : 8u)) {
        char buf[24];
        std::snprintf(buf, sizeof buf, "0x%" PRIx64, Le(v.data));
        return buf;
      }
      [[fallthrough]];
    default: {
      std::string out;
      char buf[4];
      for (uint8_t b : v.data) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        out += buf;
      }
      return out;
    }
  }
}

void PrintValue(const RegValue& v) {
  std::printf("    %s    %s    %s\n", v.name.empty() ? "(Default)" : v.name.c_str(),
              TypeName(v.type).c_str(), Shown(v).c_str());
}

// Options of the reg.exe kind: /v NAME, /ve, /t TYPE, /d DATA, /f, /va.
struct Options {
  std::vector<std::string> positional;
  bool has_value = false;
  std::string value;
  bool all_values = false;
  std::string type = "REG_SZ";
  bool has_data = false;
  std::string data;
};

bool ParseOptions(const std::vector<std::string>& args, size_t from, Options* o, std::string* why) {
  for (size_t i = from; i < args.size(); ++i) {
    std::string a = platform::ToLowerAscii(args[i]);
    auto next = [&](std::string* out) {
      if (i + 1 >= args.size()) {
        *why = args[i] + " needs a value";
        return false;
      }
      *out = args[++i];
      return true;
    };
    if (a == "/v") {
      if (!next(&o->value)) return false;
      o->has_value = true;
    } else if (a == "/ve") {
      o->has_value = true;
      o->value.clear();
    } else if (a == "/va") {
      o->all_values = true;
    } else if (a == "/t") {
      if (!next(&o->type)) return false;
    } else if (a == "/d") {
      if (!next(&o->data)) return false;
      o->has_data = true;
    } else if (a == "/f" || a == "/y") {
      // Never asks, so nothing to force.
    } else {
      // Anything else is a key, a value name or a file (which may well
      // start with a slash).
      o->positional.push_back(args[i]);
    }
  }
  return true;
}

bool ParseNumber(const std::string& s, uint64_t max, uint64_t* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(s.c_str(), &end, 0);
  if (*end || errno || s[0] == '-' || v > max) return false;
  *out = v;
  return true;
}

bool EncodeData(uint32_t type, const std::string& data, std::vector<uint8_t>* out,
                std::string* why) {
  out->clear();
  switch (type) {
    case platform::kRegSz:
    case platform::kRegExpandSz:
      out->assign(data.begin(), data.end());
      out->push_back(0);
      return true;
    case platform::kRegMultiSz:
      for (const auto& s :
           data.empty()
               ? std::vector<std::string>()
               : platform::Split(platform::ReplaceAll(data, "\\0", std::string(1, '\0')), '\0')) {
        if (s.empty()) {
          *why = "an empty string inside a REG_MULTI_SZ list";
          return false;
        }
        out->insert(out->end(), s.begin(), s.end());
        out->push_back(0);
      }
      out->push_back(0);
      return true;
    case platform::kRegDword:
    case platform::kRegQword: {
      bool dword = type == platform::kRegDword;
      uint64_t v = 0;
      if (!ParseNumber(data.empty() ? "0" : data, dword ? 0xFFFFFFFFull : ~0ull, &v)) {
        *why = "'" + data + "' is not a number for " + TypeName(type);
        return false;
      }
      for (int i = 0; i < (dword ? 4 : 8); ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
      return true;
    }
    default: {
      if (data.size() % 2) {
        *why = "'" + data + "' is not an even number of hex digits";
        return false;
      }
      for (size_t i = 0; i < data.size(); i += 2) {
        char* end = nullptr;
        std::string pair = data.substr(i, 2);
        unsigned long b = std::strtoul(pair.c_str(), &end, 16);
        if (*end || !std::isxdigit(static_cast<unsigned char>(pair[0]))) {
          *why = "'" + data + "' is not hex data";
          return false;
        }
        out->push_back(static_cast<uint8_t>(b));
      }
      return true;
    }
  }
}

int Query(const Options& o) {
  if (o.positional.empty()) return Fail("reg query: no key given");
  KeyName kn;
  std::string why;
  if (!ParseKey(o.positional[0], &kn, &why)) return Fail("reg query: " + why);
  RegKey key;
  uint32_t code = key.Open(kn.root, kn.subkey, platform::kKeyRead);
  if (code) return Fail("reg query: " + kn.shown + ": " + Reason(code));
  bool one = o.has_value || o.positional.size() > 1;
  std::string name = o.has_value ? o.value : (o.positional.size() > 1 ? o.positional[1] : "");
  if (one) {
    RegValue v;
    code = key.ReadValue(name, &v);
    if (code) return Fail("reg query: " + kn.shown + ": value '" + name + "': " + Reason(code));
    std::printf("%s\n", kn.shown.c_str());
    PrintValue(v);
    return 0;
  }
  std::printf("%s\n", kn.shown.c_str());
  RegValue v;
  for (uint32_t i = 0; (code = key.EnumValue(i, &v)) == 0; ++i) PrintValue(v);
  if (code != platform::kErrorNoMoreItems)
    return Fail("reg query: " + kn.shown + ": " + Reason(code));
  std::string sub;
  bool first = true;
  for (uint32_t i = 0; (code = key.EnumKey(i, &sub)) == 0; ++i) {
    if (first) std::printf("\n");
    first = false;
    std::printf("%s\\%s\n", kn.shown.c_str(), sub.c_str());
  }
  if (code != platform::kErrorNoMoreItems)
    return Fail("reg query: " + kn.shown + ": " + Reason(code));
  return 0;
}

int Add(const Options& o) {
  if (o.positional.size() != 1) return Fail("reg add: give one key (and /v NAME /t TYPE /d DATA)");
  KeyName kn;
  std::string why;
  if (!ParseKey(o.positional[0], &kn, &why)) return Fail("reg add: " + why);
  uint32_t type = 0;
  if (!ParseType(o.type, &type)) return Fail("reg add: unknown type '" + o.type + "'");
  std::vector<uint8_t> data;
  if ((o.has_value || o.has_data) && !EncodeData(type, o.data, &data, &why))
    return Fail("reg add: " + why);
  RegKey key;
  uint32_t code = key.Create(kn.root, kn.subkey, platform::kKeyAllAccess);
  if (code) return Fail("reg add: " + kn.shown + ": " + Reason(code));
  if (o.has_value || o.has_data) {
    code = key.SetValue(o.value, type, data.data(), static_cast<uint32_t>(data.size()));
    if (code) return Fail("reg add: " + kn.shown + ": value '" + o.value + "': " + Reason(code));
  }
  std::printf("The operation completed successfully.\n");
  return 0;
}

int Delete(const Options& o) {
  if (o.positional.size() != 1) return Fail("reg delete: give one key (and /v NAME, /ve or /va)");
  KeyName kn;
  std::string why;
  if (!ParseKey(o.positional[0], &kn, &why)) return Fail("reg delete: " + why);
  uint32_t code = 0;
  if (o.has_value) {
    code = platform::DeleteRegistryValue(kn.root, kn.subkey, o.value);
    if (code) return Fail("reg delete: " + kn.shown + ": value '" + o.value + "': " + Reason(code));
  } else if (o.all_values) {
    RegKey key;
    code = key.Open(kn.root, kn.subkey, platform::kKeyAllAccess);
    RegValue v;
    while (code == 0 && (code = key.EnumValue(0, &v)) == 0) code = key.DeleteValue(v.name);
    if (code != platform::kErrorNoMoreItems)
      return Fail("reg delete: " + kn.shown + ": " + Reason(code));
  } else {
    code = platform::DeleteKeyTree(kn.root, kn.subkey);
    if (code) return Fail("reg delete: " + kn.shown + ": " + Reason(code));
  }
  std::printf("The operation completed successfully.\n");
  return 0;
}

int Import(const Options& o) {
  if (o.positional.size() != 1) return Fail("reg import: give one .reg file");
  const std::string& file = o.positional[0];
  std::ifstream in(file, std::ios::binary);
  if (!in) return Fail("reg import: " + file + ": cannot open the file");
  std::ostringstream text;
  text << in.rdbuf();
  std::string error;
  if (!platform::ImportRegFile(text.str(), &error))
    return Fail("reg import: " + file + ": " + error);
  std::printf("The operation completed successfully.\n");
  return 0;
}

int Export(const Options& o) {
  if (o.positional.size() != 2) return Fail("reg export: give a key and a file");
  KeyName kn;
  std::string why;
  if (!ParseKey(o.positional[0], &kn, &why)) return Fail("reg export: " + why);
  std::string text, error;
  if (!platform::ExportRegFile(kn.root, kn.subkey, &text, &error))
    return Fail("reg export: " + error);
  const std::string& file = o.positional[1];
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) return Fail("reg export: " + file + ": cannot write the file");
  std::printf("The operation completed successfully.\n");
  return 0;
}

int Reg(const Invocation& inv) {
  if (inv.args.empty()) return Fail("reg: give query, add, delete, import or export");
  Options o;
  std::string why;
  if (!ParseOptions(inv.args, 1, &o, &why)) return Fail("reg " + inv.args[0] + ": " + why);
  std::string op = platform::ToLowerAscii(inv.args[0]);
  int (*fn)(const Options&) = nullptr;
  if (op == "query") fn = Query;
  if (op == "add") fn = Add;
  if (op == "delete") fn = Delete;
  if (op == "import") fn = Import;
  if (op == "export") fn = Export;
  if (!fn)
    return Fail("reg: unknown operation '" + inv.args[0] +
                "' (query, add, delete, import, export)");
  if (!LoadHost(inv)) return 2;
  return fn(o);
}

}  // namespace

VXHOST_COMMAND(
    reg, "reg",
    "reg query KEY [VALUE | /v NAME | /ve] | add KEY [/v NAME | /ve] [/t TYPE] [/d DATA] | "
    "delete KEY [/v NAME | /ve | /va] | import FILE | export KEY FILE",
    Reg);

}  // namespace vxhost
