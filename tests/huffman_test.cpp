#include "tokenfile/huffman.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "support/bytes.h"
#include "tokenfile/byte_order.h"
#include "tokenfile/file_container.h"

using namespace tokenfile;
using testsupport::Bytes;

namespace {

using Lengths = std::vector<uint32_t>;  // L[1..11]

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes compress(const Bytes& body) {
  Bytes out;
  EXPECT_TRUE(huffman_compress(body.data(), static_cast<uint32_t>(body.size()), out));
  return out;
}

Lengths table_lengths(const Bytes& packed) {
  Lengths l;
  for (uint32_t d = 0; d < HUFFMAN_MAX_BITS; ++d) l.push_back(load_u32le(packed.data() + 8 + 4 * d));
  return l;
}

uint64_t slots(const Lengths& l) {
  uint64_t s = 0;
  for (size_t d = 0; d < l.size(); ++d) s += uint64_t{l[d]} << (HUFFMAN_MAX_BITS - 1 - d);
  return s;
}

struct Expanded {
  int64_t result;
  Bytes bytes;  // the first max(result, 0) bytes produced
};

// Expands with the code words and the output each in a heap block of exactly
// their size, so that any read or write past them is caught.
Expanded expand(const Bytes& table, const Bytes& words, uint32_t n) {
  const Bytes table_copy(table.begin(), table.begin() + HUFFMAN_TABLE_SIZE);
  const Bytes words_copy(words);
  Bytes out(n);
  const int64_t r = huffman_expand(table_copy.data(), words_copy.data(), words_copy.size(), out.data(), n);
  out.resize(static_cast<size_t>(std::max<int64_t>(r, 0)));
  return {r, out};
}

Expanded expand_packed(const Bytes& packed, uint32_t n) {
  return expand(packed, Bytes(packed.begin() + HUFFMAN_TABLE_SIZE, packed.end()), n);
}

void set_lengths(Bytes& packed, const Lengths& l) {
  for (uint32_t d = 0; d < HUFFMAN_MAX_BITS; ++d) store_u32le(packed.data() + 8 + 4 * d, l[d]);
}

// Bodies drawn from distributions that exercise different code shapes.
enum class Shape { Uniform, Geometric, TokenLike, OneValue, TwoValues, FewValues };

Bytes make_body(Shape shape, size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  switch (shape) {
    case Shape::Uniform:
      for (auto& x : b) x = static_cast<uint8_t>(rng());
      break;
    case Shape::Geometric: {  // byte k with probability 2^-(k+1): codes deeper than 11 bits
      for (auto& x : b) x = static_cast<uint8_t>(std::min(std::countr_zero(rng() | 0x80000000u), 255));
      break;
    }
    case Shape::TokenLike:  // small little-endian numbers, ids, length fields and text
      for (size_t i = 0; i < n; ++i) {
        const uint32_t r = rng();
        b[i] = (i % 4 >= 2)   ? 0
               : (r % 8 == 0) ? static_cast<uint8_t>('a' + r % 26)
                              : static_cast<uint8_t>(r % 17);
      }
      break;
    case Shape::OneValue:
      std::fill(b.begin(), b.end(), static_cast<uint8_t>(seed));
      break;
    case Shape::TwoValues:
      for (auto& x : b) x = (rng() % 100 == 0) ? 0xFF : 0x00;
      break;
    case Shape::FewValues:
      for (auto& x : b) x = static_cast<uint8_t>(0x40 + rng() % 5);
      break;
  }
  return b;
}

TEST(HuffmanCompress, WorkedExample) {
  const Bytes packed = compress(bytes_of("aaaabbc"));
  ASSERT_EQ(packed.size(), HUFFMAN_TABLE_SIZE + 4);
  EXPECT_EQ(load_u32le(packed.data()), 4u);
  EXPECT_EQ(load_u32le(packed.data() + 4), 7u);
  EXPECT_EQ(table_lengths(packed), (Lengths{1, 1, 1, 0, 0, 0, 0, 0, 0, 2, 252}));
  // Ascending count; the 253 absent values by ascending byte value.
  Bytes order;
  for (int v = 0; v < 256; ++v)
    if (v != 'a' && v != 'b' && v != 'c') order.push_back(static_cast<uint8_t>(v));
  order.insert(order.end(), {'c', 'b', 'a'});
  EXPECT_EQ(Bytes(packed.begin() + 52, packed.begin() + HUFFMAN_TABLE_SIZE), order);
  EXPECT_EQ(load_u32le(packed.data() + HUFFMAN_TABLE_SIZE), 0x003FFB50u);

  const Expanded e = expand_packed(packed, 7);
  EXPECT_EQ(e.result, 7);
  EXPECT_EQ(e.bytes, bytes_of("aaaabbc"));
}

TEST(HuffmanCompress, CodeLengthShapes) {
  struct Row {
    const char* what;
    Bytes body;
    Lengths lengths;
  };
  Bytes all_values;
  for (int k = 0; k < 5; ++k)
    for (int v = 0; v < 256; ++v) all_values.push_back(static_cast<uint8_t>(v));
  // The letters A to N with Fibonacci counts: the tree is deeper than 11.
  Bytes fibonacci;
  for (uint32_t i = 0, a = 1, b = 1; i < 14; ++i, b = a + b, a = b - a)
    fibonacci.insert(fibonacci.end(), a, 'A' + i);
  ASSERT_EQ(fibonacci.size(), 986u);
  const Row rows[] = {
      {"all 256 values equally often", all_values, {0, 0, 0, 0, 0, 0, 0, 255, 2, 0, 0}},
      {"one repeated byte", Bytes(1000, 'x'), {1, 0, 0, 0, 0, 0, 0, 0, 256, 0, 0}},
      {"Fibonacci counts", fibonacci, {1, 1, 1, 0, 0, 0, 0, 0, 0, 2, 252}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    const Bytes packed = compress(r.body);
    EXPECT_EQ(table_lengths(packed), r.lengths);
    EXPECT_EQ(slots(table_lengths(packed)), 2048u);
    const Expanded e = expand_packed(packed, static_cast<uint32_t>(r.body.size()));
    EXPECT_EQ(e.result, static_cast<int64_t>(r.body.size()));
    EXPECT_EQ(e.bytes, r.body);
  }
  // The repeated byte takes one bit; 1000 of them and the 9-bit end symbol
  // fill 32 words.
  EXPECT_EQ(compress(Bytes(1000, 'x')).size(), HUFFMAN_TABLE_SIZE + 128);
  // The Fibonacci letters end the stored order, least frequent first.
  const Bytes packed = compress(fibonacci);
  EXPECT_EQ(Bytes(packed.begin() + HUFFMAN_TABLE_SIZE - 14, packed.begin() + HUFFMAN_TABLE_SIZE),
            bytes_of("ABCDEFGHIJKLMN"));
}

TEST(HuffmanLimit, FitsHistograms) {
  struct Row {
    const char* what;
    Lengths in;
    Lengths out;
  };
  const Row rows[] = {
      {"fitting example", {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 247}, {1, 1, 1, 0, 0, 0, 0, 0, 0, 2, 252}},
      {"already exact", {1, 1, 1, 0, 0, 0, 0, 0, 0, 2, 252}, {1, 1, 1, 0, 0, 0, 0, 0, 0, 2, 252}},
      {"8 and 9 bits", {0, 0, 0, 0, 0, 0, 0, 255, 2, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 255, 2, 0, 0}},
      {"too few slots: step b alone",
       {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 257},
       {1, 1, 1, 0, 0, 0, 0, 0, 0, 2, 252}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    uint32_t l[HUFFMAN_MAX_BITS + 1] = {};
    std::copy(r.in.begin(), r.in.end(), l + 1);
    limit_code_lengths(l);
    EXPECT_EQ(Lengths(l + 1, l + HUFFMAN_MAX_BITS + 1), r.out);
  }
}

TEST(HuffmanExpand, StopsAtTheExpectedLength) {
  const Bytes packed = compress(bytes_of("aaaabbc"));
  struct Row {
    uint32_t n;
    int64_t result;
    std::string bytes;
  };
  const Row rows[] = {
      {7, 7, "aaaabbc"},    {5, 5, "aaaab"},    // code words hold more symbols than n: surplus dropped
      {0, 0, ""},           {8, 7, "aaaabbc"},  // the end symbol comes before n bytes
      {1000, 7, "aaaabbc"},
  };
  for (const Row& r : rows) {
    const Expanded e = expand_packed(packed, r.n);
    EXPECT_EQ(e.result, r.result) << r.n;
    EXPECT_EQ(e.bytes, bytes_of(r.bytes)) << r.n;
  }
}

TEST(HuffmanExpand, DamagedTablesAreRejected) {
  const Bytes good = compress(bytes_of("aaaabbc"));
  struct Row {
    const char* what;
    Lengths lengths;
  };
  const Row rows[] = {
      {"overfull", {1, 1, 1, 0, 0, 0, 0, 0, 0, 2, 253}},
      {"incomplete", {1, 1, 1, 0, 0, 0, 0, 0, 0, 2, 251}},
      {"no codes", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"too many codes", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2048}},
      {"258 codes filling 2048 slots", {1, 1, 1, 0, 0, 0, 0, 0, 0, 1, 254}},
      {"counts whose slots wrap 32 bits", {0x00400001, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"largest counts",
       {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF,
        0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}},
  };
  for (const Row& r : rows) {
    Bytes bad = good;
    set_lengths(bad, r.lengths);
    EXPECT_EQ(expand_packed(bad, 7).result, -1) << r.what;
  }
}

TEST(HuffmanExpand, TableWithoutEndSymbolRunsToTheDataEnd) {
  // 256 codes of 8 bits fill the table with no end symbol; code 0 belongs to
  // the last stored byte value.
  Bytes table(HUFFMAN_TABLE_SIZE, 0);
  set_lengths(table, {0, 0, 0, 0, 0, 0, 0, 256, 0, 0, 0});
  std::iota(table.begin() + 52, table.end(), uint8_t{0});
  const Bytes zeros(8, 0);
  EXPECT_EQ(expand(table, zeros, 8).bytes, Bytes(8, 255));
  EXPECT_EQ(expand(table, zeros, 9).result, 8);  // the data ends first
  // Code 1 (0000 0001, first bit first) belongs to stored byte 254.
  EXPECT_EQ(expand(table, Bytes{0x80, 0x80, 0, 0}, 4).bytes, (Bytes{254, 254, 255, 255}));
}

TEST(HuffmanExpand, PartialTrailingWordReadsAsZeroPadded) {
  const Bytes body = make_body(Shape::TokenLike, 3000, 11);
  const Bytes packed = compress(body);
  const Bytes words(packed.begin() + HUFFMAN_TABLE_SIZE, packed.end());
  for (size_t cut : {words.size() - 1, words.size() - 2, words.size() - 3, words.size() - 7,
                     words.size() / 2 + 1, size_t{1}, size_t{2}}) {
    Bytes partial(words.begin(), words.begin() + cut);
    Bytes padded = partial;
    padded.resize((cut + 3) / 4 * 4, 0);
    const Expanded a = expand(packed, partial, 3000);
    const Expanded b = expand(packed, padded, 3000);
    EXPECT_EQ(a.result, b.result) << cut;
    EXPECT_EQ(a.bytes, b.bytes) << cut;
    EXPECT_LE(a.result, 3000);
  }
  // No code words at all: nothing decodes.
  EXPECT_EQ(expand(packed, Bytes{}, 3000).result, 0);
}

TEST(HuffmanExpand, RandomCodeWordsStayInBounds) {
  // Valid tables over arbitrary words: every result lies in 0..n, and the
  // exact-size buffers catch any access outside them.
  std::mt19937 rng(3);
  for (Shape shape : {Shape::Uniform, Shape::Geometric, Shape::TwoValues}) {
    const Bytes packed = compress(make_body(shape, 20000, 8));
    for (int round = 0; round < 40; ++round) {
      Bytes words(rng() % (round < 20 ? 64 : 9000));
      for (auto& b : words) b = static_cast<uint8_t>(rng());
      const uint32_t n = rng() % 70000;
      const int64_t r = expand(packed, words, n).result;
      EXPECT_GE(r, 0);
      EXPECT_LE(r, n);
    }
  }
}

TEST(HuffmanProperty, BodiesRoundTrip) {
  const Shape shapes[] = {Shape::Uniform,  Shape::Geometric, Shape::TokenLike,
                          Shape::OneValue, Shape::TwoValues, Shape::FewValues};
  const size_t sizes[] = {1, 2, 3, 7, 31, 32, 33, 40, 255, 1000, 4097, 65536 + 3};
  uint32_t seed = 1;
  auto check = [](const Bytes& body) {
    const uint32_t n = static_cast<uint32_t>(body.size());
    const Bytes packed = compress(body);
    const Lengths l = table_lengths(packed);
    ASSERT_EQ(slots(l), 2048u);
    ASSERT_EQ(std::accumulate(l.begin(), l.end(), uint64_t{0}), 257u);
    EXPECT_EQ(load_u32le(packed.data()), packed.size() - HUFFMAN_TABLE_SIZE);
    EXPECT_EQ(load_u32le(packed.data()) % 4, 0u);
    EXPECT_EQ(load_u32le(packed.data() + 4), n);
    EXPECT_LE(packed.size(), huffman_compress_bound(n));
    const Expanded e = expand_packed(packed, n);
    ASSERT_EQ(e.result, n);
    ASSERT_TRUE(e.bytes == body);
    // Surplus dropped and the end symbol seen, also where the fast path runs.
    const Expanded half = expand_packed(packed, n / 2);
    ASSERT_EQ(half.result, n / 2);
    ASSERT_TRUE(std::equal(half.bytes.begin(), half.bytes.end(), body.begin()));
    ASSERT_EQ(expand_packed(packed, n + 40).result, n);
    // Words after the end symbol: decoding stops at it even with data and
    // room to spare.
    Bytes trailing = packed;
    trailing.insert(trailing.end(), packed.end() - 4, packed.end());
    trailing.resize(trailing.size() + 64, 0xA5);
    const Expanded early = expand_packed(trailing, n + 1000);
    ASSERT_EQ(early.result, n);
    ASSERT_TRUE(early.bytes == body);
  };
  for (Shape shape : shapes) {
    for (size_t n : sizes) {
      SCOPED_TRACE(testing::Message() << "shape " << static_cast<int>(shape) << " size " << n);
      check(make_body(shape, n, seed++));
    }
  }
  for (Shape shape : {Shape::Uniform, Shape::TokenLike, Shape::Geometric}) {
    SCOPED_TRACE(testing::Message() << "large, shape " << static_cast<int>(shape));
    check(make_body(shape, (3 << 20) + 5, seed++));
  }
  // The same body always gives the same bytes.
  const Bytes body = make_body(Shape::FewValues, 5000, 99);
  EXPECT_EQ(compress(body), compress(body));
}

TEST(HuffmanContainer, WorkedExampleFile) {
  auto c = container_create(nullptr, COMPRESSION_HUFFMAN, 0);
  ASSERT_TRUE(c);
  ASSERT_EQ(container_write(*c, "aaaabbc", 7), 7u);
  Bytes file;
  ASSERT_NE(container_close_to_bytes(std::move(c), file), 0);
  ASSERT_EQ(file.size(), 16u + HUFFMAN_TABLE_SIZE + 4);
  EXPECT_EQ(file[7], 'B');
  EXPECT_EQ(load_u32le(file.data() + 8), 315u);
  EXPECT_EQ(Bytes(file.begin() + 16, file.end()), compress(bytes_of("aaaabbc")));
  auto back = container_load(Bytes(file));
  ASSERT_TRUE(back);
  EXPECT_EQ(Bytes(back->body(), back->body() + back->body_size), bytes_of("aaaabbc"));

  // A size field below what the words hold loads the first bytes; above it
  // (the end symbol comes first) fails.
  Bytes shorter = file;
  store_u32le(shorter.data() + 8, 308 + 5);
  back = container_load(std::move(shorter));
  ASSERT_TRUE(back);
  EXPECT_EQ(Bytes(back->body(), back->body() + back->body_size), bytes_of("aaaab"));
  Bytes longer = file;
  store_u32le(longer.data() + 8, 308 + 8);
  EXPECT_FALSE(container_load(std::move(longer)));
  // A size field the words cannot produce, however short the codes.
  Bytes forged = file;
  store_u32le(forged.data() + 8, 0xFFFFFFFF);
  EXPECT_FALSE(container_load(std::move(forged)));
  Bytes damaged = file;
  store_u32le(damaged.data() + 16 + 8 + 4 * 10, 253);  // overfull
  EXPECT_FALSE(container_load(std::move(damaged)));
}

}  // namespace
