// The whole conversion in memory, for each pairing of source and target
// encodings: the source file's bytes opened as a stream, a target stream
// without a file, convert_input_map, and the target closed to its bytes.
// Bytes processed are the source file's bytes. The target's bytes go into a
// vector kept from one conversion to the next, as a converter of many maps
// would keep it; a fresh vector for each would add a fault-in of the whole
// target, which write/*_to_bytes shows. The sizes 1, 16, 64 and 256
// MiB show whether the cost per byte stays the same as the input grows; a
// few KiB show the fixed cost of a small map.
#include <string>

#include "app/console.h"
#include "app/convert.h"
#include "bench_data.h"

namespace mapbake::bench {
namespace {

class DiscardConsole final : public Console {
 public:
  void print(Channel, std::string_view) noexcept override {}
};

void convert(benchmark::State& state, Encoding from, Encoding to, uint64_t size) {
  const Bytes& file = source_file(from, size);
  DiscardConsole console;
  const uint32_t target_flags =
      tokenfile::STREAM_WRITE | (to == Encoding::Binary ? tokenfile::STREAM_BINARY : tokenfile::STREAM_TEXT);
  uint64_t written = 0;
  Bytes out;
  for (auto _ : state) {
    state.PauseTiming();
    Bytes copy = fresh_copy(file);
    state.ResumeTiming();
    auto source = tokenfile::token_stream_open_memory(std::move(copy), tokenfile::STREAM_READ, 0, 0);
    auto target = tokenfile::token_stream_open(nullptr, target_flags, u'i', u'0', u'@');
    if (!source || !target) return state.SkipWithError("open failed");
    if (!convert_input_map(*source, *target, console, "generated"))
      return state.SkipWithError("conversion failed");
    if (!tokenfile::token_stream_close_to_bytes(std::move(target), out))
      return state.SkipWithError("close failed");
    (void)tokenfile::token_stream_close(std::move(source));
    written = out.size();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.size()));
  state.counters["target_bytes"] = static_cast<double>(written);
}

[[maybe_unused]] const bool registered = [] {
  const Encoding encodings[] = {Encoding::Text, Encoding::Binary};
  for (Encoding from : encodings) {
    for (Encoding to : encodings) {
      const std::string pairing = std::string(encoding_name(from)) + "_to_" + encoding_name(to);
      for (uint64_t mib : {1, 16, 64, 256}) {
        const std::string name = "convert/" + pairing + "/" + std::to_string(mib) + "MiB";
        benchmark::RegisterBenchmark(name.c_str(), convert, from, to, mib * kMiB)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
      }
      const std::string small = "convert/" + pairing + "/4KiB";
      benchmark::RegisterBenchmark(small.c_str(), convert, from, to, uint64_t{4096})
          ->Unit(benchmark::kMicrosecond)
          ->UseRealTime();
    }
  }
  return true;
}();

}  // namespace
}  // namespace mapbake::bench
