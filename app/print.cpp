#include "app/print.h"

#include <new>
#include <string>

#include "app/decode.h"
#include "app/diagnostics.h"
#include "app/input_map_tables.h"

namespace mapbake {

using tokenfile::TokenStream;

namespace {

// Copies the tokens of a binary source map by its shapes: io_dev a name and
// a number, io_map names, sguid bytes, any other token a string; then their
// children. False at the first step that does not fit.
bool copy_source(TokenStream& in, TokenStream& out, int depth) {
  uint32_t id = 0;
  char16_t text[1100];
  const char16_t* label = nullptr;
  while (in.read_token_open(id, &label)) {
    if (depth > 2 || !out.write_token_open(id, label)) return false;
    uint32_t number = 0;
    uint8_t byte = 0;
    if (id == TOKEN_IO_DEV) {
      if (!in.read_wstring(text, 1100) || !out.write_wstring(text) || !in.read_uint(number) ||
          !out.write_uint(number))
        return false;
    } else if (id == TOKEN_SGUID) {
      while (in.read_bytes(&byte, 1))
        if (!out.write_bytes(&byte, 1)) return false;
    } else {
      while (in.read_wstring(text, 1100))
        if (!out.write_wstring(text)) return false;
    }
    if (tokenfile::token_error != tokenfile::ERR_END_OF_TOKEN && id != TOKEN_IO_DEV) return false;
    if (!copy_source(in, out, depth + 1) || !in.read_token_close() || !out.write_token_close()) return false;
  }
  return tokenfile::token_error == (depth == 0 ? tokenfile::ERR_END_OF_DATA : tokenfile::ERR_END_OF_TOKEN);
}

// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD and is counted.
void append_text_utf8(std::string& out, std::u16string_view text, uint32_t& lone) {
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;
      ++lone;
    }
    append_utf8(out, c);
  }
}

bool print_lines(const TokenStream& text, Console& console, Reporter& reporter) {
  std::string out;
  uint32_t lone = 0;
  const uint32_t lines = text.source_line_count();
  if (lines == 0) return reporter.error({}, Cause::OutOfMemory), false;  // a body has a line at least
  for (uint32_t n = 1; n <= lines; ++n) {
    tokenfile::token_error = 0;
    std::u16string line = text.source_line(n);
    if (line.empty() && tokenfile::token_error == tokenfile::ERR_NO_MEMORY)
      return reporter.error({}, Cause::OutOfMemory), false;
    // Line 1 is the header line's 16 characters as they stand, which may
    // hold a lone CR where its CR LF belongs; the output ends lines with LF
    // alone, as the reader drops a lone CR on every other line.
    if (n == 1) std::erase(line, u'\r');
    append_text_utf8(out, line, lone);
    if (n < lines) out.push_back('\n');
  }
  if (!out.empty() && out.back() != '\n') out.push_back('\n');
  console.print(Channel::Out, out);
  if (lone != 0) reporter.warning(Warning::LoneSurrogate, {}, Cause::LoneSurrogate, {std::to_string(lone)});
  return true;
}

}  // namespace

int32_t print_token_file(TokenStream& source, bool decode, Console& console, Reporter& reporter) noexcept {
  try {
    const bool binary = (tokenfile::token_stream_flags(source) & tokenfile::STREAM_BINARY) != 0;
    if (!decode && !binary) return print_lines(source, console, reporter) ? 1 : 0;
    auto text = tokenfile::token_stream_open(nullptr, tokenfile::STREAM_WRITE | tokenfile::STREAM_TEXT, u'i',
                                             u'0', u'@');
    if (!text) return reporter.error({}, Cause::OutOfMemory), 0;
    if (decode) {
      // The decoder's own message goes to standard error: standard output
      // is the printed file.
      struct ErrOnly final : Console {
        explicit ErrOnly(Console& c) : inner(c) {}
        void print(Channel, std::string_view t) noexcept override { inner.print(Channel::Err, t); }
        Console& inner;
      } err_only(console);
      if (!decode_input_map(source, *text, err_only, reporter)) return 0;
    } else if (!copy_source(source, *text, 0)) {
      const bool memory = tokenfile::token_error == tokenfile::ERR_NO_MEMORY;
      reporter.error({}, memory ? Cause::OutOfMemory : Cause::NotASourceMap);
      return 0;
    }
    // In memory, these fail for want of memory alone.
    std::vector<uint8_t> bytes;
    auto back = tokenfile::token_stream_close_to_bytes(std::move(text), bytes)
                    ? tokenfile::token_stream_open_memory(std::move(bytes), tokenfile::STREAM_READ, 0, 0)
                    : nullptr;
    if (!back) return reporter.error({}, Cause::OutOfMemory), 0;
    return print_lines(*back, console, reporter) ? 1 : 0;
  } catch (const std::bad_alloc&) {
    reporter.error({}, Cause::OutOfMemory);
    return 0;
  }
}

}  // namespace mapbake
