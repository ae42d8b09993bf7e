#include "support/text_file.h"

#include <cstdio>

#include "support/bytes.h"
#include "tokenfile/dictionary.h"

namespace testsupport {

using tokenfile::TokenStream;

void WithTokenDictionary::SetUp() { ASSERT_NE(tokenfile::acquire_token_dictionary(), 0); }

void WithTokenDictionary::TearDown() { tokenfile::release_token_dictionary(); }

std::vector<uint8_t> text_token_file(std::u16string_view body, const std::vector<uint8_t>& tail) {
  Bytes b = narrow_file_header();
  put_wide(b, u"VUXA0i0t______\r\n");
  put_wide(b, std::u16string(body));
  b.insert(b.end(), tail.begin(), tail.end());
  return b;
}

std::unique_ptr<TokenStream> open_text_body(std::u16string_view body, const std::vector<uint8_t>& tail) {
  auto s = tokenfile::token_stream_open_memory(text_token_file(body, tail), tokenfile::STREAM_READ, 0, 0);
  EXPECT_NE(s, nullptr);
  if (s) {
    EXPECT_NE(dynamic_cast<tokenfile::TextTokenStream*>(s.get()), nullptr);
  }
  return s;
}

std::unique_ptr<TokenStream> open_text_writer() {
  auto s = tokenfile::token_stream_open(nullptr, tokenfile::STREAM_WRITE | tokenfile::STREAM_TEXT, u'i', u'0',
                                        u'@');
  EXPECT_NE(s, nullptr);
  return s;
}

tokenfile::TextTokenStream& text_of(TokenStream& stream) {
  return dynamic_cast<tokenfile::TextTokenStream&>(stream);
}

std::u16string written_body(const TokenStream& stream) {
  const tokenfile::FileContainer& c = *stream.container;
  std::u16string out;
  for (uint32_t i = 32; i + 1 < c.body_size; i += 2)
    out.push_back(static_cast<char16_t>(c.body()[i] | (c.body()[i + 1] << 8)));
  return out;
}

std::string show(std::u16string_view text) {
  std::string out;
  for (char16_t c : text) {
    if (c == u'\r') {
      out += "\\r";
    } else if (c == u'\n') {
      out += "\\n";
    } else if (c == u'\t') {
      out += "\\t";
    } else if (c >= 0x20 && c < 0x7F) {
      out.push_back(static_cast<char>(c));
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(c));
      out += buf;
    }
  }
  return out;
}

}  // namespace testsupport
