// Private to the token file library: the two encodings' stream classes are
// created here, so that nothing outside them sees their state.
#pragma once

#include <memory>

#include "tokenfile/token_stream.h"

namespace tokenfile {

// A fresh stream of the encoding with every field at its opening value.
// Null when out of memory. The caller fills in the common fields.
std::unique_ptr<TokenStream> make_binary_token_stream() noexcept;
// `header_line` false: a source in UTF-8 whose body starts with its first
// line (line 1) rather than a stream header line.
std::unique_ptr<TokenStream> make_text_token_stream(bool header_line = true) noexcept;

}  // namespace tokenfile
