// The reading half of the text encoding: the lexer and read operations.
#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#include "tokenfile/byte_order.h"
#include "tokenfile/dictionary.h"
#include "tokenfile/text/text_chars.h"
#include "tokenfile/text/text_stream.h"

namespace tokenfile {

namespace {

// A line of a read_block result holds at most this many characters,
// terminator included (the first line excepted: it starts as the whole
// opening text).
constexpr size_t kBlockLineCapacity = 1312;

// Characters of the body from the container's position on, read straight
// from memory; the position goes back to the container when the cursor ends.
// Each line feed it takes starts a line of the index; everything it passes
// is indexed, since nothing else moves the reading position.
class BodyCursor {
 public:
  BodyCursor(FileContainer& c, LineIndex& lines) noexcept
      : container_(c), lines_(lines), data_(c.body()), pos_(c.body_pos), end_(c.body_size) {}
  ~BodyCursor() {
    container_.body_pos = pos_;
    if (pos_ > lines_.indexed_to) lines_.indexed_to = pos_;
    container_note_position(container_);
  }
  BodyCursor(const BodyCursor&) = delete;
  BodyCursor& operator=(const BodyCursor&) = delete;

  // The next UTF-16 code unit; false at the end of the data (an odd
  // trailing byte is no character). A carriage return is skipped once: the
  // character after it is taken in its place, even a second carriage return.
  bool next(char16_t& c) noexcept {
    if (end_ - pos_ < 2) return false;
    c = static_cast<char16_t>(load_u16le(data_ + pos_));
    pos_ += 2;
    if (c == u'\r') {
      if (end_ - pos_ < 2) return false;
      c = static_cast<char16_t>(load_u16le(data_ + pos_));
      pos_ += 2;
    }
    if (c == u'\n') lines_.add(pos_);
    return true;
  }

  // The rest of the data, for the bulk copies below, which stop before a
  // carriage return or a line feed and so may bypass next().
  const uint8_t* here() const noexcept { return data_ + pos_; }
  uint32_t pos() const noexcept { return pos_; }
  // Where the data ran out: nothing left, or an odd byte after the last unit.
  ReadStop stop() const noexcept { return end_ - pos_ == 1 ? ReadStop::DamagedTail : ReadStop::BodyEnd; }
  uint32_t units_left() const noexcept { return (end_ - pos_) / 2; }
  void skip(uint32_t units) noexcept { pos_ += 2 * units; }

