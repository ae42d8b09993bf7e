// Helpers for the tests of the token stream and its encodings: whole token
// files around a body, and short scripts of stream operations with a
// one-line account of what they gave, so that a case is one table row.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "support/bytes.h"
#include "tokenfile/token_stream.h"

namespace testsupport {

// Holds the token dictionary for the length of each test.
class WithDictionary : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

// What token_error holds before each scripted operation: "!-" in a result
// means the operation failed without setting a code.
inline constexpr int32_t kUnset = -7;


// Bytes from pairs of hexadecimal digits; other characters are ignored.
Bytes from_hex(std::string_view hex);

// An uncompressed token file: the 8-bit file header, the stream header line
// "VUXA0i0" + encoding + "______\r\n" (in UTF-16 when `wide_line`), the body.
Bytes token_file(char encoding, const Bytes& body, bool wide_line = false);
Bytes text_file(std::u16string_view body);  // the body in UTF-16, the line too

// Runs read operations, one letter each (spaces ignored), and gives their
// results separated by spaces:
//   o   read_token_open: the id ("?" for 0xFFFFFFFF), ":label" when it has one
//   O   read_token_open without asking for the label
//   u i x f r   read_uint, read_int, read_hex, read_float (shortest form), read_token_ref
//   sN SN   read_wstring, read_string with capacity N (default 64): "[text]";
//           "!over" when a unit past the capacity was written
//   l   read_label: "[text]" ("[#]" when the buffer was left alone)
//   bN  read_bytes of N bytes: "#" and the bytes in hexadecimal
//   k   read_block: "<depth|line/depth|line>" for text, "<hex>" for binary
//   c   read_token_close;  n  token_stream_line: "@N"
// and the queries of where reading stands:
//   p   last_span: "LINE:COL-LINE:COL/LENGTH", or "#OFFSET-#OFFSET/LENGTH"
//   q   open_token_place: "^LINE:COL" or "^#OFFSET";  e  last_lexeme: "'text'"
//   z   read_stop: "=-", "=token", "=body" or "=tail";  g  last_string_length: "%N"
//   LN  source_line N: "|text|"
// A failed operation gives "!" and the short name of token_error.
std::string read_script(tokenfile::TokenStream& s, std::string_view script);
std::string read_script(const Bytes& file, std::string_view script);

// Runs write operations separated by '|', each a letter and its argument:
//   oID or oID,LABEL  write_token_open;  c  write_token_close
//   uN iN  decimal;  xN  hexadecimal;  fN  float;  rID  write_token_ref
//   wTEXT  write_wstring;  nTEXT  write_string;  lTEXT  write_label;  bHEX  write_bytes
//   k  write_block: of no block; kbHEX a binary one; kt and lines DEPTH:TEXT
//      separated by '/', a text one
// Every failure is logged as "!CODE@index". Gives the file closed to bytes.
Bytes write_script(uint32_t encoding, std::u16string_view script, std::string& log,
                   char16_t compression = u'@', std::vector<uint32_t>* lines = nullptr);
// The text a text writer put after its header line, then the failures.
std::u16string text_written(std::u16string_view script);
std::u16string text_body(const Bytes& file);  // the text after a text file's header line
// The bytes a binary writer put after its header line in hexadecimal, a
// space where token_stream_line says an operation ended, then the failures.
std::string binary_written(std::u16string_view script);

std::string code_name(int32_t code);
std::string hex(const Bytes& bytes);
// ASCII as is, CR, LF and tab escaped, anything else as \uXXXX.
std::string show(std::u16string_view text);

}  // namespace testsupport
