// The token file library on generated input maps: the readers (lexer and
// value reads), the writers, and the container's load and save for each
// compression; beside them memcpy and whole-file reading and writing as the
// machine's reference. Every case counts its bytes with SetBytesProcessed:
// readers and loads the (uncompressed) source, writers the body written,
// saves the uncompressed body.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "bench_data.h"
#include "tokenfile/stream_internals.h"
#include "tokenfile/file_container.h"
#include "tokenfile/text/text_stream.h"
#include "tokenfile/token_stream.h"

namespace mapbake::bench {
namespace {

using tokenfile::TokenStream;

void set_bytes(benchmark::State& state, uint64_t bytes_per_iteration) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes_per_iteration));
}

// A fresh copy of a source file for a stream to take over, made while the
// clock is stopped.
Bytes untimed_copy(benchmark::State& state, const Bytes& file) {
  state.PauseTiming();
  Bytes copy = fresh_copy(file);
  state.ResumeTiming();
  return copy;
}

// --- readers ---

// Every lexeme of a text body, as read_token_close meets them.
void text_lexer(benchmark::State& state) {
  const Bytes& file = source_file(Encoding::Text, kMainSize);
  uint64_t lexemes = 0;
  for (auto _ : state) {
    auto s = tokenfile::token_stream_open_memory(untimed_copy(state, file), tokenfile::STREAM_READ, 0, 0);
    auto* text = dynamic_cast<tokenfile::TextTokenStream*>(s.get());
    if (text == nullptr) return state.SkipWithError("not a text stream");
    while (text->scan_lexeme(true)) ++lexemes;
    if (!text->at_end_of_data) return state.SkipWithError("lexer failed");
    (void)tokenfile::token_stream_close(std::move(s));
  }
  benchmark::DoNotOptimize(lexemes);
  set_bytes(state, file.size());
}

// The reads the converter makes, on a source of each encoding.
void reader(benchmark::State& state, Encoding encoding) {
  const Bytes& file = source_file(encoding, kMainSize);
  uint64_t sum = 0;
  for (auto _ : state) {
    auto s = tokenfile::token_stream_open_memory(untimed_copy(state, file), tokenfile::STREAM_READ, 0, 0);
    if (!s) return state.SkipWithError("open failed");
    sum += read_input_map(*s, state);
    (void)tokenfile::token_stream_close(std::move(s));
  }
  benchmark::DoNotOptimize(sum);
  set_bytes(state, file.size());
}

// --- writers ---

// The write calls of the generated map replayed into a stream in memory:
// the writer alone, producing the body in the container's buffer. With
// `to_bytes` the stream is then closed to the file's bytes (the container's
// save to memory: one more copy of the body); otherwise it is discarded.
void writer(benchmark::State& state, Encoding encoding, bool to_bytes) {
  const WriteScript& script = source_script(kMainSize);
  const uint32_t flags = tokenfile::STREAM_WRITE |
                         (encoding == Encoding::Binary ? tokenfile::STREAM_BINARY : tokenfile::STREAM_TEXT);
  uint64_t written = 0;
  for (auto _ : state) {
    auto s = tokenfile::token_stream_open(nullptr, flags, u'i', u'0', u'@');
    if (!s || !script.replay(*s)) return state.SkipWithError("write failed");
    written = tokenfile::StreamInternals::container(*s)->body_size;
    if (to_bytes) {
      Bytes out;
      if (!tokenfile::token_stream_close_to_bytes(std::move(s), out))
        return state.SkipWithError("close failed");
    } else {
      tokenfile::token_stream_discard(std::move(s));
    }
  }
  set_bytes(state, written);
}

// --- container ---

const Bytes& binary_body() {
  static const Bytes body = body_of(source_file(Encoding::Binary, kMainSize));
  return body;
}

// container_open on a file in the page cache: the file read whole, its
// header recognised and its body expanded.
void container_load(benchmark::State& state, char compression) {
  const Bytes& body = binary_body();
  const TempFile file(compression == '@' ? source_file(Encoding::Binary, kMainSize)
                                         : compressed_file(body, compression));
  for (auto _ : state) {
    std::rewind(file.file());
    auto c = tokenfile::container_open(file.file(), tokenfile::CONTAINER_READ, 0, 0);
    if (!c || c->body_size != body.size()) return state.SkipWithError("load failed");
    (void)tokenfile::container_close(std::move(c));
  }
  set_bytes(state, body.size());
}

