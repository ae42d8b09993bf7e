// The print path: fuzzed bytes opened as a token file in memory (any header
// form, compression and encoding) and printed as `mapbake --print` and
// `mapbake --print --decode` print it. No input may crash it or make it
// hang. Standard output is written only on success, in one piece of valid
// UTF-8 with LF line ends (no CR), ending with a line end; a failure has
// reported an error. When the map also decodes to a source in UTF-8
// (`--decode --utf8`, which refuses what printing would replace), that file
// is byte for byte what --print --decode shows.
#include <string>

#include "app/console.h"
#include "app/decode.h"
#include "app/print.h"
#include "app/reporter.h"
#include "fuzz_support.h"
#include "tokenfile/dictionary.h"

using namespace tokenfile;
using fuzzsupport::Bytes;

namespace {

class CaptureConsole final : public mapbake::Console {
 public:
  void print(mapbake::Channel channel, std::string_view text) noexcept override {
    if (channel == mapbake::Channel::Out) {
      out.append(text);
      ++out_writes;
    }
  }
  std::string out;
  size_t out_writes = 0;
};

// Well-formed UTF-8 with no surrogate and nothing past U+10FFFF.
bool valid_utf8(const std::string& text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    const size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > text.size()) return false;
    uint32_t value = n == 1 ? c : c & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) {
      const auto d = static_cast<unsigned char>(text[i + k]);
      if ((d >> 6) != 2) return false;
      value = (value << 6) | (d & 0x3F);
    }
    static constexpr uint32_t least[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < least[n] || value > 0x10FFFF || (value >= 0xD800 && value < 0xE000)) return false;
    i += n;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::acquire_dictionary_once();
  const Bytes file = fuzzsupport::exact_copy(data, size);
  std::string decoded_print;
  bool decoded_printed = false;
  for (const bool decode : {false, true}) {
    auto source = token_stream_open_memory(file, STREAM_READ, 0, 0);
    if (!source) return 0;
    CaptureConsole console;
    mapbake::Reporter reporter(console, "fuzz", mapbake::DiagnosticOptions{});
    const bool printed = mapbake::print_token_file(*source, decode, console, reporter) != 0;
    if (!printed) {
      FUZZ_CHECK(console.out.empty());
      FUZZ_CHECK(reporter.errors() != 0);
      continue;
    }
    FUZZ_CHECK(console.out_writes == 1);
    FUZZ_CHECK(valid_utf8(console.out));
    FUZZ_CHECK(console.out.find('\r') == std::string::npos);
    FUZZ_CHECK(console.out.empty() || console.out.back() == '\n');
    if (decode) {
      decoded_print = console.out;
      decoded_printed = true;
    }
  }
  // The same map decoded into a source in UTF-8.
  auto source = token_stream_open_memory(file, STREAM_READ, 0, 0);
  FUZZ_CHECK(source != nullptr);
  auto target = token_stream_open(nullptr, STREAM_WRITE | STREAM_TEXT | STREAM_UTF8, u'i', u'0', u'@');
  FUZZ_CHECK(target != nullptr);
  CaptureConsole console;
  mapbake::Reporter reporter(console, "fuzz", mapbake::DiagnosticOptions{});
  const bool decoded = mapbake::decode_input_map(*source, *target, console, reporter, true) != 0;
  Bytes utf8;
  FUZZ_CHECK(token_stream_close_to_bytes(std::move(target), utf8) != 0);
  // What --decode --utf8 writes, --print --decode shows; not the other way
  // round: printing shows a lone surrogate as U+FFFD where the decode fails.
  if (decoded) {
    FUZZ_CHECK(decoded_printed);
    FUZZ_CHECK(std::string(utf8.begin(), utf8.end()) == decoded_print);
  }
  return 0;
}
