// The hashed name look-ups (the dictionary's index and the converter's
// device, control and modifier tables) against a scan with
// compare_names_nocase: every name, in every letter case, and the near
// misses, through every way of asking.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/input_map_tables.h"
#include "tokenfile/dictionary.h"

using namespace tokenfile;

namespace {

// Names to ask for: each entry as written, in lower case, with only its
// first letter upper case, cut by one unit, extended by one, with a
// non-ASCII letter that looks folded, and a few that are no name at all.
std::vector<std::u16string> probes_for(const std::vector<std::u16string>& names) {
  std::vector<std::u16string> probes = {u"", u"_", u"x", u"0", u"\u00c0", u"a b", std::u16string(40, u'a')};
  for (const std::u16string& name : names) {
    std::u16string lower = name;
    std::u16string first_upper = name;
    for (size_t i = 0; i < name.size(); ++i) {
      lower[i] = fold_name_unit(name[i]);
      const char16_t c = lower[i];
      first_upper[i] = (i == 0 && c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
    }
    probes.insert(probes.end(), {name, lower, first_upper, name.substr(0, name.size() - 1), name + u"S",
                                 name + u"_", u"\u00e0" + name.substr(1)});
  }
  return probes;
}

// The first entry whose name equals `name` by compare_names_nocase.
template <typename Entry>
const Entry* scan(const Entry* table, const std::u16string& name) {
  for (const Entry* e = table; e->name != nullptr; ++e)
    if (compare_names_nocase(e->name, name.c_str()) == 0) return e;
  return nullptr;
}

// The probe in a buffer of 64 units, with `filler` after its terminator.
std::vector<char16_t> in_buffer(const std::u16string& name, char16_t filler) {
  std::vector<char16_t> buffer(64, filler);
  std::copy(name.begin(), name.end(), buffer.begin());
  buffer[name.size()] = 0;
  return buffer;
}

template <typename Index, typename Entry>
void expect_index_matches_scan(const Index& index, const Entry* table) {
  std::vector<std::u16string> names;
  for (const Entry* e = table; e->name != nullptr; ++e) names.emplace_back(e->name);
  EXPECT_TRUE(index.complete());
  EXPECT_EQ(index.size(), names.size());
  for (const std::u16string& probe : probes_for(names)) {
    const Entry* expected = scan(table, probe);
    EXPECT_EQ(index.find(probe.c_str()), expected) << testing::PrintToString(probe);
    EXPECT_EQ(index.find(std::u16string_view(probe)), expected) << testing::PrintToString(probe);
    for (char16_t filler : {u'\0', u'A', u'\uffff'}) {
      EXPECT_EQ(index.find_in_buffer(in_buffer(probe, filler).data()), expected)
          << testing::PrintToString(probe);
    }
  }
}

TEST(NameIndex, ConverterTablesFindWhatAScanFinds) {
  expect_index_matches_scan(mapbake::device_index, mapbake::device_names.data());
  expect_index_matches_scan(mapbake::modifier_index, mapbake::modifier_names.data());
  expect_index_matches_scan(mapbake::joystick_index, mapbake::joystick_controls.data());
  expect_index_matches_scan(mapbake::keyboard_index, mapbake::keyboard_controls.data());
  expect_index_matches_scan(mapbake::mouse_index, mapbake::mouse_controls.data());
  for (size_t code = 0; code < mapbake::control_tables.size(); ++code) {
    EXPECT_EQ(mapbake::control_indexes[code] == nullptr, mapbake::control_tables[code] == nullptr) << code;
  }
}

TEST(NameIndex, ViewsEndAtAnEmbeddedNul) {
  const std::u16string with_nul(u"KEYB\0junk", 9);
  EXPECT_EQ(mapbake::device_index.find(std::u16string_view(with_nul)), &mapbake::device_names[2]);
  EXPECT_EQ(mapbake::device_index.find(std::u16string_view(u"KEYBjunk", 4)), &mapbake::device_names[2]);
}

TEST(NameIndex, DictionaryLookupsAgreeWhicheverWayAsked) {
  ASSERT_NE(acquire_token_dictionary(), 0);
  std::vector<std::u16string> names;
  for (uint32_t id = 1; id <= TOKEN_NAME_COUNT; ++id) names.emplace_back(token_name_from_id(id));
  for (const std::u16string& probe : probes_for(names)) {
    uint32_t expected = 0xFFFFFFFFu;
    for (uint32_t id = 1; id <= TOKEN_NAME_COUNT; ++id)
      if (compare_names_nocase(names[id - 1].c_str(), probe.c_str()) == 0) expected = id;
    EXPECT_EQ(token_id_from_name(probe.c_str()), expected) << testing::PrintToString(probe);
    EXPECT_EQ(token_id_from_name(std::u16string_view(probe)), expected) << testing::PrintToString(probe);
    // Names longer than the 16 units taken in at once go the long way.
    EXPECT_EQ(token_id_from_name_in_buffer(in_buffer(probe, u'x').data()), expected)
        << testing::PrintToString(probe);
  }
  release_token_dictionary();
  // Without the dictionary nothing is found.
  EXPECT_EQ(token_id_from_name_in_buffer(in_buffer(u"io_dev", 0).data()), 0xFFFFFFFFu);
}

}  // namespace
