// Input map conversion.
//
// The source and the target advance together: every io_dev and io_map opened
// on the target is closed before the next source token is taken. The
// conversion sees the streams only through their operations and the
// queries that say where reading stands, which place its diagnostics.
#include "app/convert.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <new>
#include <string>
#include <vector>

#include "app/diagnostics.h"
#include "app/input_map_tables.h"
#include "app/reporter.h"
#include "app/suggest.h"
#include "tokenfile/dictionary.h"

namespace mapbake {

using tokenfile::ERR_BAD_VALUE;
using tokenfile::ERR_END_OF_DATA;
using tokenfile::ERR_END_OF_TOKEN;
using tokenfile::ERR_NO_MEMORY;
using tokenfile::ERR_SYNTAX;
using tokenfile::ReadStop;
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

// Control and mask of the bindings of one io_dev, each with where it
// stood: an open-addressing table in one array, so that a binding costs no
// allocation of its own.
class BindingSet {
 public:
  // Empties the set in constant time: slots of an older round count as free.
  void clear() {
    ++round_;
    used_ = 0;
  }
  // Null after adding `key`; the mark of the first binding when it is there.
  const TokenStream::Mark* insert(uint64_t key, const TokenStream::Mark& mark) {
    if (2 * (used_ + 1) > slots_.size()) grow();
    Slot* slot = find(key);
    if (slot->round == round_) return &slot->mark;
    *slot = {key, mark, round_};
    ++used_;
    return nullptr;
  }

 private:
  struct Slot {
    uint64_t key = 0;
    TokenStream::Mark mark;
    uint64_t round = 0;
  };
  // Fibonacci hashing: the top bits of the product, which every bit of the
  // key reaches.
  Slot* find(uint64_t key) {
    const size_t mask = slots_.size() - 1;
    for (size_t i = (key * 0x9E3779B97F4A7C15u) >> shift_;; i = (i + 1) & mask)
      if (slots_[i].round != round_ || slots_[i].key == key) return &slots_[i];
  }
  void grow() {
    std::vector<Slot> old(std::max<size_t>(64, 2 * slots_.size()));
    shift_ = 64 - std::countr_zero(old.size());
    old.swap(slots_);
    for (const Slot& s : old)
      if (s.round == round_) *find(s.key) = s;
  }
  std::vector<Slot> slots_;
  size_t used_ = 0;
  int shift_ = 64;
  uint64_t round_ = 1;  // slots start in round 0: free
};

// The names of a table, for suggestions.
std::vector<std::u16string_view> names_of(const NameValue* table) {
  std::vector<std::u16string_view> names;
  for (const NameValue* entry = table; entry != nullptr && entry->name != nullptr; ++entry)
    names.emplace_back(entry->name);
  return names;
}

// Causes after which the source still stands where a caller can close the
// failing token and read on; after the others (the data ends, a syntax
// error, a failed write) nothing more can be read reliably.
bool recoverable(Cause cause) {
  switch (cause) {
    case Cause::UnknownDevice:
    case Cause::UnknownControl:
    case Cause::UnknownModifier:
    case Cause::DeviceHasNoControls:
    case Cause::DeviceWithoutChild:
    case Cause::SguidLength:
    case Cause::MissingValue:
    case Cause::WrongValueKind:
    case Cause::BadNumber:
    case Cause::StringTooLong:
      return true;
    default:
      return false;
  }
}

// What a failed read was reading, for its diagnostic.
struct Reading {
  const char* token;  // the token whose content it was ("io_dev")
  const char* what;   // the value expected ("a device name")
};

class Converter {
 public:
  Converter(TokenStream& source, TokenStream& target, Console& console, Reporter& reporter,
            bool stdout_message)
      : source_(source),
        target_(&target),
        console_(console),
        reporter_(reporter),
        stdout_message_(stdout_message),
        binary_source_((tokenfile::token_stream_flags(source) & tokenfile::STREAM_BINARY) != 0) {}

