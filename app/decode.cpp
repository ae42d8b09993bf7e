#include "app/decode.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "app/diagnostics.h"
#include "app/input_map_tables.h"

namespace mapbake {

using tokenfile::ERR_END_OF_DATA;
using tokenfile::ERR_END_OF_TOKEN;
using tokenfile::token_error;
using tokenfile::TokenStream;

namespace {

constexpr uint32_t TOKEN_COMMENT = 1;

// The first entry of `table` with `value`: the canonical name.
const char16_t* first_name(const NameValue* table, uint32_t value) {
  for (const NameValue* e = table; e != nullptr && e->name != nullptr; ++e)
    if (e->value == value) return e->name;
  return nullptr;
}

// The canonical name of each control code of one device, by code, for a
// look-up in logarithmic time instead of a scan of the table.
class CodeNames {
 public:
  explicit CodeNames(const NameValue* table) {
    for (const NameValue* e = table; e != nullptr && e->name != nullptr; ++e)
      entries_.emplace_back(e->value, e->name);
    // A stable sort keeps the table's first name of each code first.
    std::stable_sort(entries_.begin(), entries_.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
  }
  const char16_t* find(uint32_t value) const {
    const auto at = std::lower_bound(entries_.begin(), entries_.end(), value,
                                     [](const auto& entry, uint32_t v) { return entry.first < v; });
    return at != entries_.end() && at->first == value ? at->second : nullptr;
  }

 private:
  std::vector<std::pair<uint32_t, const char16_t*>> entries_;
};

class Decoder {
 public:
  Decoder(TokenStream& source, TokenStream& target, Console& console, Reporter& reporter, bool utf8)
      : source_(source),
        target_(target),
        console_(console),
        reporter_(reporter),
        binary_((tokenfile::token_stream_flags(source) & tokenfile::STREAM_BINARY) != 0),
        utf8_(utf8),
        controls_{CodeNames(control_tables[0]), CodeNames(control_tables[1]), CodeNames(control_tables[2]),
                  CodeNames(control_tables[3])} {}

  bool run() {
    uint32_t id = 0;
    const char16_t* label = nullptr;
    token_error = 0;
    while (source_.read_token_open(id, &label)) {
      if (label != nullptr) return fail("a token has a label, which no source map gives");
      if (id != TOKEN_IO_DEV) return fail("only io_dev tokens stand at the top level of a run-time map");
      if (!device()) return false;
      token_error = 0;
    }
    if (token_error != ERR_END_OF_DATA || source_.read_stop() == tokenfile::ReadStop::DamagedTail)
      return fail("the data ends inside a token, or a token is damaged");
    return true;
  }

 private:
  bool device() {
    uint32_t code = 0, number = 0;
    token_error = 0;
    if (!source_.read_uint(code) || !source_.read_uint(number))
      return fail("an io_dev lacks its code or number (a source map names its device: it needs no decoding)");
    const char16_t* device_name = first_name(device_names.data(), code);
    if (device_name == nullptr) return fail("device code " + std::to_string(code) + " is none of 0 to 3");
    if (!write(target_.write_token_open(TOKEN_IO_DEV, nullptr) && target_.write_wstring(device_name) &&
               target_.write_uint(number)))
      return false;
    bool children = false;
    uint32_t id = 0;
    const char16_t* label = nullptr;
    token_error = 0;
    while (source_.read_token_open(id, &label)) {
      if (label != nullptr) return fail("a token has a label, which no source map gives");
      if (id == TOKEN_SGUID) {
        if (children) return fail("an sguid that is not the first child of its io_dev");
        if (!sguid()) return false;
      } else if (id == TOKEN_IO_MAP) {
        if (code == DEVICE_PEN) return fail("an io_map in a PEN device, which has no controls");
        if (!binding(code)) return false;
      } else {
        return fail("an io_dev holds a token other than sguid and io_map");
      }
      children = true;
      token_error = 0;
    }
    if (token_error != ERR_END_OF_TOKEN) return fail("an io_dev holds a value where a child token should be");
    if (!children && !write(target_.write_token_open(TOKEN_COMMENT, nullptr) && target_.write_token_close()))
      return false;
    return close("io_dev") && write(target_.write_token_close());
  }

  bool sguid() {
    std::array<uint8_t, 64> bytes{};
    token_error = 0;
    if (!source_.read_bytes(bytes.data(), 1)) return fail("an sguid lacks its length byte");
    const uint32_t n = bytes[0];
    if (n < 2 || n > 64) return fail("sguid length " + std::to_string(n) + " is outside 2 to 64");
    if (!source_.read_bytes(bytes.data() + 1, n - 1))
      return fail("an sguid holds fewer bytes than its length");
    if (!ends("sguid")) return false;
    return write(target_.write_token_open(TOKEN_SGUID, nullptr) && target_.write_bytes(bytes.data(), n) &&
                 target_.write_token_close());
  }

