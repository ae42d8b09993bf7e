// The command-line driver in-process and through the executable, its
// platform layer and its diagnostics.
#include "app/driver.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>


#include "app/diagnostics.h"
#include "app/platform.h"
#include "support/source_forms.h"
#include "support/temp_dir.h"
#include "tokenfile/dictionary.h"

namespace fs = std::filesystem;
using namespace mapbake;
using testsupport::Bytes;

namespace {

const std::string usage =
    "Usage: mapbake [-edit] [-text] <file> [out_file]\n"
    "       out_file defaults to file with .iom extension\n"
    "       -text to output a text format RUN-TIME iom file\n";
const std::string long_name(300, 'n'), up = [] {
  std::string s;
  for (int i = 0; i < 120; ++i) s += "d/../";
  return s + "keys.txt";
}();
const std::string too_long = ": error: the full path is longer than 255 characters, or the current directory "
                             "cannot be found\n";
const std::string same = "Output file must be named differently to the source file\n";
const std::string keys_dump = "dev(1 0 map(1001e jump 808))";

struct Row {
  std::vector<std::string> args;
  int status;
  std::string out, err;
  std::string made = {};  // the target a successful run writes
  bool text = false;
};

// Runs in a directory "work" of a temporary directory, with sources and
// obstacles of every kind beside it.
class Driver : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(tokenfile::acquire_token_dictionary(), 0);
    fs::create_directories(dir_.path() / "work/maps");
    for (const char* d : {"old.maps", "sub", "folder"}) fs::create_directory(dir_.path() / "work" / d);
    ASSERT_EQ(::chdir((dir_.path() / "work").c_str()), 0);
    const Bytes keys = testsupport::text_source(u"io_dev ( KEYB 0 io_map ( A jump SHIFT_DOWN ) )");
    for (const char* name : {"keys.txt", "keys", "maps/keys.txt", "old.maps/keys.txt", "../keys.txt", "clé.txt",
                             "exe.txt"})
      testsupport::write_file(name, keys);
    testsupport::write_file("notes.txt", testsupport::text_source(u"comment ( \"no devices\" )"));
    testsupport::write_file("bad.txt", testsupport::text_source(u"io_dev ( JOY 0\n io_map ( BTN32 b ) )"));
    testsupport::write_file("exist.iom", {'o', 'l', 'd'});
    testsupport::write_file("empty.iom", {});
    testsupport::write_file("hello.txt", {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '!', '!', '!', '!', '!', '!'});
    testsupport::write_file("short.iom", {'T', 'O', 'R', 'V', 'I', 'A', '@', 'F', 0x40, 0, 0, 0, '@', '@', '@', '@', 1, 2});
    Bytes odd = testsupport::text_source(u"");
    odd[16] = 'Z';
    testsupport::write_file("odd.iom", odd);
    odd.resize(30);
    testsupport::write_file("cut.iom", odd);
    ::chmod("exe.txt", 0755);
    fs::create_symlink("keys.txt", "link.iom");
    fs::create_symlink("loop", "loop");
    fs::create_hard_link("keys.txt", "hard.iom");
    ASSERT_EQ(::mkfifo("fifo", 0644), 0);
    before_ = snapshot();
  }
  void TearDown() override {
    ASSERT_EQ(::chdir("/"), 0);
    tokenfile::release_token_dictionary();
  }
  // Every entry under work, with a hash of each regular file's bytes.
  std::string snapshot() const {
    std::string files;
    for (const auto& e : fs::recursive_directory_iterator(".")) {
      const Bytes b = !e.is_symlink() && e.is_regular_file() ? testsupport::read_file(e.path()) : Bytes{};
      files += e.path().string() + " " + std::to_string(std::hash<std::string>{}({b.begin(), b.end()})) + "\n";
    }
    return files;
  }
  // A successful run wrote `made` and nothing else; a failed one nothing.
  void check(const Row& row, int status, const std::string& out, const std::string& err) {
    SCOPED_TRACE(::testing::PrintToString(row.args));
    EXPECT_EQ(status, row.status);
    EXPECT_EQ(out, row.out);
    EXPECT_EQ(err, row.err);
    if (!row.made.empty()) {
      const Bytes made = testsupport::read_file(row.made);
      EXPECT_EQ(testsupport::dump(made), row.made == "notes.iom" ? "" : keys_dump);
      EXPECT_EQ(made.empty() ? 0 : made[0], row.text ? 0xFF : 'T');
      fs::remove(row.made);
    }
    EXPECT_EQ(snapshot(), before_);
  }

  testsupport::TempDir dir_;
  std::string before_;
};

