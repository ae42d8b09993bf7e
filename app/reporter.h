// The diagnostics of one source file as an author reads them, in the form of
// the compilers they know: a headline, the source line with a caret under
// the place, notes below it.
//
//   keys.txt:3:11: error: unknown control name "SPCAE" for device KEYB
//       3 |     io_map ( SPCAE jump )
//         |              ^~~~~
//   keys.txt:3:11: note: did you mean "SPACE"?
//
// Counts errors and warnings, stops at the error limit, and colours the
// parts when asked to.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "app/console.h"
#include "app/diagnostics.h"

namespace mapbake {

// Warnings: legal input that is almost surely not what its author meant.
enum class Warning : uint8_t {
  UnknownToken,
  MisplacedToken,
  DuplicateBinding,
  LateSguid,
  ConflictingModifiers,
  RedundantModifier,
  StringCut,
  ActionLikeModifier,
  DerivedName,
  RunTimeMap,
  HeaderLine,
  NumberForm,
  LoneSurrogate,
  Count
};

// The name of a warning as --no-warn takes it ("unknown-token").
std::string_view warning_name(Warning warning) noexcept;
// False when `name` names no warning.
bool find_warning(std::string_view name, Warning& warning) noexcept;

struct DiagnosticOptions {
  bool color = false;
  uint32_t error_limit = 20;  // errors reported before stopping; 0 for no limit
  uint32_t silenced = 0;      // a bit per Warning
  bool silenced_warning(Warning w) const noexcept { return (silenced >> static_cast<int>(w)) & 1; }
};

// A source line to show under a headline: its text, and the place in it
// to mark, in characters from 1.
struct Excerpt {
  std::u16string_view text;
  uint32_t line = 0;
  uint32_t column = 0;
  uint32_t length = 1;
};

// "    3 |     io_map ( SPCAE jump )" and the caret line under it, each with
// its line end: tabs shown as four spaces, characters that do not print as
// <U+XXXX>, the caret under the marked characters.
std::string excerpt_lines(const Excerpt& excerpt, bool color);

class Reporter {
 public:
  Reporter(Console& console, std::string_view source, const DiagnosticOptions& options)
      : console_(console), source_(source), options_(options) {}

  // Each prints one diagnostic (and the excerpt, when it has a line).
  // Never throws.
  void error(Location where, Cause cause, std::initializer_list<std::string_view> args = {},
             const Excerpt* excerpt = nullptr) noexcept;
  void warning(Warning warning, Location where, Cause cause,
               std::initializer_list<std::string_view> args = {}, const Excerpt* excerpt = nullptr) noexcept;
  void note(Location where, std::string_view text, const Excerpt* excerpt = nullptr) noexcept;

  uint32_t errors() const noexcept { return errors_; }
  uint32_t warnings() const noexcept { return warnings_; }
  // True once as many errors as the limit allows have been reported.
  bool at_limit() const noexcept { return options_.error_limit != 0 && errors_ >= options_.error_limit; }
  // The note that the limit stops the reading.
  void stop() noexcept;
  const DiagnosticOptions& options() const noexcept { return options_; }

 private:
  void print(Severity severity, Location where, std::string_view text, std::string_view tag,
             const Excerpt* excerpt) noexcept;

  Console& console_;
  std::string_view source_;
  DiagnosticOptions options_;
  uint32_t errors_ = 0;
  uint32_t warnings_ = 0;
};

}  // namespace mapbake
