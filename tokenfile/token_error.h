// Process-wide error code of the token file library.
//
// Every operation reports success with a non-zero result and failure with
// zero; the cause of a failure that has one is left in `token_error`, which
// nothing resets. A caller reads it directly after the failing call.
#pragma once

#include <cstdint>

namespace tokenfile {

inline constexpr int32_t ERR_NO_MEMORY = 3;
inline constexpr int32_t ERR_BLOCK_KIND = 6;
inline constexpr int32_t ERR_BAD_VALUE = 7;
inline constexpr int32_t ERR_END_OF_DATA = 256;
inline constexpr int32_t ERR_SYNTAX = 257;
inline constexpr int32_t ERR_UNKNOWN_TOKEN = 258;
inline constexpr int32_t ERR_BAD_HEADER = 259;
inline constexpr int32_t ERR_END_OF_TOKEN = 260;
inline constexpr int32_t ERR_READ = 261;

// The cause of the last failure that had one; 0 at process start.
extern int32_t token_error;

// One-line early exit: stores `code` and returns the failure result 0.
[[nodiscard]] inline int32_t fail(int32_t code) noexcept {
  token_error = code;
  return 0;
}

// Name of an error code ("ERR_SYNTAX"), or "unknown error" for any other value.
const char* token_error_name(int32_t code) noexcept;

}  // namespace tokenfile
