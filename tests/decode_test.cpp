// Run-time maps read back into source form: baking the decoded source gives
// the same bytes, values no source gives are errors, and the canonical
// names and modifier lists are the ones written out by hand below.
#include "app/decode.h"

#include <gtest/gtest.h>

#include <random>

#include "app/convert.h"
#include "app/input_map_tables.h"
#include "support/cases.h"
#include "support/source_forms.h"
#include "support/stream_script.h"

using namespace tokenfile;
using testsupport::Bytes;

namespace {

class Decode : public testsupport::WithDictionary {};

// The map `source` (a whole token file) baked into `encoding`, or decoded
// (`encoding` STREAM_UTF8: in UTF-8); the file's bytes, or "!" and the
// stdout line and the first stderr line.
std::string run(bool decode, const Bytes& source, uint32_t encoding, Bytes& out) {
  auto in = token_stream_open_memory(source, STREAM_READ, 0, 0);
  const uint32_t flags = STREAM_WRITE | (decode ? STREAM_TEXT | encoding : encoding);
  auto target = token_stream_open(nullptr, flags, u'i', u'0', u'@');
  testsupport::Capture console;
  mapbake::Reporter reporter(console, "map", mapbake::DiagnosticOptions{});
  const bool utf8 = decode && encoding == STREAM_UTF8;
  const bool ok = in && (decode ? mapbake::decode_input_map(*in, *target, console, reporter, utf8)
                                : mapbake::convert_input_map(*in, *target, console, reporter, true));
  EXPECT_TRUE(token_stream_close_to_bytes(std::move(target), out));
  return ok ? "" : "!" + console.out + console.err.substr(0, console.err.find('\n') + 1);
}

// A random valid source map over every device, control and modifier set.
std::u16string random_map(std::mt19937& rng) {
  std::u16string map;
  const std::u16string alphabet = u"ab \t\"\\(+xyz\u00e9\u4e2d";
  for (int d = rng() % 4; d >= 0; --d) {
    const uint32_t device = rng() % 3;
    const auto& table = mapbake::control_tables[device];
    size_t controls = 0;
    while (table[controls].name) ++controls;
    map += u"io_dev ( " + std::u16string(mapbake::device_names[device == 0 ? rng() % 2 : device + 1].name) + u" " +
           testsupport::widen(std::to_string(rng())) + (rng() % 3 ? u"" : u" sguid ( 03 01 02 )");
    for (int m = rng() % 5 + 1; m > 0; --m) {
      std::u16string action(1 + rng() % 12, u'a');
      for (auto& c : action) c = alphabet[rng() % alphabet.size()];
      std::u16string quoted = u"\"";
      for (char16_t c : action) quoted += c == u'"' || c == u'\\' ? std::u16string{u'\\', c} : c == u'\t' ? u"\\t" : std::u16string(1, c);
      map += u" io_map ( " + std::u16string(table[rng() % controls].name) + u" " + quoted + u"\"";
      for (int k = rng() % 4; k > 0; --k) map += u" " + std::u16string(mapbake::modifier_names[rng() % 9].name);
      map += u" )";
    }
    map += u" ) ";
  }
  return map;
}

TEST_F(Decode, BakingTheDecodedSourceGivesTheSameBytes) {
  std::vector<std::u16string> maps;
  for (const testsupport::Case& c : testsupport::cases("convert.cases", "Maps")) maps.push_back(c.wide(0));
  std::mt19937 rng(9);
  for (int i = 0; i < 200; ++i) maps.push_back(random_map(rng));
  std::vector<Bytes> sources;
  for (const std::u16string& map : maps) {
    const auto forms = testsupport::source_forms(map);
    for (const auto& form : forms)
      if (form.name == "text-8bit" || form.name == "binary-8bit") sources.push_back(form.bytes);
  }
  for (const char* example : {"keyboard", "mouse", "joystick"})
    sources.push_back(testsupport::read_file(std::string(MAPBAKE_EXAMPLES_DIR) + "/" + example + ".txt"));
  for (const Bytes& source : sources) {
    for (uint32_t encoding : {STREAM_BINARY, STREAM_TEXT}) {
      Bytes baked, decoded, again, decoded_again;
      ASSERT_EQ(run(false, source, encoding, baked), "");
      const std::string result = run(true, baked, 0, decoded);
      if (!result.empty()) {  // only a NUL in a string, which no source form holds
        EXPECT_NE(result.find("U+0000"), std::string::npos) << result;
        continue;
      }
      ASSERT_EQ(run(false, decoded, encoding, again), "") << testsupport::show(testsupport::text_body(decoded));
      EXPECT_EQ(again, baked) << testsupport::show(testsupport::text_body(decoded));
      ASSERT_EQ(run(true, again, 0, decoded_again), "");
      EXPECT_EQ(decoded_again, decoded);
      // The same through the source in UTF-8, in each of its forms.
      Bytes utf8;
      ASSERT_EQ(run(true, baked, STREAM_UTF8, utf8), "");
      for (const auto& form : testsupport::utf8_forms(utf8)) {
        // Without a header line only a map with a device is a source.
        if (form.name.starts_with("bare") && std::find(utf8.begin(), utf8.end(), '(') == utf8.end()) continue;
        Bytes again8;
        ASSERT_EQ(run(false, form.bytes, encoding, again8), "") << form.name;
        EXPECT_EQ(again8, baked) << form.name;
      }
    }
  }
}

// Run-time maps (write scripts of the binary encoding) that no source
// gives: each fails, naming why.
TEST_F(Decode, ValuesNoSourceGivesAreErrors) {
  for (const testsupport::Case& c : testsupport::cases("decode.cases", "Refused")) {
    std::string log;
    const Bytes runtime = testsupport::write_script(STREAM_BINARY, c.wide(0), log);
    Bytes out;
    EXPECT_EQ(run(true, runtime, 0, out), "!" + c.narrow(1)) << c.where;
  }
}

TEST_F(Decode, TheFirstNameOfEachCode) {
  for (const testsupport::Case& c : testsupport::cases("decode.cases", "Names")) {
    Bytes baked, decoded;
    ASSERT_EQ(run(false, testsupport::text_source(c.wide(0)), STREAM_BINARY, baked), "");
    ASSERT_EQ(run(true, baked, 0, decoded), "");
    EXPECT_EQ(testsupport::show(testsupport::text_body(decoded)), testsupport::show(c.wide(1))) << c.where;
  }
}

TEST(DecodeNames, ModifierListsOfMasks) {
  for (const testsupport::Case& c : testsupport::cases("decode.cases", "Masks")) {
    std::u16string names;
    const bool ok = mapbake::modifier_names_of(std::stoul(c.narrow(0), nullptr, 16), names);
    EXPECT_EQ(ok ? testsupport::show(names) : "!", c.narrow(1)) << c.where;
  }
}

}  // namespace
