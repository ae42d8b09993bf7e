// Binary token writer: appends the binary layout to the body in one pass and
// back-patches each token's length when it closes.
#include <bit>
#include <cstring>
#include <new>
#include <string>

#include "tokenfile/binary/binary_stream.h"
#include "tokenfile/byte_order.h"
#include "tokenfile/wide_length.h"

namespace tokenfile {

// Appends all of `data` or nothing; fails without a code when the body
// cannot grow.
int32_t BinaryTokenStream::append(const void* data, uint32_t count) noexcept {
  if (count == 0) return 1;
  if (container_write(*container, data, count) != count) return 0;
  position += count;
  return 1;
}

int32_t BinaryTokenStream::write_u32(uint32_t value) noexcept {
  uint8_t bytes[4];
  store_u32le(bytes, value);
  return append(bytes, 4);
}

// A label longer than the one-byte count can hold is refused with
// ERR_BAD_VALUE before anything is appended.
int32_t BinaryTokenStream::write_token_open(uint32_t id, const char16_t* text) noexcept {
  const size_t n = text ? wide_length_up_to(text, 255) : 0;
  if (n > 255) return fail(ERR_BAD_VALUE);
  if (n == 0) {
    // The usual token, without a label: a head of fixed size.
    uint8_t head[9];
    store_u32le(head, id);
    store_u32le(head + 4, LENGTH_PLACEHOLDER);
    head[8] = 0;
    try {
      open_tokens.push_back(position + 4);
    } catch (const std::bad_alloc&) {
      return fail(ERR_NO_MEMORY);
    }
    container->keep_from = open_tokens.front();
    if (!append(head, sizeof head)) {
      open_tokens.pop_back();
      return 0;
    }
    return 1;
  }
  uint8_t head[9 + 2 * 255];
  store_u32le(head, id);
  store_u32le(head + 4, LENGTH_PLACEHOLDER);
  head[8] = static_cast<uint8_t>(n);
  for (size_t i = 0; i < n; ++i) store_u16le(head + 9 + 2 * i, text[i]);
  try {
    open_tokens.push_back(position + 4);  // where the length field goes
  } catch (const std::bad_alloc&) {
    return fail(ERR_NO_MEMORY);
  }
  container->keep_from = open_tokens.front();
  if (!append(head, static_cast<uint32_t>(9 + 2 * n))) {
    open_tokens.pop_back();
    return 0;
  }
  return 1;
}

int32_t BinaryTokenStream::write_label(const char16_t*) noexcept { return 1; }
int32_t BinaryTokenStream::write_uint(uint32_t value) noexcept { return write_u32(value); }
int32_t BinaryTokenStream::write_hex(uint32_t value) noexcept { return write_u32(value); }
int32_t BinaryTokenStream::write_token_ref(uint32_t id) noexcept { return write_u32(id); }
int32_t BinaryTokenStream::write_int(int32_t value) noexcept {
  return write_u32(static_cast<uint32_t>(value));
}
int32_t BinaryTokenStream::write_float(float value) noexcept {
  return write_u32(std::bit_cast<uint32_t>(value));
}

// Strings of more than 65535 characters do not fit the u16 count: they fail
// with ERR_BAD_VALUE before anything is appended.
int32_t BinaryTokenStream::write_wstring(const char16_t* text) noexcept {
  const size_t n = wide_length_up_to(text, 0xFFFF);
  if (n > 0xFFFF) return fail(ERR_BAD_VALUE);
  uint8_t buffer[2 + 2 * 512];
  store_u16le(buffer, static_cast<uint16_t>(n));
  if constexpr (std::endian::native == std::endian::little) {
    // The characters are already UTF-16LE in memory.
    return append(buffer, 2) && append(text, static_cast<uint32_t>(2 * n));
  }
  uint32_t used = 2;
  for (size_t i = 0; i < n; ++i) {
    if (used == sizeof buffer) {
      if (!append(buffer, used)) return 0;
      used = 0;
    }
    store_u16le(buffer + used, text[i]);
    used += 2;
  }
  return append(buffer, used);
}

int32_t BinaryTokenStream::write_string(const char* text) noexcept {
  const size_t n = std::strlen(text);
  if (n > 0xFFFF) return fail(ERR_BAD_VALUE);
  uint8_t count[2];
  store_u16le(count, static_cast<uint16_t>(n));
  return append(count, 2) && append(text, static_cast<uint32_t>(n));
}

int32_t BinaryTokenStream::write_bytes(const uint8_t* data, uint32_t count) noexcept {
  return append(data, count);
}

int32_t BinaryTokenStream::write_block(std::unique_ptr<TokenBlock>& block) noexcept {
  if (!block || block->kind != BLOCK_BINARY) return fail(ERR_BLOCK_KIND);
  if (!append(block->bytes.data(), block->size())) return 0;
  block.reset();
  return 1;
}

// Fills in the innermost open token's length. Without an open token it fails
// with ERR_SYNTAX and touches nothing.
int32_t BinaryTokenStream::write_token_close() noexcept {
  if (open_tokens.empty()) return fail(ERR_SYNTAX);
  const uint32_t field = open_tokens.back();
  open_tokens.pop_back();
  if (static_cast<uint64_t>(field) + 4 > container->body_size || field + 4 > position) return fail(ERR_READ);
  container_patch_u32(*container, field, position - field - 4);
  if (open_tokens.empty()) container->keep_from = CONTAINER_KEEP_NONE;
  return 1;
}

}  // namespace tokenfile
