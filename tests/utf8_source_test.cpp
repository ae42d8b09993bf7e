// Sources in UTF-8: which files are one, how each bad sequence is refused at
// its offset, what reads as before, and the shipped examples, which convert
// as their UTF-16 twins do.
#include <gtest/gtest.h>

#include "app/convert.h"
#include "support/cases.h"
#include "support/source_forms.h"
#include "support/stream_script.h"

using namespace tokenfile;
using testsupport::Bytes;

namespace {

class Utf8Source : public testsupport::WithDictionary {};

constexpr const char* kProblems[] = {
    "None",       "BadName",     "Missing",       "Directory",  "NotRegular",
    "Unreadable", "Empty",       "HeaderCut",     "NoBody",     "UnknownCompression",
    "ForgedSize", "DamagedBody", "TooLarge",      "TooShort",   "BigEndianUtf16",
    "Utf8Text",   "InvalidUtf8", "BadHeaderLine", "OutOfMemory"};
constexpr const char* kFaults[] = {"None", "Stray", "Overlong", "Surrogate", "PastMax", "BadByte", "Cut"};

// The file `bytes` opened by path and converted as the driver does: "map"
// and the run-time map, "error", the line of the stdout message and the
// first diagnostic, or "refused" and why.
std::string outcome(const Bytes& bytes) {
  testsupport::TempDir dir;
  const std::string name = dir.file("map");
  testsupport::write_file(name, bytes);
  OpenFailure why;
  auto in = token_stream_open_path(testsupport::widen(name).c_str(), STREAM_READ, 0, 0, u'@', &why);
  if (!in) {
    std::string r = std::string("refused ") + kProblems[static_cast<int>(why.problem)];
    if (why.problem == OpenProblem::InvalidUtf8)
      r += " " + std::to_string(why.offset) + " " + kFaults[static_cast<int>(why.utf8_fault)];
    return r;
  }
  auto out = token_stream_open(nullptr, STREAM_WRITE | STREAM_BINARY, u'i', u'0', u'@');
  testsupport::Capture console;
  const bool ok = mapbake::convert_input_map(*in, *out, console, "map") != 0;
  Bytes map;
  EXPECT_TRUE(token_stream_close_to_bytes(std::move(out), map));
  if (ok) return "map" + (map.size() > 32 ? " " + testsupport::dump(map) : "");
  const std::string line = console.out.substr(console.out.find("line ") + 5);
  return "error " + line.substr(0, line.find(')')) + " " + console.err.substr(0, console.err.find('\n'));
}

TEST_F(Utf8Source, EdgesOfTheForm) {
  for (const testsupport::Case& c : testsupport::cases("utf8_source.cases", "Files")) {
    const std::string file = c.narrow(0);
    EXPECT_EQ(outcome(Bytes(file.begin(), file.end())), c.narrow(1)) << c.where;
  }
}

// Each example in examples/src converts straight from its UTF-8 form to the
// bytes its UTF-16 twin gives, in either target encoding.
TEST_F(Utf8Source, TheExamplesConvertAsTheirTwins) {
  const std::string dir = MAPBAKE_EXAMPLES_DIR;
  for (const char* example : {"keyboard", "mouse", "joystick"}) {
    const Bytes utf8 = testsupport::read_file(dir + "/src/" + example + ".map");
    const Bytes utf16 = testsupport::read_file(dir + "/" + example + ".txt");
    const Bytes map = testsupport::bake(utf8);
    EXPECT_FALSE(map.empty()) << example;
    EXPECT_EQ(map, testsupport::bake(utf16)) << example;
  }
}

}  // namespace
