// The text encoding of the token stream: UTF-16 names, parentheses, words and
// quoted strings. Private to the token file library.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tokenfile/file_container.h"
#include "tokenfile/token_stream.h"

namespace tokenfile {

// The longest lexeme text, in characters (the terminator not counted).
inline constexpr uint32_t kMaxLexemeChars = 1055;

enum class LexemeKind : uint8_t {
  Word = 1,     // an unquoted word not starting with a number start, or a quoted string
  Number = 2,   // an unquoted word starting with + - . or a digit
  Open = 3,     // "("
  Close = 4,    // ")"
  Newline = 5,  // a line feed outside a quoted string
};

struct Lexeme {
  LexemeKind kind = LexemeKind::Word;
  // A quoted string directly followed by a plus sign.
  bool continued = false;
  // The text holds a backslash (an escape, for the string reads).
  bool backslash = false;
  uint32_t size = 0;
  // The characters, escapes of a quoted string still in place; terminated.
  char16_t text[kMaxLexemeChars + 1] = {};

  std::u16string_view view() const noexcept { return {text, size}; }
};

// Where the lines of a body start. The lexer adds each line as it consumes
// the line feed before it; a query past what the lexer has read scans on.
struct LineIndex {
  std::vector<uint32_t> starts;  // line k + 1 starts at starts[k]
  uint32_t indexed_to = 0;       // every line starting at or below this offset is in `starts`
  bool failed = false;           // out of memory: places unknown

  // The line after a line feed starts at `start` (added once, in order).
  void add(uint32_t start) noexcept {
    if (failed || start <= starts.back()) return;
    try {
      starts.push_back(start);
    } catch (const std::bad_alloc&) {
      failed = true;
    }
  }
};

class TextTokenStream final : public TokenStream {
 public:
  // Without a header line (a source in UTF-8) the body's first line is line 1.
  explicit TextTokenStream(bool header_line = true) noexcept : header_line_(header_line) {
    if (!header_line) line = 1;
  }

  [[nodiscard]] int32_t read_token_open(uint32_t& id, const char16_t** label) noexcept override;
  [[nodiscard]] int32_t read_label(char16_t* text) noexcept override;
  [[nodiscard]] int32_t read_uint(uint32_t& value) noexcept override;
  [[nodiscard]] int32_t read_int(int32_t& value) noexcept override;
  [[nodiscard]] int32_t read_hex(uint32_t& value) noexcept override;
  [[nodiscard]] int32_t read_float(float& value) noexcept override;
  [[nodiscard]] int32_t read_wstring(char16_t* buffer, uint32_t capacity) noexcept override;
  [[nodiscard]] int32_t read_string(char* buffer, uint32_t capacity) noexcept override;
  [[nodiscard]] int32_t read_bytes(uint8_t* buffer, uint32_t count) noexcept override;
  [[nodiscard]] int32_t read_token_ref(uint32_t& id) noexcept override;
  [[nodiscard]] std::unique_ptr<TokenBlock> read_block() noexcept override;
  [[nodiscard]] int32_t read_token_close() noexcept override;

  [[nodiscard]] int32_t write_token_open(uint32_t id, const char16_t* label) noexcept override;
  [[nodiscard]] int32_t write_label(const char16_t* text) noexcept override;
  [[nodiscard]] int32_t write_uint(uint32_t value) noexcept override;
  [[nodiscard]] int32_t write_int(int32_t value) noexcept override;
  [[nodiscard]] int32_t write_hex(uint32_t value) noexcept override;
  [[nodiscard]] int32_t write_float(float value) noexcept override;
  [[nodiscard]] int32_t write_wstring(const char16_t* text) noexcept override;
  [[nodiscard]] int32_t write_string(const char* text) noexcept override;
  [[nodiscard]] int32_t write_bytes(const uint8_t* data, uint32_t count) noexcept override;
  [[nodiscard]] int32_t write_token_ref(uint32_t id) noexcept override;
  [[nodiscard]] int32_t write_block(std::unique_ptr<TokenBlock>& block) noexcept override;
  [[nodiscard]] int32_t write_token_close() noexcept override;

  [[nodiscard]] Mark last_mark() const noexcept override { return {span_begin_, span_end_}; }
  [[nodiscard]] SourceSpan span_of(const Mark& mark) const noexcept override;
  [[nodiscard]] SourcePlace open_token_place() const noexcept override;
  [[nodiscard]] std::u16string_view last_lexeme() const noexcept override;
  [[nodiscard]] std::u16string_view last_token_name() const noexcept override;
  [[nodiscard]] ReadStop read_stop() const noexcept override { return stop_; }
  [[nodiscard]] uint32_t last_string_length() const noexcept override { return string_length_; }
  [[nodiscard]] std::u16string source_line(uint32_t number) const noexcept override;
  [[nodiscard]] uint32_t source_line_count() const noexcept override;

  // --- the lexer (public for its tests) ---

