// The mapbake executable, run in a temporary directory: its messages, exit
// statuses and the files it leaves.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/bytes.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;
using testsupport::Bytes;
using testsupport::read_file;
using testsupport::write_file;

namespace {

constexpr const char* usage =
    "Usage: mapbake [-edit] [-text] <file> [out_file]\n"
    "       out_file defaults to file with .iom extension\n"
    "       -text to output a text format RUN-TIME iom file\n";

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs the executable in `cwd` with `args`; a non-zero `file_size_limit`
// caps the size of every file it writes (SIGXFSZ ignored, so a write past the
// limit fails with EFBIG instead of killing it). Output goes through pipes,
// which the limit does not cover.
Result run_mapbake(const fs::path& cwd, const std::vector<std::string>& args, rlim_t file_size_limit = 0) {
  int out_pipe[2], err_pipe[2];
  if (::pipe(out_pipe) != 0 || ::pipe(err_pipe) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out_pipe[1], 1);
    ::dup2(err_pipe[1], 2);
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    if (::chdir(cwd.c_str()) != 0) ::_exit(127);
    if (file_size_limit != 0) {
      std::signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{file_size_limit, file_size_limit};
      if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(127);
    }
    std::vector<char*> argv = {const_cast<char*>(MAPBAKE_EXE)};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(MAPBAKE_EXE, argv.data());
    ::_exit(127);
  }
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  Result r;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&r.out, &r.err};
  int open_pipes = 2;
  while (open_pipes > 0 && ::poll(fds, 2, -1) > 0) {
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open_pipes;
      }
    }
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

Bytes example(const char* name) { return read_file(std::string(MAPBAKE_EXAMPLES_DIR "/") + name); }

// A text source file holding `body` after its headers.
Bytes text_source(const std::u16string& body) {
  Bytes f{0xFF, 0xFE};
  testsupport::put_wide(f, u"TORVIA@@@@@@@@@@VUXA0i0t______\r\n" + body);
  return f;
}

const Bytes empty_binary_map = [] {
  Bytes f = testsupport::narrow_file_header();
  testsupport::put_str(f, testsupport::binary_header_line());
  return f;
}();

bool starts_with(const Bytes& b, const Bytes& prefix) {
  return b.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), b.begin());
}

const Bytes binary_head = {'T', 'O', 'R', 'V', 'I', 'A', '@', '@', '@', '@', '@', '@',
                           '@', '@', '@', '@', 'V', 'U', 'X', 'A', '0', 'i', '0', 'b'};
const Bytes text_head = {0xFF, 0xFE, 'T', 0, 'O', 0, 'R', 0, 'V', 0, 'I', 0};

class MapbakeE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(work());
    write_file(file("keys.txt"), example("keyboard.txt"));
  }
  fs::path work() const { return dir_.path() / "work"; }
  std::string file(const std::string& name) const { return (work() / name).string(); }
  Result run(const std::vector<std::string>& args, rlim_t limit = 0) const {
    return run_mapbake(work(), args, limit);
  }
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(work())) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  testsupport::TempDir dir_;
};

TEST_F(MapbakeE2E, ConvertsSilently) {
  const Result r = run({"keys.txt", "out.iom"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(starts_with(read_file(file("out.iom")), binary_head));
  EXPECT_EQ(entries(), (std::vector<std::string>{"keys.txt", "out.iom"}));
}

TEST_F(MapbakeE2E, TextOutputInAnyCaseAndPlace) {
  const struct {
    std::vector<std::string> args;
    const char* target;
  } rows[] = {
      {{"-text", "keys.txt", "a.iom"}, "a.iom"},
      {{"keys.txt", "b.iom", "-text"}, "b.iom"},
      {{"keys.txt", "-TEXT", "c.iom"}, "c.iom"},
      {{"-Text", "keys.txt", "d.iom"}, "d.iom"},
  };
  for (const auto& row : rows) {
    const Result r = run(row.args);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(starts_with(read_file(file(row.target)), text_head)) << row.target;
  }
}

TEST_F(MapbakeE2E, UsageLines) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"-text"}, {"-edit", "keys.txt"}, {"keys.txt", "out.iom", "third"}, {"keys.txt", "-x"}}) {
    const Result r = run(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, usage);
  }
  EXPECT_EQ(entries(), (std::vector<std::string>{"keys.txt"}));
}

