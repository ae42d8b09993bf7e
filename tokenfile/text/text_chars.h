// Character classes and number conversions of the text encoding, shared by
// its reader and writer. Nothing here depends on the process locale.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace tokenfile {

// --- eight UTF-16 units at a time ---
//
// The hot loops of the reader and the writer look at runs of characters
// eight units at a time, through the vector extensions of GCC and Clang
// (SSE2 on x86-64). They are used on little-endian hosts only, where units
// in memory and UTF-16LE bytes agree; elsewhere the loops go unit by unit.

using TextUnits = uint16_t __attribute__((vector_size(16)));
using TextLanes = int16_t __attribute__((vector_size(16)));  // all ones or zero per lane
inline constexpr uint32_t kTextLanes = 8;
inline constexpr bool kTextVectors = std::endian::native == std::endian::little;

// Eight lanes of the same unit: the other operand of a lane-wise comparison
// (spelled out, as Clang 14 fails on a vector compared with a scalar).
constexpr TextUnits splat_units(uint16_t v) noexcept { return TextUnits{v, v, v, v, v, v, v, v}; }

inline TextUnits load_text_units(const void* p) noexcept {
  TextUnits u;
  std::memcpy(&u, p, sizeof u);
  return u;
}

// Two bits per lane, lane 0 lowest, both set where the lane's mask is: a
// lane mask as an integer. On x86-64 one instruction (SSE2's byte mask).
inline uint32_t lane_bits(TextLanes mask) noexcept {
#if defined(__SSE2__)
  return static_cast<uint32_t>(
      __builtin_ia32_pmovmskb128(reinterpret_cast<__attribute__((vector_size(16))) char&>(mask)));
#else
  uint64_t words[2];
  std::memcpy(words, &mask, sizeof words);
  uint32_t bits = 0;
  for (uint32_t lane = 0; lane < kTextLanes; ++lane)
    if ((words[lane / 4] >> (16 * (lane % 4))) & 1) bits |= 3u << (2 * lane);
  return bits;
#endif
}

// The first lane whose mask is set, or kTextLanes.
inline uint32_t first_set_lane(TextLanes mask) noexcept {
  const uint32_t bits = lane_bits(mask);
  return bits == 0 ? kTextLanes : static_cast<uint32_t>(std::countr_zero(bits)) / 2;
}

// The number of lanes whose mask is set (a multiplication adds up the low
// bit of every lane in the top lane; no population count instruction is
// assumed).
inline uint32_t set_lanes(TextLanes mask) noexcept {
  constexpr uint64_t kLaneBits = 0x0001000100010001u;
  uint64_t words[2];
  std::memcpy(words, &mask, sizeof words);
  return static_cast<uint32_t>((((words[0] & kLaneBits) * kLaneBits) >> 48) +
                               (((words[1] & kLaneBits) * kLaneBits) >> 48));
}

// True when any lane's mask is set.
inline bool any_lane(TextLanes mask) noexcept { return lane_bits(mask) != 0; }

// White space of the text encoding. Below U+0100: U+0000 to U+0020 and
// U+007F (U+0080 to U+00FF are ordinary characters, even U+0085 and U+00A0).
// From U+0100 up: the Unicode White_Space characters.
constexpr bool is_text_white_space(char16_t c) noexcept {
  if (c < 0x100) return c <= 0x20 || c == 0x7F;
  return c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x205F ||
         c == 0x3000;
}

// The first character of a word that makes it a number lexeme.
constexpr bool is_number_start(char16_t c) noexcept {
  return c == u'+' || c == u'-' || c == u'.' || (c >= u'0' && c <= u'9');
}

// Value 0 to 15 of a hexadecimal digit (either case), or -1.
constexpr int hex_digit_value(char16_t c) noexcept {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// The three number scans take the longest valid beginning of `text` and
// ignore the rest ("12ab" gives 12). They return false, leaving `value`
// alone, when no value can be taken at all or (integers only) when the
// value's magnitude does not fit.

// As "%u": optional sign, decimal digits; a negative number gives its two's
// complement ("-1" gives 4294967295). Magnitude above 4294967295 fails.
bool scan_text_uint(std::u16string_view text, uint32_t& value) noexcept;

// As "%d": optional sign, decimal digits, within the signed 32-bit range.
bool scan_text_int(std::u16string_view text, int32_t& value) noexcept;

// As "%e" into a float: decimal or hexadecimal ("0x") floating forms, "inf",
// "infinity" and "nan" in any case, each after an optional sign. Values too
// large become an infinity and values too small a zero, as the C library's
// scan stores them.
bool scan_text_float(std::u16string_view text, float& value) noexcept;

// Room for the longest result of the format functions below.
inline constexpr uint32_t kNumberTextCapacity = 32;

// Formats as printf's "%u", "%d" and "%g" (six significant digits) do in the
// "C" locale. Writes no terminator; returns the number of characters.
uint32_t format_text_uint(uint32_t value, char16_t* out) noexcept;
uint32_t format_text_int(int32_t value, char16_t* out) noexcept;
uint32_t format_text_float(double value, char16_t* out) noexcept;

}  // namespace tokenfile
