// The writing half of the text encoding: one token per line, children
// indented by tabs, values after single spaces, lines wrapped before column
// 1024, strings bare or quoted in continued pieces.
#include <algorithm>
#include <array>
#include <limits>
#include <new>
#include <string>

#include "tokenfile/byte_order.h"
#include "tokenfile/dictionary.h"
#include "tokenfile/text/text_chars.h"
#include "tokenfile/text/text_stream.h"
#include "tokenfile/wide_length.h"

namespace tokenfile {

namespace {

// At most this many tabs start a line (256, not 255).
constexpr uint32_t kMaxTabs = 256;
// An item that would reach this column starts a new line.
constexpr uint32_t kWrapColumn = 1024;
// A tab counts this many columns.
constexpr uint32_t kTabColumns = 4;
// Longest text write_wstring accepts.
constexpr size_t kMaxStringChars = 65536;

constexpr std::array<char16_t, kMaxTabs> kTabs = [] {
  std::array<char16_t, kMaxTabs> tabs{};
  for (auto& t : tabs) t = u'\t';
  return tabs;
}();

constexpr char16_t kHexDigits[] = u"0123456789abcdef";

bool breaks_bare_word(char16_t c) noexcept {
  return is_text_white_space(c) || c == u'\\' || c == u'"' || c == u'(' || c == u')';
}

// Written bare: not empty, shorter than 1024 and nothing that the reader
// would take for a separator, a group mark, a quote or an escape.
bool can_be_bare(std::u16string_view text) noexcept {
  if (text.empty() || text.size() >= 1024) return false;
  size_t i = 0;
  if constexpr (kTextVectors) {
    for (; i + kTextLanes <= text.size(); i += kTextLanes) {
      const TextUnits u = load_text_units(text.data() + i);
      // Certainly not bare: white space below U+0100, backslash, quote,
      // parenthesis. From U+1680 on a unit may be white space: decided one
      // by one.
      const TextLanes stop = (u <= splat_units(0x20)) | (u == splat_units(0x7F)) | (u == splat_units(u'\\')) |
                             (u == splat_units(u'"')) | (u == splat_units(u'(')) | (u == splat_units(u')'));
      if (any_lane(stop)) return false;
      if (any_lane(u >= splat_units(0x1680))) {
        for (size_t k = i; k < i + kTextLanes; ++k)
          if (breaks_bare_word(text[k])) return false;
      }
    }
  }
  for (; i < text.size(); ++i)
    if (breaks_bare_word(text[i])) return false;
  return true;
}

// Needs an escape (tab, line feed, quote, backslash) or is dropped (carriage
// return) in a quoted piece.
bool is_special_in_quotes(char16_t c) noexcept {
  return c == u'\t' || c == u'\n' || c == u'"' || c == u'\\' || c == u'\r';
}

struct Escaping {
  size_t length = 0;       // the text's length once escaped
  bool line_feed = false;  // the text holds a line feed
};

// Length of a text once escaped: tab, line feed, quote and backslash take
// two characters, a carriage return none; and whether it holds a line feed.
Escaping escaping_of(std::u16string_view text) noexcept {
  Escaping e;
  size_t i = 0;
  if constexpr (kTextVectors) {
    for (; i + kTextLanes <= text.size(); i += kTextLanes) {
      const TextUnits u = load_text_units(text.data() + i);
      const TextLanes line_feed = u == splat_units(u'\n');
      e.line_feed = e.line_feed || any_lane(line_feed);
      e.length += kTextLanes +
                  set_lanes((u == splat_units(u'\t')) | line_feed | (u == splat_units(u'"')) |
                            (u == splat_units(u'\\'))) -
                  set_lanes(u == splat_units(u'\r'));
    }
  }
  for (; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c == u'\t' || c == u'\n' || c == u'"' || c == u'\\') {
      e.length += 2;
      if (c == u'\n') e.line_feed = true;
    } else if (c != u'\r') {
      ++e.length;
    }
  }
  return e;
}

// The units of `text` from `from` on before the first one that is special
// in quotes.
size_t plain_quoted_run(std::u16string_view text, size_t from) noexcept {
  size_t i = from;
  if constexpr (kTextVectors) {
    for (; i + kTextLanes <= text.size(); i += kTextLanes) {
      const TextUnits u = load_text_units(text.data() + i);
      const uint32_t plain =
          first_set_lane((u == splat_units(u'\t')) | (u == splat_units(u'\n')) | (u == splat_units(u'"')) |
                         (u == splat_units(u'\\')) | (u == splat_units(u'\r')));
      if (plain < kTextLanes) return i + plain - from;
    }
  }
  while (i < text.size() && !is_special_in_quotes(text[i])) ++i;
  return i - from;
}

}  // namespace

void TextTokenStream::put_char(char16_t c) noexcept {
  uint8_t unit[2];
  store_u16le(unit, c);
  if (!out_failed_ && container_write(*container, unit, 2) != 2) out_failed_ = true;
}

