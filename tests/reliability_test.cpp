// Limits and faults found by fuzzing: nesting a million tokens deep in
// either encoding, converted on a thread with a small stack (any recursion
// on the input's depth would overflow it), and the regressions of faults
// the fuzz harnesses found in the core.
#include <gtest/gtest.h>
#include <pthread.h>

#include <functional>
#include <string>
#include <vector>

#include "support/bytes.h"
#include "support/source_forms.h"
#include "support/temp_dir.h"
#include "tokenfile/binary/binary_stream.h"
#include "tokenfile/byte_order.h"
#include "tokenfile/dictionary.h"
#include "tokenfile/token_stream.h"

using namespace tokenfile;
using testsupport::Bytes;

namespace {

constexpr uint32_t kDepth = 1000000;
// Far less than a million frames of any function would need.
constexpr size_t kSmallStack = 256 * 1024;

// Runs `work` on a thread whose stack holds kSmallStack bytes.
void on_small_stack(const std::function<void()>& work) {
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, kSmallStack), 0);
  pthread_t thread;
  auto body = [](void* arg) -> void* {
    (*static_cast<const std::function<void()>*>(arg))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, body, const_cast<std::function<void()>*>(&work)), 0);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
  pthread_attr_destroy(&attr);
}

// A keyboard device with one binding, and in it (after the binding) a chain
// of `depth` nested comment tokens, written with `encoding`.
Bytes deep_source(uint32_t encoding, uint32_t depth) {
  auto w = token_stream_open(nullptr, STREAM_WRITE | encoding, u'i', u'0', u'@');
  bool ok = w && w->write_token_open(99, nullptr) && w->write_wstring(u"KEYB") && w->write_uint(0) &&
            w->write_token_open(100, nullptr) && w->write_wstring(u"A") && w->write_wstring(u"jump") &&
            w->write_token_close();
  if (encoding == STREAM_BINARY) {
    for (uint32_t i = 0; ok && i < depth; ++i) ok = w->write_token_open(1, nullptr);
    for (uint32_t i = 0; ok && i < depth; ++i) ok = w->write_token_close();
  }
  ok = ok && w->write_token_close();
  Bytes file;
  ok = ok && token_stream_close_to_bytes(std::move(w), file);
  EXPECT_TRUE(ok);
  if (encoding == STREAM_TEXT && ok) {
    // The text writer indents at most 256 levels, so the chain is laid in
    // by hand, on one line, before the device's closing parenthesis.
    std::u16string chain;
    chain.reserve(depth * 12);
    for (uint32_t i = 0; i < depth; ++i) chain += u"comment ( ";
    for (uint32_t i = 0; i < depth; ++i) chain += u") ";
    size_t close = file.size();
    while (close >= 2 && !(file[close - 2] == ')' && file[close - 1] == 0)) close -= 2;
    Bytes tail(file.begin() + static_cast<std::ptrdiff_t>(close - 2), file.end());
    file.resize(close - 2);
    testsupport::put_wide(file, chain);
    file.insert(file.end(), tail.begin(), tail.end());
  }
  return file;
}

class DeepNesting : public ::testing::TestWithParam<uint32_t> {
 protected:
  static void SetUpTestSuite() { ASSERT_NE(acquire_token_dictionary(), 0); }
  static void TearDownTestSuite() { release_token_dictionary(); }
};

