// Shared pieces of the libFuzzer harnesses: the entry points every harness
// defines, a cursor that takes typed values off the fuzz input, whole token
// files built around a fuzzed body, and the operation interpreter that the
// two reader harnesses share.
//
// A finding is reported by FUZZ_CHECK, which aborts: under libFuzzer that is
// a crash with the input saved, in the regression replay a failed test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tokenfile/token_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

#define FUZZ_CHECK(condition)                                                        \
  do {                                                                               \
    if (!(condition)) ::fuzzsupport::report_finding(#condition, __FILE__, __LINE__); \
  } while (0)

namespace fuzzsupport {

using Bytes = std::vector<uint8_t>;

[[noreturn]] inline void report_finding(const char* what, const char* file, int line) {
  std::fprintf(stderr, "FINDING: %s (%s:%d)\n", what, file, line);
  std::abort();
}

// Takes values off the front of the input; a value asked for past the end
// reads as zeros, so every input decodes to something.
class Cursor {
 public:
  Cursor(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  size_t left() const { return size_ - pos_; }
  bool empty() const { return pos_ >= size_; }
  uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t u16() { return static_cast<uint16_t>(u8() | (u8() << 8)); }
  uint32_t u32() { return static_cast<uint32_t>(u16()) | (static_cast<uint32_t>(u16()) << 16); }
  // At most n bytes, fewer at the end of the input.
  Bytes take(size_t n) {
    n = n < left() ? n : left();
    Bytes out(data_ + pos_, data_ + pos_ + n);
    pos_ += n;
    return out;
  }
  Bytes rest() { return take(left()); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// The input copied into a heap buffer of exactly its size, so that
// AddressSanitizer sees a read one byte past it.
inline Bytes exact_copy(const uint8_t* data, size_t size) { return Bytes(data, data + size); }

// A whole token file: the 8-bit file header of an uncompressed file, the
// stream header line of the encoding ("VUXA0i0t______\r\n" in UTF-16 for
// text, "VUXA0i0b______\r\n" in bytes for binary), then `body` unchanged.
Bytes text_file_around(const Bytes& body);
Bytes binary_file_around(const Bytes& body);

// Runs read operations chosen by `ops` on a reading stream, then walks
// whatever is left to the end. Blocks read go into `sink` (a writing stream)
// when one is given. Checks the invariants every reader keeps: the body
// position stays inside the body, strings come back terminated inside their
// buffers, labels are at most 32 units, and the walk ends after a number of
// steps bounded by the input's size (no operation loops in place).
// `check`, when given, is called after every operation with the stream, for
// the invariants of one encoding.
using StateCheck = void (*)(const tokenfile::TokenStream&);
void run_read_ops(tokenfile::TokenStream& stream, const Bytes& ops, size_t body_size,
                  tokenfile::TokenStream* sink, StateCheck check = nullptr);

// What a walk that reads everything did: the stream operations it called,
// the units the successful ones delivered (bytes of values, blocks and 8-bit
// strings, two per UTF-16 unit of labels and wide strings) and the tokens
// it opened.
struct Work {
  size_t calls = 0;
  size_t units = 0;
  size_t opened = 0;
};

// The most work read_everything may do on a stream whose body (as loaded:
// expanded, and for a source in UTF-8 its UTF-16 form) has B bytes:
// calls and units together at most kWorkPerByte * B + kWorkConstant. The
// worst case found is a run of 11-byte binary tokens, each a head and a
// string count of 255 that runs past the token's end: 21 calls and 510
// units for 11 bytes, some 48 per byte.
inline constexpr size_t kWorkPerByte = 64;
inline constexpr size_t kWorkConstant = 1024;

// Reads a whole stream as a consumer that knows nothing of its tokens
// would: at each step the next of ten operations that succeeds, in turn
// (read_token_open, which the top level alone tries; read_uint, read_int,
// read_hex, read_float, read_wstring and read_string with the converter's
// capacity 256, read_bytes of one byte, read_token_ref; read_label, which
// binary streams take once after each open, as it reads nothing there); a
// token in which none succeeds is left with read_token_close, every fourth
// one with read_block (not more often: a text block runs to the end of the
// line its closing parenthesis stands on). Checks that the work stays
// within the bound above, and, through the stream's state, that reading
// goes back only where a close leaves a binary token that a string, a label
// or a refused child's head ran past, and never in text.
Work read_everything(tokenfile::TokenStream& stream);

// Reads a whole stream with the generic walk alone (every token opened and
// closed, no values); returns the number of tokens opened.
size_t walk_to_end(tokenfile::TokenStream& stream, size_t body_size);

// Acquires the token dictionary once for the process (text names need it);
// harnesses that need it call this first in every run.
void acquire_dictionary_once();

}  // namespace fuzzsupport
