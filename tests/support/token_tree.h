// A token tree model for tests: generate random trees, write them through a
// stream's write operations and read them back through its read operations.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "tokenfile/token_stream.h"

namespace testsupport {

struct Node;

enum class ValueKind { Uint, Int, Hex, Float, WString, String, Bytes, TokenRef };

struct Value {
  ValueKind kind = ValueKind::Uint;
  uint32_t u = 0;           // Uint, Hex, TokenRef, Int (as bits), Float (as bits)
  std::u16string wide;      // WString
  std::string narrow;       // String
  std::vector<uint8_t> bytes;  // Bytes
};

struct Node {
  uint32_t id = 0;
  std::u16string label;
  // Values and children in the order written.
  std::vector<std::variant<Value, Node>> items;
};

struct TreeOptions {
  int max_depth = 4;
  int max_items = 6;
  bool narrow_strings = true;   // the text encoding has none
  bool labels = true;
  bool dictionary_ids = false;  // ids 1..282 only (the text encoding needs names)
  size_t max_string = 300;
};

Node random_tree(std::mt19937& rng, const TreeOptions& options, int depth = 0);

// Writes a top-level token and its content; false on the first failing call.
bool write_tree(tokenfile::TokenStream& stream, const Node& node);

// Reads a token shaped like `shape` (the value kinds and child positions it
// has) into `out`; false on the first failing call.
bool read_tree(tokenfile::TokenStream& stream, const Node& shape, Node& out);

// A canonical one-line dump of a tree, for comparisons in test output.
std::string dump_tree(const Node& node);

}  // namespace testsupport
