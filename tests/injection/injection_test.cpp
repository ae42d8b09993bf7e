// mapbake runs in-process with the N-th allocation failing, for every N, or
// with a file call on the target failing, for every such call: each run
// ends in status 0 with the undisturbed result or in status 1 with one
// message, leaks nothing, leaves an existing target as it was and leaves no
// other file behind. The allocation functions and the C library's file calls
// are replaced for the whole binary, which is hence one of its own.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>

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
  if (alloc_fail_at != 0 && (alloc_seen == alloc_fail_at || (alloc_persistent && alloc_seen > alloc_fail_at))) {
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

using testsupport::Scene;

std::vector<testsupport::SourceForm> forms(std::u16string_view map) {
  EXPECT_NE(tokenfile::acquire_token_dictionary(), 0);
  auto all = testsupport::source_forms(map);
  tokenfile::release_token_dictionary();
  return all;
}

TEST(Injection, EveryAllocationOfARun) {
  Scene scene;
  for (const auto& form : forms(u"io_dev ( JOY 3 sguid ( 03 01 02 ) io_map ( X roll SHIFT_UP ) )")) {
    for (const bool text : {false, true}) {
      scene.prepare(form.bytes, text);
      ASSERT_EQ(scene.run(), 0) << form.name;
      const Bytes reference = testsupport::read_file(scene.target);
      for (const bool persistent : {false, true}) {
        for (uint64_t n = 1;; ++n) {
          scene.prepare(form.bytes, text);
          const int64_t live = faults::alloc_live;
          faults::fail_allocation(n, persistent);
          const int status = scene.run();
          const bool injected = faults::alloc_failed;
          faults::fail_allocation(0);
          const int64_t leaked = faults::alloc_live - live;
          const auto& console = scene.console;
          const std::string at = form.name + (text ? " -text" : "") + (persistent ? " from " : " at ") +
                                 std::to_string(n) + ": " + console.out + console.err;
          EXPECT_EQ(leaked, 0) << at;
          EXPECT_EQ(testsupport::read_file(scene.target), status == 0 ? reference : old) << at;
          EXPECT_TRUE(status == 0 ? console.out.empty()
                                  : status == 1 && (testsupport::is_one_message(console.out, scene.source,
                                                                                scene.target) ||
                                                    console.out == "Invalid file path\n" ||
                                                    console.out.empty()))
              << at;
          EXPECT_EQ(scene.dir.entries(), (std::vector<std::string>{"source.iom", "target.iom"})) << at;
          if (!persistent && console.out.starts_with("Error converting")) {
            EXPECT_NE(console.err.find(" out of memory\n"), std::string::npos) << at;
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
  for (const auto& map : {forms(u"io_dev ( MOUSE 0 io_map ( X x ) )")[0], forms(big + u" )")[0]}) {
    for (const bool text : {false, true}) {
      for (const bool existing : {true, false}) {
        for (int k = 0; k < 4; ++k) {
          const auto call = static_cast<faults::FileCall>(k);
          scene.prepare(map.bytes, text, existing);
          faults::fail_file_call(call, 0);
          ASSERT_EQ(scene.run(), 0);
          const uint64_t calls = faults::file_seen[k];
          ASSERT_GT(calls, 0u) << names[k];
          for (uint64_t n = 1; n <= calls; ++n) {
            scene.prepare(map.bytes, text, existing);
            faults::fail_file_call(call, n);
            const int status = scene.run();
            faults::fail_file_call(call, 0);
            const auto& console = scene.console;
            SCOPED_TRACE(std::string(names[k]) + " " + std::to_string(n) + (existing ? "" : " no target"));
            EXPECT_EQ(status, 1);
            EXPECT_EQ(console.out, "Error writing " + scene.target + "\n");
            EXPECT_EQ(console.err, scene.target + ": error: the output file could not be written: Input/output "
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

// Inside the library a failed allocation is ERR_NO_MEMORY, whichever step
// meets it: making the stream, opening a token, copying it out as a block;
// a container that cannot be had is ERR_BAD_VALUE, as any failed load.
TEST(Injection, EveryAllocationOfAStreamIsOutOfMemory) {
  for (const auto& form : forms(u"io_dev ( KEYB 0 io_map ( A a ) )")) {
    for (uint64_t n = 1, injected = 1; injected && !HasFailure(); ++n) {
      Bytes file = form.bytes;
      uint32_t id = 0;
      faults::fail_allocation(n);
      tokenfile::token_error = 0;
      auto s = tokenfile::token_stream_open_memory(std::move(file), tokenfile::STREAM_READ, 0, 0);
      const bool ok = s && s->read_token_open(id, nullptr) && s->read_block() != nullptr;
      injected = faults::alloc_failed, faults::fail_allocation(0);
      const int32_t code = tokenfile::token_error;
      EXPECT_TRUE(ok || code == tokenfile::ERR_NO_MEMORY || (!s && code == tokenfile::ERR_BAD_VALUE)) << n;
    }
  }
}

}  // namespace
