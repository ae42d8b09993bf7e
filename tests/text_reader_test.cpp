// The text reader: how the body splits into words, numbers, strings and
// group marks, what each read operation makes of them, how tokens open and
// close, how lines are counted, and the blocks read_block copies out.
#include <gtest/gtest.h>

#include "support/stream_script.h"

using namespace tokenfile;
using namespace testsupport;
using namespace std::string_literals;

namespace {

class TextReader : public WithDictionary {};

struct Row {
  std::u16string body;
  std::string script, expected;
};

template <size_t N>
void check_rows(const Row (&rows)[N]) {
  for (const Row& r : rows) EXPECT_EQ(read_script(text_file(r.body), r.script), r.expected) << show(r.body);
}

TEST_F(TextReader, SplitsTheBodyIntoLexemes) {
  const std::u16string w1055(1055, u'w');
  const std::string s1055(1055, 'w');
  const Row rows[] = {
      {u"t ( abc def\n12ab -1 +x .5 a(b)c )", "O" + std::string(10, 's') + "n", "? [abc] [def] [12ab] [-1] [+x] [.5] [a] [b] [c] !EOT @3"},
      {u"t ( x\"y \"a\\\"b\" \"\" \"12\" )", "Olllll", "? [x\"y] [a\\\"b] [] [12] !EOT"},
      // White space: U+0000 to U+0020 and U+007F below U+0100, and from
      // U+0100 on the Unicode space characters; everything else joins words.
      {u"t ( a\0b\x7f" u"c\x1f" u"d !\x7e\x80\x85\xa0\xff )"s, "Osssss", "? [a] [b] [c] [d] [!~\\u0080\\u0085\\u00A0\\u00FF]"},
      {u"t ( 1\u30002\u20283\u205f4\u16805\u20006\u200a7\u20298 )", "Ouuuuuuuu", "? 1 2 3 4 5 6 7 8"},
      {u"t ( a\u200bb\ufeffc\u180ed\u1fffe\u200b\u2027\u202a\u167f\u1681 )", "Os",
       "? [a\\u200Bb\\uFEFFc\\u180Ed\\u1FFFe\\u200B\\u2027\\u202A\\u167F\\u1681]"},
      // Runs long enough for the eight-unit copies, ended at different places.
      {u"t ( abcdefghij(k abcdefghijk)l abcdefghijklm\u3000n abcdefghijklmno\u1680p abcdefghi\x7fj )",
       "Osssssssss", "? [abcdefghij] [k] [abcdefghijk] [l] [abcdefghijklm] [n] [abcdefghijklmno] [p] [abcdefghi]"},
      {u"t ( abcdefghijklmnopq\t\"abcdefghij\\\"klmno\\\\\" \"abcdefghijkl\r\nm\" )", "Ossn",
       "? [abcdefghijklmnopq] [abcdefghij\"klmno\\] @2"},
      // CR is skipped once: CR LF is a line feed, a lone CR joins, of two the second stays.
      {u"t ( a\r\nb\nc\rd\r\r\ne \"x\ry\" )", "Osnsnsnsns", "? [a] @2 [b] @3 [cd] @4 [e] @5 [xy]"},
      // After a closing quote: a plus sign continues, one blank goes, the rest stays.
      {u"t ( \"a b\"+\"c\" \"x\"y \"x\"\n\"x\")", "Olllllnll", "? [a b] [c] [x] [y] [x] @2 [x] !EOT"},
      {u"t ( \"z\"  + )", "Osu", "? [z] !BAD"},
      {u"t ( " + w1055 + u" \"" + w1055 + u"\" )", "Oll", "? [" + s1055 + "] [" + s1055 + "]"},
      {u"t ( " + w1055.substr(1) + u"\rw )", "Ol", "? [" + s1055 + "]"},
      {u"t ( " + w1055 + u"w )", "Ol", "? !SYN"},
      {u"t ( \"" + w1055 + u"w\" )", "Ol", "? !SYN"},
  };
  check_rows(rows);
}

TEST_F(TextReader, EndsOfTheData) {
  const Row rows[] = {
      {u"t ( ab", "Os", "? !SYN"},        {u"t ( \"ab", "Os", "? !SYN"},    {u"t ( \"ab\"", "Os", "? !SYN"},
      {u"t ( \"", "Os", "? !READ"},       {u"t ( ", "Os", "? !READ"},       {u"t ( x \r", "Oss", "? [x] !READ"},
      {u"", "On", "!EOD @2"},             {u" \r\n\t\n", "On", "!EOD @4"},  {u")", "O", "!SYN"},
      {u"( t ( ) )", "O", "!SYN"},        {u"5 ( )", "O", "!SYN"},          {u"\"", "O", "!SYN"},
      {u"tok", "O", "!SYN"},              {u"tok 5 ( )", "O", "!SYN"},      {u"tok ) ", "O", "!SYN"},
      {u"tok lab 5 ( )", "O", "!-"},      {u"tok lab", "O", "!SYN"},        {u"tok ", "O", "!READ"},
      {u"io_dev ( )\n) io_dev ( )", "Ocon", "99 c !SYN @3"},
      // Inside a token anything but a name, or the data ending, means no further child.
      {u"t ( )", "OO", "? !EOT"},         {u"t ( 5 )", "OO", "? !EOD"},     {u"t ( ( k ( ) ) )", "OO", "? !EOD"},
      {u"t ( ", "OO", "? !EOD"},          {u"t ( \"", "OO", "? !EOD"},      {u"t ( k", "OO", "? !SYN"},
      {u") 7 t ( )", "uuOc", "!SYN 7 ? c"},
  };
  check_rows(rows);
  // An odd byte at the end is no character.
  Bytes odd = text_file(u"t ( ab )");
  odd.push_back(0x41);
  EXPECT_EQ(read_script(odd, "OscO"), "? [ab] c !EOD");
  odd = text_file(u"t ( ab");
  odd.push_back(0x20);
  EXPECT_EQ(read_script(odd, "Os"), "? !SYN");
}

TEST_F(TextReader, ReadsNumbers) {
  const std::u16string zeros(50, u'0');
  const Row rows[] = {
      {u"t ( 0 12ab 007 4294967295 -1 -4294967295 +5 1.9 0x10 4294967296 -4294967296 99999999999999999999 "
       u"+ . +-1 abc \"12\" 7 )",
       "O" + std::string(19, 'u'), "? 0 12 7 4294967295 4294967295 1 5 1 0 !BAD !BAD !BAD !BAD !BAD !BAD !- !- 7 !EOT"},
      {u"t ( -5 2147483647 -2147483648 -0012x +7 2147483648 -2147483649 - -x x )", "O" + std::string(10, 'i'),
       "? -5 2147483647 -2147483648 -12 7 !BAD !BAD !BAD !BAD !-"},
      {u"t ( 1.5 -2e3 +.25 5. 1e 1e+x 3.4028235e38 1e39 1e+39 -1e400 1e-50 -1e-50 -1e-99999999999 1,5 2.5\xe9 )",
       "O" + std::string(15, 'f'), "? 1.5 -2000 0.25 5 1 1 3.4028235e+38 inf inf -inf 0 -0 -0 1 2.5"},
      {u"t ( 0x1p3 0X1P1 -0x.8 0x1 0x 0x. 0xg +inf -Infinity -nan . + -.e1 --1 +-1 inf )", "O" + std::string(16, 'f'),
       "? 8 2 -0.5 1 0 0 0 inf -inf -nan !BAD !BAD !BAD !BAD !BAD !-"},
      // Out of range: whether the number overflows or underflows is a matter
      // of its leading digit's place and its exponent together.
      {u"t ( 1" + zeros + u"e-10 0." + zeros + zeros + u"1e5 0x1" + zeros + u"p-60 0x0." + zeros +
           u"0000000001p70 -1" + zeros + u"e-11 )",
       "Offfff", "? inf 0 inf 0 -inf"},
      // read_hex takes exactly eight hexadecimal digits, from a word or a number.
      {u"t ( 0000ABCD 0000abcd 0000001c \"ffffffff\" 01234567 89abcdef 89ABCDEF +0000001 abcd 123456789 \"\" "
       u"0000000/ 0000000: 0000000@ 0000000G 0000000` 0000000g )",
       "O" + std::string(17, 'x'), "? 43981 43981 28 4294967295 19088743 2309737967 2309737967 "
       "!SYN !SYN !SYN !SYN !SYN !SYN !SYN !SYN !SYN !SYN"},
  };
  check_rows(rows);
}

TEST_F(TextReader, ReadsStringsBytesAndNames) {
  const Row rows[] = {
      {u"t ( \"a\\\"b\" \"a\\\\\" \"a\\qb\" \"a\\nb\\tc\" a\\nb ab\\ \"ab\\\\\\\\\" \"a b\tc\" )", "Ossssssss",
       "? [a\"b] [a\\] [ab] [a\\nb\\tc] [a\\nb] [ab] [ab\\\\] [a b\\tc]"},
      {u"t ( \"ab\"+\n\"cd\" \"ab\"+12 \"a\\\"+b\" \"a\\\\\"+\"b\" \"x\"+\n\n\t\"y\"+\"z\" \"ab\"+( \"c\" ) end )",
       "O" + std::string(8, 's') + "n", "? [abcd] [ab12] [a\"+b] [a\\b] [xyz] [abc] [end] !EOT @5"},
      // A string cut at the capacity is still consumed whole.
      {u"t ( \"ab\"+\r\n\"cd\"+\r\n\"ef\" A \"ab\"+\"cd\" B \"abc\\\\d\" \"ab\"+ \"cd\" C )",
       "O s1 s s3 s s4 s4 s", "? [] [A] [ab] [B] [abc] [abc] [C]"},
      {u"t ( \"ab\"+)", "Os2c", "? !EOT c"},
      {u"t ( a )", "Os0", "? !BAD"},
      {u"t ( 0102 03 01 02 03 0102 03 012 \"\" aBfF ( 01 ) 02 )", "Ob3 b3 b2 b1 b1 b2 b2 b0 b1",
       "? #010203 #010203 #0102 #03 #01 #abff #0102 # !EOT"},
      {u"t ( 0102 )", "Ob1", "? !SYN"},        {u"t ( 0g )", "Ob1", "? !SYN"},        {u"t ( g0 )", "Ob1", "? !SYN"},
      {u"t ( -1 )", "Ob1", "? !SYN"},          {u"t ( 1 ( 2 3 ) 4 ((5)) )", "Ouuuuuuc", "? 1 2 3 4 5 !EOT c"},
      {u"t ( 5 \"io_dev\" sguid 7 nosuchname )", "OlrrrrS", "? !- 99 101 !- ? !-"},
      {u"t ( ) io_map lab ( a ) x " + std::u16string(40, u'q') + u" ( ) y \"l b\" ( ) IO_DEV zz ( )",
       "ocolcococo", "? c 100:lab [a] c ?:" + std::string(32, 'q') + " c ?:l b c 99:zz"},
  };
  check_rows(rows);
}

TEST_F(TextReader, OpensClosesAndCountsLines) {
  const std::u16string deep(100000, u'(');
  const std::u16string undeep(100000, u')');
  const Row rows[] = {
      {u"io_dev ( KEYB 0 )\r\ncomment ( x )\r\n", "OsuuscOcOn", "99 [KEYB] 0 !EOT !EOT c 1 c !EOD @4"},
      {u"io_dev ( io_map ( A jump SHIFT_DOWN) B )\n", "OOsssscsOcO", "99 100 [A] [jump] [SHIFT_DOWN] !EOT c [B] !EOT c !EOD"},
      {u"t (\n1\n\"a\nb\"\n2 )\n", "OunsnuncOn", "? 1 @3 [a\\nb] @4 2 @5 c !EOD @6"},
      {u"t (\r\n1\r\n\"a\r\nb\"\r\n2 )\r\n", "OunsnuncOn", "? 1 @3 [a\\nb] @4 2 @5 c !EOD @6"},
      {u"outer ( 1 kid ( a ( b\n( c ) ) \"x)\ny\" ) (\n(\n) ) more ( ) )\nnext ( )\n", "OucnOccO", "? 1 c @5 ? c !SYN !EOD"},
      {u"t ( " + deep + u" 5 " + undeep + u" )", "OcO", "? c !EOD"},
      {u"t ( " + deep + u" 5 " + undeep + u" )", "Ouuc", "? 5 !EOT c"},
  };
  check_rows(rows);
}

TEST_F(TextReader, CopiesBlocks) {
  const std::u16string x1000(1000, u'x'), y304(304, u'y');
  const Row rows[] = {
      {u"name ( a b\n)\n", "Okc", "? {0|name ( a b/0|)} !SYN"},
      {u"name ( a\nc )\n", "Ok", "? {0|name ( a/1|c )}"},
      {u"tok lab ( 1\n\tkid ( 2 )\n\t\"a b\"+\n\"c\" \"xy\" \"\" (3\n)\n)\n", "Okn",
       "? {0|tok lab ( 1/1|kid ( 2 )/1|\"a b\"+/1|c xy  ( 3/1|)/0|)} @7"},
      {u"tok ( \"p\nq\" )\n", "Ok", "? {0|tok ( \"p\\nq\" )}"},
      {u"tok ( a ) x ( y )\n", "OkO", "? {0|tok ( a ) x ( y )} !EOD"},
      {u"tok ( a )", "Ok", "? {0|tok ( a )}"},
      {u"tok (\n\n\n)", "Okn", "? {0|tok (/0|)} @5"},
      {u"outer ( tok ( 1 2 3 )\nkid ( 4 )\n)\n", "OOuknOu", "? ? 1 {0|tok ( 2 3 )} @3 ? 4"},
      {u"outer ( tok ( a\n) 9 ( b )\n)\nnext ( )", "OOkucOn", "? ? {0|tok ( a/0|)} 9 c ? @5"},
      // A line holds 1311 characters; the cut counts no line.
      {u"tok ( " + x1000 + u" " + y304 + u" )", "Okn", "? {0|tok ( " + std::string(1000, 'x') + " " +
       std::string(304, 'y') + "/0|)} @2"},
      {u"tok ( " + x1000 + u" " + y304 + u"y )", "Ok", "? {0|tok ( " + std::string(1000, 'x') + "/1|" +
       std::string(305, 'y') + " )}"},
      // A failed copy closes the token all the same.
      {u"tok ( a \n", "Okc", "? !READ !SYN"},
      {u"tok ( a", "Okc", "? !SYN !SYN"},
      {u"tok ( a ) )\n", "Okc", "? !READ !SYN"},
  };
  check_rows(rows);
}

}  // namespace