// The reader opens all million tokens and closes them again; the
// conversion skips them and writes the same map as without them.
TEST_P(DeepNesting, AMillionTokensDeep) {
  const uint32_t encoding = GetParam();
  const Bytes deep = deep_source(encoding, kDepth);
  const Bytes shallow = deep_source(encoding, 0);
  ASSERT_GT(deep.size(), 9u * kDepth);

  uint32_t opened = 0;
  on_small_stack([&] {
    auto s = token_stream_open_memory(deep, STREAM_READ, 0, 0);
    ASSERT_TRUE(s);
    uint32_t id;
    char16_t text[256];
    uint32_t number;
    ASSERT_TRUE(s->read_token_open(id, nullptr) && s->read_wstring(text, 256) && s->read_uint(number));
    ASSERT_TRUE(s->read_token_open(id, nullptr) && s->read_token_close());
    while (s->read_token_open(id, nullptr)) {
      ASSERT_EQ(id, 1u);
      ++opened;
    }
    for (uint32_t i = 0; i <= opened; ++i) ASSERT_TRUE(s->read_token_close()) << i;
    ASSERT_FALSE(s->read_token_open(id, nullptr));
    EXPECT_EQ(token_error, ERR_END_OF_DATA);
  });
  EXPECT_EQ(opened, kDepth);

  testsupport::ScratchDir dir;
  testsupport::write_file(dir.file("deep.iom"), deep);
  testsupport::write_file(dir.file("shallow.iom"), shallow);
  for (const char* option : {"", "-text"}) {
    int deep_status = -1;
    testsupport::CaptureConsole console;
    on_small_stack([&] {
      std::vector<std::string> args = {dir.file("deep.iom"), dir.file("deep.out")};
      if (*option) args.push_back(option);
      deep_status = testsupport::run_mapbake(args, console);
    });
    ASSERT_EQ(deep_status, 0) << console.out << console.err;
    std::vector<std::string> args = {dir.file("shallow.iom"), dir.file("shallow.out")};
    if (*option) args.push_back(option);
    ASSERT_EQ(testsupport::run_mapbake(args, console), 0);
    EXPECT_EQ(testsupport::read_file(dir.file("deep.out")), testsupport::read_file(dir.file("shallow.out")));
  }
}

INSTANTIATE_TEST_SUITE_P(Encodings, DeepNesting, ::testing::Values(STREAM_TEXT, STREAM_BINARY),
                         [](const ::testing::TestParamInfo<uint32_t>& info) {
                           return info.param == STREAM_TEXT ? std::string("Text") : std::string("Binary");
                         });

// Found by the binary reader harness: after a token whose end lay past the
// body was closed, `position` stood past the body, and an operation that
// consumed nothing (reading 0 bytes, a block of the token head) moved the
// container's body position there too, past the end of the body.
TEST(BinaryReaderRegression, NothingConsumedPastTheBodyKeepsTheBodyPosition) {
  Bytes file = testsupport::narrow_file_header();
  testsupport::put_str(file, testsupport::binary_header_line());
  testsupport::put_u32(file, 7);
  testsupport::put_u32(file, 200);  // the outer token ends far past the body
  testsupport::put(file, {0});
  testsupport::put_u32(file, 8);
  testsupport::put_u32(file, 100);  // so does the inner one, before the outer
  testsupport::put(file, {0, 1, 2});
  auto s = token_stream_open_memory(file, STREAM_READ, 0, 0);
  ASSERT_TRUE(s);
  uint32_t id;
  ASSERT_TRUE(s->read_token_open(id, nullptr));
  ASSERT_TRUE(s->read_token_open(id, nullptr));
  EXPECT_FALSE(s->read_token_close());  // its end is not in the body
  EXPECT_EQ(token_error, ERR_READ);
  EXPECT_GT(s->position, s->container->body_size);
  uint8_t none[1];
  EXPECT_TRUE(s->read_bytes(none, 0));
  EXPECT_LE(s->container->body_pos, s->container->body_size);
  EXPECT_EQ(s->read_block(), nullptr);  // the rest of the outer token is not there
  EXPECT_LE(s->container->body_pos, s->container->body_size);
}

// Found by the container harness: a Huffman body whose size field is 308
// (an uncompressed length of 0) loaded as an empty body, while an empty
// plain or zlib body does not load; an empty body cannot be saved back in
// any form that loads.
TEST(ContainerRegression, CompressedFilesAnnouncingAnEmptyBodyDoNotLoad) {
  for (const char compression : {'B', 'F'}) {
    auto w = container_create(nullptr, compression, 0);
    ASSERT_TRUE(w);
    const std::string body = "VUXA0i0b______\r\n";
    ASSERT_EQ(container_write(*w, body.data(), 16), 16u);
    Bytes file;
    ASSERT_TRUE(container_close_to_bytes(std::move(w), file));
    ASSERT_TRUE(container_load(Bytes(file))) << compression;
    store_u32le(file.data() + 8, compression == 'B' ? 308 : 0);
    EXPECT_FALSE(container_load(std::move(file))) << compression;
  }
}

}  // namespace
