// "Did you mean": the names an author probably meant instead of an unknown
// one.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace mapbake {

// At most three of `candidates`: first the one a common alias names (ESC
// for ESCAPE, LSHIFT for LEFT_SHIFT, NUMPAD0 for PAD_0, ...), then those
// within an edit distance of max(1, n / 3) of `unknown` (n its length;
// optimal string alignment, ASCII letter case ignored), the closest first
// and, at equal distance, in the candidates' order. None when none is close.
std::vector<std::u16string_view> suggestions(std::u16string_view unknown,
                                             const std::vector<std::u16string_view>& candidates);

// "did you mean "A"?", "did you mean "A" or "B"?", "did you mean "A", "B" or
// "C"?"; empty for no names.
std::string did_you_mean(const std::vector<std::u16string_view>& names);

}  // namespace mapbake
