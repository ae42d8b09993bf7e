// The UTF-8 form of a text source: a plain text file, as editors save it,
// read into the UTF-16 body the text reader reads, and a text body written
// back out in that form. Private to the token file library.
//
// A headerless file is a source in UTF-8 when it holds no NUL byte, is
// valid UTF-8 (an optional byte-order mark first), holds at least one "("
// and its first line either is a stream header line of the text encoding in
// 8-bit characters (14 of them, then LF or CR LF) or does not begin with
// "VUXA"; or when it is a stream header line of the text encoding and
// nothing else (the source of a map without devices). Every other file is
// left to the token file forms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tokenfile/byte_buffer.h"
#include "tokenfile/token_stream.h"

namespace tokenfile {

enum class Utf8Verdict : uint8_t {
  NotUtf8,      // not the UTF-8 form: read the file as a token file
  Source,       // decoded: `body` holds the source as UTF-16LE
  Invalid,      // the UTF-8 form but for the sequence at `offset`
  TooLarge,     // the decoded body would reach 4 GiB
  OutOfMemory,  // the decoded body cannot be had
};

struct Utf8Source {
  Utf8Verdict verdict = Utf8Verdict::NotUtf8;
  // Source: the body starts with the 16-unit stream header line (its line
  // end made CR LF); otherwise the first line of the file is the body's start.
  bool header_line = false;
  // Invalid: the first bad sequence, a byte offset in the file (a
  // byte-order mark counts), and what is wrong with it.
  uint64_t offset = 0;
  Utf8Fault fault = Utf8Fault::None;
  // Source: the text in UTF-16LE, the byte-order mark left out; every other
  // character (a CR too) as the file has it, so that the reader sees what
  // the UTF-16 form of the file would give it.
  ByteBuffer body;
};

// Decides on the bytes of a whole headerless file and, for the UTF-8 form,
// decodes it in one pass with one allocation.
void read_utf8_source(const uint8_t* file, size_t size, Utf8Source& out) noexcept;

// The UTF-8 form of a text body (UTF-16LE, stream header line first) as the
// text writer builds it: CR LF becomes LF, the last line ends with LF,
// nothing else changes, no byte-order mark (what --print shows of it). False on a surrogate without its
// partner, or an odd byte, which UTF-8 cannot hold; `out` is then unspecified.
[[nodiscard]] bool write_utf8_source(const uint8_t* body, uint32_t size, std::vector<uint8_t>& out) noexcept;

}  // namespace tokenfile
