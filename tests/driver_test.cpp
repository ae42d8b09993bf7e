// The command-line driver in-process and through the executable, its
// platform layer and its diagnostics.
#include "app/driver.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#include "app/diagnostics.h"
#include "app/platform.h"
#include "support/cases.h"
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
  for (const testsupport::Case& c : testsupport::cases("driver.cases", "Runs")) {
    Row row{{}, std::stoi(c.narrow(1)), c.narrow(2), c.narrow(3), c.narrow(4), c.narrow(5) == "text"};
    std::istringstream args(c.narrow(0));
    for (std::string a; args >> a;) row.args.push_back(a == "\"\"" ? "" : a);
    testsupport::Capture console;
    const int status = testsupport::run_mapbake(row.args, console);
    SCOPED_TRACE(c.where);
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
  for (const testsupport::Case& c : testsupport::cases("driver.cases", "TargetNames"))
    EXPECT_EQ(derive_target_name(c.narrow(0)), c.narrow(1)) << c.where;
  for (const char* yes : {"-text", "-TEXT", "-Text", "-tExT"}) EXPECT_TRUE(is_text_option(yes)) << yes;
  for (const char* no : {"-tex", "-texts", "text", "--text", "-t", "-edit", "-t\xC3\x89xt", "-tzxt", "-te[t", ""})
    EXPECT_FALSE(is_text_option(no)) << no;
}

TEST(Platform, PathsResolvedLexically) {
  std::string full;
  for (const testsupport::Case& c : testsupport::cases("driver.cases", "FullPaths")) {
    ASSERT_TRUE(resolve_full_path_in("/home/u", c.narrow(0), full)) << c.where;
    EXPECT_EQ(full, c.narrow(1)) << c.where;
  }
  EXPECT_TRUE(resolve_full_path_in("/d", std::string(252, 'n'), full));  // 255 characters
  EXPECT_EQ(full.size(), 255u);
  EXPECT_FALSE(resolve_full_path_in("/d", std::string(253, 'n'), full));
  EXPECT_TRUE(resolve_full_path_in("/d", std::string(300, 'n') + "/../k", full));
  EXPECT_EQ(full, "/d/k");
}

TEST(Platform, NamesWidenedFromUtf8) {
  for (const testsupport::Case& c : testsupport::cases("driver.cases", "WideNames"))
    EXPECT_EQ(std::u16string(widen_ansi_name(c.narrow(0).c_str())), c.wide(1)) << c.where;
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
  for (const testsupport::Case& c : testsupport::cases("driver.cases", "Printable"))
    EXPECT_EQ(printable(c.wide(0)), c.narrow(1)) << c.where;
  EXPECT_EQ(printable(u"abcdef", 3), "abc...");
  EXPECT_EQ(printable(u"", 0), "");
}

}  // namespace