void TextTokenStream::put(std::u16string_view text) noexcept {
  if (out_failed_ || text.empty()) return;
  if constexpr (std::endian::native == std::endian::little) {
    // Already UTF-16LE in memory.
    const uint32_t bytes = static_cast<uint32_t>(2 * text.size());
    if (container_write(*container, text.data(), bytes) != bytes) out_failed_ = true;
  } else {
    for (char16_t c : text) put_char(c);
  }
}

// Ends a write operation: gives `result`, or 0 without a code when the
// container could not take the output.
int32_t TextTokenStream::finish(int32_t result) noexcept {
  const bool failed = out_failed_;
  out_failed_ = false;
  return failed ? 0 : result;
}

void TextTokenStream::advance(uint64_t width) noexcept {
  const uint64_t p = position + width;
  position = p > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max()
                                                      : static_cast<uint32_t>(p);
}

// CR LF and `base` tabs; fails with ERR_BAD_VALUE after the CR LF when
// `base` is above 256.
int32_t TextTokenStream::line_break(uint32_t base) noexcept {
  position = 0;
  put(u"\r\n");
  if (base > kMaxTabs) return fail(ERR_BAD_VALUE);
  advance(uint64_t{kTabColumns} * base);
  put({kTabs.data(), base});
  return 1;
}

// The wrap rule for an item of counted `width`: a line break first when the
// item would reach the wrap column, then the item's separating space. The
// caller writes the rest of the item.
int32_t TextTokenStream::begin_item(uint64_t width) noexcept {
  advance(width);
  if (position >= kWrapColumn) {
    if (!line_break(indent)) return 0;
    advance(width);
  }
  put_char(u' ');
  return 1;
}

int32_t TextTokenStream::write_token_open(uint32_t id, const char16_t* label_text) noexcept {
  const char16_t* name = token_name_from_id(id);
  if (name == nullptr) return fail(ERR_UNKNOWN_TOKEN);
  if (!open_tokens.empty()) open_tokens.back() = 2;
  try {
    open_tokens.push_back(1);
  } catch (const std::bad_alloc&) {
    return fail(ERR_NO_MEMORY);
  }
  if (!line_break(indent)) return finish(0);
  const std::u16string_view n(name);
  put(n);
  advance(n.size());
  if (label_text != nullptr) {
    // Written as given; the space before it is not counted.
    const std::u16string_view l(label_text);
    put_char(u' ');
    put(l);
    advance(l.size());
  }
  put(u" (");
  advance(2);
  ++indent;
  return finish(1);
}

// Texts of any length; a text that begins with a line feed starts a new
// line with the rest of it, which does not advance the column.
int32_t TextTokenStream::write_label(const char16_t* text) noexcept {
  const std::u16string_view t(text != nullptr ? text : u"");
  if (!t.empty() && t[0] == u'\n') {
    if (!line_break(indent)) return finish(0);
    put(t.substr(1));
    return finish(1);
  }
  if (!begin_item(uint64_t{t.size()} + 1)) return finish(0);
  put(t);
  return finish(1);
}

int32_t TextTokenStream::write_uint(uint32_t value) noexcept {
  char16_t digits[kNumberTextCapacity];
  const uint32_t n = format_text_uint(value, digits);
  if (!begin_item(n + 1)) return finish(0);
  put({digits, n});
  return finish(1);
}

int32_t TextTokenStream::write_int(int32_t value) noexcept {
  char16_t digits[kNumberTextCapacity];
  const uint32_t n = format_text_int(value, digits);
  if (!begin_item(n + 1)) return finish(0);
  put({digits, n});
  return finish(1);
}

int32_t TextTokenStream::write_hex(uint32_t value) noexcept {
  if (!begin_item(9)) return finish(0);
  char16_t digits[8];
  for (int i = 0; i < 8; ++i) digits[i] = kHexDigits[(value >> (28 - 4 * i)) & 0xF];
  put({digits, 8});
  return finish(1);
}

int32_t TextTokenStream::write_float(float value) noexcept {
  char16_t digits[kNumberTextCapacity];
  const uint32_t n = format_text_float(static_cast<double>(value), digits);
  if (!begin_item(n + 1)) return finish(0);
  put({digits, n});
  return finish(1);
}

// Fails with ERR_BAD_VALUE, writing nothing, for a text over 65536
// characters; with ERR_BAD_VALUE after a line feed piece when the line break
// would need more than 256 tabs.
int32_t TextTokenStream::write_wstring(const char16_t* text) noexcept {
  if (text == nullptr) text = u"";
  const size_t length = wide_length_up_to(text, kMaxStringChars);
  if (length > kMaxStringChars) return fail(ERR_BAD_VALUE);
  const std::u16string_view t(text, length);
  if (can_be_bare(t)) {
    if (!begin_item(uint64_t{length} + 1)) return finish(0);
    put(t);
    return finish(1);
  }
  return finish(write_quoted(t));
}

