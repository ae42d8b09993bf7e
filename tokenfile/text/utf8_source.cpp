#include "tokenfile/text/utf8_source.h"

#include <cstring>
#include <new>

#include "tokenfile/byte_order.h"

namespace tokenfile {

namespace {

constexpr uint8_t kByteOrderMark[3] = {0xEF, 0xBB, 0xBF};
constexpr uint64_t kHighBits = 0x8080808080808080u;
// The longest stream header line in UTF-8: 14 characters and CR LF.
constexpr size_t kHeaderChars = 14;

// The length of the stream header line of the text encoding at `line`
// (its line end included), or 0 when the first line is none. Its 14
// characters are ASCII; the tag, the encoding 't' and a format version of
// '0' or below are checked here, the file type and version by the stream.
size_t text_header_length(const uint8_t* line, size_t size) noexcept {
  if (size < kHeaderChars + 1) return 0;
  for (size_t i = 0; i < kHeaderChars; ++i)
    if (line[i] >= 0x80) return 0;
  if (line[7] != 't' || line[4] > '0') return 0;
  if (line[kHeaderChars] == '\n') return kHeaderChars + 1;
  if (line[kHeaderChars] == '\r' && size > kHeaderChars + 1 && line[kHeaderChars + 1] == '\n')
    return kHeaderChars + 2;
  return 0;
}

// Decodes `in` to UTF-16LE at `out`; returns the end of the output, or
// null with `bad` at the first bad sequence and `fault` saying why.
uint8_t* decode(const uint8_t* in, const uint8_t* end, uint8_t* out, const uint8_t*& bad,
                Utf8Fault& fault) noexcept {
  while (in < end) {
    // Runs of ASCII, eight bytes at a time.
    while (end - in >= 8) {
      uint64_t w;
      std::memcpy(&w, in, sizeof w);
      if ((w & kHighBits) != 0) break;
      for (int k = 0; k < 8; ++k) {
        out[2 * k] = in[k];
        out[2 * k + 1] = 0;
      }
      in += 8;
      out += 16;
    }
    if (in == end) break;
    const uint8_t b = *in;
    if (b < 0x80) {
      out[0] = b;
      out[1] = 0;
      out += 2;
      ++in;
      continue;
    }
    // The lead byte says how many continuation bytes follow and, for a
    // few leads, the range of the first one: below it an overlong form,
    // above it a surrogate or a value past U+10FFFF.
    size_t more = 0;
    uint32_t c = 0;
    uint8_t low = 0x80, high = 0xBF;
    Utf8Fault below = Utf8Fault::None, above = Utf8Fault::None;
    if (b < 0xC0) {
      fault = Utf8Fault::Stray;
    } else if (b < 0xC2) {
      fault = Utf8Fault::Overlong;
    } else if (b < 0xE0) {
      more = 1, c = b & 0x1Fu;
    } else if (b < 0xF0) {
      more = 2, c = b & 0x0Fu;
      if (b == 0xE0) low = 0xA0, below = Utf8Fault::Overlong;
      if (b == 0xED) high = 0x9F, above = Utf8Fault::Surrogate;
    } else if (b < 0xF5) {
      more = 3, c = b & 0x07u;
      if (b == 0xF0) low = 0x90, below = Utf8Fault::Overlong;
      if (b == 0xF4) high = 0x8F, above = Utf8Fault::PastMax;
    } else {
      fault = b < 0xF8 ? Utf8Fault::PastMax : Utf8Fault::BadByte;
    }
    if (more == 0) return bad = in, nullptr;
    for (size_t k = 1; k <= more; ++k) {
      if (static_cast<size_t>(end - in) <= k || in[k] < 0x80 || in[k] > 0xBF)
        return bad = in, fault = Utf8Fault::Cut, nullptr;
      if (k == 1 && in[1] < low) return bad = in, fault = below, nullptr;
      if (k == 1 && in[1] > high) return bad = in, fault = above, nullptr;
      c = (c << 6) | (in[k] & 0x3Fu);
    }
    in += more + 1;
    if (c < 0x10000) {
      store_u16le(out, static_cast<uint16_t>(c));
      out += 2;
    } else {
      c -= 0x10000;
      store_u16le(out, static_cast<uint16_t>(0xD800 + (c >> 10)));
      store_u16le(out + 2, static_cast<uint16_t>(0xDC00 + (c & 0x3FF)));
      out += 4;
    }
  }
  return out;
}

void put_utf8(std::vector<uint8_t>& out, uint32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<uint8_t>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<uint8_t>(0xC0 | (c >> 6)));
    out.push_back(static_cast<uint8_t>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<uint8_t>(0xE0 | (c >> 12)));
    out.push_back(static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<uint8_t>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<uint8_t>(0xF0 | (c >> 18)));
    out.push_back(static_cast<uint8_t>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<uint8_t>(0x80 | (c & 0x3F)));
  }
}

}  // namespace

