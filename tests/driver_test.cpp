// The command-line driver in-process and through the executable, its
// platform layer and its diagnostics.
#include "app/driver.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "app/diagnostics.h"
#include "app/platform.h"
#include "app/signals.h"
#include "support/cases.h"
#include "support/source_forms.h"
#include "support/stream_script.h"
#include "support/temp_dir.h"
#include "tokenfile/container.h"
#include "tokenfile/dictionary.h"
#include "tokenfile/file_container.h"

namespace fs = std::filesystem;
using namespace mapbake;
using testsupport::Bytes;

namespace {

const std::string keys_dump = "dev(1 0 map(1001e jump 808))";

// Runs in a directory "work" of a temporary directory, with sources and
// obstacles of every kind in it and beside it.
class Driver : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(tokenfile::acquire_token_dictionary(), 0);
    fs::create_directory(dir_.path() / "work");
    ASSERT_EQ(::chdir((dir_.path() / "work").c_str()), 0);
    for (const testsupport::Case& c : testsupport::cases("driver.cases", "Files")) {
      const std::string name = c.narrow(0), kind = c.narrow(1), what = c.fields.size() > 2 ? c.narrow(2) : "";
      if (kind == "dir") fs::create_directory(name);
      if (kind == "source") {
        Bytes bytes = testsupport::text_source(c.wide(2));
        if (c.fields.size() > 3) bytes.push_back(testsupport::from_hex(c.narrow(3)).at(0));
        testsupport::write_file(name, bytes);
      }
      if (kind == "hex") testsupport::write_file(name, testsupport::from_hex(what));
      if (kind == "utf8") testsupport::write_file(name, Bytes(what.begin(), what.end()));
      if (kind == "utf16") {
        Bytes bytes = {0xFF, 0xFE};
        testsupport::put_wide(bytes, c.wide(2));
        testsupport::write_file(name, bytes);
      }
      if (kind == "symlink") fs::create_symlink(what, name);
      if (kind == "hardlink") fs::create_hard_link(what, name);
      if (kind == "fifo") {
        ASSERT_EQ(::mkfifo(name.c_str(), 0644), 0);
      }
      if (kind == "mode") ::chmod(name.c_str(), std::stoi(what, nullptr, 8));
    }
    before_ = snapshot();
  }
  void TearDown() override {
    ASSERT_EQ(::chdir("/"), 0);
    tokenfile::release_token_dictionary();
  }
  // Every entry under work, with a hash of each regular file's bytes.
  static std::string snapshot() {
    std::string files;
    for (const auto& e : fs::recursive_directory_iterator(".")) {
      const Bytes b = !e.is_symlink() && e.is_regular_file() ? testsupport::read_file(e.path()) : Bytes{};
      files +=
          e.path().string() + " " + std::to_string(std::hash<std::string>{}({b.begin(), b.end()})) + "\n";
    }
    return files;
  }
  // mapbake in-process, or the executable after the shell commands `shell`.
  static int run(const std::vector<std::string>& args, const std::string* shell, std::string& out,
                 std::string& err) {
    if (!shell) {
      testsupport::Capture console;
      const int status = testsupport::run_mapbake(args, console);
      return out = console.out, err = console.err, status;
    }
    std::string command = "trap '' XFSZ; " + *shell + " " + MAPBAKE_EXE;
    for (const auto& a : args) command += " '" + a + "'";
    const int raw = std::system((command + " >../out 2>../err").c_str());
    const Bytes o = testsupport::read_file("../out"), e = testsupport::read_file("../err");
    return out.assign(o.begin(), o.end()), err.assign(e.begin(), e.end()),
           WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  }

  testsupport::TempDir dir_;
  std::string before_;
};

