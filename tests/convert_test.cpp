// Input map conversion in memory: every stored form of a source into a
// binary and a text target, compared through a dump of the run-time map.
#include "app/convert.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <clocale>

#include "support/bytes.h"
#include "support/source_forms.h"
#include "tokenfile/dictionary.h"

using namespace tokenfile;
using namespace std::literals;
using testsupport::Bytes;

namespace {

struct Outcome {
  bool ok = false;
  std::string out, err;
  Bytes target;  // the memory target, unless `target` took the writes
};

Outcome convert(const Bytes& source, bool text, TokenStream* target = nullptr) {
  Outcome r;
  auto in = token_stream_open_memory(source, STREAM_READ, 0, 0);
  auto out =
      token_stream_open(nullptr, STREAM_WRITE | (text ? STREAM_TEXT : STREAM_BINARY), u'i', u'0', u'@');
  testsupport::Capture console;
  r.ok = in && mapbake::convert_input_map(*in, target ? *target : *out, console, "map.txt") != 0;
  r.out = console.out, r.err = console.err;
  EXPECT_TRUE(token_stream_close_to_bytes(std::move(out), r.target));
  return r;
}

using testsupport::repeat;

class Convert : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_NE(acquire_token_dictionary(), 0); }
  static void TearDownTestSuite() { release_token_dictionary(); }
};

// Every stored form of a source gives the same target, byte for byte.
TEST_F(Convert, EveryFormGivesTheSameRunTimeMap) {
  const std::pair<std::u16string, std::string> rows[] = {
      {u"", ""},
      {u"comment ( \"no devices\" )\ngamepad_extra ( 7 io_dev ( KEYB 0 io_map ( A x ) ) )", ""},
      {u"io_dev ( KEYB 0 io_map ( A jump SHIFT_DOWN CTRL_UP ) )", "dev(1 0 map(1001e jump c08))"},
      {u"io_dev ( keyb 0 io_map ( a x ) io_map ( left_shift y shift_down Ctrl_Up ) ) io_dev ( Mouse 9 io_map "
       u"( "
       u"lBtn l ) )",
       "dev(1 0 map(1001e x 0) map(1002a y c08)) dev(2 9 map(10000 l 0))"},
      {u"io_dev ( KEYB 0 io_map ( F1 n ) io_map ( F2 a ALL_UP SHIFT_DOWN ) io_map ( F3 b SHIFT_UP SHIFT_DOWN "
       u") "
       u"io_map ( F4 c ALT_DOWN ALT_DOWN WIN_DOWN ) io_map ( F5 d SHIFT_UP CTRL_UP ALT_UP WIN_UP CTRL_DOWN ) "
       u")",
       "dev(1 0 map(1003b n 0) map(1003c a ff08) map(1003d b 808) map(1003e c 303) map(1003f d f04))"},
      {u"io_dev ( JOY 7 io_map ( POV2 h ) io_map ( SLIDER1 s ) io_map ( BTN31 b ) io_map ( RX r ) )",
       "dev(0 7 map(20002 h 0) map(7 s 0) map(1001f b 0) map(3 r 0))"},
      {u"io_dev ( MOUSE 1 io_map ( LBTN l ) io_map ( BTN0 b ) io_map ( MBTN m ) io_map ( Z z ) )",
       "dev(2 1 map(10000 l 0) map(10000 b 0) map(10002 m 0) map(2 z 0))"},
      {u"io_dev ( JOYSTICK 4294967295 sguid ( 11 3f a2 91 c4 07 5e 4b d2 8b 14 00 a0 c9 1e 52 77 ) io_map ( "
       u"X r "
       u") ) io_dev ( PEN 0 sguid ( 02 08 ) ) io_dev ( KEYB 12 io_map ( HASH h ) io_map ( BACKSLASH b ) )",
       "dev(0 4294967295 sguid(113fa291c4075e4bd28b1400a0c91e5277) map(0 r 0)) dev(3 0 sguid(0208)) dev(1 12 "
       "map(1002b h 0) map(10056 b 0))"},
      {u"io_dev ( JOY 0 sguid ( 40" + repeat(u" aa", 63) + u" ) ) io_dev ( JOY 1 sguid ( 03 aa bb cc dd ) )",
       "dev(0 0 sguid(40" + std::string(126, 'a') + ")) dev(0 1 sguid(03aabb))"},
      {u"io_dev ( KEYB 0 io_map ( A a ) sguid ( 02 01 ) comment ( c ) io_map ( B b ) )",
       "dev(1 0 map(1001e a 0) map(10030 b 0))"},
      {u"io_dev ( KEYB 0 gamepad_extra ( 7 io_map ( Q hidden ) ) io_map ( W w ) )",
       "dev(1 0 map(10011 w 0))"},
      {u"io_dev ( JOY 0 comment ( first ) sguid ( 02 01 ) )", "dev(0 0)"},
      {u"io_dev ( KEYB 0 io_map ( SPACE \"say \\\"hi\\\" \\\\ (now)\" ) )",
       "dev(1 0 map(10039 say \"hi\" \\ (now) 0))"},
      {u"io_dev main ( KEYB 0 io_map first ( A a ) )", "dev(1 0 map(1001e a 0))"},
      {u"comment ( \"a (note)\" )\nio_dev ( KEYB 0\n\tsguid ( 03 0a 0b )\n\tio_map ( A \"ju\"+\n\"mp\" ( "
       u"SHIFT_DOWN "
       u"CTRL_UP ) ALT_UP )\n)\n",
       "dev(1 0 sguid(030a0b) map(1001e jump e08))"},
      {u"io_dev ( KEYB 0 io_map ( \"A\0junk\" \"jump\0x\" \"ALT_UP\0?\" ) )"s,
       "dev(1 0 map(1001e jump 200))"},
  };
  for (const auto& [source, expected] : rows) {
    const auto forms = testsupport::source_forms(source);
    ASSERT_EQ(forms.size(), 10u) << expected;
    for (bool text : {false, true}) {
      const Bytes first = convert(forms[0].bytes, text).target;
      for (const auto& form : forms) {
        const Outcome r = convert(form.bytes, text);
        EXPECT_TRUE(r.ok && r.target == first && r.target[0] == (text ? 0xFF : 'T')) << form.name << text;
        EXPECT_EQ(r.out + r.err, "");
        EXPECT_EQ(testsupport::dump(r.target), expected) << form.name;
      }
    }
  }
  EXPECT_EQ(testsupport::source_forms(u"")[5].bytes.size(), 32u);  // the empty binary file
}

