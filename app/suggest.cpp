#include "app/suggest.h"

#include <algorithm>
#include <array>
#include <numeric>

#include "app/diagnostics.h"

namespace mapbake {

namespace {

char16_t folded(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 0x20) : c; }

bool same_name(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char16_t x, char16_t y) { return folded(x) == folded(y); });
}

struct Alias {
  std::u16string_view typed, meant;
};

// Names authors type from other tools, and the names this format has.
constexpr std::array<Alias, 33> kAliases{{
    {u"ESC", u"ESCAPE"},        {u"LSHIFT", u"LEFT_SHIFT"}, {u"RSHIFT", u"RIGHT_SHIFT"},
    {u"LCTRL", u"LEFT_CTRL"},   {u"RCTRL", u"RIGHT_CTRL"},  {u"LALT", u"LEFT_ALT"},
    {u"RALT", u"RIGHT_ALT"},    {u"LWIN", u"LEFT_WIN"},     {u"RWIN", u"RIGHT_WIN"},
    {u"KEYBOARD", u"KEYB"},     {u"NUMPAD0", u"PAD_0"},     {u"NUMPAD1", u"PAD_1"},
    {u"NUMPAD2", u"PAD_2"},     {u"NUMPAD3", u"PAD_3"},     {u"NUMPAD4", u"PAD_4"},
    {u"NUMPAD5", u"PAD_5"},     {u"NUMPAD6", u"PAD_6"},     {u"NUMPAD7", u"PAD_7"},
    {u"NUMPAD8", u"PAD_8"},     {u"NUMPAD9", u"PAD_9"},     {u"SHIFT", u"SHIFT_DOWN"},
    {u"CTRL", u"CTRL_DOWN"},    {u"ALT", u"ALT_DOWN"},      {u"WIN", u"WIN_DOWN"},
    {u"LMB", u"LBTN"},          {u"RMB", u"RBTN"},          {u"MMB", u"MBTN"},
    {u"CONTROL", u"CTRL_DOWN"}, {u"SPACEBAR", u"SPACE"},    {u"DEL", u"DELETE"},
    {u"INS", u"INSERT"},        {u"PGUP", u"PAGE_UP"},      {u"PGDN", u"PAGE_DOWN"},
}};

size_t name_distance(std::u16string_view a, std::u16string_view b) {
  // Three rows of the optimal string alignment table: insertions, deletions,
  // substitutions and transpositions of neighbours, each costing one.
  std::vector<size_t> before(b.size() + 1), previous(b.size() + 1), current(b.size() + 1);
  std::iota(previous.begin(), previous.end(), size_t{0});
  for (size_t i = 1; i <= a.size(); ++i) {
    current[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t cost = folded(a[i - 1]) == folded(b[j - 1]) ? 0 : 1;
      current[j] = std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + cost});
      if (i > 1 && j > 1 && folded(a[i - 1]) == folded(b[j - 2]) && folded(a[i - 2]) == folded(b[j - 1]))
        current[j] = std::min(current[j], before[j - 2] + 1);
    }
    std::swap(before, previous);
    std::swap(previous, current);
  }
  return previous[b.size()];
}

}  // namespace

std::vector<std::u16string_view> suggestions(std::u16string_view unknown,
                                             const std::vector<std::u16string_view>& candidates) {
  std::vector<std::u16string_view> out;
  // Long names would make the table large; such a name is no typing slip.
  if (unknown.size() > 64) return out;
  const size_t limit = std::max<size_t>(1, unknown.size() / 3);
  // An alias; else the closest slip in typing one ("KEYBORD" for KEYBOARD,
  // meaning KEYB).
  auto add_meant = [&](const Alias& alias) {
    for (std::u16string_view c : candidates)
      if (same_name(c, alias.meant) && std::find(out.begin(), out.end(), c) == out.end()) out.push_back(c);
  };
  for (const Alias& alias : kAliases)
    if (same_name(alias.typed, unknown)) add_meant(alias);
  if (out.empty()) {
    const Alias* closest = nullptr;
    size_t best = limit + 1;
    for (const Alias& alias : kAliases) {
      const size_t d = name_distance(alias.typed, unknown);
      if (d < best) best = d, closest = &alias;
    }
    if (closest != nullptr) add_meant(*closest);
  }
  std::vector<std::pair<size_t, size_t>> close;  // distance, index
  for (size_t i = 0; i < candidates.size(); ++i) {
    const std::u16string_view c = candidates[i];
    if (c.size() > unknown.size() + limit || c.size() + limit < unknown.size()) continue;
    const size_t d = name_distance(unknown, c);
    if (d <= limit && !same_name(c, unknown)) close.emplace_back(d, i);
  }
  std::stable_sort(close.begin(), close.end());
  for (const auto& [d, i] : close) {
    if (out.size() == 3) break;
    if (std::find(out.begin(), out.end(), candidates[i]) == out.end()) out.push_back(candidates[i]);
  }
  return out;
}

std::string did_you_mean(const std::vector<std::u16string_view>& names) {
  if (names.empty()) return {};
  std::string text = "did you mean ";
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += i + 1 == names.size() ? " or " : ", ";
    (text += '"') += printable(names[i]);
    text += '"';
  }
  return text + "?";
}

}  // namespace mapbake