// A successful run writes its target and nothing else; a failed one nothing.
TEST_F(Driver, MessagesStatusesAndFiles) {
  for (const testsupport::Case& c : testsupport::cases("driver.cases", "Runs")) {
    SCOPED_TRACE(c.where);
    std::vector<std::string> args;
    std::istringstream words(c.narrow(0));
    for (std::string a; words >> a;) args.push_back(a == "\"\"" ? "" : a);
    const std::string shell = c.fields.size() > 6 ? c.narrow(6) : "", made = c.narrow(4);
    std::string out, err;
    EXPECT_EQ(run(args, c.fields.size() > 6 ? &shell : nullptr, out, err), std::stoi(c.narrow(1)));
    EXPECT_EQ(out, c.narrow(2));
    EXPECT_EQ(err, c.narrow(3));
    if (!made.empty()) {
      const Bytes target = testsupport::read_file(made);
      // A decoded source bakes to the map of keys.txt again.
      const Bytes map = made.ends_with(".txt") ? testsupport::bake(target) : target;
      EXPECT_EQ(testsupport::dump(map), made == "notes.iom" ? "" : keys_dump);
      const std::string kind = c.narrow(5);
      EXPECT_EQ(target.empty() ? 0 : target[0], kind == "text" ? 0xFF : kind == "utf8" ? 'V' : 'T');
      fs::remove(made);
    }
    EXPECT_EQ(snapshot(), before_);
  }
}

// The shipped example of typical mistakes gives the --check output kept
// beside it.
TEST(DriverCheck, TheMistakesExample) {
  const std::string dir = std::string(MAPBAKE_EXAMPLES_DIR) + "/mistakes";
  const auto cwd = fs::current_path();
  fs::current_path(dir);
  testsupport::Capture console;
  EXPECT_EQ(testsupport::run_mapbake({"--check", "mistakes.txt"}, console), 1);
  fs::current_path(cwd);
  const Bytes expected = testsupport::read_file(dir + "/mistakes.check");
  EXPECT_EQ(console.out, "");
  EXPECT_EQ(console.err, std::string(expected.begin(), expected.end()));
}

