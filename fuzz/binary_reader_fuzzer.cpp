// The binary reader over a fuzzed body. Input: one byte k, then k operation
// bytes (fuzz_support.h: the low four bits choose the read operation, the
// high four a capacity or count), then the body, which follows a valid file
// header and binary stream header line. After the operations the rest of the
// body is walked to its end, and a second stream on the same file is read
// whole, every value with each read operation, within the work bound of
// fuzz_support.h. Blocks read are written into a binary writer;
// that file must then hold exactly the blocks, one complete token each.
#include "fuzz_support.h"
#include "tokenfile/binary/binary_stream.h"
#include "tokenfile/stream_internals.h"

using namespace tokenfile;
using fuzzsupport::Bytes;
using SI = tokenfile::StreamInternals;

namespace {

// block_end names the end of the innermost open token, 0 at the top level.
void check_binary_state(const TokenStream& s) {
  const auto& b = static_cast<const BinaryTokenStream&>(s);
  FUZZ_CHECK(b.block_end == (SI::open_tokens(b).empty() ? 0 : SI::open_tokens(b).back()));
}

size_t top_level_tokens(TokenStream& s) {
  size_t count = 0;
  uint32_t id;
  while (s.read_token_open(id, nullptr)) {
    ++count;
    FUZZ_CHECK(s.read_token_close() != 0);
  }
  FUZZ_CHECK(token_error == ERR_END_OF_DATA);
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::Cursor in(data, size);
  const Bytes ops = in.take(in.u8());
  const Bytes body = in.rest();
  const Bytes file = fuzzsupport::binary_file_around(body);
  auto whole = token_stream_open_memory(file, STREAM_READ, 0, 0);
  FUZZ_CHECK(whole != nullptr);
  (void)fuzzsupport::read_everything(*whole);
  auto stream = token_stream_open_memory(file, STREAM_READ, 0, 0);
  FUZZ_CHECK(stream != nullptr);
  FUZZ_CHECK(SI::flags(*stream) & STREAM_BINARY);
  auto sink = token_stream_open(nullptr, STREAM_WRITE | STREAM_BINARY, u'i', u'0', u'@');
  FUZZ_CHECK(sink != nullptr);
  auto& sink_state = static_cast<BinaryTokenStream&>(*sink);

  fuzzsupport::run_read_ops(*stream, ops, body.size(), sink.get(), check_binary_state);
  FUZZ_CHECK(SI::open_tokens(sink_state).empty());

  // Count the blocks by their images: the writer appended them one after
  // another behind the 16-byte header line.
  const uint32_t written = SI::position(sink_state) - 16;
  Bytes copied;
  FUZZ_CHECK(token_stream_close_to_bytes(std::move(sink), copied) != 0);
  auto again = token_stream_open_memory(std::move(copied), STREAM_READ, 0, 0);
  FUZZ_CHECK(again != nullptr);
  const size_t tokens = top_level_tokens(*again);
  FUZZ_CHECK((tokens == 0) == (written == 0));
  FUZZ_CHECK(SI::position(*again) == 16 + written);
  return 0;
}
