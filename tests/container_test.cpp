// The file container and its byte buffer: what a load recognises and what it
// refuses, from memory and through a FILE* alike; the body operations; and
// save -> load round trips in every header form and compression.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "support/bytes.h"
#include "support/cases.h"
#include "tokenfile/byte_buffer.h"
#include "tokenfile/file_container.h"
#include "tokenfile/huffman.h"

using namespace tokenfile;
using namespace testsupport;

namespace {

Bytes body_of(const FileContainer& c) { return Bytes(c.body(), c.body() + c.body_size); }
Bytes header_of(const FileContainer& c) { return Bytes(c.header, c.header + 16); }
Bytes cat(Bytes a, const Bytes& b) { return a.insert(a.end(), b.begin(), b.end()), a; }
Bytes part(const Bytes& b, size_t from, size_t to) { return Bytes(b.begin() + from, b.begin() + to); }
Bytes patched(Bytes b, size_t at, uint8_t value) { return b[at] = value, b; }
Bytes header(char compression, uint32_t size, bool wide = false) {  // 8-bit, or UTF-16 behind the mark
  Bytes h = {'T', 'O', 'R', 'V', 'I', 'A', '@', static_cast<uint8_t>(compression)}, w = {0xFF, 0xFE};
  put_u32(h, size), put_str(h, "@@@@");
  for (uint8_t b : h) put(w, {b, 0});
  return wide ? w : h;
}
Bytes saved(const Bytes& b, char compression, bool wide = false) {
  auto c = container_create(nullptr, compression, wide);
  Bytes f(1000, 0xEE);  // what the vector held before is dropped
  EXPECT_TRUE(container_write(*c, b.data(), b.size()) == b.size() &&
              container_close_to_bytes(std::move(c), f));
  return f;
}
Bytes contents_closing(std::FILE* f) {  // from the start to the current position
  Bytes all(static_cast<size_t>(std::ftell(f)));
  std::rewind(f), all.resize(std::fread(all.data(), 1, all.size(), f)), std::fclose(f);
  return all;
}

// Loads from memory and from a file, which must agree; the file is left as it was.
std::unique_ptr<FileContainer> load(const Bytes& file) {
  std::FILE* f = std::tmpfile();
  if (!file.empty()) std::fwrite(file.data(), 1, file.size(), f);
  auto from_file = container_open(f, CONTAINER_READ, 'B', 1), c = container_load(Bytes(file));
  EXPECT_EQ(from_file == nullptr, c == nullptr);
  if (from_file && c) {
    EXPECT_EQ(std::tuple(body_of(*from_file), header_of(*from_file), from_file->file, from_file->body_pos),
              std::tuple(body_of(*c), header_of(*c), f, 0u));
    EXPECT_NE(container_close(std::move(from_file)), 0);
  }
  EXPECT_EQ(contents_closing(f), file);
  return c;
}

TEST(ContainerLoad, HeaderFormsCompressionsAndRefusals) {
  Bytes line = {'V', 'U', 'X', 'A', '0', 'i', '0', 'b', '_', '_', '_', '_', '_', '_', '\r', '\n'}, text, body;
  put_wide(text, u"VUXA0i0t______\r\n");
  for (int i = 0; i < 5000; ++i) body.push_back(static_cast<uint8_t>(i * 7 % 13));
  const Bytes narrow = header('@', 0x40404040), wide = header('@', 0x40404040, true), zlib = saved(body, 'F');
  const Bytes huff = saved(part(line, 0, 7), 'B'), huff_wide = saved(part(line, 0, 7), 'B', true);
  // Two codes of one bit and no end symbol: each bit of the words is a byte.
  Bytes one_bit = cat(header('B', 340), Bytes(308, 0)), word = {85, 85, 85, 85}, yx;
  one_bit[24] = 2, one_bit[322] = 'y', one_bit[323] = 'x';
  for (int i = 0; i < 32; ++i) yx.push_back(i % 2 ? 'x' : 'y');
  // {file, header size: 0 headerless, 16 8-bit, 34 UTF-16, -1 the load fails; body, if not the rest of the
  // file}
  const struct {
    Bytes file;
    int header_size;
    Bytes body = {};
  } rows[] = {{cat(narrow, line), 16},
              {cat(patched(patched(narrow, 5, 'Z'), 12, 0x90), line), 16},
              {cat(wide, text), 34},
              {line, 0},
              {{'x'}, 0},
              {cat({0xFF, 0xFE}, text), 0},
              {cat(patched(wide, 9, 1), text), 0},  // headerless
              {cat(patched(wide, 0, 0xFE), text), 0},
              {zlib, 16, body},
              {huff_wide, 34, part(line, 0, 7)},
              {patched(huff, 8, 0x39), 16, part(line, 0, 5)},  // surplus symbols dropped
              {cat(one_bit, word), 16, yx},
              {cat(one_bit, part(word, 0, 3)), 16, cat(part(yx, 0, 24), Bytes(8, 'x'))},
              // Refused: cut short, no body, an unknown compression, ...
              {{}, -1},
              {part(narrow, 0, 5), -1},
              {part(narrow, 0, 15), -1},
              {narrow, -1},
              {wide, -1},
              {part(wide, 0, 32), -1},
              {part(wide, 0, 12), -1},
              {cat(patched(narrow, 7, 'C'), line), -1},
              {cat(patched(wide, 16, 'A'), text), -1},
              // ... size fields that the body does not match, damaged compressed bodies.
              {patched(zlib, 8, 0x89), -1},
              {patched(zlib, 8, 0x87), -1},
              {patched(patched(zlib, 11, 0xFF), 10, 0xFF), -1},
              {patched(zlib, 30, zlib[30] ^ 0x55), -1},
              {patched(huff, 8, 0x3C), -1},
              {patched(huff, 8, 0x34), -1},
              {patched(huff, 64, huff[64] + 1), -1},
              {patched(cat(one_bit, word), 8, 0x55), -1},
              {part(huff, 0, 216), -1},
              {part(huff, 0, 324), -1}};
  for (const auto& [file, hlen, body] : rows) {
    auto c = load(file);
    ASSERT_EQ(c != nullptr, hlen >= 0) << "row " << &file - &rows[0].file;
    Bytes h(16, '@');
    for (int i = 0; i < 16 && hlen > 0; ++i) h[i] = file[hlen == 34 ? 2 + 2 * i : i];
    const Bytes want = body.empty() ? part(file, std::max(hlen, 0), file.size()) : body;
    if (c) {
      EXPECT_EQ(std::tuple(header_of(*c), c->wide_header, body_of(*c)), std::tuple(h, hlen == 34, want));
    }
  }
}

TEST(ContainerBody, WriteSeekRead) {
  auto c = container_create(nullptr, '@', 0);
  uint8_t buffer[16] = {1, 2, 3, 4, 5, 6, 7, 8};
  for (const testsupport::Case& step : testsupport::cases("container.cases", "Steps")) {
    const char op = step.narrow(0)[0];
    const int32_t arg = std::stoi(step.narrow(1)), origin = std::stoi(step.narrow(2));
    const uint32_t r = op == 'w'   ? container_write(*c, buffer, arg)
                       : op == 'r' ? container_read(*c, buffer, arg)
                                   : container_seek(*c, arg, origin);
    EXPECT_EQ(std::to_string(r) + " " + std::to_string(c->body_pos) + " " + std::to_string(c->body_size),
              step.narrow(3))
        << step.where;
  }
  EXPECT_EQ(cat(body_of(*c), Bytes(buffer, buffer + 4)), (Bytes{1, 2, 3, 4, 1, 2, 3, 4, 5, 6, 4, 5, 6, 4}));
}

TEST(ContainerSave, HeadersAndRoundTripsThroughMemoryAndFiles) {
  Bytes random(20000);
  std::mt19937 rng(5);
  for (auto& b : random) b = static_cast<uint8_t>(rng() % 64);
  for (const Bytes& body : {Bytes{'x'}, Bytes{'V', 'U', 'X', 'A', 0, 1, 2, 0, 0, 7}, random, Bytes{}}) {
    for (char compression : {'@', 'F', 'B', 'Q'}) {
      for (bool wide : {false, true}) {
        const uint32_t n = static_cast<uint32_t>(body.size());
        const char stored = n != 0 && (compression == 'F' || compression == 'B') ? compression : '@';
        const Bytes h = header(stored, stored == '@' ? 0x40404040 : stored == 'B' ? n + 308 : n, wide);
        std::FILE* f = std::tmpfile();
        auto c = container_open(f, CONTAINER_WRITE, compression, wide);
        ASSERT_EQ(
            container_write(*c, body.data(), n / 2) + container_write(*c, body.data() + n / 2, n - n / 2), n);
        ASSERT_NE(container_close(std::move(c)), 0);
        const Bytes file = contents_closing(f);
        EXPECT_EQ(file, saved(body, compression, wide));
        ASSERT_EQ(part(file, 0, h.size()), h) << compression << wide << n;
        if (stored == '@') {
          EXPECT_EQ(part(file, h.size(), file.size()), body);
        }
        auto back = load(file);
        EXPECT_EQ(back ? body_of(*back) : Bytes{'-'},
                  n != 0 ? body : Bytes{'-'});  // an empty body does not load
        // The same through the public whole-file calls.
        Bytes packed, unpacked;
        ContainerInfo info;
        EXPECT_TRUE(container_pack(body, compression, wide, packed) && packed == file);
        EXPECT_EQ(container_unpack(file, unpacked, &info), n != 0 ? 1 : 0);
        EXPECT_TRUE(n == 0 || (unpacked == body && info.compression == stored &&
                               info.header_bytes == h.size() && info.body_size == n));
      }
    }
  }
  // Only a container that is being written can be saved, and only to a file.
  Bytes out(10, 1);
  EXPECT_EQ(container_close(nullptr) + container_close(container_create(nullptr, '@', 0)), 0);
  EXPECT_EQ(container_close_to_bytes(container_load({'x'}), out) + container_close_to_bytes(nullptr, out), 0);
}

TEST(ByteBuffer, GrowsKeepingEveryByteAndMovesRarely) {
  // Byte by byte past the switch to pages of its own (256 KiB) and on
  // through several remappings; then refused what cannot be had, and shrunk.
  ByteBuffer b;
  ASSERT_TRUE(b.reserve(100) && b.size() == 0 && b.data() != nullptr);
  int moves = 0;
  for (size_t n = 1; n <= (5u << 20); ++n) {
    const uint8_t* before = b.data();
    ASSERT_TRUE(b.resize(n));
    moves += b.data() != before;
    b.data()[n - 1] = static_cast<uint8_t>(n * 131 + (n >> 11));
  }
  for (size_t huge : {~size_t{0}, size_t{1} << 50}) EXPECT_FALSE(b.resize(huge) || b.reserve(huge));
  for (size_t n = 1; n <= b.size(); ++n)
    ASSERT_EQ(b.data()[n - 1], static_cast<uint8_t>(n * 131 + (n >> 11))) << n;
  EXPECT_TRUE(moves < 40 && b.reserve(1000) && b.resize(1000) && b.data()[999] == 1000 * 131 % 256);
}

}  // namespace
