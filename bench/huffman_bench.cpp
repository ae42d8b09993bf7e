// Huffman body compression beside zlib's one-shot compress/uncompress, on
// 64 MiB of binary-token-like data and on 64 MiB of random bytes. Bytes
// processed count the uncompressed body in both directions.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tokenfile/byte_order.h"
#include "tokenfile/huffman.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t kBodySize = 64u << 20;

class TokenBody {
 public:
  explicit TokenBody(uint64_t seed) : rng_(seed) {}

  Bytes build(size_t size) {
    const std::string line = "VUXA0i0b______\r\n";
    out_.assign(line.begin(), line.end());
    while (out_.size() < size) device();
    out_.resize(size);
    return std::move(out_);
  }

 private:
  // An input map's device: id, length, no label, device code and index, an
  // optional sguid, then bindings of controls to action names with modifier
  // masks; now and then a token of other kinds of values between devices.
  void device() {
    const size_t start = open(99);
    const uint32_t device_code = static_cast<uint32_t>(rng_() % 3);
    u32(device_code);
    u32(static_cast<uint32_t>(rng_() % 4));
    if (rng_() % 2 == 0) {
      const size_t guid = open(101);
      out_.push_back(17);
      for (int i = 0; i < 16; ++i) out_.push_back(static_cast<uint8_t>(rng_()));
      close(guid);
    }
    const uint32_t bindings = 4 + static_cast<uint32_t>(rng_() % 40);
    for (uint32_t i = 0; i < bindings; ++i) binding(device_code);
    close(start);
    if (rng_() % 4 == 0) other_token();
  }

  void binding(uint32_t device_code) {
    static const char* const kActions[] = {
        "move_forward", "move_back",    "strafe_left", "strafe_right",  "jump",       "crouch",
        "sprint",       "fire_primary", "fire_second", "reload",        "use",        "inventory",
        "map",          "menu",         "look_x",      "look_y",        "zoom_in",    "zoom_out",
        "weapon_next",  "weapon_prev",  "quicksave",   "quickload",     "screenshot", "chat",
        "team_chat",    "scoreboard",   "throttle_up", "throttle_down", "brake",      "handbrake",
        "gear_up",      "gear_down",    "camera",      "horn",          "lights"};
    const size_t start = open(100);
    uint32_t control = 0;
    switch (device_code) {
      case 0:
        control = rng_() % 3 == 0 ? static_cast<uint32_t>(rng_() % 8)
                                  : 0x10000 + static_cast<uint32_t>(rng_() % 32);
        break;
      case 1:
        control = 0x10000 + static_cast<uint32_t>(rng_() % 0xDE);
        break;
      default:
        control =
            rng_() % 2 ? static_cast<uint32_t>(rng_() % 3) : 0x10000 + static_cast<uint32_t>(rng_() % 4);
    }
    u32(control);
    std::string action = kActions[rng_() % std::size(kActions)];
    if (rng_() % 5 == 0) action += std::to_string(rng_() % 10);
    wstring(action);
    static const uint32_t kMasks[] = {0, 0, 0, 0x808, 0x404, 0x202, 0xC08, 0xFF00, 0x800, 0x400};
    u32(kMasks[rng_() % std::size(kMasks)]);
    close(start);
  }

  void other_token() {
    const size_t start = open(1 + static_cast<uint32_t>(rng_() % 282));
    const uint32_t values = 1 + static_cast<uint32_t>(rng_() % 8);
    for (uint32_t i = 0; i < values; ++i) {
      switch (rng_() % 3) {
        case 0:
          u32(static_cast<uint32_t>(rng_() % 1000));
          break;
        case 1: {
          const float f = std::uniform_real_distribution<float>(-100.0f, 100.0f)(rng_);
          uint32_t bits;
          std::memcpy(&bits, &f, 4);
          u32(bits);
          break;
        }
        default:
          u32(1 + static_cast<uint32_t>(rng_() % 282));
      }
    }
    close(start);
  }

