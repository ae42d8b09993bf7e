#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <random>

#include "support/bytes.h"
#include "tokenfile/byte_order.h"
#include "tokenfile/file_container.h"

using namespace tokenfile;
using testsupport::Bytes;

namespace {

Bytes body_of(const FileContainer& c) { return Bytes(c.body(), c.body() + c.body_size); }

Bytes zlib_file(const Bytes& body, uint32_t size_field) {
  uLongf room = compressBound(body.size());
  Bytes packed(room);
  EXPECT_EQ(compress(packed.data(), &room, body.data(), body.size()), Z_OK);
  packed.resize(room);
  Bytes f = {'T', 'O', 'R', 'V', 'I', 'A', '@', 'F'};
  testsupport::put_u32(f, size_field);
  testsupport::put_str(f, "@@@@");
  f.insert(f.end(), packed.begin(), packed.end());
  return f;
}

TEST(ContainerLoad, HeaderForms) {
  const std::string body = "VUXA0i0b______\r\n";
  Bytes narrow = testsupport::narrow_file_header();
  testsupport::put_str(narrow, body);
  auto c = container_load(Bytes(narrow));
  ASSERT_TRUE(c);  // the 32-byte file with no token loads
  EXPECT_EQ(body_of(*c), Bytes(body.begin(), body.end()));
  EXPECT_EQ(c->wide_header, 0);
  EXPECT_EQ(c->compression(), '@');

  Bytes wide = {0xFF, 0xFE};
  testsupport::put_wide(wide, u"TORVIA@@@@@@@@@@");
  testsupport::put_wide(wide, u"VUXA0i0t______\r\n");
  ASSERT_EQ(wide.size(), 66u);
  c = container_load(Bytes(wide));
  ASSERT_TRUE(c);
  EXPECT_EQ(c->wide_header, 1);
  EXPECT_EQ(c->body_size, 32u);
  EXPECT_EQ(std::memcmp(c->header, "TORVIA@@@@@@@@@@", 16), 0);

  // Headerless: the whole file is the body, from byte 0, even a short one.
  c = container_load(Bytes(body.begin(), body.end()));
  ASSERT_TRUE(c);
  EXPECT_EQ(c->body_size, 16u);
  EXPECT_EQ(std::memcmp(c->header, "@@@@@@@@@@@@@@@@", 16), 0);
  c = container_load(Bytes{'x'});
  ASSERT_TRUE(c);
  EXPECT_EQ(c->body_size, 1u);

  // A byte-order mark without the magic is part of a headerless body.
  Bytes bom = {0xFF, 0xFE};
  testsupport::put_wide(bom, u"VUXA0i0t______\r\n");
  c = container_load(Bytes(bom));
  ASSERT_TRUE(c);
  EXPECT_EQ(c->body_size, 34u);
  EXPECT_EQ(c->body()[0], 0xFF);

  // Bytes 5, 6 and 12 to 15 are not checked.
  Bytes loose = narrow;
  loose[5] = 'Z';
  loose[6] = 'Z';
  loose[12] = 0;
  loose[15] = 9;
  EXPECT_TRUE(container_load(std::move(loose)));
}

TEST(ContainerLoad, Rejections) {
  struct Row {
    const char* what;
    Bytes file;
  };
  Bytes bad_compression = testsupport::narrow_file_header();
  bad_compression[7] = 'C';
  testsupport::put_str(bad_compression, "VUXA0i0b______\r\n");
  Bytes wide_short = {0xFF, 0xFE};
  testsupport::put_wide(wide_short, u"TORVIA@@@@@@@");
  Bytes wide_no_body = {0xFF, 0xFE};
  testsupport::put_wide(wide_no_body, u"TORVIA@@@@@@@@@@");
  Bytes b_short = testsupport::narrow_file_header();
  b_short[7] = 'B';
  b_short.resize(16 + 200);
  Row rows[] = {
      {"empty file", {}},
      {"magic but no full header", {'T', 'O', 'R', 'V', 'I', 'A', '@', '@'}},
      {"header but empty body", testsupport::narrow_file_header()},
      {"unknown compression", bad_compression},
      {"UTF-16 header cut short", wide_short},
      {"UTF-16 header without body", wide_no_body},
      {"Huffman table cut short", b_short},
  };
  for (auto& r : rows) EXPECT_FALSE(container_load(std::move(r.file))) << r.what;
}

TEST(ContainerLoad, ZlibBodiesAndForgedSizes) {
  Bytes body(5000);
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<uint8_t>(i * 7 % 13);
  auto c = container_load(zlib_file(body, 5000));
  ASSERT_TRUE(c);
  EXPECT_EQ(body_of(*c), body);
  EXPECT_FALSE(container_load(zlib_file(body, 5001)));  // larger than the true length
  EXPECT_FALSE(container_load(zlib_file(body, 4999)));
  EXPECT_FALSE(container_load(zlib_file(body, 0)));
  // A 4 GiB size field in a small file fails before anything that large is
  // reserved (it would need more than zlib's largest expansion).
  EXPECT_FALSE(container_load(zlib_file(body, 0xFFFFFFFF)));
  Bytes damaged = zlib_file(body, 5000);
  damaged[20] ^= 0x55;
  EXPECT_FALSE(container_load(std::move(damaged)));
}

TEST(ContainerLoad, FromFile) {
  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  Bytes file = testsupport::narrow_file_header();
  testsupport::put_str(file, "VUXA0i0b______\r\nxyz");
  ASSERT_EQ(std::fwrite(file.data(), 1, file.size(), f), file.size());
  auto c = container_open(f, CONTAINER_READ, 0, 0);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->body_size, 19u);
  EXPECT_EQ(c->file, f);
  EXPECT_NE(container_close(std::move(c)), 0);
  std::fclose(f);
}

