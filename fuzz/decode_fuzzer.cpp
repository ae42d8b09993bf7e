// Decoding: fuzzed bytes read as a run-time map (any header form,
// compression and encoding) and written back in source form, as
// `mapbake --decode` writes it. No input may crash it or make it hang; when
// it succeeds, the source bakes, and the baked map decodes to the same
// source again. The same decode with --compress=B and =F writes a file that
// unpacks to the same body; with --utf8 it succeeds only where the UTF-16
// decode does, and that source in UTF-8 bakes to the same map.
#include <string>

#include "app/console.h"
#include "app/convert.h"
#include "app/decode.h"
#include "app/reporter.h"
#include "fuzz_support.h"
#include "tokenfile/container.h"
#include "tokenfile/dictionary.h"

using namespace tokenfile;
using fuzzsupport::Bytes;

namespace {

class QuietConsole final : public mapbake::Console {
 public:
  void print(mapbake::Channel, std::string_view) noexcept override {}
};

// The file `in` converted by decoding or baking into `flags` (an encoding,
// STREAM_UTF8 for a decode in UTF-8) with `compression`; false when that
// fails.
bool transform(const Bytes& in, bool decode, uint32_t flags, Bytes& out, char16_t compression = u'@') {
  auto source = token_stream_open_memory(Bytes(in), STREAM_READ, 0, 0);
  if (!source) return false;
  auto target = token_stream_open(nullptr, STREAM_WRITE | flags, u'i', u'0', compression);
  FUZZ_CHECK(target != nullptr);
  QuietConsole console;
  mapbake::Reporter reporter(console, "fuzz", mapbake::DiagnosticOptions{});
  const bool utf8 = (flags & STREAM_UTF8) != 0;
  const bool ok = decode ? mapbake::decode_input_map(*source, *target, console, reporter, utf8) != 0
                         : mapbake::convert_input_map(*source, *target, console, reporter, false) != 0;
  FUZZ_CHECK(token_stream_close_to_bytes(std::move(target), out) != 0);
  return ok;
}

Bytes body_of(const Bytes& file) {
  Bytes body;
  FUZZ_CHECK(container_unpack(file, body) != 0);
  return body;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool dictionary = acquire_token_dictionary() != 0;
  FUZZ_CHECK(dictionary);
  const Bytes file(data, data + size);
  Bytes decoded, baked, again, utf8, utf8_baked;
  const bool in_utf8 = transform(file, true, STREAM_TEXT | STREAM_UTF8, utf8);
  if (!transform(file, true, STREAM_TEXT, decoded)) {
    FUZZ_CHECK(!in_utf8);
    return 0;
  }
  FUZZ_CHECK(transform(decoded, false, STREAM_BINARY, baked));
  FUZZ_CHECK(transform(baked, true, STREAM_TEXT, again));
  FUZZ_CHECK(again == decoded);
  if (in_utf8) {
    FUZZ_CHECK(transform(utf8, false, STREAM_BINARY, utf8_baked));
    FUZZ_CHECK(utf8_baked == baked);
  }
  for (const char16_t compression : {u'B', u'F'}) {
    Bytes packed;
    FUZZ_CHECK(transform(file, true, STREAM_TEXT, packed, compression));
    FUZZ_CHECK(body_of(packed) == body_of(decoded));
  }
  return 0;
}