  // True when the whole source was converted. After the first failure
  // (the one standard output names) reading goes on where it can, so that
  // one run reports every error, up to the limit.
  bool run() {
    check_header_line();
    uint32_t id = 0;
    token_error = 0;
    bool open = source_.read_token_open(id, nullptr) != 0;
    while (open) {
      if (id == TOKEN_IO_DEV && !convert_device() && !recover()) return false;
      if (id != TOKEN_IO_DEV) check_skipped_token(id, true);
      token_error = 0;
      if (!source_.read_token_close()) return fail_read({"the top level", "a token"});
      token_error = 0;
      open = source_.read_token_open(id, nullptr) != 0;
    }
    // The end of the data, but with a fragment left: 1 to 3 bytes where the
    // next binary token's id would be (a source cut inside a token), or the
    // odd byte of a text source.
    if (token_error == ERR_END_OF_DATA && source_.read_stop() == ReadStop::DamagedTail) {
      return fail(binary_source_ ? Cause::EndInsideToken : Cause::OddByte);
    }
    if (token_error != ERR_END_OF_DATA) return fail_open({"the top level", "a token"});
    return !failed_;
  }

 private:
  // Step 2 of the top-level loop for an io_dev whose header was just read.
  bool convert_device() {
    token_error = 0;
    if (!target_->write_token_open(TOKEN_IO_DEV, nullptr)) return fail_write();
    if (!read_string({"io_dev", "a device name"})) return false;
    const NameValue* device = device_index.find_in_buffer(text_.data());
    if (device == nullptr) {
      fail_unknown(Cause::UnknownDevice, {shown_text()}, device_names.data());
      const std::u16string_view name(text_.data());
      if (!name.empty() && name.size() <= 10 && name.find_first_not_of(u"0123456789") == name.npos) {
        warn(Warning::RunTimeMap, source_.last_mark(), Cause::RunTimeMap);
      }
      return false;
    }
    device_code_ = device->value;
    device_label_ = shown_text();
    token_error = 0;
    if (!target_->write_uint(device_code_)) return fail_write();

    uint32_t number = 0;
    token_error = 0;
    if (!source_.read_uint(number)) return fail_read({"io_dev", "an unsigned number after the device name"});
    check_number_form(number);
    token_error = 0;
    if (!target_->write_uint(number)) return fail_write();

    uint32_t id = 0;
    token_error = 0;
    if (!source_.read_token_open(id, nullptr)) {
      if (token_error == ERR_END_OF_TOKEN) return fail(Cause::DeviceWithoutChild);
      return fail_open({"io_dev", "a child token"});
    }
    Next next = Next::Child;
    bindings_.clear();
    if (id == TOKEN_SGUID) {
      if (!convert_sguid()) {
        if (!recover()) return false;
        token_error = 0;
        if (!source_.read_token_close()) return fail_read({"sguid", "the end of the token"});
      }
      next = next_child(id);
    }
    while (next == Next::Child) {
      if (id == TOKEN_IO_MAP && !convert_map() && !recover()) return false;
      if (id != TOKEN_IO_MAP) check_skipped_token(id, false);
      token_error = 0;
      if (!source_.read_token_close()) return fail_read({"io_dev", "the end of a child token"});
      next = next_child(id);
    }
    if (next == Next::Failed) return false;
    token_error = 0;
    if (!target_->write_token_close()) return fail_write();
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
    // A count written as if decimal ("16" for sixteen) is read as hexadecimal.
    const TokenStream::Mark count = source_.last_mark();
    const bool decimal_looking = !binary_source_ && n >= 0x10 && (n >> 4) <= 9 && (n & 15) <= 9;
    if (n < 2 || n > sguid_.size()) {
      fail(Cause::SguidLength, {decimal(n)});
      if (decimal_looking) note_count(count, n);
      return false;
    }
    token_error = 0;
    if (!source_.read_bytes(sguid_.data() + 1, n - 1)) {
      fail_read({"sguid", "as many bytes as its length byte says"});
      if (decimal_looking) note_count(count, n);
      return false;
    }
    token_error = 0;
    if (!source_.read_token_close()) return fail_read({"sguid", "the end of the token"});
    token_error = 0;
    if (!target_->write_token_open(TOKEN_SGUID, nullptr) || !target_->write_bytes(sguid_.data(), n) ||
        !target_->write_token_close()) {
      return fail_write();
    }
    return true;
  }

