// A token file as a container: what its file header says, its body
// expanded, and a body stored again plain or compressed. For tools that move
// token files around without reading their tokens (repacking a map, checking
// a download); a token stream does all of this itself when it opens a file.
#pragma once

#include <cstdint>
#include <vector>

namespace tokenfile {

// How a body is stored, as the file header names it.
inline constexpr char COMPRESSION_NONE = '@';
inline constexpr char COMPRESSION_HUFFMAN = 'B';  // canonical Huffman codes of at most 11 bits
inline constexpr char COMPRESSION_ZLIB = 'F';

struct ContainerInfo {
  char compression = COMPRESSION_NONE;  // of the body as stored
  uint32_t header_bytes = 0;            // file header: 0 (none), 16 (8-bit form) or 34 (UTF-16 form)
  uint32_t body_size = 0;               // the expanded body
};

// Expands the whole token file `file` into its body: the stream header line
// and the tokens, as they would be stored plain. Non-zero on success. Zero
// when the file is empty, its header is cut short or names an unknown
// compression, the size it states cannot be the body's, or the body does
// not expand (ERR_READ); or when memory runs out (ERR_NO_MEMORY).
[[nodiscard]] int32_t container_unpack(const std::vector<uint8_t>& file, std::vector<uint8_t>& body,
                                       ContainerInfo* info = nullptr) noexcept;

// Stores `body` as a whole token file in `file`: a file header (in its
// UTF-16 form when `wide_header` is non-zero, as text token files have it)
// and the body, compressed when `compression` is COMPRESSION_HUFFMAN or
// COMPRESSION_ZLIB. An empty body is stored plain. Non-zero on success; zero
// for a body of 4 GiB or more (ERR_BAD_VALUE) or when memory runs out
// (ERR_NO_MEMORY).
[[nodiscard]] int32_t container_pack(const std::vector<uint8_t>& body, char compression, int32_t wide_header,
                                     std::vector<uint8_t>& file) noexcept;

}  // namespace tokenfile