 private:
  FileContainer& container_;
  LineIndex& lines_;
  const uint8_t* data_;
  uint32_t pos_;  // invariant: pos_ <= end_
  uint32_t end_;
};

// --- bulk copies of runs of ordinary characters ---
//
// Words and strings are mostly runs of characters that need no decision of
// their own. These copy such a run from the body (UTF-16LE) eight units at a
// time (text_chars.h) and stop at the first unit that
// needs one, at `room` units, or at the end of the data; they return the
// units copied. Each is equivalent to taking the run one character at a
// time through BodyCursor::next, since no unit of the run is a carriage
// return or a line feed.

using Units = TextUnits;
using Lanes = TextLanes;
constexpr uint32_t kLanes = kTextLanes;

// A unit that continues an unquoted word without a decision: not white
// space (nothing at or below U+0020, not U+007F, nothing from U+1680 on,
// where the wider white space lies), not a parenthesis, not a backslash
// (which the lexeme notes).
constexpr bool is_plain_word_unit(uint16_t u) noexcept {
  return u > 0x20 && u != 0x7F && u != u'(' && u != u')' && u != u'\\' && u < 0x1680;
}

Lanes plain_word_lanes(Units u) noexcept {
  return (u > splat_units(0x20)) & (u != splat_units(0x7F)) & (u != splat_units(u'(')) &
         (u != splat_units(u')')) & (u != splat_units(u'\\')) & (u < splat_units(0x1680));
}

// A unit inside a quoted string that needs no decision: not the quote, not
// a backslash (which escapes what follows), not a carriage return, not a
// line feed (which the line index takes).
constexpr bool is_plain_quoted_unit(uint16_t u) noexcept {
  return u != u'"' && u != u'\\' && u != u'\r' && u != u'\n';
}

Lanes plain_quoted_lanes(Units u) noexcept {
  return (u != splat_units(u'"')) & (u != splat_units(u'\\')) & (u != splat_units(u'\r')) &
         (u != splat_units(u'\n'));
}

template <bool (*Plain)(uint16_t), Lanes (*PlainLanes)(Units)>
uint32_t copy_run(const uint8_t* src, uint32_t units, char16_t* dst, uint32_t room) noexcept {
  const uint32_t limit = units < room ? units : room;
  uint32_t n = 0;
  if constexpr (kTextVectors) {
    while (n + kLanes <= limit) {
      const Units u = load_text_units(src + 2 * n);
      std::memcpy(dst + n, &u, sizeof u);  // lanes past the run are overwritten later or ignored
      const uint32_t plain = first_set_lane(~PlainLanes(u));
      n += plain;
      if (plain < kLanes) return n;
    }
  }
  for (; n < limit; ++n) {
    const uint16_t u = load_u16le(src + 2 * n);
    if (!Plain(u)) break;
    dst[n] = u;
  }
  return n;
}

uint32_t copy_word_run(const uint8_t* src, uint32_t units, char16_t* dst, uint32_t room) noexcept {
  return copy_run<is_plain_word_unit, plain_word_lanes>(src, units, dst, room);
}

uint32_t copy_quoted_run(const uint8_t* src, uint32_t units, char16_t* dst, uint32_t room) noexcept {
  return copy_run<is_plain_quoted_unit, plain_quoted_lanes>(src, units, dst, room);
}

// The units of `text` before the first backslash, at most `limit`.
uint32_t unescaped_run(const char16_t* text, uint32_t limit) noexcept {
  uint32_t n = 0;
  while (n + kLanes <= limit) {
    const Units u = load_text_units(text + n);  // host order: no byte order involved
    const uint32_t plain = first_set_lane(u == splat_units(u'\\'));
    n += plain;
    if (plain < kLanes) return n;
  }
  while (n < limit && text[n] != u'\\') ++n;
  return n;
}

void set_mark(Lexeme& lx, LexemeKind kind, char16_t c) noexcept {
  lx.kind = kind;
  lx.text[0] = c;
  lx.text[1] = 0;
  lx.size = 1;
}

bool has_white_space(std::u16string_view text) noexcept {
  for (char16_t c : text)
    if (is_text_white_space(c)) return true;
  return false;
}

// The units of `text` that escapes resolve to: a backslash and one of
// " \\ n t make one; a backslash before anything else, or at the end, none.
uint32_t resolved_length(const char16_t* text, uint32_t n) noexcept {
  uint32_t units = 0;
  for (uint32_t i = 0; i < n; ++i) {
    if (text[i] != u'\\') {
      ++units;
    } else if (++i < n) {
      units += text[i] == u'"' || text[i] == u'\\' || text[i] == u'n' || text[i] == u't';
    }
  }
  return units;
}

}  // namespace

void TextTokenStream::restore_enclosing_depth() noexcept {
  if (open_tokens.empty()) {
    depth = 0;
  } else {
    depth = static_cast<int32_t>(open_tokens.back());
    open_tokens.pop_back();
  }
  if (!open_names_.empty()) open_names_.pop_back();
}

void TextTokenStream::mark_lexeme(uint32_t begin, uint32_t end) noexcept {
  lexeme_begin_ = begin;
  lexeme_end_ = end;
  if (!extend_span_) span_begin_ = begin;
  span_end_ = end;
}

int32_t TextTokenStream::scan_lexeme(bool may_close, bool skip_line_feeds) noexcept {
  Lexeme& lx = lexeme;
  lx.continued = false;
  lx.backslash = false;
  lx.size = 0;
  lx.text[0] = 0;
  at_end_of_data = false;
  stop_ = ReadStop::None;
  if (close_pending) {
    mark_lexeme(close_at_, close_at_ + 2);
    if (!may_close) return stop_ = ReadStop::TokenEnd, fail(ERR_END_OF_TOKEN);
    close_pending = false;
    set_mark(lx, LexemeKind::Close, u')');
    return 1;
  }

  if (lines_.starts.empty()) index_lines_to(0);
  BodyCursor in(*container, lines_);
  char16_t c = 0;
  uint32_t begin = pushback_at_;
  bool started = false;
  if (pushback != 0) {
    c = pushback;
    pushback = 0;
    started = c != u'\n' || !skip_line_feeds;
    if (!started) ++line;
  }
  if (!started) {
    for (;;) {
      if (!in.next(c)) {
        at_end_of_data = true;
        mark_lexeme(in.pos(), in.pos());
        stop_ = in.stop();
        return fail(ERR_READ);
      }
      if (c == u'\n') {
        if (!skip_line_feeds) break;
        ++line;
      } else if (!is_text_white_space(c)) {
        break;
      }
    }
    begin = in.pos() - 2;
  }
  // Where the data ran out inside the lexeme, or the lexeme ended before
  // the character at `end`.
  auto ran_out = [&]() {
    mark_lexeme(begin, in.pos());
    stop_ = in.stop();
  };
  auto ended = [&](uint32_t end) { mark_lexeme(begin, end); };

  switch (c) {
    case u'\n':
      set_mark(lx, LexemeKind::Newline, c);
      ended(begin + 2);
      return 1;
    case u'(':
      set_mark(lx, LexemeKind::Open, c);
      ended(begin + 2);
      return 1;
    case u')':
      ended(begin + 2);
      if (depth == 1 && !may_close) {
        close_pending = true;
        close_at_ = begin;
        stop_ = ReadStop::TokenEnd;
        return fail(ERR_END_OF_TOKEN);
      }
      set_mark(lx, LexemeKind::Close, c);
      return 1;
    case u'"': {
      lx.kind = LexemeKind::Word;
      if (!in.next(c)) return ran_out(), fail(ERR_READ);
      // A character is escaped when the one stored before it is a backslash
      // that is not escaped itself.
      bool escaped = false;
      while (c != u'"' || escaped) {
        if (lx.size == kMaxLexemeChars) {
          lx.text[lx.size] = 0;
          return ended(in.pos() - 2), fail(ERR_SYNTAX);
        }
        lx.text[lx.size++] = c;
        escaped = c == u'\\' && !escaped;
        lx.backslash = lx.backslash || escaped;
        if (!escaped) {
          // What follows up to the next quote, backslash or carriage return
          // goes in unchanged.
          const uint32_t run =
              copy_quoted_run(in.here(), in.units_left(), lx.text + lx.size, kMaxLexemeChars - lx.size);
          in.skip(run);
          lx.size += run;
        }
        if (!in.next(c)) {
          lx.text[lx.size] = 0;
          return ran_out(), fail(ERR_SYNTAX);
        }
      }
      lx.text[lx.size] = 0;
      ended(in.pos());
      // One character after the closing quote: a plus sign joins the next
      // string; one white space character goes; anything else, a line feed
      // included, is left for the next scan.
      if (!in.next(c)) return stop_ = in.stop(), fail(ERR_SYNTAX);
      if (c == u'+') {
        lx.continued = true;
      } else if (c == u'\n' || !is_text_white_space(c)) {
        pushback = c;
        pushback_at_ = in.pos() - 2;
      }
      return 1;
    }
    default:
      break;
  }

  lx.kind = is_number_start(c) ? LexemeKind::Number : LexemeKind::Word;
  for (;;) {
    if (c == u'(' || c == u')' || c == u'\n') {
      pushback = c;
      pushback_at_ = in.pos() - 2;
      break;
    }
    if (is_text_white_space(c)) break;
    if (lx.size == kMaxLexemeChars) {
      lx.text[lx.size] = 0;
      return ended(in.pos() - 2), fail(ERR_SYNTAX);
    }
    lx.text[lx.size++] = c;
    lx.backslash = lx.backslash || c == u'\\';
    const uint32_t run =
        copy_word_run(in.here(), in.units_left(), lx.text + lx.size, kMaxLexemeChars - lx.size);
    in.skip(run);
    lx.size += run;
    if (!in.next(c)) {
      lx.text[lx.size] = 0;
      return ran_out(), fail(ERR_SYNTAX);
    }
  }
  lx.text[lx.size] = 0;
  ended(in.pos() - 2);
  return 1;
}

int32_t TextTokenStream::fetch_lexeme(std::optional<LexemeKind> wanted, bool skip_groups) noexcept {
  for (;;) {
    if (!scan_lexeme(false, true)) return 0;
    const LexemeKind kind = lexeme.kind;
    if (skip_groups && kind == LexemeKind::Open && wanted != LexemeKind::Open) {
      // Cannot overflow: a 32-bit body holds fewer than 2^31 characters.
      ++depth;
      continue;
    }
    if (skip_groups && kind == LexemeKind::Close && wanted != LexemeKind::Close) {
      if (depth == 0) return fail(ERR_SYNTAX);
      --depth;
      continue;
    }
    return !wanted || *wanted == kind ? 1 : 0;
  }
}

// Opens the next token. At the top level (no token open) the end of the
// data gives ERR_END_OF_DATA and anything but a name gives ERR_SYNTAX.
// Inside a token a failed name step leaves ERR_END_OF_TOKEN and ERR_SYNTAX
// as they are and turns everything else, the unchanged code of a lexeme of
// the wrong kind included, into ERR_END_OF_DATA. After a failure past the
// name the enclosing depth stays pushed and depth is 0.
int32_t TextTokenStream::read_token_open(uint32_t& id, const char16_t** label_out) noexcept {
  const int32_t saved_depth = depth;
  const bool top_level = open_tokens.empty();
  if (!fetch_lexeme(LexemeKind::Word, false)) {
    if (top_level) return fail(at_end_of_data ? ERR_END_OF_DATA : ERR_SYNTAX);
    if (token_error != ERR_END_OF_TOKEN && token_error != ERR_SYNTAX) token_error = ERR_END_OF_DATA;
    return 0;
  }
  try {
    open_names_.reserve(open_tokens.size() + 1);
    open_tokens.push_back(static_cast<uint32_t>(saved_depth));
    open_names_.push_back(lexeme_begin_);
  } catch (const std::bad_alloc&) {
    return fail(ERR_NO_MEMORY);
  }
  depth = 0;
  // The lexeme's buffer holds far more than the 16 units the quick look-up
  // reads, and the text is terminated.
  static_assert(kMaxLexemeChars + 1 >= 16);
  id = token_id_from_name_in_buffer(lexeme.text);
  opening_name_[0] = lexeme_begin_;
  opening_name_[1] = lexeme_end_;
  opening_labelled_ = false;
  opening_complete_ = false;

  if (!fetch_lexeme(std::nullopt, false)) return 0;
  switch (lexeme.kind) {
    case LexemeKind::Open:
      label[0] = 0;
      if (label_out != nullptr) *label_out = nullptr;
      break;
    case LexemeKind::Word: {
      opening_label_[0] = lexeme_begin_;
      opening_label_[1] = lexeme_end_;
      opening_labelled_ = true;
      if (label_out != nullptr) {
        const uint32_t n = lexeme.size < 32 ? lexeme.size : 32;
        std::memcpy(label, lexeme.text, n * sizeof(char16_t));
        label[n] = 0;
        *label_out = label;
      }
      if (!fetch_lexeme(LexemeKind::Open, false)) return 0;
      break;
    }
    default:
      return fail(ERR_SYNTAX);
  }
  opening_complete_ = true;
  depth = 1;
  return 1;
}

int32_t TextTokenStream::read_label(char16_t* text) noexcept {
  if (!fetch_lexeme(LexemeKind::Word, true)) return 0;
  std::memcpy(text, lexeme.text, (lexeme.size + 1) * sizeof(char16_t));
  return 1;
}

int32_t TextTokenStream::read_uint(uint32_t& value) noexcept {
  if (!fetch_lexeme(LexemeKind::Number, true)) return 0;
  return scan_text_uint(lexeme.view(), value) ? 1 : fail(ERR_BAD_VALUE);
}

int32_t TextTokenStream::read_int(int32_t& value) noexcept {
  if (!fetch_lexeme(LexemeKind::Number, true)) return 0;
  return scan_text_int(lexeme.view(), value) ? 1 : fail(ERR_BAD_VALUE);
}

int32_t TextTokenStream::read_hex(uint32_t& value) noexcept {
  if (!fetch_lexeme(std::nullopt, true)) return 0;
  if (lexeme.size != 8) return fail(ERR_SYNTAX);
  uint32_t v = 0;
  for (uint32_t i = 0; i < 8; ++i) {
    const int d = hex_digit_value(lexeme.text[i]);
    if (d < 0) return fail(ERR_SYNTAX);
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  value = v;
  return 1;
}

int32_t TextTokenStream::read_float(float& value) noexcept {
  if (!fetch_lexeme(LexemeKind::Number, true)) return 0;
  return scan_text_float(lexeme.view(), value) ? 1 : fail(ERR_BAD_VALUE);
}

// Reads one string value and its continuation pieces, escapes resolved, and
// stores at most capacity - 1 characters and a terminator. A string longer
// than that is still consumed whole, continuation pieces included, so that
// none of them is taken for the next value. A failed fetch (also of a
// continuation piece) fails with its code, the buffer terminated after what
// was stored. Capacity 0 fails with ERR_BAD_VALUE before reading.
int32_t TextTokenStream::read_wstring(char16_t* buffer, uint32_t capacity) noexcept {
  if (capacity == 0) return fail(ERR_BAD_VALUE);
  const uint32_t room = capacity - 1;
  uint32_t stored = 0;
  string_length_ = 0;
  do {
    const bool fetched = fetch_lexeme(std::nullopt, true);
    extend_span_ = true;  // continuation pieces join the value's span
    if (!fetched) {
      buffer[stored] = 0;
      extend_span_ = false;
      mark_lexeme(lexeme_begin_, lexeme_end_);  // the failure is at the piece that failed
      return 0;
    }
    const char16_t* t = lexeme.text;
    const uint32_t n = lexeme.size;
    if (!lexeme.backslash && !lexeme.continued && stored == 0 && n <= room) {
      // The usual string: one piece, nothing to resolve, room for all of it.
      std::memcpy(buffer, t, n * sizeof(char16_t));
      buffer[n] = 0;
      string_length_ = n;
      extend_span_ = false;
      return 1;
    }
    const uint32_t stored_before = stored;
    uint32_t i = 0;
    while (i < n && stored < room) {
      // Up to the next backslash the text goes in unchanged.
      const uint32_t run = lexeme.backslash ? unescaped_run(t + i, std::min(n - i, room - stored))
                                            : std::min(n - i, room - stored);
      std::memcpy(buffer + stored, t + i, run * sizeof(char16_t));
      stored += run;
      i += run;
      if (i == n || stored == room) break;
      ++i;  // the backslash
      // A backslash at the very end of the text is dropped; one before an
      // unknown character drops both.
      if (i == n) break;
      switch (t[i++]) {
        case u'"':
          buffer[stored++] = u'"';
          break;
        case u'\\':
          buffer[stored++] = u'\\';
          break;
        case u'n':
          buffer[stored++] = u'\n';
          break;
        case u't':
          buffer[stored++] = u'\t';
          break;
        default:
          break;
      }
    }
    // What did not fit still counts toward the string's length.
    string_length_ += stored - stored_before + (i < n ? resolved_length(t + i, n - i) : 0);
  } while (lexeme.continued);
  extend_span_ = false;
  buffer[stored] = 0;
  return 1;
}

int32_t TextTokenStream::read_string(char*, uint32_t) noexcept { return 0; }

int32_t TextTokenStream::read_bytes(uint8_t* buffer, uint32_t count) noexcept {
  uint32_t stored = 0;
  while (stored < count) {
    const bool fetched = fetch_lexeme(std::nullopt, true);
    extend_span_ = true;  // the value spans all its lexemes
    if (!fetched) return extend_span_ = false, mark_lexeme(lexeme_begin_, lexeme_end_), 0;
    // Pairs from the start; a single character left over is ignored.
    for (uint32_t i = 0; i + 1 < lexeme.size; i += 2) {
      const int high = hex_digit_value(lexeme.text[i]);
      const int low = hex_digit_value(lexeme.text[i + 1]);
      if (high < 0 || low < 0 || stored == count) {
        extend_span_ = false;
        mark_lexeme(lexeme_begin_, lexeme_end_);
        return fail(ERR_SYNTAX);
      }
      buffer[stored++] = static_cast<uint8_t>(high << 4 | low);
    }
  }
  extend_span_ = false;
  return 1;
}

int32_t TextTokenStream::read_token_ref(uint32_t& id) noexcept {
  if (!fetch_lexeme(LexemeKind::Word, true)) return 0;
  id = token_id_from_name(lexeme.view());
  return 1;
}

int32_t TextTokenStream::read_token_close() noexcept {
  // Without an open token there is nothing to close, even when a value read
  // at the top level has entered a group and raised depth.
  if (depth == 0 || open_tokens.empty()) return fail(ERR_SYNTAX);
  int64_t open = depth;
  while (open > 0) {
    if (!scan_lexeme(true)) return 0;
    switch (lexeme.kind) {
      case LexemeKind::Open:
        ++open;
        break;
      case LexemeKind::Close:
        --open;
        break;
      case LexemeKind::Newline:
        ++line;
        break;
      default:
        break;
    }
  }
  restore_enclosing_depth();
  return 1;
}

// Copies the rest of the innermost token as lines of text, starting with its
// opening, and closes it (depth restored on failure too). Lexemes are joined
// by single spaces; a lexeme whose text has white space is quoted again
// (with its plus sign when continued), other strings lose their quotes. A
// line of the block ends where the source line ends, or where the next
// lexeme would overflow it. The block is complete when a line ends with
// every parenthesis of the token closed. When the token's own closing
// parenthesis begins a line, the block ends right after it and what follows
// on that line stays in the stream for the enclosing token. The end of the
// data right after the token is closed also completes it. Null on failure,
// with the scan's code, or ERR_NO_MEMORY.
std::unique_ptr<TokenBlock> TextTokenStream::read_block() noexcept {
  const int32_t previous_error = token_error;
  std::unique_ptr<TokenBlock> block;
  bool complete = false;
  try {
    block = std::make_unique<TokenBlock>();
    block->kind = BLOCK_TEXT;
    std::u16string current = opening_text();
    bool at_start = false;
    int32_t level = 1;
    int32_t line_level = 1;

    // Appends the current line unless it is empty; true when that completes
    // the block, otherwise a new line starts.
    auto end_line = [&]() -> bool {
      if (!current.empty()) block->lines.push_back(BlockLine{current, block->lines.empty() ? 0 : line_level});
      if (level == 0) return true;
      line_level = level;
      current.clear();
      at_start = true;
      return false;
    };

    while (!complete) {
      if (!scan_lexeme(true)) {
        if (level != 0 || !at_end_of_data) break;
        token_error = previous_error;  // the clean end is no failure here
        complete = end_line();
        continue;
      }
      const LexemeKind kind = lexeme.kind;
      if (kind == LexemeKind::Newline) {
        ++line;
        complete = end_line();
        continue;
      }
      const std::u16string_view text = lexeme.view();
      const bool quoted = has_white_space(text);
      const size_t marks = quoted ? 2 + (lexeme.continued ? 1 : 0) : 0;
      if (current.size() + (at_start ? 0 : 1) + marks + text.size() + 1 > kBlockLineCapacity) {
        // Wrapped, not a line of the source: counts no line.
        if (end_line()) {
          complete = true;
          break;
        }
      }
      const bool began_line = at_start;
      if (kind == LexemeKind::Open) {
        ++level;
      } else if (kind == LexemeKind::Close) {
        --level;
        if (at_start) --line_level;
      }
      if (!at_start) current.push_back(u' ');
      at_start = false;
      if (quoted) current.push_back(u'"');
      current.append(text);
      if (quoted) {
        current.push_back(u'"');
        if (lexeme.continued) current.push_back(u'+');
      }
      if (kind == LexemeKind::Close && level == 0 && began_line) complete = end_line();
    }
  } catch (const std::bad_alloc&) {
    token_error = ERR_NO_MEMORY;
    complete = false;
  }

  restore_enclosing_depth();
  if (!complete) return nullptr;
  return block;
}

// --- where reading stands ---

namespace {

char16_t unit_at(const uint8_t* body, uint32_t offset) noexcept {
  return static_cast<char16_t>(load_u16le(body + offset));
}

// Characters from `from` to `to` (byte offsets of UTF-16 units): a carriage
// return counts none, a surrogate pair one.
uint32_t characters_between(const uint8_t* body, uint32_t from, uint32_t to) noexcept {
  uint32_t n = 0;
  for (uint32_t at = from; at + 1 < to; at += 2) {
    const char16_t u = unit_at(body, at);
    const bool pair_end = u >= 0xDC00 && u < 0xE000 && at >= from + 2 && unit_at(body, at - 2) >= 0xD800 &&
                          unit_at(body, at - 2) < 0xDC00;
    n += u != u'\r' && !pair_end;
  }
  return n;
}

}  // namespace

uint32_t TextTokenStream::body_start() const noexcept {
  if (!header_line_) return 0;
  const FileContainer& c = *container;
  return c.body_size >= 2 && c.body()[1] == 0 ? 32 : 16;
}

void TextTokenStream::index_lines_to(uint32_t offset) const noexcept {
  const FileContainer& c = *container;
  try {
    if (lines_.starts.empty()) {
      lines_.starts.reserve(64);
      lines_.starts.push_back(0);
      if (header_line_) lines_.starts.push_back(body_start());
      lines_.indexed_to = body_start();
    }
    const uint32_t end = std::min(offset, c.body_size & ~1u);
    uint32_t at = lines_.indexed_to;
    if constexpr (kTextVectors) {
      // Most runs of eight units hold no line end: one comparison each.
      for (; at + 2 * kTextLanes <= end; at += 2 * kTextLanes) {
        // The low bit of each line end's pair is its byte offset in the run.
        const uint32_t ends = lane_bits(load_text_units(c.body() + at) == splat_units(u'\n')) & 0x5555u;
        for (uint32_t m = ends; m != 0; m &= m - 1)
          lines_.starts.push_back(at + static_cast<uint32_t>(std::countr_zero(m)) + 2);
      }
    }
    for (; at + 1 < end; at += 2)
      if (unit_at(c.body(), at) == u'\n') lines_.starts.push_back(at + 2);
    lines_.indexed_to = std::max(lines_.indexed_to, end);
  } catch (const std::bad_alloc&) {
    lines_.failed = true;
  }
}

SourcePlace TextTokenStream::place_of(uint32_t offset) const noexcept {
  if (!container || lines_.failed) return {};
  if (offset < body_start()) return {1, offset / (body_start() / 16) + 1, 0};
  index_lines_to(offset);
  if (lines_.failed) return {};
  const auto next = std::upper_bound(lines_.starts.begin(), lines_.starts.end(), offset);
  const uint32_t start = *(next - 1);
  const auto line_number = static_cast<uint32_t>(next - lines_.starts.begin());
  // Places on one line go on counting from the last one, or from the
  // checkpoint (one each 1024 bytes counted) before an earlier place, so
  // that a long line is counted about once, however many places it has.
  try {
    if (column_line_ != line_number) {
      column_line_ = line_number;
      checkpoints_.assign(1, {start, 1});
      column_at_ = start;
      column_ = 1;
    }
    // Start from the checkpoint nearest before the place when the last
    // place lies after it, or further back than that checkpoint.
    const auto back = std::upper_bound(checkpoints_.begin(), checkpoints_.end(), std::pair{offset, ~0u}) - 1;
    if (column_at_ > offset || back->first > column_at_) {
      column_at_ = back->first;
      column_ = back->second;
    }
    while (offset - column_at_ > 1024) {
      const uint32_t to = column_at_ + 1024;
      column_ += characters_between(container->body(), column_at_, to);
      column_at_ = to;
      if (to > checkpoints_.back().first) checkpoints_.push_back({to, column_});
    }
  } catch (const std::bad_alloc&) {
    column_line_ = 0;  // counted from the line's start next time
  }
  column_ += characters_between(container->body(), column_at_, offset);
  column_at_ = offset;
  return {line_number, column_, 0};
}

SourceSpan TextTokenStream::span_of(const Mark& mark) const noexcept {
  if (!container) return {};
  const auto begin = static_cast<uint32_t>(mark.begin), end = static_cast<uint32_t>(mark.end);
  return {place_of(begin), place_of(end), characters_between(container->body(), begin, end)};
}

SourcePlace TextTokenStream::open_token_place() const noexcept {
  return open_names_.empty() ? SourcePlace{} : place_of(open_names_.back());
}

void TextTokenStream::append_source_units(uint32_t begin, uint32_t end, std::u16string& out) const {
  // Written into room for every unit, then cut to those kept.
  const size_t from = out.size();
  out.resize(from + (end > begin ? (end - begin) / 2 : 0));
  char16_t* kept = out.data() + from;
  for (uint32_t at = begin; at + 1 < end; at += 2) {
    *kept = unit_at(container->body(), at);
    kept += *kept != u'\r';
  }
  out.resize(static_cast<size_t>(kept - out.data()));
}

void TextTokenStream::append_lexeme_text(uint32_t begin, uint32_t end, std::u16string& out) const {
  const bool quoted = end - begin >= 4 && unit_at(container->body(), begin) == u'"';
  if (quoted) begin += 2, end -= 2;
  append_source_units(begin, end, out);
}

std::u16string TextTokenStream::opening_text() const {
  std::u16string text;
  if (!container) return text;
  append_lexeme_text(opening_name_[0], opening_name_[1], text);
  text.push_back(u' ');
  if (opening_labelled_) {
    append_lexeme_text(opening_label_[0], opening_label_[1], text);
    text.push_back(u' ');
  }
  if (opening_complete_) text.push_back(u'(');
  return text;
}

std::u16string_view TextTokenStream::last_token_name() const noexcept {
  if (!container) return {};
  try {
    name_text_.clear();
    append_lexeme_text(opening_name_[0], opening_name_[1], name_text_);
    return std::u16string_view(name_text_).substr(0, name_text_.find(u' '));
  } catch (const std::bad_alloc&) {
    return {};
  }
}

std::u16string_view TextTokenStream::last_lexeme() const noexcept {
  if (!container) return {};
  try {
    lexeme_text_.clear();
    append_source_units(lexeme_begin_, lexeme_end_, lexeme_text_);
    return lexeme_text_;
  } catch (const std::bad_alloc&) {
    return {};
  }
}

uint32_t TextTokenStream::source_line_count() const noexcept {
  if (!container) return 0;
  index_lines_to(container->body_size);
  return lines_.failed ? 0 : static_cast<uint32_t>(lines_.starts.size());
}

std::u16string TextTokenStream::source_line(uint32_t number) const noexcept {
  if (!container || number == 0) return {};
  const FileContainer& c = *container;
  try {
    std::u16string text;
    if (number == 1 && header_line_) {
      // The 16 characters of the stream header line; its CR LF left out.
      const uint32_t width = body_start() / 16;
      for (uint32_t at = 0; at + width <= std::min<uint32_t>(c.body_size, 16 * width); at += width)
        text.push_back(width == 2 ? unit_at(c.body(), at) : c.body()[at]);
      if (text.size() == 16 && text[14] == u'\r' && text[15] == u'\n') text.resize(14);
      return text;
    }
    // Index line by line until the line is found or the body ends.
    while (lines_.starts.size() < number && lines_.indexed_to < (c.body_size & ~1u) && !lines_.failed)
      index_lines_to(std::min<uint64_t>(static_cast<uint64_t>(lines_.indexed_to) + 4096, c.body_size & ~1u));
    if (lines_.failed) return token_error = ERR_NO_MEMORY, std::u16string{};
    if (lines_.starts.size() < number) return {};
    // The line ends before the next line's start, or at the end of the body.
    const uint32_t from = lines_.starts[number - 1];
    uint32_t to = from;
    if (number < lines_.starts.size()) {
      to = lines_.starts[number] - 2;
    } else {
      while (to + 1 < c.body_size && unit_at(c.body(), to) != u'\n') to += 2;
    }
    append_source_units(from, to, text);
    return text;
  } catch (const std::bad_alloc&) {
    token_error = ERR_NO_MEMORY;
    return {};
  }
}

}  // namespace tokenfile
