// Binary token reader: reads the binary layout in place from the loaded body,
// bounding every read by the end of the innermost open token and the body.
#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#include "tokenfile/binary/binary_stream.h"
#include "tokenfile/byte_order.h"
#include "tokenfile/stream_factory.h"

namespace tokenfile {

std::unique_ptr<TokenStream> make_binary_token_stream() noexcept {
  return std::unique_ptr<TokenStream>(new (std::nothrow) BinaryTokenStream);
}

void BinaryTokenStream::settle_delta() noexcept {
  if (!delta_known_) {
    delta_ = container->body_pos - position;
    delta_known_ = true;
  }
}

uint32_t BinaryTokenStream::remaining() const noexcept {
  const uint64_t offset = static_cast<uint64_t>(position) + delta_;
  return offset >= container->body_size ? 0 : static_cast<uint32_t>(container->body_size - offset);
}

const uint8_t* BinaryTokenStream::cursor() const noexcept { return container->body() + position + delta_; }

void BinaryTokenStream::advance(uint32_t n) noexcept {
  // Nothing to consume: `position` may stand past the body (a token closed
  // whose end lay beyond it), and the body position must not follow it.
  if (n == 0) return;
  position += n;
  container->body_pos = position + delta_;
  container_note_position(*container);
}

bool BinaryTokenStream::move_to(uint32_t target) noexcept {
  const uint64_t offset = static_cast<uint64_t>(target) + delta_;
  if (offset > container->body_size) return false;
  position = target;
  container->body_pos = static_cast<uint32_t>(offset);
  return true;
}

void BinaryTokenStream::start_read() noexcept {
  settle_delta();
  stop_ = ReadStop::None;
  span_begin_ = position;
}

int32_t BinaryTokenStream::ran_out() noexcept {
  stop_ = ReadStop::BodyEnd;
  return 0;
}

uint64_t BinaryTokenStream::file_offset(uint32_t at) const noexcept {
  return static_cast<uint64_t>(container->header_bytes) + at + delta_;
}

TokenStream::Mark BinaryTokenStream::last_mark() const noexcept {
  if (!container) return {};
  // A token closed past the end of a cut body leaves position beyond it.
  const uint64_t body_end = static_cast<uint64_t>(container->header_bytes) + container->body_size;
  const uint32_t end = position >= span_begin_ ? position : span_begin_;
  return {std::min(file_offset(span_begin_), body_end), std::min(file_offset(end), body_end)};
}

SourceSpan BinaryTokenStream::span_of(const Mark& mark) const noexcept {
  return {{0, 0, mark.begin}, {0, 0, mark.end}, static_cast<uint32_t>(mark.end - mark.begin)};
}

SourcePlace BinaryTokenStream::open_token_place() const noexcept {
  if (!container || open_starts_.empty()) return {};
  return {0, 0, file_offset(open_starts_.back())};
}

void BinaryTokenStream::pop_open_token() noexcept {
  if (!open_tokens.empty()) open_tokens.pop_back();
  if (!open_starts_.empty()) open_starts_.pop_back();
  block_end = open_tokens.empty() ? 0 : open_tokens.back();
}

// Fails with ERR_END_OF_TOKEN (nothing consumed) when the innermost open
// token has no further child; with ERR_END_OF_DATA when fewer than 4 bytes
// are left for an id; with ERR_READ, standing after the id and size fields
// and opening nothing, when the token would end past the end of the
// innermost open token (or past 2^32). From the push of the token's end on, the token counts
// as open even if its label cannot be read.
int32_t BinaryTokenStream::read_token_open(uint32_t& id, const char16_t** label_out) noexcept {
  start_read();
  if (!open_tokens.empty() && position >= block_end)
    return stop_ = ReadStop::TokenEnd, fail(ERR_END_OF_TOKEN);
  const uint32_t available = remaining();
  if (available < 4) {
    stop_ = available == 0 ? ReadStop::BodyEnd : ReadStop::DamagedTail;
    return fail(ERR_END_OF_DATA);
  }
  // A token ends within the innermost open one: a child that claimed to run
  // past its parent's end would, when closed, move reading back, and the
  // bytes after it would be read again as its parent's siblings (at every
  // level of such nesting, twice the work). An end past 2^32 would wrap to
  // before the token and read it again.
  const uint64_t limit = open_tokens.empty() ? 0xFFFFFFFFu : block_end;
  if (available >= 9) {
    // The whole head is in the body: the same steps as below, with one
    // bounds check and one move.
    const uint8_t* p = cursor();
    const uint32_t count = p[8];
    const uint64_t end = static_cast<uint64_t>(position) + 8 + load_u32le(p + 4);
    if (available - 9 >= 2 * count && end <= limit) {
      id = load_u32le(p);
      token_id = id;
      try {
        open_starts_.reserve(open_tokens.size() + 1);
        open_tokens.push_back(static_cast<uint32_t>(end));
        open_starts_.push_back(span_begin_);
      } catch (const std::bad_alloc&) {
        advance(8);
        return fail(ERR_NO_MEMORY);
      }
      block_end = static_cast<uint32_t>(end);
      const uint32_t kept = count < 32 ? count : 32;
      for (uint32_t i = 0; i < kept; ++i) label[i] = static_cast<char16_t>(load_u16le(p + 9 + 2 * i));
      label[kept] = 0;
      if (label_out) *label_out = count == 0 ? nullptr : label;
      advance(9 + 2 * count);
      return 1;
    }
  }
  id = load_u32le(cursor());
  advance(4);
  token_id = id;
  if (remaining() < 4) return ran_out();
  const uint32_t length = load_u32le(cursor());
  advance(4);
  const uint64_t end = static_cast<uint64_t>(position) + length;
  if (end > limit) return fail(ERR_READ);
  try {
    open_starts_.reserve(open_tokens.size() + 1);
    open_tokens.push_back(static_cast<uint32_t>(end));
    open_starts_.push_back(span_begin_);
  } catch (const std::bad_alloc&) {
    return fail(ERR_NO_MEMORY);
  }
  block_end = static_cast<uint32_t>(end);
  if (remaining() < 1) return ran_out();
  const uint32_t count = *cursor();
  advance(1);
  if (count == 0) {
    label[0] = 0;
    if (label_out) *label_out = nullptr;
    return 1;
  }
  if (remaining() < 2 * count) return ran_out();
  const uint8_t* p = cursor();
  const uint32_t kept = count < 32 ? count : 32;
  for (uint32_t i = 0; i < kept; ++i) label[i] = static_cast<char16_t>(load_u16le(p + 2 * i));
  label[kept] = 0;
  advance(2 * count);
  if (label_out) *label_out = label;
  return 1;
}

int32_t BinaryTokenStream::read_label(char16_t*) noexcept { return 1; }

int32_t BinaryTokenStream::read_u32(uint32_t& value) noexcept {
  start_read();
  if (static_cast<uint64_t>(position) + 4 > block_end)
    return stop_ = ReadStop::TokenEnd, fail(ERR_END_OF_TOKEN);
  if (remaining() < 4) return ran_out();
  value = load_u32le(cursor());
  advance(4);
  return 1;
}

int32_t BinaryTokenStream::read_uint(uint32_t& value) noexcept { return read_u32(value); }
int32_t BinaryTokenStream::read_hex(uint32_t& value) noexcept { return read_u32(value); }
int32_t BinaryTokenStream::read_token_ref(uint32_t& id) noexcept { return read_u32(id); }

int32_t BinaryTokenStream::read_int(int32_t& value) noexcept {
  uint32_t bits;
  if (!read_u32(bits)) return 0;
  value = static_cast<int32_t>(bits);
  return 1;
}

int32_t BinaryTokenStream::read_float(float& value) noexcept {
  uint32_t bits;
  if (!read_u32(bits)) return 0;
  std::memcpy(&value, &bits, sizeof value);
  return 1;
}

int32_t BinaryTokenStream::read_bytes(uint8_t* buffer, uint32_t count) noexcept {
  start_read();
  if (static_cast<uint64_t>(position) + count > block_end)
    return stop_ = ReadStop::TokenEnd, fail(ERR_END_OF_TOKEN);
  if (remaining() < count) return ran_out();
  if (count != 0) std::memcpy(buffer, cursor(), count);
  advance(count);
  return 1;
}

// A string is a u16 count and that many characters. Only its start is bound
// by the token's end; the characters are bound by the body. A string longer
// than the buffer fails, but leaves the stream after the whole string so
// that reading can go on.
template <typename Char>
[[gnu::noinline]] int32_t BinaryTokenStream::read_counted(Char* buffer, uint32_t capacity) noexcept {
  start_read();
  if (position >= block_end) return stop_ = ReadStop::TokenEnd, fail(ERR_END_OF_TOKEN);
  if (capacity == 0) return fail(ERR_BAD_VALUE);  // not even a terminator fits
  const uint32_t available = remaining();
  if (available < 2) return ran_out();
  const uint32_t n = load_u16le(cursor());
  string_length_ = n;
  advance(2);
  const uint32_t bytes = n * static_cast<uint32_t>(sizeof(Char));
  auto copy = [&](uint32_t chars) {
    const uint8_t* p = cursor();
    if constexpr (sizeof(Char) == 1 || std::endian::native == std::endian::little) {
      std::memcpy(buffer, p, chars * sizeof(Char));  // already the host's form
      return;
    }
    for (uint32_t i = 0; i < chars; ++i) {
      if constexpr (sizeof(Char) == 2) {
        buffer[i] = static_cast<Char>(load_u16le(p + 2 * i));
      } else {
        buffer[i] = static_cast<Char>(p[i]);
      }
    }
  };
  if (n < capacity) {
    if (remaining() < bytes) return ran_out();
    copy(n);
    buffer[n] = 0;
    advance(bytes);
    return 1;
  }
  if (n == capacity) {
    if (remaining() < bytes) return ran_out();
    copy(n - 1);
    buffer[n - 1] = 0;
    advance(bytes);
    return 1;
  }
  const uint32_t kept = capacity * static_cast<uint32_t>(sizeof(Char));
  if (remaining() < kept) return ran_out();
  copy(capacity);
  if (remaining() < bytes) {
    advance(kept);
    stop_ = ReadStop::BodyEnd;
    return fail(ERR_READ);
  }
  advance(bytes);
  return 0;
}

// The usual string, which fits the buffer, its token and the body, in few
// instructions; false, with nothing read, for every other case, which
// read_counted takes.
template <typename Char>
bool BinaryTokenStream::read_counted_in_place(Char* buffer, uint32_t capacity) noexcept {
  if constexpr (sizeof(Char) == 1 || std::endian::native == std::endian::little) {
    const uint64_t offset = static_cast<uint64_t>(position) + delta_;
    if (!delta_known_ || position >= block_end || offset + 2 > container->body_size) return false;
    const uint8_t* p = container->body() + offset;
    const uint32_t n = load_u16le(p);
    const uint32_t bytes = n * static_cast<uint32_t>(sizeof(Char));
    if (n >= capacity || offset + 2 + bytes > container->body_size) return false;
    stop_ = ReadStop::None;
    span_begin_ = position;
    string_length_ = n;
    std::memcpy(buffer, p + 2, bytes);
    buffer[n] = 0;
    advance(2 + bytes);
    return true;
  }
  return false;
}

int32_t BinaryTokenStream::read_wstring(char16_t* buffer, uint32_t capacity) noexcept {
  return read_counted_in_place(buffer, capacity) ? 1 : read_counted(buffer, capacity);
}

int32_t BinaryTokenStream::read_string(char* buffer, uint32_t capacity) noexcept {
  return read_counted_in_place(buffer, capacity) ? 1 : read_counted(buffer, capacity);
}

// Skips to the end of the innermost open token and closes it. When that end
// lies past the body (a truncated file) the token is closed all the same,
// but the result is a failure with ERR_READ: the data was not all there.
int32_t BinaryTokenStream::read_token_close() noexcept {
  start_read();
  if (open_tokens.empty()) return fail(ERR_SYNTAX);
  int32_t result = 1;
  if (!move_to(block_end)) {
    position = block_end;
    stop_ = ReadStop::BodyEnd;
    result = fail(ERR_READ);
  }
  pop_open_token();
  return result;
}

// The innermost open token as a complete binary token image: id, length,
// label and the unread rest of its content. Null with the token still open
// when the rest is not all in the body.
std::unique_ptr<TokenBlock> BinaryTokenStream::read_block() noexcept {
  start_read();
  if (open_tokens.empty() || position > block_end) {
    token_error = open_tokens.empty() ? ERR_SYNTAX : ERR_READ;
    return nullptr;
  }
  const uint32_t rest = block_end - position;
  if (remaining() < rest) return ran_out(), nullptr;  // checked before anything is allocated
  uint32_t k = 0;
  while (k < 32 && label[k] != 0) ++k;
  const uint64_t size = static_cast<uint64_t>(rest) + 2 * k + 9;
  if (size > 0xFFFFFFFFu) return nullptr;
  std::unique_ptr<TokenBlock> block;
  try {
    block = std::make_unique<TokenBlock>();
    block->kind = BLOCK_BINARY;
    block->bytes.resize(static_cast<size_t>(size));
  } catch (const std::bad_alloc&) {
    token_error = ERR_NO_MEMORY;
    return nullptr;
  }
  uint8_t* out = block->bytes.data();
  store_u32le(out, token_id);
  store_u32le(out + 4, static_cast<uint32_t>(size - 8));
  out[8] = static_cast<uint8_t>(k);
  for (uint32_t i = 0; i < k; ++i) store_u16le(out + 9 + 2 * i, label[i]);
  if (rest != 0) std::memcpy(out + 9 + 2 * k, cursor(), rest);
  advance(rest);
  pop_open_token();
  return block;
}

}  // namespace tokenfile
