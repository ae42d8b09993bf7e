// Allocation-failure injection: the N-th allocation fails, for every N, while
// an example map is opened, converted and closed, in every pairing of
// source form (text or binary; plain, Huffman or zlib) and target form. Every
// run must end in a clean failure at one of the three steps, or in a success
// that wrote exactly the bytes of an undisturbed run; nothing may leak and
// no temporary file may stay. The same sweep runs through mapbake's driver,
// where an existing target must survive every failure byte for byte.
//
// Also here, since they need the allocation accounting: forged size fields
// and token lengths fail at once, without large allocations.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/convert.h"
#include "app/driver.h"
#include "fault_hooks.h"
#include "support/bytes.h"
#include "support/source_forms.h"
#include "support/temp_dir.h"
#include "tokenfile/byte_order.h"
#include "tokenfile/dictionary.h"
#include "tokenfile/file_container.h"
#include "tokenfile/token_stream.h"

using namespace tokenfile;
using testsupport::CaptureConsole;
using testsupport::example_source_forms;
using testsupport::SourceForm;

namespace {

enum class Step { None, OpenSource, OpenTarget, Convert, Close };

const char* step_name(Step s) {
  switch (s) {
    case Step::None:
      return "success";
    case Step::OpenSource:
      return "opening the source";
    case Step::OpenTarget:
      return "opening the target";
    case Step::Convert:
      return "converting";
    case Step::Close:
      return "closing the target";
  }
  return "?";
}

struct LibraryRun {
  Step failed = Step::None;
  int64_t leaked = 0;  // allocations the three steps left behind
  int32_t code = 0;    // token_error after a failed open
  std::string message;
  std::vector<uint8_t> target;
  std::vector<std::string> entries;  // of the directory, afterwards
};

// Opens `source`, converts it into `target` (which does not exist before)
// and closes both, as the driver does, through the library alone. The
// failure, when one is asked for, is armed around these three steps only.
LibraryRun open_convert_close(const testsupport::ScratchDir& dir, uint32_t encoding, char16_t compression,
                              uint64_t fail_at = 0, bool persistent = false) {
  LibraryRun r;
  const std::u16string source = testsupport::widen(dir.file("source.iom"));
  const std::u16string target = testsupport::widen(dir.file("target.iom"));
  CaptureConsole console;
  console.out.reserve(256);
  console.err.reserve(1024);
  token_error = 0;
  const int64_t live = faults::live_allocations();
  faults::fail_allocation(fail_at, persistent);
  {
    auto in = token_stream_open_path(source.c_str(), STREAM_READ, 0, 0, u'@');
    if (!in) {
      r.failed = Step::OpenSource;
    } else if (auto out =
                   token_stream_open_path(target.c_str(), STREAM_WRITE | encoding, u'i', u'0', compression);
               !out) {
      r.failed = Step::OpenTarget;
    } else if (!mapbake::convert_input_map(*in, *out, console, "source.iom")) {
      r.failed = Step::Convert;
      token_stream_discard(std::move(out));
    } else if (!token_stream_close(std::move(out))) {
      r.failed = Step::Close;
    }
    r.code = token_error;
  }
  faults::stop_allocations();
  r.leaked = faults::live_allocations() - live;
  r.message = console.out;
  r.target = testsupport::read_file(dir.file("target.iom"));
  r.entries = dir.entries();
  return r;
}

class AllocationFailure : public ::testing::TestWithParam<size_t> {
 protected:
  static void SetUpTestSuite() { ASSERT_NE(acquire_token_dictionary(), 0); }
  static void TearDownTestSuite() { release_token_dictionary(); }
  const SourceForm& form() const { return example_source_forms()[GetParam()]; }
};

// Sweeps N over one pairing. `persistent` fails every allocation from the
// N-th on instead of the N-th alone. Returns the number of runs.
uint64_t sweep_library(const SourceForm& form, uint32_t encoding, char16_t compression, bool persistent) {
  testsupport::ScratchDir dir;
  testsupport::write_file(dir.file("source.iom"), form.bytes);
  const std::string what = form.name + (encoding == STREAM_TEXT ? " to text " : " to binary ") +
                           static_cast<char>(compression) + (persistent ? " (persistent)" : "");

  const LibraryRun reference = open_convert_close(dir, encoding, compression);  // also warms up
  EXPECT_EQ(reference.failed, Step::None) << what;
  std::remove(dir.file("target.iom").c_str());

  // Failures seen at each step: every step that allocates must be reached.
  uint64_t failed_at[5] = {};
  uint64_t n = 1;
  for (;; ++n) {
    const LibraryRun r = open_convert_close(dir, encoding, compression, n, persistent);
    ++failed_at[static_cast<int>(r.failed)];
    const bool injected = faults::allocation_failed();
    const std::string at = what + ", allocation " + std::to_string(n) + ": " + step_name(r.failed);
    EXPECT_EQ(r.leaked, 0) << at << ": leak";
    if (r.failed == Step::None) {
      EXPECT_EQ(r.target, reference.target) << at;
      EXPECT_EQ(r.entries, (std::vector<std::string>{"source.iom", "target.iom"})) << at;
      std::remove(dir.file("target.iom").c_str());
    } else {
      EXPECT_TRUE(injected) << at;
      EXPECT_EQ(r.entries, std::vector<std::string>{"source.iom"}) << at << ": target or temporary file left";
      if (r.failed == Step::OpenSource || r.failed == Step::OpenTarget) {
        EXPECT_TRUE(r.code == 0 || r.code == ERR_NO_MEMORY || r.code == ERR_BAD_VALUE)
            << at << ": code " << r.code;
      }
      if (r.failed == Step::Convert && !persistent) {
        EXPECT_EQ(r.message.rfind("Error converting file (source file line ", 0), 0u)
            << at << ": " << r.message;
      }
    }
    if (::testing::Test::HasFailure()) break;
    if (!injected) break;  // the run needed fewer than n allocations
  }
  EXPECT_GT(failed_at[static_cast<int>(Step::OpenSource)], 0u) << what;
  EXPECT_GT(failed_at[static_cast<int>(Step::OpenTarget)], 0u) << what;
  EXPECT_GT(failed_at[static_cast<int>(Step::Convert)], 0u) << what;
  // Only compression allocates at close.
  if (compression != u'@') {
    EXPECT_GT(failed_at[static_cast<int>(Step::Close)], 0u) << what;
  }
  return n;
}

TEST_P(AllocationFailure, EveryAllocationOfOpenConvertClose) {
  uint64_t runs = 0;
  for (const auto& form : testsupport::kStoredForms) {
    for (bool persistent : {false, true}) {
      runs += sweep_library(this->form(), form.encoding, form.compression, persistent);
      if (HasFailure()) return;
    }
  }
  RecordProperty("runs", std::to_string(runs));
}

// The driver: an existing target stays as it was after every failure.
TEST_P(AllocationFailure, EveryAllocationOfAMapbakeRun) {
  const std::vector<uint8_t> sentinel = {'o', 'l', 'd', '\n'};
  for (const bool text : {false, true}) {
    testsupport::ScratchDir dir;
    const std::string source = dir.file("source.iom");
    const std::string target = dir.file("target.iom");
    testsupport::write_file(source, form().bytes);
    std::vector<const char*> argv = {"mapbake", source.c_str(), target.c_str()};
    if (text) argv.push_back("-text");
    const int argc = static_cast<int>(argv.size());
    CaptureConsole first;
    ASSERT_EQ(mapbake::run(argc, argv.data(), first), 0);
    const std::vector<uint8_t> reference = testsupport::read_file(target);

    for (uint64_t n = 1;; ++n) {
      testsupport::write_file(target, sentinel);
      CaptureConsole console;
      console.out.reserve(256);
      console.err.reserve(1024);
      const int64_t live = faults::live_allocations();
      faults::fail_allocation(n);
      const int status = mapbake::run(argc, argv.data(), console);
      faults::stop_allocations();
      const int64_t leaked = faults::live_allocations() - live;
      const std::string at = form().name + (text ? " -text" : "") + ", allocation " + std::to_string(n);
      EXPECT_EQ(leaked, 0) << at << ": leak";
      const std::vector<uint8_t> written = testsupport::read_file(target);
      if (status == 0) {
        EXPECT_EQ(console.out, "") << at;
        EXPECT_EQ(written, reference) << at;
      } else {
        EXPECT_EQ(status, 1) << at;
        EXPECT_EQ(written, sentinel) << at;
        // The failure is one message of the table, or, when the memory ran
        // out before there was anything to report, the diagnostic alone.
        // Memory running out while a name is resolved to a full path reads
        // as a path that cannot be resolved.
        const bool message = testsupport::is_failure_message(console.out, source, target) ||
                             console.out == "Invalid file path\n";
        const bool memory_only =
            console.out.empty() && console.err.find("out of memory") != std::string::npos;
        EXPECT_TRUE(message || memory_only) << at << ": \"" << console.out << "\" / \"" << console.err << '"';
      }
      EXPECT_EQ(dir.entries(), (std::vector<std::string>{"source.iom", "target.iom"})) << at;
      if (HasFailure() || !faults::allocation_failed()) break;
    }
  }
}

std::string form_name(const ::testing::TestParamInfo<size_t>& info) {
  std::string name = example_source_forms()[info.param].name;
  for (char& c : name)
    if (c == '.' || c == '-') c = '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Examples, AllocationFailure,
                         ::testing::Range<size_t>(0, example_source_forms().size()), form_name);

// --- forged sizes ---

// Bytes of a file whose size fields or lengths claim far more than it holds.
struct Forged {
  const char* what;
  std::vector<uint8_t> file;
};

std::vector<Forged> forged_files() {
  const std::vector<uint8_t> plain = example_source_forms().front().bytes;  // a text source
  std::vector<Forged> rows;
  for (char16_t compression : {u'F', u'B'}) {
    auto file = testsupport::encode_source_map(plain, STREAM_BINARY, compression);
    store_u32le(file.data() + 8, 0xFFFFFFFFu);  // a size field of 4 GiB
    rows.push_back({compression == u'F' ? "zlib size field 4 GiB" : "Huffman size field 4 GiB", file});
    store_u32le(file.data() + 8, 0x80000000u);
    rows.push_back({compression == u'F' ? "zlib size field 2 GiB" : "Huffman size field 2 GiB", file});
  }
  // Binary bodies whose first token, or its first child, claims a length
  // of 0xFFFFFFF0; and a string count of 65535 in a small token.
  testsupport::Bytes body = testsupport::narrow_file_header();
  testsupport::put_str(body, testsupport::binary_header_line());
  testsupport::Bytes top = body;
  testsupport::put_u32(top, 99);
  testsupport::put_u32(top, 0xFFFFFFF0u);
  testsupport::put(top, {0, 4, 0, 'K', 0, 'E', 0, 'Y', 0, 'B', 0, 0, 0, 0, 0});
  rows.push_back({"token length 0xFFFFFFF0", top});
  testsupport::Bytes child = body;
  testsupport::put_u32(child, 99);
  testsupport::put_u32(child, 40);
  testsupport::put(child, {0, 4, 0, 'K', 0, 'E', 0, 'Y', 0, 'B', 0, 0, 0, 0, 0});
  testsupport::put_u32(child, 100);
  testsupport::put_u32(child, 0xFFFFFFF0u);
  testsupport::put(child, {0, 0xFF, 0xFF, 'A', 0});
  rows.push_back({"child length 0xFFFFFFF0 and a string count of 65535", child});
  return rows;
}

class ForgedSizes : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_NE(acquire_token_dictionary(), 0); }
  static void TearDownTestSuite() { release_token_dictionary(); }
};

