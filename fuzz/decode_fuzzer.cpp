// Decoding: fuzzed bytes read as a run-time map (any header form,
// compression and encoding) and written back in source form. No input may
// crash it or make it hang; when it succeeds, the source bakes, and the
// baked map decodes to the same source again.
#include <string>

#include "app/console.h"
#include "app/convert.h"
#include "app/decode.h"
#include "app/reporter.h"
#include "fuzz_support.h"
#include "tokenfile/dictionary.h"

using namespace tokenfile;
using fuzzsupport::Bytes;

namespace {

class QuietConsole final : public mapbake::Console {
 public:
  void print(mapbake::Channel, std::string_view) noexcept override {}
};

// The file `in` converted by decoding or baking into `encoding`; false when
// that fails.
bool transform(const Bytes& in, bool decode, uint32_t encoding, Bytes& out) {
  auto source = token_stream_open_memory(Bytes(in), STREAM_READ, 0, 0);
  if (!source) return false;
  auto target = token_stream_open(nullptr, STREAM_WRITE | encoding, u'i', u'0', u'@');
  FUZZ_CHECK(target != nullptr);
  QuietConsole console;
  mapbake::Reporter reporter(console, "fuzz", mapbake::DiagnosticOptions{});
  const bool ok = decode ? mapbake::decode_input_map(*source, *target, console, reporter) != 0
                         : mapbake::convert_input_map(*source, *target, console, reporter, false) != 0;
  FUZZ_CHECK(token_stream_close_to_bytes(std::move(target), out) != 0);
  return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool dictionary = acquire_token_dictionary() != 0;
  FUZZ_CHECK(dictionary);
  Bytes decoded, baked, again;
  if (!transform(Bytes(data, data + size), true, STREAM_TEXT, decoded)) return 0;
  FUZZ_CHECK(transform(decoded, false, STREAM_BINARY, baked));
  FUZZ_CHECK(transform(baked, true, STREAM_TEXT, again));
  FUZZ_CHECK(again == decoded);
  return 0;
}
