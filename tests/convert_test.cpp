// Input map conversion, in memory, through every pairing of source and
// target encodings.
#include "app/convert.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "app/console.h"
#include "app/input_map_tables.h"
#include "support/bytes.h"
#include "support/temp_dir.h"
#include "tokenfile/dictionary.h"
#include "tokenfile/token_stream.h"

using namespace tokenfile;
using namespace mapbake;
using testsupport::Bytes;

namespace {

class CaptureConsole final : public Console {
 public:
  void print(Channel channel, std::string_view text) noexcept override {
    (channel == Channel::Out ? out : err).append(text);
  }
  std::string out;
  std::string err;
};

// --- source maps, written in either encoding ---

struct SourceValue {
  enum Kind { String, Uint, ByteRun } kind;
  std::u16string text;
  uint32_t number = 0;
  Bytes bytes = {};
};

struct SourceToken {
  uint32_t id;
  std::u16string text_name;  // the name in a text source; empty: the dictionary's
  std::vector<SourceValue> values;
  std::vector<SourceToken> children = {};
  std::u16string label = {};
};

SourceValue str(std::u16string s) { return {SourceValue::String, std::move(s)}; }
SourceValue num(uint32_t n) { return {SourceValue::Uint, {}, n}; }
SourceValue byte_run(Bytes b) { return {SourceValue::ByteRun, {}, 0, std::move(b)}; }

SourceToken device(std::u16string name, uint32_t number, std::vector<SourceToken> children) {
  return {TOKEN_IO_DEV, {}, {str(std::move(name)), num(number)}, std::move(children)};
}
SourceToken binding(std::u16string control, std::u16string action,
                    std::vector<std::u16string> modifiers = {}) {
  SourceToken t{TOKEN_IO_MAP, {}, {str(std::move(control)), str(std::move(action))}, {}};
  for (auto& m : modifiers) t.values.push_back(str(std::move(m)));
  return t;
}
SourceToken sguid(Bytes bytes) { return {TOKEN_SGUID, {}, {byte_run(std::move(bytes))}, {}}; }
SourceToken comment(std::u16string text) { return {1, {}, {str(std::move(text))}, {}}; }
// A token whose name the dictionary lacks (text) or an id it lacks (binary).
SourceToken unknown(std::vector<SourceToken> children) {
  return {999, u"gamepad_extra", {num(7)}, std::move(children)};
}

// Text layout: every token starts a line ("name ( values"), each child on a
// line of its own, and " )" ends the token's last line. The stream header
// line is line 1, so the first token stands on line 2.
void encode_text(const SourceToken& t, int depth, std::u16string& out) {
  out.append(static_cast<size_t>(depth), u'\t');
  if (!t.text_name.empty()) {
    out += t.text_name;
  } else {
    out += token_name_from_id(t.id);
  }
  if (!t.label.empty()) out += u" " + t.label;
  out += u" (";
  for (const auto& v : t.values) {
    out += u' ';
    switch (v.kind) {
      case SourceValue::String:
        out += u'"';
        for (char16_t c : v.text) {
          if (c == u'"' || c == u'\\') out += u'\\';
          out += c;
        }
        out += u'"';
        break;
      case SourceValue::Uint:
        for (char c : std::to_string(v.number)) out += static_cast<char16_t>(c);
        break;
      case SourceValue::ByteRun:
        for (size_t i = 0; i < v.bytes.size(); ++i) {
          char pair[4];
          std::snprintf(pair, sizeof pair, "%02x", v.bytes[i]);
          if (i > 0) out += u' ';
          out += static_cast<char16_t>(pair[0]);
          out += static_cast<char16_t>(pair[1]);
        }
        break;
    }
  }
  for (const auto& c : t.children) {
    out += u"\r\n";
    encode_text(c, depth + 1, out);
  }
  out += u" )";
}

// A text source file: the UTF-16 file header, the stream header line, `body`.
Bytes text_file(const std::u16string& body) {
  Bytes f{0xFF, 0xFE};
  testsupport::put_wide(f, u"TORVIA@@@@@@@@@@VUXA0i0t______\r\n" + body);
  return f;
}

bool write_source(TokenStream& s, const SourceToken& t) {
  if (!s.write_token_open(t.id, t.label.empty() ? nullptr : t.label.c_str())) return false;
  for (const auto& v : t.values) {
    const bool ok = v.kind == SourceValue::String ? s.write_wstring(v.text.c_str())
                    : v.kind == SourceValue::Uint
                        ? s.write_uint(v.number)
                        : s.write_bytes(v.bytes.data(), static_cast<uint32_t>(v.bytes.size()));
    if (!ok) return false;
  }
  for (const auto& c : t.children) {
    if (!write_source(s, c)) return false;
  }
  return s.write_token_close() != 0;
}

// A binary source file, written through a binary writing stream.
Bytes binary_file(const std::vector<SourceToken>& tokens) {
  auto s = token_stream_open(nullptr, STREAM_WRITE | STREAM_BINARY, u'i', u'0', u'@');
  EXPECT_TRUE(s);
  for (const auto& t : tokens) EXPECT_TRUE(write_source(*s, t));
  Bytes out;
  EXPECT_TRUE(token_stream_close_to_bytes(std::move(s), out));
  return out;
}

Bytes source_file(const std::vector<SourceToken>& tokens, bool binary) {
  if (binary) return binary_file(tokens);
  std::u16string body;
  for (size_t i = 0; i < tokens.size(); ++i) {
    if (i > 0) body += u"\r\n";
    encode_text(tokens[i], 0, body);
  }
  return text_file(body);
}

// --- conversion and a dump of the run-time map ---

struct Outcome {
  bool ok = false;
  std::string out, err;
  Bytes target;
};

Outcome convert(Bytes source_bytes, bool text_target, const char* name = "map.txt") {
  Outcome r;
  auto source = token_stream_open_memory(std::move(source_bytes), STREAM_READ, 0, 0);
  EXPECT_TRUE(source);
  if (!source) return r;
  auto target = token_stream_open(nullptr, STREAM_WRITE | (text_target ? STREAM_TEXT : STREAM_BINARY), u'i',
                                  u'0', u'@');
  CaptureConsole console;
  r.ok = convert_input_map(*source, *target, console, name) != 0;
  r.out = console.out;
  r.err = console.err;
  EXPECT_TRUE(token_stream_close_to_bytes(std::move(target), r.target));
  return r;
}

std::string hex8(uint32_t v) {
  char s[16];
  std::snprintf(s, sizeof s, "%08x", v);
  return s;
}

std::string narrow(const char16_t* s) {
  std::string r;
  for (; *s; ++s) r += *s < 128 ? static_cast<char>(*s) : '?';
  return r;
}

// The run-time map as one line: io_dev(code number children...) with
// sguid(bytes) and io_map(code string mask) children, codes and masks in hex.
// Anything else in the target shows as "<bad>".
std::string dump_runtime(const Bytes& file) {
  auto s = token_stream_open_memory(file, STREAM_READ, u'i', u'0');
  if (!s) return "<unopenable>";
  std::string out;
  uint32_t id;
  while (s->read_token_open(id, nullptr)) {
    if (!out.empty()) out += " ";
    uint32_t code, number;
    if (id != TOKEN_IO_DEV || !s->read_uint(code) || !s->read_uint(number)) return out + "<bad>";
    out += "io_dev(" + std::to_string(code) + " " + std::to_string(number);
    while (s->read_token_open(id, nullptr)) {
      if (id == TOKEN_SGUID) {
        uint8_t b[64];
        if (!s->read_bytes(b, 1) || b[0] < 2 || b[0] > 64 || !s->read_bytes(b + 1, b[0] - 1u))
          return out + "<bad>";
        out += " sguid(";
        for (int i = 0; i < b[0]; ++i) out += hex8(b[i]).substr(6);
        out += ")";
      } else if (id == TOKEN_IO_MAP) {
        char16_t text[256];
        uint32_t mask;
        if (!s->read_hex(code) || !s->read_wstring(text, 256) || !s->read_uint(mask)) return out + "<bad>";
        out += " io_map(" + hex8(code) + " " + narrow(text) + " " + hex8(mask) + ")";
      } else {
        return out + "<bad>";
      }
      uint32_t extra;
      if (s->read_uint(extra)) return out + "<extra value>";
      if (!s->read_token_close()) return out + "<bad>";
    }
    out += ")";
    if (!s->read_token_close()) return out + "<bad>";
  }
  return token_error == ERR_END_OF_DATA ? out : out + "<bad end>";
}

class ConvertTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(acquire_token_dictionary()); }
  void TearDown() override { release_token_dictionary(); }
};