const std::string modifiers =
    "; expected SHIFT_UP, CTRL_UP, ALT_UP, WIN_UP, SHIFT_DOWN, CTRL_DOWN, ALT_DOWN, WIN_DOWN or ALL_UP";

// A failure prints the text line or the binary offset where it was noticed,
// and names its cause. Offset 0: the text has no binary form.
TEST_F(Convert, FailuresGiveThePlaceAndTheCause) {
  const struct {
    std::u16string source;
    uint32_t line, offset;
    std::string cause;
  } rows[] = {
      {u"io_dev ( GAMEPAD 0\n io_map ( A a ) )", 2, 41,
       "unknown device name \"GAMEPAD\"; expected JOY, JOYSTICK, KEYB, MOUSE or PEN"},
      {u"io_dev ( JOY 0\n io_map ( BTN32 b ) )", 3, 58, "unknown control name \"BTN32\" for device JOY"},
      {u"io_dev ( mouse 0\n io_map ( X x )\n io_map ( rx r ) )", 4, 73,
       "unknown control name \"rx\" for device mouse"},
      {u"io_dev ( KEYB 0\n io_map ( A jump SHIFT ) )", 3, 74, "unknown modifier name \"SHIFT\"" + modifiers},
      {u"io_dev ( PEN 0\n sguid ( 02 01 )\n io_map ( X d ) )", 4, 61,
       "device PEN has no controls, so it cannot have an io_map"},
      {u"io_dev ( KEYB 0 )", 2, 39,
       "io_dev has no child token; expected a sguid or an io_map after its two values"},
      {u"io_dev ( KEYB )", 2, 35,
       "a value is missing in io_dev: expected an unsigned number after the device name"},
      {u"io_dev ( )", 2, 0, "a value is missing in io_dev: expected a device name"},
      {u"io_dev ( KEYB 0\n io_map ( A a )\n io_map ( B ) )", 4, 69,
       "a value is missing in io_map: expected a binding string after the control name"},
      {u"io_dev ( KEYB 0 io_map ( ) )", 2, 48, "a value is missing in io_map: expected a control name"},
      {u"io_dev ( JOY 0\n sguid ( 41" + repeat(u" 42", 65) + u" ) )", 3, 47,
       "sguid length 65 is outside 2 to 64"},
      {u"io_dev ( JOY 0\n sguid ( 01 00 ) )", 3, 47, "sguid length 1 is outside 2 to 64"},
      {u"io_dev ( JOY 0\n sguid ( 00 ) )", 3, 47, "sguid length 0 is outside 2 to 64"},
      {u"io_dev ( JOY 0\n sguid ( ) )", 3, 46, "a value is missing in sguid: expected its length byte"},
      {u"io_dev ( JOY 0\n sguid ( 09 01 02 ) )", 3, 47,
       "a value is missing in sguid: expected as many bytes as its length byte says"},
      {u"io_dev ( MOUSE 0\n io_map ( X x ) )\ncomment ( c )\nio_dev ( KEYB 0\n io_map ( NOKEY n ) )", 6, 115,
       "unknown control name \"NOKEY\" for device KEYB"},
      {u"io_dev ( KEYB 0\n\tio_map ( A jump )\n\t5\n)", 4, 0,
       "a value stands where a child token of io_dev or its closing parenthesis should"},
      {u"io_dev ( KEYB 0\n\tio_map ( A jump ) stray\n)", 4, 0, "syntax error at \")\""},
      {u"io_dev ( KEYB 0 io_map 5 ( A jump ) )", 2, 0, "syntax error at \"5\""},
      {u"io_dev ( KEYB zero io_map ( A j ) )", 2, 0,
       "expected an unsigned number after the device name in io_dev, found \"zero\""},
      {u"io_dev ( KEYB + io_map ( A jump ) )", 2, 0, "\"+\" in io_dev is not an unsigned 32-bit number"},
      {u"io_dev ( KEYB 0 io_map ( A jump ) )\n)", 3, 0, "syntax error at \")\""},
      {u"io_dev ( KEYB 0\n\tio_map ( A jump SHIFT_DOWN", 3, 0, "the data ends inside a token"},
      {u"io_dev ( KEYB 0\n\tio_map ( A jump SHIFT_DOWN )\n", 4, 0, "the data ends inside a token"},
      {u"io_dev ( KEYB 0 sguid ( 02 0g ) )", 2, 0, "syntax error at \"0g\""},
      {u"io_dev ( KEYB 0 io_map ( A j " + repeat(u"x", 1056) + u" ) )", 2, 0,
       "syntax error at \"..." + std::string(48, 'x') + "\""},
      {u"io_dev ( KEYB 0 io_map ( A j " + repeat(u"S", 255) + u" ) )", 2, 0,
       "unknown modifier name \"" + std::string(64, 'S') + "...\"" + modifiers},
      {u"comment label comment ( )", 2, 0, "syntax error at \"comment\""},
      {u"(", 2, 0, "syntax error at \"(\""},
  };
  for (const auto& row : rows) {
    const auto forms = testsupport::source_forms(row.source);
    if (row.offset != 0) {
      ASSERT_EQ(forms.size(), 10u) << row.cause;
    }
    for (const auto& form : forms) {
      const bool binary = form.name[0] == 'b';
      if (binary && row.offset == 0) continue;
      const std::string place = std::to_string(binary ? row.offset : row.line);
      const Outcome r = convert(form.bytes, false);
      EXPECT_FALSE(r.ok);
      EXPECT_EQ(r.out, "Error converting file (source file line " + place + ")\n");
      EXPECT_EQ(r.err, (binary ? "map.txt: offset " : "map.txt:") + place + ": error: " + row.cause + "\n");
    }
  }
}