  // An io_map child whose header was just read; the caller closes it on the
  // source.
  bool convert_map() {
    token_error = 0;
    if (!target_->write_token_open(TOKEN_IO_MAP, nullptr)) return fail_write();
    if (!read_string({"io_map", "a control name"})) return false;
    const ControlIndex* controls = control_indexes[device_code_];
    if (controls == nullptr) return fail(Cause::DeviceHasNoControls, {device_label_});
    const NameValue* control = controls->find_in_buffer(text_.data());
    if (control == nullptr) {
      return fail_unknown(Cause::UnknownControl, {shown_text(), device_label_}, control_tables[device_code_]);
    }
    token_error = 0;
    if (!target_->write_hex(control->value)) return fail_write();

    const uint32_t control_code = control->value;
    const TokenStream::Mark control_mark = source_.last_mark();
    if (!read_string({"io_map", "a binding string after the control name"})) return false;
    token_error = 0;
    if (!target_->write_wstring(text_.data())) return fail_write();
    const NameValue* action_modifier = modifier_index.find_in_buffer(text_.data());
    const TokenStream::Mark action_mark =
        action_modifier != nullptr ? source_.last_mark() : TokenStream::Mark{};

    // The modifier names run to the end of the token's content. Any other
    // failure of a read is a damaged source, not the end of the list.
    uint32_t mask = 0;
    uint32_t seen = 0;  // a bit per modifier name
    bool any_modifier = false;
    for (;;) {
      if (!read_string({"io_map", "a modifier name"}, true)) {
        if (token_error == ERR_END_OF_TOKEN) break;
        return false;
      }
      const NameValue* modifier = modifier_index.find_in_buffer(text_.data());
      if (modifier == nullptr)
        return fail_unknown(Cause::UnknownModifier, {shown_text()}, modifier_names.data());
      any_modifier = true;
      check_modifier(static_cast<uint32_t>(modifier - modifier_names.data()), seen);
      mask |= modifier->value;
    }
    if (action_modifier != nullptr && !any_modifier) {
      warn(Warning::ActionLikeModifier, action_mark, Cause::ActionLikeModifier,
           {printable(action_modifier->name)});
    }
    check_duplicate(control_code, mask, control_mark);
    token_error = 0;
    if (!target_->write_uint(mask) || !target_->write_token_close()) return fail_write();
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
    // Unit 254 is set only by a string of 255 units or more (a shorter one
    // ends before it), so only such a string asks for its whole length.
    text_[STRING_CAPACITY - 2] = 0;
    if (!source_.read_wstring(text_.data(), STRING_CAPACITY)) {
      if (!list_item || token_error != ERR_END_OF_TOKEN) fail_read(reading, true);
      return false;
    }
    if (text_[STRING_CAPACITY - 2] != 0 && source_.last_string_length() >= STRING_CAPACITY) {
      warn(Warning::StringCut, source_.last_mark(), Cause::StringCut,
           {reading.token, decimal(source_.last_string_length())});
    }
    return true;
  }

  // --- failures ---

  // Reports a failure; always false. The first also prints the failure
  // message and turns the target into a sink. The diagnostic stands where
  // the last read stood: one about the data ending where it ended, one
  // about a token at the token's name.
  bool fail(Cause cause, std::initializer_list<std::string_view> args = {}) {
    if (!failed_ && stdout_message_) print_failure_message(console_, source_);
    failed_ = true;
    target_ = &null_target_;
    recoverable_ = recoverable(cause);
    const tokenfile::SourceSpan span = source_.last_span();
    const bool at_end = cause == Cause::EndInsideToken || cause == Cause::OddByte;
    const bool at_token = cause == Cause::DeviceHasNoControls;
    const tokenfile::SourcePlace at = at_end ? span.end : at_token ? source_.open_token_place() : span.begin;
    const Excerpt shown = excerpt(at, at_end || at_token ? 1 : span_length(span));
    reporter_.error(location(at), cause, args, &shown);
    if (cause == Cause::EndInsideToken && !binary_source_) note_unclosed();
    return false;
  }

