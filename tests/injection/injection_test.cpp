// mapbake runs in-process with the N-th allocation failing, for every N, or
// with a file call on the target failing, for every such call: each run
// ends in status 0 with the undisturbed result or in status 1 with one
// message, leaks nothing, leaves an existing target as it was and leaves no
// other file behind. The allocation functions and the C library's file calls
// are replaced for the whole binary, which is hence one of its own.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <utility>

#include "app/driver.h"
#include "support/source_forms.h"
#include "support/temp_dir.h"
#include "tokenfile/dictionary.h"
#include "tokenfile/file_container.h"
#include "tokenfile/token_stream.h"

namespace faults {
namespace {

uint64_t alloc_fail_at = 0, alloc_seen = 0;
bool alloc_persistent = false, alloc_failed = false;
int64_t alloc_live = 0;
enum class FileCall { Write, Flush, Close, Rename };
FileCall file_call = FileCall::Write;
uint64_t file_fail_at = 0, file_seen[4] = {};

void* allocate(size_t size) noexcept {
  ++alloc_seen;
  if (alloc_fail_at != 0 &&
      (alloc_seen == alloc_fail_at || (alloc_persistent && alloc_seen > alloc_fail_at))) {
    alloc_failed = true;
    return nullptr;
  }
  void* p = std::malloc(size == 0 ? 1 : size);
  alloc_live += p != nullptr;
  return p;
}

// True when this call of `call` on `f` is to fail; sets errno then.
bool file_call_fails(FileCall call, std::FILE* f) {
  if (f != nullptr) {
    const int flags = ::fcntl(::fileno(f), F_GETFL);
    if (f == stdout || f == stderr || flags == -1 || (flags & O_ACCMODE) == O_RDONLY) return false;
  }
  const bool fail = ++file_seen[static_cast<int>(call)] == file_fail_at && call == file_call;
  if (fail) errno = EIO;
  return fail;
}

template <typename F>
F next(const char* name) {
  return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

// From now on allocation number `nth` (from 1) fails, and with `persistent`
// every later one too: the throwing forms throw std::bad_alloc, the nothrow
// forms return null. 0 fails none. Restarts the count.
void fail_allocation(uint64_t nth, bool persistent = false) {
  alloc_fail_at = nth, alloc_persistent = persistent, alloc_seen = 0, alloc_failed = false;
}
// From now on call number `nth` (from 1) of `call` fails; 0 fails none.
void fail_file_call(FileCall call, uint64_t nth) {
  file_call = call, file_fail_at = nth;
  for (auto& n : file_seen) n = 0;
}

}  // namespace
}  // namespace faults

void* operator new(size_t n) {
  if (void* p = faults::allocate(n)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t n) { return operator new(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept { return faults::allocate(n); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return faults::allocate(n); }
void operator delete(void* p) noexcept {
  faults::alloc_live -= p != nullptr;
  std::free(p);
}
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, size_t) noexcept { operator delete(p); }
void operator delete[](void* p, size_t) noexcept { operator delete(p); }

// These take the C library's place for every caller in the binary; a failed
// fwrite writes half, fflush and fclose do their work and then fail.
extern "C" size_t fwrite(const void* data, size_t size, size_t count, std::FILE* f) {
  static const auto real = faults::next<size_t (*)(const void*, size_t, size_t, std::FILE*)>("fwrite");
  if (!faults::file_call_fails(faults::FileCall::Write, f)) return real(data, size, count, f);
  const int saved = errno;
  const size_t written = count / 2 == 0 ? 0 : real(data, size, count / 2, f);
  errno = saved;
  return written;
}
extern "C" int fflush(std::FILE* f) {
  static const auto real = faults::next<int (*)(std::FILE*)>("fflush");
  const int result = real(f);
  return f != nullptr && faults::file_call_fails(faults::FileCall::Flush, f) ? EOF : result;
}
extern "C" int fclose(std::FILE* f) {
  static const auto real = faults::next<int (*)(std::FILE*)>("fclose");
  const bool fail = faults::file_call_fails(faults::FileCall::Close, f);
  const int result = real(f);
  if (fail) errno = EIO;
  return fail ? EOF : result;
}
extern "C" int rename(const char* from, const char* to) noexcept {
  static const auto real = faults::next<int (*)(const char*, const char*)>("rename");
  return faults::file_call_fails(faults::FileCall::Rename, nullptr) ? -1 : real(from, to);
}

using testsupport::Bytes;

namespace {

const Bytes old = {'o', 'l', 'd'};

using testsupport::is_one_message;
using testsupport::Scene;
using testsupport::SourceForm;

// A command line ("S" the source, "T" the target) and what it reads: every
// stored form of a source map (the UTF-8 ones without their header line
// too), the first of them, or the run-time maps of both encodings.
enum class Reads { EveryForm, FirstForm, RunTime };
struct Line {
  std::vector<std::string> args;
  Reads reads;
};

std::vector<SourceForm> inputs(std::u16string_view map, Reads reads) {
  EXPECT_NE(tokenfile::acquire_token_dictionary(), 0);
  auto all = testsupport::source_forms(map);
  if (reads == Reads::RunTime) {
    const Bytes text = testsupport::text_source(map);
    all = {{"run-time", testsupport::bake(text)},
           {"run-time-text", testsupport::bake(text, tokenfile::STREAM_TEXT)}};
  } else if (reads == Reads::FirstForm) {
    all.resize(1);
  } else {
    const auto utf8 = std::find_if(all.begin(), all.end(), [](auto& f) { return f.name == "utf8-lf"; });
    for (const auto& bare : testsupport::utf8_forms(utf8->bytes))
      if (bare.name.starts_with("bare")) all.push_back({"utf8-" + bare.name, bare.bytes});
  }
  tokenfile::release_token_dictionary();
  return all;
}

// True when `out` is `printed` with one line or more emptied (the last
// one then lost).
// Every path that reads a source, writes a target or prints.
const Line every_path[] = {
    {{"S", "T"}, Reads::EveryForm},
    {{"-text", "S", "T"}, Reads::EveryForm},
    {{"--check", "S"}, Reads::EveryForm},
    {{"--print", "S"}, Reads::EveryForm},
    {{"--compress=B", "S", "T"}, Reads::FirstForm},
    {{"--compress=F", "-text", "S", "T"}, Reads::FirstForm},
    {{"--decode", "S", "T"}, Reads::RunTime},
    {{"--decode", "--utf8", "S", "T"}, Reads::RunTime},
    {{"--decode", "--compress=F", "S", "T"}, Reads::RunTime},
    {{"--print", "--decode", "S"}, Reads::RunTime},
};

// Each run ends in status 0 with the undisturbed result or in status 1 and
// a message on standard error (and, but for --check and --print, one on
// standard output), leaks nothing, leaves the target as it was and no other
// file behind; a failed conversion or decode says it ran out of memory.
TEST(Injection, EveryAllocationOfARun) {
  if (::access("/dev/shm", W_OK) == 0) ::setenv("TMPDIR", "/dev/shm", 1);  // thousands of small files
  Scene scene;
  for (const Line& line : every_path) {
    const bool quiet = line.args[0] == "--check" || line.args[0] == "--print";
    for (const auto& form :
         inputs(u"io_dev ( JOY 3 sguid ( 03 01 02 ) io_map ( X roll SHIFT_UP ) )", line.reads)) {
      scene.prepare(form.bytes, line.args);
      ASSERT_EQ(scene.run(), 0) << form.name << scene.console.err;
      const Bytes reference = testsupport::read_file(scene.target);
      const std::string printed = scene.console.out;
      for (const bool persistent : {false, true}) {
        for (uint64_t n = 1;; ++n) {
          scene.prepare(form.bytes, line.args);
          const int64_t live = faults::alloc_live;
          faults::fail_allocation(n, persistent);
          const int status = scene.run();
          const bool injected = faults::alloc_failed;
          faults::fail_allocation(0);
          const int64_t leaked = faults::alloc_live - live;
          const std::string &out = scene.console.out, &err = scene.console.err;
          SCOPED_TRACE(line.args[0] + " " + form.name + (persistent ? " from " : " at ") + std::to_string(n) +
                       ": " + out + err);
          EXPECT_EQ(leaked, 0);
          EXPECT_EQ(testsupport::read_file(scene.target), status == 0 ? reference : old);
          EXPECT_EQ(scene.dir.entries(), (std::vector<std::string>{"source.iom", "target.iom"}));
          if (status == 0) {
            EXPECT_EQ(out, printed);
          }
          const bool path = out == "Invalid file path\n";
          if (status != 0) {
            EXPECT_EQ(status, 1);
            EXPECT_TRUE(out.empty() || (!quiet && (path || is_one_message(out, scene.source, scene.target))));
          }
          if (status != 0 && !persistent) {
            const bool memory =
                quiet || out.starts_with("Error converting") || out.starts_with("Error decoding");
            EXPECT_NE(err.find(memory ? "out of memory\n" : ": error: "), err.npos);
          }
          if (HasFailure() || !injected) break;
        }
      }
    }
  }
}

// Targets are written out as they are made, every 4 KiB here: the writes
// of the early parts and the lengths filled in later fail too.
TEST(Injection, EveryFileCallOnTheTarget) {
  const uint32_t chunk = std::exchange(tokenfile::container_stream_chunk, 4096);
  std::u16string big = u"io_dev ( KEYB 0 io_map ( A binding )";
  for (int i = 0; i < 1500; ++i) big += u" ) io_dev ( KEYB 0 io_map ( A binding SHIFT_DOWN )";
  const char* names[] = {"fwrite", "fflush", "fclose", "rename"};
  Scene scene;
  for (const Line& line : every_path) {
    if (line.args.back() != "T") continue;
    for (const auto& map :
         {inputs(u"io_dev ( MOUSE 0 io_map ( X x ) )", line.reads)[0], inputs(big + u" )", line.reads)[0]}) {
      for (const bool existing : {true, false}) {
        for (int k = 0; k < 4; ++k) {
          const auto call = static_cast<faults::FileCall>(k);
          scene.prepare(map.bytes, line.args, existing);
          faults::fail_file_call(call, 0);
          ASSERT_EQ(scene.run(), 0);
          const uint64_t calls = faults::file_seen[k];
          ASSERT_GT(calls, 0u) << names[k];
          for (uint64_t n = 1; n <= calls; ++n) {
            scene.prepare(map.bytes, line.args, existing);
            faults::fail_file_call(call, n);
            const int status = scene.run();
            faults::fail_file_call(call, 0);
            const auto& console = scene.console;
            SCOPED_TRACE(line.args[0] + " " + line.args[1] + " " + names[k] + " " + std::to_string(n) +
                         (existing ? "" : " no target") + " of " + std::to_string(map.bytes.size()) +
                         " bytes");
            EXPECT_EQ(status, 1);
            EXPECT_EQ(console.out, "Error writing " + scene.target + "\n");
            EXPECT_EQ(console.err, scene.target +
                                       ": error: the output file could not be written: Input/output "
                                       "error; an existing file is left as it was\n");
            EXPECT_EQ(scene.dir.entries().size(), existing ? 2u : 1u);
            EXPECT_EQ(testsupport::read_file(scene.target), existing ? old : Bytes{});
          }
        }
      }
    }
  }
  tokenfile::container_stream_chunk = chunk;
}

// The library as a consumer uses it: each stored form opened in memory, its
// tokens read and written back in each encoding and compression, the file
// handed over. A failed allocation makes the whole of it fail, with nothing
// leaked, never other bytes.
TEST(Injection, EveryAllocationOfTheLibrary) {
  const auto all =
      inputs(u"io_dev ( KEYB 0 sguid ( 02 01 ) io_map ( A a ) ) comment ( note )", Reads::EveryForm);
  ASSERT_NE(tokenfile::acquire_token_dictionary(), 0);  // the text writer's names
  for (const auto& form : all) {
    for (const auto& [encoding, compression] : {std::pair{tokenfile::STREAM_BINARY, u'@'},
                                                {tokenfile::STREAM_TEXT, u'B'},
                                                {tokenfile::STREAM_TEXT | tokenfile::STREAM_UTF8, u'@'},
                                                {tokenfile::STREAM_BINARY, u'F'}}) {
      Bytes reference;
      for (uint64_t n = 0, injected = 1; (injected || n == 1) && !HasFailure(); ++n) {
        Bytes file = form.bytes, made;
        const int64_t live = faults::alloc_live;
        faults::fail_allocation(n);
        tokenfile::token_error = 0;
        auto in = tokenfile::token_stream_open_memory(std::move(file), tokenfile::STREAM_READ, 0, 0);
        auto out = tokenfile::token_stream_open(nullptr, tokenfile::STREAM_WRITE | encoding, u'i', u'0',
                                                compression);
        const bool copied = in && out && testsupport::copy_source(*in, *out);
        const int32_t copy_error = tokenfile::token_error;
        const bool ok = out && tokenfile::token_stream_close_to_bytes(std::move(out), made) && copied;
        in.reset();
        injected = faults::alloc_failed, faults::fail_allocation(0);
        // The file read is freed, the file made is held.
        const int64_t leaked = faults::alloc_live - live + 1 - (made.capacity() != 0);
        SCOPED_TRACE(form.name + " " + std::to_string(encoding) + char(compression) + " at " +
                     std::to_string(n));
        if (n == 0) reference = made;
        EXPECT_FALSE(reference.empty());
        EXPECT_EQ(leaked, 0);
        // Handing over the file tells no cause (token_error) when it fails.
        EXPECT_TRUE(ok ? made == reference
                       : copied || copy_error == tokenfile::ERR_NO_MEMORY ||
                             copy_error == tokenfile::ERR_BAD_VALUE)
            << copy_error;
      }
    }
  }
  tokenfile::release_token_dictionary();
}

}  // namespace