TEST_F(Driver, MessagesStatusesAndFiles) {
  const std::string unknown = "; expected '@', 'B' or 'F'\n";
  const Row rows[] = {
      {{}, 1, usage, ""},
      {{"-text"}, 1, usage, ""},
      {{"-TEXT", "-text"}, 1, usage, ""},
      {{"-edit", "keys.txt"}, 1, usage, ""},
      {{"keys.txt", "out.iom", "-edit"}, 1, usage, ""},
      {{"-", "keys.txt"}, 1, usage, ""},
      {{"keys.txt", "-texts"}, 1, usage, ""},
      {{"--text", "keys.txt"}, 1, usage, ""},
      {{"keys.txt", "-tex"}, 1, usage, ""},
      {{"keys.txt", "out.iom", "third"}, 1, usage, ""},
      {{"keys.txt", "", "out.iom", "third", "-text"}, 1, usage, ""},
      {{long_name}, 1, "Invalid file path\n", long_name + too_long},
      {{"keys.txt", long_name}, 1, "Invalid file path\n", std::string(255, 'n') + too_long},
      {{"keys.iom"}, 1, same, "keys.iom: error: the output file resolves to the source file's path\n"},
      {{"keys.txt", "./keys.txt"}, 1, same, "./keys.txt: error: the output file resolves to the source file's path\n"},
      {{"keys.txt", "sub/../keys.txt"}, 1, same,
       "sub/../keys.txt: error: the output file resolves to the source file's path\n"},
      {{"keys.txt", "link.iom"}, 1, same, "link.iom: error: the output file is the source file under another name (a link)\n"},
      {{"keys.txt", "hard.iom"}, 1, same, "hard.iom: error: the output file is the source file under another name (a link)\n"},
      {{"link.iom", "keys.txt"}, 1, same, "keys.txt: error: the output file is the source file under another name (a link)\n"},
      {{"missing.txt", "out.iom"}, 1, "Error opening missing.txt\n", "missing.txt: error: no such file\n"},
      {{"folder", "out.iom"}, 1, "Error opening folder\n", "folder: error: is a directory, not a file\n"},
      {{"fifo", "out.iom"}, 1, "Error opening fifo\n", "fifo: error: is not a regular file\n"},
      {{"loop", "out.iom"}, 1, "Error opening loop\n", "loop: error: cannot be read: Too many levels of symbolic links\n"},
      {{"empty.iom", "out.iom"}, 1, "Error opening empty.iom\n",
       "empty.iom: error: the file is empty; a token file starts with a file header or a stream header line\n"},
      {{"hello.txt", "out.iom"}, 1, "Error opening hello.txt\n",
       "hello.txt: error: not a token file: the body does not start with a stream header line \"VUXA\" of format "
       "version 0 and encoding 't' or 'b'\n"},
      {{"short.iom", "out.iom"}, 1, "Error opening short.iom\n",
       "short.iom: error: the compressed body is damaged and cannot be expanded\n"},
      {{"odd.iom", "out.iom"}, 1, "Error opening odd.iom\n",
       "odd.iom: error: the file header names the unknown compression 'Z'" + unknown},
      {{"cut.iom", "out.iom"}, 1, "Error opening cut.iom\n", "cut.iom: error: the file cannot be loaded as a token file\n"},
      {{"clé.txt", "out.iom"}, 1, "Error opening clé.txt\n",
       "clé.txt: error: file names with a character of code 127 or above cannot be opened\n"},
      {{"bad\xE9.txt", "out.iom"}, 1, "Error opening bad\xE9.txt\n",
       "bad\xE9.txt: error: the file name is not valid UTF-8, or too long\n"},
      {{up, "out.iom"}, 1, "Error opening " + up + "\n", up + ": error: the file name is longer than 511 characters\n"},
      {{"keys.txt", "nodir/out.iom"}, 1, "Error writing nodir/out.iom\n",
       "nodir/out.iom: error: the directory \"nodir\" does not exist\n"},
      {{"keys.txt", "sortie-é.iom"}, 1, "Error writing sortie-é.iom\n",
       "sortie-é.iom: error: file names with a character of code 127 or above cannot be opened\n"},
      {{"keys.txt", "bad\xE9.iom"}, 1, "Error writing bad\xE9.iom\n",
       "bad\xE9.iom: error: the file name is not valid UTF-8, or too long\n"},
      {{"keys.txt", "folder"}, 1, "Error writing folder\n", "folder: error: is a directory, not a file\n"},
      {{"keys.txt", "keys.txt/o.iom"}, 1, "Error writing keys.txt/o.iom\n",
       "keys.txt/o.iom: error: cannot create a file in \"keys.txt\": Permission denied\n"},
      {{"keys.txt", "exe.txt/o.iom"}, 1, "Error writing exe.txt/o.iom\n",
       "exe.txt/o.iom: error: the output file cannot be created\n"},
      {{"bad.txt", "exist.iom"}, 1, "Error converting file (source file line 3)\n",
       "bad.txt:3: error: unknown control name \"BTN32\" for device JOY\n"},
      {{"-text", "bad.txt"}, 1, "Error converting file (source file line 3)\n",
       "bad.txt:3: error: unknown control name \"BTN32\" for device JOY\n"},
      {{"keys.txt", "out.iom"}, 0, "", "", "out.iom"},
      {{"-text", "keys.txt", "a.iom"}, 0, "", "", "a.iom", true},
      {{"keys.txt", "b.iom", "-text"}, 0, "", "", "b.iom", true},
      {{"keys.txt", "-TEXT", "c.iom"}, 0, "", "", "c.iom", true},
      {{"-tExT", "keys.txt", "", "d.iom"}, 0, "", "", "d.iom", true},
      {{"keys.txt", "KEYS.TXT"}, 0, "", "", "KEYS.TXT"},
      {{"maps/keys.txt"}, 0, "", "", "maps/keys.iom"},
      {{"keys"}, 0, "", "", "keys.iom"},
      {{"old.maps/keys.txt"}, 0, "", "", "old.iom"},
      {{"../keys.txt"}, 0, "", "", ".iom"},
      {{"./keys", "-text"}, 0, "", "", ".iom", true},
      {{"notes.txt"}, 0, "", "", "notes.iom"},
  };
  for (const Row& row : rows) {
    testsupport::Capture console;
    const int status = testsupport::run_mapbake(row.args, console);
    check(row, status, console.out, console.err);
  }
  EXPECT_EQ(testsupport::read_file("notes.iom").size(), 0u);
}

