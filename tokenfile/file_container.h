// The file container: one token file as a whole-file body buffer in memory.
//
// A token file is an optional 16-byte file header (magic "TORVI", in an 8-bit
// form or a UTF-16 form behind a byte-order mark) followed by the body, stored
// plain ('@'), zlib-compressed ('F') or Huffman-compressed ('B'). Loading reads
// and expands the whole body at once; saving compresses it if asked and writes
// the header and the body in one go. In between, the encodings reach the bytes
// only through container_read, container_write and container_seek (or, on hot
// paths, the body view below, which is the same buffer).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "tokenfile/byte_buffer.h"
#include "tokenfile/container.h"

namespace tokenfile {

inline constexpr int32_t CONTAINER_READ = 1;
inline constexpr int32_t CONTAINER_WRITE = 2;

// container_seek origins. Not the usual file-seek order.
inline constexpr int32_t ORIGIN_START = 0;
inline constexpr int32_t ORIGIN_END = 1;
inline constexpr int32_t ORIGIN_CURRENT = 2;

// Result of container_write and container_seek on failure (-1 as unsigned).
inline constexpr uint32_t CONTAINER_FAILED = 0xFFFFFFFFu;

// What a streaming container holds before it writes it out: a few MiB
// (tests make it small to stream small files).
inline uint32_t container_stream_chunk = uint32_t{4} << 20;
inline constexpr uint32_t CONTAINER_KEEP_NONE = 0xFFFFFFFFu;

// The zlib state of a container compressed as it is written out.
struct Deflater;
struct DeflaterDeleter {
  void operator()(Deflater* d) const noexcept;
};

// Why a container could not be loaded.
enum class LoadProblem : uint8_t {
  None,
  Unreadable,          // the file could not be read (errno says why)
  TooLarge,            // a body of 4 GiB or more
  Empty,               // no bytes at all
  HeaderCut,           // the magic of a file header, but not the whole header
  NoBody,              // a file header and nothing after it
  UnknownCompression,  // the header names a compression other than '@', 'B' and 'F'
  ForgedSize,          // the header's size field cannot be the size of the body
  DamagedBody,         // a compressed body that does not expand
  OutOfMemory,
};

struct FileContainer {
  // The file the container saves to; never closed by the container. Null for
  // a container loaded from memory or one saved to memory.
  std::FILE* file = nullptr;
  // The file header in its 8-bit form: as read (sixteen '@' for a headerless
  // file) or as it will be written.
  uint8_t header[16] = {};
  int32_t mode = CONTAINER_READ;
  // Non-zero when the file header is (to be) in the UTF-16 form.
  int32_t wide_header = 0;
  // Bytes of file header in front of the body in the file loaded: 0, 16 or 34.
  uint32_t header_bytes = 0;
  // Invariant: body_pos <= body_size == flushed + storage.size() - body_base.
  uint32_t body_size = 0;
  uint32_t body_pos = 0;
  // A container written to a file it may write as it goes (`streams`),
  // plain or zlib-compressed, holds only the body from `flushed` on: the
  // file header and the body before it are in the file already (a
  // compressed one's size field is filled in at the end). Zero for every
  // other container.
  uint32_t flushed = 0;
  bool streams = false;
  bool header_out = false;
  std::unique_ptr<Deflater, DeflaterDeleter> deflater;
  // What a compressed stream must still hold, from this body offset on: the
  // head of the outermost token still open, whose length the writer fills
  // in later (a plain stream fills it in in the file instead).
  uint32_t keep_from = CONTAINER_KEEP_NONE;
  // How much it holds before it tries to write out: grows while the open
  // token keeps most of it back, so that the tries cost linear time.
  uint32_t hold = container_stream_chunk;
  // Reading a mapped file: once the position passes `release_at`, the pages
  // before `released` (a few MiB behind the position) are handed back, so
  // that the process never holds the whole source.
  uint32_t release_at = CONTAINER_KEEP_NONE;
  uint32_t released = 0;
  // A write to the file failed (its errno kept): the rest is dropped and
  // closing fails, as closing a buffered file reports an earlier failure.
  int stream_error = 0;
  // The body lives at storage[body_base...]: a loaded plain file keeps its
  // header bytes in front of the body instead of moving the body down.
  ByteBuffer storage;
  uint32_t body_base = 0;

