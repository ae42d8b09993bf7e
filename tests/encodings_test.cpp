// Both encodings of the token stream, through scripts of read and write
// operations (support/stream_script.h) over the rows of cases/text_reader,
// text_writer and binary_stream: how the text body splits into words,
// numbers, strings and group marks, how tokens open and close and lines are
// counted, the blocks read_block copies out; the exact layout the text writer
// gives, its wrapping and string pieces, numbers under any process locale; the
// bytes of the binary encoding and what its reads refuse on damaged input.
#include <gtest/gtest.h>

#include <clocale>
#include <locale>

#include "support/cases.h"
#include "support/stream_script.h"
#include "tokenfile/wide_length.h"

using namespace tokenfile;
using namespace testsupport;

namespace {

class TextReader : public WithDictionary {};
class TextWriter : public WithDictionary {};

// Rows of a body, a read script, what it gave, and a last byte (an odd one)
// to put after the body.
void check_rows(std::string_view group) {
  for (const Case& c : cases("text_reader.cases", group)) {
    Bytes file = text_file(c.wide(0));
    if (c.fields.size() > 3) file.push_back(from_hex(c.narrow(3)).at(0));
    EXPECT_EQ(read_script(file, c.narrow(1)), c.narrow(2)) << c.where;
  }
}

TEST_F(TextReader, LexemesValuesTokensLinesAndBlocks) {
  for (const char* group :
       {"SplitsTheBodyIntoLexemes", "EndsOfTheData", "ReadsNumbers", "ReadsStringsBytesAndNames",
        "OpensClosesAndCountsLines", "CopiesBlocks", "Places"})
    check_rows(group);
}

const std::u16string kTabs256(256, u'\t');

TEST_F(TextWriter, LaysOutTokensAndValues) {
  for (const Case& c : cases("text_writer.cases", "LaysOut"))
    EXPECT_EQ(show(text_written(c.wide(0))), show(c.wide(1))) << c.where;
  // At most 256 tabs start a line; the line break is written all the same.
  for (const std::u16string& script : {repeat(u"o1|", 258), repeat(u"o1|", 257) + u"u1"}) {
    const std::u16string body = text_written(script);
    const std::u16string tail = u"\r\n" + kTabs256 + u"comment (\r\n!BAD@257";
    EXPECT_EQ(show(body.substr(body.size() - tail.size())), show(tail));
  }
}

TEST_F(TextWriter, WritesStringsBareOrQuotedInPieces) {
  for (const Case& c : cases("text_writer.cases", "Strings"))
    EXPECT_EQ(show(text_written(u"o1|w" + c.wide(0) + u"|c")), show(u"\r\ncomment (" + c.wide(1) + u" )"))
        << c.where;
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
  for (const Case& c : cases("text_writer.cases", "Pieces")) {
    std::string sizes;
    for (size_t n : piece_sizes(text_written(repeat(u"o1|", c.number(0)) + u"w" + c.wide(1))))
      sizes += (sizes.empty() ? "" : " ") + std::to_string(n);
    EXPECT_EQ(sizes, c.narrow(2)) << c.where;
  }
  const std::u16string body =
      text_written(u"o1|w" + repeat(u"z", 65537) + u"|w" + repeat(u"z", 65536) + u"|c");
  EXPECT_EQ(piece_sizes(body).size(), 87u);
  EXPECT_EQ(body.substr(body.size() - 9), u"\" )!BAD@1");
}

// A decimal comma in the process locale changes nothing.
struct CommaDecimals : std::numpunct<char> {
  char do_decimal_point() const override { return ','; }
  char do_thousands_sep() const override { return '.'; }
  std::string do_grouping() const override { return "\3"; }
};

TEST_F(TextWriter, NumbersIgnoreTheLocale) {
  const std::locale old = std::locale::global(std::locale(std::locale::classic(), new CommaDecimals));
  const std::string old_c = std::setlocale(LC_ALL, nullptr);
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "C.UTF-8"})
    if (std::setlocale(LC_ALL, name)) break;
  const std::u16string body = text_written(u"o1|f1.5|f-1234.5|f1e+20|u1234567|i-7654321|c");
  std::string read =
      read_script(text_file(body), "Offfuiff") + " " + read_script(text_file(u"t ( 2.5 1,5 )"), "Off");
  std::setlocale(LC_ALL, old_c.c_str());
  std::locale::global(old);
  EXPECT_EQ(show(body), "\\r\\ncomment ( 1.5 -1234.5 1e+20 1234567 -7654321 )");
  EXPECT_EQ(read, "1 1.5 -1234.5 1e+20 1234567 -7654321 !EOT !EOT ? 2.5 1");
}

