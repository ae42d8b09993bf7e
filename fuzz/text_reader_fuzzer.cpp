// The text reader over a fuzzed body. Input: one byte k, then k & 0x7F
// operation bytes (fuzz_support.h: the low four bits choose the read
// operation, the high four a capacity or count), then the body. Without the
// high bit of k the body is UTF-16LE bytes (an odd last byte included),
// which follows a valid file header and text stream header line; with it
// the body is the whole file, read as a source in UTF-8 (one that is not
// must fail to open, or open as a token file). After the operations the
// rest of the body is walked to its end, and a second stream on the same
// file is read whole, every value with each read operation, within the
// work bound of fuzz_support.h. Blocks read are written into a
// text writer, whose file is then opened and walked as well.
#include "fuzz_support.h"
#include "tokenfile/text/text_stream.h"

using namespace tokenfile;
using fuzzsupport::Bytes;

namespace {

// The nesting never goes below the top level, and the lexeme held is never
// longer than the longest lexeme.
void check_text_state(const TokenStream& s) {
  const auto& t = static_cast<const TextTokenStream&>(s);
  FUZZ_CHECK(t.depth >= 0);
  FUZZ_CHECK(t.lexeme.size <= kMaxLexemeChars);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::acquire_dictionary_once();
  fuzzsupport::Cursor in(data, size);
  const uint8_t k = in.u8();
  const bool utf8 = (k & 0x80) != 0;
  const Bytes ops = in.take(k & 0x7F);
  const Bytes body = in.rest();
  const Bytes file = utf8 ? body : fuzzsupport::text_file_around(body);
  auto stream = token_stream_open_memory(file, STREAM_READ, 0, 0);
  if (utf8 && (stream == nullptr || !(token_stream_flags(*stream) & STREAM_TEXT))) return 0;
  FUZZ_CHECK(stream != nullptr);
  FUZZ_CHECK(token_stream_flags(*stream) & STREAM_TEXT);
  auto whole = token_stream_open_memory(file, STREAM_READ, 0, 0);
  FUZZ_CHECK(whole != nullptr);
  (void)fuzzsupport::read_everything(*whole);
  auto sink = token_stream_open(nullptr, STREAM_WRITE | STREAM_TEXT, u'i', u'0', u'@');
  FUZZ_CHECK(sink != nullptr);

  fuzzsupport::run_read_ops(*stream, ops, body.size(), sink.get(), check_text_state);

  Bytes copied;
  FUZZ_CHECK(token_stream_close_to_bytes(std::move(sink), copied) != 0);
  const size_t copied_size = copied.size();
  auto again = token_stream_open_memory(std::move(copied), STREAM_READ, 0, 0);
  FUZZ_CHECK(again != nullptr);
  fuzzsupport::walk_to_end(*again, copied_size);
  return 0;
}
