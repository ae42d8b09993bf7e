// Writes the seed corpora of the fuzz harnesses into <dir>/<harness>/:
//   fuzz_make_corpus fuzz/corpus
// Every seed is made here, through the library's own writers, from the small
// input map below and a few bodies that reach the readers' edges. Inputs
// that fuzzing finds later are added beside the seeds under their own names.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "tokenfile/byte_order.h"
#include "tokenfile/dictionary.h"
#include "tokenfile/file_container.h"
#include "tokenfile/huffman.h"
#include "tokenfile/token_stream.h"

using namespace tokenfile;
using Bytes = std::vector<uint8_t>;

namespace {

std::filesystem::path g_root;

void save(const std::string& harness, const std::string& name, const Bytes& bytes) {
  const auto dir = g_root / harness;
  std::filesystem::create_directories(dir);
  std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "make_corpus: %s failed\n", what);
    std::exit(1);
  }
}

// The source form of a small input map: a keyboard device with a leading
// sguid and three bindings, a token the converter skips, a joystick and a
// mouse device.
void write_source_map(TokenStream& s) {
  const uint8_t guid[5] = {5, 0xAA, 0xBB, 0xCC, 0xDD};
  bool ok = s.write_token_open(99, nullptr) && s.write_wstring(u"KEYB") && s.write_uint(0) &&
            s.write_token_open(101, nullptr) && s.write_bytes(guid, 5) && s.write_token_close() &&
            s.write_token_open(100, nullptr) && s.write_wstring(u"A") && s.write_wstring(u"jump") &&
            s.write_wstring(u"SHIFT_DOWN") && s.write_wstring(u"CTRL_UP") && s.write_token_close() &&
            s.write_token_open(100, nullptr) && s.write_wstring(u"left_shift") &&
            s.write_wstring(u"run \"fast\"\\now") && s.write_token_close() &&
            s.write_token_open(1, nullptr) && s.write_wstring(u"a comment inside") && s.write_token_close() &&
            s.write_token_open(100, nullptr) && s.write_wstring(u"PAD_DIVIDE") && s.write_wstring(u"") &&
            s.write_wstring(u"ALL_UP") && s.write_wstring(u"WIN_DOWN") && s.write_token_close() &&
            s.write_token_close();
  ok = ok && s.write_token_open(1, nullptr) && s.write_wstring(u"skipped") && s.write_uint(7) &&
       s.write_token_close();
  ok = ok && s.write_token_open(99, nullptr) && s.write_wstring(u"JOY") && s.write_uint(1) &&
       s.write_token_open(100, nullptr) && s.write_wstring(u"POV2") && s.write_wstring(u"look") &&
       s.write_token_close() && s.write_token_open(100, nullptr) && s.write_wstring(u"BTN31") &&
       s.write_wstring(u"fire") && s.write_wstring(u"ALT_UP") && s.write_token_close() &&
       s.write_token_close();
  ok = ok && s.write_token_open(99, nullptr) && s.write_wstring(u"mouse") && s.write_uint(2) &&
       s.write_token_open(100, nullptr) && s.write_wstring(u"LBTN") && s.write_wstring(u"select") &&
       s.write_token_close() && s.write_token_close();
  check(ok, "writing the source map");
}

Bytes source_file(uint32_t encoding, char16_t compression) {
  auto s = token_stream_open(nullptr, STREAM_WRITE | encoding, u'i', u'0', compression);
  check(s != nullptr, "opening a writer");
  write_source_map(*s);
  Bytes file;
  check(token_stream_close_to_bytes(std::move(s), file) != 0, "closing a writer");
  return file;
}

// The body of a file: what follows its file header (uncompressed files).
Bytes body_after_line(const Bytes& file, size_t header_and_line) {
  return Bytes(file.begin() + static_cast<std::ptrdiff_t>(header_and_line), file.end());
}

Bytes wide(std::u16string_view text) {
  Bytes b;
  for (char16_t c : text) {
    b.push_back(static_cast<uint8_t>(c));
    b.push_back(static_cast<uint8_t>(c >> 8));
  }
  return b;
}

// A reader harness input: the operation count, the operations, the body.
Bytes reader_input(const Bytes& ops, const Bytes& body) {
  Bytes in(1 + ops.size() + body.size());
  in[0] = static_cast<uint8_t>(ops.size());
  std::copy(ops.begin(), ops.end(), in.begin() + 1);
  std::copy(body.begin(), body.end(), in.begin() + 1 + static_cast<std::ptrdiff_t>(ops.size()));
  return in;
}