// Source encoding (binary?) x target encoding (text?).
class ConvertPairing : public ConvertTest, public ::testing::WithParamInterface<std::tuple<bool, bool>> {
 protected:
  bool binary_source() const { return std::get<0>(GetParam()); }
  bool text_target() const { return std::get<1>(GetParam()); }
};

Bytes bytes_0_to(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + 1);
  return b;
}

TEST_P(ConvertPairing, ConvertsNamesToCodes) {
  Bytes guid = {0x11, 0x3f, 0xa2, 0x91, 0xc4, 0x07, 0x5e, 0x4b, 0xd2,
                0x8b, 0x14, 0x00, 0xa0, 0xc9, 0x1e, 0x52, 0x77};
  Bytes guid2 = bytes_0_to(2);
  guid2[0] = 2;
  Bytes guid64 = bytes_0_to(64);
  guid64[0] = 64;
  Bytes guid_tail = {3, 0xaa, 0xbb, 0xcc, 0xdd};  // bytes after the n are dropped
  const struct {
    const char* what;
    std::vector<SourceToken> source;
    std::string expected;
  } rows[] = {
      {"no token", {}, ""},
      {"only other tokens",
       {comment(u"nothing here"), unknown({device(u"KEYB", 0, {binding(u"A", u"x")})})},
       ""},
      {"the worked example",
       {device(u"KEYB", 0, {binding(u"A", u"jump", {u"SHIFT_DOWN", u"CTRL_UP"})})},
       "io_dev(1 0 io_map(0001001e jump 00000c08))"},
      {"letter case of names",
       {device(u"keyb", 0, {binding(u"a", u"x"), binding(u"left_shift", u"y", {u"shift_down", u"Ctrl_Up"})})},
       "io_dev(1 0 io_map(0001001e x 00000000) io_map(0001002a y 00000c08))"},
      {"modifier masks",
       {device(u"KEYB", 0,
               {binding(u"F1", u"none"), binding(u"F2", u"all", {u"ALL_UP", u"SHIFT_DOWN"}),
                binding(u"F3", u"both", {u"SHIFT_UP", u"SHIFT_DOWN"}),
                binding(u"F4", u"twice", {u"ALT_DOWN", u"ALT_DOWN", u"WIN_DOWN"}),
                binding(u"F5", u"every", {u"SHIFT_UP", u"CTRL_UP", u"ALT_UP", u"WIN_UP", u"CTRL_DOWN"})})},
       "io_dev(1 0 io_map(0001003b none 00000000) io_map(0001003c all 0000ff08) io_map(0001003d both "
       "00000808) "
       "io_map(0001003e twice 00000303) io_map(0001003f every 00000f04))"},
      {"joystick controls",
       {device(u"JOY", 7,
               {binding(u"POV2", u"hat"), binding(u"SLIDER1", u"s"), binding(u"BTN31", u"b"),
                binding(u"RX", u"r")})},
       "io_dev(0 7 io_map(00020002 hat 00000000) io_map(00000007 s 00000000) io_map(0001001f b 00000000) "
       "io_map(00000003 r 00000000))"},
      {"mouse controls and second names",
       {device(
           u"MOUSE", 1,
           {binding(u"LBTN", u"l"), binding(u"BTN0", u"b"), binding(u"MBTN", u"m"), binding(u"Z", u"z")})},
       "io_dev(2 1 io_map(00010000 l 00000000) io_map(00010000 b 00000000) io_map(00010002 m 00000000) "
       "io_map(00000002 z 00000000))"},
      {"sguid first; devices in order; the number unchanged",
       {device(u"JOYSTICK", 4294967295u, {sguid(guid), binding(u"X", u"roll")}),
        device(u"PEN", 0, {sguid(guid2)}),
        device(u"KEYB", 12, {binding(u"HASH", u"h"), binding(u"BACKSLASH", u"b")})},
       "io_dev(0 4294967295 sguid(113fa291c4075e4bd28b1400a0c91e5277) io_map(00000000 roll 00000000)) "
       "io_dev(3 0 sguid(0208)) io_dev(1 12 io_map(0001002b h 00000000) io_map(00010056 b 00000000))"},
      {"sguid of 64 bytes, and bytes after n dropped",
       {device(u"JOY", 0, {sguid(guid64)}), device(u"JOY", 1, {sguid(guid_tail)})},
       "io_dev(0 0 sguid(" +
           [&] {
             std::string s;
             for (uint8_t b : guid64) s += hex8(b).substr(6);
             return s;
           }() +
           ")) io_dev(0 1 sguid(03aabb))"},
      {"a later sguid and other children dropped",
       {device(u"KEYB", 0, {binding(u"A", u"a"), sguid(guid), comment(u"c"), binding(u"B", u"b")})},
       "io_dev(1 0 io_map(0001001e a 00000000) io_map(00010030 b 00000000))"},
      {"an unknown first child is skipped whole, with its own children",
       {device(u"KEYB", 0, {unknown({binding(u"Q", u"hidden")}), binding(u"W", u"w")})},
       "io_dev(1 0 io_map(00010011 w 00000000))"},
      {"an unknown first child hides no sguid after it",
       {device(u"JOY", 0, {comment(u"first"), sguid(guid)})},
       "io_dev(0 0)"},
      {"strings keep their characters",
       {device(u"KEYB", 0, {binding(u"SPACE", u"say \"hi\" \\ (now)")})},
       "io_dev(1 0 io_map(00010039 say \"hi\" \\ (now) 00000000))"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const Outcome r = convert(source_file(row.source, binary_source()), text_target());
    EXPECT_TRUE(r.ok) << r.out << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(dump_runtime(r.target), row.expected);
  }
}

TEST_P(ConvertPairing, LabelsAreDroppedAndNeverWritten) {
  SourceToken dev = device(u"KEYB", 0, {binding(u"A", u"a")});
  dev.label = u"main_keyboard";
  dev.children[0].label = u"first";
  const Outcome r = convert(source_file({dev}, binary_source()), text_target());
  ASSERT_TRUE(r.ok) << r.err;
  auto s = token_stream_open_memory(r.target, STREAM_READ, 0, 0);
  uint32_t id;
  const char16_t* label = u"unset";
  ASSERT_TRUE(s->read_token_open(id, &label));
  EXPECT_EQ(label, nullptr);
  uint32_t v;
  ASSERT_TRUE(s->read_uint(v) && s->read_uint(v));
  label = u"unset";
  ASSERT_TRUE(s->read_token_open(id, &label));
  EXPECT_EQ(label, nullptr);
}

// Failures: the message on standard output carries the text line or the
// binary offset of the place the failure was noticed; standard error names
// the cause.
TEST_P(ConvertPairing, FailuresReportPlaceAndCause) {
  Bytes too_long(66, 0x42);
  too_long[0] = 65;
  const struct {
    const char* what;
    std::vector<SourceToken> source;
    uint32_t line;    // text source
    uint32_t offset;  // binary source: worked out from the token layout
    std::string cause;
  } rows[] = {
      // io_dev head 16..25, "GAMEPAD" 2 + 14 bytes.
      {"unknown device",
       {device(u"GAMEPAD", 0, {binding(u"A", u"a")})},
       2,
       41,
       "unknown device name \"GAMEPAD\""},
      // head 25, "JOY" 8, uint 4, io_map head 9, "BTN32" 12.
      {"unknown control",
       {device(u"JOY", 0, {binding(u"BTN32", u"b")})},
       3,
       58,
       "unknown control name \"BTN32\" for device JOY"},
      {"a joystick name on a mouse",
       {device(u"MOUSE", 0, {binding(u"X", u"x"), binding(u"RX", u"r")})},
       4,
       73,
       "unknown control name \"RX\" for device MOUSE"},
      // head 25, "KEYB" 10, uint 4, io_map head 9, "A" 4, "jump" 10, "SHIFT" 12.
      {"unknown modifier",
       {device(u"KEYB", 0, {binding(u"A", u"jump", {u"SHIFT"})})},
       3,
       74,
       "unknown modifier name \"SHIFT\""},
      // head 25, "PEN" 8, uint 4, io_map head 9, "X" 4.
      {"a pen with an io_map",
       {device(u"PEN", 0, {sguid({2, 1}), binding(u"X", u"draw")})},
       4,
       61,
       "device PEN has no controls"},
      {"an io_dev without children", {device(u"KEYB", 0, {})}, 2, 39, "io_dev has no child token"},
      {"an io_dev with its values only",
       {SourceToken{TOKEN_IO_DEV, {}, {str(u"KEYB")}, {}}},
       2,
       35,
       "a value is missing in io_dev: expected an unsigned number"},
      {"an io_map without its binding string",
       {device(u"KEYB", 0, {binding(u"A", u"a"), {TOKEN_IO_MAP, {}, {str(u"B")}, {}}})},
       4,
       69,
       "a value is missing in io_map: expected a binding string"},
      // head 25, "JOY" 8, uint 4, sguid head 9, length byte 1.
      {"sguid length 65",
       {device(u"JOY", 0, {sguid(too_long)})},
       3,
       47,
       "sguid length 65 is outside 2 to 64"},
      {"sguid length 1", {device(u"JOY", 0, {sguid({1, 0})})}, 3, 47, "sguid length 1 is outside 2 to 64"},
      {"sguid length 0", {device(u"JOY", 0, {sguid({0})})}, 3, 47, "sguid length 0 is outside 2 to 64"},
      {"sguid shorter than its length",
       {device(u"JOY", 0, {sguid({9, 1, 2})})},
       3,
       47,
       "a value is missing in sguid"},
      {"a failure after earlier devices",
       {device(u"MOUSE", 0, {binding(u"X", u"x")}), comment(u"c"),
        device(u"KEYB", 0, {binding(u"NOKEY", u"n")})},
       6,
       115,
       "unknown control name \"NOKEY\" for device KEYB"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const Outcome r = convert(source_file(row.source, binary_source()), text_target(), "maps/keys.txt");
    EXPECT_FALSE(r.ok);
    const uint32_t place = binary_source() ? row.offset : row.line;
    EXPECT_EQ(r.out, "Error converting file (source file line " + std::to_string(place) + ")\n");
    const std::string where = binary_source() ? "maps/keys.txt: offset " + std::to_string(place)
                                              : "maps/keys.txt:" + std::to_string(place);
    EXPECT_EQ(r.err.rfind(where + ": error: " + row.cause, 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
  }
}

// A source cut at any byte before its end never converts, whatever code an
// earlier call left in token_error; only a cut that leaves nothing of the
// token (the headers alone) is a complete, empty map.
TEST_P(ConvertPairing, CutSourcesAlwaysFail) {
  const std::vector<SourceToken> map = {device(
      u"JOY", 3, {sguid({5, 1, 2, 3, 4}), binding(u"X", u"roll", {u"SHIFT_UP"}), binding(u"BTN1", u"fire")})};
  const Bytes whole = source_file(map, binary_source());
  ASSERT_TRUE(convert(whole, text_target()).ok);
  // The headers: file header and stream header line, 8-bit (binary) or
  // UTF-16 behind a byte-order mark (text).
  const size_t headers = binary_source() ? 32 : 66;
  for (size_t cut = 0; cut < whole.size(); ++cut) {
    SCOPED_TRACE(cut);
    for (int32_t stale : {0, ERR_END_OF_DATA, ERR_END_OF_TOKEN}) {
      token_error = stale;
      auto source = token_stream_open_memory(Bytes(whole.begin(), whole.begin() + static_cast<long>(cut)),
                                             STREAM_READ, 0, 0);
      if (!source) {
        EXPECT_LT(cut, headers);
        continue;
      }
      auto target = token_stream_open(nullptr, STREAM_WRITE | (text_target() ? STREAM_TEXT : STREAM_BINARY),
                                      u'i', u'0', u'@');
      CaptureConsole console;
      token_error = stale;
      const bool converted = convert_input_map(*source, *target, console, "cut.txt") != 0;
      if (cut == headers) {
        EXPECT_TRUE(converted) << console.err;
        continue;
      }
      if (!binary_source() && cut == headers + 1) continue;  // half a UTF-16 unit: no token either way
      EXPECT_FALSE(converted);
      EXPECT_EQ(console.out.rfind("Error converting file (source file line ", 0), 0u);
      EXPECT_NE(console.err.find("cut.txt"), std::string::npos);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Encodings, ConvertPairing, ::testing::Combine(::testing::Bool(), ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) ? "BinarySource" : "TextSource") +
                                  (std::get<1>(info.param) ? "ToText" : "ToBinary");
                         });

// --- strings at the 256-unit buffer ---

TEST_F(ConvertTest, StringsAreCutTo255WithAWarning) {
  for (bool binary : {false, true}) {
    for (size_t length : {255u, 256u, 300u}) {
      SCOPED_TRACE(std::to_string(length) + (binary ? " binary" : " text"));
      const std::u16string action(length, u'a');
      const Outcome r = convert(source_file({device(u"KEYB", 0, {binding(u"A", action)})}, binary), false);
      if (binary && length > 256) {
        // The binary reader refuses a string longer than the buffer.
        EXPECT_FALSE(r.ok);
        EXPECT_NE(r.err.find("a string of 300 characters in io_map is longer than 256"), std::string::npos)
            << r.err;
        continue;
      }
      ASSERT_TRUE(r.ok) << r.err;
      EXPECT_EQ(dump_runtime(r.target),
                "io_dev(1 0 io_map(0001001e " + std::string(255, 'a') + " 00000000))");
      if (length == 255) {
        EXPECT_EQ(r.err, "");
      } else {
        const std::string where = binary ? "map.txt: offset 566" : "map.txt:3";
        EXPECT_EQ(r.err,
                  where +
                      ": warning: a string in io_map is longer than 255 characters; only its first 255 "
                      "are converted\n");
      }
    }
  }
}

TEST_F(ConvertTest, AStringEndsAtUPlus0000) {
  const std::u16string zero(1, u'\0');
  // The binary writer stops at a terminator, so these strings are laid
  // down as raw bytes: a 16-bit count and the units.
  auto raw_wstring = [](const std::u16string& s) {
    Bytes b;
    b.push_back(static_cast<uint8_t>(s.size()));
    b.push_back(static_cast<uint8_t>(s.size() >> 8));
    testsupport::put_wide(b, s);
    return byte_run(b);
  };
  SourceToken map{TOKEN_IO_MAP,
                  {},
                  {raw_wstring(u"A" + zero + u"junk"), raw_wstring(u"jump" + zero + u"x"),
                   raw_wstring(u"ALT_UP" + zero + u"?")},
                  {}};
  const Bytes binary = binary_file({device(u"KEYB", 0, {map})});
  const Bytes text = text_file(u"io_dev ( KEYB 0 io_map ( \"A" + zero + u"junk\" \"jump" + zero +
                               u"x\" \"ALT_UP" + zero + u"?\" ) )");
  for (const Bytes& source : {binary, text}) {
    const Outcome r = convert(source, false);
    ASSERT_TRUE(r.ok) << r.err;
    EXPECT_EQ(dump_runtime(r.target), "io_dev(1 0 io_map(0001001e jump 00000200))");
  }
}

// A modifier list ends only where the io_map's content ends: a value the
// reader cannot deliver fails the conversion instead of ending the list.
TEST_F(ConvertTest, AnUnreadableModifierIsAFailureNotTheEndOfTheList) {
  const Outcome r = convert(
      binary_file({device(u"KEYB", 0, {binding(u"A", u"a", {std::u16string(400, u'S'), u"SHIFT_DOWN"})})}),
      false);
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.err.find("a string of 400 characters in io_map"), std::string::npos) << r.err;
}

// --- text sources written by hand ---

TEST_F(ConvertTest, TextSyntaxFailures) {
  const struct {
    std::u16string body;
    uint32_t line;
    std::string cause;
  } rows[] = {
      {u"io_dev ( KEYB 0\r\n\tio_map ( A jump )\r\n\t5\r\n)", 4,
       "a value stands where a child token of io_dev or its closing parenthesis should"},
      {u"io_dev ( KEYB 0\r\n\tio_map ( A jump ) stray\r\n)", 4, "syntax error at \")\""},
      {u"io_dev ( KEYB 0 io_map 5 ( A jump ) )", 2, "syntax error at \"5\""},
      {u"io_dev ( KEYB zero io_map ( A jump ) )", 2,
       "expected an unsigned number after the device name in io_dev, found \"zero\""},
      {u"io_dev ( KEYB + io_map ( A jump ) )", 2, "\"+\" in io_dev is not an unsigned 32-bit number"},
      {u"io_dev ( KEYB 0 io_map ( A jump ) )\r\n)", 3, "syntax error at \")\""},
      {u"io_dev ( KEYB 0\r\n\tio_map ( A jump SHIFT_DOWN", 3, "the data ends inside a token"},
      {u"io_dev ( KEYB 0\r\n\tio_map ( A jump SHIFT_DOWN )\r\n", 4, "the data ends inside a token"},
      {u"io_dev ( KEYB 0 sguid ( 02 0g ) )", 2, "syntax error at \"0g\""},
      {u"io_dev ( KEYB 0 io_map ( A jump " + std::u16string(1056, u'x') + u" ) )", 2,
       "syntax error at \"..." + std::string(48, 'x') + "\""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(narrow(row.body.c_str()));
    const Outcome r = convert(text_file(row.body), false, "k.txt");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.out, "Error converting file (source file line " + std::to_string(row.line) + ")\n");
    EXPECT_EQ(r.err, "k.txt:" + std::to_string(row.line) + ": error: " + row.cause + "\n");
  }
}

TEST_F(ConvertTest, TextSourcesMayGroupAndSplitValues) {
  const Outcome r =
      convert(text_file(u"comment ( \"a (note)\" )\r\nio_dev ( KEYB 0\r\n\tsguid ( 03 0a0b )\r\n"
                        u"\tio_map ( A \"ju\"+\r\n\"mp\" ( SHIFT_DOWN CTRL_UP ) ALT_UP )\r\n)\r\n"),
              true);
  ASSERT_TRUE(r.ok) << r.err;
  EXPECT_EQ(dump_runtime(r.target), "io_dev(1 0 sguid(030a0b) io_map(0001001e jump 00000e08))");
}

// --- binary sources with forged lengths ---

TEST_F(ConvertTest, BinaryPositionsPrintUnsigned) {
  // A top-level token whose length reaches 2.4 GB past the data: closing it
  // fails with the position at its claimed end.
  Bytes file = testsupport::narrow_file_header();
  testsupport::put_str(file, testsupport::binary_header_line());
  testsupport::put_u32(file, 1);
  testsupport::put_u32(file, 0x90000000u);
  testsupport::put(file, {0, 1, 2, 3});
  const Outcome r = convert(file, false, "big.iom");
  EXPECT_FALSE(r.ok);
  const uint32_t end = 24u + 0x90000000u;
  EXPECT_EQ(r.out, "Error converting file (source file line " + std::to_string(end) + ")\n");
  EXPECT_EQ(r.err, "big.iom: offset " + std::to_string(end) + ": error: the data ends inside a token\n");
}

TEST_F(ConvertTest, StrayBytesAfterTheLastTokenFail) {
  Bytes file = binary_file({device(u"KEYB", 0, {binding(u"A", u"a")})});
  for (size_t extra = 1; extra <= 3; ++extra) {
    file.push_back(0x63);
    const Outcome r = convert(file, false);
    EXPECT_FALSE(r.ok) << extra;
    EXPECT_NE(r.err.find("the data ends inside a token"), std::string::npos);
  }
}

// --- tables ---

TEST_F(ConvertTest, NameTablesHaveTheirSizesAndNoTwoEqualNames) {
  const struct {
    const NameValue* table;
    size_t entries;
  } tables[] = {{device_names.data(), 5},
                {joystick_controls.data(), 44},
                {keyboard_controls.data(), 144},
                {mouse_controls.data(), 10},
                {modifier_names.data(), 9}};
  for (const auto& t : tables) {
    size_t n = 0;
    while (t.table[n].name != nullptr) ++n;
    EXPECT_EQ(n, t.entries);
    for (size_t i = 0; i < n; ++i) {
      // Each name finds its own entry: no earlier entry shadows it.
      EXPECT_EQ(find_name(t.table, t.table[i].name), &t.table[i]) << narrow(t.table[i].name);
    }
  }
  for (size_t i = 0; keyboard_controls[i].name != nullptr; ++i) {
    EXPECT_EQ(keyboard_controls[i].value & 0xFFFFFF00u, 0x10000u) << narrow(keyboard_controls[i].name);
  }
  EXPECT_EQ(find_name(keyboard_controls.data(), u"pad_divide")->value, 0x100B5u);
  EXPECT_EQ(find_name(keyboard_controls.data(), u"MEDIASELECT")->value, 0x100EDu);
  EXPECT_EQ(find_name(keyboard_controls.data(), u"0")->value, 0x1000Bu);
  EXPECT_EQ(find_name(keyboard_controls.data(), u"RETURN "), nullptr);
  EXPECT_EQ(find_name(joystick_controls.data(), u"BTN10")->value, 0x1000Au);
  EXPECT_EQ(find_name(joystick_controls.data(), u"BTN010"), nullptr);
  EXPECT_EQ(control_tables[DEVICE_PEN], nullptr);
}

// --- an example converted byte for byte ---

TEST_F(ConvertTest, MouseExampleConvertsToTheBytesOfTheFormat) {
  const Bytes source = testsupport::read_file(MAPBAKE_EXAMPLES_DIR "/mouse.txt");
  ASSERT_FALSE(source.empty());
  const Outcome r = convert(source, false, "mouse.txt");
  ASSERT_TRUE(r.ok) << r.err;
  // Each io_map: id 100, length 11 + 2n (label count 1, code 4, string
  // count 2 and n units, mask 4).
  const Bytes expected = {
      'T', 'O', 'R', 'V', 'I',  'A', '@', '@', '@', '@', '@', '@', '@', '@', '@',  '@',   // file header
      'V', 'U', 'X', 'A', '0',  'i', '0', 'b', '_', '_', '_', '_', '_', '_', '\r', '\n',  // stream header
                                                                                          // line
      99,  0,   0,   0,   0xA6, 0,   0,   0,   0,                      // io_dev, length 166
      2,   0,   0,   0,   0,    0,   0,   0,                           // MOUSE, 0
      100, 0,   0,   0,   23,   0,   0,   0,   0,   0,   0,   0,   0,  // io_map X
      6,   0,   'l', 0,   'o',  0,   'o', 0,   'k', 0,   '_', 0,   'x', 0,   0,    0,    0,   0,  // "look_x",
                                                                                                  // 0
      100, 0,   0,   0,   23,   0,   0,   0,   0,   1,   0,   0,   0,                             // io_map Y
      6,   0,   'l', 0,   'o',  0,   'o', 0,   'k', 0,   '_', 0,   'y', 0,   0,    0,    0,   0,  // "look_y",
                                                                                                  // 0
      100, 0,   0,   0,   19,   0,   0,   0,   0,   0,   0,   1,   0,       // io_map LBTN
      4,   0,   'f', 0,   'i',  0,   'r', 0,   'e', 0,   0,   0,   0,   0,  // "fire", 0
      100, 0,   0,   0,   17,   0,   0,   0,   0,   1,   0,   1,   0,       // io_map RBTN
      3,   0,   'a', 0,   'i',  0,   'm', 0,   0,   8,   0,   0,            // "aim", SHIFT_UP
      100, 0,   0,   0,   35,   0,   0,   0,   0,   3,   0,   1,   0,       // io_map BTN3
      12,  0,   'p', 0,   'u',  0,   's', 0,   'h', 0,   ' ', 0,   't', 0,   'o',  0,    ' ', 0, 't',
      0,   'a', 0,   'l', 0,    'k', 0,   0,   0,   0,   0,  // "push to talk", 0
  };
  EXPECT_EQ(r.target, expected);

  const Outcome t = convert(source, true, "mouse.txt");
  ASSERT_TRUE(t.ok);
  Bytes expected_text = {0xFF, 0xFE};
  testsupport::put_wide(expected_text,
                        u"TORVIA@@@@@@@@@@VUXA0i0t______\r\n"
                        u"\r\nio_dev ( 2 0"
                        u"\r\n\tio_map ( 00000000 look_x 0 )"
                        u"\r\n\tio_map ( 00000001 look_y 0 )"
                        u"\r\n\tio_map ( 00010000 fire 0 )"
                        u"\r\n\tio_map ( 00010001 aim 2048 )"
                        u"\r\n\tio_map ( 00010003 \"push to talk\" 0 )"
                        u"\r\n)");
  EXPECT_EQ(t.target, expected_text);
}

TEST_F(ConvertTest, EveryExampleConverts) {
  for (const char* name : {"keyboard.txt", "joystick.txt", "mouse.txt"}) {
    SCOPED_TRACE(name);
    const Outcome r =
        convert(testsupport::read_file(std::string(MAPBAKE_EXAMPLES_DIR "/") + name), false, name);
    EXPECT_TRUE(r.ok) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(dump_runtime(r.target).find("<"), std::string::npos);
  }
}

}  // namespace
