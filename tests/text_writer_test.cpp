// The text writer: the exact layout of tokens and values, indentation,
// wrapping before column 1024, bare and quoted strings in pieces, blocks,
// and numbers written and read back the same under any process locale.
#include <gtest/gtest.h>

#include <bit>
#include <clocale>
#include <cmath>
#include <locale>
#include <random>

#include "support/cases.h"
#include "support/stream_script.h"
#include "support/temp_dir.h"

using namespace tokenfile;
using namespace testsupport;

namespace {

class TextWriter : public WithDictionary {};

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
    EXPECT_EQ(show(text_written(u"o1|w" + c.wide(0) + u"|c")), show(u"\r\ncomment (" + c.wide(1) + u" )")) << c.where;
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
  for (const Case& c : cases("text_writer.cases", "Pieces")) {
    std::string sizes;
    for (size_t n : piece_sizes(text_written(repeat(u"o1|", c.number(0)) + u"w" + c.wide(1))))
      sizes += (sizes.empty() ? "" : " ") + std::to_string(n);
    EXPECT_EQ(sizes, c.narrow(2)) << c.where;
  }
  const std::u16string body = text_written(u"o1|w" + repeat(u"z", 65537) + u"|w" + repeat(u"z", 65536) + u"|c");
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
  std::string read = read_script(text_file(body), "Offfuiff") + " " +
                     read_script(text_file(u"t ( 2.5 1,5 )"), "Off");
  std::setlocale(LC_ALL, old_c.c_str());
  std::locale::global(old);
  EXPECT_EQ(show(body), "\\r\\ncomment ( 1.5 -1234.5 1e+20 1234567 -7654321 )");
  EXPECT_EQ(read, "1 1.5 -1234.5 1e+20 1234567 -7654321 !EOT !EOT ? 2.5 1");
}

}  // namespace
