// Properties of both encodings over generated token trees: what is written
// in any encoding and compression reads back the same, text survives a trip
// through binary, a cut file never reads as the whole tree, blocks copy
// tokens unchanged, and numbers ignore the process locale.
#include <gtest/gtest.h>

#include <clocale>
#include <locale>

#include "support/stream_script.h"
#include "support/token_tree.h"

using namespace tokenfile;
using namespace testsupport;

namespace {

class EncodingProperties : public WithDictionary {};

std::vector<Node> trees(uint32_t seed, const TreeOptions& options, int count = 3) {
  std::mt19937 rng(seed);
  std::vector<Node> out;
  while (count-- > 0) out.push_back(random_tree(rng, options));
  return out;
}

Bytes write_trees(const std::vector<Node>& ts, uint32_t encoding, char16_t compression = u'@') {
  auto w = token_stream_open(nullptr, STREAM_WRITE | encoding, u'i', u'0', compression);
  for (const Node& t : ts) EXPECT_TRUE(w && write_tree(*w, t)) << "error " << token_error;
  Bytes file;
  EXPECT_TRUE(w && token_stream_close_to_bytes(std::move(w), file));
  return file;
}

// The trees read back in the shapes of `ts`, as dumps, and how reading ended.
std::string read_trees(const Bytes& file, const std::vector<Node>& ts, std::vector<Node>* out = nullptr) {
  auto r = token_stream_open_memory(file, STREAM_READ, u'i', u'0');
  if (!r) return "no stream";
  std::string dump = r->flags & STREAM_BINARY ? "binary " : "text ";
  for (const Node& t : ts) {
    Node got;
    if (!read_tree(*r, t, got)) return dump + "!" + code_name(token_error);
    dump += dump_tree(got) + " ";
    if (out) out->push_back(got);
  }
  uint32_t id = 0;
  return dump + (r->read_token_open(id, nullptr) ? "more" : "!" + code_name(token_error));
}

std::string dumps(const std::vector<Node>& ts, const char* encoding) {
  std::string dump = encoding;
  for (const Node& t : ts) dump += dump_tree(t) + " ";
  return dump + "!EOD";
}

TEST_F(EncodingProperties, EveryEncodingAndCompressionReadsBackTheSameTrees) {
  for (uint32_t seed = 1; seed <= 25; ++seed)
    for (char16_t compression : std::u16string_view(u"@BF")) {
      const auto binary = trees(seed, {}), text = trees(seed, {.text = true});
      EXPECT_EQ(read_trees(write_trees(binary, STREAM_BINARY, compression), binary), dumps(binary, "binary "));
      EXPECT_EQ(read_trees(write_trees(text, STREAM_TEXT, compression), text), dumps(text, "text "));
    }
}

TEST_F(EncodingProperties, TextThroughBinaryComesBackAsTheSameText) {
  for (uint32_t seed = 100; seed < 120; ++seed) {
    const auto ts = trees(seed, {.text = true, .max_depth = 6, .max_items = 8});
    const Bytes text = write_trees(ts, STREAM_TEXT);
    std::vector<Node> from_text, from_binary;
    read_trees(text, ts, &from_text);
    read_trees(write_trees(from_text, STREAM_BINARY), ts, &from_binary);
    EXPECT_EQ(show(text_body(write_trees(from_binary, STREAM_TEXT))), show(text_body(text))) << seed;
  }
}

TEST_F(EncodingProperties, EveryCutFileFailsToReadTheTrees) {
  for (uint32_t seed = 200; seed < 206; ++seed)
    for (uint32_t encoding : {STREAM_BINARY, STREAM_TEXT})
      // (Huffman code words may end in bits that carry no byte of the body.)
      for (char16_t compression : std::u16string_view(u"@F")) {
        const auto ts = trees(seed, {.text = true, .long_values = false, .max_depth = 2, .max_items = 4}, 2);
        const Bytes file = write_trees(ts, encoding, compression);
        const std::string whole = read_trees(file, ts);
        ASSERT_EQ(whole.substr(whole.size() - 4), "!EOD");
        for (size_t size = 0; size < file.size(); ++size)
          ASSERT_NE(read_trees(Bytes(file.begin(), file.begin() + size), ts), whole) << size << " of " << file.size();
      }
}

// Copies every top-level token through read_block into a new stream.
Bytes copy_by_blocks(const Bytes& file, uint32_t encoding) {
  auto r = token_stream_open_memory(file, STREAM_READ, 0, 0);
  auto w = token_stream_open(nullptr, STREAM_WRITE | encoding, u'i', u'0', u'@');
  uint32_t id = 0;
  while (r->read_token_open(id, nullptr)) {
    auto block = r->read_block();
    EXPECT_TRUE(block && w->write_block(block)) << "error " << token_error;
  }
  EXPECT_EQ(token_error, ERR_END_OF_DATA);
  Bytes out;
  EXPECT_TRUE(token_stream_close_to_bytes(std::move(w), out));
  return out;
}

// A wrapped line of values starts with the first value's space; a line of
// a block starts with the value.
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

TEST_F(EncodingProperties, BlocksCopyTokensUnchanged) {
  for (uint32_t seed = 300; seed < 330; ++seed) {
    const Bytes binary = write_trees(trees(seed, {}), STREAM_BINARY);
    EXPECT_EQ(copy_by_blocks(binary, STREAM_BINARY), binary);
    const auto ts = trees(seed, {.text = true, .block_safe = true});
    const Bytes text = write_trees(ts, STREAM_TEXT);
    EXPECT_EQ(show(text_body(copy_by_blocks(text, STREAM_TEXT))), show(without_wrap_spaces(text_body(text))));
    // As the child of a token, copied at the same nesting level.
    Node outer{7, u"", {ts[0]}};
    const std::u16string nested = text_body(write_trees({outer}, STREAM_TEXT));
    auto r = token_stream_open_memory(write_trees({outer}, STREAM_TEXT), STREAM_READ, 0, 0);
    auto w = token_stream_open(nullptr, STREAM_WRITE | STREAM_TEXT, u'i', u'0', u'@');
    uint32_t id = 0;
    ASSERT_TRUE(r->read_token_open(id, nullptr) && r->read_token_open(id, nullptr) && w->write_token_open(7, nullptr));
    auto block = r->read_block();
    ASSERT_TRUE(block && w->write_block(block) && r->read_token_close());
    Bytes copy;
    ASSERT_TRUE(token_stream_close_to_bytes(std::move(w), copy));
    EXPECT_EQ(show(text_body(copy)), show(without_wrap_spaces(nested.substr(0, nested.size() - 3))));
  }
}

// A decimal comma in the process locale changes nothing.
struct CommaDecimals : std::numpunct<char> {
  char do_decimal_point() const override { return ','; }
  char do_thousands_sep() const override { return '.'; }
  std::string do_grouping() const override { return "\3"; }
};

TEST_F(EncodingProperties, NumbersIgnoreTheLocale) {
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
