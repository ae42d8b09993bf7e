// The binary encoding of a token tree (private to the token file library).
//
// Every token, at any depth:
//   u32 id | u32 length | u8 label count n | n UTF-16LE units | content
// where length counts everything after the length field. Values carry no
// type tags: u32/i32/f32 values are 4 bytes, strings a u16 count and the
// characters, byte runs the bytes alone. While a token is being written its
// length holds the placeholder 0xDEDEDEDE.
#pragma once

#include <vector>

#include "tokenfile/file_container.h"
#include "tokenfile/token_stream.h"

namespace tokenfile {

inline constexpr uint32_t LENGTH_PLACEHOLDER = 0xDEDEDEDEu;

class BinaryTokenStream final : public TokenStream {
 public:
  int32_t read_token_open(uint32_t& id, const char16_t** label) noexcept override;
  int32_t read_label(char16_t* text) noexcept override;
  int32_t read_uint(uint32_t& value) noexcept override;
  int32_t read_int(int32_t& value) noexcept override;
  int32_t read_hex(uint32_t& value) noexcept override;
  int32_t read_float(float& value) noexcept override;
  int32_t read_wstring(char16_t* buffer, uint32_t capacity) noexcept override;
  int32_t read_string(char* buffer, uint32_t capacity) noexcept override;
  int32_t read_bytes(uint8_t* buffer, uint32_t count) noexcept override;
  int32_t read_token_ref(uint32_t& id) noexcept override;
  std::unique_ptr<TokenBlock> read_block() noexcept override;
  int32_t read_token_close() noexcept override;

  int32_t write_token_open(uint32_t id, const char16_t* label) noexcept override;
  int32_t write_label(const char16_t* text) noexcept override;
  int32_t write_uint(uint32_t value) noexcept override;
  int32_t write_int(int32_t value) noexcept override;
  int32_t write_hex(uint32_t value) noexcept override;
  int32_t write_float(float value) noexcept override;
  int32_t write_wstring(const char16_t* text) noexcept override;
  int32_t write_string(const char* text) noexcept override;
  int32_t write_bytes(const uint8_t* data, uint32_t count) noexcept override;
  int32_t write_token_ref(uint32_t id) noexcept override;
  int32_t write_block(std::unique_ptr<TokenBlock>& block) noexcept override;
  int32_t write_token_close() noexcept override;

  Mark last_mark() const noexcept override;
  SourceSpan span_of(const Mark& mark) const noexcept override;
  SourcePlace open_token_place() const noexcept override;
  ReadStop read_stop() const noexcept override { return stop_; }
  uint32_t last_string_length() const noexcept override { return string_length_; }

  // Reader: body offset (in `position` terms) at which the innermost open
  // token ends; 0 at the top level. Equals open_tokens.back() or 0.
  uint32_t block_end = 0;
  // Reader: id of the token opened last.
  uint32_t token_id = 0;

 private:
  // Reader: bytes of body left from `position` (0 when it lies past the end).
  uint32_t remaining() const noexcept;
  const uint8_t* cursor() const noexcept;
  // Reader: consumes n bytes that remaining() has vouched for.
  void advance(uint32_t n) noexcept;
  // Reader: moves `position` to `target`, and the body position with it
  // when the target lies within the body. False when it does not.
  bool move_to(uint32_t target) noexcept;
  void pop_open_token() noexcept;
  int32_t read_u32(uint32_t& value) noexcept;
  template <typename Char>
  int32_t read_counted(Char* buffer, uint32_t capacity) noexcept;
  template <typename Char>
  bool read_counted_in_place(Char* buffer, uint32_t capacity) noexcept;
  int32_t append(const void* data, uint32_t count) noexcept;
  int32_t write_u32(uint32_t value) noexcept;

  // Reader: where the last read began (in `position` terms), why it ran out
  // of data, the count of the last string, and where the open tokens began.
  uint32_t span_begin_ = 0;
  ReadStop stop_ = ReadStop::None;
  uint32_t string_length_ = 0;
  std::vector<uint32_t> open_starts_;
  void start_read() noexcept;
  int32_t ran_out() noexcept;  // the body ended: fails without a code
  uint64_t file_offset(uint32_t at) const noexcept;

  // Reader: body_pos - position, fixed when reading starts. The header line
  // may have been stored in UTF-16 (32 bytes) while `position` counts 16.
  uint32_t delta_ = 0;
  bool delta_known_ = false;
  void settle_delta() noexcept;
};

}  // namespace tokenfile