// One mode byte, then `rest`.
Bytes with_mode(uint8_t mode, const Bytes& rest) {
  Bytes in(1 + rest.size());
  in[0] = mode;
  std::copy(rest.begin(), rest.end(), in.begin() + 1);
  return in;
}

// Operation bytes (fuzz_support.cpp): low four bits the operation, high four
// the capacity or count index.
// clang-format off
enum Op : uint8_t {
  OPEN = 0, LABEL = 1, UINT = 2, INT = 3, HEX = 4, FLOAT = 5, WSTRING = 6, STRING = 7,
  BYTES = 8, REF = 9, BLOCK = 10, CLOSE = 11, LINE = 12, OPEN_LABEL = 14, SKIP = 15,
};
constexpr uint8_t cap(uint8_t index) { return static_cast<uint8_t>(index << 4); }
constexpr uint8_t kCap256 = cap(12);
constexpr uint8_t kCap3 = cap(2);
constexpr uint8_t kCount1 = cap(1);
constexpr uint8_t kCount4 = cap(4);

// Reads of the map as the converter makes them, then a block and a skip.
const Bytes kConverterOps = {OPEN, WSTRING | kCap256, UINT, OPEN, BYTES | kCount1, BYTES | kCount4, CLOSE,
                             OPEN, WSTRING | kCap256, WSTRING | kCap256, WSTRING | kCap256,
                             WSTRING | kCap256, WSTRING | kCap256, CLOSE, OPEN_LABEL, BLOCK, CLOSE, CLOSE,
                             OPEN, BLOCK, SKIP, LINE};
// Every operation once, with small capacities.
const Bytes kEveryOp = {OPEN_LABEL, LABEL, UINT, INT, HEX, FLOAT, WSTRING | kCap3, STRING | kCap3,
                        BYTES | kCount1, REF, OPEN, BLOCK, CLOSE, SKIP, CLOSE};
// clang-format on

void reader_seeds() {
  const Bytes text_plain = source_file(STREAM_TEXT, u'@');
  const Bytes text_body = body_after_line(text_plain, 34 + 32);
  const Bytes binary_plain = source_file(STREAM_BINARY, u'@');
  const Bytes binary_body = body_after_line(binary_plain, 16 + 16);

  save("text_reader", "seed-map-walk", reader_input({}, text_body));
  save("text_reader", "seed-map-converter-reads", reader_input(kConverterOps, text_body));
  save("text_reader", "seed-map-every-op", reader_input(kEveryOp, text_body));
  const std::u16string edges[] = {
      u"tok lab ( 1 ( 2 3 ) 4 -1 +7 .5 1e3 12ab 0000ABCD \"q\\\"t\" \"ab\"+\r\n\"cd\" 0102 03 )\r\n",
      u"tok ( word\r\r\"open ( ) ) )\r\n",
      u"comment ( \"a\\nb\\tc\\\\\" ( ( ( ) ) ) x ) io_dev ( KEYB 0 io_map ( A b SHIFT_DOWN) )",
      u"a ( b ( c ( d ( e ( f ) ) ) ) )\nunknown_name_here ( \xE9\x3000 )",
  };
  int i = 0;
  for (const auto& body : edges) {
    const std::string n = std::to_string(i++);
    save("text_reader", "seed-edges-" + n, reader_input(kEveryOp, wide(body)));
    save("text_reader", "seed-edges-walk-" + n, reader_input({}, wide(body)));
  }

  save("binary_reader", "seed-map-walk", reader_input({}, binary_body));
  save("binary_reader", "seed-map-converter-reads", reader_input(kConverterOps, binary_body));
  save("binary_reader", "seed-map-every-op", reader_input(kEveryOp, binary_body));
  // A token whose length is still the placeholder, a label of 40 units, a
  // length that runs past its parent, and a body cut inside a token.
  Bytes odd;
  auto u32 = [&odd](uint32_t v) {
    uint8_t b[4];
    store_u32le(b, v);
    odd.insert(odd.end(), b, b + 4);
  };
  u32(7);
  u32(0xDEDEDEDE);
  odd.push_back(40);
  for (int k = 0; k < 40; ++k) {
    odd.push_back(static_cast<uint8_t>('a' + k % 26));
    odd.push_back(0);
  }
  u32(8);
  u32(100);  // runs past its parent's end
  odd.push_back(0);
  u32(0x01020304);
  odd.push_back(0xFF);
  odd.push_back(0xFF);  // a string count of 65535 with the body ending
  save("binary_reader", "seed-odd-lengths", reader_input(kEveryOp, odd));
  save("binary_reader", "seed-odd-lengths-walk", reader_input({}, odd));
}

