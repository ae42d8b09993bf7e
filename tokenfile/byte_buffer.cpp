#include "tokenfile/byte_buffer.h"

#include <cstring>
#include <limits>
#include <new>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tokenfile {
namespace {

#if defined(__linux__)
// From this capacity on a buffer has pages of its own (a mapping), which
// grow by remapping instead of copying: pages already touched move with the
// buffer instead of being copied into fresh ones, each faulted in anew (the
// C library serves blocks this large with fresh mappings of its own).
// Capacities are whole 2 MiB units; the part not yet written costs address
// space only.
//
// The pages are not marked for huge pages (MADV_HUGEPAGE). Where memory
// that was recently freed can be reused, 2 MiB pages fault in several times
// faster; but a converter run takes fresh memory, and on virtual machines
// that hand freed memory back to the host, fresh 2 MiB pages cost two to
// four times as much as 4 KiB pages, and compaction made the cost of a
// 256 MiB body grow much faster than its size.
constexpr size_t kMappedFrom = size_t{256} << 10;
constexpr size_t kMappedUnit = size_t{2} << 20;

uint8_t* map_pages(size_t bytes) noexcept {
  void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  return static_cast<uint8_t*>(p);
}
#else
constexpr size_t kMappedFrom = std::numeric_limits<size_t>::max();
constexpr size_t kMappedUnit = 1;
#endif

// The capacity to allocate for at least `n` bytes when `capacity` is too
// small: twice the old capacity, rounded for a mapping; 0 on overflow.
size_t grown_capacity(size_t capacity, size_t n) noexcept {
  constexpr size_t kMax = std::numeric_limits<size_t>::max() / 4;
  if (n > kMax) return 0;
  size_t want = capacity < kMax ? 2 * capacity : capacity;
  if (want < n) want = n;
  if (want < 256) want = 256;
  if (want >= kMappedFrom) want = (want + kMappedUnit - 1) / kMappedUnit * kMappedUnit;
  return want;
}

}  // namespace

ByteBuffer::ByteBuffer(std::vector<uint8_t>&& bytes) noexcept
    : data_(bytes.data()),
      size_(bytes.size()),
      capacity_(bytes.size()),
      kind_(Kind::Vector),
      vector_(std::move(bytes)) {
  // A moved vector keeps its memory, so data_ still points into it.
  data_ = vector_.data();
}

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : data_(other.data_),
      size_(other.size_),
      capacity_(other.capacity_),
      kind_(other.kind_),
      vector_(std::move(other.vector_)) {
  if (kind_ == Kind::Vector) data_ = vector_.data();
  other.data_ = nullptr;
  other.size_ = other.capacity_ = 0;
  other.kind_ = Kind::None;
}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
  if (this != &other) {
    release();
    data_ = other.data_;
    size_ = other.size_;
    capacity_ = other.capacity_;
    kind_ = other.kind_;
    vector_ = std::move(other.vector_);
    if (kind_ == Kind::Vector) data_ = vector_.data();
    other.data_ = nullptr;
    other.size_ = other.capacity_ = 0;
    other.kind_ = Kind::None;
  }
  return *this;
}

ByteBuffer::~ByteBuffer() { release(); }

void ByteBuffer::release() noexcept {
  switch (kind_) {
    case Kind::Heap:
      ::operator delete(data_);
      break;
    case Kind::Mapped:
    case Kind::FileMapped:
#if defined(__linux__)
      ::munmap(data_, capacity_);
#endif
      break;
    case Kind::Vector:
      std::vector<uint8_t>().swap(vector_);
      break;
    case Kind::None:
      break;
  }
  data_ = nullptr;
  size_ = capacity_ = 0;
  kind_ = Kind::None;
}

void ByteBuffer::clear() noexcept { release(); }

void ByteBuffer::release_pages(size_t from, size_t to) noexcept {
#if defined(__linux__)
  if (kind_ != Kind::FileMapped || to > size_) return;
  const size_t page = 4096;
  const uintptr_t start = (reinterpret_cast<uintptr_t>(data_) + from + page - 1) / page * page;
  const uintptr_t end = (reinterpret_cast<uintptr_t>(data_) + to) / page * page;
  if (end > start) ::madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
#else
  (void)from;
  (void)to;
#endif
}

ByteBuffer ByteBuffer::map_file(int fd, size_t size) noexcept {
  ByteBuffer b;
#if defined(__linux__)
  if (size == 0) return b;
  void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
  if (p == MAP_FAILED) return b;
  ::madvise(p, size, MADV_SEQUENTIAL);
  b.data_ = static_cast<uint8_t*>(p);
  b.size_ = b.capacity_ = size;
  b.kind_ = Kind::FileMapped;
#else
  (void)fd;
  (void)size;
#endif
  return b;
}

bool ByteBuffer::grow(size_t n) noexcept {
  const size_t geometric = grown_capacity(capacity_, n);
  if (geometric == 0) return false;
  if (grow_to(geometric)) return true;
  // When that much memory cannot be had: only what is needed.
  const size_t minimal = grown_capacity(0, n);
  return minimal < geometric && grow_to(minimal);
}

bool ByteBuffer::grow_to(size_t want) noexcept {
  if (want >= kMappedFrom) {
#if defined(__linux__)
    if (kind_ == Kind::Mapped) {
      void* moved = ::mremap(data_, capacity_, want, MREMAP_MAYMOVE);
      if (moved != MAP_FAILED) {
        data_ = static_cast<uint8_t*>(moved);
        capacity_ = want;
        return true;
      }
      // The pages could not be moved (some environments refuse): a new
      // mapping and a copy, as for any other buffer.
    }
    return adopt(map_pages(want), want, Kind::Mapped);
#endif
  }
  // Small buffers come from operator new, like every other allocation of
  // the library (and so reach whatever replaces it, a test's fault
  // injection included).
  return adopt(static_cast<uint8_t*>(::operator new(want, std::nothrow)), want, Kind::Heap);
}

bool ByteBuffer::adopt(uint8_t* p, size_t capacity, Kind kind) noexcept {
  if (p == nullptr) return false;
  const size_t keep = size_;
  if (keep != 0) std::memcpy(p, data_, keep);
  release();
  data_ = p;
  size_ = keep;
  capacity_ = capacity;
  kind_ = kind;
  return true;
}

}  // namespace tokenfile
