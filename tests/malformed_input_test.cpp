// Malformed-input sweeps: every example map in every stored form, cut at
// every length and with every single bit of its first 4 KiB flipped, run
// through mapbake in-process. Each run must end with status 0 and no message,
// or status 1 and exactly one message of the table; the existing target must
// afterwards be either a whole token file (status 0) or byte for byte what
// it was (status 1); no temporary file may be left beside it. A few of the
// same inputs also go through the real executable.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/source_forms.h"
#include "support/temp_dir.h"
#include "tokenfile/dictionary.h"

using testsupport::CaptureConsole;
using testsupport::example_source_forms;
using testsupport::SourceForm;

namespace {

const std::vector<uint8_t> kSentinel = {'o', 'l', 'd', ' ', 't', 'a', 'r', 'g', 'e', 't', '\n'};

// Runs mapbake on `source` bytes, with a target that already exists, and
// checks the outcome. Returns the status (or -1 after a failed check).
class SweepRun {
 public:
  SweepRun() : source_(dir_.file("source.iom")), target_(dir_.file("target.iom")) {
    testsupport::write_file(target_, kSentinel);
  }

  int run(const std::vector<uint8_t>& source, bool text_target, const std::string& what) {
    testsupport::write_file(source_, source);
    CaptureConsole console;
    std::vector<std::string> args = {source_, target_};
    if (text_target) args.push_back("-text");
    const int status = testsupport::run_mapbake(args, console);
    const std::vector<uint8_t> target = testsupport::read_file(target_);
    bool ok = true;
    if (status == 0) {
      ok = console.out.empty() && target != kSentinel && testsupport::runtime_map_reads_whole(target);
      testsupport::write_file(target_, kSentinel);
    } else {
      ok = status == 1 && testsupport::is_failure_message(console.out, source_, target_) &&
           target == kSentinel;
    }
    EXPECT_TRUE(ok) << what << ": status " << status << ", out \"" << console.out << "\", err \""
                    << console.err << "\", target of " << target.size() << " bytes";
    return ok ? status : -1;
  }

  // Whether the directory holds the source and the target alone. A
  // temporary file left by any run stays, so one look at the end of a
  // sweep finds it.
  bool nothing_left_over() const {
    return dir_.entries() == std::vector<std::string>{"source.iom", "target.iom"};
  }

 private:
  testsupport::ScratchDir dir_;
  std::string source_;
  std::string target_;
};

class MalformedInput : public ::testing::TestWithParam<size_t> {
 protected:
  // Held across the sweep so that each run's acquire only counts: building
  // the index is most of what a run of a small map costs.
  static void SetUpTestSuite() { ASSERT_NE(tokenfile::acquire_token_dictionary(), 0); }
  static void TearDownTestSuite() { tokenfile::release_token_dictionary(); }

  const SourceForm& form() const { return example_source_forms()[GetParam()]; }
};

TEST_P(MalformedInput, EveryTruncation) {
  const auto& bytes = form().bytes;
  ASSERT_FALSE(bytes.empty());
  SweepRun sweep;
  ASSERT_EQ(sweep.run(bytes, false, "whole file"), 0);
  size_t failures = 0;
  for (size_t n = 0; n < bytes.size(); ++n) {
    const std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
    const int status = sweep.run(cut, n % 2 == 1, "cut to " + std::to_string(n));
    ASSERT_NE(status, -1);
    failures += status == 1;
  }
  // Most cuts break the file; a cut between two top-level tokens of a
  // plain body is a shorter, valid map.
  EXPECT_GT(failures, bytes.size() / 2);
  EXPECT_TRUE(sweep.nothing_left_over());
}

TEST_P(MalformedInput, EveryBitFlipOfTheFirst4KiB) {
  auto bytes = form().bytes;
  SweepRun sweep;
  const size_t end = std::min<size_t>(bytes.size(), 4096);
  for (size_t i = 0; i < end; ++i) {
    for (int bit = 0; bit < 8; ++bit) {
      bytes[i] ^= static_cast<uint8_t>(1u << bit);
      const int status =
          sweep.run(bytes, bit % 2 == 1, "byte " + std::to_string(i) + " bit " + std::to_string(bit));
      bytes[i] ^= static_cast<uint8_t>(1u << bit);
      ASSERT_NE(status, -1);
    }
  }
  EXPECT_TRUE(sweep.nothing_left_over());
}

std::string form_name(const ::testing::TestParamInfo<size_t>& info) {
  std::string name = example_source_forms()[info.param].name;
  for (char& c : name)
    if (c == '.' || c == '-') c = '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Examples, MalformedInput, ::testing::Range<size_t>(0, example_source_forms().size()),
                         form_name);

// The executable itself on a handful of the same inputs: statuses and
// messages as in-process, the target untouched after a failure.
TEST(MalformedInputExecutable, CutAndFlippedSourcesThroughTheProgram) {
  testsupport::TempDir dir;
  const std::string source = dir.file("source.iom");
  const std::string target = dir.file("target.iom");
  const std::string out = dir.file("stdout.txt");
  for (const SourceForm& form : example_source_forms()) {
    std::vector<std::vector<uint8_t>> inputs = {form.bytes};
    inputs.emplace_back(form.bytes.begin(),
                        form.bytes.begin() + static_cast<std::ptrdiff_t>(form.bytes.size() / 2));
    inputs.push_back(form.bytes);
    inputs.back()[inputs.back().size() / 3] ^= 0x10;
    for (const auto& input : inputs) {
      testsupport::write_file(source, input);
      testsupport::write_file(target, kSentinel);
      const std::string command =
          std::string(MAPBAKE_EXE) + " '" + source + "' '" + target + "' >'" + out + "' 2>/dev/null";
      const int raw = std::system(command.c_str());
      ASSERT_TRUE(WIFEXITED(raw)) << form.name;
      const int status = WEXITSTATUS(raw);
      const std::vector<uint8_t> printed = testsupport::read_file(out);
      const std::string message(printed.begin(), printed.end());
      const std::vector<uint8_t> written = testsupport::read_file(target);
      if (status == 0) {
        EXPECT_EQ(message, "") << form.name;
        EXPECT_TRUE(testsupport::runtime_map_reads_whole(written)) << form.name;
      } else {
        EXPECT_EQ(status, 1) << form.name;
        EXPECT_TRUE(testsupport::is_failure_message(message, source, target)) << form.name << ": " << message;
        EXPECT_EQ(written, kSentinel) << form.name;
      }
      EXPECT_EQ(dir.entries(), (std::vector<std::string>{"source.iom", "stdout.txt", "target.iom"}))
          << form.name;
    }
  }
}

}  // namespace
