// Input map conversion.
//
// The source and the target advance together: every io_dev and io_map opened
// on the target is closed before the next source token is taken. The
// conversion sees the streams only through their operations, except where a
// diagnostic needs to know where the data ends (see source_exhausted).
#include "app/convert.h"

#include <array>
#include <charconv>
#include <new>
#include <string>

#include "app/diagnostics.h"
#include "app/input_map_tables.h"
#include "tokenfile/dictionary.h"

namespace mapbake {

using tokenfile::ERR_BAD_VALUE;
using tokenfile::ERR_END_OF_DATA;
using tokenfile::ERR_END_OF_TOKEN;
using tokenfile::ERR_NO_MEMORY;
using tokenfile::ERR_SYNTAX;
using tokenfile::token_error;
using tokenfile::TokenStream;

const NameValue* find_name(const NameValue* table, const char16_t* name) noexcept {
  for (const NameValue* entry = table; entry->name != nullptr; ++entry) {
    if (tokenfile::compare_names_nocase(entry->name, name) == 0) return entry;
  }
  return nullptr;
}

namespace {

// Capacity of the string buffer, terminator included: at most 255 units of
// a string are seen.
constexpr uint32_t STRING_CAPACITY = 256;

std::string decimal(uint32_t value) {
  char digits[16];
  return std::string(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

// The failure message on standard output. Allocates nothing.
void print_failure_message(Console& console, const TokenStream& source) noexcept {
  char line[80] = "Error converting file (source file line ";
  char* p = line + std::char_traits<char>::length(line);
  // The position of a binary source can pass 2^31; it prints unsigned.
  p = std::to_chars(p, line + sizeof line - 2, tokenfile::token_stream_line(source)).ptr;
  *p++ = ')';
  *p++ = '\n';
  console.print(Channel::Out, std::string_view(line, static_cast<size_t>(p - line)));
}

// What a failed read was reading, for its diagnostic.
struct Reading {
  const char* token;  // the token whose content it was ("io_dev")
  const char* what;   // the value expected ("a device name")
};

class Converter {
 public:
  Converter(TokenStream& source, TokenStream& target, Console& console, std::string_view source_name)
      : source_(source),
        target_(target),
        console_(console),
        source_name_(source_name),
        binary_source_((source.flags & tokenfile::STREAM_BINARY) != 0) {}

  // True when the whole source was converted; otherwise the failure has been
  // reported on both channels.
  bool run() {
    uint32_t id = 0;
    token_error = 0;
    bool open = source_.read_token_open(id, nullptr) != 0;
    while (open) {
      if (id == TOKEN_IO_DEV && !convert_device()) return false;
      token_error = 0;
      if (!source_.read_token_close()) return fail_read({"the top level", "a token"});
      token_error = 0;
      open = source_.read_token_open(id, nullptr) != 0;
    }
    // The binary reader reports the end of the data also when 1 to 3 bytes
    // stand where the next token's id would: a source cut inside a token.
    if (token_error == ERR_END_OF_DATA && !source_exhausted()) {
      return binary_source_ ? fail(Cause::EndInsideToken) : fail_syntax();
    }
    if (token_error != ERR_END_OF_DATA) return fail_open({"the top level", "a token"});
    return true;
  }

 private:
  // Step 2 of the top-level loop for an io_dev whose header was just read.
  bool convert_device() {
    token_error = 0;
    if (!target_.write_token_open(TOKEN_IO_DEV, nullptr)) return fail_write();
    if (!read_string({"io_dev", "a device name"})) return false;
    const NameValue* device = device_index.find_in_buffer(text_.data());
    if (device == nullptr) return fail(Cause::UnknownDevice, {shown_text()});
    device_code_ = device->value;
    device_label_ = shown_text();
    token_error = 0;
    if (!target_.write_uint(device_code_)) return fail_write();

    uint32_t number = 0;
    token_error = 0;
    if (!source_.read_uint(number)) return fail_read({"io_dev", "an unsigned number after the device name"});
    token_error = 0;
    if (!target_.write_uint(number)) return fail_write();

    uint32_t id = 0;
    token_error = 0;
    if (!source_.read_token_open(id, nullptr)) {
      if (token_error == ERR_END_OF_TOKEN) return fail(Cause::DeviceWithoutChild);
      return fail_open({"io_dev", "a child token"});
    }
    Next next = Next::Child;
    if (id == TOKEN_SGUID) {
      if (!convert_sguid()) return false;
      next = next_child(id);
    }
    while (next == Next::Child) {
      if (id == TOKEN_IO_MAP && !convert_map()) return false;
      token_error = 0;
      if (!source_.read_token_close()) return fail_read({"io_dev", "the end of a child token"});
      next = next_child(id);
    }
    if (next == Next::Failed) return false;
    token_error = 0;
    if (!target_.write_token_close()) return fail_write();
    return true;
  }

  enum class Next : uint8_t { Child, End, Failed };

  // Opens the next child of the io_dev: Child with its id, End when the
  // io_dev's content has ended normally (ERR_END_OF_TOKEN), Failed after
  // reporting any other failure. Only the normal end ends the children, so
  // a source cut inside the io_dev, or a stray value among its children,
  // can never pass for a complete map.
  Next next_child(uint32_t& id) {
    token_error = 0;
    if (source_.read_token_open(id, nullptr)) return Next::Child;
    if (token_error == ERR_END_OF_TOKEN) return Next::End;
    fail_open({"io_dev", "a child token"});
    return Next::Failed;
  }

  // A leading sguid: its length byte n (2 to 64), n - 1 more bytes, and
  // whatever follows them in the token dropped.
  bool convert_sguid() {
    token_error = 0;
    if (!source_.read_bytes(sguid_.data(), 1)) return fail_read({"sguid", "its length byte"});
    const uint32_t n = sguid_[0];
    if (n < 2 || n > sguid_.size()) return fail(Cause::SguidLength, {decimal(n)});
    token_error = 0;
    if (!source_.read_bytes(sguid_.data() + 1, n - 1)) {
      return fail_read({"sguid", "as many bytes as its length byte says"});
    }
    token_error = 0;
    if (!source_.read_token_close()) return fail_read({"sguid", "the end of the token"});
    token_error = 0;
    if (!target_.write_token_open(TOKEN_SGUID, nullptr) || !target_.write_bytes(sguid_.data(), n) ||
        !target_.write_token_close()) {
      return fail_write();
    }
    return true;
  }

  // An io_map child whose header was just read; the caller closes it on the
  // source.
  bool convert_map() {
    token_error = 0;
    if (!target_.write_token_open(TOKEN_IO_MAP, nullptr)) return fail_write();
    if (!read_string({"io_map", "a control name"})) return false;
    const ControlIndex* controls = control_indexes[device_code_];
    if (controls == nullptr) return fail(Cause::DeviceHasNoControls, {device_label_});
    const NameValue* control = controls->find_in_buffer(text_.data());
    if (control == nullptr) return fail(Cause::UnknownControl, {shown_text(), device_label_});
    token_error = 0;
    if (!target_.write_hex(control->value)) return fail_write();

    if (!read_string({"io_map", "a binding string after the control name"})) return false;
    token_error = 0;
    if (!target_.write_wstring(text_.data())) return fail_write();

    // The modifier names run to the end of the token's content. Any other
    // failure of a read is a damaged source, not the end of the list.
    uint32_t mask = 0;
    for (;;) {
      if (!read_string({"io_map", "a modifier name"}, true)) {
        if (token_error == ERR_END_OF_TOKEN) break;
        return false;
      }
      const NameValue* modifier = modifier_index.find_in_buffer(text_.data());
      if (modifier == nullptr) return fail(Cause::UnknownModifier, {shown_text()});
      mask |= modifier->value;
    }
    token_error = 0;
    if (!target_.write_uint(mask) || !target_.write_token_close()) return fail_write();
    return true;
  }

  // Reads the next string value into text_ as the format's 256-unit buffer
  // holds it: at most 255 units and a terminator (a U+0000 inside ends it
  // earlier). A longer string is cut to 255 units with a warning, as both
  // readers deliver it: the binary reader delivers a string of exactly 256
  // units cut to 255 and fails on a longer one; the text reader cuts any
  // longer string and drops its rest.
  // Returns false after a failed read, having reported it, except that for
  // a `list_item` the end of the token's content (ERR_END_OF_TOKEN) is left
  // unreported for the caller, as the end of the list.
  bool read_string(Reading reading, bool list_item = false) {
    token_error = 0;
    const uint32_t before = source_.position;
    bool cut;
    if (binary_source_) {
      if (!source_.read_wstring(text_.data(), STRING_CAPACITY)) {
        if (!list_item || token_error != ERR_END_OF_TOKEN) fail_read(reading, before);
        return false;
      }
      // Only the count tells a binary string's length: position moved over
      // the 2-byte count and the n units.
      cut = (source_.position - before - 2) / 2 >= STRING_CAPACITY;
    } else {
      // One unit more than the format's buffer, with a mark in its last
      // place: the text reader fills that place only when the string is
      // longer than 255 units, and the result is then cut to 255 here,
      // which is what the 256-unit buffer would have held.
      text_[STRING_CAPACITY] = 1;
      if (!source_.read_wstring(text_.data(), STRING_CAPACITY + 1)) {
        if (!list_item || token_error != ERR_END_OF_TOKEN) fail_read(reading, before);
        return false;
      }
      cut = text_[STRING_CAPACITY] == 0;
    }
    text_[STRING_CAPACITY - 1] = 0;
    if (cut) report(console_, Severity::Warning, source_name_, location(), Cause::StringCut, {reading.token});
    return true;
  }

  // --- failures ---

  // Prints the failure message and the diagnostic; always false.
  bool fail(Cause cause, std::initializer_list<std::string_view> args = {}) {
    print_failure_message(console_, source_);
    report(console_, Severity::Error, source_name_, location(), cause, args);
    return false;
  }

  // A failed value read or read_token_close, from the code it left.
  // `position_before` is the source position before a failed string read,
  // 0 for other reads.
  bool fail_read(Reading reading, uint32_t position_before = 0) {
    if (token_error == ERR_END_OF_TOKEN) return fail(Cause::MissingValue, {reading.token, reading.what});
    // A binary string longer than the buffer fails with no code and leaves
    // the stream after the string.
    if (binary_source_ && token_error == 0 && position_before != 0 &&
        source_.position - position_before > 2) {
      const uint32_t units = (source_.position - position_before - 2) / 2;
      return fail(Cause::StringTooLong, {reading.token, decimal(units)});
    }
    if (token_error == 0 && !binary_source_) {
      return fail(Cause::WrongValueKind, {reading.token, reading.what, last_lexeme()});
    }
    return fail_common(reading);
  }

  // A failed read_token_open whose code is not the normal end.
  bool fail_open(Reading reading) {
    if (!binary_source_ && token_error == ERR_END_OF_DATA && !source_exhausted()) {
      // Inside a token: a lexeme that is no token name.
      return fail(Cause::StrayChild, {reading.token});
    }
    if (!binary_source_ && token_error == 0) return fail_syntax();  // a label without '('
    return fail_common(reading);
  }

  // The causes every kind of read shares.
  bool fail_common(Reading reading) {
    switch (token_error) {
      case ERR_NO_MEMORY:
        return fail(Cause::OutOfMemory);
      case ERR_BAD_VALUE:
        if (!binary_source_) return fail(Cause::BadNumber, {reading.token, last_lexeme()});
        break;
      case ERR_SYNTAX:
        // The text reader also says ERR_SYNTAX when the data ends inside a
        // word or a string; a syntax error proper ends with a lexeme.
        if (!binary_source_ && !(source_exhausted() && !last_unit_is_paren())) {
          return fail_syntax();
        }
        break;
      default:
        break;
    }
    // Every other failure of a read is the data ending too soon: the body
    // ends inside a token, or a binary length reaches past it.
    return fail(Cause::EndInsideToken);
  }

  bool fail_syntax() {
    const std::string lexeme = last_lexeme();
    return lexeme.empty() ? fail(Cause::SyntaxNoLexeme) : fail(Cause::Syntax, {lexeme});
  }

  bool fail_write() {
    const int32_t code = token_error;
    if (code == ERR_NO_MEMORY) return fail(Cause::OutOfMemory);
    return fail(Cause::WriteFailed, {tokenfile::token_error_name(code)});
  }

  Location location() const {
    return {binary_source_ ? Location::Kind::Offset : Location::Kind::Line,
            tokenfile::token_stream_line(source_)};
  }

  std::string shown_text() const { return printable(std::u16string_view(text_.data())); }

  // --- where the data ends, for diagnostics ---
  //
  // The stream interface has no operation that tells where the data ends,
  // so these look at the loaded body itself (read only).

  // True when nothing of the body is left to read.
  bool source_exhausted() const {
    const tokenfile::FileContainer* c = source_.container.get();
    if (c == nullptr) return true;
    if (!binary_source_) return c->body_pos >= c->body_size;
    // position counts the stream header line as 16 bytes; stored in UTF-16
    // ("V", 0, "U", 0, ...) it takes 32.
    const uint32_t extra = (c->body_size >= 2 && c->body()[1] == 0) ? 16 : 0;
    return c->body_size < extra || source_.position >= c->body_size - extra;
  }

  // True when the text read last is a parenthesis (a lexeme of its own).
  bool last_unit_is_paren() const {
    const tokenfile::FileContainer* c = source_.container.get();
    if (c == nullptr || c->body_pos < 2) return false;
    const uint8_t* at = c->body() + (c->body_pos & ~1u) - 2;
    return at[1] == 0 && (at[0] == '(' || at[0] == ')');
  }

  // The text lexeme that ends where the text reader stopped reading: the
  // last word before the body position, for syntax diagnostics; empty when
  // the reader stopped before the first token.
  std::string last_lexeme() const {
    const tokenfile::FileContainer* c = source_.container.get();
    if (c == nullptr || c->body_size < 16) return {};
    const uint8_t* body = c->body();
    // The stream header line takes 16 bytes, or 32 in UTF-16.
    const uint32_t floor = body[1] == 0 ? 32 : 16;
    uint32_t end = c->body_pos & ~1u;
    if (end < floor) return {};
    auto unit = [body](uint32_t at) { return static_cast<char16_t>(body[at] | (body[at + 1] << 8)); };
    auto blank = [](char16_t u) { return u <= 0x20 || u == 0x7F; };
    while (end >= floor + 2 && blank(unit(end - 2))) end -= 2;
    if (end >= floor + 2 && (unit(end - 2) == u'(' || unit(end - 2) == u')')) {
      return std::string(1, static_cast<char>(unit(end - 2)));
    }
    auto in_word = [&](uint32_t at) {
      const char16_t u = unit(at);
      return !blank(u) && u != u'(' && u != u')';
    };
    constexpr uint32_t limit = 2 * 48;
    uint32_t start = end;
    while (start >= floor + 2 && end - start < limit && in_word(start - 2)) start -= 2;
    std::u16string word;
    for (uint32_t at = start; at < end; at += 2) word.push_back(unit(at));
    const bool cut = start >= floor + 2 && in_word(start - 2);
    return cut ? "..." + printable(word) : printable(word);
  }

  TokenStream& source_;
  TokenStream& target_;
  Console& console_;
  std::string_view source_name_;
  const bool binary_source_;
  uint32_t device_code_ = 0;
  std::string device_label_;  // the device name as the source wrote it
  // The string buffer and one unit more (see read_string). Its first
  // NAME_KEY_UNITS units are always initialised and readable, as the name
  // tables' find_in_buffer needs.
  std::array<char16_t, STRING_CAPACITY + 1> text_{};
  static_assert(STRING_CAPACITY + 1 >= tokenfile::NAME_KEY_UNITS);
  std::array<uint8_t, 64> sguid_{};
};

}  // namespace

int32_t convert_input_map(TokenStream& source, TokenStream& target, Console& console,
                          std::string_view source_name) noexcept {
  try {
    Converter converter(source, target, console, source_name);
    return converter.run() ? 1 : 0;
  } catch (const std::bad_alloc&) {
    // Only diagnostic texts allocate, and always before the message is
    // printed.
    print_failure_message(console, source);
    report(console, Severity::Error, source_name, {}, Cause::OutOfMemory);
    return 0;
  }
}

}  // namespace mapbake
