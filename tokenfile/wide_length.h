// The length of a zero-terminated UTF-16 text, for writers that refuse texts
// above a limit: counting stops soon after the limit, so a long or
// unterminated-looking text costs no more than the limit.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tokenfile {

// The units of `text` before its terminator when there are at most `limit`;
// otherwise some number above `limit`.
#if defined(__SSE2__)
// Eight units a step, in aligned 16-byte blocks. A block may reach before
// the text or past its terminator, but an aligned block never crosses into
// another page, so it reads nothing that could fault (the C library's string
// functions rely on the same); those lanes are not counted, and the address
// checker is told not to flag them.
__attribute__((no_sanitize("address"))) inline size_t wide_length_up_to(const char16_t* text,
                                                                        size_t limit) noexcept {
  const auto address = reinterpret_cast<uintptr_t>(text);
  if ((address & 1) != 0) {
    size_t n = 0;
    while (n <= limit && text[n] != 0) ++n;
    return n;
  }
  const auto* block = reinterpret_cast<const __m128i*>(address & ~uintptr_t{15});
  const auto before = static_cast<uint32_t>(address & 15);  // bytes of the first block before the text
  const __m128i zero = _mm_setzero_si128();
  // Two bits per unit that is zero, the text's first unit at bit 0.
  uint32_t zeros =
      static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_load_si128(block), zero))) >> before;
  size_t counted = (16 - before) / 2;  // units of the text that the blocks so far hold
  while (zeros == 0 && counted <= limit) {
    ++block;
    zeros = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_load_si128(block), zero)));
    if (zeros != 0) return counted + static_cast<size_t>(std::countr_zero(zeros)) / 2;
    counted += 8;
  }
  return zeros != 0 ? static_cast<size_t>(std::countr_zero(zeros)) / 2 : counted;
}
#else
// Four units a step; no unit after the terminator is read.
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
#endif

}  // namespace tokenfile
