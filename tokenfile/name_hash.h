// Constant-time look-up of names under compare_names_nocase: the token
// dictionary's index and the converter's device, control and modifier
// tables. A name costs one pass to fold and hash it and, as a rule, one
// comparison, instead of a scan or a binary search of comparisons.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace tokenfile {

// The folding of compare_names_nocase: 'A'..'Z' onto 'a'..'z', nothing else.
constexpr char16_t fold_name_unit(char16_t c) noexcept {
  return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 0x20) : c;
}

// Units of a name that the hash and the quick comparison look at; a name
// that fits (as every device, control and modifier name does) is compared
// as four 64-bit words.
inline constexpr uint32_t NAME_KEY_UNITS = 16;

// The key of a zero-terminated name in a buffer whose first NAME_KEY_UNITS
// units may all be read (little-endian hosts): its first units folded and
// zero from its terminator on, as four words. Returns the name's length, or
// NAME_KEY_UNITS when no terminator stands among those units.
inline uint32_t name_key_in_buffer(const char16_t* name, uint64_t (&words)[4]) noexcept {
  // Eight units per vector (GCC and Clang vector extensions).
  using Units = uint16_t __attribute__((vector_size(16)));
  using Mask = int16_t __attribute__((vector_size(16)));
  Units low;
  Units high;
  std::memcpy(&low, name, sizeof low);
  std::memcpy(&high, name + 8, sizeof high);
  uint64_t raw[4];
  std::memcpy(raw, &low, sizeof low);
  std::memcpy(raw + 2, &high, sizeof high);
  uint32_t length = NAME_KEY_UNITS;
  for (uint32_t k = 0; k < 4; ++k) {
    // The lowest 16-bit lane that is zero sets its top bit here (lanes above
    // it may be flagged falsely; only the lowest counts).
    const uint64_t zero = (raw[k] - 0x0001000100010001u) & ~raw[k] & 0x8000800080008000u;
    if (zero != 0) {
      length = 4 * k + static_cast<uint32_t>(std::countr_zero(zero)) / 16;
      break;
    }
  }
  const Units upper_a = {u'A', u'A', u'A', u'A', u'A', u'A', u'A', u'A'};
  const Units letters = {26, 26, 26, 26, 26, 26, 26, 26};
  const Units fold_bit = {0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20};
  const uint16_t n = static_cast<uint16_t>(length);
  const Units limit = {n, n, n, n, n, n, n, n};
  const Units lanes_low = {0, 1, 2, 3, 4, 5, 6, 7};
  const Units lanes_high = {8, 9, 10, 11, 12, 13, 14, 15};
  // All ones where 'A'..'Z', and where before the terminator.
  const Mask upper_low = (low - upper_a) < letters;
  const Mask upper_high = (high - upper_a) < letters;
  const Mask inside_low = lanes_low < limit;
  const Mask inside_high = lanes_high < limit;
  const Units folded_low = (low + (reinterpret_cast<const Units&>(upper_low) & fold_bit)) &
                           reinterpret_cast<const Units&>(inside_low);
  const Units folded_high = (high + (reinterpret_cast<const Units&>(upper_high) & fold_bit)) &
                            reinterpret_cast<const Units&>(inside_high);
  std::memcpy(words, &folded_low, sizeof folded_low);
  std::memcpy(words + 2, &folded_high, sizeof folded_high);
  return length;
}

// An open-addressing hash table over a constant table of at most
// `MaxEntries` entries (any type with a `const char16_t* name`), ended by an
// entry whose name is null. Built at compile time (or copied from a table
// built then); it shares the entries' names. `Slots` is a power of two, at
// least twice MaxEntries. Entries whose names are equal under the folding
// must not occur (the first would win, as a scan from the start finds it).
template <typename Entry, size_t Slots, size_t MaxEntries>
class NameHashTable {
  static_assert(std::has_single_bit(Slots) && Slots >= 2 * MaxEntries && Slots <= 65536);

  // The first NAME_KEY_UNITS units of a name, folded, and zero after its
  // end, in the host's byte order.
  struct Key {
    uint64_t words[4] = {};
    constexpr bool operator==(const Key&) const = default;
  };

 public:
  constexpr explicit NameHashTable(const Entry* entries) noexcept : entries_(entries) {
    for (uint32_t i = 0; entries[i].name != nullptr && i < MaxEntries; ++i) {
      uint32_t length = 0;
      keys_[i] = key_of(entries[i].name, 0xFFFFFFFFu, length);
      if (length > max_length_) max_length_ = length;
      uint32_t slot = slot_of(keys_[i], length);
      uint32_t probes = 1;
      while (slots_[slot].entry != 0) {
        slot = (slot + 1) & (Slots - 1);
        ++probes;
      }
      slots_[slot] = {static_cast<uint16_t>(i + 1), static_cast<uint16_t>(length)};
      if (probes > max_probes_) max_probes_ = probes;
      count_ = i + 1;
    }
  }

