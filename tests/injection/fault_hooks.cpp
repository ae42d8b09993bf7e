#include "fault_hooks.h"

#include <dlfcn.h>
#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>

namespace faults {
namespace {

// One thread only: the tests and the code under test run on one.
struct AllocationState {
  bool counting = false;
  bool persistent = false;
  uint64_t fail_at = 0;  // 0: never
  uint64_t seen = 0;
  bool failed = false;
  size_t largest = 0;
  int64_t live = 0;
} g_alloc;

struct FileState {
  bool counting = false;
  FileCall call = FileCall::Write;
  uint64_t fail_at = 0;
  uint64_t seen[4] = {};
  bool failed = false;
} g_file;

// Decides the fate of one allocation of `size` bytes: true to fail it.
bool allocation_fails(size_t size) noexcept {
  if (!g_alloc.counting) return false;
  ++g_alloc.seen;
  if (size > g_alloc.largest) g_alloc.largest = size;
  const bool fail = g_alloc.fail_at != 0 && (g_alloc.seen == g_alloc.fail_at ||
                                             (g_alloc.persistent && g_alloc.seen > g_alloc.fail_at));
  if (fail) g_alloc.failed = true;
  return fail;
}

void* allocate(size_t size) noexcept {
  if (allocation_fails(size)) return nullptr;
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p != nullptr) ++g_alloc.live;
  return p;
}

void release(void* p) noexcept {
  if (p == nullptr) return;
  --g_alloc.live;
  std::free(p);
}

// Only files open for writing take part: the target, never the source.
bool is_written_file(std::FILE* f) {
  if (f == nullptr || f == stdout || f == stderr || f == stdin) return false;
  const int flags = ::fcntl(::fileno(f), F_GETFL);
  return flags != -1 && (flags & O_ACCMODE) != O_RDONLY;
}

// True when this call of `call` is to fail.
bool file_call_fails(FileCall call) {
  if (!g_file.counting) return false;
  const uint64_t n = ++g_file.seen[static_cast<int>(call)];
  const bool fail = g_file.fail_at != 0 && g_file.call == call && n == g_file.fail_at;
  if (fail) {
    g_file.failed = true;
    errno = EIO;
  }
  return fail;
}

template <typename F>
F next_definition(const char* name) {
  return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

void fail_allocation(uint64_t nth, bool persistent) {
  g_alloc.fail_at = nth;
  g_alloc.persistent = persistent;
  g_alloc.seen = 0;
  g_alloc.failed = false;
  g_alloc.largest = 0;
  g_alloc.counting = true;
}

void count_allocations() { fail_allocation(0); }
void stop_allocations() { g_alloc.counting = false; }
uint64_t allocations() { return g_alloc.seen; }
bool allocation_failed() { return g_alloc.failed; }
size_t largest_allocation() { return g_alloc.largest; }
int64_t live_allocations() { return g_alloc.live; }

void fail_file_call(FileCall call, uint64_t nth) {
  g_file = FileState{};
  g_file.call = call;
  g_file.fail_at = nth;
  g_file.counting = true;
}

void count_file_calls() { fail_file_call(FileCall::Write, 0); }
void stop_file_calls() { g_file.counting = false; }
uint64_t file_calls(FileCall call) { return g_file.seen[static_cast<int>(call)]; }
bool file_call_failed() { return g_file.failed; }

}  // namespace faults

// --- the replaced global allocation functions ---

void* operator new(size_t size) {
  void* p = faults::allocate(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](size_t size) {
  void* p = faults::allocate(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new(size_t size, const std::nothrow_t&) noexcept { return faults::allocate(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return faults::allocate(size); }
void operator delete(void* p) noexcept { faults::release(p); }
void operator delete[](void* p) noexcept { faults::release(p); }
void operator delete(void* p, size_t) noexcept { faults::release(p); }
void operator delete[](void* p, size_t) noexcept { faults::release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { faults::release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { faults::release(p); }

// --- the wrapped C library calls ---
// Defined in the test binary, they take the place of the C library's for
// every caller in it; the C library's own definitions are found behind them.

extern "C" size_t fwrite(const void* data, size_t size, size_t count, std::FILE* f) {
  static const auto real =
      faults::next_definition<size_t (*)(const void*, size_t, size_t, std::FILE*)>("fwrite");
  if (faults::is_written_file(f) && faults::file_call_fails(faults::FileCall::Write)) {
    const size_t half = count / 2;
    const int saved = errno;
    const size_t written = half == 0 ? 0 : real(data, size, half, f);
    errno = saved;
    return written;
  }
  return real(data, size, count, f);
}

extern "C" int fflush(std::FILE* f) {
  static const auto real = faults::next_definition<int (*)(std::FILE*)>("fflush");
  if (faults::is_written_file(f) && faults::file_call_fails(faults::FileCall::Flush)) {
    real(f);
    errno = EIO;
    return EOF;
  }
  return real(f);
}

extern "C" int fclose(std::FILE* f) {
  static const auto real = faults::next_definition<int (*)(std::FILE*)>("fclose");
  if (faults::is_written_file(f) && faults::file_call_fails(faults::FileCall::Close)) {
    real(f);
    errno = EIO;
    return EOF;
  }
  return real(f);
}

extern "C" int rename(const char* from, const char* to) noexcept {
  static const auto real = faults::next_definition<int (*)(const char*, const char*)>("rename");
  if (faults::file_call_fails(faults::FileCall::Rename)) return -1;
  return real(from, to);
}
