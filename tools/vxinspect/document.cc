#include "tools/vxinspect/document.h"

#include <cstdio>

#include "common/archive.h"

namespace vxinspect {

Node Node::String(std::string text) {
  Node n;
  n.kind_ = Kind::kString;
  n.text_ = std::move(text);
  return n;
}

Node Node::Number(int64_t value) {
  Node n;
  n.kind_ = Kind::kNumber;
  n.number_ = value;
  return n;
}

Node Node::Bool(bool value) {
  Node n;
  n.kind_ = Kind::kBool;
  n.number_ = value ? 1 : 0;
  return n;
}

Node Node::Object() { return Node(); }

Node Node::Array() {
  Node n;
  n.kind_ = Kind::kArray;
  return n;
}

Node& Node::Add(std::string name, Node value) {
  fields_.emplace_back(std::move(name), std::move(value));
  return fields_.back().second;
}

Node& Node::Push(Node value) {
  items_.push_back(std::move(value));
  return items_.back();
}

const Node* Node::Find(const std::string& name) const {
  for (const auto& [n, v] : fields_)
    if (n == name) return &v;
  return nullptr;
}

std::string AnsiToUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    uint16_t u = common::AnsiToUtf16Unit(c);
    if (u < 0x80) {
      out.push_back(static_cast<char>(u));
    } else if (u < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (u >> 6)));
      out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xE0 | (u >> 12)));
      out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    }
  }
  return out;
}

namespace {

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (char c : AnsiToUtf8(text)) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned char>(c));
          out += buf;
        } else {
          out.push_back(c);
        }
    }
  }
  return out + "\"";
}

void Json(const Node& n, int indent, std::string* out) {
  std::string pad(static_cast<size_t>(indent + 2), ' ');
  switch (n.kind()) {
    case Node::Kind::kString: *out += JsonString(n.text()); return;
    case Node::Kind::kNumber: *out += std::to_string(n.number()); return;
    case Node::Kind::kBool: *out += n.number() ? "true" : "false"; return;
    case Node::Kind::kObject:
      if (n.fields().empty()) {
        *out += "{}";
        return;
      }
      *out += "{\n";
      for (size_t i = 0; i < n.fields().size(); ++i) {
        *out += pad + JsonString(n.fields()[i].first) + ": ";
        Json(n.fields()[i].second, indent + 2, out);
        *out += i + 1 < n.fields().size() ? ",\n" : "\n";
      }
      *out += std::string(static_cast<size_t>(indent), ' ') + "}";
      return;
    case Node::Kind::kArray:
      if (n.items().empty()) {
        *out += "[]";
        return;
      }
      *out += "[\n";
      for (size_t i = 0; i < n.items().size(); ++i) {
        *out += pad;
        Json(n.items()[i], indent + 2, out);
        *out += i + 1 < n.items().size() ? ",\n" : "\n";
      }
      *out += std::string(static_cast<size_t>(indent), ' ') + "]";
      return;
  }
}

// Scalars as people read them: texts are shown as they are unless they
// would be ambiguous (empty, blanks at the ends, line breaks), then quoted.
std::string TextScalar(const Node& n) {
  switch (n.kind()) {
    case Node::Kind::kNumber: return std::to_string(n.number());
    case Node::Kind::kBool: return n.number() ? "yes" : "no";
    default: break;
  }
  const std::string& t = n.text();
  bool plain = !t.empty() && t.front() != ' ' && t.back() != ' ' && t.front() != '"';
  for (char c : t)
    if (static_cast<unsigned char>(c) < 0x20) plain = false;
  return plain ? AnsiToUtf8(t) : JsonString(t);
}

bool IsScalar(const Node& n) {
  return n.kind() != Node::Kind::kObject && n.kind() != Node::Kind::kArray;
}

void Text(const Node& n, int indent, std::string* out);

void TextField(const std::string& name, const Node& v, int indent, std::string* out) {
  std::string pad(static_cast<size_t>(indent), ' ');
  if (IsScalar(v)) {
    *out += pad + name + ": " + TextScalar(v) + "\n";
  } else if ((v.kind() == Node::Kind::kArray && v.items().empty()) ||
             (v.kind() == Node::Kind::kObject && v.fields().empty())) {
    *out += pad + name + ": (none)\n";
  } else {
    *out += pad + name + ":\n";
    Text(v, indent + 2, out);
  }
}

void Text(const Node& n, int indent, std::string* out) {
  std::string pad(static_cast<size_t>(indent), ' ');
  if (n.kind() == Node::Kind::kObject) {
    for (const auto& [name, v] : n.fields()) TextField(name, v, indent, out);
  } else if (n.kind() == Node::Kind::kArray) {
    for (const Node& item : n.items()) {
      if (IsScalar(item)) {
        *out += pad + "- " + TextScalar(item) + "\n";
        continue;
      }
      // "- " then the item's fields, the first on the dash's line.
      std::string block;
      Text(item, indent + 2, &block);
      if (block.empty()) block = pad + "  (empty)\n";
      block.replace(static_cast<size_t>(indent), 2, "- ");
      *out += block;
    }
  } else {
    *out += pad + TextScalar(n) + "\n";
  }
}

}  // namespace

std::string RenderJson(const Node& node) {
  std::string out;
  Json(node, 0, &out);
  return out + "\n";
}

std::string RenderText(const Node& node) {
  std::string out;
  Text(node, 0, &out);
  return out;
}

}  // namespace vxinspect