  // The entry whose name equals the zero-terminated `name` under the
  // folding, or null.
  const Entry* find(const char16_t* name) const noexcept {
    uint32_t length = 0;
    const Key key = key_of(name, max_length_ + 1, length);
    if (length > max_length_) return nullptr;
    return probe(key, name, length);
  }

  // The same for a view, which ends at its size or at an embedded U+0000.
  const Entry* find(std::u16string_view name) const noexcept {
    const size_t end = name.find(u'\0');
    if (end != std::u16string_view::npos) name = name.substr(0, end);
    if (name.size() > max_length_) return nullptr;
    Key key;
    uint16_t units[NAME_KEY_UNITS] = {};
    for (size_t i = 0; i < name.size() && i < NAME_KEY_UNITS; ++i) units[i] = fold_name_unit(name[i]);
    std::memcpy(key.words, units, sizeof units);
    return probe(key, name.data(), static_cast<uint32_t>(name.size()));
  }

  // As find, for a zero-terminated name in a buffer whose first
  // NAME_KEY_UNITS units may all be read, wherever the terminator stands:
  // the name is then taken in as four words, without a loop over its units.
  const Entry* find_in_buffer(const char16_t* name) const noexcept {
    if constexpr (std::endian::native != std::endian::little) {
      return find(name);
    } else {
      Key key;
      const uint32_t length = name_key_in_buffer(name, key.words);
      if (length > max_length_) return nullptr;
      if (length == NAME_KEY_UNITS) return find(name);  // longer than the key
      return probe(key, name, length);
    }
  }

  // The number of entries and the longest probe sequence, for tests.
  constexpr uint32_t size() const noexcept { return count_; }
  // False when the table had more than MaxEntries entries (the rest are
  // missing).
  constexpr bool complete() const noexcept { return entries_[count_].name == nullptr; }
  constexpr uint32_t max_probes() const noexcept { return max_probes_; }

 private:
  struct Slot {
    uint16_t entry = 0;   // entry number + 1; 0 when the slot is empty
    uint16_t length = 0;  // the entry's name length
  };

  // Folds up to `limit` units of a terminated name into a key; `length`
  // receives the units counted.
  static constexpr Key key_of(const char16_t* name, uint32_t limit, uint32_t& length) noexcept {
    Key key;
    uint32_t n = 0;
    for (; n < limit && name[n] != 0; ++n) {
      if (n < NAME_KEY_UNITS) {
        const uint64_t unit = fold_name_unit(name[n]);
        if constexpr (std::endian::native == std::endian::little) {
          key.words[n / 4] |= unit << (16 * (n % 4));
        } else {
          key.words[n / 4] |= unit << (16 * (3 - n % 4));
        }
      }
    }
    length = n;
    return key;
  }

  static constexpr uint32_t slot_of(const Key& key, uint32_t length) noexcept {
    const uint64_t h = (key.words[0] * 0x9E3779B97F4A7C15u) ^ (key.words[1] * 0xC2B2AE3D27D4EB4Fu) ^
                       (key.words[2] * 0x165667B19E3779F9u) ^ (key.words[3] * 0xD6E8FEB86659FD93u) ^
                       (uint64_t{length} * 0xFF51AFD7ED558CCDu);
    return static_cast<uint32_t>((h ^ (h >> 29)) * 0x9E3779B97F4A7C15u >> (64 - std::countr_zero(Slots)));
  }

  const Entry* probe(const Key& key, const char16_t* name, uint32_t length) const noexcept {
    uint32_t slot = slot_of(key, length);
    for (;;) {
      const Slot s = slots_[slot];
      if (s.entry == 0) return nullptr;
      if (s.length == length && keys_[s.entry - 1] == key) {
        const Entry& e = entries_[s.entry - 1];
        // Beyond the key: the rest of a long name, unit by unit.
        uint32_t i = NAME_KEY_UNITS;
        while (i < length && fold_name_unit(name[i]) == fold_name_unit(e.name[i])) ++i;
        if (i >= length) return &e;
      }
      slot = (slot + 1) & (Slots - 1);
    }
  }

  const Entry* entries_;
  Slot slots_[Slots] = {};
  Key keys_[MaxEntries] = {};
  uint32_t count_ = 0;
  uint32_t max_length_ = 0;
  uint32_t max_probes_ = 0;
};

}  // namespace tokenfile
