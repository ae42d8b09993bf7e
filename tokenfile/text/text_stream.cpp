#include "tokenfile/text/text_stream.h"

#include <new>

#include "tokenfile/stream_factory.h"

namespace tokenfile {

std::unique_ptr<TokenStream> make_text_token_stream(bool header_line) noexcept {
  try {
    return std::make_unique<TextTokenStream>(header_line);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace tokenfile