// --color=auto colours a terminal's standard error only with TERM set and
// not dumb, and NO_COLOR not set.
TEST(DriverCheck, ColourOnATerminalOnly) {
  const std::string file = std::string(MAPBAKE_EXAMPLES_DIR) + "/mistakes/mistakes.txt";
  for (const auto& [term, no_color, coloured] :
       {std::tuple{"xterm", "", true}, {"dumb", "", false}, {"xterm", "1", false}, {"", "", false}}) {
    int fd = -1;
    const pid_t pid = ::forkpty(&fd, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      term[0] ? ::setenv("TERM", term, 1) : ::unsetenv("TERM");
      ::setenv("NO_COLOR", no_color, 1);
      ::execl(MAPBAKE_EXE, "mapbake", "--check", file.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    std::string seen;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) seen.append(buffer, static_cast<size_t>(n));
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(fd);
    EXPECT_EQ(seen.find("\x1b[1;31merror:") != std::string::npos, coloured) << term << " " << no_color;
    EXPECT_NE(seen.find("error:"), std::string::npos);
  }
}

// The README's recipe: git shows a changed run-time map by its names.
TEST(DriverPrint, GitDiffShowsBindingsByName) {
  testsupport::TempDir dir;
  const std::string d = dir.path().string(), exe = MAPBAKE_EXE;
  const std::string git = "cd '" + d + "' && git -c init.defaultBranch=main ";
  for (const char16_t* action : {u"jump", u"leap"}) {
    testsupport::write_file(d + "/keys.txt", testsupport::text_source(u"io_dev ( KEYB 0 io_map ( A " +
                                                                      std::u16string(action) + u" ) )"));
    ASSERT_EQ(std::system((exe + " " + d + "/keys.txt " + d + "/keys.iom").c_str()), 0);
    if (action[0] == u'l') break;
    ASSERT_EQ(
        std::system((git +
                     "init -q && printf '*.iom diff=iom\\n' > .gitattributes && git config user.name t &&"
                     " git config user.email t@t && git config diff.iom.textconv '" +
                     exe + " --print --decode' && git add keys.iom .gitattributes && git commit -qm one")
                        .c_str()),
        0);
  }
  ASSERT_EQ(std::system((git + "diff keys.iom > diff.out").c_str()), 0);
  const Bytes diff = testsupport::read_file(d + "/diff.out");
  const std::string text(diff.begin(), diff.end());
  EXPECT_NE(text.find("-\tio_map ( A jump )"), std::string::npos) << text;
  EXPECT_NE(text.find("+\tio_map ( A leap )"), std::string::npos) << text;
}

// Every example in both encodings and both compressions: the compressed
// map holds the plain one's body, and decodes (compressed again, or not) to
// the same source.
TEST(DriverCompress, EveryExampleLoadsAndDecodesBack) {
  testsupport::TempDir dir;
  auto mapbake = [&](std::vector<std::string> args, const std::string& out) {
    args.push_back(dir.file(out));
    testsupport::Capture console;
    EXPECT_EQ(testsupport::run_mapbake(args, console), 0) << console.err;
    Bytes body;
    tokenfile::ContainerInfo info;
    EXPECT_NE(tokenfile::container_unpack(testsupport::read_file(dir.file(out)), body, &info), 0) << out;
    return std::pair{body, info.compression};
  };
  for (const char* example : {"keyboard", "mouse", "joystick"}) {
    const std::string source = std::string(MAPBAKE_EXAMPLES_DIR) + "/" + example + ".txt";
    for (const std::string text : {"", "-text"}) {
      std::vector<std::string> bake = {source};
      if (!text.empty()) bake.push_back(text);
      const auto plain = mapbake(bake, "plain.iom");
      const auto source_form = mapbake({"--decode", dir.file("plain.iom")}, "plain.txt");
      for (const std::string compression : {"B", "F"}) {
        SCOPED_TRACE(std::string(example) + text + compression);
        bake.push_back("--compress=" + compression);
        EXPECT_EQ(mapbake(bake, "packed.iom"), std::pair(plain.first, compression[0]));
        bake.pop_back();
        EXPECT_EQ(mapbake({"--decode", dir.file("packed.iom")}, "decoded.txt"), source_form);
        EXPECT_EQ(mapbake({"--decode", "--compress=" + compression, dir.file("packed.iom")}, "decoded.txt"),
                  std::pair(source_form.first, compression[0]));
      }
    }
  }
}

// A mapped source that another program cuts short while it is read ends
// the run as an unreadable source, with no partial target left.
TEST(DriverSignals, ASourceCutShortWhileReadIsReported) {
  testsupport::TempDir dir;
  const std::string source = dir.file("big.txt"), target = dir.file("big.iom");
  std::u16string map;
  for (int i = 0; i < 20000; ++i) map += u"io_dev ( KEYB 0 io_map ( A jump ) )\r\n";  // 1.4 MB: mapped
  testsupport::write_file(source, testsupport::text_source(map));
  auto wide = [](const std::string& s) { return std::u16string(s.begin(), s.end()); };
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::dup2(::open(dir.file("out").c_str(), O_WRONLY | O_CREAT, 0644), STDOUT_FILENO);
    ::dup2(::open(dir.file("err").c_str(), O_WRONLY | O_CREAT, 0644), STDERR_FILENO);
    mapbake::guard_source(source.c_str(), true);
    auto out =
        tokenfile::token_stream_open_path(wide(target).c_str(), tokenfile::STREAM_BINARY, u'i', u'0', u'@');
    auto in = tokenfile::token_stream_open_path(wide(source).c_str(),
                                                tokenfile::STREAM_READ | tokenfile::STREAM_MAP_FILE, 0, 0, 0);
    if (!out || !in || ::truncate(source.c_str(), 0) != 0) ::_exit(2);
    uint32_t id = 0;
    while (in->read_token_open(id, nullptr) && in->read_token_close()) {
    }
    ::_exit(3);  // not reached: the first read of a page the file lost raises SIGBUS
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  const Bytes out = testsupport::read_file(dir.file("out")), err = testsupport::read_file(dir.file("err"));
  EXPECT_EQ(std::string(out.begin(), out.end()), "Error opening " + source + "\n");
  EXPECT_EQ(std::string(err.begin(), err.end()),
            source + ": error: the file was cut short while it was being read\n");
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"big.txt", "err", "out"}));
}

