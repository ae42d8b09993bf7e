#include "support/token_tree.h"

#include <algorithm>
#include <bit>
#include <iterator>
#include <type_traits>

namespace testsupport {

using tokenfile::TokenStream;

namespace {

// Characters that some part of an encoding decides on, beside plain letters.
constexpr char16_t kSpecial[] = u" \"\\\t\n()+-.\r\x7f\x85\xa0\u1680\u2000\u200a\u3000\u2028\u205f\xe9\xd800";

// Mostly short, now and then around the bare-word, lexeme and piece limits;
// letters only, letters mixed with special characters, or specials only.
std::u16string random_text(std::mt19937& rng, const TreeOptions& o) {
  const uint32_t size_kind = rng() % 16, mode = rng() % 3;
  size_t n = o.block_safe ? 1 + rng() % 30 : rng() % 25;
  if (o.long_values && !o.block_safe && size_kind < 2) n = size_kind ? 1000 + rng() % 70 : 700 + rng() % 1500;
  std::u16string s(n, u'a');
  for (auto& c : s) {
    c = static_cast<char16_t>(o.block_safe && rng() % 5 == 0 ? u' ' : u'a' + rng() % 26);
    if (o.block_safe || mode == 0 || (mode == 1 && rng() % 3)) continue;
    c = rng() % 4 ? kSpecial[rng() % (std::size(kSpecial) - 1)] : static_cast<char16_t>(1 + rng() % 0xFFFF);
    if (o.text && c == u'\r') c = u'+';
  }
  return s;
}

Value random_value(std::mt19937& rng, const TreeOptions& o) {
  Value v;
  v.kind = static_cast<ValueKind>(rng() % 8), v.u = static_cast<uint32_t>(rng());
  if (o.text && v.kind == ValueKind::String) v.kind = ValueKind::WString;
  if (o.text && v.kind == ValueKind::Float) v.u = std::bit_cast<uint32_t>((int32_t(v.u % 16001) - 8000) / 8.0f);
  if (o.text && v.kind == ValueKind::TokenRef) v.u = 1 + v.u % 282;
  if (v.kind == ValueKind::WString) v.wide = random_text(rng, o);
  if (v.kind == ValueKind::String)
    for (char16_t c : random_text(rng, o)) v.narrow += static_cast<char>(1 + c % 255);
  if (v.kind == ValueKind::Bytes) v.bytes.resize(o.long_values && rng() % 8 == 0 ? 300 + rng() % 200 : rng() % 24);
  for (auto& b : v.bytes) b = static_cast<uint8_t>(rng());
  return v;
}

// Writes `v`, or reads a value of its kind and size over it.
bool transfer(TokenStream& s, Value& v, bool write) {
  if (!write) v.u = 0xA5A5A5A5u, std::fill(v.bytes.begin(), v.bytes.end(), 0xA5);  // nothing of the shape stays
  int32_t i = static_cast<int32_t>(v.u);
  float f = std::bit_cast<float>(v.u);
  std::u16string w(v.wide.size() + 1, u'#');
  std::string n(v.narrow.size() + 1, '#');
  const auto count = static_cast<uint32_t>(v.bytes.size());
  bool ok = false;
  switch (v.kind) {
    case ValueKind::Uint: return write ? s.write_uint(v.u) : s.read_uint(v.u);
    case ValueKind::Int: ok = write ? s.write_int(i) : s.read_int(i), v.u = static_cast<uint32_t>(i); return ok;
    case ValueKind::Hex: return write ? s.write_hex(v.u) : s.read_hex(v.u);
    case ValueKind::Float: ok = write ? s.write_float(f) : s.read_float(f), v.u = std::bit_cast<uint32_t>(f); return ok;
    case ValueKind::TokenRef: return write ? s.write_token_ref(v.u) : s.read_token_ref(v.u);
    case ValueKind::Bytes: return write ? s.write_bytes(v.bytes.data(), count) : s.read_bytes(v.bytes.data(), count);
    case ValueKind::WString:
      if (write) return s.write_wstring(v.wide.c_str());
      return ok = s.read_wstring(w.data(), static_cast<uint32_t>(w.size())), v.wide = w.c_str(), ok;
    case ValueKind::String:
      if (write) return s.write_string(v.narrow.c_str());
      return ok = s.read_string(n.data(), static_cast<uint32_t>(n.size())), v.narrow = n.c_str(), ok;
  }
  return false;
}

bool walk(TokenStream& s, Node& n, bool write) {
  const char16_t* label = nullptr;
  if (write ? !s.write_token_open(n.id, n.label.empty() ? nullptr : n.label.c_str())
            : !s.read_token_open(n.id = 0xA5A5A5A5u, &label))
    return false;
  if (!write) n.label = label ? label : u"";
  for (auto& item : n.items) {
    Node* child = std::get_if<Node>(&item);
    if (child ? !walk(s, *child, write) : !transfer(s, std::get<Value>(item), write)) return false;
  }
  return (write ? s.write_token_close() : s.read_token_close()) != 0;
}

template <typename Text>
std::string units(const Text& text) {
  std::string o;
  for (auto c : text) o += std::to_string(static_cast<std::make_unsigned_t<decltype(c)>>(c)) + '.';
  return o;
}

}  // namespace

Node random_tree(std::mt19937& rng, const TreeOptions& o, int depth) {
  Node n;
  n.id = o.text ? 1 + static_cast<uint32_t>(rng() % 282) : static_cast<uint32_t>(rng());
  if (rng() % 3 == 0) n.label.resize(1 + rng() % 32);
  for (auto& c : n.label) c = static_cast<char16_t>(o.text ? u'a' + rng() % 26 : 1 + rng() % 0xFFFF);
  for (int items = static_cast<int>(rng() % (o.max_items + 1)); items > 0; --items) {
    if (depth < o.max_depth && rng() % 4 == 0) {
      n.items.emplace_back(random_tree(rng, o, depth + 1));
    } else {
      n.items.emplace_back(random_value(rng, o));
    }
  }
  return n;
}

bool write_tree(TokenStream& s, const Node& node) {
  Node copy = node;
  return walk(s, copy, true);
}

bool read_tree(TokenStream& s, const Node& shape, Node& out) { return walk(s, out = shape, false); }

std::string dump_tree(const Node& n) {
  std::string o = std::to_string(n.id) + ':' + units(n.label) + '(';
  for (const auto& item : n.items) {
    const Value* v = std::get_if<Value>(&item);
    if (!v) o += dump_tree(std::get<Node>(item)) + ' ';
    if (!v) continue;
    o += "uihfwsbr"[static_cast<int>(v->kind)];
    o += v->kind == ValueKind::WString  ? units(v->wide)
         : v->kind == ValueKind::String ? units(v->narrow)
         : v->kind == ValueKind::Bytes  ? units(v->bytes)
                                        : std::to_string(v->u);
    o += ' ';
  }
  return o + ')';
}

}  // namespace testsupport
