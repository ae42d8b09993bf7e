#include "tokenfile/text/text_chars.h"

#include <charconv>
#include <cstddef>
#include <limits>
#include <system_error>

namespace tokenfile {

namespace {

constexpr bool is_decimal_digit(char c) noexcept { return c >= '0' && c <= '9'; }

constexpr bool is_hex_digit(char c) noexcept {
  return is_decimal_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Optional sign and decimal digits. `magnitude` saturates just above
// 2^32, which every caller rejects. False when there is no digit.
bool scan_decimal(std::u16string_view text, bool& negative, uint64_t& magnitude) noexcept {
  constexpr uint64_t kSaturated = uint64_t{1} << 33;
  size_t i = 0;
  negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  const size_t first_digit = i;
  magnitude = 0;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    magnitude = magnitude * 10 + (text[i] - u'0');
    if (magnitude > kSaturated) magnitude = kSaturated;
  }
  return i > first_digit;
}

// Whether a number that failed to fit a float (`digits` to `end`, the part
// after the sign that the conversion matched) lies above 1 in magnitude, so
// that it overflowed rather than underflowed. Compares the place of the
// first non-zero digit plus the exponent against zero; for the hexadecimal
// form a digit counts four binary places.
bool overflows(const char* digits, const char* end, bool hex) noexcept {
  constexpr int64_t kLimit = int64_t{1} << 40;
  int64_t lead = 0;  // place of the first non-zero digit: 1 for units, 0 for tenths, ...
  bool seen_point = false;
  bool seen_nonzero = false;
  const char* p = digits;
  for (; p < end; ++p) {
    const char c = *p;
    if (c == '.') {
      seen_point = true;
      continue;
    }
    if (!(hex ? is_hex_digit(c) : is_decimal_digit(c))) break;
    if (seen_nonzero) {
      if (!seen_point && lead < kLimit) ++lead;
    } else if (c != '0') {
      seen_nonzero = true;
      if (!seen_point) lead = 1;
    } else if (seen_point && lead > -kLimit) {
      --lead;
    }
  }
  int64_t exponent = 0;
  if (p < end && (*p == 'e' || *p == 'E' || *p == 'p' || *p == 'P')) {
    ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    for (; p < end && is_decimal_digit(*p); ++p)
      if (exponent < kLimit) exponent = exponent * 10 + (*p - '0');
    if (negative) exponent = -exponent;
  }
  return (hex ? 4 * lead : lead) + exponent > 0;
}

// Copies characters that can belong to a number into an 8-bit buffer;
// stops at the first one that cannot.
size_t narrow_number_text(std::u16string_view text, char* out, size_t capacity) noexcept {
  size_t n = 0;
  for (; n < text.size() && n < capacity; ++n) {
    const char16_t c = text[n];
    const bool allowed = (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                         c == u'+' || c == u'-' || c == u'.' || c == u'(' || c == u')' || c == u'_';
    if (!allowed) break;
    out[n] = static_cast<char>(c);
  }
  return n;
}

uint32_t widen(const char* text, const char* end, char16_t* out) noexcept {
  uint32_t n = 0;
  for (const char* p = text; p < end; ++p) out[n++] = static_cast<char16_t>(static_cast<unsigned char>(*p));
  return n;
}

}  // namespace

bool scan_text_uint(std::u16string_view text, uint32_t& value) noexcept {
  bool negative = false;
  uint64_t magnitude = 0;
  if (!scan_decimal(text, negative, magnitude) || magnitude > std::numeric_limits<uint32_t>::max())
    return false;
  const uint32_t m = static_cast<uint32_t>(magnitude);
  value = negative ? 0u - m : m;
  return true;
}

bool scan_text_int(std::u16string_view text, int32_t& value) noexcept {
  bool negative = false;
  uint64_t magnitude = 0;
  if (!scan_decimal(text, negative, magnitude)) return false;
  if (magnitude > (negative ? uint64_t{0x80000000} : uint64_t{0x7FFFFFFF})) return false;
  value = negative ? static_cast<int32_t>(-static_cast<int64_t>(magnitude)) : static_cast<int32_t>(magnitude);
  return true;
}

bool scan_text_float(std::u16string_view text, float& value) noexcept {
  // A number longer than this is still read whole up to here; text beyond a
  // lexeme's 1055 characters never reaches the scan.
  char buffer[1100];
  const size_t size = narrow_number_text(text, buffer, sizeof buffer);
  const char* p = buffer;
  const char* const end = buffer + size;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  // std::from_chars takes a minus sign of its own; a second sign is no number.
  if (p < end && (*p == '+' || *p == '-')) return false;

  float v = 0;
  std::from_chars_result r{p, std::errc::invalid_argument};
  bool hex = false;
  if (end - p > 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') &&
      (is_hex_digit(p[2]) || (p[2] == '.' && end - p > 3 && is_hex_digit(p[3])))) {
    hex = true;
    r = std::from_chars(p + 2, end, v, std::chars_format::hex);
  } else {
    // "0x" without hexadecimal digits reads as the 0 before the x.
    r = std::from_chars(p, end, v, std::chars_format::general);
  }
  if (r.ec == std::errc::result_out_of_range) {
    v = overflows(hex ? p + 2 : p, r.ptr, hex) ? std::numeric_limits<float>::infinity() : 0.0f;
  } else if (r.ec != std::errc()) {
    return false;
  }
  value = negative ? -v : v;
  return true;
}

uint32_t format_text_uint(uint32_t value, char16_t* out) noexcept {
  char buffer[kNumberTextCapacity];
  const auto r = std::to_chars(buffer, buffer + sizeof buffer, value);
  return widen(buffer, r.ptr, out);
}

uint32_t format_text_int(int32_t value, char16_t* out) noexcept {
  char buffer[kNumberTextCapacity];
  const auto r = std::to_chars(buffer, buffer + sizeof buffer, value);
  return widen(buffer, r.ptr, out);
}

uint32_t format_text_float(double value, char16_t* out) noexcept {
  // to_chars with a precision formats as printf with "%.*g" does in the "C"
  // locale; the longest result ("-2.22507e-308", "-nan") fits easily.
  char buffer[kNumberTextCapacity];
  const auto r = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 6);
  return widen(buffer, r.ptr, out);
}

}  // namespace tokenfile