// A program ended by SIGTERM while it writes leaves no temporary file, and
// ends as the signal ends it.
TEST(DriverSignals, AnEndingSignalLeavesNoPartialFile) {
  testsupport::TempDir dir;
  const std::string target = dir.file("out.iom");
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    mapbake::guard_source("in.txt", false);
    auto out = tokenfile::token_stream_open_path(std::u16string(target.begin(), target.end()).c_str(),
                                                 tokenfile::STREAM_BINARY, u'i', u'0', u'@');
    if (!out || dir.entries().size() != 1) ::_exit(2);  // the temporary file is there
    ::raise(SIGTERM);
    ::_exit(3);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  EXPECT_TRUE(dir.entries().empty());
}

// A target larger than what mapbake holds before writing it out (made
// small here), in one token whose length is filled in after its head went
// to the file (or, compressed, is held until it closes): the same bytes as
// a conversion in memory.
TEST(DriverStreams, LargeTargetsAreWrittenAsTheyAreMade) {
  testsupport::TempDir dir;
  ASSERT_NE(tokenfile::acquire_token_dictionary(), 0);
  std::u16string map = u"io_dev ( KEYB 0\r\n";
  for (int i = 0; i < 300; ++i) map += u"io_map ( A \"" + std::u16string(i, u'x') + u"\" ALT_UP )\r\n";
  const Bytes source = testsupport::text_source(map + u")\r\nio_dev ( MOUSE 1 io_map ( X look ) )\r\n");
  testsupport::write_file(dir.file("big.txt"), source);
  const uint32_t chunk = std::exchange(tokenfile::container_stream_chunk, 1000);
  for (const uint32_t encoding : {tokenfile::STREAM_BINARY, tokenfile::STREAM_TEXT}) {
    for (const char compression : {'@', 'F'}) {
      std::vector<std::string> args = {"--no-warn=all", dir.file("big.txt"), dir.file("big.iom")};
      if (encoding == tokenfile::STREAM_TEXT) args.push_back("-text");
      if (compression == 'F') args.push_back("--compress=F");
      testsupport::Capture console;
      EXPECT_EQ(testsupport::run_mapbake(args, console), 0) << console.err;
      const Bytes made = testsupport::read_file(dir.file("big.iom"));
      if (compression == '@') {
        EXPECT_GT(made.size(), 40u * tokenfile::container_stream_chunk);
      }
      EXPECT_TRUE(made == testsupport::bake(source, encoding, compression)) << made.size() << compression;
    }
  }
  tokenfile::container_stream_chunk = chunk;
  tokenfile::release_token_dictionary();
}

// A mapped source hands back the pages it has read (a UTF-8 one, decoded
// into memory of its own, keeps them); a message that quotes an early line
// reads it again, the same as when nothing is handed back.
TEST(DriverStreams, PagesHandedBackAreReadAgainForMessages) {
  testsupport::TempDir dir;
  std::string map = "io_dev ( KEYB 0\r\n  io_map ( A x )\r\n";
  for (int i = 0; i < 6000; ++i) map += "  comment ( \"" + std::string(40, 'c') + "\" )\r\n";
  map += "  io_map ( A y )\r\n)\r\n";
  testsupport::write_file(dir.file("big.txt"),
                          testsupport::text_source(std::u16string(map.begin(), map.end())));
  testsupport::write_file(dir.file("big.map"), Bytes(map.begin(), map.end()));
  for (const char* source : {"big.txt", "big.map"}) {
    std::string err[2];
    Bytes made[2];
    for (const uint32_t step : {4096u, 0xFFFFFFFFu}) {
      const uint32_t kept = std::exchange(tokenfile::container_release_step, step);
      testsupport::Capture console;
      EXPECT_EQ(testsupport::run_mapbake({dir.file(source), dir.file("big.iom")}, console), 0);
      err[step == 4096u] = console.err;
      made[step == 4096u] = testsupport::read_file(dir.file("big.iom"));
      tokenfile::container_release_step = kept;
    }
    EXPECT_NE(err[1].find("|   io_map ( A x )"), std::string::npos) << err[1];
    EXPECT_EQ(err[0], err[1]);
    EXPECT_TRUE(made[0] == made[1] && !made[0].empty());
  }
}