  bool binding(uint32_t device) {
    uint32_t control = 0, mask = 0;
    token_error = 0;
    if (!source_.read_hex(control)) return fail("an io_map lacks its control code");
    const char16_t* control_name = controls_[device].find(control);
    if (control_name == nullptr)
      return fail("control code " + hex(control) + " is not in the device's table");
    token_error = 0;
    if (!source_.read_wstring(action_.data(), action_.size()))
      return fail("an io_map lacks its action string");
    const uint32_t length = source_.last_string_length();
    if (length > 255)
      return fail("an action string of " + std::to_string(length) + " characters is over 255");
    // One pass for the characters a source cannot hold as they are.
    const std::u16string_view text(action_.data(), length);
    bool nul = false, carriage_return = false;
    for (const char16_t c : text) {
      nul = nul || c == 0;
      carriage_return = carriage_return || c == u'\r';
    }
    if (nul) return fail("an action string holds U+0000, which a source cannot hold");
    if (carriage_return) return fail("an action string holds a carriage return, which the text form drops");
    if (utf8_ && has_lone_surrogate(text))
      return fail("an action string holds an unpaired surrogate, which UTF-8 cannot hold");
    token_error = 0;
    if (!source_.read_uint(mask)) return fail("an io_map lacks its modifier mask");
    if (!modifier_names_of(mask, modifiers_))
      return fail("modifier mask " + hex(mask) + " is none that names give");
    if (!ends("io_map")) return false;
    // The action is terminated where it ends (it holds no U+0000).
    if (!write(target_.write_token_open(TOKEN_IO_MAP, nullptr) && target_.write_wstring(control_name) &&
               target_.write_wstring(action_.data())))
      return false;
    // Each name is written in place, its separator made a terminator.
    std::replace(modifiers_.begin(), modifiers_.end(), u' ', u'\0');
    for (size_t at = 0; at < modifiers_.size();
         at += std::char_traits<char16_t>::length(modifiers_.data() + at) + 1)
      if (!write(target_.write_wstring(modifiers_.data() + at))) return false;
    return write(target_.write_token_close());
  }

  // Nothing may follow the values of a token: no value, no child.
  bool ends(const char* token) {
    uint8_t byte = 0;
    token_error = 0;
    if (source_.read_bytes(&byte, 1) || token_error != ERR_END_OF_TOKEN)
      return fail(std::string("an ") + token + " holds more than its values");
    return close(token);
  }

  bool close(const char* token) {
    token_error = 0;
    if (!source_.read_token_close()) return fail(std::string("an ") + token + " is not closed");
    return true;
  }

  bool write(bool ok) { return ok || fail("writing the source form failed"); }

  bool fail(const std::string& what) {
    char line[80];
    const auto end = std::to_chars(line, line + sizeof line, tokenfile::token_stream_line(source_)).ptr;
    console_.print(Channel::Out, "Error decoding file (source file line " + std::string(line, end) + ")\n");
    const tokenfile::SourcePlace at = source_.last_span().begin;
    const Location where = binary_ ? Location{Location::Kind::Byte, at.offset}
                                   : Location{Location::Kind::Line, at.line, at.column};
    // A read or write that ran out of memory says so, not what it met.
    if (token_error == tokenfile::ERR_NO_MEMORY) {
      reporter_.error(where, Cause::OutOfMemory);
    } else {
      reporter_.error(where, Cause::DecodeFailed, {what});
    }
    return false;
  }

  static std::string hex(uint32_t v) {
    char digits[16];
    return "0x" + std::string(digits, std::to_chars(digits, digits + sizeof digits, v, 16).ptr);
  }

  static bool has_lone_surrogate(std::u16string_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
      const char16_t c = text[i];
      if (c < 0xD800 || c >= 0xE000) continue;
      if (c >= 0xDC00 || i + 1 == text.size() || text[i + 1] < 0xDC00 || text[i + 1] >= 0xE000) return true;
      ++i;
    }
    return false;
  }

  TokenStream& source_;
  TokenStream& target_;
  Console& console_;
  Reporter& reporter_;
  const bool binary_;
  const bool utf8_;
  const std::array<CodeNames, 4> controls_;  // by device code, like control_tables
  std::array<char16_t, 258> action_;         // the action string read last
  std::u16string modifiers_;                 // the names of the modifier mask read last
};

}  // namespace

bool modifier_names_of(uint32_t mask, std::u16string& names) {
  names.clear();
  if ((mask & ~0xFF0Fu) != 0) return false;  // bits 4 to 7, or above 15
  const uint32_t low = mask & 0xF, high = (mask >> 8) & 0xF;
  if ((low & ~high) != 0) return false;  // a key down that is not also up-flagged
  const bool all_up = (mask & 0xF000) != 0;
  if (all_up && (mask & 0xFF00) != 0xFF00) return false;
  auto add = [&names](const char16_t* name) {
    if (!names.empty()) names.push_back(u' ');
    names.append(name);
  };
  // Keys in table order: SHIFT (bit 3 and 11), CTRL, ALT, WIN.
  if (!all_up) {
    for (int k = 3; k >= 0; --k)
      if ((high >> k & 1) && !(low >> k & 1)) add(modifier_names[3 - k].name);
  }
  for (int k = 3; k >= 0; --k)
    if (low >> k & 1) add(modifier_names[7 - k].name);
  if (all_up) add(u"ALL_UP");
  return true;
}

int32_t decode_input_map(TokenStream& source, TokenStream& target, Console& console, Reporter& reporter,
                         bool utf8) noexcept {
  try {
    Decoder decoder(source, target, console, reporter, utf8);
    return decoder.run() ? 1 : 0;
  } catch (const std::bad_alloc&) {
    console.print(Channel::Out, "Error decoding file (source file line 0)\n");
    reporter.error({}, Cause::OutOfMemory);
    return 0;
  }
}

}  // namespace mapbake
