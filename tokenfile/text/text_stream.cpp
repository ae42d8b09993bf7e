#include "tokenfile/text/text_stream.h"

#include <new>

#include "tokenfile/stream_factory.h"

namespace tokenfile {

std::unique_ptr<TokenStream> make_text_token_stream() noexcept {
  try {
    return std::make_unique<TextTokenStream>();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace tokenfile
