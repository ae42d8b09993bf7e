// Write-failure injection at close, where the target file is written:
//   - every call of fwrite, fflush, fclose and rename on the target failing
//     in turn (fault_hooks.h), in-process;
//   - a file-size limit (RLIMIT_FSIZE) at every byte of the target, so that
//     the writes come up short wherever the limit falls, in a child process
//     running the driver, and a few times through the real executable.
// Every run must print "Error writing <target>", end with status 1, leave an
// existing target byte for byte as it was (or no target where there was
// none) and leave no temporary file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

#include "app/driver.h"
#include "fault_hooks.h"
#include "support/source_forms.h"
#include "support/temp_dir.h"
#include "tokenfile/dictionary.h"

using testsupport::CaptureConsole;

namespace {

const std::vector<uint8_t> kSentinel = {'o', 'l', 'd', ' ', 't', 'a', 'r', 'g', 'e', 't', '\n'};

// A source map large enough that its target passes the C library's file
// buffer, so that fwrite writes through rather than into the buffer.
std::vector<uint8_t> large_source() {
  EXPECT_NE(tokenfile::acquire_token_dictionary(), 0);
  auto w = tokenfile::token_stream_open(nullptr, tokenfile::STREAM_WRITE | tokenfile::STREAM_TEXT, u'i', u'0',
                                        u'@');
  bool ok = w && w->write_token_open(99, nullptr) && w->write_wstring(u"KEYB") && w->write_uint(0);
  for (int i = 0; ok && i < 1500; ++i) {
    const std::u16string binding = u"binding_number_" + testsupport::widen(std::to_string(i));
    ok = w->write_token_open(100, nullptr) && w->write_wstring(i % 2 ? u"A" : u"PAD_DIVIDE") &&
         w->write_wstring(binding.c_str()) && w->write_wstring(u"SHIFT_DOWN") && w->write_token_close();
  }
  ok = ok && w->write_token_close();
  std::vector<uint8_t> file;
  ok = ok && tokenfile::token_stream_close_to_bytes(std::move(w), file);
  tokenfile::release_token_dictionary();
  EXPECT_TRUE(ok);
  return file;
}

struct Case {
  std::string name;
  std::vector<uint8_t> source;
  bool text_target;
};

std::vector<Case> cases() {
  std::vector<Case> rows;
  for (const auto& form : testsupport::example_source_forms()) {
    if (form.name.rfind("keyboard.", 0) == 0 && (form.name.find("plain") != std::string::npos)) {
      rows.push_back({form.name, form.bytes, false});
      rows.push_back({form.name + " -text", form.bytes, true});
    }
  }
  const auto large = large_source();
  rows.push_back({"large map", large, false});
  rows.push_back({"large map -text", large, true});
  return rows;
}

// One directory with the source and, optionally, an existing target.
class Scene {
 public:
  Scene(const Case& c, bool existing_target) : existing_(existing_target) {
    testsupport::write_file(source_, c.source);
    argv_ = {"mapbake", source_.c_str(), target_.c_str()};
    if (c.text_target) argv_.push_back("-text");
    reset();
  }

  void reset() {
    if (existing_) {
      testsupport::write_file(target_, kSentinel);
    } else {
      std::remove(target_.c_str());
    }
  }

  int run(CaptureConsole& console) {
    return mapbake::run(static_cast<int>(argv_.size()), argv_.data(), console);
  }

  // The target and the directory as they must be after a failed write.
  ::testing::AssertionResult untouched() const {
    const auto entries = dir_.entries();
    if (existing_) {
      if (testsupport::read_file(target_) != kSentinel)
        return ::testing::AssertionFailure() << "target changed";
      if (entries != std::vector<std::string>{"source.iom", "target.iom"})
        return ::testing::AssertionFailure() << "left " << entries.size() << " entries";
    } else if (entries != std::vector<std::string>{"source.iom"}) {
      return ::testing::AssertionFailure() << "left " << entries.size() << " entries";
    }
    return ::testing::AssertionSuccess();
  }

  std::string expected_message() const { return "Error writing " + target_ + "\n"; }
  const std::string& target() const { return target_; }
  int argc() const { return static_cast<int>(argv_.size()); }
  const char* const* argv() const { return argv_.data(); }

 private:
  testsupport::ScratchDir dir_;
  std::string source_ = dir_.file("source.iom");
  std::string target_ = dir_.file("target.iom");
  std::vector<const char*> argv_;
  bool existing_;
};

class WriteFailure : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_NE(tokenfile::acquire_token_dictionary(), 0); }
  static void TearDownTestSuite() { tokenfile::release_token_dictionary(); }
};