// The executable: its exit status and its two channels. Under a file size
// limit of 512 bytes the target cannot be written.
TEST_F(Driver, TheExecutable) {
  const std::string keyboard = std::string(MAPBAKE_EXAMPLES_DIR) + "/keyboard.txt";
  const std::pair<std::string, Row> rows[] = {
      {"", {{}, 1, usage, ""}},
      {"", {{"bad.txt"}, 1, "Error converting file (source file line 3)\n",
            "bad.txt:3: error: unknown control name \"BTN32\" for device JOY\n"}},
      {"", {{"keys.txt", "-text"}, 0, "", "", "keys.iom", true}},
      {"ulimit -f 1; ", {{keyboard, "exist.iom"}, 1, "Error writing exist.iom\n",
                         "exist.iom: error: the output file could not be written: File too large; an existing "
                         "file is left as it was\n"}},
  };
  for (const auto& [limit, row] : rows) {
    std::string command = "trap '' XFSZ; " + limit + MAPBAKE_EXE;
    for (const auto& a : row.args) command += " '" + a + "'";
    const int raw = std::system((command + " >../out 2>../err").c_str());
    const Bytes out = testsupport::read_file("../out"), err = testsupport::read_file("../err");
    check(row, WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, {out.begin(), out.end()}, {err.begin(), err.end()});
  }
}

