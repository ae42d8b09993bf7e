// The token dictionary: the fixed vocabulary of 282 token names and ids.
//
// The binary encoding stores ids, the text encoding names. Name look-ups fold
// only the letters A to Z onto a to z, independent of any locale.
#pragma once

#include <cstdint>
#include <string_view>

namespace tokenfile {

struct TokenName {
  const char16_t* name;  // null in the end entry
  uint32_t id;
};

// Number of names in the dictionary.
inline constexpr uint32_t TOKEN_NAME_COUNT = 282;

// Counted set-up of the name index (a hash table). The first call builds it;
// later calls only count. Returns 0 and sets ERR_NO_MEMORY when the index
// cannot be allocated (the dictionary then stays absent and the count
// unchanged).
[[nodiscard]] int32_t acquire_token_dictionary() noexcept;

// Counted tear-down: the release that balances the first acquire frees the
// index; a release with nothing acquired does nothing.
void release_token_dictionary() noexcept;

// True while the dictionary is acquired.
bool token_dictionary_present() noexcept;

// Id of a name, compared with compare_names_nocase, or 0xFFFFFFFF when the
// dictionary holds no such name (or is not acquired). The view version stops
// at an embedded U+0000 as the terminated version does.
uint32_t token_id_from_name(const char16_t* name) noexcept;
uint32_t token_id_from_name(std::u16string_view name) noexcept;

// As token_id_from_name, for a terminated name in a buffer of which at
// least 16 units may be read whatever stands after the terminator (the text
// reader's lexeme): the name is taken in as whole words, not unit by unit.
uint32_t token_id_from_name_in_buffer(const char16_t* name) noexcept;

// The constant name of an id, or null for ids without a name (0, 283 and up)
// or while the dictionary is not acquired.
const char16_t* token_name_from_id(uint32_t id) noexcept;

// Orders two terminated UTF-16 names, folding only 'A'..'Z' onto 'a'..'z':
// negative, zero or positive as a sorts before, equal to or after b.
int32_t compare_names_nocase(const char16_t* a, const char16_t* b) noexcept;

// The same order over views; a view ends at its size or at an embedded U+0000.
int32_t compare_names_nocase(std::u16string_view a, std::u16string_view b) noexcept;

}  // namespace tokenfile
