// The body buffer: bytes kept across every kind of growth (small, into pages
// of its own, remapped), a vector taken over without a copy, and a failed
// growth that leaves everything as it was.
#include "tokenfile/byte_buffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

using tokenfile::ByteBuffer;

namespace {

uint8_t pattern(size_t i) { return static_cast<uint8_t>(i * 131 + (i >> 11)); }

bool holds_pattern(const ByteBuffer& b, size_t n) {
  if (b.size() != n) return false;
  for (size_t i = 0; i < n; ++i)
    if (b.data()[i] != pattern(i)) return false;
  return true;
}

TEST(ByteBuffer, AppendingKeepsEveryByteThroughEveryGrowth) {
  // From a few bytes through the switch to pages of its own (256 KiB) and
  // several remappings, in uneven steps.
  ByteBuffer b;
  size_t n = 0;
  for (size_t step = 1; n < (9u << 20); step = step * 3 + 1) {
    const size_t size = n + step % 70001;
    ASSERT_TRUE(b.resize(size));
    for (size_t i = n; i < size; ++i) b.data()[i] = pattern(i);
    n = size;
  }
  EXPECT_TRUE(holds_pattern(b, n));
  ASSERT_TRUE(b.resize(1000));  // shrinking keeps the start
  EXPECT_TRUE(holds_pattern(b, 1000));
}

TEST(ByteBuffer, TakesAVectorOverWithoutACopy) {
  std::vector<uint8_t> v(5000);
  for (size_t i = 0; i < v.size(); ++i) v[i] = pattern(i);
  const uint8_t* where = v.data();
  ByteBuffer b(std::move(v));
  EXPECT_EQ(b.data(), where);
  EXPECT_TRUE(holds_pattern(b, 5000));
  // Moving the buffer keeps the bytes where they are too.
  ByteBuffer moved(std::move(b));
  EXPECT_EQ(moved.data(), where);
  EXPECT_EQ(b.size(), 0u);
  // Growing it copies the vector's bytes into memory of its own.
  ASSERT_TRUE(moved.resize(3u << 20));
  for (size_t i = 5000; i < moved.size(); ++i) moved.data()[i] = pattern(i);
  EXPECT_TRUE(holds_pattern(moved, 3u << 20));
}

TEST(ByteBuffer, AFailedGrowthChangesNothing) {
  ByteBuffer b;
  ASSERT_TRUE(b.resize(3u << 20));
  for (size_t i = 0; i < b.size(); ++i) b.data()[i] = pattern(i);
  const uint8_t* where = b.data();
  for (size_t impossible :
       {std::numeric_limits<size_t>::max(), std::numeric_limits<size_t>::max() / 2, size_t{1} << 50}) {
    EXPECT_FALSE(b.resize(impossible));
    EXPECT_FALSE(b.reserve(impossible));
    EXPECT_EQ(b.data(), where);
    EXPECT_TRUE(holds_pattern(b, 3u << 20));
  }
}

TEST(ByteBuffer, MoveAssignmentReleasesTheOldBytes) {
  ByteBuffer a;
  ByteBuffer b;
  ASSERT_TRUE(a.resize(100));
  ASSERT_TRUE(b.resize(4u << 20));
  for (size_t i = 0; i < b.size(); ++i) b.data()[i] = pattern(i);
  a = std::move(b);
  EXPECT_TRUE(holds_pattern(a, 4u << 20));
  EXPECT_EQ(b.data(), nullptr);
  a.clear();
  EXPECT_EQ(a.size(), 0u);
  EXPECT_EQ(a.data(), nullptr);
}

}  // namespace
