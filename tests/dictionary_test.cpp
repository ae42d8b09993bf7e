#include <gtest/gtest.h>

#include <string>

#include "tokenfile/dictionary.h"
#include "tokenfile/token_error.h"

using namespace tokenfile;

namespace {

class DictionaryTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(acquire_token_dictionary(), 0); }
  void TearDown() override { release_token_dictionary(); }
};

TEST_F(DictionaryTest, NamesAndIdsRoundTripForEveryEntry) {
  for (uint32_t id = 1; id <= TOKEN_NAME_COUNT; ++id) {
    const char16_t* name = token_name_from_id(id);
    ASSERT_NE(name, nullptr) << id;
    EXPECT_EQ(token_id_from_name(name), id);
    // Upper-casing the name still finds it: folding covers A to Z.
    std::u16string upper(name);
    for (auto& c : upper)
      if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 0x20);
    EXPECT_EQ(token_id_from_name(upper.c_str()), id);
  }
}

TEST_F(DictionaryTest, LookupsByName) {
  struct Row {
    const char16_t* name;
    uint32_t id;
  } rows[] = {
      {u"IO_DEV", 99},       {u"Io_Dev", 99},      {u"io_dev", 99},           {u"sguid", 101},
      {u"comment", 1},       {u"texture_materials", 256}, {u"anim", 30},     {u"world_wind_layers", 230},
      {u"uv_op_user_uninformscale", 86}, {u"world_wind_layer_turbulencep", 235},
      {u"terrain_sample_usbuffer", 282},
      {u"io_dev ", 0xFFFFFFFF}, {u"io-dev", 0xFFFFFFFF}, {u"", 0xFFFFFFFF},   {u"anim_", 0xFFFFFFFF},
      {u"\u00C0nim", 0xFFFFFFFF}, {u"zzz", 0xFFFFFFFF},    {u"a", 0xFFFFFFFF},
  };
  for (const auto& r : rows) EXPECT_EQ(token_id_from_name(r.name), r.id);
  // A name that differs only in a non-ASCII letter's case does not match.
  EXPECT_EQ(token_id_from_name(u"io_d\u00C9v"), 0xFFFFFFFFu);
}

TEST_F(DictionaryTest, ViewLookupStopsAtEmbeddedNul) {
  const std::u16string with_nul(u"sguid\0xyz", 9);
  EXPECT_EQ(token_id_from_name(std::u16string_view(with_nul)), 101u);
  EXPECT_EQ(token_id_from_name(std::u16string_view(u"sguidx", 5)), 101u);
}

TEST_F(DictionaryTest, NamesFromIds) {
  EXPECT_EQ(std::u16string(token_name_from_id(1)), u"comment");
  EXPECT_EQ(std::u16string(token_name_from_id(282)), u"terrain_sample_usbuffer");
  EXPECT_EQ(token_name_from_id(0), nullptr);
  EXPECT_EQ(token_name_from_id(283), nullptr);
  EXPECT_EQ(token_name_from_id(0xFFFFFFFF), nullptr);
}

TEST(DictionaryCompare, FoldsOnlyAsciiLetters) {
  EXPECT_EQ(compare_names_nocase(u"ANIM", u"anim"), 0);
  EXPECT_LT(compare_names_nocase(u"anim", u"anim_node"), 0);
  EXPECT_LT(compare_names_nocase(u"anim_node", u"animation"), 0);
  EXPECT_GT(compare_names_nocase(u"animation", u"anim_node"), 0);
  EXPECT_LT(compare_names_nocase(u"a1", u"a_"), 0);  // digits before '_'
  EXPECT_NE(compare_names_nocase(u"\u00E9", u"\u00C9"), 0);
  EXPECT_EQ(compare_names_nocase(std::u16string_view(u"ab"), std::u16string_view(u"AB")), 0);
  EXPECT_GT(compare_names_nocase(std::u16string_view(u"abc"), std::u16string_view(u"ab")), 0);
}

TEST(DictionaryLifecycle, CountedAcquireAndRelease) {
  ASSERT_FALSE(token_dictionary_present());
  EXPECT_EQ(token_id_from_name(u"io_dev"), 0xFFFFFFFFu);  // absent: nothing found
  ASSERT_NE(acquire_token_dictionary(), 0);
  ASSERT_NE(acquire_token_dictionary(), 0);
  release_token_dictionary();
  EXPECT_TRUE(token_dictionary_present());
  EXPECT_EQ(token_id_from_name(u"io_dev"), 99u);
  release_token_dictionary();
  EXPECT_FALSE(token_dictionary_present());
  EXPECT_EQ(token_name_from_id(1), nullptr);
  release_token_dictionary();  // one too many: nothing happens
  EXPECT_FALSE(token_dictionary_present());
  ASSERT_NE(acquire_token_dictionary(), 0);
  EXPECT_TRUE(token_dictionary_present());
  release_token_dictionary();
}

}  // namespace
