// Sectioned config files (common/config.h), plain or sealed with the
// default key.
#include <string>

#include "common/config.h"
#include "common/rc4.h"
#include "tools/vxinspect/formats.h"

namespace vxinspect {

namespace {

// Text as CConfig writes it: no NUL, hardly any control characters, mostly
// ASCII. Enciphered bytes fail this (one in eight is a control character).
bool LooksLikeText(std::string_view bytes) {
  size_t control = 0, high = 0;
  for (char c : bytes) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u == 0) return false;
    if (u < 0x20 && u != '\n' && u != '\r' && u != '\t') ++control;
    if (u >= 0x80) ++high;
  }
  return control * 50 <= bytes.size() && high * 10 <= bytes.size() * 3;
}

bool HasConfigShape(std::string_view text) {
  return text.find('\n') != std::string_view::npos &&
         text.find_first_of("=:[;#") != std::string_view::npos;
}

std::string Deciphered(std::string_view bytes) {
  std::string plain(bytes);
  common::Rc4Crypt(&plain);
  return plain;
}

}  // namespace

bool IsConfigText(std::string_view text) { return LooksLikeText(text) && HasConfigShape(text); }

int ProbeConfig(std::string_view bytes) {
  if (bytes.empty()) return 1;  // an empty file is an empty configuration
  if (IsConfigText(bytes)) return 10;
  if (IsConfigText(Deciphered(bytes))) return 8;
  return LooksLikeText(bytes) ? 2 : 0;
}

bool InspectConfig(std::string_view bytes, Node* doc, std::string* error) {
  bool sealed = false;
  std::string text(bytes);
  if (!IsConfigText(text)) {
    std::string plain = Deciphered(bytes);
    if (IsConfigText(plain)) {
      text = std::move(plain);
      sealed = true;
    } else if (!text.empty() && !LooksLikeText(text)) {
      *error = "not a sectioned config file (neither plain nor sealed text)";
      return false;
    }
  }
  std::vector<std::string> warnings;
  common::SetReportSink([&](int, const std::string& line) {
    warnings.push_back(line.substr(0, line.find_last_not_of("\r\n") + 1));
  });
  {
    common::CConfig config;
    config.SetDecryptOnLoad(false);
    config.SetEncryptOnSave(false);
    config.ParseContent(text);
    doc->Add("type", Node::String("config"));
    doc->Add("sealed", Node::Bool(sealed));
    Node& sections = doc->Add("sections", Node::Array());
    for (const common::ConfigSection& s : config.sections()) {
      Node& section = sections.Push(Node::Object());
      section.Add("name", Node::String(s.name));
      if (!s.comment.empty()) section.Add("comment", Node::String(s.comment));
      Node& keys = section.Add("keys", Node::Array());
      for (const common::ConfigKey& k : s.keys) {
        Node& key = keys.Push(Node::Object());
        key.Add("key", Node::String(k.key));
        key.Add("value", Node::String(k.value));
        if (!k.comment.empty()) key.Add("comment", Node::String(k.comment));
      }
    }
    size_t last_lf = text.rfind('\n');
    std::string tail = last_lf == std::string::npos ? text : text.substr(last_lf + 1);
    // The programs never read a last line without its LF.
    if (!tail.empty()) doc->Add("ignored_last_line", Node::String(tail));
    // The object is dirty now; dropping it must not report a failed save.
    common::SetReportSink([](int, const std::string&) {});
  }
  common::SetReportSink(nullptr);
  if (!warnings.empty()) {
    Node& list = doc->Add("warnings", Node::Array());
    for (const std::string& w : warnings) list.Push(Node::String(w));
  }
  return true;
}

}  // namespace vxinspect
