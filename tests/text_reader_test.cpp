// The text token reader: lexer, value reads, token open and close, groups,
// strings and escapes, bytes, blocks, and the failures of hand-written input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "support/text_file.h"
#include "tokenfile/text/text_stream.h"
#include "tokenfile/token_stream.h"

using namespace tokenfile;
using namespace std::string_literals;
using testsupport::open_text_body;
using testsupport::show;
using testsupport::text_of;

namespace {

constexpr uint32_t kNoId = 0xFFFFFFFF;

class TextReader : public testsupport::WithTokenDictionary {};

// Every lexeme of `body` (at depth 0, so closing parentheses come back) in a
// short form: W:word N:number W+:continued ( ) NL. The scan failure that
// ends the list goes to `error`.
std::string lex_dump(std::u16string_view body, int32_t& error, const std::vector<uint8_t>& tail = {}) {
  auto s = open_text_body(body, tail);
  if (!s) return "<no stream>";
  TextTokenStream& t = text_of(*s);
  std::string out;
  token_error = 0;
  while (t.scan_lexeme(true)) {
    if (!out.empty()) out += ' ';
    switch (t.lexeme.kind) {
      case LexemeKind::Word:
        out += t.lexeme.continued ? "W+:" : "W:";
        break;
      case LexemeKind::Number:
        out += "N:";
        break;
      case LexemeKind::Open:
        out += "(";
        break;
      case LexemeKind::Close:
        out += ")";
        break;
      case LexemeKind::Newline:
        out += "NL";
        break;
    }
    if (t.lexeme.kind == LexemeKind::Word || t.lexeme.kind == LexemeKind::Number)
      out += show(t.lexeme.view());
  }
  error = token_error;
  return out;
}

// Opens the single token of `body`, failing the test if that fails.
std::unique_ptr<TokenStream> open_token(std::u16string_view body, uint32_t* id_out = nullptr) {
  auto s = open_text_body(body);
  uint32_t id = 0;
  EXPECT_NE(s->read_token_open(id, nullptr), 0) << show(body);
  if (id_out) *id_out = id;
  return s;
}

TEST_F(TextReader, LexerSplitsAndClassifies) {
  const std::u16string w4(1055, u'w');
  struct Row {
    std::u16string body;
    std::string lexemes;
    int32_t error;  // what ends the scan
  };
  // clang-format off
  const Row rows[] = {
      {u"", "", ERR_READ},
      {u"  \t  ", "", ERR_READ},
      {u"abc def\n", "W:abc W:def NL", ERR_READ},
      {u"12ab -1 +x .5 5. (", "N:12ab N:-1 N:+x N:.5 N:5. (", ERR_READ},
      {u"a(b)c\n", "W:a ( W:b ) W:c NL", ERR_READ},
      {u"x\"y z ", "W:x\"y W:z", ERR_READ},  // a quote inside a word is a character
      // Below U+0100 exactly U+0000-U+0020 and U+007F are white space.
      {u"a\0b\x7f" u"c\x1f" u"d "s, "W:a W:b W:c W:d", ERR_READ},
      {u"\x85" u"a \xa0" u"b \xff" u"c ", "W:\\u0085a W:\\u00A0b W:\\u00FFc", ERR_READ},
      // From U+0100 up the Unicode White_Space characters, and nothing else.
      {u"a\u3000" u"b\u2028" u"c\u205f" u"d\u1680" u"e\u200a" u"f\u2029" u"g ", "W:a W:b W:c W:d W:e W:f W:g",
       ERR_READ},
      {u"a\u200b" u"b\ufeff" u"c\u180e" u"d ", "W:a\\u200Bb\\uFEFFc\\u180Ed", ERR_READ},
      // Carriage returns: skipped once, so CR LF is a line feed and a lone
      // CR joins its neighbours; of two in a row the second is white space.
      {u"a\r\nb\n", "W:a NL W:b NL", ERR_READ},
      {u"a\rb ", "W:ab", ERR_READ},
      {u"a\r\r\nb ", "W:a NL W:b", ERR_READ},
      // Quoted strings keep escapes and may hold anything but a bare quote.
      {u"\"a b\"+\"c\" ", "W+:a b W:c", ERR_READ},
      {u"\"a\\\"b\" ", "W:a\\\"b", ERR_READ},
      {u"\"a\\\\\"b ", "W:a\\\\ W:b", ERR_READ},
      {u"\"x\"y ", "W:x W:y", ERR_READ},
      {u"\"x\"\n", "W:x NL", ERR_READ},
      {u"\"x\")", "W:x )", ERR_READ},
      {u"\"x\" + ", "W:x N:+", ERR_READ},  // only the character right after the quote joins
      {u"\"a\nb\" ", "W:a\\nb", ERR_READ},  // a line feed inside is text, no line
      {u"\"a\rb\" ", "W:ab", ERR_READ},
      {u"\"\"\"\" ", "W: W:", ERR_READ},
      {u"\"12\" ", "W:12", ERR_READ},  // quoted digits are a word
      // Cut off by the end of the data.
      {u"abc", "", ERR_SYNTAX},
      {u"\"", "", ERR_READ},
      {u"\"abc", "", ERR_SYNTAX},
      {u"\"abc\"", "", ERR_SYNTAX},
      {u"x \r", "W:x", ERR_READ},
      // Lexemes of 1055 characters and no more.
      {w4 + u" ", "W:" + std::string(1055, 'w'), ERR_READ},
      {w4 + u"w ", "", ERR_SYNTAX},
      {u"\"" + w4 + u"\" ", "W:" + std::string(1055, 'w'), ERR_READ},
      {u"\"" + w4 + u"w\" ", "", ERR_SYNTAX},
  };
  // clang-format on
  for (const Row& r : rows) {
    int32_t error = 0;
    EXPECT_EQ(lex_dump(r.body, error), r.lexemes) << show(r.body);
    EXPECT_EQ(error, r.error) << show(r.body);
  }
}

TEST_F(TextReader, OddTrailingByteIsEndOfData) {
  int32_t error = 0;
  EXPECT_EQ(lex_dump(u"ab ", error, {0x41}), "W:ab");
  EXPECT_EQ(error, ERR_READ);
  EXPECT_EQ(lex_dump(u"ab", error, {0x20}), "");  // the word has no end
  EXPECT_EQ(error, ERR_SYNTAX);
}

TEST_F(TextReader, ScanRemembersCleanEndOfData) {
  auto s = open_text_body(u"x \"");
  TextTokenStream& t = text_of(*s);
  ASSERT_TRUE(t.scan_lexeme(true));
  EXPECT_FALSE(t.scan_lexeme(true));
  EXPECT_EQ(token_error, ERR_READ);
  EXPECT_FALSE(t.at_end_of_data);  // a lone quote is no clean end
  EXPECT_FALSE(t.scan_lexeme(true));
  EXPECT_TRUE(t.at_end_of_data);
}

TEST_F(TextReader, InputMapDeviceReadsAndEndsAtItsParenthesis) {
  auto s = open_text_body(u"io_dev ( KEYB 0 )\r\ncomment ( x )\r\n");
  uint32_t id = 0;
  char16_t name[256];
  uint32_t value = 7;
  ASSERT_TRUE(s->read_token_open(id, nullptr));
  EXPECT_EQ(id, 99u);
  ASSERT_TRUE(s->read_wstring(name, 256));
  EXPECT_EQ(std::u16string(name), u"KEYB");
  ASSERT_TRUE(s->read_uint(value));
  EXPECT_EQ(value, 0u);
  EXPECT_FALSE(s->read_uint(value));
  EXPECT_EQ(token_error, ERR_END_OF_TOKEN);
  EXPECT_FALSE(s->read_wstring(name, 256));  // still held
  EXPECT_EQ(token_error, ERR_END_OF_TOKEN);
  ASSERT_TRUE(s->read_token_close());
  ASSERT_TRUE(s->read_token_open(id, nullptr));
  EXPECT_EQ(id, 1u);
  ASSERT_TRUE(s->read_token_close());
  EXPECT_FALSE(s->read_token_open(id, nullptr));
  EXPECT_EQ(token_error, ERR_END_OF_DATA);
  EXPECT_EQ(token_stream_line(*s), 4u);
}

TEST_F(TextReader, ValueRightBeforeParenthesisClosesOnlyItsToken) {
  auto s = open_text_body(u"io_dev ( io_map ( A jump SHIFT_DOWN) B )\n");
  uint32_t id = 0;
  char16_t v[256];
  ASSERT_TRUE(s->read_token_open(id, nullptr));
  ASSERT_TRUE(s->read_token_open(id, nullptr));
  EXPECT_EQ(id, 100u);
  for (const char16_t* want : {u"A", u"jump", u"SHIFT_DOWN"}) {
    ASSERT_TRUE(s->read_wstring(v, 256));
    EXPECT_EQ(std::u16string(v), want);
  }
  EXPECT_FALSE(s->read_wstring(v, 256));
  EXPECT_EQ(token_error, ERR_END_OF_TOKEN);
  ASSERT_TRUE(s->read_token_close());
  ASSERT_TRUE(s->read_wstring(v, 256));  // the enclosing token goes on
  EXPECT_EQ(std::u16string(v), u"B");
  EXPECT_FALSE(s->read_token_open(id, nullptr));
  EXPECT_EQ(token_error, ERR_END_OF_TOKEN);
  ASSERT_TRUE(s->read_token_close());
  EXPECT_FALSE(s->read_token_open(id, nullptr));
  EXPECT_EQ(token_error, ERR_END_OF_DATA);
}

TEST_F(TextReader, CrLfAndLfCountTheSameLines) {
  for (const std::u16string eol : {u"\n", u"\r\n"}) {
    const std::u16string body = u"tok (" + eol + u"1" + eol + u"\"a" + eol + u"b\"" + eol + u"2 )" + eol;
    auto s = open_token(body);
    uint32_t a = 0, b = 0;
    char16_t str[8];
    ASSERT_TRUE(s->read_uint(a));
    EXPECT_EQ(token_stream_line(*s), 3u);
    ASSERT_TRUE(s->read_wstring(str, 8));
    EXPECT_EQ(std::u16string(str), u"a\nb");  // the CR of CR LF goes, inside strings too
    EXPECT_EQ(token_stream_line(*s), 4u);     // the line feed in the string is no line
    ASSERT_TRUE(s->read_uint(b));
    EXPECT_EQ(b, 2u);
    EXPECT_EQ(token_stream_line(*s), 5u);
    ASSERT_TRUE(s->read_token_close());
    uint32_t id = 0;
    EXPECT_FALSE(s->read_token_open(id, nullptr));
    EXPECT_EQ(token_error, ERR_END_OF_DATA);
    EXPECT_EQ(token_stream_line(*s), 6u);
  }
}

// Number reads: the longest valid beginning of the text counts; a text
// without a number, or an integer out of range, fails with ERR_BAD_VALUE; a
// word where a number should stand fails without a code.
TEST_F(TextReader, NumberValues) {
  enum Op { Uint, Int, Float, Hex };
  constexpr double inf = std::numeric_limits<double>::infinity();
  struct Row {
    Op op;
    const char16_t* text;
    int32_t error;  // 0: reads `value`; -1: fails leaving token_error alone
    double value;
  };
  // clang-format off
  const Row rows[] = {
      {Uint, u"0", 0, 0},                 {Uint, u"12ab", 0, 12},           {Uint, u"007", 0, 7},
      {Uint, u"4294967295", 0, 4294967295.0}, {Uint, u"-1", 0, 4294967295.0}, {Uint, u"-4294967295", 0, 1},
      {Uint, u"+5", 0, 5},                {Uint, u"1.9", 0, 1},             {Uint, u"0x10", 0, 0},
      {Uint, u"4294967296", ERR_BAD_VALUE, 0}, {Uint, u"-4294967296", ERR_BAD_VALUE, 0},
      {Uint, u"99999999999999999999999", ERR_BAD_VALUE, 0},
      {Uint, u"+", ERR_BAD_VALUE, 0},     {Uint, u".", ERR_BAD_VALUE, 0},   {Uint, u"+-1", ERR_BAD_VALUE, 0},
      {Uint, u"abc", -1, 0},              {Uint, u"\"12\"", -1, 0},
      {Int, u"-5", 0, -5},                {Int, u"2147483647", 0, 2147483647.0},
      {Int, u"-2147483648", 0, -2147483648.0}, {Int, u"-0012x", 0, -12},
      {Int, u"2147483648", ERR_BAD_VALUE, 0}, {Int, u"-2147483649", ERR_BAD_VALUE, 0},
      {Int, u"-", ERR_BAD_VALUE, 0},      {Int, u"-x", ERR_BAD_VALUE, 0},
      {Float, u"1.5", 0, 1.5},            {Float, u"-2e3", 0, -2000},       {Float, u"+.25", 0, 0.25},
      {Float, u"5.", 0, 5},               {Float, u"1e", 0, 1},             {Float, u"1e+x", 0, 1},
      {Float, u"3.4028235e38", 0, 3.4028235e38f}, {Float, u"1e39", 0, inf}, {Float, u"-1e400", 0, -inf},
      {Float, u"1e-50", 0, 0},            {Float, u"-1e-99999999999", 0, -0.0}, {Float, u"1e-40", 0, 1e-40f},
      {Float, u"0x1p3", 0, 8},            {Float, u"-0x.8", 0, -0.5},       {Float, u"0x", 0, 0},
      {Float, u"0xg", 0, 0},              {Float, u"+inf", 0, inf},         {Float, u"-Infinity", 0, -inf},
      {Float, u".", ERR_BAD_VALUE, 0},    {Float, u"+", ERR_BAD_VALUE, 0},  {Float, u"-.e1", ERR_BAD_VALUE, 0},
      {Float, u"--1", ERR_BAD_VALUE, 0},  {Float, u"inf", -1, 0},
      // read_hex: exactly eight hexadecimal digits, of either lexeme kind.
      {Hex, u"0000ABCD", 0, 0xABCD},      {Hex, u"0000abcd", 0, 0xABCD},    {Hex, u"0000001c", 0, 28},
      {Hex, u"\"ffffffff\"", 0, 4294967295.0}, {Hex, u"+0000001", ERR_SYNTAX, 0}, {Hex, u"abcd", ERR_SYNTAX, 0},
      {Hex, u"0000abcg", ERR_SYNTAX, 0},  {Hex, u"123456789", ERR_SYNTAX, 0}, {Hex, u"\"\"", ERR_SYNTAX, 0},
  };
  // clang-format on
  for (const Row& r : rows) {
    auto s = open_token(u"tok ( "s + r.text + u" )");
    token_error = 12345;
    uint32_t u = 77;
    int32_t i = 77;
    float f = 77;
    double got = 77;
    int32_t ok = 0;
    switch (r.op) {
      case Uint:
        ok = s->read_uint(u);
        got = u;
        break;
      case Int:
        ok = s->read_int(i);
        got = i;
        break;
      case Float:
        ok = s->read_float(f);
        got = f;
        break;
      case Hex:
        ok = s->read_hex(u);
        got = u;
        break;
    }
    EXPECT_EQ(ok != 0, r.error == 0) << show(r.text);
    if (r.error == 0) {
      EXPECT_EQ(got, r.value) << show(r.text);
      EXPECT_EQ(std::signbit(got), std::signbit(r.value)) << show(r.text);
    } else {
      EXPECT_EQ(got, 77) << show(r.text);  // untouched
      EXPECT_EQ(token_error, r.error > 0 ? r.error : 12345) << show(r.text);
    }
  }
  auto s = open_token(u"tok ( -nan )");
  float v = 0;
  ASSERT_TRUE(s->read_float(v));
  EXPECT_TRUE(std::isnan(v));
}

TEST_F(TextReader, StringEscapes) {
  struct Row {
    std::u16string text;  // as it stands in the file
    std::u16string value;
  } rows[] = {
      {u"\"a\\\"b\"", u"a\"b"},
      {u"\"a\\\\\"", u"a\\"},
      {u"\"a\\qb\"", u"ab"},
      {u"\"a\\nb\\tc\"", u"a\nb\tc"},
      {u"\"\"", u""},
      {u"\"a b\tc\"", u"a b\tc"},
      {u"a\\nb", u"a\nb"},
      {u"ab\\", u"ab"},
      {u"\"ab\\\\\\\\\"", u"ab\\\\"},
      {u"\"ab\"+\n\"cd\"", u"abcd"},
      {u"\"ab\"+12", u"ab12"},
      {u"\"a\\\"+b\"", u"a\"+b"},
      {u"\"a\\\\\"+\"b\"", u"a\\b"},
      {u"\"x\"+\n\n\t\"y\"+\"z\"", u"xyz"},
      {u"\"ab\"+( \"c\" )", u"abc"},
  };
  for (const Row& r : rows) {
    auto s = open_token(u"tok ( " + r.text + u" end )");
    char16_t buf[64];
    ASSERT_TRUE(s->read_wstring(buf, 64)) << show(r.text);
    EXPECT_EQ(std::u16string(buf), r.value) << show(r.text);
    ASSERT_TRUE(s->read_wstring(buf, 64)) << show(r.text);
    EXPECT_EQ(std::u16string(buf), u"end") << show(r.text);
  }
}

// A string cut at the reader's capacity is consumed whole: its continuation
// pieces are not taken for the next values.
TEST_F(TextReader, StringAtCapacityConsumesItsContinuations) {
  struct Row {
    uint32_t capacity;
    std::u16string value;
  } rows[] = {{1, u""}, {2, u"a"}, {3, u"ab"}, {4, u"abc"}, {6, u"abcde"}, {64, u"abcdef"}};
  for (const Row& r : rows) {
    auto s = open_token(u"tok ( \"ab\"+\r\n\"cd\"+\r\n\"ef\" SHIFT_DOWN )");
    char16_t buf[65];
    std::fill(std::begin(buf), std::end(buf), u'#');
    ASSERT_TRUE(s->read_wstring(buf, r.capacity)) << r.capacity;
    EXPECT_EQ(std::u16string(buf), r.value) << r.capacity;
    EXPECT_EQ(buf[r.capacity], u'#') << r.capacity;  // nothing past the capacity
    EXPECT_EQ(token_stream_line(*s), 4u) << r.capacity;
    ASSERT_TRUE(s->read_wstring(buf, 64)) << r.capacity;
    EXPECT_EQ(std::u16string(buf), u"SHIFT_DOWN") << r.capacity;
  }
  // A missing continuation fails alike with every capacity.
  for (uint32_t capacity : {2u, 64u}) {
    auto s = open_token(u"tok ( \"ab\"+)");
    char16_t buf[64];
    EXPECT_FALSE(s->read_wstring(buf, capacity));
    EXPECT_EQ(token_error, ERR_END_OF_TOKEN);
    EXPECT_TRUE(s->read_token_close());
  }
  auto s = open_token(u"tok ( a )");
  char16_t buf[4];
  EXPECT_FALSE(s->read_wstring(buf, 0));
  EXPECT_EQ(token_error, ERR_BAD_VALUE);
}

TEST_F(TextReader, Bytes) {
  struct Row {
    const char16_t* text;
    uint32_t count;
    bool ok;
    std::vector<uint8_t> bytes;
  } rows[] = {
      {u"0102 03", 3, true, {1, 2, 3}},
      {u"01 02 03", 3, true, {1, 2, 3}},
      {u"0102 03", 2, true, {1, 2}},  // the next lexeme stays
      {u"012", 1, true, {1}},
      {u"\"\" aBfF", 2, true, {0xAB, 0xFF}},
      {u"( 01 ) 02", 2, true, {1, 2}},
      {u"0102", 1, false, {}},
      {u"0g", 1, false, {}},
      {u"-1", 1, false, {}},
  };
  for (const Row& r : rows) {
    auto s = open_token(u"tok ( "s + r.text + u" )");
    std::vector<uint8_t> got(r.count + 1, 0xEE);
    EXPECT_EQ(s->read_bytes(got.data(), r.count) != 0, r.ok) << show(r.text);
    if (r.ok) {
      got.resize(r.count);
      EXPECT_EQ(got, r.bytes) << show(r.text);
    } else {
      EXPECT_EQ(token_error, ERR_SYNTAX) << show(r.text);
    }
  }
  auto s = open_token(u"tok ( 05 )");
  uint8_t b = 0;
  EXPECT_TRUE(s->read_bytes(&b, 0));  // reads nothing
  ASSERT_TRUE(s->read_bytes(&b, 1));
  EXPECT_EQ(b, 5);
  EXPECT_FALSE(s->read_bytes(&b, 1));
  EXPECT_EQ(token_error, ERR_END_OF_TOKEN);
}

TEST_F(TextReader, ValuesPassThroughGroups) {
  auto s = open_token(u"tok ( 1 ( 2 3 ) 4 ((5)) )");
  for (uint32_t want = 1; want <= 5; ++want) {
    uint32_t v = 0;
    ASSERT_TRUE(s->read_uint(v));
    EXPECT_EQ(v, want);
  }
  uint32_t v = 0;
  EXPECT_FALSE(s->read_uint(v));
  EXPECT_EQ(token_error, ERR_END_OF_TOKEN);
  EXPECT_TRUE(s->read_token_close());
}

TEST_F(TextReader, LabelsAndWordReads) {
  const std::u16string long_label(40, u'q');
  auto s = open_text_body(u"tok ( ) io_map lab ( a ) x " + long_label + u" ( ) y \"l b\" ( ) z zz ( )");
  uint32_t id = 0;
  const char16_t* label = u"sentinel";
  ASSERT_TRUE(s->read_token_open(id, &label));
  EXPECT_EQ(id, kNoId);
  EXPECT_EQ(label, nullptr);
  ASSERT_TRUE(s->read_token_close());
  ASSERT_TRUE(s->read_token_open(id, &label));
  EXPECT_EQ(id, 100u);
  ASSERT_NE(label, nullptr);
  EXPECT_EQ(std::u16string(label), u"lab");
  EXPECT_EQ(text_of(*s).opening_text, u"io_map lab (");
  char16_t word[LABEL_TEXT_CAPACITY];
  ASSERT_TRUE(s->read_label(word));
  EXPECT_EQ(std::u16string(word), u"a");
  ASSERT_TRUE(s->read_token_close());
  ASSERT_TRUE(s->read_token_open(id, &label));
  EXPECT_EQ(std::u16string(label), std::u16string(32, u'q'));
  EXPECT_EQ(text_of(*s).opening_text, u"x " + long_label + u" (");  // kept whole
  ASSERT_TRUE(s->read_token_close());
  ASSERT_TRUE(s->read_token_open(id, &label));
  EXPECT_EQ(std::u16string(label), u"l b");
  ASSERT_TRUE(s->read_token_close());
  ASSERT_TRUE(s->read_token_open(id, nullptr));  // no label wanted
  EXPECT_EQ(std::u16string(s->label), u"l b");   // so the buffer is left alone
  ASSERT_TRUE(s->read_token_close());
}

TEST_F(TextReader, WordReadsRejectOtherKinds) {
  auto s = open_token(u"tok ( 5 \"io_dev\" sguid 7 )");
  char16_t word[LABEL_TEXT_CAPACITY];
  uint32_t id = 0;
  token_error = 4321;
  EXPECT_FALSE(s->read_label(word));  // a number
  EXPECT_EQ(token_error, 4321);
  ASSERT_TRUE(s->read_token_ref(id));
  EXPECT_EQ(id, 99u);
  ASSERT_TRUE(s->read_token_ref(id));
  EXPECT_EQ(id, 101u);
  EXPECT_FALSE(s->read_token_ref(id));
  EXPECT_EQ(token_error, 4321);
  auto u = open_token(u"tok ( nosuchname )");
  ASSERT_TRUE(u->read_token_ref(id));
  EXPECT_EQ(id, kNoId);
  char buf[8];
  EXPECT_FALSE(u->read_string(buf, 8));
  EXPECT_EQ(token_error, 4321);
}

TEST_F(TextReader, TokenOpenFailures) {
  struct Row {
    const char16_t* body;
    int32_t error;
  } rows[] = {
      {u"tok 5 ( )", ERR_SYNTAX}, {u"tok ) ", ERR_SYNTAX},
      {u"tok lab 5 ( )", 4321},  // the label's parenthesis is missing: no code
      {u"tok lab", ERR_SYNTAX},   {u"tok ", ERR_READ},
  };
  for (const Row& r : rows) {
    auto s = open_text_body(r.body);
    uint32_t id = 0;
    token_error = 4321;
    EXPECT_FALSE(s->read_token_open(id, nullptr)) << show(r.body);
    EXPECT_EQ(token_error, r.error) << show(r.body);
    EXPECT_EQ(text_of(*s).depth, 0) << show(r.body);
    EXPECT_EQ(s->open_tokens.size(), 1u) << show(r.body);  // the saved depth stays
  }
}

// At the top level only the clean end of the data ends the input; a stray
// lexeme, or one cut off by the end, is an error instead of a silent end.
TEST_F(TextReader, TopLevelStrayLexemeIsSyntaxError) {
  struct Row {
    std::u16string body;
    int32_t error;
  } rows[] = {
      {u"", ERR_END_OF_DATA},       {u" \r\n\t\n", ERR_END_OF_DATA}, {u")", ERR_SYNTAX},
      {u"( tok ( ) )", ERR_SYNTAX}, {u"5 ( )", ERR_SYNTAX},          {u"\"", ERR_SYNTAX},
      {u"tok", ERR_SYNTAX},         {u"\"tok", ERR_SYNTAX},
  };
  for (const Row& r : rows) {
    auto s = open_text_body(r.body);
    uint32_t id = 0;
    EXPECT_FALSE(s->read_token_open(id, nullptr)) << show(r.body);
    EXPECT_EQ(token_error, r.error) << show(r.body);
  }
  auto s = open_text_body(u"io_dev ( )\n) io_dev ( )");
  uint32_t id = 0;
  ASSERT_TRUE(s->read_token_open(id, nullptr));
  ASSERT_TRUE(s->read_token_close());
  EXPECT_FALSE(s->read_token_open(id, nullptr));
  EXPECT_EQ(token_error, ERR_SYNTAX);
  EXPECT_EQ(token_stream_line(*s), 3u);
}

// Inside a token a failed name step keeps its mapping: ends of the
// token and syntax errors pass, anything else reports no further child.
TEST_F(TextReader, ChildOpenFailuresInsideToken) {
  struct Row {
    const char16_t* body;
    int32_t before;
    int32_t error;
  } rows[] = {
      {u"tok ( )", 0, ERR_END_OF_TOKEN},
      {u"tok ( 5 )", ERR_BAD_VALUE, ERR_END_OF_DATA},
      {u"tok ( 5 )", ERR_SYNTAX, ERR_SYNTAX},  // no code of its own: the old one stays
      {u"tok ( ( kid ( ) ) )", 0, ERR_END_OF_DATA},
      {u"tok ( ", 0, ERR_END_OF_DATA},
      {u"tok ( \"", 0, ERR_END_OF_DATA},
      {u"tok ( kid", 0, ERR_SYNTAX},
  };
  for (const Row& r : rows) {
    auto s = open_token(r.body);
    uint32_t id = 0;
    token_error = r.before;
    EXPECT_FALSE(s->read_token_open(id, nullptr)) << show(r.body);
    EXPECT_EQ(token_error, r.error) << show(r.body);
  }
}

TEST_F(TextReader, TopLevelValueReadAtClosingParenthesis) {
  auto s = open_text_body(u") 7 tok ( )");
  uint32_t v = 0;
  EXPECT_FALSE(s->read_uint(v));
  EXPECT_EQ(token_error, ERR_SYNTAX);
  EXPECT_EQ(text_of(*s).depth, 0);
  ASSERT_TRUE(s->read_uint(v));
  EXPECT_EQ(v, 7u);
  uint32_t id = 0;
  EXPECT_TRUE(s->read_token_open(id, nullptr));
}

TEST_F(TextReader, CloseSkipsWhateverIsLeft) {
  auto s = open_text_body(u"outer ( 1 kid ( a ( b\n( c ) ) \"x)\ny\" ) (\n(\n) ) more ( ) )\nnext ( )\n");
  uint32_t id = 0, v = 0;
  ASSERT_TRUE(s->read_token_open(id, nullptr));
  ASSERT_TRUE(s->read_uint(v));
  ASSERT_TRUE(s->read_token_close());
  EXPECT_EQ(token_stream_line(*s), 5u);  // the line feed inside the string counts not
  ASSERT_TRUE(s->read_token_open(id, nullptr));
  EXPECT_EQ(s->read_token_close(), 1);
  EXPECT_FALSE(s->read_token_close());  // at the top level
  EXPECT_EQ(token_error, ERR_SYNTAX);
  EXPECT_FALSE(s->read_token_open(id, nullptr));
  EXPECT_EQ(token_error, ERR_END_OF_DATA);
}

TEST_F(TextReader, MillionParenthesesNeedNoRecursion) {
  constexpr size_t kDepth = 1000000;
  std::u16string body =
      u"tok ( " + std::u16string(kDepth, u'(') + u" 5 " + std::u16string(kDepth, u')') + u" )";
  {
    auto s = open_token(body);
    ASSERT_TRUE(s->read_token_close());
    uint32_t id = 0;
    EXPECT_FALSE(s->read_token_open(id, nullptr));
    EXPECT_EQ(token_error, ERR_END_OF_DATA);
  }
  {
    auto s = open_token(body);
    uint32_t v = 0;
    ASSERT_TRUE(s->read_uint(v));
    EXPECT_EQ(v, 5u);
    EXPECT_EQ(text_of(*s).depth, static_cast<int32_t>(kDepth + 1));
    EXPECT_FALSE(s->read_uint(v));
    EXPECT_EQ(token_error, ERR_END_OF_TOKEN);
    EXPECT_EQ(text_of(*s).depth, 1);
  }
  // Nested tokens, opened one by one and closed again.
  constexpr size_t kTokens = 200000;
  std::u16string nested;
  for (size_t i = 0; i < kTokens; ++i) nested += u"t(";
  nested += std::u16string(kTokens, u')');
  auto s = open_text_body(nested);
  uint32_t id = 0;
  size_t opened = 0;
  while (s->read_token_open(id, nullptr)) ++opened;
  EXPECT_EQ(opened, kTokens);
  EXPECT_EQ(token_error, ERR_END_OF_TOKEN);
  size_t closed = 0;
  while (!s->open_tokens.empty() && s->read_token_close()) ++closed;
  EXPECT_EQ(closed, kTokens);
  EXPECT_FALSE(s->read_token_open(id, nullptr));
  EXPECT_EQ(token_error, ERR_END_OF_DATA);
}

// read_block: a dump of the lines as "level|text" rows.
std::vector<std::string> block_lines(const TokenBlock& b) {
  std::vector<std::string> out;
  for (const BlockLine& l : b.lines) out.push_back(std::to_string(l.depth) + "|" + show(l.text));
  return out;
}

TEST_F(TextReader, BlockLinesAndLevels) {
  struct Row {
    std::u16string body;
    std::vector<std::string> lines;
  } rows[] = {
      {u"name ( a b\n)\n", {"0|name ( a b", "0|)"}},
      {u"name ( a\nc )\n", {"0|name ( a", "1|c )"}},
      {u"tok lab ( 1\n\tkid ( 2 )\n\t\"a b\"+\n\"c\" \"xy\" \"\" (3\n)\n)\n",
       {"0|tok lab ( 1", "1|kid ( 2 )", "1|\"a b\"+", "1|c xy  ( 3", "1|)", "0|)"}},
      {u"tok ( \"p\nq\" )\n", {"0|tok ( \"p\\nq\" )"}},
      {u"tok ( a ) x ( y )\n", {"0|tok ( a ) x ( y )"}},  // same line: part of the block
      {u"tok ( a )", {"0|tok ( a )"}},                    // the end of the data after the token
      {u"tok (\n\n\n)", {"0|tok (", "0|)"}},
  };
  for (const Row& r : rows) {
    auto s = open_token(r.body);
    token_error = 4321;
    auto block = s->read_block();
    ASSERT_NE(block, nullptr) << show(r.body);
    EXPECT_EQ(block->kind, BLOCK_TEXT);
    EXPECT_EQ(block_lines(*block), r.lines) << show(r.body);
    EXPECT_EQ(token_error, 4321) << show(r.body);
    EXPECT_EQ(text_of(*s).depth, 0);
    EXPECT_TRUE(s->open_tokens.empty());
  }
}

TEST_F(TextReader, BlockStartsWithWhatIsLeft) {
  auto s = open_text_body(u"outer ( tok ( 1 2 3 )\nkid ( 4 )\n)\n");
  uint32_t id = 0, v = 0;
  ASSERT_TRUE(s->read_token_open(id, nullptr));
  ASSERT_TRUE(s->read_token_open(id, nullptr));
  ASSERT_TRUE(s->read_uint(v));
  auto block = s->read_block();
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(block_lines(*block), (std::vector<std::string>{"0|tok ( 2 3 )"}));
  EXPECT_EQ(text_of(*s).depth, 1);  // back in outer
  EXPECT_EQ(token_stream_line(*s), 3u);
  ASSERT_TRUE(s->read_token_open(id, nullptr));
  ASSERT_TRUE(s->read_uint(v));
  EXPECT_EQ(v, 4u);
}

// The token's own closing parenthesis at the start of a line ends the block;
// what follows it on that line belongs to the enclosing token.
TEST_F(TextReader, BlockLeavesWhatFollowsItsClosingLine) {
  auto s = open_text_body(u"outer ( tok ( a\n) 9 ( b )\n)\nnext ( )");
  uint32_t id = 0, v = 0;
  ASSERT_TRUE(s->read_token_open(id, nullptr));
  ASSERT_TRUE(s->read_token_open(id, nullptr));
  auto block = s->read_block();
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(block_lines(*block), (std::vector<std::string>{"0|tok ( a", "0|)"}));
  ASSERT_TRUE(s->read_uint(v));
  EXPECT_EQ(v, 9u);
  EXPECT_TRUE(s->read_token_close());
  ASSERT_TRUE(s->read_token_open(id, nullptr));
  EXPECT_EQ(token_stream_line(*s), 5u);
}

TEST_F(TextReader, BlockLinesAreCutBeforeTheirCapacity) {
  std::u16string body = u"tok (";
  for (int i = 0; i < 700; ++i) body += u" w" + std::u16string(1, static_cast<char16_t>(u'a' + i % 26));
  body += u" )\n";
  auto s = open_token(body);
  const uint32_t line_before = token_stream_line(*s);
  auto block = s->read_block();
  ASSERT_NE(block, nullptr);
  ASSERT_EQ(block->lines.size(), 2u);
  EXPECT_EQ(block->lines[0].text.size(), 1310u);  // "tok (" and 435 words of 3
  EXPECT_EQ(block->lines[1].depth, 1);
  EXPECT_EQ(block->lines[0].text + u" " + block->lines[1].text, body.substr(0, body.size() - 1));
  EXPECT_EQ(token_stream_line(*s), line_before + 1);  // the cut is no line
}

TEST_F(TextReader, BlockFailuresRestoreTheEnclosingDepth) {
  struct Row {
    const char16_t* body;
    int32_t error;
  } rows[] = {
      {u"tok ( a \n", ERR_READ},
      {u"tok ( a", ERR_SYNTAX},
      {u"tok ( a ) )\n", ERR_READ},  // the level goes below zero: the block runs on
  };
  for (const Row& r : rows) {
    auto s = open_token(r.body);
    EXPECT_EQ(s->read_block(), nullptr) << show(r.body);
    EXPECT_EQ(token_error, r.error) << show(r.body);
    EXPECT_EQ(text_of(*s).depth, 0) << show(r.body);
    EXPECT_TRUE(s->open_tokens.empty()) << show(r.body);
  }
}

// Hand-written files of any shape: random texts over the characters that
// matter to the grammar, read by random operations. Every failure carries a
// code the reader raises (or none), depth never goes below zero and lines
// are only counted for line feeds that are there.
TEST_F(TextReader, RandomTextsFailCleanly) {
  static const std::u16string kPieces[] = {u"(",
                                           u")",
                                           u"\"",
                                           u"\\",
                                           u"+",
                                           u" ",
                                           u"\n",
                                           u"\r",
                                           u"\t",
                                           u"a",
                                           u"1",
                                           u"-",
                                           u".",
                                           u"ff",
                                           u"io_dev",
                                           u"\u3000",
                                           std::u16string(1, u'\0'),
                                           std::u16string(1100, u'w')};
  std::mt19937 rng(7);
  for (int round = 0; round < 400; ++round) {
    std::u16string body;
    const int pieces = static_cast<int>(rng() % 120);
    for (int i = 0; i < pieces; ++i) body += kPieces[rng() % (std::size(kPieces) - (rng() % 8 ? 1 : 0))];
    const uint32_t line_feeds = static_cast<uint32_t>(std::count(body.begin(), body.end(), u'\n'));
    auto s = open_text_body(body, rng() % 2 ? std::vector<uint8_t>{} : std::vector<uint8_t>{0x28});
    ASSERT_NE(s, nullptr);
    for (int op = 0; op < 60; ++op) {
      token_error = -1;
      uint32_t u = 0;
      int32_t i = 0;
      float f = 0;
      char16_t text[LABEL_TEXT_CAPACITY];
      uint8_t bytes[8];
      bool ok = false;
      switch (rng() % 11) {
        case 0:
          ok = s->read_token_open(u, nullptr);
          break;
        case 1:
          ok = s->read_uint(u);
          break;
        case 2:
          ok = s->read_int(i);
          break;
        case 3:
          ok = s->read_hex(u);
          break;
        case 4:
          ok = s->read_float(f);
          break;
        case 5:
          ok = s->read_wstring(text, 1 + rng() % 8);
          break;
        case 6:
          ok = s->read_bytes(bytes, rng() % 6);
          break;
        case 7:
          ok = s->read_label(text);
          break;
        case 8:
          ok = s->read_token_ref(u);
          break;
        case 9:
          ok = s->read_block() != nullptr;
          break;
        default:
          ok = s->read_token_close();
          break;
      }
      if (!ok) {
        EXPECT_TRUE(token_error == -1 || token_error == ERR_BAD_VALUE || token_error == ERR_END_OF_DATA ||
                    token_error == ERR_SYNTAX || token_error == ERR_END_OF_TOKEN || token_error == ERR_READ)
            << token_error << " " << show(body);
      }
      EXPECT_GE(text_of(*s).depth, 0) << show(body);
      EXPECT_LE(token_stream_line(*s), 2 + line_feeds) << show(body);
    }
  }
}

}  // namespace
