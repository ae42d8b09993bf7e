#include "fault_hooks.h"

#include <dlfcn.h>
#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>

namespace faults {
namespace {

uint64_t alloc_fail_at = 0, alloc_seen = 0;
bool alloc_persistent = false, alloc_failed = false;
int64_t alloc_live = 0;
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

}  // namespace

void fail_allocation(uint64_t nth, bool persistent) {
  alloc_fail_at = nth, alloc_persistent = persistent, alloc_seen = 0, alloc_failed = false;
}
bool allocation_failed() { return alloc_failed; }
int64_t live_allocations() { return alloc_live; }
void fail_file_call(FileCall call, uint64_t nth) {
  file_call = call, file_fail_at = nth;
  for (auto& n : file_seen) n = 0;
}
uint64_t file_calls(FileCall call) { return file_seen[static_cast<int>(call)]; }

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
