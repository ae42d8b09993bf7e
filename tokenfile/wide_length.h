// The length of a zero-terminated UTF-16 text, for writers that refuse texts
// above a limit: counting stops soon after the limit, so a long or
// unterminated-looking text costs no more than the limit.
#pragma once

#include <cstddef>

namespace tokenfile {

// The units of `text` before its terminator when there are at most `limit`;
// otherwise some number above `limit`. Four units a step; no unit after the
// terminator is read.
inline size_t wide_length_up_to(const char16_t* text, size_t limit) noexcept {
  size_t n = 0;
  for (; n <= limit; n += 4) {
    if (text[n] == 0) return n;
    if (text[n + 1] == 0) return n + 1;
    if (text[n + 2] == 0) return n + 2;
    if (text[n + 3] == 0) return n + 3;
  }
  return n;
}

}  // namespace tokenfile
