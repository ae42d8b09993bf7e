// Input map conversion: the source form of a map (device, control and
// modifier names) into its run-time form (codes and masks).
#pragma once

#include <cstdint>
#include <string_view>

#include "app/console.h"
#include "app/reporter.h"
#include "tokenfile/token_stream.h"

namespace mapbake {

// Reads the token tree of an input map from `source` (open for reading, any
// encoding) and writes its run-time tree to `target` (open for writing, any
// encoding): each top-level io_dev with its device code and number, its
// leading sguid, and its io_map children with control code, binding string
// and modifier mask. Every other token is dropped.
//
// Returns non-zero when the whole source was converted. On failure it has
// printed "Error converting file (source file line %u)\n" on standard output
// (when `stdout_message`), with token_stream_line of the source where the
// first failure was noticed; what was written to the target stays there
// (the caller discards it). Diagnostics go to `reporter`: every error it can
// find, reading on after a failure wherever the source still makes sense
// (the failing io_map, or io_dev, skipped), up to the reporter's limit; and
// warnings about what converts but is probably not meant. A string longer
// than 255 characters converts cut to 255.
[[nodiscard]] int32_t convert_input_map(tokenfile::TokenStream& source, tokenfile::TokenStream& target,
                                        Console& console, Reporter& reporter, bool stdout_message) noexcept;

// The same with the default diagnostics, naming `source_name`.
[[nodiscard]] int32_t convert_input_map(tokenfile::TokenStream& source, tokenfile::TokenStream& target,
                                        Console& console, std::string_view source_name) noexcept;

}  // namespace mapbake
