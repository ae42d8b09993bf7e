// Opening and closing token streams: the stream header line, files given by
// handle, in memory and by path, and the safe replacement of a target file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "support/cases.h"
#include "support/stream_script.h"
#include "support/temp_dir.h"

using namespace tokenfile;
using namespace testsupport;

namespace {

// Opens a file whose body is `line`; gives the stream's flags in hex, its
// place and the type and encoding characters of its header line, or the error.
std::string open_line(const std::string& line, bool wide, char16_t type = 0, char16_t version = 0) {
  Bytes f = narrow_file_header();
  wide ? put_wide(f, widen(line)) : put_str(f, line);
  token_error = kUnset;
  // Whatever encoding bits a reader passes, the line decides; other bits stay.
  auto s = token_stream_open_memory(f, STREAM_READ | STREAM_TEXT | STREAM_BINARY | 0x100, type, version);
  if (!s) return "!" + code_name(token_error);
  char out[32];
  std::snprintf(out, sizeof out, "%x @%u %c%c", token_stream_flags(*s), token_stream_line(*s),
                char(token_stream_header(*s)[5]), char(token_stream_header(*s)[7]));
  return out;
}

TEST(StreamHeaderLine, IsCheckedInEitherForm) {
  for (const Case& c : cases("token_stream.cases", "HeaderLine"))
    EXPECT_EQ(open_line(c.narrow(0), c.narrow(1) == "wide", c.wide(2)[0], c.wide(3)[0]), c.narrow(4)) << c.where;
}

class StreamPaths : public ::testing::Test {
 protected:
  TempDir dir;
  std::string target = dir.file("target.iom");
  const Bytes old_bytes = Bytes(100, 'o');
  void SetUp() override { write_file(target, old_bytes); }
  static std::unique_ptr<TokenStream> open(const std::string& name, uint32_t flags = STREAM_WRITE | STREAM_BINARY) {
    return token_stream_open_path(widen(name).c_str(), flags, u'i', u'0', u'@');
  }
  static bool write_token(TokenStream& s, uint32_t id) {
    return s.write_token_open(id, nullptr) && s.write_uint(id) && s.write_token_close();
  }
};

TEST_F(StreamPaths, ReplaceTheTargetOnlyOnASuccessfulClose) {
  ::chmod(target.c_str(), 0640);
  auto s = open(target);
  ASSERT_TRUE(s && write_token(*s, 5));
  EXPECT_EQ(read_file(target), old_bytes);  // not emptied at open
  token_stream_discard(std::move(s));
  EXPECT_EQ(read_file(target), old_bytes);
  s = open(target);
  s.reset();  // abandoned without a close: the same
  EXPECT_EQ(read_file(target), old_bytes);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"target.iom"});
  s = open(target);
  ASSERT_TRUE(s && write_token(*s, 5));
  ASSERT_TRUE(token_stream_close(std::move(s)));
  EXPECT_EQ(read_file(target), token_file('b', from_hex("05000000 05000000 00 05000000")));
  struct stat st;
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"target.iom"});
  EXPECT_FALSE(token_stream_close(nullptr));
}

TEST_F(StreamPaths, NewFilesRelativeNamesAndLinks) {
  const mode_t old_mask = ::umask(027);
  EXPECT_TRUE(token_stream_close(open(dir.file("new.iom"))));
  ::umask(old_mask);
  struct stat st;
  ASSERT_EQ(::stat(dir.file("new.iom").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  EXPECT_TRUE(token_stream_close(open("relative.iom")));
  std::filesystem::current_path(cwd);
  EXPECT_EQ(read_file(dir.file("relative.iom")).size(), 32u);
  // A link is kept and the file it names replaced, also through a chain of
  // links to a file not yet there; a loop of links fails.
  ASSERT_EQ(::symlink("target.iom", dir.file("link").c_str()), 0);
  ASSERT_EQ(::symlink(dir.file("link2").c_str(), dir.file("link1").c_str()), 0);
  ASSERT_EQ(::symlink("sub/../made.iom", dir.file("link2").c_str()), 0);
  ASSERT_EQ(::symlink("loop", dir.file("loop").c_str()), 0);
  std::filesystem::create_directory(dir.file("sub"));
  EXPECT_TRUE(token_stream_close(open(dir.file("link"))));
  EXPECT_TRUE(token_stream_close(open(dir.file("link1"))));
  EXPECT_FALSE(open(dir.file("loop")));
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("link")));
  EXPECT_EQ(read_file(target).size(), 32u);
  EXPECT_EQ(read_file(dir.file("made.iom")).size(), 32u);
  EXPECT_FALSE(open(dir.file("no/such/dir.iom")));
  EXPECT_FALSE(open(dir.file("sub")));  // a directory
  EXPECT_EQ(dir.entries().size(), 9u);
}

}  // namespace
