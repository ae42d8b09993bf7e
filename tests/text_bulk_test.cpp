// The text encoding's hot loops take runs of characters eight units at a
// time. These tests hold them to the character-by-character rules: each
// compares the stream with a plain model written straight from those rules,
// on many generated inputs dense in the characters that need a decision
// (parentheses, quotes, backslashes, carriage returns, line feeds, white
// space inside and outside Latin-1) and at lengths around the vector width
// and the 1055-character lexeme limit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "support/text_file.h"
#include "tokenfile/dictionary.h"
#include "tokenfile/text/text_chars.h"
#include "tokenfile/text/text_stream.h"
#include "tokenfile/token_stream.h"

using namespace tokenfile;
using testsupport::show;

namespace {

constexpr uint32_t kMaxChars = 1055;

// --- the model of the lexer: one character at a time ---

struct ModelLexeme {
  LexemeKind kind = LexemeKind::Word;
  std::u16string text;
  bool continued = false;
};

class ModelLexer {
 public:
  explicit ModelLexer(std::u16string body) : body_(std::move(body)) {}

  // scan_lexeme with may_close and at depth 0: 0 on success, else the code.
  int32_t scan(ModelLexeme& lx) {
    lx = {};
    char16_t c = 0;
    if (pushback_ != 0) {
      c = pushback_;
      pushback_ = 0;
    } else {
      do {
        if (!next(c)) return ERR_READ;
      } while (c != u'\n' && is_text_white_space(c));
    }
    switch (c) {
      case u'\n':
        lx.kind = LexemeKind::Newline;
        return 0;
      case u'(':
        lx.kind = LexemeKind::Open;
        return 0;
      case u')':
        lx.kind = LexemeKind::Close;
        return 0;
      case u'"': {
        if (!next(c)) return ERR_READ;
        bool escaped = false;
        while (c != u'"' || escaped) {
          if (lx.text.size() == kMaxChars) return ERR_SYNTAX;
          lx.text.push_back(c);
          escaped = c == u'\\' && !escaped;
          if (!next(c)) return ERR_SYNTAX;
        }
        if (!next(c)) return ERR_SYNTAX;
        if (c == u'+') {
          lx.continued = true;
        } else if (c == u'\n' || !is_text_white_space(c)) {
          pushback_ = c;
        }
        return 0;
      }
      default:
        break;
    }
    lx.kind = is_number_start(c) ? LexemeKind::Number : LexemeKind::Word;
    for (;;) {
      if (c == u'(' || c == u')' || c == u'\n') {
        pushback_ = c;
        return 0;
      }
      if (is_text_white_space(c)) return 0;
      if (lx.text.size() == kMaxChars) return ERR_SYNTAX;
      lx.text.push_back(c);
      if (!next(c)) return ERR_SYNTAX;
    }
  }

 private:
  bool next(char16_t& c) {
    if (at_ == body_.size()) return false;
    c = body_[at_++];
    if (c != u'\r') return true;
    if (at_ == body_.size()) return false;
    c = body_[at_++];
    return true;
  }

