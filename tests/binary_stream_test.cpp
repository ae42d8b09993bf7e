// The binary encoding: the bytes each write operation lays down, and what
// each read operation gives, consumes and refuses on whole and damaged input.
#include <gtest/gtest.h>

#include "support/stream_script.h"

using namespace tokenfile;
using namespace testsupport;

namespace {

// io_dev(1, io_map("AB")) at body offsets 16 to 43.
const std::string kExample = "63000000 14000000 00 01000000 64000000 07000000 00 0200 4100 4200";
const std::string kPlaceholder = "01000000 dededede 00 ";
const std::string a255 = std::string(255, 'a');

// A token 9 holding wide strings of 255, 256, 257 and 0 units, then a uint.
std::string strings_token() {
  std::string content;
  for (int n : {255, 256, 257, 0}) content += hex({uint8_t(n), uint8_t(n >> 8)}) + repeat("6100", n);
  content += "eeffc000";
  const uint32_t length = 1 + static_cast<uint32_t>(content.size() / 2);
  return "09000000" + hex({uint8_t(length), uint8_t(length >> 8), 0, 0}) + "00" + content;
}

TEST(BinaryReader, ReadsWhatTheLayoutHolds) {
  struct Row {
    std::string tokens, script, expected;
  } rows[] = {
      {kExample, "onlu onsn cncn O", "99 @25 [#] 1 100 @38 [AB] @44 c @44 c @44 !EOD"},
      {kExample, "Ocn", "99 c @44"},
      {kExample, "Okn cO", "99 {63000000140000000001000000640000000700000000020041004200} @44 !SYN !EOD"},
      {kExample, "OuOknc", "99 1 100 {640000000700000000020041004200} @44 c"},
      {"05000000 0d000000 02 6800 6900 01000000 02000000", "ouk k", "5:hi 1 {0500000009000000026800690002000000} !SYN"},
      {"03000000 51000000 28" + repeat("4100", 40), "on", "3:" + std::string(32, 'A') + " @105"},
      {"01000000 11000000 00 ffffffff 0000803f 1c000000 e8030000", "Oifxr", "1 -1 1 28 1000"},
      // The bounds of the innermost token; nothing is consumed by a refused read.
      {"01000000 04000000 00 070809", "Oub3n Osc", "1 !EOT #070809 @28 !EOT !EOT c"},
      {"01000000 04000000 00 070809", "usb0nck", "!EOT !EOT !EOT @16 !SYN !SYN"},
      {"01000000 01000000 00", "OOcn", "1 !EOT c @25"},
      {"010203", "O", "!EOD"},
      {"", "On", "!EOD @16"},
      // Strings: n < capacity, n == capacity (the last unit dropped), n > capacity.
      {strings_token(), "O s0 s256 s256 s256 n s256 u", "9 !BAD [" + a255 + "] [" + a255 + "] !- @1567 [] 12648430"},
      {"01000000 14000000 00 0300616263 0300616263 0300616263 01000000", "OS3 S4 S2 u", "1 [ab] [abc] !- 1"},
      // Only the start of a string is bound by its token; a close goes back.
      {"01000000 03000000 00 0200 4100 4200", "Osk cn", "1 [AB] !READ c @27"},
      // Damaged files: lengths past the body or past 2^32, heads and strings cut short.
      {kPlaceholder + "02000000 01000000 00", "OOcOcnO", "1 2 c !EOD !READ @3739148022 !EOD"},
      {"01000000 f0ffffff 00", "Oc", "!READ !SYN"},
      {"01000000 f0ffff0f 00", "Okc", "1 !- !READ"},
      {"01000000 05", "On", "!- @20"},
      {"01000000 05000000", "Onc", "!- @24 !READ"},
      {"01000000 05000000 02 41", "On", "!- @25"},
      {kPlaceholder + "0500 41004200", "Osn", "1 !- @27"},
      {kPlaceholder + "0500 41004200", "Os2n", "1 !READ @31"},
      {kPlaceholder + "0500 41004200", "Os3n", "1 !- @27"},
      {kPlaceholder + "0500 41004200", "Os5n", "1 !- @27"},
      {kPlaceholder + "0500 616263", "OS3n", "1 !READ @30"},
  };
  for (const Row& r : rows)
    EXPECT_EQ(read_script(token_file('b', from_hex(r.tokens)), r.script), r.expected) << r.tokens;
  // A header line in UTF-16 shifts the body, not the positions.
  EXPECT_EQ(read_script(token_file('b', from_hex(kExample), true), "Ouosccn"), "99 1 100 [AB] c c @44");
}

TEST(BinaryWriter, LaysDownEachValue) {
  const std::u16string x255(255, u'x'), q65535(65535, u'q');
  struct Row {
    std::u16string script;
    std::string expected;
  } rows[] = {
      {u"o99|u1|o100|wAB|c|c", "630000001400000000 01000000 640000000700000000 020041004200"},
      {u"o282|c", "1a0100000100000000"},
      {u"o282|f1|i-1|x1020304|r1000|w|n|nab|b|lxyz|c",
       "1a0100001900000000 0000803f ffffffff 04030201 e8030000 0000 0000 02006162"},
      {u"o0,ab|c|o5,|c", "00000000050000000261006200 050000000100000000"},
      {u"c|o7|u5", "07000000dededede00 05000000!SYN@0"},  // left open: the placeholder stays
      {u"o1," + x255 + u"x|o1," + x255 + u"|c", "01000000ff010000ff" + repeat("7800", 255) + "!BAD@0"},
      {u"o1|w" + q65535 + u"q|n" + std::u16string(65536, u'n') + u"|w" + q65535 + u"|c",
       "010000000100020000 ffff" + repeat("7100", 65535) + "!BAD@1!BAD@2"},
  };
  for (const Row& r : rows) EXPECT_EQ(binary_written(r.script), r.expected) << show(r.script.substr(0, 20));
}

TEST(BinaryWriter, TakesOnlyBinaryBlocks) {
  auto s = token_stream_open(nullptr, STREAM_WRITE | STREAM_BINARY, u'i', u'0', u'@');
  auto block = std::make_unique<TokenBlock>();
  block->kind = BLOCK_TEXT;
  std::unique_ptr<TokenBlock> none;
  EXPECT_FALSE(s->write_block(none));
  EXPECT_EQ(token_error, ERR_BLOCK_KIND);
  token_error = kUnset;
  EXPECT_FALSE(s->write_block(block));
  EXPECT_EQ(token_error, ERR_BLOCK_KIND);
  ASSERT_TRUE(block);  // still the caller's
  block->kind = BLOCK_BINARY;
  block->bytes = from_hex(kExample);
  ASSERT_TRUE(s->write_block(block));
  EXPECT_FALSE(block);
  EXPECT_EQ(token_stream_line(*s), 44u);
  Bytes file;
  ASSERT_TRUE(token_stream_close_to_bytes(std::move(s), file));
  EXPECT_EQ(file, token_file('b', from_hex(kExample)));
}

}  // namespace