// Binary data that ends inside a token, or a length reaching past it.
TEST_F(Convert, BinaryBodiesThatEndTooSoon) {
  const std::pair<Bytes, uint32_t> rows[] = {{{1, 0, 0, 0, 0, 0, 0, 0x90, 0, 1, 2, 3}, 24u + 0x90000000u},
                                             {{99}, 16},
                                             {{99, 0}, 16},
                                             {{99, 0, 0}, 16},
                                             {{100, 0, 0, 0, 1}, 20}};
  for (const auto& [tail, offset] : rows) {
    Bytes file = testsupport::source_forms(u"")[5].bytes;
    file.insert(file.end(), tail.begin(), tail.end());
    const Outcome r = convert(file, true);
    EXPECT_EQ(r.out, "Error converting file (source file line " + std::to_string(offset) + ")\n");
    EXPECT_EQ(r.err, "map.txt: offset " + std::to_string(offset) + ": error: the data ends inside a token\n");
  }
}

// At most 255 units of a string are seen: a longer one is cut with a
// warning where the reader delivers it (text: any length; binary: 256).
TEST_F(Convert, StringsAreCutTo255Units) {
  for (size_t length : {255u, 256u, 300u}) {
    for (const auto& form :
         testsupport::source_forms(u"io_dev ( KEYB 0\n io_map ( A " + repeat(u"a", length) + u" ) )")) {
      SCOPED_TRACE(form.name + " " + std::to_string(length));
      const bool binary = form.name[0] == 'b';
      const Outcome r = convert(form.bytes, false);
      if (binary && length == 300) {
        EXPECT_EQ(r.err,
                  "map.txt: offset 654: error: a string of 300 characters in io_map is longer than 256 "
                  "characters\n");
        continue;
      }
      EXPECT_EQ(testsupport::dump(r.target), "dev(1 0 map(1001e " + std::string(255, 'a') + " 0))");
      EXPECT_EQ(
          r.err,
          length == 255
              ? ""
              : (binary ? "map.txt: offset 566" : "map.txt:3") +
                    ": warning: a string in io_map is longer than 255 characters; only its first 255 are converted\n"s);
    }
  }
}