TEST_F(MapbakeE2E, InvalidFilePath) {
  const std::string long_name(300, 'n');
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{long_name}, {"keys.txt", long_name}}) {
    const Result r = run(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Invalid file path\n");
    EXPECT_NE(r.err.find(": error: the full path is longer than 255 characters"), std::string::npos) << r.err;
  }
}

TEST_F(MapbakeE2E, TargetMustDifferFromSource) {
  write_file(file("keys.iom"), empty_binary_map);
  fs::create_directory(work() / "sub");
  fs::create_symlink("keys.txt", work() / "link.iom");
  fs::create_hard_link(work() / "keys.txt", work() / "hard.iom");
  const Bytes source = read_file(file("keys.txt"));
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"keys.iom"},  // the derived target is the source
           {"keys.txt", "./keys.txt"},
           {"keys.txt", "sub/../keys.txt"},
           {"keys.txt", "link.iom"},  // beyond the path comparison: the same file
           {"keys.txt", "hard.iom"},
           {"link.iom", "keys.txt"}}) {
    const Result r = run(args);
    EXPECT_EQ(r.status, 1) << args.back();
    EXPECT_EQ(r.out, "Output file must be named differently to the source file\n");
  }
  EXPECT_EQ(read_file(file("keys.txt")), source);
  EXPECT_TRUE(fs::is_symlink(work() / "link.iom"));
  EXPECT_EQ(fs::hard_link_count(work() / "keys.txt"), 2u);
}