void file_seeds() {
  const struct {
    const char* name;
    uint32_t encoding;
    char16_t compression;
  } forms[] = {{"text-plain", STREAM_TEXT, u'@'},       {"text-huffman", STREAM_TEXT, u'B'},
               {"text-zlib", STREAM_TEXT, u'F'},        {"binary-plain", STREAM_BINARY, u'@'},
               {"binary-huffman", STREAM_BINARY, u'B'}, {"binary-zlib", STREAM_BINARY, u'F'}};
  for (const auto& form : forms) {
    const Bytes file = source_file(form.encoding, form.compression);
    save("container_load", std::string("seed-") + form.name, file);
    save("convert", std::string("seed-") + form.name, file);
  }
  // Headerless bodies, and the text body behind an 8-bit stream header line.
  const Bytes binary_plain = source_file(STREAM_BINARY, u'@');
  save("container_load", "seed-headerless-binary", body_after_line(binary_plain, 16));
  save("convert", "seed-headerless-binary", body_after_line(binary_plain, 16));
  const Bytes text_plain = source_file(STREAM_TEXT, u'@');
  Bytes narrow_line(binary_plain.begin(), binary_plain.begin() + 32);
  narrow_line[16 + 7] = 't';
  const Bytes text_body = body_after_line(text_plain, 34 + 32);
  narrow_line.insert(narrow_line.end(), text_body.begin(), text_body.end());
  save("convert", "seed-text-narrow-line", narrow_line);

  // Forged sizes: an 'F' and a 'B' size field of 0xFFFFFFFF in small files.
  Bytes forged = source_file(STREAM_BINARY, u'F');
  store_u32le(forged.data() + 8, 0xFFFFFFFFu);
  save("container_load", "seed-forged-zlib-size", forged);
  forged = source_file(STREAM_BINARY, u'B');
  store_u32le(forged.data() + 8, 0xFFFFFFFFu);
  save("container_load", "seed-forged-huffman-size", forged);

  // Conversions that fail: an unknown device, an io_map under PEN, an
  // io_dev without children, a sguid length of 65.
  const std::u16string failing[] = {
      u"io_dev ( TABLET 0 io_map ( A x ) )",
      u"io_dev ( PEN 3 sguid ( 02 ff ) io_map ( X y ) )",
      u"io_dev ( KEYB 0 )",
      u"io_dev ( KEYB 0 sguid ( 41 ) )",
  };
  int i = 0;
  for (const auto& body : failing) {
    Bytes file(text_plain.begin(), text_plain.begin() + 34 + 32);
    const Bytes w = wide(body);
    file.insert(file.end(), w.begin(), w.end());
    save("convert", "seed-failing-" + std::to_string(i++), file);
  }
}

void huffman_seeds() {
  const std::string bodies[] = {"aaaabbc", "VUXA0i0b______\r\nio_dev KEYB jump", std::string(300, 'z')};
  int i = 0;
  for (const auto& text : bodies) {
    const Bytes body(text.begin(), text.end());
    Bytes packed;
    check(huffman_compress(body.data(), static_cast<uint32_t>(body.size()), packed), "huffman_compress");
    // Decoder input: mode 0, the length n, the table and the words.
    Bytes expand(2 + packed.size());
    store_u16le(expand.data(), static_cast<uint16_t>(body.size()));
    std::copy(packed.begin(), packed.end(), expand.begin() + 2);
    save("huffman_expand", "seed-expand-" + std::to_string(i), with_mode(0, expand));
    // Encoder input: mode 1 and the body.
    save("huffman_expand", "seed-compress-" + std::to_string(i), with_mode(1, body));
    ++i;
  }
  Bytes all(512);
  for (size_t k = 0; k < all.size(); ++k) all[k] = static_cast<uint8_t>(k);
  save("huffman_expand", "seed-compress-all-bytes", with_mode(1, all));
}

void round_trip_seeds() {
  std::mt19937 rng(20261206);
  for (int i = 0; i < 8; ++i) {
    Bytes b(32u << (i % 5));
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    save("round_trip", "seed-random-" + std::to_string(i), b);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_make_corpus <corpus directory>\n");
    return 2;
  }
  g_root = argv[1];
  check(acquire_token_dictionary() != 0, "acquiring the dictionary");
  reader_seeds();
  file_seeds();
  huffman_seeds();
  round_trip_seeds();
  release_token_dictionary();
  return 0;
}