TEST_F(WriteFailure, EveryFileCallAtClose) {
  const char* names[] = {"fwrite", "fflush", "fclose", "rename"};
  for (const Case& c : cases()) {
    for (bool existing : {true, false}) {
      Scene scene(c, existing);
      for (int k = 0; k < 4; ++k) {
        const auto call = static_cast<faults::FileCall>(k);
        faults::count_file_calls();
        CaptureConsole clean;
        ASSERT_EQ(scene.run(clean), 0) << c.name;
        faults::stop_file_calls();
        const uint64_t calls = faults::file_calls(call);
        ASSERT_GT(calls, 0u) << c.name << ": " << names[k] << " never called";
        for (uint64_t n = 1; n <= calls; ++n) {
          scene.reset();
          CaptureConsole console;
          faults::fail_file_call(call, n);
          const int status = scene.run(console);
          faults::stop_file_calls();
          const std::string at =
              c.name + (existing ? "" : ", no target") + ", " + names[k] + " " + std::to_string(n);
          EXPECT_TRUE(faults::file_call_failed()) << at;
          EXPECT_EQ(status, 1) << at;
          EXPECT_EQ(console.out, scene.expected_message()) << at;
          EXPECT_TRUE(scene.untouched()) << at;
        }
      }
    }
  }
}

// Runs the driver in a child whose files may not grow past `limit` bytes;
// returns the child's exit status, its standard output in `out`.
int run_limited(const Scene& scene, rlim_t limit, std::string& out) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipe_fds[0]);
    const rlimit r = {limit, limit};
    ::setrlimit(RLIMIT_FSIZE, &r);
    std::signal(SIGXFSZ, SIG_IGN);  // writes past the limit fail with EFBIG
    CaptureConsole console;
    const int status = mapbake::run(scene.argc(), scene.argv(), console);
    (void)!::write(pipe_fds[1], console.out.data(), console.out.size());
    ::_exit(status);
  }
  ::close(pipe_fds[1]);
  char buffer[512];
  ssize_t n;
  out.clear();
  while ((n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<size_t>(n));
  ::close(pipe_fds[0]);
  int raw = 0;
  if (pid < 0 || ::waitpid(pid, &raw, 0) != pid || !WIFEXITED(raw)) return -1;
  return WEXITSTATUS(raw);
}

// Limits for a target of `size` bytes: each of the first 40 (through the
// file header and the stream header line), the last 16, and 32 spread
// between. Wherever the limit falls, the one write of the buffered file (or
// of the body, for a body larger than the buffer) comes up short; every
// call that can fail is swept one by one in EveryFileCallAtClose.
std::vector<rlim_t> limits_for(size_t size) {
  std::vector<rlim_t> limits;
  const size_t stride = size / 32 + 1;
  for (size_t k = 0; k < size; ++k)
    if (k < 40 || k + 16 >= size || k % stride == 0) limits.push_back(k);
  return limits;
}

TEST_F(WriteFailure, FileSizeLimitThroughoutTheTarget) {
  for (const Case& c : cases()) {
    Scene scene(c, true);
    CaptureConsole clean;
    ASSERT_EQ(scene.run(clean), 0) << c.name;
    const size_t size = testsupport::read_file(scene.target()).size();
    std::string out;
    for (rlim_t limit : limits_for(size)) {
      scene.reset();
      const int status = run_limited(scene, limit, out);
      const std::string at = c.name + ", limit " + std::to_string(limit) + " of " + std::to_string(size);
      ASSERT_EQ(status, 1) << at;
      EXPECT_EQ(out, scene.expected_message()) << at;
      EXPECT_TRUE(scene.untouched()) << at;
    }
    // At the target's own size the write fits.
    scene.reset();
    EXPECT_EQ(run_limited(scene, size, out), 0) << c.name;
    EXPECT_EQ(out, "") << c.name;
  }
}

// The real executable under the same limit; its standard output goes
// through a pipe, which the limit does not touch.
TEST_F(WriteFailure, FileSizeLimitThroughTheProgram) {
  const Case c = cases().front();
  Scene scene(c, true);
  CaptureConsole clean;
  ASSERT_EQ(scene.run(clean), 0);
  const size_t size = testsupport::read_file(scene.target()).size();
  for (const rlim_t limit :
       {rlim_t{0}, rlim_t{15}, rlim_t{16}, rlim_t{size / 2}, rlim_t{size - 1}, rlim_t{size}}) {
    scene.reset();
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
      const rlimit r = {limit, limit};
      ::setrlimit(RLIMIT_FSIZE, &r);
      std::signal(SIGXFSZ, SIG_IGN);
      ::dup2(pipe_fds[1], STDOUT_FILENO);
      const int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, STDERR_FILENO);  // the diagnostics are not checked here
      ::close(pipe_fds[0]);
      ::close(pipe_fds[1]);
      ::execl(MAPBAKE_EXE, "mapbake", scene.argv()[1], scene.argv()[2], static_cast<char*>(nullptr));
      ::_exit(98);
    }
    ::close(pipe_fds[1]);
    std::string message;
    char buffer[512];
    ssize_t n;
    while ((n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0)
      message.append(buffer, static_cast<size_t>(n));
    ::close(pipe_fds[0]);
    int raw = 0;
    ASSERT_EQ(::waitpid(pid, &raw, 0), pid);
    ASSERT_TRUE(WIFEXITED(raw));
    const std::string at = "limit " + std::to_string(limit);
    if (limit == size) {
      EXPECT_EQ(WEXITSTATUS(raw), 0) << at;
      EXPECT_EQ(message, "") << at;
    } else {
      EXPECT_EQ(WEXITSTATUS(raw), 1) << at;
      EXPECT_EQ(message, scene.expected_message()) << at;
      EXPECT_TRUE(scene.untouched()) << at;
    }
  }
}

}  // namespace
