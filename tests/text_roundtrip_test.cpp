// Round trips through the text encoding: random token trees written by the
// text writer and read back by the text reader, and blocks copied with
// read_block and write_block.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support/text_file.h"
#include "support/token_tree.h"
#include "tokenfile/text/text_stream.h"
#include "tokenfile/token_stream.h"

using namespace tokenfile;
using testsupport::Node;
using testsupport::Value;
using testsupport::ValueKind;

namespace {

class TextRoundTrip : public testsupport::WithTokenDictionary {};

struct TreeShape {
  int max_depth = 6;
  int max_items = 7;
  size_t max_string = 0;    // 0: lengths around the wrap and piece limits
  bool block_safe = false;  // only values that read_block renders back unchanged
};

class TreeMaker {
 public:
  explicit TreeMaker(uint32_t seed) : rng_(seed) {}

  Node tree(const TreeShape& shape, int depth = 0) {
    Node n;
    n.id = 1 + pick(282);
    if (pick(3) == 0) {
      n.label.resize(1 + pick(32));
      for (auto& c : n.label) c = static_cast<char16_t>((pick(2) ? u'a' : u'A') + pick(26));
    }
    const uint32_t items = pick(shape.max_items + 1);
    for (uint32_t i = 0; i < items; ++i) {
      if (depth < shape.max_depth && pick(4) == 0) {
        n.items.emplace_back(tree(shape, depth + 1));
      } else {
        n.items.emplace_back(value(shape));
      }
    }
    return n;
  }

  // A chain of `depth` tokens, one inside the other, each with a string.
  Node chain(int depth, const TreeShape& shape) {
    Node n;
    n.id = 1 + pick(282);
    Value v;
    v.kind = ValueKind::WString;
    v.wide = string(shape);
    n.items.emplace_back(std::move(v));
    if (depth > 1) n.items.emplace_back(chain(depth - 1, shape));
    return n;
  }

 private:
  uint32_t pick(uint32_t n) { return static_cast<uint32_t>(rng_() % n); }

  Value value(const TreeShape& shape) {
    static constexpr ValueKind kKinds[] = {ValueKind::Uint,  ValueKind::Int,     ValueKind::Hex,
                                           ValueKind::Float, ValueKind::WString, ValueKind::WString,
                                           ValueKind::Bytes, ValueKind::TokenRef};
    Value v;
    v.kind = kKinds[pick(8)];
    v.u = static_cast<uint32_t>(rng_());
    switch (v.kind) {
      case ValueKind::Float: {
        // Exact in the six significant digits the writer prints.
        const float f =
            pick(50) == 0 ? -0.0f : static_cast<float>(static_cast<int32_t>(pick(16000)) - 8000) / 8;
        std::memcpy(&v.u, &f, 4);
        break;
      }
      case ValueKind::WString:
        v.wide = string(shape);
        break;
      case ValueKind::Bytes:
        v.bytes.resize(pick(8) == 0 ? 300 + pick(200) : pick(24));
        for (auto& b : v.bytes) b = static_cast<uint8_t>(rng_());
        break;
      case ValueKind::TokenRef:
        v.u = 1 + pick(282);
        break;
      default:
        break;
    }
    return v;
  }

  uint32_t length(const TreeShape& shape) {
    if (shape.max_string != 0) return pick(static_cast<uint32_t>(shape.max_string) + 1);
    switch (pick(8)) {
      case 0:
        return 750 + pick(30);  // about three quarters of the piece budget
      case 1:
        return 1005 + pick(30);  // the budget, the bare limit, the wrap column
      case 2:
        return 1050 + pick(12);  // the reader's lexeme limit
      case 3:
        return 1500 + pick(700);  // two or three pieces
      case 4:
        return pick(40) == 0 ? 65536 : 3000 + pick(3000);
      default:
        return pick(24);
    }
  }

  std::u16string string(const TreeShape& shape) {
    std::u16string s(length(shape), u'a');
    // Long runs without a break to cut at: plain letters, or letters mixed
    // with characters that escape to two.
    const uint32_t mode = pick(4);
    for (auto& c : s) {
      if (mode == 1 && pick(2)) {
        c = pick(2) ? u'"' : u'\\';
      } else {
        c = character(mode <= 1);
      }
    }
    if (shape.block_safe) {
      // Quotes survive read_block only around text with white space in it.
      if (s.empty()) s = u"e";
      for (auto& c : s)
        if (c == u'\t' || c == u'\n') c = u'_';
      if (!can_be_bare(s)) s[pick(static_cast<uint32_t>(s.size()))] = u' ';
    }
    return s;
  }

  static bool can_be_bare(const std::u16string& s) {
    if (s.size() >= 1024) return false;
    for (char16_t c : s)
      if (c <= 0x20 || c == 0x7F || c == u'"' || c == u'\\' || c == u'(' || c == u')' || c >= 0x1680)
        return false;
    return true;
  }

  char16_t character(bool plain) {
    if (plain) return static_cast<char16_t>(u'a' + pick(26));
    switch (pick(16)) {
      case 0:
        return u' ';
      case 1:
        return u'\n';
      case 2:
        return u'\t';
      case 3:
        return u'"';
      case 4:
        return u'\\';
      case 5:
        return pick(2) ? u'(' : u')';
      case 6:
        return u'+';
      case 7: {
        static constexpr char16_t kOdd[] = {0x3000, 0x00A0, 0x0085, 0xFEFF, 0xD800,
                                            0xDFFF, 0x7F,   0x01,   0x2028};
        return kOdd[pick(9)];
      }
      case 8:
        return static_cast<char16_t>(0x100 + pick(0xFE00));
      default:
        return static_cast<char16_t>(u'a' + pick(26));
    }
  }

