// The command line: the fixed form `mapbake [-edit] [-text] <file>
// [out_file]` and the options that begin with "--".
#pragma once

#include <string>
#include <vector>

#include "app/console.h"
#include "app/reporter.h"

namespace mapbake {

enum class ColorWhen : uint8_t { Auto, Always, Never };

struct Options {
  bool text_output = false;
  bool check = false;    // --check: read every file, report, write nothing
  bool strict = false;   // --strict (with --check): warnings count as errors
  bool decode = false;   // --decode FILE [OUT]: a run-time map back into its source form
  bool print = false;    // --print [--decode] FILE: the file as text on standard output
  bool utf8 = false;     // --utf8 (with --decode): write the source form in UTF-8
  bool help = false;     // --help
  bool version = false;  // --version
  bool list = false;     // --list [WHAT]
  std::string list_what;
  char16_t compression = u'@';  // --compress=B|F
  ColorWhen color = ColorWhen::Auto;
  DiagnosticOptions diagnostics;
  std::vector<std::string> files;  // the plain arguments, empty ones included
};

// Reads the arguments after the program name. False when they call for
// the usage lines: no file name, an unknown single-dash option (anything
// but "-text" in any letter case), or a "--" option that is unknown, used
// where it does not apply, or given a bad value; each of the latter is
// named on standard error.
bool parse_options(int argc, const char* const* argv, Console& console, Options& options);

}  // namespace mapbake