TEST(DriverNames, TargetNamesAndTheTextOption) {
  const std::string a249(249, 'a');
  const std::pair<std::string, std::string> rows[] = {
      {"maps/keys.txt", "maps/keys.iom"}, {"keys", "keys.iom"}, {"old.maps/keys.txt", "old.iom"},
      {"../keys.txt", ".iom"}, {"./keys", ".iom"}, {"keys.tar.gz", "keys.iom"}, {"", ".iom"},
      {a249, a249 + ".iom"}, {a249 + ".txt", a249 + ".iom"}, {a249 + "a", a249 + "a"},
      {std::string(300, 'b'), std::string(255, 'b')}, {std::string(255, 'c') + ".txt", std::string(255, 'c')},
  };
  for (const auto& [source, target] : rows) EXPECT_EQ(derive_target_name(source), target) << source;
  for (const char* yes : {"-text", "-TEXT", "-Text", "-tExT"}) EXPECT_TRUE(is_text_option(yes)) << yes;
  for (const char* no : {"-tex", "-texts", "text", "--text", "-t", "-edit", "-t\xC3\x89xt", "-tzxt", "-te[t", ""})
    EXPECT_FALSE(is_text_option(no)) << no;
}

TEST(Platform, PathsResolvedLexically) {
  const std::pair<const char*, const char*> rows[] = {
      {"keys.txt", "/home/u/keys.txt"}, {"./a//b/./c", "/home/u/a/b/c"}, {"../x", "/home/x"},
      {"../../../../x", "/x"}, {"/abs/../y", "/y"}, {"", "/home/u"}, {"dir/", "/home/u/dir"}, {"/", "/"},
      {"..", "/home"}, {"//a///b", "/a/b"}, {"a/..", "/home/u"}, {"...", "/home/u/..."}, {"..a/.b", "/home/u/..a/.b"},
  };
  std::string full;
  for (const auto& [name, expected] : rows) {
    ASSERT_TRUE(resolve_full_path_in("/home/u", name, full)) << name;
    EXPECT_EQ(full, expected) << name;
  }
  EXPECT_TRUE(resolve_full_path_in("/d", std::string(252, 'n'), full));  // 255 characters
  EXPECT_EQ(full.size(), 255u);
  EXPECT_FALSE(resolve_full_path_in("/d", std::string(253, 'n'), full));
  EXPECT_TRUE(resolve_full_path_in("/d", std::string(300, 'n') + "/../k", full));
  EXPECT_EQ(full, "/d/k");
}

