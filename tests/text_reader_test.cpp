// The text reader: how the body splits into words, numbers, strings and
// group marks, what each read operation makes of them, how tokens open and
// close, how lines are counted, and the blocks read_block copies out.
#include <gtest/gtest.h>

#include "support/cases.h"
#include "support/stream_script.h"

using namespace tokenfile;
using namespace testsupport;

namespace {

class TextReader : public WithDictionary {};

void check_rows(std::string_view group) {
  for (const Case& c : cases("text_reader.cases", group))
    EXPECT_EQ(read_script(text_file(c.wide(0)), c.narrow(1)), c.narrow(2)) << c.where;
}

// Each group of rows: a body, a read script and what it gave.
TEST_F(TextReader, SplitsTheBodyIntoLexemes) { check_rows("SplitsTheBodyIntoLexemes"); }
TEST_F(TextReader, ReadsNumbers) { check_rows("ReadsNumbers"); }
TEST_F(TextReader, ReadsStringsBytesAndNames) { check_rows("ReadsStringsBytesAndNames"); }
TEST_F(TextReader, OpensClosesAndCountsLines) { check_rows("OpensClosesAndCountsLines"); }
TEST_F(TextReader, CopiesBlocks) { check_rows("CopiesBlocks"); }

TEST_F(TextReader, EndsOfTheData) {
  check_rows("EndsOfTheData");
  // An odd byte at the end is no character.
  Bytes odd = text_file(u"t ( ab )");
  odd.push_back(0x41);
  EXPECT_EQ(read_script(odd, "OscO"), "? [ab] c !EOD");
  odd = text_file(u"t ( ab");
  odd.push_back(0x20);
  EXPECT_EQ(read_script(odd, "Os"), "? !SYN");
}

}  // namespace
