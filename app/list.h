// `mapbake --list [WHAT]`: the names the source form knows, tab-separated
// for grep and cut.
#pragma once

#include <string_view>

#include "app/console.h"

namespace mapbake {

// Prints the list WHAT names ("devices", "modifiers", "tokens" or a device
// name, any letter case), or what WHAT may be when it is empty. False, with
// a line on standard error, for an unknown WHAT.
bool print_list(std::string_view what, Console& console);

}  // namespace mapbake