// io_dev(1, io_map("AB")) at body offsets 16 to 43.
const std::string kExample = "63000000 14000000 00 01000000 64000000 07000000 00 0200 4100 4200";

TEST(BinaryReader, ReadsWhatTheLayoutHolds) {
  for (const char* group : {"Reads", "Places"})
    for (const Case& c : cases("binary_stream.cases", group))
      EXPECT_EQ(read_script(token_file('b', from_hex(c.narrow(0))), c.narrow(1)), c.narrow(2)) << c.where;
  // A header line in UTF-16 shifts the body, not the positions.
  EXPECT_EQ(read_script(token_file('b', from_hex(kExample), true), "Ouosccn"), "99 1 100 [AB] c c @44");
}

// The most a binary body makes a reader deliver per byte: a token of 11
// bytes whose string runs 255 characters past its end. Each such child is
// read once, its close goes back to its end, and the next child follows.
TEST(BinaryReader, StringsPastTheirTokensAreReadOncePerToken) {
  constexpr uint32_t kChildren = 300;
  Bytes body;
  put_u32(body, 1);
  put_u32(body, 1 + 11 * kChildren + 510);
  put(body, {0});
  for (uint32_t i = 0; i < kChildren; ++i) {
    put_u32(body, i + 2);
    put_u32(body, 3);
    put(body, {0, 0xff, 0});
  }
  body.resize(body.size() + 510, 'x');  // what the last strings run over
  auto s = token_stream_open_memory(token_file('b', body), STREAM_READ, 0, 0);
  uint32_t id = 0, opened = 0;
  char16_t text[256];
  ASSERT_TRUE(s && s->read_token_open(id, nullptr));
  while (s->read_token_open(id, nullptr)) {
    EXPECT_EQ(id, opened + 2);
    EXPECT_TRUE(s->read_wstring(text, 256) && s->last_string_length() == 255);
    EXPECT_FALSE(s->read_token_open(id, nullptr));
    EXPECT_TRUE(s->read_token_close());
    EXPECT_EQ(token_stream_line(*s), 16 + 9 + 11 * ++opened);
  }
  // The padding's head is refused: it would end past the parent.
  EXPECT_EQ(token_error, ERR_READ);
  EXPECT_EQ(opened, kChildren);
}

TEST(BinaryWriter, LaysDownEachValue) {
  for (const Case& c : cases("binary_stream.cases", "Writes"))
    EXPECT_EQ(binary_written(c.wide(0)), c.narrow(1)) << c.where;
}

// The writers' length count reads whole aligned blocks: at every alignment
// and length it counts exactly up to the limit and says "more" past it.
TEST(BinaryWriter, CountsTextLengthsAtEveryAlignment) {
  alignas(16) char16_t text[64];
  for (size_t start = 0; start < 8; ++start) {
    for (size_t length = 0; length + start < 63; ++length) {
      std::fill(std::begin(text), std::end(text), u'a');
      text[start + length] = 0;
      for (size_t limit : {0, 1, 7, 8, 9, 17, 40}) {
        const size_t n = wide_length_up_to(text + start, limit);
        if (length <= limit) {
          EXPECT_EQ(n, length) << start << " " << length << " " << limit;
        } else {
          EXPECT_GT(n, limit) << start << " " << length << " " << limit;
        }
      }
    }
  }
}

}  // namespace
