// `mapbake --print [--decode] FILE`: a token file as a person reads it and
// as a diff shows it.
#pragma once

#include <cstdint>

#include "app/console.h"
#include "app/reporter.h"
#include "tokenfile/token_stream.h"

namespace mapbake {

// Prints `source` on standard output as UTF-8 in the layout of the text
// encoding, from the stream header line on, with LF line ends: a text file
// as it stands; with `decode`, a run-time map in its decoded source form;
// otherwise a binary source map by its names. A binary file that is no
// source map, and with `decode` one that is no run-time map, fails with a
// diagnostic. Non-zero on success.
[[nodiscard]] int32_t print_token_file(tokenfile::TokenStream& source, bool decode, Console& console,
                                       Reporter& reporter) noexcept;

}  // namespace mapbake