  size_t open(uint32_t id) {
    u32(id);
    const size_t length_at = out_.size();
    u32(0xDEDEDEDE);
    out_.push_back(0);  // no label
    return length_at;
  }
  void close(size_t length_at) {
    tokenfile::store_u32le(out_.data() + length_at, static_cast<uint32_t>(out_.size() - length_at - 4));
  }
  void u32(uint32_t v) {
    uint8_t b[4];
    tokenfile::store_u32le(b, v);
    out_.insert(out_.end(), b, b + 4);
  }
  void wstring(const std::string& s) {
    out_.push_back(static_cast<uint8_t>(s.size()));
    out_.push_back(0);
    for (char c : s) {
      out_.push_back(static_cast<uint8_t>(c));
      out_.push_back(0);
    }
  }

  std::mt19937_64 rng_;
  Bytes out_;
};

const Bytes& body(int kind) {
  static const Bytes tokens = TokenBody(20240601).build(kBodySize);
  static const Bytes random = [] {
    Bytes b(kBodySize);
    std::mt19937_64 rng(77);
    for (size_t i = 0; i < b.size(); i += 8) {
      const uint64_t v = rng();
      for (size_t k = 0; k < 8; ++k) b[i + k] = static_cast<uint8_t>(v >> (8 * k));
    }
    return b;
  }();
  return kind == 0 ? tokens : random;
}

void label(benchmark::State& state) { state.SetLabel(state.range(0) == 0 ? "tokens" : "random"); }

void BM_HuffmanCompress(benchmark::State& state) {
  const Bytes& in = body(static_cast<int>(state.range(0)));
  Bytes out;
  for (auto _ : state) {
    if (!tokenfile::huffman_compress(in.data(), static_cast<uint32_t>(in.size()), out))
      state.SkipWithError("failed");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
  state.counters["ratio"] = static_cast<double>(out.size()) / static_cast<double>(in.size());
  label(state);
}

void BM_HuffmanExpand(benchmark::State& state) {
  const Bytes& whole = body(static_cast<int>(state.range(0)));
  const Bytes in(whole.begin(), whole.begin() + std::min<int64_t>(state.range(1), whole.size()));
  Bytes packed;
  if (!tokenfile::huffman_compress(in.data(), static_cast<uint32_t>(in.size()), packed))
    state.SkipWithError("failed");
  Bytes out(in.size());
  const uint32_t n = static_cast<uint32_t>(in.size());
  for (auto _ : state) {
    const int64_t r = tokenfile::huffman_expand(packed.data(), packed.data() + tokenfile::HUFFMAN_TABLE_SIZE,
                                                packed.size() - tokenfile::HUFFMAN_TABLE_SIZE, out.data(), n);
    if (r != n) state.SkipWithError("short");
    benchmark::DoNotOptimize(out.data());
  }
  if (out != in) state.SkipWithError("mismatch");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
  label(state);
}

void BM_ZlibCompress(benchmark::State& state) {
  const Bytes& in = body(static_cast<int>(state.range(0)));
  Bytes out(compressBound(in.size()));
  uLongf size = 0;
  for (auto _ : state) {
    size = out.size();
    if (compress(out.data(), &size, in.data(), in.size()) != Z_OK) state.SkipWithError("failed");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
  state.counters["ratio"] = static_cast<double>(size) / static_cast<double>(in.size());
  label(state);
}

void BM_ZlibUncompress(benchmark::State& state) {
  const Bytes& in = body(static_cast<int>(state.range(0)));
  Bytes packed(compressBound(in.size()));
  uLongf packed_size = packed.size();
  if (compress(packed.data(), &packed_size, in.data(), in.size()) != Z_OK) state.SkipWithError("failed");
  Bytes out(in.size());
  for (auto _ : state) {
    uLongf size = out.size();
    if (uncompress(out.data(), &size, packed.data(), packed_size) != Z_OK || size != in.size())
      state.SkipWithError("failed");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
  label(state);
}

}  // namespace

BENCHMARK(BM_HuffmanCompress)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HuffmanExpand)->Args({0, kBodySize})->Args({1, kBodySize})->Unit(benchmark::kMillisecond);
// A typical input map is a few KiB: the per-call table building shows here.
BENCHMARK(BM_HuffmanExpand)->Args({0, 4096})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ZlibCompress)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZlibUncompress)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
