// The command-line driver: argument scan, the choice and checking of file
// names, and the order of opening, converting and closing.
#pragma once

#include <string>
#include <string_view>

#include "app/console.h"

namespace mapbake {

// The whole run of the program with the process's standard output and
// error; returns the exit status (0 after a successful conversion, 1 on
// every other path).
int run(int argc, char** argv) noexcept;

// The same, printing through `console`. argv[0] is the program's name and
// is ignored; argv[1] to argv[argc - 1] must be zero-terminated.
int run(int argc, const char* const* argv, Console& console) noexcept;

// The target name for a source name given without one: the source name cut
// to 255 characters and then at its first '.' (wherever it stands, in a
// directory part or a leading "." or ".." too), with ".iom" appended when
// the shortened name has at most 249 characters.
std::string derive_target_name(std::string_view source_name);

// True for "-text" in any letter case of A to Z.
bool is_text_option(std::string_view argument) noexcept;

}  // namespace mapbake