  std::u16string body_;
  size_t at_ = 0;
  char16_t pushback_ = 0;
};

// Characters that need a decision somewhere, and ordinary ones.
constexpr char16_t kAlphabet[] = {u'a',   u'b',   u'Z',   u'1',   u'+',   u'-',   u'(',   u')',
                                  u'"',   u'\\',  u' ',   u'\t',  u'\r',  u'\n',  u'n',   u't',
                                  0x3000, 0x00A0, 0x1680, 0x2000, 0x0085, 0x007F, 0x0000, 0x20AC};

std::u16string random_text(std::mt19937& rng, size_t length) {
  std::u16string s;
  std::uniform_int_distribution<size_t> pick(0, std::size(kAlphabet) - 1);
  std::uniform_int_distribution<int> run(0, 9);
  while (s.size() < length) {
    // Mostly runs of plain letters of every length around the vector
    // width, between single characters from the whole alphabet.
    if (run(rng) < 4) {
      s.append(std::uniform_int_distribution<size_t>(1, 20)(rng), u'x');
    } else {
      s.push_back(kAlphabet[pick(rng)]);
    }
  }
  return s;
}

std::string describe(const ModelLexeme& lx) {
  return std::to_string(static_cast<int>(lx.kind)) + (lx.continued ? "+" : "") + ":" + show(lx.text);
}

// Scans `body` with the stream and with the model; every lexeme and the
// failure that ends the scan must agree.
void expect_same_lexemes(const std::u16string& body) {
  auto s = testsupport::open_text_body(body);
  ASSERT_NE(s, nullptr);
  TextTokenStream& t = testsupport::text_of(*s);
  ModelLexer model(body);
  for (int n = 0;; ++n) {
    token_error = 0;
    ModelLexeme expected;
    const int32_t expected_error = model.scan(expected);
    const int32_t ok = t.scan_lexeme(true);
    ASSERT_EQ(ok == 0, expected_error != 0) << "lexeme " << n << " of " << show(body);
    if (!ok) {
      ASSERT_EQ(token_error, expected_error) << "lexeme " << n << " of " << show(body);
      return;
    }
    const bool has_text = expected.kind == LexemeKind::Word || expected.kind == LexemeKind::Number;
    ModelLexeme got{t.lexeme.kind, has_text ? std::u16string(t.lexeme.view()) : u"", t.lexeme.continued};
    ASSERT_EQ(describe(got), describe(expected)) << "lexeme " << n << " of " << show(body);
  }
}

TEST(TextBulk, LexemesAgreeWithTheCharacterByCharacterRules) {
  std::mt19937 rng(1234);
  for (int i = 0; i < 3000; ++i) {
    expect_same_lexemes(random_text(rng, std::uniform_int_distribution<size_t>(0, 120)(rng)));
    if (::testing::Test::HasFatalFailure()) return;
  }
}

TEST(TextBulk, LexemesAtTheLengthLimitAgree) {
  // Words and strings of 1040 to 1070 characters, the limit falling at
  // every place of a vector, some with a carriage return, quote or
  // backslash near it.
  for (size_t n = 1040; n <= 1070; ++n) {
    for (const std::u16string& around :
         {std::u16string(), std::u16string(u"\r"), std::u16string(u"\\\""), std::u16string(u"\r\r")}) {
      std::u16string word(n, u'w');
      word.insert(n / 2, around);
      expect_same_lexemes(word + u" end");
      expect_same_lexemes(u"\"" + word + u"\" end");
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

TEST(TextBulk, LexemesEndingWithTheDataAgree) {
  // The data ending inside a word or a string, at every place of a vector.
  for (size_t n = 0; n <= 20; ++n) {
    expect_same_lexemes(u"word" + std::u16string(n, u'a'));
    expect_same_lexemes(u"\"str" + std::u16string(n, u'a'));
    expect_same_lexemes(u"\"str" + std::u16string(n, u'a') + u"\\");
    expect_same_lexemes(u"\"str" + std::u16string(n, u'a') + u"\"");
  }
}

// --- read_wstring: the escapes resolved and the capacity honoured ---

// What read_wstring gives for the string lexemes `pieces` (each continued
// but the last), with the buffer's capacity, by the rules.
std::u16string model_string(const std::vector<std::u16string>& pieces, uint32_t capacity) {
  std::u16string out;
  for (const std::u16string& t : pieces) {
    for (size_t i = 0; i < t.size() && out.size() < capacity - 1;) {
      const char16_t c = t[i++];
      if (c != u'\\') {
        out.push_back(c);
        continue;
      }
      if (i == t.size()) break;
      switch (t[i++]) {
        case u'"':
          out.push_back(u'"');
          break;
        case u'\\':
          out.push_back(u'\\');
          break;
        case u'n':
          out.push_back(u'\n');
          break;
        case u't':
          out.push_back(u'\t');
          break;
        default:
          break;
      }
    }
  }
  return out;
}

TEST(TextBulk, StringsAgreeWithTheEscapeRules) {
  ASSERT_NE(acquire_token_dictionary(), 0);
  std::mt19937 rng(99);
  std::uniform_int_distribution<size_t> length(0, 40);
  for (int i = 0; i < 2000; ++i) {
    // One value of one to three continued pieces. A piece's text is plain
    // characters and escape pairs (a backslash and any character), so it
    // holds no unescaped quote; it has no carriage return, which the reader
    // drops before the text is made.
    const size_t count = std::uniform_int_distribution<size_t>(1, 3)(rng);
    std::vector<std::u16string> pieces;
    std::u16string body = u"comment ( ";
    for (size_t p = 0; p < count; ++p) {
      std::u16string text;
      for (char16_t c : random_text(rng, length(rng))) {
        if (c == u'\r' || c == 0) continue;
        if (c == u'"' || c == u'\\') {
          constexpr char16_t kEscaped[] = {u'"', u'\\', u'n', u't', u'q', u' ', u'x'};
          text.push_back(u'\\');
          text.push_back(kEscaped[std::uniform_int_distribution<size_t>(0, std::size(kEscaped) - 1)(rng)]);
          continue;
        }
        text.push_back(c);
      }
      pieces.push_back(text);
      body += u"\"" + text + u"\"" + (p + 1 < count ? u"+ " : u" ");
    }
    body += u")";
    for (uint32_t capacity : {1u, 2u, 9u, 17u, 256u}) {
      auto s = testsupport::open_text_body(body);
      ASSERT_NE(s, nullptr);
      uint32_t id = 0;
      ASSERT_NE(s->read_token_open(id, nullptr), 0) << show(body);
      std::vector<char16_t> buffer(capacity, u'?');
      ASSERT_NE(s->read_wstring(buffer.data(), capacity), 0) << show(body);
      ASSERT_EQ(show(buffer.data()), show(model_string(pieces, capacity)))
          << show(body) << " capacity " << capacity;
      // The whole value was consumed, continuation pieces included.
      EXPECT_EQ(s->read_wstring(buffer.data(), capacity), 0);
      EXPECT_EQ(token_error, ERR_END_OF_TOKEN) << show(body);
    }
    if (HasFatalFailure()) break;
  }
  release_token_dictionary();
}

// --- write_wstring: the bare and quoted forms, piece by piece ---

// The text writer's layout for the calls below, by the rules: open tokens
// to an indentation, numbers to a column, then one string.
class ModelWriter {
 public:
  void open(std::u16string_view name) {
    line_break(indent_);
    out_ += name;
    position_ += name.size();
    out_ += u" (";
    position_ += 2;
    ++indent_;
  }
  void uint(uint32_t value) {
    const std::u16string digits = widen(std::to_string(value));
    begin_item(digits.size() + 1);
    out_ += digits;
  }
  void wstring(std::u16string_view text) {
    if (!text.empty() && text.size() < 1024 && bare(text)) {
      begin_item(text.size() + 1);
      out_ += text;
      return;
    }
    const int64_t budget = std::max<int64_t>(1016 - 4 * static_cast<int64_t>(indent_), 256);
    size_t done = 0;
    do {
      const std::u16string_view rest = text.substr(done);
      int64_t width = 0;
      size_t cut = 0;
      size_t scanned = 0;
      bool after_break = false;
      bool line_feed = false;
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
      if (cut == 0) cut = std::min({rest.size(), static_cast<size_t>(budget * 3 / 4), scanned});
      std::u16string piece;
      for (char16_t c : rest.substr(0, cut)) {
        if (c == u'\t') {
          piece += u"\\t";
        } else if (c == u'\n') {
          piece += u"\\n";
        } else if (c == u'"') {
          piece += u"\\\"";
        } else if (c == u'\\') {
          piece += u"\\\\";
        } else if (c != u'\r') {
          piece.push_back(c);
        }
      }
      begin_item(piece.size() + 4);
      out_ += u"\"" + piece + u"\"";
      done += cut;
      if (done < text.size()) out_ += u"+";
      if (line_feed) line_break(indent_);
    } while (done < text.size());
  }
  const std::u16string& out() const { return out_; }

 private:
  static std::u16string widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }
  static bool bare(std::u16string_view text) {
    for (char16_t c : text)
      if (is_text_white_space(c) || c == u'\\' || c == u'"' || c == u'(' || c == u')') return false;
    return true;
  }
  void line_break(uint32_t base) {
    out_ += u"\r\n";
    out_.append(base, u'\t');
    position_ = 4 * base;
  }
  void begin_item(size_t width) {
    position_ += width;
    if (position_ >= 1024) {
      line_break(indent_);
      position_ += width;
    }
    out_ += u" ";
  }

  std::u16string out_;
  uint64_t position_ = 16;  // the header line's width, until the first line break
  uint32_t indent_ = 0;
};

TEST(TextBulk, WrittenStringsAgreeWithTheLayoutRules) {
  ASSERT_NE(acquire_token_dictionary(), 0);
  std::mt19937 rng(7);
  std::uniform_int_distribution<uint32_t> depth(0, 3);
  std::uniform_int_distribution<uint32_t> numbers(0, 120);
  for (int i = 0; i < 1500; ++i) {
    const size_t length = i % 10 == 0 ? std::uniform_int_distribution<size_t>(900, 2600)(rng)
                                      : std::uniform_int_distribution<size_t>(0, 60)(rng);
    std::u16string text = random_text(rng, length);
    for (char16_t& c : text)
      if (c == 0) c = u'z';  // a terminator would end the text early
    auto s = testsupport::open_text_writer();
    ASSERT_NE(s, nullptr);
    ModelWriter model;
    const uint32_t levels = depth(rng);
    for (uint32_t k = 0; k < levels; ++k) {
      ASSERT_NE(s->write_token_open(1, nullptr), 0);
      model.open(u"comment");
    }
    // Numbers bring the column near the wrap at 1024 now and then.
    const uint32_t values = numbers(rng);
    for (uint32_t k = 0; k < values; ++k) {
      ASSERT_NE(s->write_uint(1000000 + k), 0);
      model.uint(1000000 + k);
    }
    ASSERT_NE(s->write_wstring(text.c_str()), 0);
    model.wstring(text);
    ASSERT_EQ(show(testsupport::written_body(*s)), show(model.out())) << "text " << show(text);
  }
  release_token_dictionary();
}

}  // namespace