  // A name that no table holds, with the names it may have meant.
  bool fail_unknown(Cause cause, std::initializer_list<std::string_view> args, const NameValue* table) {
    fail(cause, args);
    suggest(source_.last_span().begin, std::u16string_view(text_.data()), names_of(table));
    return false;
  }

  void suggest(const tokenfile::SourcePlace& at, std::u16string_view name,
               const std::vector<std::u16string_view>& candidates) {
    const std::string text = did_you_mean(suggestions(name, candidates));
    if (!text.empty()) reporter_.note(location(at), text);
  }

  // Where a token the data ends in opened, or the string it ends in began.
  void note_unclosed() {
    const std::u16string_view lexeme = source_.last_lexeme();
    if (!lexeme.empty() && lexeme[0] == u'"') {
      const tokenfile::SourcePlace at = source_.last_span().begin;
      const Excerpt shown = excerpt(at, 1);
      return reporter_.note(location(at), "the string that is not closed starts here", &shown);
    }
    const tokenfile::SourcePlace at = source_.open_token_place();
    if (at.line == 0) return;
    const Excerpt shown = excerpt(at, 1);
    reporter_.note(location(at), "the token that is not closed opens here", &shown);
  }

  // True when reading may go on after the failure just reported; at the
  // error limit, says so once and stops.
  bool recover() {
    if (!recoverable_) return false;
    if (reporter_.at_limit()) {
      recoverable_ = false;  // the note is said once, where reading stops
      reporter_.stop();
      return false;
    }
    return true;
  }

  // The same at the span of a mark: its places are counted only for a
  // warning that is to be shown.
  void warn(Warning warning, const TokenStream::Mark& mark, Cause cause,
            std::initializer_list<std::string_view> args = {}) {
    if (!reporter_.options().silenced_warning(warning)) warn(warning, source_.span_of(mark), cause, args);
  }

  void warn(Warning warning, const tokenfile::SourceSpan& span, Cause cause,
            std::initializer_list<std::string_view> args = {}) {
    if (reporter_.options().silenced_warning(warning)) return;
    const Excerpt shown = excerpt(span.begin, span_length(span));
    reporter_.warning(warning, location(span.begin), cause, args, &shown);
  }

  static uint32_t span_length(const tokenfile::SourceSpan& span) {
    return span.begin.line == span.end.line ? span.length : 1;
  }

  // The line is fetched once however many diagnostics stand on it.
  Excerpt excerpt(const tokenfile::SourcePlace& at, uint32_t length) {
    if (binary_source_ || at.line == 0) return {};
    if (at.line != excerpt_line_) {
      excerpt_text_ = source_.source_line(at.line);
      excerpt_line_ = at.line;
    }
    return {excerpt_text_, at.line, at.column, length};
  }

  // --- warnings about what the conversion skips or takes as it stands ---

  // The stream header line of a text source must end with CR LF where its
  // 16 characters end; otherwise it has taken the start of the next line.
  void check_header_line() {
    // A source in UTF-8 may have no header line at all.
    if (binary_source_ || tokenfile::token_stream_header(source_).empty()) return;
    const std::u16string line = source_.source_line(1);
    if (line.size() < 16) return;
    std::string taken;
    for (char16_t c : std::u16string_view(line).substr(14, 2))
      taken += c == u'\n' ? "\\n" : c == u'\r' ? "\\r" : printable(std::u16string_view(&c, 1));
    const tokenfile::SourcePlace at{1, 15, 0};
    warn(Warning::HeaderLine, {at, at, 2}, Cause::HeaderLine, {taken});
  }

  // A device number that reads as something else than it looks: "-1" as
  // 4294967295, "0x1" as 0.
  void check_number_form(uint32_t number) {
    if (binary_source_) return;
    const std::u16string_view lexeme = source_.last_lexeme();
    if (lexeme.empty() || lexeme.find_first_not_of(u"0123456789") == lexeme.npos) return;
    warn(Warning::NumberForm, source_.last_mark(), Cause::NumberForm, {printable(lexeme), decimal(number)});
  }

