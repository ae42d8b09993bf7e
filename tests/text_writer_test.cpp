// The text token writer: layout of tokens and values, indentation, wrapping,
// strings bare and in quoted pieces, blocks, and the writer's failures.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "support/text_file.h"
#include "tokenfile/text/text_stream.h"
#include "tokenfile/token_stream.h"

using namespace tokenfile;
using testsupport::open_text_writer;
using testsupport::show;
using testsupport::text_of;
using testsupport::written_body;

namespace {

constexpr uint32_t kComment = 1;  // "comment"
constexpr uint32_t kIoDev = 99;
constexpr uint32_t kIoMap = 100;
constexpr uint32_t kSguid = 101;

class TextWriter : public testsupport::WithTokenDictionary {};

std::u16string repeat(char16_t c, size_t n) { return std::u16string(n, c); }

// The body of a "comment" token holding what `write` writes.
std::u16string in_comment(const std::function<int32_t(TokenStream&)>& write) {
  auto s = open_text_writer();
  EXPECT_TRUE(s->write_token_open(kComment, nullptr));
  EXPECT_TRUE(write(*s));
  EXPECT_TRUE(s->write_token_close());
  return written_body(*s);
}

TEST_F(TextWriter, LayoutOfAConvertedInputMap) {
  auto s = open_text_writer();
  ASSERT_TRUE(s->write_token_open(kIoDev, nullptr));
  ASSERT_TRUE(s->write_uint(1));
  ASSERT_TRUE(s->write_uint(0));
  ASSERT_TRUE(s->write_token_open(kIoMap, nullptr));
  ASSERT_TRUE(s->write_hex(0x1001C));
  ASSERT_TRUE(s->write_wstring(u"jump"));
  ASSERT_TRUE(s->write_uint(0));
  ASSERT_TRUE(s->write_token_close());
  ASSERT_TRUE(s->write_token_close());
  EXPECT_EQ(show(written_body(*s)), show(u"\r\nio_dev ( 1 0\r\n\tio_map ( 0001001c jump 0 )\r\n)"));
}

TEST_F(TextWriter, TokenLines) {
  struct Row {
    std::function<int32_t(TokenStream&)> write;
    std::u16string body;
  } rows[] = {
      {[](TokenStream& s) { return s.write_token_open(kComment, nullptr) && s.write_token_close(); },
       u"\r\ncomment ( )"},
      {[](TokenStream& s) { return s.write_token_open(kIoDev, u"lab") && s.write_token_close(); },
       u"\r\nio_dev lab ( )"},
      {[](TokenStream& s) {
         return s.write_token_open(kIoDev, nullptr) && s.write_token_open(kIoMap, nullptr) &&
                s.write_token_open(kSguid, nullptr) && s.write_token_close() && s.write_uint(5) &&
                s.write_token_close() && s.write_token_close() && s.write_token_open(kComment, nullptr) &&
                s.write_token_close();
       },
       u"\r\nio_dev (\r\n\tio_map (\r\n\t\tsguid ( ) 5\r\n\t)\r\n)\r\ncomment ( )"},
      // A close with nothing open stands on its own line.
      {[](TokenStream& s) { return s.write_token_close(); }, u"\r\n)"},
  };
  for (const Row& r : rows) {
    auto s = open_text_writer();
    EXPECT_TRUE(r.write(*s));
    EXPECT_EQ(show(written_body(*s)), show(r.body));
    EXPECT_EQ(text_of(*s).indent, 0u);
  }
}

TEST_F(TextWriter, ValueItems) {
  const uint8_t bytes[] = {0x01, 0xFF, 0x00};
  struct Row {
    std::function<int32_t(TokenStream&)> write;
    std::u16string items;
  } rows[] = {
      {[](TokenStream& s) { return s.write_uint(0) && s.write_uint(4294967295u); }, u" 0 4294967295"},
      {[](TokenStream& s) { return s.write_int(-2147483647 - 1) && s.write_int(7); }, u" -2147483648 7"},
      {[](TokenStream& s) { return s.write_hex(0) && s.write_hex(28) && s.write_hex(0xDEADBEEF); },
       u" 00000000 0000001c deadbeef"},
      {[&](TokenStream& s) { return s.write_bytes(bytes, 2); }, u" 01 ff"},
      {[&](TokenStream& s) { return s.write_bytes(bytes, 0); }, u""},
      {[](TokenStream& s) { return s.write_token_ref(kIoDev); }, u" io_dev"},
      {[](TokenStream& s) { return s.write_float(1.5f) && s.write_float(-0.0f); }, u" 1.5 -0"},
      {[](TokenStream& s) { return s.write_label(u"raw\"(text"); }, u" raw\"(text"},
      {[](TokenStream& s) { return s.write_label(u"\nfree ( text"); }, u"\r\n\tfree ( text"},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(show(in_comment(r.write)), show(u"\r\ncomment (" + r.items + u" )"));
  }
}

TEST_F(TextWriter, FloatsPrintAsPercentG) {
  const float values[] = {0.0f,
                          1.0f,
                          -2.25f,
                          1e-5f,
                          123456789.0f,
                          0.0001f,
                          100000.0f,
                          1000000.0f,
                          3.4e38f,
                          1e-45f,
                          1.17549435e-38f,
                          0.1f,
                          -7.125e12f,
                          std::numeric_limits<float>::infinity(),
                          -std::numeric_limits<float>::infinity()};
  for (float f : values) {
    char expected[64];
    std::snprintf(expected, sizeof expected, " %g", static_cast<double>(f));
    const std::u16string body = in_comment([f](TokenStream& s) { return s.write_float(f); });
    EXPECT_EQ(show(body), "\\r\\ncomment (" + std::string(expected) + " )") << f;
  }
}

TEST_F(TextWriter, UnknownIdsWriteNothing) {
  for (uint32_t id : {0u, 283u, 0xFFFFFFFFu}) {
    auto s = open_text_writer();
    EXPECT_FALSE(s->write_token_open(id, nullptr));
    EXPECT_EQ(token_error, ERR_UNKNOWN_TOKEN);
    EXPECT_TRUE(s->open_tokens.empty());
    token_error = 0;
    EXPECT_FALSE(s->write_token_ref(id));
    EXPECT_EQ(token_error, ERR_UNKNOWN_TOKEN);
    EXPECT_EQ(written_body(*s), u"");
  }
  auto s = open_text_writer();
  token_error = 4321;
  EXPECT_FALSE(s->write_string("abc"));
  EXPECT_EQ(token_error, 4321);
  EXPECT_EQ(written_body(*s), u"");
}

TEST_F(TextWriter, AtMost256Tabs) {
  auto s = open_text_writer();
  for (int i = 0; i < 257; ++i) ASSERT_TRUE(s->write_token_open(kComment, nullptr)) << i;
  const std::u16string before = written_body(*s);
  EXPECT_EQ(before.substr(before.size() - 267), u"\r\n" + repeat(u'\t', 256) + u"comment (");
  EXPECT_FALSE(s->write_token_open(kComment, nullptr));
  EXPECT_EQ(token_error, ERR_BAD_VALUE);
  EXPECT_EQ(written_body(*s), before + u"\r\n");  // the line break stays written
  EXPECT_EQ(text_of(*s).indent, 257u);            // not raised
  EXPECT_EQ(s->open_tokens.size(), 258u);         // the node stays
  // A wrap at that depth fails alike.
  auto t = open_text_writer();
  for (int i = 0; i < 257; ++i) ASSERT_TRUE(t->write_token_open(kComment, nullptr));
  EXPECT_EQ(t->position, 4u * 256u + 9u);
  EXPECT_FALSE(t->write_uint(1));
  EXPECT_EQ(token_error, ERR_BAD_VALUE);
}

TEST_F(TextWriter, WrapsBeforeColumn1024) {
  auto s = open_text_writer();
  ASSERT_TRUE(s->write_token_open(kIoDev, nullptr));
  EXPECT_EQ(s->position, 8u);  // "io_dev (" after the line break
  for (int i = 0; i < 127; ++i) ASSERT_TRUE(s->write_uint(1234567));
  // 126 items of 8 columns end at 1016; the 127th would reach 1024.
  EXPECT_EQ(s->position, 4u + 8u);
  std::u16string first = u"\r\nio_dev (";
  for (int i = 0; i < 126; ++i) first += u" 1234567";
  EXPECT_EQ(show(written_body(*s)), show(first + u"\r\n\t 1234567"));

  // Each byte is an item of its own; a label's space is counted, a token
  // name's label is counted without its space.
  auto t = open_text_writer();
  ASSERT_TRUE(t->write_token_open(kIoDev, u"label"));
  EXPECT_EQ(t->position, 6u + 5u + 2u);
  std::vector<uint8_t> data(400, 0xAB);
  ASSERT_TRUE(t->write_bytes(data.data(), 400));
  const std::u16string body = written_body(*t);
  const size_t br = body.find(u"\r\n", 2);
  ASSERT_NE(br, std::u16string::npos);
  EXPECT_EQ(br - 2, 14u + 336u * 3u);  // the 337th byte would reach column 1024
  EXPECT_EQ(t->position, 4u + 64u * 3u);
  ASSERT_TRUE(t->write_label(std::u16string(2000, u'L').c_str()));  // overruns: no splitting
  EXPECT_EQ(t->position, 4u + 2001u);
}

TEST_F(TextWriter, BareAndQuotedStrings) {
  struct Row {
    std::u16string text;
    std::u16string item;
  } rows[] = {
      {u"abc", u" abc"},
      {u"+1", u" +1"},
      {u"\u00e9\u4e2d", u" \u00e9\u4e2d"},
      {u"a b", u" \"a b\""},
      {u"(", u" \"(\""},
      {u"x)", u" \"x)\""},
      {u"\"", u" \"\\\"\""},
      {u"\\", u" \"\\\\\""},
      {u"\t", u" \"\\t\""},
      {u"a\rb", u" \"ab\""},
      {u"a\u3000b", u" \"a\u3000b\""},
      {u"", u" \"\""},
      {repeat(u'x', 1023), u"\r\n\t " + repeat(u'x', 1023)},  // bare, on a line of its own
      {u"ab\ncd", u" \"ab\\n\"+\r\n\t \"cd\""},
      {u"a\n\tb", u" \"a\\n\"+\r\n\t \"\\tb\""},
      {u"a\n", u" \"a\\n\"\r\n\t"},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(show(in_comment([&](TokenStream& s) { return s.write_wstring(r.text.c_str()); })),
              show(u"\r\ncomment (" + r.item + u" )"))
        << show(r.text);
  }
}

// The quoted pieces of a text written at the top level (no token open, the
// column still at 16), as written between their quotes.
std::vector<std::u16string> pieces_of(const std::u16string& body) {
  std::vector<std::u16string> pieces;
  size_t at = 0;
  while ((at = body.find(u" \"", at)) != std::u16string::npos) {
    size_t end = at + 2;
    while (body[end] != u'"') end += body[end] == u'\\' ? 2 : 1;
    pieces.push_back(body.substr(at + 2, end - at - 2));
    at = end + 1;
  }
  return pieces;
}

TEST_F(TextWriter, LongTextsInPieces) {
  auto s = open_text_writer();
  ASSERT_TRUE(s->write_wstring(repeat(u'x', 2000).c_str()));
  EXPECT_EQ(written_body(*s), u" \"" + repeat(u'x', 762) + u"\"+\r\n \"" + repeat(u'x', 762) + u"\"+\r\n \"" +
                                  repeat(u'x', 476) + u"\"");

  struct Row {
    uint32_t indent;
    std::u16string text;
    std::vector<size_t> sizes;
  } rows[] = {
      {1, repeat(u'x', 1024), {759, 265}},
      {200, repeat(u'x', 1100), {192, 192, 192, 192, 192, 140}},
      {300, repeat(u'x', 700) + u"(", {192, 192, 192, 125}},  // the budget is at least 256
      // After a space every character moves the cut; the piece ends at the
      // budget.
      {0, repeat(u'a', 600) + u" " + repeat(u'b', 600), {1015, 186}},
      // Characters that escape to two never make a piece longer than the
      // budget, so the reader can take it whole.
      {0, repeat(u'"', 800), {508 * 2, 292 * 2}},
      {0, repeat(u'\\', 600) + repeat(u'y', 100), {508 * 2, 92 * 2 + 100}},
      {0, repeat(u'\t', 600), {508 * 2, 92 * 2}},
  };
  for (const Row& r : rows) {
    auto w = open_text_writer();
    text_of(*w).indent = r.indent;
    ASSERT_TRUE(w->write_wstring(r.text.c_str()));
    std::vector<size_t> sizes;
    for (const auto& p : pieces_of(written_body(*w))) sizes.push_back(p.size());
    EXPECT_EQ(sizes, r.sizes) << r.indent << " " << show(r.text.substr(0, 8));
  }
}

TEST_F(TextWriter, StringLengthLimit) {
  auto s = open_text_writer();
  ASSERT_TRUE(s->write_token_open(kComment, nullptr));
  const std::u16string before = written_body(*s);
  EXPECT_FALSE(s->write_wstring(repeat(u'z', 65537).c_str()));
  EXPECT_EQ(token_error, ERR_BAD_VALUE);
  EXPECT_EQ(written_body(*s), before);
  ASSERT_TRUE(s->write_wstring(repeat(u'z', 65536).c_str()));
  const std::u16string body = written_body(*s);
  EXPECT_EQ(pieces_of(body.substr(before.size())).size(), (65536u + 758u) / 759u);
}

TEST_F(TextWriter, Blocks) {
  auto make = [](std::vector<BlockLine> lines) {
    auto b = std::make_unique<TokenBlock>();
    b->kind = BLOCK_TEXT;
    b->lines = std::move(lines);
    return b;
  };
  auto s = open_text_writer();
  ASSERT_TRUE(s->write_token_open(kComment, nullptr));
  std::unique_ptr<TokenBlock> none;
  EXPECT_FALSE(s->write_block(none));
  EXPECT_EQ(token_error, ERR_BLOCK_KIND);
  auto binary = std::make_unique<TokenBlock>();
  binary->kind = BLOCK_BINARY;
  binary->bytes = {1, 2, 3};
  token_error = 0;
  EXPECT_FALSE(s->write_block(binary));
  EXPECT_EQ(token_error, ERR_BLOCK_KIND);
  ASSERT_NE(binary, nullptr);  // still the caller's
  auto block = make({{u"kid ( 1", 0}, {u"x", 1}, {u")", 0}, {u"odd", -5}});
  ASSERT_TRUE(s->write_block(block));
  EXPECT_EQ(block, nullptr);
  auto empty = make({});
  ASSERT_TRUE(s->write_block(empty));
  EXPECT_EQ(empty, nullptr);
  ASSERT_TRUE(s->write_token_close());  // the block is no child: " )" on its last line
  EXPECT_EQ(show(written_body(*s)), show(u"\r\ncomment (\r\n\tkid ( 1\r\n\t\tx\r\n\t)\r\nodd )"));

  auto deep = open_text_writer();
  ASSERT_TRUE(deep->write_token_open(kComment, nullptr));
  auto wide = make({{u"a", 0}, {u"b", 255}, {u"c", 256}});
  EXPECT_FALSE(deep->write_block(wide));
  EXPECT_EQ(token_error, ERR_BAD_VALUE);
  EXPECT_NE(wide, nullptr);
  EXPECT_EQ(show(written_body(*deep)), show(u"\r\ncomment (\r\n\ta\r\n" + repeat(u'\t', 256) + u"b\r\n"));
}

}  // namespace
