// The file container: loading, saving and the three body operations.
#include "tokenfile/file_container.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>

#include "tokenfile/byte_order.h"
#include "tokenfile/huffman.h"
#include "tokenfile/token_error.h"

namespace tokenfile {
namespace {

constexpr uint8_t kMagic[5] = {'T', 'O', 'R', 'V', 'I'};
constexpr uint32_t kNarrowHeaderSize = 16;
constexpr uint32_t kWideHeaderSize = 34;  // byte-order mark and 16 UTF-16 units
constexpr uint64_t kMaxBody = std::numeric_limits<uint32_t>::max();
constexpr off_t kMapFrom = off_t{256} << 10;

// zlib cannot expand one input byte into more than about 1032 output bytes
// (a 258-byte match in two bits); a size field beyond that bound is forged.
constexpr uint64_t kZlibMaxRatio = 1032;

bool has_wide_magic(const uint8_t* f, size_t size) {
  if (size < 12 || f[0] != 0xFF || f[1] != 0xFE) return false;
  for (int i = 0; i < 5; ++i)
    if (f[2 + 2 * i] != kMagic[i] || f[3 + 2 * i] != 0) return false;
  return true;
}

bool expand_zlib(FileContainer& c, const uint8_t* packed, uint32_t packed_size, LoadProblem& problem) {
  const uint32_t n = load_u32le(c.header + 8);
  if (n == 0 || n > static_cast<uint64_t>(packed_size) * kZlibMaxRatio)
    return problem = LoadProblem::ForgedSize, false;
  ByteBuffer body;
  if (!body.resize(n)) return problem = LoadProblem::OutOfMemory, false;
  uLongf produced = n;
  const int result = uncompress(body.data(), &produced, packed, packed_size);
  if (result == Z_MEM_ERROR) return problem = LoadProblem::OutOfMemory, false;
  // zlib says Z_BUF_ERROR when the body holds more than the size field.
  if (result == Z_BUF_ERROR || (result == Z_OK && produced != n))
    return problem = LoadProblem::ForgedSize, false;
  if (result != Z_OK) return problem = LoadProblem::DamagedBody, false;
  c.storage = std::move(body);
  c.body_base = 0;
  c.body_size = n;
  return true;
}

bool expand_huffman(FileContainer& c, const uint8_t* packed, uint32_t packed_size, LoadProblem& problem) {
  problem = LoadProblem::DamagedBody;
  if (packed_size <= HUFFMAN_TABLE_SIZE) return false;  // table cut short, or no code words
  const uint32_t size_field = load_u32le(c.header + 8);
  // A size field of 308 announces an empty body, which loads no more than
  // an empty plain or zlib body does.
  if (size_field <= HUFFMAN_TABLE_SIZE) return problem = LoadProblem::ForgedSize, false;
  const uint32_t n = size_field - HUFFMAN_TABLE_SIZE;
  const uint8_t* words = packed + HUFFMAN_TABLE_SIZE;
  const uint32_t words_size = packed_size - HUFFMAN_TABLE_SIZE;
  // Every code is at least one bit long, so a 32-bit word (a partial last
  // word counts as whole) yields at most 32 bytes of body: a larger size
  // field is forged.
  if (n > (static_cast<uint64_t>(words_size) + 3) / 4 * 32) return problem = LoadProblem::ForgedSize, false;
  ByteBuffer body;
  if (!body.resize(n)) return problem = LoadProblem::OutOfMemory, false;
  // Fewer bytes than the size field says is a damaged table or a forged size;
  // the words cannot tell which.
  if (huffman_expand(packed, words, words_size, body.data(), n) != static_cast<int64_t>(n)) return false;
  c.storage = std::move(body);
  c.body_base = 0;
  c.body_size = n;
  return true;
}

// Compresses the body if the header asks for it, filling in the size field.
// An empty body is saved uncompressed: there is nothing to compress. Out of
// memory, token_error says so.
bool compress_body(FileContainer& c) {
  const char compression = c.compression();
  if (compression != COMPRESSION_HUFFMAN && compression != COMPRESSION_ZLIB) return true;
  if (c.body_size == 0) {
    c.header[7] = '@';
    std::memset(c.header + 8, '@', 4);
    return true;
  }
  ByteBuffer packed;
  uint32_t size_field = 0;
  if (compression == COMPRESSION_HUFFMAN) {
    if (c.body_size > kMaxBody - HUFFMAN_TABLE_SIZE) return false;
    std::vector<uint8_t> words;
    if (!huffman_compress(c.body(), c.body_size, words)) return token_error = ERR_NO_MEMORY, false;
    packed = ByteBuffer(std::move(words));
    size_field = c.body_size + HUFFMAN_TABLE_SIZE;
  } else {
    // compressBound leaves room for incompressible bodies too.
    uLongf room = compressBound(c.body_size);
    if (!packed.resize(room)) return token_error = ERR_NO_MEMORY, false;
    const int result = compress(packed.data(), &room, c.body(), c.body_size);
    if (result == Z_MEM_ERROR) token_error = ERR_NO_MEMORY;
    if (result != Z_OK) return false;
    if (!packed.resize(room)) return false;  // shrinking never fails
    size_field = c.body_size;
  }
  if (packed.size() > kMaxBody) return false;
  store_u32le(c.header + 8, size_field);
  c.storage = std::move(packed);
  c.body_base = 0;
  c.body_size = static_cast<uint32_t>(c.storage.size());
  c.body_pos = 0;
  return true;
}

// The file header as it goes to the file; returns its length.
uint32_t encode_header(const FileContainer& c, uint8_t (&out)[kWideHeaderSize]) {
  if (!c.wide_header) {
    std::memcpy(out, c.header, kNarrowHeaderSize);
    return kNarrowHeaderSize;
  }
  out[0] = 0xFF;
  out[1] = 0xFE;
  for (uint32_t i = 0; i < 16; ++i) {
    out[2 + 2 * i] = c.header[i];
    out[3 + 2 * i] = 0;
  }
  return kWideHeaderSize;
}

// Loads a whole token file held in `file_bytes`, which the container takes
// over: a plain body stays where it is, behind its file header.
std::unique_ptr<FileContainer> load_file(ByteBuffer&& file_bytes, LoadProblem& problem) noexcept {
  std::unique_ptr<FileContainer> c(new (std::nothrow) FileContainer);
  if (!c) return problem = LoadProblem::OutOfMemory, nullptr;
  c->mode = CONTAINER_READ;
  ByteBuffer f = std::move(file_bytes);

  uint32_t header_size = 0;
  if (has_wide_magic(f.data(), f.size())) {
    if (f.size() < kWideHeaderSize) return problem = LoadProblem::HeaderCut, nullptr;
    for (uint32_t i = 0; i < 16; ++i) c->header[i] = f.data()[2 + 2 * i];
    c->wide_header = 1;
    header_size = kWideHeaderSize;
  } else if (f.size() >= 5 && std::equal(kMagic, kMagic + 5, f.data())) {
    if (f.size() < kNarrowHeaderSize) return problem = LoadProblem::HeaderCut, nullptr;
    std::memcpy(c->header, f.data(), kNarrowHeaderSize);
    header_size = kNarrowHeaderSize;
  } else {
    // Headerless: the whole file is an uncompressed body.
    std::memset(c->header, '@', sizeof c->header);
  }
  const char compression = c->compression();
  if (compression != COMPRESSION_NONE && compression != COMPRESSION_HUFFMAN &&
      compression != COMPRESSION_ZLIB)
    return problem = LoadProblem::UnknownCompression, nullptr;
  if (f.size() - header_size > kMaxBody) return problem = LoadProblem::TooLarge, nullptr;
  const uint32_t stored_size = static_cast<uint32_t>(f.size() - header_size);
  if (stored_size == 0) return problem = header_size == 0 ? LoadProblem::Empty : LoadProblem::NoBody, nullptr;

  c->header_bytes = header_size;
  if (compression == COMPRESSION_NONE) {
    c->storage = std::move(f);
    c->body_base = header_size;
    c->body_size = stored_size;
  } else if (compression == COMPRESSION_ZLIB) {
    if (!expand_zlib(*c, f.data() + header_size, stored_size, problem)) return nullptr;
  } else {
    if (!expand_huffman(*c, f.data() + header_size, stored_size, problem)) return nullptr;
  }
  c->body_pos = 0;
  return c;
}

}  // namespace

std::unique_ptr<FileContainer> container_load(std::vector<uint8_t>&& file_bytes,
                                              LoadProblem* problem) noexcept {
  LoadProblem ignored;
  return load_file(ByteBuffer(std::move(file_bytes)), problem ? *problem : ignored);
}

std::unique_ptr<FileContainer> container_create(std::FILE* file, char compression,
                                                int32_t wide_header) noexcept {
  std::unique_ptr<FileContainer> c(new (std::nothrow) FileContainer);
  if (!c) return nullptr;
  c->file = file;
  c->mode = CONTAINER_WRITE;
  c->wide_header = wide_header;
  std::memcpy(c->header, "TORVIA@@@@@@@@@@", 16);
  if (compression == COMPRESSION_HUFFMAN || compression == COMPRESSION_ZLIB)
    c->header[7] = static_cast<uint8_t>(compression);
  return c;
}

std::unique_ptr<FileContainer> container_open(std::FILE* file, int32_t mode, char compression,
                                              int32_t wide_header, LoadProblem* problem, bool map) noexcept {
  if (mode != CONTAINER_READ) return container_create(file, compression, wide_header);
  LoadProblem ignored;
  LoadProblem& why = problem ? *problem : ignored;
  why = LoadProblem::Unreadable;
  if (file == nullptr) return nullptr;
  if (fseeko(file, 0, SEEK_END) != 0) return nullptr;
  const off_t length = ftello(file);
  if (length < 0) return nullptr;
  if (static_cast<uint64_t>(length) > kMaxBody + kWideHeaderSize) return why = LoadProblem::TooLarge, nullptr;
  if (fseeko(file, 0, SEEK_SET) != 0) return nullptr;
  // A mapped file costs no copy and no fresh memory: its pages are the page
  // cache's. Small files are read (a mapping costs more than the copy), and
  // so is any file that cannot be mapped; straight into fresh memory,
  // nothing zero-filled first.
  ByteBuffer bytes;
  if (map && length >= kMapFrom) bytes = ByteBuffer::map_file(fileno(file), static_cast<size_t>(length));
  if (bytes.size() == 0) {
    if (!bytes.resize(static_cast<size_t>(length))) return why = LoadProblem::OutOfMemory, nullptr;
    if (length != 0 && std::fread(bytes.data(), 1, bytes.size(), file) != bytes.size()) return nullptr;
  }
  why = LoadProblem::None;
  auto c = load_file(std::move(bytes), why);
  if (c) c->file = file;
  if (c && c->storage.file_mapped()) c->release_at = 0;  // a plain body read from the file's own pages
  return c;
}

namespace {

void keep_stream_error(FileContainer& c) noexcept {
  if (c.stream_error == 0) c.stream_error = errno != 0 ? errno : EIO;
}

}  // namespace

struct Deflater {
  z_stream z{};
  uint64_t packed = 0;  // bytes of compressed body written
};

void DeflaterDeleter::operator()(Deflater* d) const noexcept {
  deflateEnd(&d->z);  // harmless on a stream never initialised
  delete d;
}

namespace {

// Compresses `n` bytes (with Z_FINISH: and ends the body) into the file.
bool deflate_out(FileContainer& c, const uint8_t* bytes, uint32_t n, int flush) noexcept {
  Deflater& d = *c.deflater;
  uint8_t out[64 * 1024];
  d.z.next_in = const_cast<uint8_t*>(bytes);
  d.z.avail_in = n;
  int result = Z_OK;
  do {
    d.z.next_out = out;
    d.z.avail_out = sizeof out;
    result = deflate(&d.z, flush);
    if (result == Z_STREAM_ERROR) return errno = EIO, false;
    const size_t made = sizeof out - d.z.avail_out;
    d.packed += made;
    if (d.packed > kMaxBody) return errno = EFBIG, false;
    if (made != 0 && std::fwrite(out, 1, made, c.file) != made) return false;
  } while (d.z.avail_out == 0 || (flush == Z_FINISH && result != Z_STREAM_END));
  return true;
}

}  // namespace

bool container_flush(FileContainer& c, bool last) noexcept {
  if (c.file == nullptr) return false;
  const bool zlib = c.compression() == COMPRESSION_ZLIB;
  if (c.stream_error == 0 && !c.header_out) {
    c.header_out = true;
    uint8_t header[kWideHeaderSize];
    const uint32_t header_size =
        encode_header(c, header);  // a compressed one's size field follows at the end
    if (zlib) {
      c.deflater.reset(new (std::nothrow) Deflater);
      if (!c.deflater || deflateInit(&c.deflater->z, Z_DEFAULT_COMPRESSION) != Z_OK) c.stream_error = ENOMEM;
    }
    if (c.stream_error == 0 && std::fwrite(header, 1, header_size, c.file) != header_size)
      keep_stream_error(c);
  }
  // A compressed body goes out up to the head of a token still open; the
  // rest moves to the front of the memory it is in.
  const uint32_t held = c.body_size - c.flushed;
  const uint32_t out =
      zlib && !last ? std::min(c.body_size, std::max(c.keep_from, c.flushed)) - c.flushed : held;
  if (!last && out < held / 2) {
    c.hold = held < 0x7FFFFFFFu ? 2 * held : 0xFFFFFFFFu;  // tried again when twice as much is held
    return c.stream_error == 0;
  }
  if (c.stream_error == 0) {
    const bool written = zlib ? deflate_out(c, c.body(), out, last ? Z_FINISH : Z_NO_FLUSH)
                              : out == 0 || std::fwrite(c.body(), 1, out, c.file) == out;
    if (!written) keep_stream_error(c);
  }
  // The same memory takes the next chunk: no fresh pages for the rest.
  if (out < held) std::memmove(c.body(), c.body() + out, held - out);
  (void)c.storage.resize(c.body_base + held - out);  // shrinking never fails
  c.flushed += out;
  c.hold = container_stream_chunk;
  if (zlib && last && c.stream_error == 0) {
    // The size field: the length of the body expanded.
    store_u32le(c.header + 8, c.body_size);
    uint8_t header[kWideHeaderSize];
    const uint32_t header_size = encode_header(c, header);
    if (std::fflush(c.file) != 0 || fseeko(c.file, 0, SEEK_SET) != 0 ||
        std::fwrite(header, 1, header_size, c.file) != header_size || fseeko(c.file, 0, SEEK_END) != 0)
      keep_stream_error(c);
  }
  return c.stream_error == 0;
}

void container_release_behind(FileContainer& c) noexcept {
  // A step behind the position stays mapped: what a message quotes of the
  // lines just read costs no fault.
  const uint32_t kStep = container_release_step;
  c.release_at = c.body_pos > CONTAINER_KEEP_NONE - kStep ? CONTAINER_KEEP_NONE : c.body_pos + kStep;
  if (!c.storage.file_mapped() || c.body_pos < kStep) return;
  const uint32_t upto = c.body_pos - kStep;
  if (upto > c.released) c.storage.release_pages(c.body_base + c.released, c.body_base + upto);
  c.released = std::max(c.released, upto);
}

void container_patch_u32(FileContainer& c, uint32_t at, uint32_t value) noexcept {
  if (at >= c.flushed) return store_u32le(c.body() + (at - c.flushed), value);
  if (c.stream_error != 0) return;
  // A large token whose head went out already: patched in the file.
  uint8_t bytes[4];
  store_u32le(bytes, value);
  uint8_t header[kWideHeaderSize];
  const off_t offset = static_cast<off_t>(encode_header(c, header)) + at;
  if (std::fflush(c.file) != 0 || fseeko(c.file, offset, SEEK_SET) != 0 ||
      std::fwrite(bytes, 1, 4, c.file) != 4 || fseeko(c.file, 0, SEEK_END) != 0)
    keep_stream_error(c);
}

int32_t container_close(std::unique_ptr<FileContainer> container) noexcept {
  if (!container) return 0;
  if (container->mode == CONTAINER_READ) return 1;
  if (container->streams) {
    if (container_flush(*container, true)) return 1;
    errno = container->stream_error;  // what the caller reports
    return 0;
  }
  if (container->file == nullptr || !compress_body(*container)) return 0;
  uint8_t header[kWideHeaderSize];
  const uint32_t header_size = encode_header(*container, header);
  if (std::fwrite(header, 1, header_size, container->file) != header_size) return 0;
  if (container->body_size != 0 &&
      std::fwrite(container->body(), 1, container->body_size, container->file) != container->body_size)
    return 0;
  return 1;
}

int32_t container_close_to_bytes(std::unique_ptr<FileContainer> container,
                                 std::vector<uint8_t>& out) noexcept {
  if (!container || container->mode == CONTAINER_READ) return 0;
  if (!compress_body(*container)) return 0;
  uint8_t header[kWideHeaderSize];
  const uint32_t header_size = encode_header(*container, header);
  try {
    const size_t total = static_cast<size_t>(header_size) + container->body_size;
    out.clear();
    if (out.capacity() < total) {
      std::vector<uint8_t>().swap(out);
      out.reserve(total);
    }
    out.insert(out.end(), header, header + header_size);
    out.insert(out.end(), container->body(), container->body() + container->body_size);
  } catch (const std::bad_alloc&) {
    return token_error = ERR_NO_MEMORY, 0;
  }
  return 1;
}

uint32_t container_read(FileContainer& c, void* destination, uint32_t count) noexcept {
  const uint32_t n = std::min(count, c.body_size - c.body_pos);
  if (n != 0) std::memcpy(destination, c.body() + c.body_pos, n);
  c.body_pos += n;
  return n;
}

uint32_t container_seek(FileContainer& c, int32_t offset, int32_t origin) noexcept {
  uint32_t base = 0;
  if (origin == ORIGIN_END) {
    base = c.body_size;
  } else if (origin == ORIGIN_CURRENT) {
    base = c.body_pos;
  }
  // Wrapping unsigned arithmetic: a target before 0 becomes huge and fails.
  const uint32_t target = base + static_cast<uint32_t>(offset);
  if (target > c.body_size) return CONTAINER_FAILED;
  c.body_pos = target;
  return target;
}

}  // namespace tokenfile