TEST(Platform, NamesWidenedFromUtf8) {
  const std::pair<std::string, std::u16string> rows[] = {
      {"keys.txt", u"keys.txt"}, {"cl\xC3\xA9", u"cl\u00e9"}, {"\xDF\xBF", u"\u07ff"}, {"\xE0\xA0\x80", u"\u0800"},
      {"\xE2\x82\xAC", u"\u20ac"}, {"\xEF\xBF\xBF", u"\uffff"}, {"\xF0\x9F\x8E\xAE", u"\U0001F3AE"},
      {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"}, {"", u""}, {"bad\xE9", u""}, {"\xC0\xAF", u""}, {"\xC1\xBF", u""},
      {"\xE0\x9F\xBF", u""}, {"\xF0\x8F\xBF\xBF", u""}, {"\xED\xA0\x80", u""}, {"\xF4\x90\x80\x80", u""},
      {"\xF5\x80\x80\x80", u""}, {"\xE2\x82", u""}, {"\xE2\x82z", u""}, {"\x80", u""}, {"a\xC3\xFF", u""},
      {std::string(2047, 'a'), std::u16string(2047, u'a')}, {std::string(2048, 'a'), u""},
      {std::string(2045, 'a') + "\xF0\x9F\x8E\xAE", std::u16string(2045, u'a') + u"\U0001F3AE"},
      {std::string(2046, 'a') + "\xF0\x9F\x8E\xAE", u""},
  };
  for (const auto& [name, wide] : rows) EXPECT_EQ(std::u16string(widen_ansi_name(name.c_str())), wide) << name;
  const char16_t* ring[5];
  for (int i = 0; i < 5; ++i) ring[i] = widen_ansi_name(std::to_string(i).c_str());
  EXPECT_EQ(std::u16string(ring[1]) + ring[2] + ring[3], u"123");  // valid until four further widenings
  EXPECT_EQ(ring[4], ring[0]);
  EXPECT_NE(ring[1], ring[2]);
  EXPECT_NE(ring[2], ring[3]);
  EXPECT_NE(ring[3], ring[4]);
}

TEST(Diagnostics, TextsAndLines) {
  EXPECT_EQ(cause_text(Cause::DirectoryNotWritable, {"d", "why"}), "cannot create a file in \"d\": why");
  EXPECT_EQ(cause_text(Cause::WrongValueKind, {"io_dev", "a number", "x"}), "expected a number in io_dev, found \"x\"");
  EXPECT_EQ(cause_text(Cause::UnknownControl, {"Q"}), "unknown control name \"Q\" for device ");
  EXPECT_EQ(cause_text(Cause::StringCut), "a string in  is longer than 255 characters; only its first 255 are converted");
  EXPECT_EQ(cause_text(Cause::OutOfMemory, {"unused"}), "out of memory");
  using K = Location::Kind;
  EXPECT_EQ(diagnostic_line(Severity::Error, "m.txt", {K::Line, 0}, "c"), "m.txt:0: error: c\n");
  EXPECT_EQ(diagnostic_line(Severity::Warning, "m", {K::Offset, 4294967295u}, "%1"), "m: offset 4294967295: warning: %1\n");
  EXPECT_EQ(diagnostic_line(Severity::Error, "", {K::None, 7}, ""), ": error: \n");
  const std::pair<std::u16string, std::string> rows[] = {
      {u"abc", "abc"}, {u"a\x01\x1f \x7f~", "a\uFFFD\uFFFD \uFFFD~"}, {u"\u00e9\u07ff\u0800\uffff", "\u00e9\u07ff\u0800\uffff"},
      {u"\U0001F3AE\U0010FFFF", "\U0001F3AE\U0010FFFF"}, {u"\xD800", "\uFFFD"}, {u"\xDC00x", "\uFFFDx"},
      {u"\xDBFF\xDFFF", "\U0010FFFF"}, {u"\xD800\xD800\xDC00", "\uFFFD\U00010000"}, {u"\xDBFFx", "\uFFFDx"},
      {std::u16string(64, u'a'), std::string(64, 'a')}, {std::u16string(65, u'a'), std::string(64, 'a') + "..."},
      {std::u16string(63, u'a') + u"\U0001F3AE", std::string(63, 'a') + "\U0001F3AE..."},
  };
  for (const auto& [text, shown] : rows) EXPECT_EQ(printable(text), shown);
  EXPECT_EQ(printable(u"abcdef", 3), "abc...");
  EXPECT_EQ(printable(u"", 0), "");
}

}  // namespace
