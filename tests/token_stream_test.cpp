#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

#include "support/bytes.h"
#include "support/temp_dir.h"
#include "tokenfile/token_stream.h"

using namespace tokenfile;
using testsupport::Bytes;
using testsupport::TempDir;
using testsupport::widen;

namespace {

Bytes file_with_line(const std::string& line, bool wide_line = false) {
  Bytes f = testsupport::narrow_file_header();
  if (wide_line) {
    testsupport::put_wide(f, std::u16string(line.begin(), line.end()));
  } else {
    testsupport::put_str(f, line);
  }
  return f;
}

TEST(StreamHeaderLine, Acceptance) {
  struct Row {
    std::string line;
    bool wide;
    char16_t type, version;
    int32_t error;  // 0: opens
    uint32_t encoding;
  } rows[] = {
      {"VUXA0i0b______\r\n", false, 0, 0, 0, STREAM_BINARY},
      {"VUXA0i0b______\r\n", true, u'i', u'0', 0, STREAM_BINARY},  // binary line in UTF-16
      {"VUXA/i0b______\r\n", false, 0, 0, 0, STREAM_BINARY},       // versions below '0' too
      {"VUXA0w0b______\r\n", false, 0, 0, 0, STREAM_BINARY},
      {"VUXA0i0bxxxxxxxx", false, 0, 0, 0, STREAM_BINARY},          // the tail is not checked
      {"VUXA1i0b______\r\n", false, 0, 0, ERR_BAD_HEADER, 0},
      {"VUXA0w0b______\r\n", false, u'i', 0, ERR_BAD_HEADER, 0},
      {"VUXA0i1b______\r\n", false, 0, u'0', ERR_BAD_HEADER, 0},
      {"VUXA0i0x______\r\n", false, 0, 0, ERR_BAD_HEADER, 0},
      {"VUXB0i0b______\r\n", false, 0, 0, ERR_BAD_HEADER, 0},
      {"vuxa0i0b______\r\n", false, 0, 0, ERR_BAD_HEADER, 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.line);
    token_error = 0;
    // Whatever encoding bits the caller passes, the line decides.
    auto s = token_stream_open_memory(file_with_line(r.line, r.wide), STREAM_READ | STREAM_TEXT, r.type, r.version);
    if (r.error == 0) {
      ASSERT_TRUE(s);
      EXPECT_EQ(s->flags, STREAM_READ | r.encoding);
      EXPECT_EQ(s->header_chars[5], static_cast<char16_t>(r.line[5]));
      EXPECT_EQ(token_stream_line(*s), 16u);
    } else {
      EXPECT_FALSE(s);
      EXPECT_EQ(token_error, r.error);
    }
  }
}

TEST(StreamHeaderLine, TextLinesOpenTextStreams) {
  for (bool wide : {false, true}) {
    auto s = token_stream_open_memory(file_with_line("VUXA0i0t______\r\n", wide), STREAM_READ | STREAM_BINARY, 0, 0);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->flags, STREAM_READ | STREAM_TEXT);
    EXPECT_EQ(token_stream_line(*s), 2u);
  }
}

TEST(StreamHeaderLine, ShortBodiesFailWithoutCode) {
  for (const char* body : {"VUXA0i0b______\r", "V"}) {
    token_error = 12345;
    EXPECT_FALSE(token_stream_open_memory(file_with_line(body), STREAM_READ, 0, 0));
    EXPECT_EQ(token_error, 12345);
  }
  // A UTF-16 line cut short.
  token_error = 12345;
  EXPECT_FALSE(token_stream_open_memory(file_with_line(std::string("V\0U\0X\0A\0" "0\0i\0", 12)), STREAM_READ, 0, 0));
  EXPECT_EQ(token_error, 12345);
  // An unloadable container is ERR_BAD_VALUE.
  EXPECT_FALSE(token_stream_open_memory({}, STREAM_READ, 0, 0));
  EXPECT_EQ(token_error, ERR_BAD_VALUE);
}

TEST(StreamWriting, EmptyFiles) {
  auto s = token_stream_open(nullptr, STREAM_WRITE | STREAM_BINARY, u'i', u'0', u'@');
  ASSERT_TRUE(s);
  EXPECT_EQ(s->flags, STREAM_WRITE | STREAM_BINARY);
  EXPECT_EQ(token_stream_line(*s), 16u);
  Bytes file;
  ASSERT_NE(token_stream_close_to_bytes(std::move(s), file), 0);
  EXPECT_EQ(file, file_with_line("VUXA0i0b______\r\n"));
  // ... and the program can read what it wrote.
  EXPECT_TRUE(token_stream_open_memory(file, STREAM_READ, u'i', u'0'));

  s = token_stream_open(nullptr, STREAM_WRITE | STREAM_TEXT, u'i', u'0', u'@');
  ASSERT_TRUE(s);
  ASSERT_NE(token_stream_close_to_bytes(std::move(s), file), 0);
  Bytes expected = {0xFF, 0xFE};
  testsupport::put_wide(expected, u"TORVIA@@@@@@@@@@VUXA0i0t______\r\n");
  EXPECT_EQ(file, expected);
  EXPECT_TRUE(token_stream_open_memory(file, STREAM_READ, u'i', u'0'));
}