// A target whose write number `fail_at` fails with `code`.
class FailingTarget final : public TokenStream {
 public:
  FailingTarget(uint32_t fail_at, int32_t code) : fail_at_(fail_at), code_(code) {}
  uint32_t writes = 0;
#define NONE(signature) \
  int32_t signature noexcept override { return 0; }
  NONE(read_token_open(uint32_t&, const char16_t**))
  NONE(read_label(char16_t*)) NONE(read_uint(uint32_t&)) NONE(read_int(int32_t&)) NONE(read_hex(uint32_t&))
      NONE(read_float(float&)) NONE(read_token_ref(uint32_t&)) NONE(read_wstring(char16_t*, uint32_t))
          NONE(read_string(char*, uint32_t)) NONE(read_bytes(uint8_t*, uint32_t)) NONE(read_token_close())
              NONE(write_label(const char16_t*)) NONE(write_int(int32_t)) NONE(write_float(float))
                  NONE(write_string(const char*)) NONE(write_token_ref(uint32_t))
                      NONE(write_block(std::unique_ptr<TokenBlock>&))
                          std::unique_ptr<TokenBlock> read_block() noexcept override {
    return nullptr;
  }
#define WRITE(signature) \
  int32_t signature noexcept override { return ++writes == fail_at_ ? fail(code_) : 1; }
  WRITE(write_token_open(uint32_t, const char16_t*))
  WRITE(write_uint(uint32_t)) WRITE(write_hex(uint32_t)) WRITE(write_wstring(const char16_t*))
      WRITE(write_bytes(const uint8_t*, uint32_t)) WRITE(write_token_close())

