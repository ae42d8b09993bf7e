// mapbake runs in-process with the N-th allocation failing, for every N, or
// with a file call on the target failing, for every such call: each run
// ends in status 0 with the undisturbed result or in status 1 with one
// message, leaks nothing, leaves an existing target as it was and leaves no
// other file behind.
#include <gtest/gtest.h>

#include "app/driver.h"
#include "fault_hooks.h"
#include "support/source_forms.h"
#include "support/temp_dir.h"
#include "tokenfile/dictionary.h"

using testsupport::Bytes;

namespace {

const Bytes old = {'o', 'l', 'd'};

// A source, an existing target or none, and the command line; the faults
// are armed around the run alone.
struct Scene {
  testsupport::TempDir dir;
  std::string source = dir.file("source.iom"), target = dir.file("target.iom");
  std::vector<const char*> argv;
  testsupport::Capture console;
  void prepare(const Bytes& input, bool text, bool existing = true) {
    testsupport::write_file(source, input);
    if (existing) testsupport::write_file(target, old);
    if (!existing) std::remove(target.c_str());
    argv = {"mapbake", source.c_str(), target.c_str()};
    if (text) argv.push_back("-text");
    console.out.clear(), console.err.clear();
    console.out.reserve(512), console.err.reserve(1024);
  }
  int run() { return mapbake::run(static_cast<int>(argv.size()), argv.data(), console); }
};

std::vector<testsupport::SourceForm> forms(std::u16string_view map) {
  EXPECT_NE(tokenfile::acquire_token_dictionary(), 0);
  auto all = testsupport::source_forms(map);
  tokenfile::release_token_dictionary();
  return all;
}

TEST(Injection, EveryAllocationOfARun) {
  Scene scene;
  for (const auto& form : forms(u"io_dev ( JOY 3 sguid ( 03 01 02 ) io_map ( X roll SHIFT_UP ) )")) {
    for (const bool text : {false, true}) {
      scene.prepare(form.bytes, text);
      ASSERT_EQ(scene.run(), 0) << form.name;
      const Bytes reference = testsupport::read_file(scene.target);
      for (const bool persistent : {false, true}) {
        for (uint64_t n = 1;; ++n) {
          scene.prepare(form.bytes, text);
          const int64_t live = faults::live_allocations();
          faults::fail_allocation(n, persistent);
          const int status = scene.run();
          const bool injected = faults::allocation_failed();
          faults::fail_allocation(0);
          const int64_t leaked = faults::live_allocations() - live;
          const auto& console = scene.console;
          const std::string at = form.name + (text ? " -text" : "") + (persistent ? " from " : " at ") +
                                 std::to_string(n) + ": " + console.out + console.err;
          EXPECT_EQ(leaked, 0) << at;
          EXPECT_EQ(testsupport::read_file(scene.target), status == 0 ? reference : old) << at;
          EXPECT_TRUE(status == 0 ? console.out.empty()
                                  : status == 1 && (testsupport::is_one_message(console.out, scene.source,
                                                                                scene.target) ||
                                                    console.out == "Invalid file path\n" ||
                                                    console.out.empty()))
              << at;
          EXPECT_EQ(scene.dir.entries(), (std::vector<std::string>{"source.iom", "target.iom"})) << at;
          if (HasFailure() || !injected) break;
        }
      }
    }
  }
}

TEST(Injection, EveryFileCallOnTheTarget) {
  std::u16string big = u"io_dev ( KEYB 0";
  for (int i = 0; i < 1500; ++i) big += u" io_map ( A binding SHIFT_DOWN )";
  const char* names[] = {"fwrite", "fflush", "fclose", "rename"};
  Scene scene;
  for (const auto& map : {forms(u"io_dev ( MOUSE 0 io_map ( X x ) )")[0], forms(big + u" )")[0]}) {
    for (const bool text : {false, true}) {
      for (const bool existing : {true, false}) {
        for (int k = 0; k < 4; ++k) {
          const auto call = static_cast<faults::FileCall>(k);
          scene.prepare(map.bytes, text, existing);
          faults::fail_file_call(call, 0);
          ASSERT_EQ(scene.run(), 0);
          const uint64_t calls = faults::file_calls(call);
          ASSERT_GT(calls, 0u) << names[k];
          for (uint64_t n = 1; n <= calls; ++n) {
            scene.prepare(map.bytes, text, existing);
            faults::fail_file_call(call, n);
            const int status = scene.run();
            faults::fail_file_call(call, 0);
            const auto& console = scene.console;
            SCOPED_TRACE(std::string(names[k]) + " " + std::to_string(n) + (existing ? "" : " no target"));
            EXPECT_EQ(status, 1);
            EXPECT_EQ(console.out, "Error writing " + scene.target + "\n");
            EXPECT_EQ(console.err, scene.target + ": error: the output file could not be written: Input/output "
                                                  "error; an existing file is left as it was\n");
            EXPECT_EQ(scene.dir.entries().size(), existing ? 2u : 1u);
            EXPECT_EQ(testsupport::read_file(scene.target), existing ? old : Bytes{});
          }
        }
      }
    }
  }
}

}  // namespace
