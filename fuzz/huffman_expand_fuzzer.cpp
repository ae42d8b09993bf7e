// The Huffman coder both ways. The first byte chooses:
//   even: a fuzzed 308-byte table and code words are expanded into a buffer
//         of a fuzzed length n; the result is -1 or at most n, and n bytes
//         that come out must survive compression and expansion unchanged;
//   odd:  the rest of the input is a body; it is compressed (within the
//         stated bound, with a table whose fields describe the output) and
//         expanded back to itself.
#include "fuzz_support.h"
#include "tokenfile/byte_order.h"
#include "tokenfile/huffman.h"

using namespace tokenfile;
using fuzzsupport::Bytes;

namespace {

// Compresses a body and expands it again; both must agree with it.
void round_trip(const Bytes& body) {
  const uint32_t n = static_cast<uint32_t>(body.size());
  Bytes packed;
  FUZZ_CHECK(huffman_compress(body.data(), n, packed));
  FUZZ_CHECK(packed.size() >= HUFFMAN_TABLE_SIZE);
  FUZZ_CHECK(packed.size() <= huffman_compress_bound(n));
  FUZZ_CHECK((packed.size() - HUFFMAN_TABLE_SIZE) % 4 == 0);
  FUZZ_CHECK(load_u32le(packed.data()) == packed.size() - HUFFMAN_TABLE_SIZE);
  FUZZ_CHECK(load_u32le(packed.data() + 4) == n);
  uint64_t codes = 0;
  uint64_t slots = 0;
  for (uint32_t d = 1; d <= HUFFMAN_MAX_BITS; ++d) {
    const uint32_t count = load_u32le(packed.data() + 4 + 4 * d);
    codes += count;
    slots += uint64_t{count} << (HUFFMAN_MAX_BITS - d);
  }
  FUZZ_CHECK(codes == 257);
  FUZZ_CHECK(slots == 2048);
  // The words copied to a buffer of their exact size.
  const Bytes words(packed.begin() + HUFFMAN_TABLE_SIZE, packed.end());
  Bytes out(n);
  FUZZ_CHECK(huffman_expand(packed.data(), words.data(), words.size(), out.data(), n) == n);
  FUZZ_CHECK(out == body);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::Cursor in(data, size);
  const uint8_t mode = in.u8();
  if (mode & 1) {
    const Bytes body = in.rest();
    if (!body.empty()) round_trip(body);
    return 0;
  }
  // Lengths up to 64 KiB: beyond what the input's code words can hold (at
  // most eight symbols a byte), so that data ending early is met as often
  // as data that holds too much.
  const uint32_t n = in.u16();
  const Bytes table = in.take(HUFFMAN_TABLE_SIZE);
  if (table.size() < HUFFMAN_TABLE_SIZE) return 0;
  const Bytes words = in.rest();
  Bytes out(n);
  const int64_t produced = huffman_expand(table.data(), words.data(), words.size(), out.data(), n);
  FUZZ_CHECK(produced >= -1 && produced <= static_cast<int64_t>(n));
  if (produced == n && n != 0) round_trip(out);
  return 0;
}
