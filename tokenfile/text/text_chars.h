// Character classes and number conversions of the text encoding, shared by
// its reader and writer. Nothing here depends on the process locale.
#pragma once

#include <cstdint>
#include <string_view>

namespace tokenfile {

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