// The quoted form: pieces of about the piece budget, each a quoted item
// under the wrap rule, joined by plus signs; a piece ends after a line feed
// and then a new line starts. The empty text is one empty piece.
int32_t TextTokenStream::write_quoted(std::u16string_view text) noexcept {
  const int64_t budget = std::max<int64_t>(1016 - int64_t{kTabColumns} * indent, 256);
  size_t done = 0;
  do {
    const std::u16string_view rest = text.substr(done);
    // Prefer to cut after a run of spaces, line feeds or tabs (the cut moves
    // to every later character that follows one), and right after a line
    // feed; `width` estimates the escaped length. A tab that follows a line
    // feed is no break: it begins the next line's text.
    int64_t width = 0;
    size_t cut = 0;
    size_t scanned = 0;
    bool after_break = false;
    bool line_feed = false;
    // The usual string is without a line feed, and too short to reach the
    // budget even if every character took two columns: the scan would take
    // all of it, and it is measured at once.
    Escaping escaping;
    bool measured = false;
    if (2 * static_cast<int64_t>(rest.size()) < budget) {
      escaping = escaping_of(rest);
      measured = !escaping.line_feed;
    }
    if (measured) {
      cut = rest.size();
    } else {
      for (size_t i = 0;; ++i) {
        scanned = i;
        if (i == rest.size()) {
          cut = i;
          break;
        }
        const char16_t c = rest[i];
        if (c == u' ' || c == u'\n' || (c == u'\t' && !line_feed)) {
          after_break = true;
          if (c == u'\n') {
            line_feed = true;
            ++width;
          }
        } else if (after_break) {
          cut = i;
          if (line_feed) break;
        }
        width += (c == u'\t' || c == u'"' || c == u'\\') ? 2 : 1;
        if (width >= budget) {
          scanned = i + 1;
          break;
        }
      }
    }
    // Without a break to cut at: three quarters of the budget, but never
    // more characters than the scan measured, so that an escaped piece stays
    // within the reader's lexeme limit (762 quotes would escape to 1524).
    if (cut == 0) cut = std::min({rest.size(), static_cast<size_t>(budget * 3 / 4), scanned});

    const std::u16string_view piece = rest.substr(0, cut);
    if (!measured) escaping = escaping_of(piece);
    if (!begin_item(uint64_t{escaping.length} + 4)) return 0;
    put_char(u'"');
    for (size_t i = 0; i < piece.size();) {
      const size_t run = plain_quoted_run(piece, i);
      put(piece.substr(i, run));
      i += run;
      if (i == piece.size()) break;
      const char16_t c = piece[i++];
      switch (c) {
        case u'\t':
          put(u"\\t");
          break;
        case u'\n':
          put(u"\\n");
          break;
        case u'\r':
          break;  // dropped by design
        case u'"':
          put(u"\\\"");
          break;
        case u'\\':
          put(u"\\\\");
          break;
        default:
          put_char(c);
      }
    }
    put_char(u'"');
    done += cut;
    if (done < text.size()) put_char(u'+');
    if (line_feed && !line_break(indent)) return 0;
  } while (done < text.size());
  return 1;
}

int32_t TextTokenStream::write_string(const char*) noexcept { return 0; }

int32_t TextTokenStream::write_bytes(const uint8_t* data, uint32_t count) noexcept {
  for (uint32_t i = 0; i < count; ++i) {
    if (!begin_item(3)) return finish(0);
    put_char(kHexDigits[data[i] >> 4]);
    put_char(kHexDigits[data[i] & 0xF]);
  }
  return finish(1);
}

int32_t TextTokenStream::write_token_ref(uint32_t id) noexcept {
  const char16_t* name = token_name_from_id(id);
  if (name == nullptr) return fail(ERR_UNKNOWN_TOKEN);
  const std::u16string_view n(name);
  if (!begin_item(n.size())) return finish(0);  // the space is not counted
  put(n);
  return finish(1);
}

// Each line on a new line after its depth plus indent tabs (a sum below 0
// gives none). Fails with ERR_BLOCK_KIND, writing nothing, for a missing or
// binary block; with ERR_BAD_VALUE when a line would need more than 256
// tabs, the lines before it written. The block is released on success only.
int32_t TextTokenStream::write_block(std::unique_ptr<TokenBlock>& block) noexcept {
  if (!block || block->kind != BLOCK_TEXT) return fail(ERR_BLOCK_KIND);
  for (const BlockLine& l : block->lines) {
    position = 0;
    put(u"\r\n");
    const int64_t tabs = std::max<int64_t>(int64_t{l.depth} + indent, 0);
    if (tabs > kMaxTabs) return finish(fail(ERR_BAD_VALUE));
    advance(static_cast<uint64_t>(tabs) * kTabColumns);
    put({kTabs.data(), static_cast<size_t>(tabs)});
    put(l.text);
    advance(l.text.size());
  }
  const int32_t result = finish(1);
  if (result) block.reset();
  return result;
}

int32_t TextTokenStream::write_token_close() noexcept {
  if (indent > 0) --indent;
  uint32_t state = 0;
  if (!open_tokens.empty()) {
    state = open_tokens.back();
    open_tokens.pop_back();
  }
  if (state == 1) {
    // No child: the parenthesis ends the token's own line, uncounted.
    put(u" )");
    return finish(1);
  }
  if (!line_break(indent)) return finish(0);
  put(u")");
  return finish(1);
}

}  // namespace tokenfile
