// Helpers for tests of the text encoding: token files built around a body
// text, streams opened on them, and the text a writing stream has produced.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tokenfile/text/text_stream.h"
#include "tokenfile/token_stream.h"

namespace testsupport {

// Acquires the token dictionary for each test.
class WithTokenDictionary : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

// A whole text token file: 8-bit file header, the stream header line
// "VUXA0i0t______\r\n" as UTF-16LE, then `body` as UTF-16LE, then `tail`
// bytes as they are (an odd trailing byte, say).
std::vector<uint8_t> text_token_file(std::u16string_view body, const std::vector<uint8_t>& tail = {});

// A reading stream on text_token_file(body, tail); fails the test when it
// cannot be opened. The stream is text, so `text_of` can reach its state.
std::unique_ptr<tokenfile::TokenStream> open_text_body(std::u16string_view body,
                                                       const std::vector<uint8_t>& tail = {});

// A text stream opened for writing in memory.
std::unique_ptr<tokenfile::TokenStream> open_text_writer();

tokenfile::TextTokenStream& text_of(tokenfile::TokenStream& stream);

// What a writing text stream has appended after its header line.
std::u16string written_body(const tokenfile::TokenStream& stream);

// Readable form of UTF-16 text for assertion messages: ASCII as is, CR, LF
// and tab escaped, anything else as \uXXXX.
std::string show(std::u16string_view text);

}  // namespace testsupport