// A body put into a container in one write and saved to a file: compressed
// if asked, then the header and the body written.
void container_save(benchmark::State& state, char compression) {
  const Bytes& body = binary_body();
  std::FILE* f = std::tmpfile();
  if (f == nullptr) return state.SkipWithError("no temporary file");
  for (auto _ : state) {
    state.PauseTiming();
    std::rewind(f);
    if (::ftruncate(fileno(f), 0) != 0) return state.SkipWithError("truncate failed");
    state.ResumeTiming();
    auto c = tokenfile::container_create(f, compression, 0);
    if (!c ||
        tokenfile::container_write(*c, body.data(), static_cast<uint32_t>(body.size())) != body.size() ||
        !tokenfile::container_close(std::move(c)) || std::fflush(f) != 0) {
      return state.SkipWithError("save failed");
    }
  }
  std::fclose(f);
  set_bytes(state, body.size());
}

// --- the machine's reference ---

void memcpy_reference(benchmark::State& state) {
  const Bytes& in = binary_body();
  Bytes out(in.size());
  for (auto _ : state) {
    std::memcpy(out.data(), in.data(), in.size());
    benchmark::ClobberMemory();
  }
  set_bytes(state, in.size());
}

// A whole file read into fresh memory, as a loader must: allocation,
// page faults and the copy out of the page cache.
void file_read_reference(benchmark::State& state) {
  const Bytes& file = source_file(Encoding::Binary, kMainSize);
  const TempFile temp(file);
  const int fd = fileno(temp.file());
  for (auto _ : state) {
    std::unique_ptr<uint8_t, decltype(&std::free)> buffer(static_cast<uint8_t*>(std::malloc(file.size())),
                                                          &std::free);
    if (!buffer || ::pread(fd, buffer.get(), file.size(), 0) != static_cast<ssize_t>(file.size())) {
      return state.SkipWithError("read failed");
    }
    benchmark::DoNotOptimize(buffer.get());
  }
  set_bytes(state, file.size());
}

// A whole file written from memory into the page cache.
void file_write_reference(benchmark::State& state) {
  const Bytes& file = source_file(Encoding::Binary, kMainSize);
  std::FILE* f = std::tmpfile();
  if (f == nullptr) return state.SkipWithError("no temporary file");
  const int fd = fileno(f);
  for (auto _ : state) {
    state.PauseTiming();
    if (::ftruncate(fd, 0) != 0) return state.SkipWithError("truncate failed");
    state.ResumeTiming();
    if (::pwrite(fd, file.data(), file.size(), 0) != static_cast<ssize_t>(file.size())) {
      return state.SkipWithError("write failed");
    }
  }
  std::fclose(f);
  set_bytes(state, file.size());
}

[[maybe_unused]] const bool registered = [] {
  auto ms = [](benchmark::internal::Benchmark* b) { b->Unit(benchmark::kMillisecond)->UseRealTime(); };
  ms(benchmark::RegisterBenchmark("reference/memcpy", memcpy_reference));
  ms(benchmark::RegisterBenchmark("reference/file_read", file_read_reference));
  ms(benchmark::RegisterBenchmark("reference/file_write", file_write_reference));
  ms(benchmark::RegisterBenchmark("read/text_lexer", text_lexer));
  ms(benchmark::RegisterBenchmark("read/text", reader, Encoding::Text));
  ms(benchmark::RegisterBenchmark("read/binary", reader, Encoding::Binary));
  ms(benchmark::RegisterBenchmark("write/text", writer, Encoding::Text, false));
  ms(benchmark::RegisterBenchmark("write/binary", writer, Encoding::Binary, false));
  ms(benchmark::RegisterBenchmark("write/text_to_bytes", writer, Encoding::Text, true));
  ms(benchmark::RegisterBenchmark("write/binary_to_bytes", writer, Encoding::Binary, true));
  for (char compression : {'@', 'F', 'B'}) {
    const std::string suffix(1, compression);
    ms(benchmark::RegisterBenchmark(("container/load/" + suffix).c_str(), container_load, compression));
    ms(benchmark::RegisterBenchmark(("container/save/" + suffix).c_str(), container_save, compression));
  }
  return true;
}();

}  // namespace
}  // namespace mapbake::bench