  // Scans the next lexeme into `lexeme`. The token's own closing parenthesis
  // (met at depth 1, or held in close_pending) is returned only when
  // `may_close`; otherwise it is held in close_pending and the scan fails
  // with ERR_END_OF_TOKEN. Other failures: ERR_READ when the data ends before
  // a lexeme (then at_end_of_data is set) or right after an opening quote;
  // ERR_SYNTAX for a lexeme over 1055 characters or one cut off by the end
  // of the data. Consumed characters stay consumed after a failure. With
  // `skip_line_feeds` a line feed is no lexeme: it is passed like white
  // space and counts a line.
  [[nodiscard]] int32_t scan_lexeme(bool may_close, bool skip_line_feeds = false) noexcept;

  // Scans lexemes until one that is not a line feed (each counts a line) or,
  // with `skip_groups`, a group mark (which moves depth). Succeeds when
  // `wanted` is empty or matches; a lexeme of another kind fails without
  // setting token_error. Scan failures pass on with their code. A group's
  // closing parenthesis met at depth 0 (no token's content around it) fails
  // with ERR_SYNTAX and leaves depth at 0.
  [[nodiscard]] int32_t fetch_lexeme(std::optional<LexemeKind> wanted, bool skip_groups) noexcept;

  // --- reader state ---

  Lexeme lexeme;
  // Parentheses opened and not closed since the innermost open token's
  // name: 1 directly inside its own parentheses, 0 at the top level.
  int32_t depth = 0;
  // The character that ended the previous lexeme and is not consumed yet;
  // 0 when none (U+0000 is white space and never held here).
  char16_t pushback = 0;
  // The innermost token's closing parenthesis has been met by a scan that
  // could not return it; the next scan that may close returns it.
  bool close_pending = false;
  // The last scan failed because the data ended where a lexeme should start
  // (nothing but white space was left).
  bool at_end_of_data = false;

  // --- writer state ---

  // Tokens opened and not closed: the tabs that start a new line.
  uint32_t indent = 0;

 private:
  // Leaves the innermost token: depth becomes the enclosing token's again
  // (0 when none is open).
  void restore_enclosing_depth() noexcept;

  // --- where reading stands, in body offsets (bytes) ---

  // The last lexeme scanned: its first unit, and just past its last.
  uint32_t lexeme_begin_ = 0;
  uint32_t lexeme_end_ = 0;
  // The last value read, which may span several lexemes (a string in
  // pieces, a run of bytes); while extend_span_ a scan only moves its end.
  uint32_t span_begin_ = 0;
  uint32_t span_end_ = 0;
  bool extend_span_ = false;
  // Where the pushed-back character and the held closing parenthesis stand.
  uint32_t pushback_at_ = 0;
  uint32_t close_at_ = 0;
  ReadStop stop_ = ReadStop::None;
  uint32_t string_length_ = 0;
  // The names of the open tokens, innermost last (beside open_tokens).
  std::vector<uint32_t> open_names_;
  // The token opened last: where its name and label lexemes stand in the
  // body, whether it has a label and whether its parenthesis followed.
  uint32_t opening_name_[2] = {};
  uint32_t opening_label_[2] = {};
  bool opening_labelled_ = false;
  bool opening_complete_ = false;
  // Its name, label and parenthesis as read (the first line of read_block),
  // each but the last followed by a space, kept whole however long.
  std::u16string opening_text() const;
  // The body's units from `begin` to `end` as the reader takes them
  // (carriage returns dropped), appended to `out`.
  void append_source_units(uint32_t begin, uint32_t end, std::u16string& out) const;
  // The same for a lexeme's text: quotes taken off a string, escapes left in
  // place.
  void append_lexeme_text(uint32_t begin, uint32_t end, std::u16string& out) const;
  mutable std::u16string name_text_;
  // Records the lexeme scanned last, from `begin` to `end`.
  void mark_lexeme(uint32_t begin, uint32_t end) noexcept;
  // The line and column of a body offset; filled from a line index built
  // on demand, forward only, so that all queries together scan the body
  // once.
  SourcePlace place_of(uint32_t offset) const noexcept;
  void index_lines_to(uint32_t offset) const noexcept;
  uint32_t body_start() const noexcept;  // after the stream header line
  bool header_line_ = true;              // the body starts with one
  mutable LineIndex lines_;
  mutable uint32_t column_line_ = 0;                                // the last place counted: its line,
  mutable uint32_t column_at_ = 0;                                  // offset
  mutable uint32_t column_ = 0;                                     // and column
  mutable std::vector<std::pair<uint32_t, uint32_t>> checkpoints_;  // offset, column on that line
  mutable std::u16string lexeme_text_;

  // Output goes straight to the end of the container's body, as UTF-16LE.
  void put(std::u16string_view text) noexcept;
  void put_char(char16_t c) noexcept;
  [[nodiscard]] int32_t finish(int32_t result) noexcept;
  void advance(uint64_t width) noexcept;
  [[nodiscard]] int32_t line_break(uint32_t base) noexcept;
  [[nodiscard]] int32_t begin_item(uint64_t width) noexcept;
  [[nodiscard]] int32_t write_quoted(std::u16string_view text) noexcept;

  // A container write failed during the current operation; later output of
  // the operation is dropped and the operation fails without a code.
  bool out_failed_ = false;
};

}  // namespace tokenfile
