// Reading a run-time map back into its source form: device, control and
// modifier codes turned into their canonical names, so that baking the
// result gives the same run-time map again.
#pragma once

#include <cstdint>

#include "app/console.h"
#include "app/reporter.h"
#include "tokenfile/token_stream.h"

namespace mapbake {

// Reads the run-time map in `source` (any encoding) and writes its source
// form to `target` (a text-encoding stream): each io_dev with the first
// device name of its code and its number, its leading sguid, its io_map
// children with the first control name of their code, the action string and
// the shortest list of modifier names whose mask is theirs, in the order of
// the modifier table; an io_dev without children gets an empty comment ( ).
// A value that no source can produce, or that the text form cannot hold, is
// an error: "Error decoding file (source file line %u)\n" on standard output
// and a diagnostic; non-zero on success. With `utf8` (a target written in
// UTF-8) an unpaired surrogate in an action string is such a value too.
[[nodiscard]] int32_t decode_input_map(tokenfile::TokenStream& source, tokenfile::TokenStream& target,
                                       Console& console, Reporter& reporter, bool utf8 = false) noexcept;

// The modifier names of `mask` as decode_input_map writes them, separated
// by blanks; false for a mask no list of names gives.
bool modifier_names_of(uint32_t mask, std::u16string& names);

}  // namespace mapbake
