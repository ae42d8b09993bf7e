#include "support/token_tree.h"

#include <cstring>
#include <sstream>

namespace testsupport {

using tokenfile::TokenStream;

namespace {

std::u16string random_wide(std::mt19937& rng, size_t max) {
  std::uniform_int_distribution<size_t> len(0, max);
  std::uniform_int_distribution<int> pick(0, 9);
  std::u16string s(len(rng), u'a');
  for (auto& c : s) {
    switch (pick(rng)) {
      case 0: c = u' '; break;
      case 1: c = u'"'; break;
      case 2: c = u'\\'; break;
      case 3: c = static_cast<char16_t>(0x100 + rng() % 0xD000); break;  // beyond Latin-1, no surrogates
      default: c = static_cast<char16_t>(u'a' + rng() % 26);
    }
  }
  return s;
}

}  // namespace

Node random_tree(std::mt19937& rng, const TreeOptions& o, int depth) {
  Node n;
  n.id = o.dictionary_ids ? 1 + rng() % 282 : static_cast<uint32_t>(rng());
  if (o.labels && rng() % 3 == 0) {
    std::u16string l(1 + rng() % 40, u'x');
    for (auto& c : l) c = static_cast<char16_t>(u'a' + rng() % 26);
    n.label = l;
  }
  const int items = static_cast<int>(rng() % (o.max_items + 1));
  for (int i = 0; i < items; ++i) {
    if (depth < o.max_depth && rng() % 4 == 0) {
      n.items.emplace_back(random_tree(rng, o, depth + 1));
      continue;
    }
    Value v;
    v.kind = static_cast<ValueKind>(rng() % 8);
    if (v.kind == ValueKind::String && !o.narrow_strings) v.kind = ValueKind::WString;
    v.u = static_cast<uint32_t>(rng());
    if (v.kind == ValueKind::Float) {
      const float f = std::uniform_real_distribution<float>(-1e6f, 1e6f)(rng);
      std::memcpy(&v.u, &f, 4);
    }
    if (v.kind == ValueKind::TokenRef && o.dictionary_ids) v.u = 1 + rng() % 282;
    if (v.kind == ValueKind::WString) v.wide = random_wide(rng, o.max_string);
    if (v.kind == ValueKind::String) {
      v.narrow.assign(rng() % (o.max_string + 1), 'n');
      for (auto& c : v.narrow) c = static_cast<char>(1 + rng() % 255);
    }
    if (v.kind == ValueKind::Bytes) {
      v.bytes.resize(rng() % 20);
      for (auto& b : v.bytes) b = static_cast<uint8_t>(rng());
    }
    n.items.emplace_back(std::move(v));
  }
  return n;
}

bool write_tree(TokenStream& s, const Node& n) {
  if (!s.write_token_open(n.id, n.label.empty() ? nullptr : n.label.c_str())) return false;
  for (const auto& item : n.items) {
    if (const Node* child = std::get_if<Node>(&item)) {
      if (!write_tree(s, *child)) return false;
      continue;
    }
    const Value& v = std::get<Value>(item);
    bool ok = false;
    switch (v.kind) {
      case ValueKind::Uint: ok = s.write_uint(v.u); break;
      case ValueKind::Int: ok = s.write_int(static_cast<int32_t>(v.u)); break;
      case ValueKind::Hex: ok = s.write_hex(v.u); break;
      case ValueKind::Float: {
        float f;
        std::memcpy(&f, &v.u, 4);
        ok = s.write_float(f);
        break;
      }
      case ValueKind::WString: ok = s.write_wstring(v.wide.c_str()); break;
      case ValueKind::String: ok = s.write_string(v.narrow.c_str()); break;
      case ValueKind::Bytes: ok = s.write_bytes(v.bytes.data(), static_cast<uint32_t>(v.bytes.size())); break;
      case ValueKind::TokenRef: ok = s.write_token_ref(v.u); break;
    }
    if (!ok) return false;
  }
  return s.write_token_close() != 0;
}

bool read_tree(TokenStream& s, const Node& shape, Node& out) {
  const char16_t* label = nullptr;
  if (!s.read_token_open(out.id, &label)) return false;
  out.label = label ? label : u"";
  for (const auto& item : shape.items) {
    if (const Node* child = std::get_if<Node>(&item)) {
      Node got;
      if (!read_tree(s, *child, got)) return false;
      out.items.emplace_back(std::move(got));
      continue;
    }
    const Value& want = std::get<Value>(item);
    Value v;
    v.kind = want.kind;
    bool ok = false;
    switch (want.kind) {
      case ValueKind::Uint: ok = s.read_uint(v.u); break;
      case ValueKind::Int: {
        int32_t i = 0;
        ok = s.read_int(i);
        v.u = static_cast<uint32_t>(i);
        break;
      }
      case ValueKind::Hex: ok = s.read_hex(v.u); break;
      case ValueKind::Float: {
        float f = 0;
        ok = s.read_float(f);
        std::memcpy(&v.u, &f, 4);
        break;
      }
      case ValueKind::WString: {
        std::vector<char16_t> buf(want.wide.size() + 1);
        ok = s.read_wstring(buf.data(), static_cast<uint32_t>(buf.size()));
        if (ok) v.wide = buf.data();
        break;
      }
      case ValueKind::String: {
        std::vector<char> buf(want.narrow.size() + 1);
        ok = s.read_string(buf.data(), static_cast<uint32_t>(buf.size()));
        if (ok) v.narrow = buf.data();
        break;
      }
      case ValueKind::Bytes:
        v.bytes.resize(want.bytes.size());
        ok = s.read_bytes(v.bytes.data(), static_cast<uint32_t>(v.bytes.size()));
        break;
      case ValueKind::TokenRef: ok = s.read_token_ref(v.u); break;
    }
    if (!ok) return false;
    out.items.emplace_back(std::move(v));
  }
  return s.read_token_close() != 0;
}

std::string dump_tree(const Node& n) {
  std::ostringstream o;
  o << n.id;
  if (!n.label.empty()) o << ":L" << n.label.size() << '/' << static_cast<unsigned>(n.label[0]);
  o << '(';
  for (const auto& item : n.items) {
    if (const Node* child = std::get_if<Node>(&item)) {
      o << dump_tree(*child) << ' ';
      continue;
    }
    const Value& v = std::get<Value>(item);
    o << static_cast<int>(v.kind) << '=';
    switch (v.kind) {
      case ValueKind::WString:
        o << 'w' << v.wide.size() << '[';
        for (char16_t c : v.wide) o << std::hex << static_cast<unsigned>(c) << std::dec << ',';
        o << ']';
        break;
      case ValueKind::String: o << 's' << v.narrow.size() << '[' << v.narrow << ']'; break;
      case ValueKind::Bytes:
        o << 'b' << v.bytes.size() << '[';
        for (uint8_t b : v.bytes) o << static_cast<unsigned>(b) << ',';
        o << ']';
        break;
      default: o << v.u;
    }
    o << ' ';
  }
  o << ')';
  return o.str();
}

}  // namespace testsupport
