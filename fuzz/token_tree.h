// A token tree model for the round-trip harness: write a tree through a
// stream's write operations and read it back through its read operations.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "tokenfile/token_stream.h"

namespace fuzzsupport {

enum class ValueKind { Uint, Int, Hex, Float, WString, String, Bytes, TokenRef };

struct Value {
  ValueKind kind = ValueKind::Uint;
  uint32_t u = 0;              // Uint, Hex, TokenRef; Int and Float as bits
  std::u16string wide;         // WString
  std::string narrow;          // String
  std::vector<uint8_t> bytes;  // Bytes
};

struct Node {
  uint32_t id = 0;
  std::u16string label;
  std::vector<std::variant<Value, Node>> items;  // values and children in the order written
};

// Writes a top-level token and its content; false on the first failing call.
bool write_tree(tokenfile::TokenStream& stream, const Node& node);

// Reads a token shaped like `shape` (its value kinds, string and byte sizes,
// child positions) into `out`; false on the first failing call.
bool read_tree(tokenfile::TokenStream& stream, const Node& shape, Node& out);

// A canonical one-line dump of a tree, every unit of every text included.
std::string dump_tree(const Node& node);

}  // namespace fuzzsupport