  void note_count(const TokenStream::Mark& mark, uint32_t n) {
    const uint32_t meant = (n >> 4) * 10 + (n & 15);  // the count as its author read it
    const tokenfile::SourceSpan count = source_.span_of(mark);
    const Excerpt shown = excerpt(count.begin, span_length(count));
    reporter_.note(location(count.begin),
                   "the count is hexadecimal: " + hex_byte(n) + " is " + decimal(n) + " bytes; for " +
                       decimal(meant) + " write " + hex_byte(meant),
                   &shown);
  }

  static std::string hex_byte(uint32_t v) {
    const char digits[] = "0123456789abcdef";
    return {digits[(v >> 4) & 15], digits[v & 15]};
  }

  // A token that is no io_dev at the top level, or no io_map inside one.
  void check_skipped_token(uint32_t id, bool top_level) {
    const bool unknown = id == 0xFFFFFFFFu && !binary_source_;
    if (!unknown && id != TOKEN_IO_MAP && id != TOKEN_SGUID && id != TOKEN_IO_DEV) return;  // a comment, say
    if (top_level && id == TOKEN_IO_DEV) return;
    const Warning would = unknown                           ? Warning::UnknownToken
                          : id == TOKEN_SGUID && !top_level ? Warning::LateSguid
                                                            : Warning::MisplacedToken;
    if (reporter_.options().silenced_warning(would)) return;
    const tokenfile::SourcePlace at = source_.open_token_place();
    const std::u16string_view name = source_.last_token_name().substr(0, 64);
    const tokenfile::SourceSpan span{at, at, std::max<uint32_t>(1, static_cast<uint32_t>(name.size()))};
    if (unknown) {
      warn(Warning::UnknownToken, span, Cause::UnknownToken, {printable(name)});
      std::vector<std::u16string_view> names;
      for (uint32_t i = 1; i <= tokenfile::TOKEN_NAME_COUNT; ++i)
        if (const char16_t* known = tokenfile::token_name_from_id(i))
          names.emplace_back(known);  // none unacquired
      if (!reporter_.options().silenced_warning(Warning::UnknownToken)) suggest(at, name, names);
    } else if (top_level && (id == TOKEN_IO_MAP || id == TOKEN_SGUID)) {
      warn(Warning::MisplacedToken, span, Cause::MisplacedToken,
           {id == TOKEN_IO_MAP ? "io_map" : "sguid", "at the top level", "inside an io_dev"});
    } else if (!top_level && id == TOKEN_IO_DEV) {
      warn(Warning::MisplacedToken, span, Cause::MisplacedToken,
           {"io_dev", "inside an io_dev", "at the top level"});
    } else if (!top_level && id == TOKEN_SGUID) {
      warn(Warning::LateSguid, span, Cause::LateSguid);
    }
  }

  // A modifier named twice, or together with its opposite.
  void check_modifier(uint32_t index, uint32_t& seen) {
    if (seen & (1u << index)) {
      warn(Warning::RedundantModifier, source_.last_mark(), Cause::RedundantModifier,
           {printable(modifier_names[index].name)});
    } else if (index < 8 && (seen & (1u << (index ^ 4)))) {
      // SHIFT_UP and SHIFT_DOWN stand four entries apart, and so on.
      warn(Warning::ConflictingModifiers, source_.last_mark(), Cause::ConflictingModifiers,
           {printable(modifier_names[index].name), printable(modifier_names[index ^ 4].name)});
    }
    seen |= 1u << index;
  }

  // The same control and modifiers bound twice in one io_dev.
  void check_duplicate(uint32_t control, uint32_t mask, const TokenStream::Mark& at) {
    const TokenStream::Mark* first = bindings_.insert(uint64_t{control} << 32 | mask, at);
    if (first == nullptr) return;
    warn(Warning::DuplicateBinding, at, Cause::DuplicateBinding);
    if (!reporter_.options().silenced_warning(Warning::DuplicateBinding)) {
      const tokenfile::SourceSpan earlier = source_.span_of(*first);
      const Excerpt shown = excerpt(earlier.begin, span_length(earlier));
      reporter_.note(location(earlier.begin), "it is bound here first", &shown);
    }
  }

