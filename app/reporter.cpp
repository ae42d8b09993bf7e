#include "app/reporter.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <new>

namespace mapbake {

namespace {

constexpr std::array<std::string_view, static_cast<size_t>(Warning::Count)> kWarningNames{
    "unknown-token",      "misplaced-token", "duplicate-binding",    "late-sguid",   "conflicting-modifiers",
    "redundant-modifier", "string-cut",      "action-like-modifier", "derived-name", "run-time-map",
    "header-line",        "number-form",     "lone-surrogate",
};

static_assert(kWarningNames.back() != "", "every warning needs its name");

constexpr std::string_view kBold = "\033[1m", kRed = "\033[1;31m", kMagenta = "\033[1;35m",
                           kCyan = "\033[1;36m", kGreen = "\033[1;32m", kReset = "\033[0m";

// How a character of a source line is shown in an excerpt.
std::string shown(char16_t c, char16_t next, bool& pair) {
  pair = false;
  if (c == u'\t') return "    ";
  if (c >= 0xD800 && c < 0xDC00 && next >= 0xDC00 && next < 0xE000) {
    pair = true;
    return printable(std::u16string{c, next});
  }
  if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0) || (c >= 0xD800 && c < 0xE000)) {
    char code[16];
    std::snprintf(code, sizeof code, "<U+%04X>", static_cast<unsigned>(c));
    return code;
  }
  return printable(std::u16string_view(&c, 1));
}

// Columns a shown text takes: one per character, not per byte.
size_t width_of(std::string_view utf8) {
  size_t n = 0;
  for (unsigned char c : utf8) n += (c & 0xC0) != 0x80;
  return n;
}

}  // namespace

std::string_view warning_name(Warning warning) noexcept {
  return kWarningNames[static_cast<size_t>(warning)];
}

bool find_warning(std::string_view name, Warning& warning) noexcept {
  for (size_t i = 0; i < kWarningNames.size(); ++i) {
    if (kWarningNames[i] == name) {
      warning = static_cast<Warning>(i);
      return true;
    }
  }
  return false;
}

std::string excerpt_lines(const Excerpt& excerpt, bool color) {
  char digits[16] = "    ";  // the line number, at least five columns wide, right-aligned
  char* end = std::to_chars(digits + 4, digits + sizeof digits, excerpt.line).ptr;
  const size_t wide = static_cast<size_t>(end - (digits + 4));
  const std::string_view number =
      wide >= 5 ? std::string_view(digits + 4, wide) : std::string_view(digits + wide - 1, 5);
  std::string text, marks;
  size_t column = 1;
  const std::u16string_view line = excerpt.text;
  // A long line shows a window of it around the place: from 40 characters
  // before it, at most 120 characters, "..." where it is cut.
  constexpr size_t kBefore = 40, kWindow = 120;
  size_t first = 0, last = line.size();
  if (line.size() > kWindow) {
    first = excerpt.column > kBefore + 1 ? excerpt.column - 1 - kBefore : 0;
    last = std::min(line.size(), first + kWindow);
    column = first + 1;  // units and characters may differ past a surrogate pair; close enough here
    if (first > 0) text = "...", marks = "   ";
  }
  const size_t marked_end = excerpt.column + std::max<uint32_t>(excerpt.length, 1);
  // Written through pointers into room for the widest form of every
  // character ("<U+0085>"), then cut to what was written.
  const size_t text_at = text.size(), marks_at = marks.size();
  text.resize(text_at + 8 * (last - first));
  marks.resize(marks_at + 8 * (last - first));
  char* t = text.data() + text_at;
  char* m = marks.data() + marks_at;
  for (size_t i = first; i < last; ++i, ++column) {
    const bool marked = column >= excerpt.column && column < marked_end;
    const char mark = !marked ? ' ' : column == excerpt.column ? '^' : '~';
    const char16_t c = line[i];
    if (c >= 0x20 && c < 0x7F) {  // the usual character: shown as it is, one column
      *t++ = static_cast<char>(c);
      *m++ = mark;
      continue;
    }
    bool pair = false;
    const std::string s = shown(c, i + 1 < line.size() ? line[i + 1] : 0, pair);
    i += pair;
    t = std::copy(s.begin(), s.end(), t);
    *m++ = mark;
    m = std::fill_n(m, width_of(s) - 1, marked ? '~' : ' ');
  }
  text.resize(static_cast<size_t>(t - text.data()));
  marks.resize(static_cast<size_t>(m - marks.data()));
  if (last < line.size()) text += "...";
  if (excerpt.column >= column && last == line.size()) {
    marks.append(excerpt.column - column, ' ').append(1, '^');  // past the end of the line
  }
  marks.erase(marks.find_last_not_of(' ') + 1);
  std::string out;
  out.reserve(2 * number.size() + text.size() + marks.size() + 32);
  out.append(number).append(text.empty() ? " |" : " | ").append(text).append(1, '\n');
  out.append(number.size(), ' ').append(" | ");
  if (color) out.append(kGreen);
  out.append(marks);
  if (color) out.append(kReset);
  out.push_back('\n');
  return out;
}

void Reporter::print(Severity severity, Location where, std::string_view text, std::string_view tag,
                     const Excerpt* excerpt) noexcept {
  try {
    std::string line = diagnostic_line(severity, source_, where, text);
    line.pop_back();  // the line end, put back after the tag
    if (!tag.empty()) line.append(" [").append(tag).append("]");
    if (options_.color) {
      const std::string_view label = severity == Severity::Error     ? "error:"
                                     : severity == Severity::Warning ? "warning:"
                                                                     : "note:";
      const std::string_view hue = severity == Severity::Error     ? kRed
                                   : severity == Severity::Warning ? kMagenta
                                                                   : kCyan;
      const size_t at = line.find(std::string(" ") + std::string(label));
      line = std::string(kBold) + line.substr(0, at + 1) + std::string(hue) + std::string(label) +
             std::string(kReset) + std::string(kBold) + line.substr(at + 1 + label.size()) +
             std::string(kReset);
    }
    line.push_back('\n');
    if (excerpt != nullptr && excerpt->line != 0) line += excerpt_lines(*excerpt, options_.color);
    console_.print(Channel::Err, line);
  } catch (const std::bad_alloc&) {
    // A diagnostic is an aid; standard output already carries the message.
  }
}

void Reporter::error(Location where, Cause cause, std::initializer_list<std::string_view> args,
                     const Excerpt* excerpt) noexcept {
  ++errors_;
  try {
    print(Severity::Error, where, cause_text(cause, args), {}, excerpt);
  } catch (const std::bad_alloc&) {
  }
}

void Reporter::stop() noexcept { print(Severity::Note, {}, "too many errors; stopping", {}, nullptr); }

void Reporter::warning(Warning warning, Location where, Cause cause,
                       std::initializer_list<std::string_view> args, const Excerpt* excerpt) noexcept {
  if (options_.silenced_warning(warning)) return;
  ++warnings_;
  try {
    print(Severity::Warning, where, cause_text(cause, args), warning_name(warning), excerpt);
  } catch (const std::bad_alloc&) {
  }
}

void Reporter::note(Location where, std::string_view text, const Excerpt* excerpt) noexcept {
  print(Severity::Note, where, text, {}, excerpt);
}

}  // namespace mapbake