TEST_F(MapbakeE2E, NamesDifferingInLetterCaseOnlyPass) {
  write_file(file("keys.iom"), example("mouse.txt"));
  const Result r = run({"keys.iom", "KEYS.iom"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(starts_with(read_file(file("KEYS.iom")), binary_head));
}

TEST_F(MapbakeE2E, ErrorOpening) {
  fs::create_directory(work() / "folder");
  write_file(file("hello.txt"),
             Bytes{'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '!', '!', '!', '!', '!', '!', '!'});
  write_file(file("clé.txt"), example("mouse.txt"));
  write_file(file("short.iom"),
             Bytes{'T', 'O', 'R', 'V', 'I', 'A', '@', 'F', 0x40, 0, 0, 0, '@', '@', '@', '@', 1, 2, 3});
  write_file(file("empty.iom"), {});
  const struct {
    std::string name;
    std::string cause;
  } rows[] = {
      {"missing.txt", "no such file"},
      {"folder", "is a directory, not a file"},
      {"hello.txt", "not a token file: the body does not start with a stream header line"},
      {"short.iom", "the compressed body is damaged"},
      {"empty.iom", "the file is empty"},
      {"clé.txt", "file names with a character of code 127 or above cannot be opened"},
      {"bad\xE9.txt", "the file name is not valid UTF-8"},
  };
  for (const auto& row : rows) {
    const Result r = run({row.name, "out.iom"});
    EXPECT_EQ(r.status, 1) << row.name;
    EXPECT_EQ(r.out, "Error opening " + row.name + "\n");
    EXPECT_EQ(r.err.rfind(row.name + ": error: " + row.cause, 0), 0u) << r.err;
  }
  EXPECT_FALSE(fs::exists(work() / "out.iom"));
}

TEST_F(MapbakeE2E, ErrorWritingAtOpen) {
  fs::create_directory(work() / "folder");
  const struct {
    std::string name;
    std::string cause;
  } rows[] = {
      {"nodir/out.iom", "the directory \"nodir\" does not exist"},
      {"sortie-é.iom", "file names with a character of code 127 or above cannot be opened"},
      {"folder", "is a directory, not a file"},
  };
  for (const auto& row : rows) {
    const Result r = run({"keys.txt", row.name});
    EXPECT_EQ(r.status, 1) << row.name;
    EXPECT_EQ(r.out, "Error writing " + row.name + "\n");
    EXPECT_EQ(r.err.rfind(row.name + ": error: " + row.cause, 0), 0u) << r.err;
  }
  EXPECT_EQ(entries(), (std::vector<std::string>{"folder", "keys.txt"}));
}

TEST_F(MapbakeE2E, DerivedTargetNames) {
  fs::create_directories(work() / "maps");
  fs::create_directories(work() / "old.maps");
  const Bytes map = example("mouse.txt");
  write_file(file("maps/keys.txt"), map);
  write_file(file("old.maps/keys.txt"), map);
  write_file(file("keys"), map);
  write_file((dir_.path() / "keys.txt").string(), map);
  const struct {
    const char* source;
    const char* target;
  } rows[] = {
      {"maps/keys.txt", "maps/keys.iom"},
      {"keys", "keys.iom"},
      {"old.maps/keys.txt", "old.iom"},
      {"../keys.txt", ".iom"},
      {"./keys", ".iom"},
  };
  for (const auto& row : rows) {
    fs::remove(work() / row.target);
    const Result r = run({row.source});
    EXPECT_EQ(r.status, 0) << row.source << r.out << r.err;
    EXPECT_TRUE(starts_with(read_file(file(row.target)), binary_head)) << row.source;
  }
}

TEST_F(MapbakeE2E, ASourceWithoutIoDevGivesAnEmptyMap) {
  write_file(file("notes.txt"), text_source(u"comment ( \"no devices here\" )\r\n"));
  const Result r = run({"notes.txt"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(file("notes.iom")), empty_binary_map);
}

TEST_F(MapbakeE2E, AFailedConversionKeepsTheOldTarget) {
  write_file(file("bad.txt"),
             text_source(u"io_dev ( JOY 0\r\n\tio_map ( BTN1 fire )\r\n\tio_map ( BTN32 boost )\r\n)"));
  const Bytes old = {'o', 'l', 'd', ' ', 'm', 'a', 'p'};
  write_file(file("bad.iom"), old);
  Result r = run({"bad.txt"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Error converting file (source file line 4)\n");
  EXPECT_EQ(r.err, "bad.txt:4: error: unknown control name \"BTN32\" for device JOY\n");
  EXPECT_EQ(read_file(file("bad.iom")), old);

  // No partial target is left where there was none, and no temporary file.
  r = run({"bad.txt", "new.iom"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(entries(), (std::vector<std::string>{"bad.iom", "bad.txt", "keys.txt"}));
}

TEST_F(MapbakeE2E, BinarySourceFailuresGiveTheOffset) {
  // io_dev ( "JOY" 0 io_map ( "BTN32" "b" ) ) in the binary encoding: the
  // control name ends at body offset 16 + 9 + 8 + 4 + 9 + 12 = 58.
  Bytes f = empty_binary_map;
  testsupport::put_u32(f, 99);
  testsupport::put_u32(f, 1 + 8 + 4 + 25);
  testsupport::put(f, {0, 3, 0});
  testsupport::put_wide(f, u"JOY");
  testsupport::put_u32(f, 0);
  testsupport::put_u32(f, 100);
  testsupport::put_u32(f, 1 + 12 + 4);
  testsupport::put(f, {0, 5, 0});
  testsupport::put_wide(f, u"BTN32");
  testsupport::put(f, {1, 0});
  testsupport::put_wide(f, u"b");
  write_file(file("bad.bin"), f);
  const Result r = run({"bad.bin", "out.iom"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Error converting file (source file line 58)\n");
  EXPECT_EQ(r.err, "bad.bin: offset 58: error: unknown control name \"BTN32\" for device JOY\n");
}

TEST_F(MapbakeE2E, AWriteFailureAtCloseIsReported) {
  const Bytes old = {'o', 'l', 'd'};
  write_file(file("out.iom"), old);
  // The header and line take 32 bytes; the keyboard map needs hundreds.
  const Result r = run({"keys.txt", "out.iom"}, 100);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Error writing out.iom\n");
  EXPECT_EQ(r.err.rfind("out.iom: error: the output file could not be written: File too large", 0), 0u)
      << r.err;
  EXPECT_EQ(read_file(file("out.iom")), old);
  EXPECT_EQ(entries(), (std::vector<std::string>{"keys.txt", "out.iom"}));
}

}  // namespace
