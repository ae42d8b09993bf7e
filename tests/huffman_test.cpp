// Huffman body compression: the exact output of worked examples, the fitting
// of code lengths to 11 bits, damaged tables, code words that end early or
// hold too much, and round trips over generated bodies.
#include "tokenfile/huffman.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <random>

#include "support/bytes.h"

using namespace tokenfile;
using testsupport::Bytes;

namespace {

using Lengths = std::array<uint32_t, 11>;  // the number of codes of length 1..11

Bytes with_lengths(Bytes table, const Lengths& l) {
  for (size_t i = 0; i < 44; ++i) table[8 + i] = static_cast<uint8_t>(l[i / 4] >> (8 * (i % 4)));
  return table;
}
Bytes compress(const Bytes& body) {
  Bytes out;
  EXPECT_TRUE(huffman_compress(body.data(), static_cast<uint32_t>(body.size()), out));
  return out;
}
// The result and the bytes produced from the words after `skip`. Junk that
// must not be read follows them, a guard that must not be written the output.
auto expand(const Bytes& table, Bytes words, uint32_t n, size_t skip = HUFFMAN_TABLE_SIZE) {
  words.insert(words.end(), 16, 0xA5);
  Bytes out(n + 16, 0xEE);
  const int64_t r = huffman_expand(table.data(), words.data() + skip, words.size() - 16 - skip, out.data(), n);
  EXPECT_EQ(Bytes(out.begin() + n, out.end()), Bytes(16, 0xEE));
  out.resize(static_cast<size_t>(std::clamp<int64_t>(r, 0, n)));
  return std::pair(r, out);
}

TEST(Huffman, WorkedExampleAndDamagedTables) {
  Bytes expected;
  for (uint32_t v : {4u, 7u, 1u, 1u, 1u, 0u, 0u, 0u, 0u, 0u, 0u, 2u, 252u}) testsupport::put_u32(expected, v);
  for (int v = 0; v < 256; ++v) if (v < 'a' || v > 'c') expected.push_back(static_cast<uint8_t>(v));
  testsupport::put(expected, {'c', 'b', 'a', 0x50, 0xFB, 0x3F, 0x00});
  const Bytes body = {'a', 'a', 'a', 'a', 'b', 'b', 'c'}, packed = compress(body);
  EXPECT_EQ(packed, expected);
  EXPECT_EQ(expand(packed, packed, 1000), std::pair(int64_t{7}, body));  // the end symbol stops it
  // Overfull, incomplete, empty, and more codes than symbols (twice).
  const Lengths damaged[] = {
      {1, 1, 1, 0, 0, 0, 0, 0, 0, 2, 253}, {1, 1, 1, 0, 0, 0, 0, 0, 0, 2, 251}, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
      {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2048}, {1, 1, 1, 0, 0, 0, 0, 0, 0, 1, 254}};
  for (const Lengths& l : damaged) EXPECT_EQ(expand(with_lengths(packed, l), packed, 7).first, -1) << l[10];
}

TEST(Huffman, CodeLengthShapesIncludingOnesFittedTo11Bits) {
  Bytes all, fib;  // all 256 values equally often; the letters A to N with the counts 1, 1, 2, 3, 5, ...
  for (int k = 0; k < 5 * 256; ++k) all.push_back(static_cast<uint8_t>(k));
  for (uint32_t i = 0, a = 1, b = 1; i < 14; ++i, b += a, a = b - a) fib.insert(fib.end(), a, 'A' + i);
  const std::tuple<Bytes, Lengths, size_t> rows[] = {
      {all, {0, 0, 0, 0, 0, 0, 0, 255, 2, 0, 0}, 1284}, {Bytes(1000, 'x'), {1, 0, 0, 0, 0, 0, 0, 0, 256, 0, 0}, 128},
      {fib, {1, 1, 1, 0, 0, 0, 0, 0, 0, 2, 252}, 464}};  // deeper than 11 bits
  for (const auto& [body, lengths, words] : rows) {
    const Bytes packed = compress(body);
    EXPECT_EQ(std::pair(with_lengths(packed, lengths), packed.size()), std::pair(packed, 308 + words));
  }
  // Fitting that moves one code more than needed and takes it back; a histogram that cannot fill the slots.
  const std::pair<Lengths, Lengths> fits[] = {
      {{0, 0, 0, 0, 0, 0, 0, 0, 500, 0, 50}, {0, 0, 0, 0, 0, 0, 0, 0, 499, 1, 50}},
      {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}}};
  for (const auto& [in, out] : fits) {
    uint32_t l[12] = {0, in[0], in[1], in[2], in[3], in[4], in[5], in[6], in[7], in[8], in[9], in[10]};
    limit_code_lengths(l);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), l + 1)) << testing::PrintToString(l);
  }
}

// Generated bodies expand back whole, in part, and with room to spare; a
// partial last word reads as if filled up with zero bytes.
TEST(Huffman, GeneratedBodiesRoundTrip) {
  std::mt19937 rng(1);
  for (int shape : {0, 1, 2, 3}) {  // uniform; geometric, which needs fitting; five values; one value
    for (uint32_t n : {1u, 2u, 3u, 7u, 8u, 9u, 31u, 32u, 33u, 255u, 1000u, 4097u, 20000u, 70001u}) {
      SCOPED_TRACE(testing::Message() << "shape " << shape << " size " << n);
      Bytes body(n);
      for (uint8_t& b : body) {
        const uint32_t r = rng(), v[] = {r, 0u + std::countr_zero(r | 1u << 31), 64 + r % 5, n};
        b = static_cast<uint8_t>(v[shape]);
      }
      const Bytes p = compress(body);
      ASSERT_EQ(expand(p, p, n).second, body);
      ASSERT_EQ(expand(p, p, n / 2).second, Bytes(body.begin(), body.begin() + n / 2));
      ASSERT_EQ(expand(p, p, n + 40).first, n);
      Bytes cut(p.begin(), p.end() - 3), padded = cut;
      padded.resize(p.size(), 0);
      ASSERT_EQ(expand(p, cut, n), expand(p, padded, n));
    }
  }
  const std::pair<uint32_t, uint64_t> bounds[] = {{0, 312}, {1, 312}, {2, 316}, {31, 352}, {~0u, 308 + (44ull << 27)}};
  for (const auto& [n, bound] : bounds) EXPECT_EQ(huffman_compress_bound(n), bound) << n;
}

}  // namespace