  // A failed value read or read_token_close, from the code it left.
  bool fail_read(Reading reading, bool string_read = false) {
    if (token_error == ERR_END_OF_TOKEN) return fail(Cause::MissingValue, {reading.token, reading.what});
    // A binary string longer than the buffer fails with no code, the data
    // not run out, and leaves the stream after the string.
    if (binary_source_ && string_read && token_error == 0 && source_.read_stop() == ReadStop::None) {
      return fail(Cause::StringTooLong, {reading.token, decimal(source_.last_string_length())});
    }
    if (token_error == 0 && !binary_source_) {
      return fail(Cause::WrongValueKind, {reading.token, reading.what, last_lexeme()});
    }
    return fail_common(reading);
  }

  // A failed read_token_open whose code is not the normal end.
  bool fail_open(Reading reading) {
    if (!binary_source_ && token_error == ERR_END_OF_DATA && source_.read_stop() == ReadStop::None) {
      // Inside a token: a lexeme that is no token name.
      return fail(Cause::StrayChild, {reading.token});
    }
    if (!binary_source_ && token_error == 0) return fail_syntax();  // a label without '('
    return fail_common(reading);
  }

  // The causes every kind of read shares.
  bool fail_common(Reading reading) {
    if (source_.read_stop() == ReadStop::DamagedTail) {
      return fail(binary_source_ ? Cause::EndInsideToken : Cause::OddByte);
    }
    switch (token_error) {
      case ERR_NO_MEMORY:
        return fail(Cause::OutOfMemory);
      case ERR_BAD_VALUE:
        if (!binary_source_) return fail(Cause::BadNumber, {reading.token, last_lexeme()});
        break;
      case ERR_SYNTAX:
        // The text reader also says ERR_SYNTAX when the data ends inside a
        // word or a string; a syntax error proper ends with a lexeme.
        if (!binary_source_ && source_.read_stop() == ReadStop::None) return fail_syntax();
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

  Location location(const tokenfile::SourcePlace& at) const {
    if (binary_source_) return {Location::Kind::Byte, at.offset};
    return {Location::Kind::Line, at.line, at.column};
  }
  // Where the last read stood: the lexeme or value it took or stopped at.
  Location location() const { return location(source_.last_span().begin); }

  std::string shown_text() const { return printable(std::u16string_view(text_.data())); }

  // The lexeme read last as the source has it, for syntax diagnostics: a
  // long one shows its last 48 characters.
  std::string last_lexeme() const {
    const std::u16string_view lexeme = source_.last_lexeme();
    constexpr size_t kShown = 48;
    if (lexeme.size() <= kShown) return printable(lexeme);
    return "..." + printable(lexeme.substr(lexeme.size() - kShown));
  }

  TokenStream& source_;
  TokenStream* target_;
  NullTarget null_target_;
  Console& console_;
  Reporter& reporter_;
  const bool stdout_message_;
  const bool binary_source_;
  bool failed_ = false;
  bool recoverable_ = false;
  uint32_t excerpt_line_ = 0;  // the source line shown last, and its text
  std::u16string excerpt_text_;
  // The bindings of the io_dev being read, by control and mask.
  BindingSet bindings_;
  uint32_t device_code_ = 0;
  std::string device_label_;  // the device name as the source wrote it
  // The string buffer. Its first NAME_KEY_UNITS units are always
  // initialised and readable, as the name tables' find_in_buffer needs.
  std::array<char16_t, STRING_CAPACITY> text_{};
  static_assert(STRING_CAPACITY >= tokenfile::NAME_KEY_UNITS);
  std::array<uint8_t, 64> sguid_{};
};

}  // namespace

int32_t convert_input_map(TokenStream& source, TokenStream& target, Console& console, Reporter& reporter,
                          bool stdout_message) noexcept {
  try {
    Converter converter(source, target, console, reporter, stdout_message);
    return converter.run() ? 1 : 0;
  } catch (const std::bad_alloc&) {
    // Only diagnostic texts allocate, and always before the message is
    // printed.
    if (stdout_message) print_failure_message(console, source);
    reporter.error({}, Cause::OutOfMemory);
    return 0;
  }
}

int32_t convert_input_map(TokenStream& source, TokenStream& target, Console& console,
                          std::string_view source_name) noexcept {
  Reporter reporter(console, source_name, DiagnosticOptions{});
  return convert_input_map(source, target, console, reporter, true);
}

}  // namespace mapbake
