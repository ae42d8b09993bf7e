// The binary encoding: the bytes each write operation lays down, and what
// each read operation gives, consumes and refuses on whole and damaged input.
#include <gtest/gtest.h>

#include "support/cases.h"
#include "support/stream_script.h"

using namespace tokenfile;
using namespace testsupport;

namespace {

// io_dev(1, io_map("AB")) at body offsets 16 to 43.
const std::string kExample = "63000000 14000000 00 01000000 64000000 07000000 00 0200 4100 4200";

TEST(BinaryReader, ReadsWhatTheLayoutHolds) {
  for (const Case& c : cases("binary_stream.cases", "Reads"))
    EXPECT_EQ(read_script(token_file('b', from_hex(c.narrow(0))), c.narrow(1)), c.narrow(2)) << c.where;
  // A header line in UTF-16 shifts the body, not the positions.
  EXPECT_EQ(read_script(token_file('b', from_hex(kExample), true), "Ouosccn"), "99 1 100 [AB] c c @44");
}

TEST(BinaryWriter, LaysDownEachValue) {
  for (const Case& c : cases("binary_stream.cases", "Writes")) EXPECT_EQ(binary_written(c.wide(0)), c.narrow(1)) << c.where;
}

}  // namespace
