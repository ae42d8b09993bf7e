// The bytes of a whole token file or body, as the file container holds them.
//
// Bodies are large and built by appending, so the buffer differs from a
// std::vector in three ways: new bytes are never zero-filled (a load reads
// straight into fresh memory), a large buffer (256 KiB and more) has pages of
// its own that grow by remapping rather than by copying (growth then never
// holds two copies in memory), and a std::vector handed over by the caller
// is taken whole, without a copy. Smaller buffers come from operator new and grow as a vector does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tokenfile {

class ByteBuffer {
 public:
  ByteBuffer() noexcept = default;
  // Takes over the vector's bytes; its size becomes the buffer's.
  explicit ByteBuffer(std::vector<uint8_t>&& bytes) noexcept;
  // The first `size` bytes of the open file `fd`, mapped copy-on-write: the
  // pages are the file's own in the page cache until one is written. An
  // empty buffer when the file cannot be mapped. Reading a page the file no
  // longer holds (another program shrank it) raises SIGBUS.
  static ByteBuffer map_file(int fd, size_t size) noexcept;
  ByteBuffer(ByteBuffer&& other) noexcept;
  ByteBuffer& operator=(ByteBuffer&& other) noexcept;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer();

  uint8_t* data() noexcept { return data_; }
  const uint8_t* data() const noexcept { return data_; }
  size_t size() const noexcept { return size_; }
  // True for a buffer made by map_file.
  bool file_mapped() const noexcept { return kind_ == Kind::FileMapped; }
  // Hands the pages wholly inside [from, to) of a file-mapped buffer back to
  // the system: they stay the file's, in the page cache, and a later read
  // maps them again (no data is lost, as the mapping is never written).
  void release_pages(size_t from, size_t to) noexcept;

  // Makes the size `n`. The first min(n, size()) bytes are kept; bytes past
  // the old size are indeterminate until written. Capacity grows
  // geometrically, so appending costs amortised constant time. False, with
  // the buffer unchanged, when the memory cannot be had.
  [[nodiscard]] bool resize(size_t n) noexcept {
    if (n > capacity_ && !grow(n)) return false;
    size_ = n;
    return true;
  }

  // Makes room for `n` bytes without changing the size; false, unchanged,
  // when the memory cannot be had.
  [[nodiscard]] bool reserve(size_t n) noexcept { return n <= capacity_ || grow(n); }

  // Releases the memory; the size becomes 0.
  void clear() noexcept;

 private:
  enum class Kind : uint8_t { None, Vector, Heap, Mapped, FileMapped };

  // Moves the bytes to a larger allocation (capacity_ >= n afterwards).
  bool grow(size_t n) noexcept;
  bool grow_to(size_t capacity) noexcept;
  // Moves the bytes into the fresh allocation `p` (false when it is null).
  bool adopt(uint8_t* p, size_t capacity, Kind kind) noexcept;
  void release() noexcept;

  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  Kind kind_ = Kind::None;
  // Kind::Vector: the vector taken over, whose memory data_ points into.
  std::vector<uint8_t> vector_;
};

}  // namespace tokenfile
