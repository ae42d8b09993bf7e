// Canonical Huffman body compression ('B' bodies of the file container).
//
// A 'B' body is a 308-byte HuffmanTable followed by code words:
//   0   u32  bytes of code words that follow (a multiple of 4)
//   4   u32  uncompressed length
//   8   11 x u32  number of codes of length 1..11
//   52  256 bytes  the byte values in ascending order of frequency
// The alphabet is the 256 byte values and an end symbol whose code is the
// last one. Codes are at most 11 bits, packed LSB-first into 32-bit
// little-endian words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tokenfile {

inline constexpr uint32_t HUFFMAN_TABLE_SIZE = 308;
inline constexpr uint32_t HUFFMAN_MAX_BITS = 11;

// Largest output huffman_compress can produce for a body of n bytes: the
// table plus 11 bits per byte and the end symbol, rounded up to whole words.
uint64_t huffman_compress_bound(uint32_t n) noexcept;

// Compresses n bytes (n > 0) into `out`, which is resized to exactly the
// table and the code words. False when a working table cannot be allocated;
// `out` is then unspecified.
[[nodiscard]] bool huffman_compress(const uint8_t* body, uint32_t n, std::vector<uint8_t>& out) noexcept;

// Expands code words with the 308-byte table into `out` (room for n bytes).
// Returns the number of bytes produced (n on success; fewer when the end
// symbol or the data ends early), or -1 when the table is damaged (its counts
// do not fill the 2048-entry lookup table exactly, or name more than 257
// codes). Surplus symbols after n bytes are dropped.
[[nodiscard]] int64_t huffman_expand(const uint8_t* table, const uint8_t* words, size_t words_size,
                                     uint8_t* out, uint32_t n) noexcept;

// Fits a code-length histogram (L[1..11], L[0] unused) whose leaves deeper
// than 11 were counted at 11 to lengths of at most 11 bits, so that the sum of
// L[d] * 2^(11-d) is exactly 2048 and the total count is unchanged.
void limit_code_lengths(uint32_t (&lengths)[HUFFMAN_MAX_BITS + 1]) noexcept;

}  // namespace tokenfile
