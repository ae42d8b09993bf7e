// Small byte-building helpers shared by the tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

using Bytes = std::vector<uint8_t>;

inline void put(Bytes& b, std::initializer_list<uint8_t> v) { b.insert(b.end(), v); }
inline void put_u32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void put_str(Bytes& b, const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }
inline void put_wide(Bytes& b, const std::u16string& s) {
  for (char16_t c : s) {
    b.push_back(static_cast<uint8_t>(c));
    b.push_back(static_cast<uint8_t>(c >> 8));
  }
}

// `s` written n times over.
inline std::u16string repeat(std::u16string_view s, size_t n) {
  std::u16string r;
  while (n-- > 0) r += s;
  return r;
}

// The 16-byte 8-bit file header of an uncompressed file.
inline Bytes narrow_file_header() { return Bytes{'T', 'O', 'R', 'V', 'I', 'A', '@', '@', '@', '@', '@', '@', '@', '@', '@', '@'}; }

}  // namespace testsupport
