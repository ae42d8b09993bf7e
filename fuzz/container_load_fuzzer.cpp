// Any bytes as a token file: the file header forms (8-bit, UTF-16, none),
// the compressions '@', 'F' and 'B', forged size fields. A file that loads
// is read to the end of its body through container_read and the seeks; a
// compressed body is saved again and must load back to the same bytes; the
// stream header line is checked by opening a stream on the file.
#include <cstdio>
#include <cstring>

#include "fuzz_support.h"
#include "tokenfile/file_container.h"

using namespace tokenfile;
using fuzzsupport::Bytes;

namespace {

// Largest body that is saved again: compression costs time per byte, and a
// forged size field can legitimately expand a small 'F' file a thousandfold.
constexpr uint32_t kMaxResave = 1u << 20;

Bytes body_of(const FileContainer& c) { return Bytes(c.body(), c.body() + c.body_size); }

// Reads the body in pieces of changing size; the pieces must add up to it.
void read_to_end(FileContainer& c) {
  const Bytes expected = body_of(c);
  FUZZ_CHECK(c.body_pos == 0);
  Bytes got;
  const uint32_t steps[] = {1, 3, 4096, 16, 2};
  for (size_t i = 0;; ++i) {
    uint8_t piece[4096];
    const uint32_t want = steps[i % 5];
    const uint32_t n = container_read(c, piece, want);
    FUZZ_CHECK(n <= want);
    got.insert(got.end(), piece, piece + n);
    if (n < want) break;
  }
  FUZZ_CHECK(got == expected);
  FUZZ_CHECK(c.body_pos == c.body_size);
  uint8_t byte;
  FUZZ_CHECK(container_read(c, &byte, 1) == 0);
  // Moves past either end are refused and leave the position alone.
  FUZZ_CHECK(container_seek(c, 1, ORIGIN_CURRENT) == CONTAINER_FAILED);
  FUZZ_CHECK(container_seek(c, 0, ORIGIN_START) == 0);
  FUZZ_CHECK(container_seek(c, -1, ORIGIN_CURRENT) == CONTAINER_FAILED);
  FUZZ_CHECK(c.body_pos == 0);
  FUZZ_CHECK(container_seek(c, 0, ORIGIN_END) == c.body_size);
}

// Saves a loaded body again with its own compression and header form; the
// saved file must load to the same body.
void resave(const FileContainer& c) {
  if (c.body_size > kMaxResave) return;
  auto w = container_create(nullptr, c.compression(), c.wide_header);
  FUZZ_CHECK(w != nullptr);
  FUZZ_CHECK(container_write(*w, c.body(), c.body_size) == c.body_size);
  Bytes saved;
  FUZZ_CHECK(container_close_to_bytes(std::move(w), saved) != 0);
  auto again = container_load(std::move(saved));
  FUZZ_CHECK(again != nullptr);
  FUZZ_CHECK(body_of(*again) == body_of(c));
  FUZZ_CHECK(again->compression() == c.compression());
  FUZZ_CHECK(again->wide_header == c.wide_header);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::acquire_dictionary_once();
  const Bytes file = fuzzsupport::exact_copy(data, size);
  auto c = container_load(Bytes(file));

  // Loading through a file handle decides the same way and yields the same
  // body.
  if (size != 0) {
    Bytes backing = file;
    std::FILE* f = fmemopen(backing.data(), backing.size(), "rb");
    FUZZ_CHECK(f != nullptr);
    auto from_file = container_open(f, CONTAINER_READ, 0, 0);
    std::fclose(f);
    FUZZ_CHECK((from_file != nullptr) == (c != nullptr));
    if (c) FUZZ_CHECK(body_of(*from_file) == body_of(*c));
  }
  if (!c) return 0;
  FUZZ_CHECK(c->body_size == c->storage.size() - c->body_base);
  read_to_end(*c);
  resave(*c);

  auto stream = token_stream_open_memory(Bytes(file), STREAM_READ, 0, 0);
  if (stream) fuzzsupport::walk_to_end(*stream, c->body_size);
  return 0;
}
