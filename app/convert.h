// Input map conversion: the source form of a map (device, control and
// modifier names) into its run-time form (codes and masks).
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "app/console.h"
#include "app/reporter.h"
#include "tokenfile/token_stream.h"

namespace mapbake {

// A target that takes every write and keeps nothing: for --check, and
// once a conversion has failed, when reading goes on for the diagnostics.
class NullTarget final : public tokenfile::TokenStream {
  // clang-format off
#define ANY(signature) int32_t signature noexcept override { return 1; }
  ANY(read_token_open(uint32_t&, const char16_t**)) ANY(read_label(char16_t*)) ANY(read_uint(uint32_t&))
  ANY(read_int(int32_t&)) ANY(read_hex(uint32_t&)) ANY(read_float(float&)) ANY(read_token_ref(uint32_t&))
  ANY(read_wstring(char16_t*, uint32_t)) ANY(read_string(char*, uint32_t)) ANY(read_token_close())
  ANY(read_bytes(uint8_t*, uint32_t)) ANY(write_token_open(uint32_t, const char16_t*))
  ANY(write_label(const char16_t*)) ANY(write_uint(uint32_t)) ANY(write_int(int32_t)) ANY(write_hex(uint32_t))
  ANY(write_float(float)) ANY(write_wstring(const char16_t*)) ANY(write_string(const char*))
  ANY(write_bytes(const uint8_t*, uint32_t)) ANY(write_token_ref(uint32_t)) ANY(write_token_close())
  ANY(write_block(std::unique_ptr<tokenfile::TokenBlock>&))
#undef ANY
      // clang-format on
      std::unique_ptr<tokenfile::TokenBlock> read_block() noexcept override {
    return nullptr;
  }
};

// Reads the token tree of an input map from `source` (open for reading, any
// encoding) and writes its run-time tree to `target` (open for writing, any
// encoding): each top-level io_dev with its device code and number, its
// leading sguid, and its io_map children with control code, binding string
// and modifier mask. Every other token is dropped.
//
// Returns non-zero when the whole source was converted. On failure it has
// printed "Error converting file (source file line %u)\n" on standard output
// (when `stdout_message`), with token_stream_line of the source where the
// first failure was noticed; what was written to the target stays there
// (the caller discards it). Diagnostics go to `reporter`: every error it can
// find, reading on after a failure wherever the source still makes sense
// (the failing io_map, or io_dev, skipped), up to the reporter's limit; and
// warnings about what converts but is probably not meant. A string longer
// than 255 characters converts cut to 255.
[[nodiscard]] int32_t convert_input_map(tokenfile::TokenStream& source, tokenfile::TokenStream& target,
                                        Console& console, Reporter& reporter, bool stdout_message) noexcept;

// The same with the default diagnostics, naming `source_name`.
[[nodiscard]] int32_t convert_input_map(tokenfile::TokenStream& source, tokenfile::TokenStream& target,
                                        Console& console, std::string_view source_name) noexcept;

}  // namespace mapbake
