// The neutral tree every inspected file is turned into, and its two
// renderings: JSON for programs, indented "name: value" text for people.
// Single-byte texts of the suite (Windows-1252) are written as UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vxinspect {

class Node {
 public:
  enum class Kind { kString, kNumber, kBool, kObject, kArray };

  static Node String(std::string text);
  static Node Number(int64_t value);
  static Node Bool(bool value);
  static Node Object();
  static Node Array();

  // Object: appends a field (names keep their order). Returns the new node.
  Node& Add(std::string name, Node value);
  // Array: appends an item. Returns the new node.
  Node& Push(Node value);

  Kind kind() const { return kind_; }
  const std::string& text() const { return text_; }
  int64_t number() const { return number_; }
  const std::vector<std::pair<std::string, Node>>& fields() const { return fields_; }
  const std::vector<Node>& items() const { return items_; }
  // The field of that name, or null.
  const Node* Find(const std::string& name) const;

 private:
  Kind kind_ = Kind::kObject;
  std::string text_;
  int64_t number_ = 0;
  std::vector<std::pair<std::string, Node>> fields_;
  std::vector<Node> items_;
};

// UTF-8 of a single-byte text.
std::string AnsiToUtf8(const std::string& text);

std::string RenderJson(const Node& node);
std::string RenderText(const Node& node);

}  // namespace vxinspect