void read_utf8_source(const uint8_t* file, size_t size, Utf8Source& out) noexcept {
  out.verdict = Utf8Verdict::NotUtf8;
  out.header_line = false;
  out.offset = 0;
  out.fault = Utf8Fault::None;
  out.body.clear();
  if (size == 0 || std::memchr(file, 0, size) != nullptr) return;
  const uint8_t* const end = file + size;
  const uint8_t* text = file;
  if (size >= 3 && std::memcmp(file, kByteOrderMark, 3) == 0) text += 3;
  size_t header = 0;
  if (end - text >= 4 && std::memcmp(text, "VUXA", 4) == 0) {
    header = text_header_length(text, static_cast<size_t>(end - text));
    if (header == 0) return;  // a first line that is some other header line
  }
  // A file with a header line and no token stays what it was read as before
  // (a text stream of 8-bit header line and UTF-16 body), unless the header
  // line is all it holds: the source of a map without devices, as it is
  // written in UTF-8, which read before as too short or as the same map.
  const bool has_token = std::memchr(file, '(', size) != nullptr;
  const bool header_only = header != 0 && static_cast<size_t>(end - text) == header;
  if (header != 0 && !has_token && !header_only) return;

  // Every byte gives at most one UTF-16 unit (four bytes two), and the
  // header line at most 16 units for its 15 bytes.
  const uint64_t room = 2 * static_cast<uint64_t>(end - text) + 2;
  if (room > 0xFFFFFFFFu) return void(out.verdict = Utf8Verdict::TooLarge);
  if (!out.body.resize(static_cast<size_t>(room))) return void(out.verdict = Utf8Verdict::OutOfMemory);
  uint8_t* at = out.body.data();
  if (header != 0) {
    for (size_t i = 0; i < kHeaderChars; ++i) store_u16le(at + 2 * i, text[i]);
    store_u16le(at + 2 * kHeaderChars, u'\r');
    store_u16le(at + 2 * kHeaderChars + 2, u'\n');
    at += 32;
    text += header;
  }
  const uint8_t* bad = nullptr;
  Utf8Fault fault = Utf8Fault::None;
  uint8_t* const done = decode(text, end, at, bad, fault);
  if (done == nullptr) {
    out.body.clear();
    out.verdict = Utf8Verdict::Invalid;
    out.offset = static_cast<uint64_t>(bad - file);
    out.fault = fault;
    return;
  }
  if (!has_token && !header_only) return out.body.clear();
  (void)out.body.resize(static_cast<size_t>(done - out.body.data()));  // shrinking never fails
  out.header_line = header != 0;
  out.verdict = Utf8Verdict::Source;
}

bool write_utf8_source(const uint8_t* body, uint32_t size, std::vector<uint8_t>& out) noexcept {
  if (size % 2 != 0) return false;
  try {
    out.clear();
    out.reserve(size / 2 * 3);  // three bytes a unit at most (a pair: four for two)
    for (uint32_t at = 0; at < size; at += 2) {
      uint32_t c = load_u16le(body + at);
      if (c == u'\r' && at + 3 < size && load_u16le(body + at + 2) == u'\n') continue;
      if (c >= 0xD800 && c < 0xE000) {
        const uint32_t next = at + 3 < size ? load_u16le(body + at + 2) : 0;
        if (c >= 0xDC00 || next < 0xDC00 || next >= 0xE000) return false;
        c = 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
        at += 2;
      }
      put_utf8(out, c);
    }
    if (!out.empty() && out.back() != '\n') out.push_back('\n');  // a text file's last line ends too
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace tokenfile