  // The body from `flushed` on (for every container but a streaming one,
  // the whole body).
  const uint8_t* body() const noexcept { return storage.data() + body_base; }
  uint8_t* body() noexcept { return storage.data() + body_base; }
  char compression() const noexcept { return static_cast<char>(header[7]); }
};

// Loads a whole token file from `file` (opened for binary reading): file
// header recognised, body read and expanded. Null on any failure; sets no
// error code, but `problem`, when given, says why. The file stays open.
// `mode` other than CONTAINER_READ prepares a container for writing instead,
// like container_create. With `map` a large file is mapped rather than
// read (see ByteBuffer::map_file), and a plain body stays the file's pages.
std::unique_ptr<FileContainer> container_open(std::FILE* file, int32_t mode, char compression,
                                              int32_t wide_header, LoadProblem* problem = nullptr,
                                              bool map = false) noexcept;

// Loads a token file held in memory; the container takes the bytes over.
std::unique_ptr<FileContainer> container_load(std::vector<uint8_t>&& file_bytes,
                                              LoadProblem* problem = nullptr) noexcept;

// Prepares a container for writing with an empty body. `compression` is 'B'
// or 'F' for a compressed file; any other value means none. Null when out of
// memory.
std::unique_ptr<FileContainer> container_create(std::FILE* file, char compression,
                                                int32_t wide_header) noexcept;

// Finishes a container. For one opened for writing: compresses the body if
// asked and writes the file header and the body to its file. Non-zero on
// success; zero when compression or a write failed. The container is released
// in every case and the file is left open.
[[nodiscard]] int32_t container_close(std::unique_ptr<FileContainer> container) noexcept;

// As container_close for a writing container, but the file's bytes (header
// and body) go to `out` instead of a file.
[[nodiscard]] int32_t container_close_to_bytes(std::unique_ptr<FileContainer> container,
                                               std::vector<uint8_t>& out) noexcept;

// Copies min(count, body_size - body_pos) bytes and advances; never fails.
uint32_t container_read(FileContainer& c, void* destination, uint32_t count) noexcept;

// Writes the file header (the first time) and the body held to the file of
// a streaming container and empties the memory for what follows. A failed
// write is kept in stream_error; false when there is one.
// `last` ends a compressed body and fills in the header's size field.
bool container_flush(FileContainer& c, bool last = false) noexcept;

// Copies count bytes at body_pos, growing the body when they reach past its
// end (amortised: storage grows geometrically). Returns count, or
// CONTAINER_FAILED with the body unchanged when it cannot grow. In-line: the
// binary writer appends through it value by value.
inline uint32_t container_write(FileContainer& c, const void* source, uint32_t count) noexcept {
  if (count == 0) return 0;
  const uint64_t end = static_cast<uint64_t>(c.body_pos) + count;
  if (end > 0xFFFFFFFFu) return CONTAINER_FAILED;
  if (end > c.body_size) {
    if (c.streams && end - c.flushed > c.hold && c.body_pos == c.body_size) container_flush(c);
    if (!c.storage.resize(c.body_base + end - c.flushed)) return CONTAINER_FAILED;
    c.body_size = static_cast<uint32_t>(end);
  }
  std::memcpy(c.body() + (c.body_pos - c.flushed), source, count);
  c.body_pos = static_cast<uint32_t>(end);
  return count;
}

// Stores `value` little-endian at body offset `at` (at + 4 <= body_size),
// in the file when a streaming container has written that part already (a
// failed write kept in stream_error).
void container_patch_u32(FileContainer& c, uint32_t at, uint32_t value) noexcept;

// How far behind the position a mapped body stays mapped (tests make it
// small).
inline uint32_t container_release_step = uint32_t{4} << 20;

// Hands back the pages of a mapped body well behind body_pos (see
// release_at); readers call container_note_position as they move on.
void container_release_behind(FileContainer& c) noexcept;
inline void container_note_position(FileContainer& c) noexcept {
  if (c.body_pos >= c.release_at) container_release_behind(c);
}

// Moves body_pos to offset from ORIGIN_START, ORIGIN_END or ORIGIN_CURRENT
// (a negative offset given as its two's complement). Returns the new
// position, or CONTAINER_FAILED with body_pos unchanged when the target,
// taken as unsigned, lies past body_size.
uint32_t container_seek(FileContainer& c, int32_t offset, int32_t origin) noexcept;

}  // namespace tokenfile
