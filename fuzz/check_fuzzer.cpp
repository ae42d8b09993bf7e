// The check path: fuzzed bytes as a source file read through the
// conversion with every diagnostic on and no target kept, as
// `mapbake --check` reads it, with the options --check takes: no limit and
// no colour, no limit in colour, --error-limit=3, and --error-limit=1 with
// every warning silenced (--no-warn=all). No input may crash it or make it
// hang; nothing goes to standard output; a source that converts reports no
// error, one that does not at least one; colour changes no count; a limit
// of n reports the first n errors of the unlimited run, silenced warnings
// none.
#include <algorithm>
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

struct Counts {
  bool converted = false;
  uint32_t errors = 0, warnings = 0;
};

Counts check(const uint8_t* data, size_t size, const mapbake::DiagnosticOptions& options) {
  Counts c;
  auto source = token_stream_open_memory(fuzzsupport::Bytes(data, data + size), STREAM_READ, 0, 0);
  if (!source) return c;
  CountingConsole console;
  mapbake::Reporter reporter(console, "fuzz", options);
  mapbake::NullTarget sink;
  c.converted = mapbake::convert_input_map(*source, sink, console, reporter, false) != 0;
  c.errors = reporter.errors();
  c.warnings = reporter.warnings();
  FUZZ_CHECK(console.out == 0);
  FUZZ_CHECK(c.converted == (c.errors == 0));
  FUZZ_CHECK(console.err >= c.errors + c.warnings);
  return c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool dictionary = acquire_token_dictionary() != 0;
  FUZZ_CHECK(dictionary);
  {
    auto source = token_stream_open_memory(fuzzsupport::Bytes(data, data + size), STREAM_READ, 0, 0);
    if (!source) return 0;
  }
  mapbake::DiagnosticOptions options;
  options.error_limit = 0;
  const Counts all = check(data, size, options);
  options.color = true;
  const Counts colored = check(data, size, options);
  FUZZ_CHECK(colored.errors == all.errors && colored.warnings == all.warnings);
  options.color = false;
  options.error_limit = 3;
  const Counts three = check(data, size, options);
  FUZZ_CHECK(three.errors == std::min(all.errors, 3u));
  options.error_limit = 1;
  options.silenced = ~0u;
  const Counts silent = check(data, size, options);
  FUZZ_CHECK(silent.errors == std::min(all.errors, 1u) && silent.warnings == 0);
  return 0;
}
