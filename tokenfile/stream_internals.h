// The state behind a TokenStream, for the library code that creates and
// closes streams, and for the tests and fuzz harnesses that check invariants
// of that state. Private to the token file library.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tokenfile/file_container.h"
#include "tokenfile/token_stream.h"

namespace tokenfile {

struct StreamInternals {
  static std::unique_ptr<FileContainer>& container(TokenStream& s) noexcept { return s.container; }
  static const FileContainer* container(const TokenStream& s) noexcept { return s.container.get(); }
  static uint32_t& flags(TokenStream& s) noexcept { return s.flags; }
  static uint32_t position(const TokenStream& s) noexcept { return s.position; }
  static uint32_t line(const TokenStream& s) noexcept { return s.line; }
  static std::vector<uint32_t>& open_tokens(TokenStream& s) noexcept { return s.open_tokens; }
  static const std::vector<uint32_t>& open_tokens(const TokenStream& s) noexcept { return s.open_tokens; }
  static char16_t* header_chars(TokenStream& s) noexcept { return s.header_chars; }
  static const char16_t* header_chars(const TokenStream& s) noexcept { return s.header_chars; }
  static uint32_t flags(const TokenStream& s) noexcept { return s.flags; }
  static const char16_t* label(const TokenStream& s) noexcept { return s.label; }
  static std::FILE*& file(TokenStream& s) noexcept { return s.file_; }
  static std::string& temp_path(TokenStream& s) noexcept { return s.temp_path_; }
  static std::string& target_path(TokenStream& s) noexcept { return s.target_path_; }
};

}  // namespace tokenfile