// Nothing is allocated in proportion to a claimed size: the largest single
// allocation stays below 64 KiB for files of a few hundred bytes.
TEST_F(ForgedSizes, FailAtOnceWithoutLargeAllocations) {
  constexpr size_t kSmall = 64 * 1024;
  for (const Forged& row : forged_files()) {
    faults::count_allocations();
    auto container = container_load(std::vector<uint8_t>(row.file));
    const bool loaded = container != nullptr;
    container.reset();
    faults::stop_allocations();
    EXPECT_LT(faults::largest_allocation(), kSmall) << row.what << ": loading";

    testsupport::ScratchDir dir;
    testsupport::write_file(dir.file("source.iom"), row.file);
    CaptureConsole console;
    faults::count_allocations();
    const int status = testsupport::run_mapbake({dir.file("source.iom"), dir.file("target.iom")}, console);
    faults::stop_allocations();
    EXPECT_EQ(status, 1) << row.what;
    EXPECT_TRUE(testsupport::is_failure_message(console.out, dir.file("source.iom"), dir.file("target.iom")))
        << row.what << ": " << console.out;
    EXPECT_LT(faults::largest_allocation(), kSmall) << row.what << ": converting";
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"source.iom"}) << row.what;
    // The compressed ones fail to load; the binary bodies load and fail in
    // the conversion.
    EXPECT_EQ(loaded, std::string(row.what).find("size field") == std::string::npos) << row.what;
  }
}

}  // namespace
