#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "support/bytes.h"
#include "support/token_tree.h"
#include "tokenfile/binary/binary_stream.h"
#include "tokenfile/token_stream.h"

using namespace tokenfile;
using testsupport::Bytes;

namespace {

std::unique_ptr<TokenStream> binary_writer(char16_t compression = u'@') {
  auto s = token_stream_open(nullptr, STREAM_WRITE | STREAM_BINARY, u'i', u'0', compression);
  EXPECT_TRUE(s);
  return s;
}

// The body after the 16-byte header line.
Bytes tokens_of(std::unique_ptr<TokenStream> s) {
  Bytes file;
  EXPECT_NE(token_stream_close_to_bytes(std::move(s), file), 0);
  EXPECT_GE(file.size(), 32u);
  return Bytes(file.begin() + 32, file.end());
}

// A binary file whose body is the header line followed by `tokens`.
Bytes binary_file(const Bytes& tokens) {
  Bytes f = testsupport::narrow_file_header();
  testsupport::put_str(f, testsupport::binary_header_line());
  f.insert(f.end(), tokens.begin(), tokens.end());
  return f;
}

std::unique_ptr<TokenStream> binary_reader(const Bytes& tokens) {
  auto s = token_stream_open_memory(binary_file(tokens), STREAM_READ, 0, 0);
  EXPECT_TRUE(s);
  return s;
}

BinaryTokenStream& bin(TokenStream& s) { return static_cast<BinaryTokenStream&>(s); }

// io_dev(1, io_map("AB")) as laid out at body offsets 16 to 43.
const Bytes kExample = {0x63, 0, 0, 0, 0x14, 0, 0, 0, 0, 1, 0, 0, 0, 0x64, 0, 0, 0,
                        0x07, 0, 0, 0, 0, 2,    0, 0x41, 0, 0x42, 0};

TEST(BinaryWriter, ExampleLayout) {
  auto s = binary_writer();
  ASSERT_TRUE(s->write_token_open(99, nullptr));
  ASSERT_TRUE(s->write_uint(1));
  ASSERT_TRUE(s->write_token_open(100, nullptr));
  ASSERT_TRUE(s->write_wstring(u"AB"));
  ASSERT_TRUE(s->write_token_close());
  ASSERT_TRUE(s->write_token_close());
  EXPECT_EQ(s->position, 44u);
  EXPECT_EQ(tokens_of(std::move(s)), kExample);
}

TEST(BinaryWriter, ValueEncodings) {
  struct Row {
    const char* what;
    bool (*write)(TokenStream&);
    Bytes content;
  } rows[] = {
      {"empty token", [](TokenStream&) { return true; }, {}},
      {"float 1.0", [](TokenStream& s) { return s.write_float(1.0f) != 0; }, {0, 0, 0x80, 0x3F}},
      {"int -1", [](TokenStream& s) { return s.write_int(-1) != 0; }, {0xFF, 0xFF, 0xFF, 0xFF}},
      {"hex", [](TokenStream& s) { return s.write_hex(0x01020304) != 0; }, {4, 3, 2, 1}},
      {"token ref", [](TokenStream& s) { return s.write_token_ref(1000) != 0; }, {0xE8, 3, 0, 0}},
      {"empty wide", [](TokenStream& s) { return s.write_wstring(u"") != 0; }, {0, 0}},
      {"empty narrow", [](TokenStream& s) { return s.write_string("") != 0; }, {0, 0}},
      {"narrow", [](TokenStream& s) { return s.write_string("ab") != 0; }, {2, 0, 'a', 'b'}},
      {"no bytes", [](TokenStream& s) { return s.write_bytes(nullptr, 0) != 0; }, {}},
      {"label ignored", [](TokenStream& s) { return s.write_label(u"xyz") != 0; }, {}},
  };
  for (const auto& r : rows) {
    auto s = binary_writer();
    ASSERT_TRUE(s->write_token_open(282, nullptr));
    ASSERT_TRUE(r.write(*s)) << r.what;
    ASSERT_TRUE(s->write_token_close());
    Bytes expected = {0x1A, 0x01, 0, 0};
    testsupport::put_u32(expected, 1 + static_cast<uint32_t>(r.content.size()));
    expected.push_back(0);
    expected.insert(expected.end(), r.content.begin(), r.content.end());
    EXPECT_EQ(tokens_of(std::move(s)), expected) << r.what;
  }
}

TEST(BinaryWriter, LabelsAndLimits) {
  auto s = binary_writer();
  ASSERT_TRUE(s->write_token_open(0, u"ab"));  // ids outside the dictionary are fine
  ASSERT_TRUE(s->write_token_close());
  EXPECT_EQ(tokens_of(std::move(s)), (Bytes{0, 0, 0, 0, 5, 0, 0, 0, 2, 'a', 0, 'b', 0}));

  s = binary_writer();
  std::u16string long_label(256, u'x');
  EXPECT_FALSE(s->write_token_open(1, long_label.c_str()));
  EXPECT_EQ(token_error, ERR_BAD_VALUE);
  long_label.pop_back();
  EXPECT_TRUE(s->write_token_open(1, long_label.c_str()));  // 255 fits the count byte
  ASSERT_TRUE(s->write_token_close());
  EXPECT_EQ(tokens_of(std::move(s)).size(), 9u + 510);

  s = binary_writer();
  ASSERT_TRUE(s->write_token_open(1, nullptr));
  std::u16string max(65535, u'q');
  EXPECT_TRUE(s->write_wstring(max.c_str()));
  const uint32_t before = s->position;
  max.push_back(u'q');
  token_error = 0;
  EXPECT_FALSE(s->write_wstring(max.c_str()));
  EXPECT_EQ(token_error, ERR_BAD_VALUE);
  EXPECT_EQ(s->position, before);  // nothing appended
  std::string narrow(65536, 'n');
  EXPECT_FALSE(s->write_string(narrow.c_str()));
  EXPECT_EQ(s->position, before);
  ASSERT_TRUE(s->write_token_close());
  const Bytes t = tokens_of(std::move(s));
  EXPECT_EQ(t[9], 0xFF);
  EXPECT_EQ(t[10], 0xFF);
}

TEST(BinaryWriter, UnbalancedCloseAndPlaceholder) {
  auto s = binary_writer();
  token_error = 0;
  EXPECT_FALSE(s->write_token_close());  // nothing open: nothing touched
  EXPECT_NE(token_error, 0);
  ASSERT_TRUE(s->write_token_open(7, nullptr));
  ASSERT_TRUE(s->write_uint(5));
  // Left open: the file keeps the placeholder length.
  EXPECT_EQ(tokens_of(std::move(s)), (Bytes{7, 0, 0, 0, 0xDE, 0xDE, 0xDE, 0xDE, 0, 5, 0, 0, 0}));
}

TEST(BinaryWriter, Blocks) {
  auto s = binary_writer();
  auto text_block = std::make_unique<TokenBlock>();
  text_block->kind = BLOCK_TEXT;
  EXPECT_FALSE(s->write_block(text_block));
  EXPECT_EQ(token_error, ERR_BLOCK_KIND);
  EXPECT_TRUE(text_block);  // still the caller's
  std::unique_ptr<TokenBlock> none;
  EXPECT_FALSE(s->write_block(none));
  EXPECT_EQ(token_error, ERR_BLOCK_KIND);

  auto block = std::make_unique<TokenBlock>();
  block->kind = BLOCK_BINARY;
  block->bytes = kExample;
  ASSERT_TRUE(s->write_block(block));
  EXPECT_FALSE(block);  // consumed
  EXPECT_EQ(tokens_of(std::move(s)), kExample);
}

TEST(BinaryReader, ExampleWalk) {
  auto s = binary_reader(kExample);
  auto& b = bin(*s);
  EXPECT_EQ(token_stream_line(*s), 16u);
  uint32_t id = 0, v = 0;
  const char16_t* label = u"unset";
  ASSERT_TRUE(s->read_token_open(id, &label));
  EXPECT_EQ(id, 99u);
  EXPECT_EQ(label, nullptr);
  EXPECT_EQ(b.block_end, 44u);
  EXPECT_EQ(s->position, 25u);
  ASSERT_TRUE(s->read_uint(v));
  EXPECT_EQ(v, 1u);
  ASSERT_TRUE(s->read_token_open(id, nullptr));
  EXPECT_EQ(id, 100u);
  EXPECT_EQ(b.block_end, 44u);
  EXPECT_EQ(s->position, 38u);
  char16_t buf[256];
  ASSERT_TRUE(s->read_wstring(buf, 256));
  EXPECT_EQ(std::u16string(buf), u"AB");
  EXPECT_EQ(s->position, 44u);
  ASSERT_TRUE(s->read_token_close());
  EXPECT_EQ(b.block_end, 44u);
  ASSERT_TRUE(s->read_token_close());
  EXPECT_EQ(b.block_end, 0u);
  EXPECT_FALSE(s->read_token_open(id, nullptr));
  EXPECT_EQ(token_error, ERR_END_OF_DATA);
}

TEST(BinaryReader, CloseSkipsUnreadContent) {
  auto s = binary_reader(kExample);
  uint32_t id;
  ASSERT_TRUE(s->read_token_open(id, nullptr));
  ASSERT_TRUE(s->read_token_close());
  EXPECT_EQ(s->position, 44u);
  EXPECT_EQ(s->container->body_pos, 44u);
}

TEST(BinaryReader, BlockCopiesTheToken) {
  auto s = binary_reader(kExample);
  uint32_t id;
  ASSERT_TRUE(s->read_token_open(id, nullptr));
  auto block = s->read_block();
  ASSERT_TRUE(block);
  EXPECT_EQ(block->kind, BLOCK_BINARY);
  EXPECT_EQ(block->bytes, kExample);
  EXPECT_EQ(bin(*s).block_end, 0u);

  // Copying a labelled token with a value already read keeps what is left.
  Bytes labelled = {5, 0, 0, 0, 13, 0, 0, 0, 2, 'h', 0, 'i', 0, 1, 0, 0, 0, 2, 0, 0, 0};
  s = binary_reader(labelled);
  const char16_t* label = nullptr;
  ASSERT_TRUE(s->read_token_open(id, &label));
  EXPECT_EQ(std::u16string(label), u"hi");
  uint32_t v;
  ASSERT_TRUE(s->read_uint(v));
  block = s->read_block();
  ASSERT_TRUE(block);
  EXPECT_EQ(block->bytes, (Bytes{5, 0, 0, 0, 9, 0, 0, 0, 2, 'h', 0, 'i', 0, 2, 0, 0, 0}));

  token_error = 0;
  EXPECT_FALSE(s->read_block());  // nothing open
  EXPECT_NE(token_error, 0);
}

TEST(BinaryReader, BoundsOfTheInnermostToken) {
  // A token with three bytes of content.
  Bytes t = {1, 0, 0, 0, 4, 0, 0, 0, 0, 7, 8, 9};
  auto s = binary_reader(t);
  uint32_t id, v;
  ASSERT_TRUE(s->read_token_open(id, nullptr));
  EXPECT_FALSE(s->read_uint(v));
  EXPECT_EQ(token_error, ERR_END_OF_TOKEN);
  EXPECT_EQ(s->position, 25u);  // nothing consumed
  uint8_t three[3];
  ASSERT_TRUE(s->read_bytes(three, 3));
  EXPECT_EQ(three[2], 9);
  EXPECT_FALSE(s->read_token_open(id, nullptr));
  EXPECT_EQ(token_error, ERR_END_OF_TOKEN);
  char16_t w[4];
  EXPECT_FALSE(s->read_wstring(w, 4));
  EXPECT_EQ(token_error, ERR_END_OF_TOKEN);
  ASSERT_TRUE(s->read_token_close());

  s = binary_reader(t);
  EXPECT_FALSE(s->read_uint(v));  // top level has no values
  EXPECT_EQ(token_error, ERR_END_OF_TOKEN);
  EXPECT_FALSE(s->read_token_close());  // nothing open: nothing touched
  EXPECT_EQ(s->position, 16u);

  // A token of length 1 has no children.
  s = binary_reader({1, 0, 0, 0, 1, 0, 0, 0, 0});
  ASSERT_TRUE(s->read_token_open(id, nullptr));
  EXPECT_FALSE(s->read_token_open(id, nullptr));
  EXPECT_EQ(token_error, ERR_END_OF_TOKEN);
  ASSERT_TRUE(s->read_token_close());
  EXPECT_EQ(s->position, 25u);

  // One to three bytes where an id should be: the data has ended.
  s = binary_reader({1, 2, 3});
  token_error = 0;
  EXPECT_FALSE(s->read_token_open(id, nullptr));
  EXPECT_EQ(token_error, ERR_END_OF_DATA);
}

TEST(BinaryReader, StringCapacities) {
  auto token_with_strings = [](std::initializer_list<uint32_t> lengths) {
    Bytes content;
    for (uint32_t n : lengths) {
      content.push_back(static_cast<uint8_t>(n));
      content.push_back(static_cast<uint8_t>(n >> 8));
      for (uint32_t i = 0; i < n; ++i) testsupport::put(content, {static_cast<uint8_t>('a' + i % 26), 0});
    }
    testsupport::put_u32(content, 0xC0FFEE);
    Bytes t = {9, 0, 0, 0};
    testsupport::put_u32(t, 1 + static_cast<uint32_t>(content.size()));
    t.push_back(0);
    t.insert(t.end(), content.begin(), content.end());
    return t;
  };
  char16_t buf[256];
  uint32_t id, v;
  auto s = binary_reader(token_with_strings({255, 256, 257, 0}));
  ASSERT_TRUE(s->read_token_open(id, nullptr));
  EXPECT_FALSE(s->read_wstring(buf, 0));  // no room even for the terminator
  EXPECT_EQ(s->position, 25u);
  ASSERT_TRUE(s->read_wstring(buf, 256));
  EXPECT_EQ(std::char_traits<char16_t>::length(buf), 255u);
  ASSERT_TRUE(s->read_wstring(buf, 256));  // 256 units: the last one is dropped
  EXPECT_EQ(std::char_traits<char16_t>::length(buf), 255u);
  EXPECT_EQ(buf[254], u'a' + 254 % 26);
  const uint32_t before = s->position;
  EXPECT_FALSE(s->read_wstring(buf, 256));  // too long: fails, but skips it
  EXPECT_EQ(s->position, before + 2 + 2 * 257);
  ASSERT_TRUE(s->read_wstring(buf, 256));
  EXPECT_EQ(buf[0], 0);
  ASSERT_TRUE(s->read_uint(v));
  EXPECT_EQ(v, 0xC0FFEEu);
}

TEST(BinaryReader, LongLabelsAreCut) {
  Bytes t = {3, 0, 0, 0};
  testsupport::put_u32(t, 81);
  t.push_back(40);
  for (int i = 0; i < 40; ++i) testsupport::put(t, {static_cast<uint8_t>('A' + i % 26), 0});
  auto s = binary_reader(t);
  uint32_t id;
  const char16_t* label = nullptr;
  ASSERT_TRUE(s->read_token_open(id, &label));
  ASSERT_NE(label, nullptr);
  EXPECT_EQ(std::char_traits<char16_t>::length(label), 32u);
  EXPECT_EQ(s->position, 16u + 8 + 81);
}

TEST(BinaryReader, DamagedLengths) {
  // A token left with its placeholder reaches far past the body: children
  // read normally, the end of the data ends them, and closing reports that
  // the token was cut short.
  Bytes t = {1, 0, 0, 0, 0xDE, 0xDE, 0xDE, 0xDE, 0, 2, 0, 0, 0, 1, 0, 0, 0, 0};
  auto s = binary_reader(t);
  uint32_t id;
  ASSERT_TRUE(s->read_token_open(id, nullptr));
  ASSERT_TRUE(s->read_token_open(id, nullptr));
  EXPECT_EQ(id, 2u);
  ASSERT_TRUE(s->read_token_close());
  EXPECT_FALSE(s->read_token_open(id, nullptr));
  EXPECT_EQ(token_error, ERR_END_OF_DATA);
  EXPECT_FALSE(s->read_token_close());
  EXPECT_EQ(token_error, ERR_READ);
  EXPECT_TRUE(s->open_tokens.empty());  // closed all the same

  // A length that would wrap the token's end past 2^32 is refused.
  s = binary_reader({1, 0, 0, 0, 0xF0, 0xFF, 0xFF, 0xFF, 0});
  EXPECT_FALSE(s->read_token_open(id, nullptr));
  EXPECT_EQ(token_error, ERR_READ);
  EXPECT_TRUE(s->open_tokens.empty());

  // A block whose rest is not in the body is refused before allocating.
  s = binary_reader({1, 0, 0, 0, 0xF0, 0xFF, 0xFF, 0x0F, 0});
  ASSERT_TRUE(s->read_token_open(id, nullptr));
  EXPECT_FALSE(s->read_block());
}

TEST(BinaryReader, WideHeaderLineShiftsTheBody) {
  // A binary body whose header line is stored in UTF-16: positions still
  // count 16 for the line.
  Bytes f = testsupport::narrow_file_header();
  testsupport::put_wide(f, u"VUXA0i0b______\r\n");
  f.insert(f.end(), kExample.begin(), kExample.end());
  auto s = token_stream_open_memory(f, STREAM_READ, 0, 0);
  ASSERT_TRUE(s);
  uint32_t id;
  ASSERT_TRUE(s->read_token_open(id, nullptr));
  EXPECT_EQ(id, 99u);
  EXPECT_EQ(s->position, 25u);
  EXPECT_EQ(s->container->body_pos, 41u);
  ASSERT_TRUE(s->read_token_close());
  EXPECT_EQ(s->position, 44u);
}

// Random trees written by the binary writer read back the same, plain and
// through both compressions.
TEST(BinaryRoundTrip, RandomTrees) {
  std::mt19937 rng(12345);
  testsupport::TreeOptions options;
  for (char16_t compression : {u'@', u'F', u'B'}) {
    for (int round = 0; round < 40; ++round) {
      std::vector<testsupport::Node> trees;
      for (int i = 0; i < 3; ++i) trees.push_back(testsupport::random_tree(rng, options));
      auto w = binary_writer(compression);
      for (const auto& t : trees) ASSERT_TRUE(testsupport::write_tree(*w, t));
      Bytes file;
      ASSERT_NE(token_stream_close_to_bytes(std::move(w), file), 0);
      auto r = token_stream_open_memory(file, STREAM_READ, u'i', u'0');
      ASSERT_TRUE(r);
      for (auto t : trees) {
        testsupport::Node got;
        ASSERT_TRUE(testsupport::read_tree(*r, t, got));
        // The reader keeps the first 32 units of a label.
        std::vector<testsupport::Node*> todo = {&t};
        while (!todo.empty()) {
          auto* n = todo.back();
          todo.pop_back();
          if (n->label.size() > 32) n->label.resize(32);
          for (auto& item : n->items)
            if (auto* c = std::get_if<testsupport::Node>(&item)) todo.push_back(c);
        }
        EXPECT_EQ(testsupport::dump_tree(got), testsupport::dump_tree(t));
      }
      uint32_t id;
      EXPECT_FALSE(r->read_token_open(id, nullptr));
      EXPECT_EQ(token_error, ERR_END_OF_DATA);
    }
  }
}

}  // namespace