class StreamPaths : public ::testing::Test {
 protected:
  TempDir dir;
  std::string source;
  void SetUp() override {
    source = dir.file("source.iom");
    Bytes f = file_with_line("VUXA0i0b______\r\n");
    testsupport::put(f, {7, 0, 0, 0, 1, 0, 0, 0, 0});
    testsupport::write_file(source, f);
  }
  static std::unique_ptr<TokenStream> open_write(const std::string& name) {
    return token_stream_open_path(widen(name).c_str(), STREAM_WRITE | STREAM_BINARY, u'i', u'0', u'@');
  }
  static std::unique_ptr<TokenStream> open_read(const std::string& name) {
    return token_stream_open_path(widen(name).c_str(), STREAM_READ, 0, 0, u'@');
  }
  static bool write_one_token(TokenStream& s, uint32_t id) {
    return s.write_token_open(id, nullptr) && s.write_uint(id) && s.write_token_close();
  }
};

TEST_F(StreamPaths, ReadsRegularFilesOnly) {
  auto s = open_read(source);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->flags, STREAM_READ | STREAM_BINARY | STREAM_OWNS_FILE);
  EXPECT_NE(token_stream_close(std::move(s)), 0);

  token_error = 0;
  EXPECT_FALSE(open_read(dir.file("missing")));
  EXPECT_FALSE(open_read(dir.path().string()));  // a directory
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(open_read(fifo));  // returns at once: no writer is waited for
  EXPECT_EQ(token_error, 0);
}

TEST_F(StreamPaths, NamesThatCannotBeOpened) {
  // A character of code 127 or above fails at once and creates nothing.
  EXPECT_FALSE(token_stream_open_path((widen(dir.file("caf")) + u"\u00e9").c_str(), STREAM_WRITE | STREAM_BINARY,
                                      u'i', u'0', u'@'));
  EXPECT_FALSE(token_stream_open_path((widen(dir.file("x")) + u"\x7f").c_str(), STREAM_READ, 0, 0, u'@'));
  // A name longer than 511 characters is refused rather than cut to another
  // file's name.
  std::string longer = source;
  while (longer.size() <= 511) longer.insert(dir.path().string().size(), "/.");
  ASSERT_EQ(std::filesystem::canonical(longer), std::filesystem::canonical(source));
  EXPECT_FALSE(open_read(longer));
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"source.iom"});
}

TEST_F(StreamPaths, SafeReplacement) {
  const std::string target = dir.file("target.iom");
  const Bytes old_bytes = {'o', 'l', 'd'};
  testsupport::write_file(target, old_bytes);
  ::chmod(target.c_str(), 0640);

  // Abandoned: the old file stays, no temporary file is left.
  auto s = open_write(target);
  ASSERT_TRUE(s);
  EXPECT_EQ(testsupport::read_file(target), old_bytes);  // not emptied at open
  ASSERT_TRUE(write_one_token(*s, 5));
  token_stream_discard(std::move(s));
  EXPECT_EQ(testsupport::read_file(target), old_bytes);
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"source.iom", "target.iom"}));

  // Destroyed without a close: the same.
  s = open_write(target);
  ASSERT_TRUE(s);
  s.reset();
  EXPECT_EQ(testsupport::read_file(target), old_bytes);
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"source.iom", "target.iom"}));

  // Closed: the new file is in place, with the old file's permissions.
  s = open_write(target);
  ASSERT_TRUE(write_one_token(*s, 5));
  ASSERT_NE(token_stream_close(std::move(s)), 0);
  Bytes expected = file_with_line("VUXA0i0b______\r\n");
  testsupport::put(expected, {5, 0, 0, 0, 5, 0, 0, 0, 0, 5, 0, 0, 0});
  EXPECT_EQ(testsupport::read_file(target), expected);
  struct stat st;
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"source.iom", "target.iom"}));
}

TEST_F(StreamPaths, NewFilesGetTheUmaskPermissions) {
  const mode_t old_mask = ::umask(027);
  auto s = open_write(dir.file("new.iom"));
  ASSERT_TRUE(s);
  ASSERT_NE(token_stream_close(std::move(s)), 0);
  ::umask(old_mask);
  struct stat st;
  ASSERT_EQ(::stat(dir.file("new.iom").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(StreamPaths, SymbolicLinksAreKept) {
  const std::string real = dir.file("real.iom");
  testsupport::write_file(real, {'o', 'l', 'd'});
  ASSERT_EQ(::symlink("real.iom", dir.file("link.iom").c_str()), 0);
  auto s = open_write(dir.file("link.iom"));
  ASSERT_TRUE(s);
  ASSERT_NE(token_stream_close(std::move(s)), 0);
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("link.iom")));
  EXPECT_EQ(testsupport::read_file(real).size(), 32u);
}

TEST_F(StreamPaths, FailedWriteLeavesTheTargetAlone) {
  const std::string target = dir.file("target.iom");
  const Bytes old_bytes(100, 'o');
  testsupport::write_file(target, old_bytes);
  auto s = open_write(target);
  ASSERT_TRUE(s);
  for (uint32_t i = 0; i < 2000; ++i) ASSERT_TRUE(write_one_token(*s, i));

  // A file-size limit makes the write at close fail part way.
  struct rlimit old_limit;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old_limit;
  small.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const int32_t closed = token_stream_close(std::move(s));
  ::setrlimit(RLIMIT_FSIZE, &old_limit);
  std::signal(SIGXFSZ, old_handler);

  EXPECT_EQ(closed, 0);
  EXPECT_EQ(testsupport::read_file(target), old_bytes);
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"source.iom", "target.iom"}));
}

TEST_F(StreamPaths, UncreatableTargetsFailAtOpen) {
  EXPECT_FALSE(open_write(dir.file("no/such/dir.iom")));
  EXPECT_FALSE(open_write(dir.path().string()));  // a directory
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"source.iom"}));
}

}  // namespace
