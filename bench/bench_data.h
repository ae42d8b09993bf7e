// Inputs shared by the benchmarks: generated source maps of each encoding
// and size, made once per process on first use, and small helpers.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "input_map_generator.h"

namespace mapbake::bench {

using Bytes = std::vector<uint8_t>;

inline constexpr uint64_t kMiB = uint64_t{1} << 20;
// The size of the main inputs, as the end-to-end timing of bench/run uses.
inline constexpr uint64_t kMainSize = 64 * kMiB;

// A whole source token file (file header and uncompressed body) of about
// `size` bytes of body.
const Bytes& source_file(Encoding encoding, uint64_t size);

// The write calls that made the binary source file of `size`.
const WriteScript& source_script(uint64_t size);

// A copy of `bytes` in fresh memory that the system may back with 2 MiB
// pages, as the library's own loader uses: the source a stream takes over
// in a benchmark costs no more to fault in and to free than a loaded file.
Bytes fresh_copy(const Bytes& bytes);

// Reads a source input map as the converter does (device names, numbers,
// sguid bytes, control names, binding strings and modifier names), without
// looking anything up or writing; returns a checksum of what it read, or
// sets an error on `state` when the stream fails before its normal end.
uint64_t read_input_map(tokenfile::TokenStream& source, benchmark::State& state);

// A temporary file holding `bytes`, removed when the object goes.
class TempFile {
 public:
  explicit TempFile(const Bytes& bytes);
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  std::FILE* file() const { return file_; }

 private:
  std::FILE* file_;
};

const char* encoding_name(Encoding encoding);

}  // namespace mapbake::bench