  std::mt19937 rng_;
};

// The writer begins a wrapped line of values with the first item's
// separating space; a block line begins with the lexeme itself. Drops that
// one space after the indentation of every line.
std::u16string without_wrap_spaces(const std::u16string& text) {
  std::u16string out;
  for (size_t i = 0; i < text.size(); ++i) {
    out.push_back(text[i]);
    if (text[i] != u'\n') continue;
    while (i + 1 < text.size() && text[i + 1] == u'\t') out.push_back(text[++i]);
    if (i + 1 < text.size() && text[i + 1] == u' ') ++i;
  }
  return out;
}

std::unique_ptr<TokenStream> reopen(std::unique_ptr<TokenStream> writer) {
  std::vector<uint8_t> bytes;
  EXPECT_TRUE(token_stream_close_to_bytes(std::move(writer), bytes));
  return token_stream_open_memory(std::move(bytes), STREAM_READ, u'i', u'0');
}

void expect_round_trip(const std::vector<Node>& trees, const std::string& what) {
  auto w = testsupport::open_text_writer();
  for (const Node& t : trees) ASSERT_TRUE(testsupport::write_tree(*w, t)) << what;
  auto r = reopen(std::move(w));
  ASSERT_NE(r, nullptr) << what;
  for (const Node& t : trees) {
    Node got;
    ASSERT_TRUE(testsupport::read_tree(*r, t, got)) << what << " error " << token_error;
    EXPECT_EQ(testsupport::dump_tree(got), testsupport::dump_tree(t)) << what;
  }
  uint32_t id = 0;
  EXPECT_FALSE(r->read_token_open(id, nullptr)) << what;
  EXPECT_EQ(token_error, ERR_END_OF_DATA) << what;
}

TEST_F(TextRoundTrip, RandomTreesReadBackUnchanged) {
  for (uint32_t seed = 1; seed <= 60; ++seed) {
    TreeMaker make(seed);
    TreeShape shape;
    std::vector<Node> trees;
    for (int i = 0; i < 3; ++i) trees.push_back(make.tree(shape));
    expect_round_trip(trees, "seed " + std::to_string(seed));
  }
}

// Deep nesting narrows the piece budget down to its floor of 256 columns.
TEST_F(TextRoundTrip, DeepChainsReadBackUnchanged) {
  TreeMaker make(99);
  TreeShape shape;
  shape.max_string = 600;  // over the budget's floor; longer only slows the comparison
  for (int depth : {60, 200, 256})
    expect_round_trip({make.chain(depth, shape)}, "depth " + std::to_string(depth));
}

TEST_F(TextRoundTrip, BlockCopyReproducesTheTokenText) {
  for (uint32_t seed = 1; seed <= 60; ++seed) {
    const std::string what = "seed " + std::to_string(seed);
    TreeMaker make(1000 + seed);
    TreeShape shape;
    shape.max_string = 150;
    shape.block_safe = true;
    const Node tree = make.tree(shape);
    const Node parent = make.tree(TreeShape{0, 0, 1, true});
    Node marker;
    marker.id = 1;

    // At the top level, followed by a sibling.
    auto w = testsupport::open_text_writer();
    ASSERT_TRUE(testsupport::write_tree(*w, tree)) << what;
    const std::u16string original = testsupport::written_body(*w);
    ASSERT_TRUE(testsupport::write_tree(*w, marker));
    auto r = reopen(std::move(w));
    uint32_t id = 0;
    ASSERT_TRUE(r->read_token_open(id, nullptr)) << what;
    auto block = r->read_block();
    ASSERT_NE(block, nullptr) << what << " error " << token_error;
    ASSERT_TRUE(r->read_token_open(id, nullptr)) << what;
    EXPECT_EQ(id, marker.id) << what;
    auto copy = testsupport::open_text_writer();
    ASSERT_TRUE(copy->write_block(block)) << what;
    EXPECT_EQ(testsupport::show(testsupport::written_body(*copy)),
              testsupport::show(without_wrap_spaces(original)))
        << what;

    // As the child of a token, copied at the same nesting level.
    Node outer{parent.id, parent.label, {}};
    outer.items.emplace_back(tree);
    auto w2 = testsupport::open_text_writer();
    ASSERT_TRUE(testsupport::write_tree(*w2, outer)) << what;
    std::u16string nested = testsupport::written_body(*w2);
    ASSERT_EQ(nested.substr(nested.size() - 3), u"\r\n)");
    nested.resize(nested.size() - 3);
    auto r2 = reopen(std::move(w2));
    ASSERT_TRUE(r2->read_token_open(id, nullptr)) << what;
    ASSERT_TRUE(r2->read_token_open(id, nullptr)) << what;
    auto inner = r2->read_block();
    ASSERT_NE(inner, nullptr) << what << " error " << token_error;
    EXPECT_TRUE(r2->read_token_close()) << what;
    auto copy2 = testsupport::open_text_writer();
    ASSERT_TRUE(copy2->write_token_open(outer.id, outer.label.empty() ? nullptr : outer.label.c_str()));
    ASSERT_TRUE(copy2->write_block(inner)) << what;
    std::u16string copied = testsupport::written_body(*copy2);
    EXPECT_EQ(testsupport::show(copied), testsupport::show(without_wrap_spaces(nested))) << what;
  }
}

}  // namespace