TEST(DriverNames, TargetNamesAndTheTextOption) {
  for (const testsupport::Case& c : testsupport::cases("driver.cases", "TargetNames"))
    EXPECT_EQ(derive_target_name(c.narrow(0)), c.narrow(1)) << c.where;
  for (const testsupport::Case& c : testsupport::cases("driver.cases", "TextOption"))
    EXPECT_EQ(is_text_option(c.narrow(0).c_str()), c.narrow(1) == "yes") << c.where;
}

TEST(Platform, PathsResolvedLexically) {
  std::string full;
  for (const testsupport::Case& c : testsupport::cases("driver.cases", "FullPaths"))
    EXPECT_EQ(resolve_full_path_in("/home/u", c.narrow(0), full) ? full : "!", c.narrow(1)) << c.where;
}

TEST(Platform, NamesWidenedFromUtf8) {
  for (const testsupport::Case& c : testsupport::cases("driver.cases", "WideNames"))
    EXPECT_EQ(std::u16string(widen_ansi_name(c.narrow(0).c_str())), c.wide(1)) << c.where;
  const char16_t* ring[5];
  for (int i = 0; i < 5; ++i) ring[i] = widen_ansi_name(std::to_string(i).c_str());
  EXPECT_EQ(std::u16string(ring[1]) + ring[2] + ring[3], u"123");  // valid until four further widenings
  EXPECT_EQ(ring[4], ring[0]);
}

TEST(Diagnostics, TextsAndLines) {
  EXPECT_EQ(cause_text(Cause::DirectoryNotWritable, {"d", "why"}), "cannot create a file in \"d\": why");
  EXPECT_EQ(cause_text(Cause::WrongValueKind, {"io_dev", "a number", "x"}),
            "expected a number in io_dev, found \"x\"");
  EXPECT_EQ(cause_text(Cause::UnknownControl, {"Q"}), "unknown control name \"Q\" for device ");
  EXPECT_EQ(
      cause_text(Cause::StringCut, {"t", "300"}),
      "a string of 300 characters in t is longer than 255 characters; only its first 255 are converted");
  EXPECT_EQ(cause_text(Cause::OutOfMemory, {"unused"}), "out of memory");
  using K = Location::Kind;
  EXPECT_EQ(diagnostic_line(Severity::Error, "m.txt", {K::Line, 3, 0}, "c"), "m.txt:3: error: c\n");
  EXPECT_EQ(diagnostic_line(Severity::Error, "m.txt", {K::Line, 4294967296u, 11}, "c"),
            "m.txt:4294967296:11: error: c\n");
  EXPECT_EQ(diagnostic_line(Severity::Warning, "m", {K::Byte, 4294967330u}, "%1"),
            "m: warning: at byte 4294967330: %1\n");
  EXPECT_EQ(diagnostic_line(Severity::Error, "", {K::None, 7, 7}, ""), ": error: \n");
  for (const testsupport::Case& c : testsupport::cases("driver.cases", "Printable"))
    EXPECT_EQ(printable(c.wide(0)), c.narrow(1)) << c.where;
  EXPECT_EQ(printable(u"abcdef", 3), "abc...");
  EXPECT_EQ(printable(u"", 0), "");
}

}  // namespace
