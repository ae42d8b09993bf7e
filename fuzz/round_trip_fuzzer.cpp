// Round trip: a token tree decoded from the input (after a first byte that
// chooses the compression, '@', 'B' or 'F') is written with each encoding
// and read back value by value; any difference from what was written is a
// finding. Uncompressed binary files are also copied token by token through
// read_block and write_block and read back.
//
// What the text encoding cannot carry is kept out of its copy of the tree
// rather than excused afterwards: ids and token references are dictionary
// ids, labels are words, narrow strings become wide ones, floats are finite
// and read back as their six-digit printed form, carriage returns vanish.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <variant>

#include "fuzz_support.h"
#include "token_tree.h"
#include "tokenfile/dictionary.h"

using namespace tokenfile;
using fuzzsupport::Bytes;
using fuzzsupport::Node;
using fuzzsupport::Value;
using fuzzsupport::ValueKind;

namespace {

constexpr size_t kMaxDepth = 64;
constexpr size_t kMaxItems = 4000;

// Characters for strings: the ones each encoding treats specially, and
// ordinary ones. Index 15 takes a full 16-bit unit from the input.
constexpr char16_t kChars[15] = {u'a',  u'Z', u'0',  u'+', u'-', u' ', u'\t', u'\n',
                                 u'\r', u'"', u'\\', u'(', u')', u'.', 0x00E9};

char16_t decode_char(fuzzsupport::Cursor& in) {
  const uint8_t b = in.u8();
  if (b % 16 < 15) return kChars[b % 16];
  const char16_t c = in.u16();
  return c == 0 ? u'x' : c;
}

std::u16string decode_wide(fuzzsupport::Cursor& in) {
  // Mostly short; now and then long enough to be split into pieces.
  const uint8_t b = in.u8();
  const size_t n = (b & 0x80) ? (b & 0x7F) * 24 : b;
  std::u16string s;
  for (size_t i = 0; i < n && !in.empty(); ++i) s.push_back(decode_char(in));
  return s;
}

Value decode_value(fuzzsupport::Cursor& in, ValueKind kind) {
  Value v;
  v.kind = kind;
  switch (kind) {
    case ValueKind::WString:
      v.wide = decode_wide(in);
      break;
    case ValueKind::String: {
      const size_t n = in.u8();
      for (size_t i = 0; i < n && !in.empty(); ++i) {
        const uint8_t c = in.u8();
        v.narrow.push_back(static_cast<char>(c == 0 ? 'n' : c));
      }
      break;
    }
    case ValueKind::Bytes:
      v.bytes = in.take(in.u8() % 40);
      break;
    default:
      v.u = in.u32();
  }
  return v;
}

// The tree: one top-level token holding what the input describes. Each
// byte chooses: open a child, close the current token, or a value of one
// of the eight kinds.
Node decode_tree(fuzzsupport::Cursor& in) {
  std::vector<Node> open(1);
  open.back().id = in.u32();
  size_t items = 0;
  while (!in.empty() && items < kMaxItems) {
    const uint8_t op = in.u8();
    ++items;
    if (op % 10 == 0 && open.size() < kMaxDepth) {
      Node child;
      child.id = in.u32();
      if (op & 0x10) {
        const size_t n = in.u8() % 48;
        for (size_t i = 0; i < n && !in.empty(); ++i) child.label.push_back(decode_char(in));
      }
      open.push_back(std::move(child));
    } else if (op % 10 == 1 && open.size() > 1) {
      Node done = std::move(open.back());
      open.pop_back();
      open.back().items.emplace_back(std::move(done));
    } else if (op % 10 >= 2) {
      open.back().items.emplace_back(decode_value(in, static_cast<ValueKind>(op % 10 - 2)));
    }
  }
  while (open.size() > 1) {
    Node done = std::move(open.back());
    open.pop_back();
    open.back().items.emplace_back(std::move(done));
  }
  return std::move(open.back());
}

std::u16string without(std::u16string s, char16_t unwanted) {
  s.erase(std::remove(s.begin(), s.end(), unwanted), s.end());
  return s;
}

// A label the text form keeps as one word: letters and '_' first, digits
// allowed after.
std::u16string text_label(const std::u16string& label) {
  std::u16string out;
  for (char16_t c : label) {
    const bool letter = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'_';
    if (letter || (!out.empty() && c >= u'0' && c <= u'9')) out.push_back(c);
  }
  return out;
}

float printed_float(float f) {
  char text[64];
  std::snprintf(text, sizeof text, "%g", static_cast<double>(f));
  return std::strtof(text, nullptr);
}

// What writing `n` and reading it back should give in each encoding.
// `for_text` selects the text encoding's restrictions; `as_read` gives the
// value expected back rather than the value to write.
Node adapt(const Node& n, bool for_text, bool as_read) {
  Node out;
  out.id = for_text ? 1 + n.id % TOKEN_NAME_COUNT : n.id;
  out.label = for_text ? text_label(n.label) : n.label;
  if (out.label.size() > 255) out.label.resize(255);
  if (as_read && out.label.size() > 32) out.label.resize(32);
  for (const auto& item : n.items) {
    if (const Node* child = std::get_if<Node>(&item)) {
      out.items.emplace_back(adapt(*child, for_text, as_read));
      continue;
    }
    Value v = std::get<Value>(item);
    if (for_text) {
      if (v.kind == ValueKind::String) {
        v.kind = ValueKind::WString;
        v.wide.assign(v.narrow.begin(), v.narrow.end());
        for (auto& c : v.wide) c = static_cast<char16_t>(static_cast<uint8_t>(c));
        v.narrow.clear();
      }
      if (v.kind == ValueKind::TokenRef) v.u = 1 + v.u % TOKEN_NAME_COUNT;
      if (v.kind == ValueKind::Float) {
        float f;
        std::memcpy(&f, &v.u, 4);
        if (!std::isfinite(f)) f = 0.0f;
        if (as_read) f = printed_float(f);
        std::memcpy(&v.u, &f, 4);
      }
      if (v.kind == ValueKind::WString && as_read) v.wide = without(v.wide, u'\r');
    }
    out.items.emplace_back(std::move(v));
  }
  return out;
}

// A full dump: dump_tree plus every label whole.
std::string dump(const Node& n) {
  std::ostringstream o;
  o << fuzzsupport::dump_tree(n) << " labels:";
  std::vector<const Node*> pending{&n};
  while (!pending.empty()) {
    const Node* p = pending.back();
    pending.pop_back();
    for (char16_t c : p->label) o << static_cast<unsigned>(c) << '.';
    o << '|';
    for (const auto& item : p->items)
      if (const Node* child = std::get_if<Node>(&item)) pending.push_back(child);
  }
  return o.str();
}

Bytes write_file(const Node& tree, uint32_t encoding, char16_t compression) {
  auto w = token_stream_open(nullptr, STREAM_WRITE | encoding, u'i', u'0', compression);
  FUZZ_CHECK(w != nullptr);
  FUZZ_CHECK(fuzzsupport::write_tree(*w, tree));
  Bytes file;
  FUZZ_CHECK(token_stream_close_to_bytes(std::move(w), file) != 0);
  return file;
}

// Reads the one top-level token back in the shape of `expected`, and then
// the end of the data.
void check_reads_back(Bytes file, const Node& expected, uint32_t encoding) {
  auto r = token_stream_open_memory(std::move(file), STREAM_READ, u'i', u'0');
  FUZZ_CHECK(r != nullptr);
  FUZZ_CHECK(tokenfile::token_stream_flags(*r) & encoding);
  Node got;
  FUZZ_CHECK(fuzzsupport::read_tree(*r, expected, got));
  if (dump(got) != dump(expected)) {
    std::fprintf(stderr, "wrote: %s\nread:  %s\n", dump(expected).c_str(), dump(got).c_str());
    FUZZ_CHECK(!"the tree read back differs from the tree written");
  }
  uint32_t id;
  FUZZ_CHECK(!r->read_token_open(id, nullptr));
  FUZZ_CHECK(token_error == ERR_END_OF_DATA);
}

// Copies every top-level token of a binary file through read_block and
// write_block into a new file.
Bytes copy_by_blocks(Bytes file) {
  auto r = token_stream_open_memory(std::move(file), STREAM_READ, 0, 0);
  FUZZ_CHECK(r != nullptr);
  auto w = token_stream_open(nullptr, STREAM_WRITE | STREAM_BINARY, u'i', u'0', u'@');
  FUZZ_CHECK(w != nullptr);
  uint32_t id;
  const char16_t* label;
  while (r->read_token_open(id, &label)) {
    auto block = r->read_block();
    FUZZ_CHECK(block != nullptr);
    FUZZ_CHECK(w->write_block(block) != 0);
  }
  Bytes out;
  FUZZ_CHECK(token_stream_close_to_bytes(std::move(w), out) != 0);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::acquire_dictionary_once();
  const Bytes input = fuzzsupport::exact_copy(data, size);
  fuzzsupport::Cursor in(input.data(), input.size());
  // One compression per input: each costs more than the rest of a run.
  const char16_t compression = u"@BF"[in.u8() % 3];
  const Node tree = decode_tree(in);

  const Node binary = adapt(tree, false, false);
  const Bytes file = write_file(binary, STREAM_BINARY, compression);
  const Node binary_read = adapt(tree, false, true);
  check_reads_back(file, binary_read, STREAM_BINARY);
  if (compression == u'@') {
    // A block carries the label as the stream kept it: cut to 32 units.
    check_reads_back(copy_by_blocks(file), binary_read, STREAM_BINARY);
  }
  check_reads_back(write_file(adapt(tree, true, false), STREAM_TEXT, compression), adapt(tree, true, true),
                   STREAM_TEXT);
  return 0;
}
