#include "token_tree.h"

#include <algorithm>
#include <bit>
#include <iterator>
#include <type_traits>

namespace fuzzsupport {

using tokenfile::TokenStream;

namespace {

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

}  // namespace fuzzsupport
