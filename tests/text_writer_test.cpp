// The text writer: the exact layout of tokens and values, indentation,
// wrapping before column 1024, bare and quoted strings in pieces, blocks.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>

#include "support/stream_script.h"
#include "support/temp_dir.h"

using namespace tokenfile;
using namespace testsupport;

namespace {

class TextWriter : public WithDictionary {};

const std::u16string kTabs256(256, u'\t');

TEST_F(TextWriter, LaysOutTokensAndValues) {
  const std::u16string x1023(1023, u'x'), l2000(2000, u'L');
  const struct {
    std::u16string script, expected;
  } rows[] = {
      {u"o99|u1|u0|o100|x1001c|wjump|u0|c|c", u"\r\nio_dev ( 1 0\r\n\tio_map ( 0001001c jump 0 )\r\n)"},
      {u"o1|c", u"\r\ncomment ( )"},
      {u"o99,lab|c|o99,|c", u"\r\nio_dev lab ( )\r\nio_dev  ( )"},
      {u"o99|o100|o101|c|u5|c|c|o1|c", u"\r\nio_dev (\r\n\tio_map (\r\n\t\tsguid ( ) 5\r\n\t)\r\n)\r\ncomment ( )"},
      {u"c", u"\r\n)"},
      {u"o1|u0|u4294967295|i-2147483648|i7|x0|x1c|xdeadbeef|b01ff|b|r99|f1.5|f-0|lraw\"(text|l\nfree ( text|c",
       u"\r\ncomment ( 0 4294967295 -2147483648 7 00000000 0000001c deadbeef 01 ff io_dev 1.5 -0 raw\"(text"
       u"\r\n\tfree ( text )"},
      {u"o0|r283|o4294967295|nabc|o99|c", u"\r\nio_dev ( )!UNK@0!UNK@1!UNK@2!-@3"},
      // Wrapping: an item that would reach column 1024 starts a new line. A
      // label's space is not counted, nor is a token reference's.
      {u"o99" + repeat(u"|u1234567", 127) + u"|c", u"\r\nio_dev (" + repeat(u" 1234567", 126) + u"\r\n\t 1234567 )"},
      {u"o99" + repeat(u"|u1234567", 126) + u"|u123456|c", u"\r\nio_dev (" + repeat(u" 1234567", 126) + u" 123456 )"},
      {u"o99,label|b" + repeat(u"ab", 400) + u"|l" + l2000 + u"|u1|c",
       u"\r\nio_dev label (" + repeat(u" ab", 336) + u"\r\n\t" + repeat(u" ab", 64) + u"\r\n\t " + l2000 + u"\r\n\t 1 )"},
      {u"o1" + repeat(u"|r99", 170) + u"|c", u"\r\ncomment (" + repeat(u" io_dev", 169) + u"\r\n\t io_dev )"},
      {u"o1|w" + x1023 + u"|c", u"\r\ncomment (\r\n\t " + x1023 + u" )"},
  };
  for (const auto& r : rows) EXPECT_EQ(show(text_written(r.script)), show(r.expected));
  // At most 256 tabs start a line; the line break is written all the same.
  for (const std::u16string& script : {repeat(u"o1|", 258), repeat(u"o1|", 257) + u"u1"}) {
    const std::u16string body = text_written(script);
    const std::u16string tail = u"\r\n" + kTabs256 + u"comment (\r\n!BAD@257";
    EXPECT_EQ(show(body.substr(body.size() - tail.size())), show(tail));
  }
}

TEST_F(TextWriter, WritesStringsBareOrQuotedInPieces) {
  const struct {
    std::u16string text, item;
  } rows[] = {
      {u"abc", u" abc"},
      {u"+1", u" +1"},
      {u"\u00e9\u4e2d\u1681abcdefghijkl", u" \u00e9\u4e2d\u1681abcdefghijkl"},
      {u"a b", u" \"a b\""},
      {u"(", u" \"(\""},
      {u"\"", u" \"\\\"\""},
      {u"\\", u" \"\\\\\""},
      {u"\t", u" \"\\t\""},
      {u"a\rb", u" \"ab\""},
      {u"", u" \"\""},
      {u"abcdefg\\hijk\"lmn\tpqrstuvw\rxyz", u" \"abcdefg\\\\hijk\\\"lmn\\tpqrstuvwxyz\""},
      {u"ab\ncd", u" \"ab\\n\"+\r\n\t \"cd\""},
      {u"a\n\tb", u" \"a\\n\"+\r\n\t \"\\tb\""},
      {u"a\n", u" \"a\\n\"\r\n\t"},
  };
  for (const auto& r : rows)
    EXPECT_EQ(show(text_written(u"o1|w" + r.text + u"|c")), show(u"\r\ncomment (" + r.item + u" )"));
  // A character the reader would split or group on, at any place of a run.
  for (char16_t c : std::u16string(u" \x7f()\u3000\x01\u1680\u205f"))
    for (size_t at : {0, 3, 7, 8, 12}) {
      std::u16string text = u"abcdefghijklm";
      text[at] = c;
      EXPECT_EQ(text_written(u"w" + text), u" \"" + text + u"\"") << show(text);
    }
}

// The quoted pieces of a body, as they stand between their quotes.
std::vector<size_t> piece_sizes(const std::u16string& body) {
  std::vector<size_t> sizes;
  for (size_t at = 0; (at = body.find(u" \"", at)) != body.npos;) {
    size_t end = at + 2;
    while (body[end] != u'"') end += body[end] == u'\\' ? 2 : 1;
    sizes.push_back(end - at - 2);
    at = end + 1;
  }
  return sizes;
}

TEST_F(TextWriter, CutsLongStringsWithinTheBudget) {
  const auto x = [](size_t n, char16_t c = u'x') { return std::u16string(n, c); };
  const struct {
    size_t indent;
    std::u16string text;
    std::vector<size_t> sizes;
  } rows[] = {
      {0, x(2000), {762, 762, 476}},
      {1, x(1024), {759, 265}},
      {200, x(1100), {192, 192, 192, 192, 192, 140}},  // the budget is at least 256 columns
      {0, x(600, u'a') + u" " + x(600, u'b'), {1015, 186}},
      {0, x(800, u'"'), {508 * 2, 292 * 2}},
      {0, x(600, u'\\') + x(100, u'y'), {508 * 2, 92 * 2 + 100}},
      {0, x(600, u'\t'), {508 * 2, 92 * 2}},
      {0, x(1023, u'x') + u"\ny", {762, 263, 1}},
  };
  for (const auto& r : rows)
    EXPECT_EQ(piece_sizes(text_written(repeat(u"o1|", r.indent) + u"w" + r.text)), r.sizes) << r.indent;
  const std::u16string body = text_written(u"o1|w" + x(65537, u'z') + u"|w" + x(65536, u'z') + u"|c");
  EXPECT_EQ(piece_sizes(body).size(), 87u);
  EXPECT_EQ(body.substr(body.size() - 9), u"\" )!BAD@1");
}

// An item goes to a new line exactly when its counted width would take the
// column to 1024: a bare word counts its length and a space, a quoted string
// its escaped length and four.
TEST_F(TextWriter, WrapsStringsByTheirWidth) {
  const std::u16string alphabet = u"ab \t\"\\\r(\u3000\u00e9\x7f";
  std::mt19937 rng(5);
  for (int round = 0; round < 400; ++round) {
    std::u16string text(rng() % 40, u'a');
    for (auto& c : text) c = rng() % 3 ? u'a' : alphabet[rng() % alphabet.size()];
    size_t width = 4;
    bool bare = !text.empty();
    for (char16_t c : text) {
      width += c == u'\r' ? 0 : c == u'\t' || c == u'"' || c == u'\\' ? 2 : 1;
      bare = bare && c > 0x20 && c != 0x7f && c != 0x3000 && c != u'(' && c != u'"' && c != u'\\';
    }
    if (bare) width = text.size() + 1;
    const size_t column = 1024 - width - rng() % 2;
    const std::u16string body = text_written(u"o1|l" + std::u16string(column - 10, u'x') + u"|w" + text);
    EXPECT_EQ(body.find(u"\r\n\t ") != body.npos, column + width >= 1024) << show(text);
  }
}

TEST_F(TextWriter, PrintsFloatsAsPercentG) {
  std::vector<float> values = {0.0f, 1.0f, -2.25f, 1e-5f, 123456789.0f, 0.0001f, 100000.0f, 1000000.0f,
                               3.4e38f, 1e-45f, 1.17549435e-38f, 0.1f, -7.125e12f, HUGE_VALF, -HUGE_VALF};
  std::mt19937 rng(11);
  for (int i = 0; i < 300; ++i) values.push_back(std::bit_cast<float>(static_cast<uint32_t>(rng())));
  for (float f : values) {
    char exact[32], expected[32];
    std::snprintf(exact, sizeof exact, "%.9g", f);
    std::snprintf(expected, sizeof expected, " %g", f);
    EXPECT_EQ(text_written(u"o1|f" + widen(exact) + u"|c"), u"\r\ncomment (" + widen(expected) + u" )") << exact;
  }
}

TEST_F(TextWriter, WritesBlocksOfTextOnly) {
  auto s = token_stream_open(nullptr, STREAM_WRITE | STREAM_TEXT, u'i', u'0', u'@');
  ASSERT_TRUE(s && s->write_token_open(1, nullptr));
  auto block = std::make_unique<TokenBlock>();
  std::unique_ptr<TokenBlock> none;
  EXPECT_FALSE(s->write_block(none));
  EXPECT_EQ(token_error, ERR_BLOCK_KIND);
  block->kind = BLOCK_BINARY;
  token_error = kUnset;
  EXPECT_FALSE(s->write_block(block));
  EXPECT_EQ(token_error, ERR_BLOCK_KIND);
  ASSERT_TRUE(block);  // still the caller's
  block->kind = BLOCK_TEXT;
  block->lines = {{u"kid ( 1", 0}, {u"x", 1}, {u")", 0}, {u"odd", -5}, {std::u16string(1020, u'y'), 0}};
  ASSERT_TRUE(s->write_block(block));
  EXPECT_FALSE(block);
  block = std::make_unique<TokenBlock>();
  block->kind = BLOCK_TEXT;  // no lines: nothing written
  ASSERT_TRUE(s->write_block(block) && s->write_uint(5));
  EXPECT_FALSE(block);
  block = std::make_unique<TokenBlock>();
  block->kind = BLOCK_TEXT;
  block->lines = {{u"a", 0}, {u"b", 255}, {u"c", 256}};
  EXPECT_FALSE(s->write_block(block));
  EXPECT_EQ(token_error, ERR_BAD_VALUE);
  EXPECT_TRUE(block);
  ASSERT_TRUE(s->write_token_close());  // a block is no child: " )" ends the last line
  Bytes file;
  ASSERT_TRUE(token_stream_close_to_bytes(std::move(s), file));
  EXPECT_EQ(show(text_body(file)), show(u"\r\ncomment (\r\n\tkid ( 1\r\n\t\tx\r\n\t)\r\nodd\r\n\t" +
                                        std::u16string(1020, u'y') + u"\r\n\t 5\r\n\ta\r\n" + kTabs256 + u"b\r\n )"));
}

}  // namespace
