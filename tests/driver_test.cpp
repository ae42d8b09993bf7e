// The driver's pure parts and its platform layer, in-process.
#include "app/driver.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/console.h"
#include "app/platform.h"

using namespace mapbake;

namespace {

class CaptureConsole final : public Console {
 public:
  void print(Channel channel, std::string_view text) noexcept override {
    (channel == Channel::Out ? out : err).append(text);
  }
  std::string out;
  std::string err;
};

constexpr const char* usage =
    "Usage: mapbake [-edit] [-text] <file> [out_file]\n"
    "       out_file defaults to file with .iom extension\n"
    "       -text to output a text format RUN-TIME iom file\n";

TEST(DriverUsage, RefusedCommandLinesPrintUsage) {
  const std::vector<std::vector<const char*>> lines = {
      {},
      {"-text"},
      {"-TEXT", "-text"},
      {"-edit", "keys.txt"},
      {"keys.txt", "out.iom", "-edit"},
      {"-", "keys.txt"},
      {"keys.txt", "-texts"},
      {"keys.txt", "out.iom", "third"},
      {"keys.txt", "", "out.iom", "third"},
  };
  for (const auto& args : lines) {
    std::vector<const char*> argv = {"mapbake"};
    argv.insert(argv.end(), args.begin(), args.end());
    CaptureConsole console;
    EXPECT_EQ(run(static_cast<int>(argv.size()), argv.data(), console), 1) << argv.size();
    EXPECT_EQ(console.out, usage);
    EXPECT_EQ(console.err, "");
  }
}

TEST(DriverOptions, TextOptionIgnoresOnlyTheCaseOfAToZ) {
  for (const char* yes : {"-text", "-TEXT", "-Text", "-tExT"}) EXPECT_TRUE(is_text_option(yes)) << yes;
  for (const char* no : {"-tex", "-texts", "text", "--text", "-t", "-edit", "-t\xC3\x89xt", ""}) {
    EXPECT_FALSE(is_text_option(no)) << no;
  }
}

TEST(DriverTargetName, DerivedFromTheSource) {
  const std::string a249(249, 'a');
  const struct {
    std::string source, target;
  } rows[] = {
      {"maps/keys.txt", "maps/keys.iom"},
      {"keys", "keys.iom"},
      {"old.maps/keys.txt", "old.iom"},
      {"../keys.txt", ".iom"},
      {"./keys", ".iom"},
      {"keys.iom", "keys.iom"},
      {"keys.tar.gz", "keys.iom"},
      {"", ".iom"},
      {a249, a249 + ".iom"},
      {a249 + ".txt", a249 + ".iom"},
      {a249 + "a", a249 + "a"},
      {std::string(300, 'b'), std::string(255, 'b')},
      {std::string(255, 'c') + ".txt", std::string(255, 'c')},
  };
  for (const auto& row : rows) EXPECT_EQ(derive_target_name(row.source), row.target) << row.source;
}

TEST(PlatformPaths, ResolvedLexically) {
  const struct {
    const char* name;
    const char* full;
  } rows[] = {
      {"keys.txt", "/home/u/keys.txt"},
      {"./a//b/./c", "/home/u/a/b/c"},
      {"../x", "/home/x"},
      {"../../../../x", "/x"},
      {"/abs/../y", "/y"},
      {"", "/home/u"},
      {"dir/", "/home/u/dir"},
      {"/", "/"},
      {"..", "/home"},
      {"//a///b", "/a/b"},
      {"a/..", "/home/u"},
      {"...", "/home/u/..."},
  };
  for (const auto& row : rows) {
    std::string full;
    ASSERT_TRUE(resolve_full_path_in("/home/u", row.name, full)) << row.name;
    EXPECT_EQ(full, row.full) << row.name;
  }
}

TEST(PlatformPaths, ResultsOver255CharactersFail) {
  std::string full;
  const std::string base = "/d";  // "/d/" and 252 characters make 255
  EXPECT_TRUE(resolve_full_path_in(base, std::string(252, 'n'), full));
  EXPECT_EQ(full.size(), 255u);
  EXPECT_FALSE(resolve_full_path_in(base, std::string(253, 'n'), full));
  // Only the result counts: a long name that collapses is fine.
  EXPECT_TRUE(resolve_full_path_in(base, std::string(300, 'n') + "/../k", full));
  EXPECT_EQ(full, "/d/k");
}

TEST(PlatformNames, WidenedFromUtf8) {
  const struct {
    std::string name;
    std::u16string wide;
  } rows[] = {
      {"keys.txt", u"keys.txt"},
      {"cl\xC3\xA9.txt", u"cl\u00e9.txt"},
      {"\xE2\x82\xAC", u"\u20ac"},
      {"\xF0\x9F\x8E\xAE", u"\U0001F3AE"},
      {"", u""},
      {"bad\xE9", u""},           // Latin-1, not UTF-8
      {"\xC0\xAF", u""},          // overlong
      {"\xED\xA0\x80", u""},      // a surrogate
      {"\xF4\x90\x80\x80", u""},  // above U+10FFFF
      {"\xE2\x82", u""},          // cut short
      {std::string(2047, 'a'), std::u16string(2047, u'a')},
      {std::string(2048, 'a'), u""},  // no room for the terminator
      {std::string(2045, 'a') + "\xF0\x9F\x8E\xAE", std::u16string(2045, u'a') + u"\U0001F3AE"},
      {std::string(2046, 'a') + "\xF0\x9F\x8E\xAE", u""},
  };
  for (const auto& row : rows)
    EXPECT_EQ(std::u16string(widen_ansi_name(row.name.c_str())), row.wide) << row.name;
}

TEST(PlatformNames, ARingOfFourBuffers) {
  const char16_t* first = widen_ansi_name("one");
  const char16_t* second = widen_ansi_name("two");
  widen_ansi_name("three");
  widen_ansi_name("four");
  EXPECT_NE(first, second);
  EXPECT_EQ(std::u16string(first), u"one");  // valid until four further widenings
  EXPECT_EQ(widen_ansi_name("five"), first);
  EXPECT_EQ(std::u16string(first), u"five");
  EXPECT_EQ(std::u16string(second), u"two");
}

}  // namespace
