// The check path: fuzzed bytes as a source file read through the
// conversion with every diagnostic on and no target kept, as
// `mapbake --check` reads it. No input may crash it or make it hang; it
// reports at most the error limit of errors, and a source that converts
// reports none, where one that does not reports at least one.
#include <string>

#include "app/console.h"
#include "app/convert.h"
#include "app/reporter.h"
#include "fuzz_support.h"
#include "tokenfile/dictionary.h"

using namespace tokenfile;

namespace {

class CountingConsole final : public mapbake::Console {
 public:
  void print(mapbake::Channel channel, std::string_view text) noexcept override {
    (channel == mapbake::Channel::Out ? out : err) += text.size();
  }
  size_t out = 0, err = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool dictionary = acquire_token_dictionary() != 0;
  FUZZ_CHECK(dictionary);
  for (const uint32_t limit : {3u, 0u}) {
    auto source = token_stream_open_memory(fuzzsupport::Bytes(data, data + size), STREAM_READ, 0, 0);
    if (!source) return 0;
    mapbake::DiagnosticOptions options;
    options.error_limit = limit;
    CountingConsole console;
    mapbake::Reporter reporter(console, "fuzz", options);
    mapbake::NullTarget sink;
    const bool converted = mapbake::convert_input_map(*source, sink, console, reporter, false) != 0;
    FUZZ_CHECK(console.out == 0);
    FUZZ_CHECK(converted == (reporter.errors() == 0));
    if (limit != 0) FUZZ_CHECK(reporter.errors() <= limit);
    FUZZ_CHECK(console.err >= reporter.errors() + reporter.warnings());
  }
  return 0;
}