          private : uint32_t fail_at_;
  int32_t code_;
};

TEST_F(Convert, EveryFailedWriteIsReported) {
  const Bytes source = testsupport::text_source(u"io_dev ( JOY 0 sguid ( 02 01 ) io_map ( X x ALT_UP ) )");
  FailingTarget whole(0, 0);
  ASSERT_TRUE(convert(source, false, &whole).ok);
  ASSERT_EQ(whole.writes, 12u);
  for (uint32_t k = 1; k <= whole.writes; ++k) {
    for (int32_t code : {ERR_NO_MEMORY, ERR_BAD_VALUE}) {
      FailingTarget target(k, code);
      const Outcome r = convert(source, false, &target);
      EXPECT_EQ(r.out, "Error converting file (source file line 2)\n") << k;
      EXPECT_EQ(r.err, code == ERR_NO_MEMORY
                           ? "map.txt:2: error: out of memory\n"
                           : "map.txt:2: error: writing the output failed (ERR_BAD_VALUE)\n");
      EXPECT_EQ(target.writes, k);
    }
  }
}

// Numbers and white space do not follow the process locale.
TEST_F(Convert, TheLocaleChangesNothing) {
  const Bytes source = testsupport::text_source(u"io_dev ( KEYB 4294967295 io_map ( A \"a\u2003b\" ALL_UP ) )");
  const Outcome c = convert(source, true);
  ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr);
  const Outcome utf8 = convert(source, true);
  std::setlocale(LC_ALL, "C");
  EXPECT_EQ(testsupport::dump(c.target), "dev(1 4294967295 map(1001e a?b ff00))");
  EXPECT_EQ(utf8.target, c.target);
}

// Nesting far deeper than a stack could recurse, converted on a thread with
// a 256 KiB stack, gives the map without the nested tokens.
TEST_F(Convert, DeepNestingInEachEncoding) {
  constexpr uint32_t depth = 100000;
  const std::u16string map = u"io_dev ( KEYB 0 io_map ( A jump ) ";
  const Bytes shallow = convert(testsupport::text_source(map + u")"), false).target;
  auto w = token_stream_open(nullptr, STREAM_WRITE | STREAM_BINARY, u'i', u'0', u'@');
  bool ok = w->write_token_open(99, nullptr) && w->write_wstring(u"KEYB") && w->write_uint(0) &&
            w->write_token_open(100, nullptr) && w->write_wstring(u"A") && w->write_wstring(u"jump") &&
            w->write_token_close();
  for (uint32_t i = 0; ok && i < depth; ++i) ok = w->write_token_open(1, nullptr);
  for (uint32_t i = 0; ok && i <= depth; ++i) ok = w->write_token_close();
  Bytes binary;
  ASSERT_TRUE(ok && token_stream_close_to_bytes(std::move(w), binary));
  for (const Bytes& deep :
       {testsupport::text_source(map + repeat(u"comment ( ", depth) + repeat(u") ", depth) + u")"), binary}) {
    std::pair<const Bytes*, Outcome> work = {&deep, {}};
    pthread_attr_t attr;
    pthread_t thread;
    ASSERT_EQ(pthread_attr_init(&attr) | pthread_attr_setstacksize(&attr, 256 * 1024), 0);
    auto body = [](void* p) -> void* {
      auto* w = static_cast<std::pair<const Bytes*, Outcome>*>(p);
      w->second = convert(*w->first, false);
      return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, body, &work) | pthread_join(thread, nullptr), 0);
    EXPECT_EQ(work.second.out + work.second.err, "");
    EXPECT_EQ(work.second.target, shallow);
  }
  EXPECT_EQ(testsupport::dump(shallow), "dev(1 0 map(1001e jump 0))");
}

}  // namespace