TEST(ContainerBody, SeekReadWrite) {
  auto c = container_create(nullptr, '@', 0);
  ASSERT_TRUE(c);
  const uint8_t eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(container_write(*c, eight, 8), 8u);
  EXPECT_EQ(container_seek(*c, -4, ORIGIN_CURRENT), 4u);
  EXPECT_EQ(container_write(*c, eight, 2), 2u);
  EXPECT_EQ(c->body_size, 8u);
  EXPECT_EQ(c->body_pos, 6u);
  EXPECT_EQ(container_seek(*c, -2, ORIGIN_CURRENT), 4u);
  EXPECT_EQ(container_write(*c, eight, 6), 6u);
  EXPECT_EQ(c->body_size, 10u);
  EXPECT_EQ(body_of(*c), (Bytes{1, 2, 3, 4, 1, 2, 3, 4, 5, 6}));

  EXPECT_EQ(container_seek(*c, 8, ORIGIN_START), 8u);
  EXPECT_EQ(container_seek(*c, -9, ORIGIN_CURRENT), CONTAINER_FAILED);
  EXPECT_EQ(c->body_pos, 8u);
  EXPECT_EQ(container_seek(*c, 1, ORIGIN_END), CONTAINER_FAILED);
  EXPECT_EQ(container_seek(*c, -10, ORIGIN_END), 0u);
  EXPECT_EQ(container_seek(*c, 10, ORIGIN_START), 10u);  // the end itself is allowed

  uint8_t out[16];
  EXPECT_EQ(container_seek(*c, 7, ORIGIN_START), 7u);
  EXPECT_EQ(container_read(*c, out, 16), 3u);  // what is left
  EXPECT_EQ(out[0], 4);
  EXPECT_EQ(container_read(*c, out, 16), 0u);  // at the end
}

TEST(ContainerBody, AppendingIsAmortised) {
  // Exact-size growth would copy the body on every append: 4 MiB in 4-byte
  // pieces would then move terabytes. Count reallocations instead of time.
  auto c = container_create(nullptr, '@', 0);
  const uint8_t piece[4] = {1, 2, 3, 4};
  const uint8_t* last = nullptr;
  int moves = 0;
  for (int i = 0; i < (1 << 20); ++i) {
    ASSERT_EQ(container_write(*c, piece, 4), 4u);
    if (c->storage.data() != last) {
      ++moves;
      last = c->storage.data();
    }
  }
  EXPECT_EQ(c->body_size, 4u << 20);
  EXPECT_LT(moves, 64);
}

TEST(ContainerSave, HeadersAndRoundTrips) {
  const Bytes body = {'V', 'U', 'X', 'A', 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14};
  for (char compression : {'@', 'F', 'B', 'Q'}) {
    for (int wide : {0, 1}) {
      SCOPED_TRACE(std::string(1, compression) + (wide ? " wide" : " narrow"));
      auto c = container_create(nullptr, compression, wide);
      ASSERT_EQ(container_write(*c, body.data(), static_cast<uint32_t>(body.size())), body.size());
      Bytes file;
      ASSERT_NE(container_close_to_bytes(std::move(c), file), 0);
      const size_t header = wide ? 34 : 16;
      ASSERT_GT(file.size(), header);
      uint8_t h[16];
      for (int i = 0; i < 16; ++i) h[i] = wide ? file[2 + 2 * i] : file[i];
      if (wide) {
        EXPECT_EQ(file[0], 0xFF);
        EXPECT_EQ(file[1], 0xFE);
        for (int i = 0; i < 16; ++i) EXPECT_EQ(file[3 + 2 * i], 0);
      }
      EXPECT_EQ(std::memcmp(h, "TORVIA@", 7), 0);
      const char stored = (compression == 'F' || compression == 'B') ? compression : '@';
      EXPECT_EQ(h[7], stored);
      if (stored == 'F') {
        EXPECT_EQ(load_u32le(h + 8), body.size());
      } else if (stored == 'B') {
        EXPECT_EQ(load_u32le(h + 8), body.size() + 308);
      } else {
        EXPECT_EQ(std::memcmp(h + 8, "@@@@@@@@", 8), 0);
      }
      auto back = container_load(std::move(file));
      ASSERT_TRUE(back);
      EXPECT_EQ(body_of(*back), body);
    }
  }
}

TEST(ContainerSave, CompressedEmptyBodyIsStoredPlain) {
  for (char compression : {'F', 'B'}) {
    auto c = container_create(nullptr, compression, 0);
    Bytes file;
    ASSERT_NE(container_close_to_bytes(std::move(c), file), 0);
    EXPECT_EQ(file, testsupport::narrow_file_header());
  }
}

TEST(ContainerSave, IncompressibleZlibBodyStillSaves) {
  // Random bytes grow under zlib by a few bytes per block: for 4 MiB more
  // than a room of length + 1024 would hold.
  Bytes body(4 << 20);
  std::mt19937 rng(7);
  for (auto& b : body) b = static_cast<uint8_t>(rng());
  auto c = container_create(nullptr, 'F', 0);
  ASSERT_EQ(container_write(*c, body.data(), static_cast<uint32_t>(body.size())), body.size());
  Bytes file;
  ASSERT_NE(container_close_to_bytes(std::move(c), file), 0);
  EXPECT_GT(file.size(), body.size() + 16 + 1024);
  auto back = container_load(std::move(file));
  ASSERT_TRUE(back);
  EXPECT_EQ(body_of(*back), body);
}

}  // namespace
