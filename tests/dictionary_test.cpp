// The token dictionary: its counted set-up, and every way of looking a name
// up checked against a plain scan with compare_names_nocase.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "support/cases.h"
#include "tokenfile/dictionary.h"

using namespace tokenfile;

namespace {

std::u16string upper(std::u16string s, size_t from, size_t to = 99) {
  for (size_t i = from; i < s.size() && i <= to; ++i) s[i] -= (s[i] >= u'a' && s[i] <= u'z') ? 0x20 : 0;
  return s;
}

// Terminated, as a view, and in a buffer with junk after the terminator.
void expect_id(const std::u16string& name, uint32_t id) {
  const std::u16string buffer = name + u'\0' + std::u16string(7, u'A') + std::u16string(32, u'\uffff');
  EXPECT_EQ(std::tuple(token_id_from_name(name.c_str()), token_id_from_name(std::u16string_view(name))),
            std::tuple(id, id)) << testing::PrintToString(name);
  EXPECT_EQ(token_id_from_name_in_buffer(buffer.c_str()), id) << testing::PrintToString(name);
}

TEST(Dictionary, CountedAcquireAndRelease) {
  ASSERT_FALSE(token_dictionary_present());
  ASSERT_TRUE(acquire_token_dictionary() && acquire_token_dictionary());
  release_token_dictionary();
  expect_id(u"IO_DEV", 99);
  release_token_dictionary();
  expect_id(u"io_dev", 0xFFFFFFFFu);
  EXPECT_EQ(token_name_from_id(1), nullptr);
}

TEST(Dictionary, EveryNameAndItsNearMissesAgreeWithAScan) {
  ASSERT_NE(acquire_token_dictionary(), 0);
  std::vector<std::u16string> names, probes = {u"", u"_", u"\u00c0", std::u16string(40, u'a')};
  for (uint32_t id = 1; id <= TOKEN_NAME_COUNT; ++id) names.emplace_back(token_name_from_id(id));
  for (const std::u16string& n : names)
    probes.insert(probes.end(), {n, upper(n, 0), upper(n, 0, 0), upper(n, 15), n.substr(0, n.size() - 1),
                                 n + u"S", std::u16string(1, u'\u00e0').append(n, 1), n + u'\u0100'});
  for (const std::u16string& p : probes) {
    const auto it = std::find_if(names.begin(), names.end(),
                                 [&](auto& n) { return compare_names_nocase(n.c_str(), p.c_str()) == 0; });
    expect_id(p, it == names.end() ? 0xFFFFFFFFu : static_cast<uint32_t>(it - names.begin() + 1));
  }
  for (uint32_t id : {0u, 283u, 0xFFFFFFFFu}) EXPECT_EQ(token_name_from_id(id), nullptr) << id;
  // A view ends at its size or at an embedded U+0000, whichever comes first.
  EXPECT_EQ(token_id_from_name(std::u16string_view(u"sguidx", 5)), 101u);
  EXPECT_EQ(token_id_from_name(std::u16string(u"sguid\0", 6) + std::u16string(40, u'x')), 101u);
  release_token_dictionary();
}

TEST(Dictionary, CompareFoldsOnlyAsciiLetters) {
  for (const testsupport::Case& c : testsupport::cases("dictionary.cases", "Compare")) {
    const std::u16string a = c.wide(0), b = c.wide(1);
    const int sign = std::stoi(c.narrow(2));
    EXPECT_EQ(std::clamp(compare_names_nocase(a.c_str(), b.c_str()), -1, 1), sign) << c.where;
    EXPECT_EQ(std::clamp(compare_names_nocase(std::u16string_view(a), std::u16string_view(b)), -1, 1), sign) << c.where;
  }
  // Views end at their size even where more letters follow.
  EXPECT_EQ(compare_names_nocase(std::u16string_view(u"abx", 2), std::u16string_view(u"ABC", 2)), 0);
}

}  // namespace
