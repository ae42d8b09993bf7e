// Input map conversion in memory: every stored form of a source into a
// binary and a text target, compared through a dump of the run-time map.
#include "app/convert.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include "support/bytes.h"
#include "support/cases.h"
#include "support/source_forms.h"
#include "support/stream_script.h"
#include "tokenfile/dictionary.h"

using namespace tokenfile;
using namespace std::literals;
using testsupport::Bytes;

namespace {

struct Outcome {
  bool ok = false;
  std::string out, err;
  Bytes target;
};

Outcome convert(const Bytes& source, bool text) {
  Outcome r;
  auto in = token_stream_open_memory(source, STREAM_READ, 0, 0);
  auto out =
      token_stream_open(nullptr, STREAM_WRITE | (text ? STREAM_TEXT : STREAM_BINARY), u'i', u'0', u'@');
  testsupport::Capture console;
  r.ok = in && mapbake::convert_input_map(*in, *out, console, "map.txt") != 0;
  r.out = console.out, r.err = console.err;
  EXPECT_TRUE(token_stream_close_to_bytes(std::move(out), r.target));
  return r;
}

using testsupport::repeat;

class Convert : public testsupport::WithDictionary {};

// Every stored form of a source gives the same target, byte for byte.
TEST_F(Convert, EveryFormGivesTheSameRunTimeMap) {
  for (const testsupport::Case& c : testsupport::cases("convert.cases", "Maps")) {
    const auto forms = testsupport::source_forms(c.wide(0));
    const std::u16string map = c.wide(0);
    const bool utf8 = map.find(u'(') != map.npos && map.find(u'\0') == map.npos;  // UTF-8 forms too
    ASSERT_EQ(forms.size(), utf8 ? 12u : 10u) << c.where;
    for (bool text : {false, true}) {
      const Bytes first = convert(forms[0].bytes, text).target;
      for (const auto& form : forms) {
        const Outcome r = convert(form.bytes, text);
        EXPECT_TRUE(r.ok && r.target == first && r.target[0] == (text ? 0xFF : 'T')) << form.name << text;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.find("error:"), std::string::npos) << r.err;  // warnings are the mistake table's
        EXPECT_EQ(testsupport::dump(r.target), c.narrow(1)) << c.where << " " << form.name;
      }
    }
  }
  EXPECT_EQ(testsupport::source_forms(u"")[5].bytes.size(), 32u);  // the empty binary file
}

// Bytes of file header in front of the body of each stored form.
uint64_t header_bytes(const std::string& form) {
  return form.find("utf16") != std::string::npos || form.find("huffman") != std::string::npos ? 34
         : form.find("bare") != std::string::npos                                              ? 0
                                                                                                : 16;
}

// A failure prints the place where it was noticed and names its cause.
TEST_F(Convert, FailuresGiveThePlaceAndTheCause) {
  for (const testsupport::Case& c : testsupport::cases("convert.cases", "Failures")) {
    const auto forms = testsupport::source_forms(c.wide(0));
    const std::string line = c.narrow(1), offset = c.narrow(2);
    if (offset != "0") {
      ASSERT_GE(forms.size(), 10u) << c.where;
    }
    for (const auto& form : forms) {
      const bool binary = form.name[0] == 'b';
      if (binary && offset == "0") continue;
      const Outcome r = convert(form.bytes, false);
      EXPECT_FALSE(r.ok);
      EXPECT_EQ(r.out, "Error converting file (source file line " + (binary ? offset : line) + ")\n") << c.where;
      const std::string place = binary ? " error: at byte " + std::to_string(c.number(4) + header_bytes(form.name)) + ":"
                                       : c.narrow(3) + ": error:";
      EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1), "map.txt:" + place + " " + c.narrow(5) + "\n")
          << c.where << " " << form.name;
    }
  }
}

// At most 255 units of a string are seen: a longer one is cut with a
// warning where the reader delivers it (text: any length; binary: 256).
TEST_F(Convert, StringsAreCutTo255Units) {
  for (const testsupport::Case& c : testsupport::cases("convert.cases", "LongStrings"))
    for (const auto& form : testsupport::source_forms(u"io_dev ( KEYB 0\n io_map ( A " + c.wide(0) + u" ) )")) {
      const Outcome r = convert(form.bytes, false);
      std::string expected = c.narrow(form.name[0] == 'b' ? 2 : 1);
      if (const size_t at = expected.find("@+"); at != std::string::npos) {  // a byte after the file header
        const size_t end = expected.find(':', at);
        expected.replace(at, end - at, std::to_string(std::stoul(expected.substr(at + 2)) + header_bytes(form.name)));
      }
      EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1), expected) << c.where << " " << form.name;
      if (r.ok) {
        EXPECT_EQ(testsupport::dump(r.target), "dev(1 0 map(1001e " + std::string(255, 'a') + " 0))");
      }
    }
}

// After an error a binary source is read on, as a text one is.
TEST_F(Convert, EveryErrorOfABinarySource) {
  for (const testsupport::Case& c : testsupport::cases("convert.cases", "BinaryMistakes")) {
    const auto forms = testsupport::source_forms(c.wide(0));
    ASSERT_GE(forms.size(), 10u);
    const Outcome r = convert(forms[7].bytes, false);  // binary-bare
    EXPECT_EQ(r.err, c.narrow(1)) << c.where;
  }
}

// Nesting far deeper than a stack could recurse, converted on a thread with
// a 256 KiB stack, gives the map without the nested tokens.
TEST_F(Convert, DeepNestingInEachEncoding) {
  std::string log;
  const Bytes text = testsupport::text_source(u"io_dev ( KEYB 0 io_map ( A jump ) " + repeat(u"comment ( ", 100000) +
                                              repeat(u") ", 100000) + u")"),
              binary = testsupport::write_script(STREAM_BINARY, u"o99|wKEYB|u0|o100|wA|wjump|c" +
                                                                    repeat(u"|o1", 100000) + repeat(u"|c", 100001), log);
  for (const Bytes* deep : {&text, &binary}) {
    std::pair<const Bytes*, Outcome> work = {deep, {}};
    pthread_attr_t attr;
    pthread_t thread;
    ASSERT_EQ(pthread_attr_init(&attr) | pthread_attr_setstacksize(&attr, 256 * 1024), 0);
    auto body = [](void* p) -> void* {
      auto* w = static_cast<std::pair<const Bytes*, Outcome>*>(p);
      w->second = convert(*w->first, false);
      return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, body, &work) | pthread_join(thread, nullptr), 0);
    EXPECT_EQ(work.second.out + work.second.err + log, "");
    EXPECT_EQ(testsupport::dump(work.second.target), "dev(1 0 map(1001e jump 0))");
  }
}

}  // namespace
