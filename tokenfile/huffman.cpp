// Canonical Huffman coding of 'B' bodies.
//
// The code words are 32-bit little-endian words read from the least
// significant bit up, which is the same bit sequence as their bytes in order,
// each byte from its least significant bit up. Both routines therefore move
// bits between memory and a 64-bit window up to eight bytes at a time, never
// a bit at a time, and the result is the same on hosts of either byte order.
#include "tokenfile/huffman.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <exception>

#include "tokenfile/byte_order.h"

namespace tokenfile {
namespace {

constexpr uint32_t kSymbolCount = 257;  // the 256 byte values and the end symbol
constexpr uint32_t kEndSymbol = 256;
constexpr uint32_t kLookupSize = 1u << HUFFMAN_MAX_BITS;  // 2048
constexpr uint32_t kLookupMask = kLookupSize - 1;

// HuffmanTable layout.
constexpr size_t kWordBytesField = 0;
constexpr size_t kLengthField = 4;
constexpr size_t kCountsField = 8;
constexpr size_t kByteOrderField = 52;
static_assert(kByteOrderField + 256 == HUFFMAN_TABLE_SIZE);

using Histogram = uint32_t[HUFFMAN_MAX_BITS + 1];

// Lookup-table slots the codes of histogram L take: sum of L[d] * 2^(11-d).
uint64_t slots_taken(const Histogram& lengths) noexcept {
  uint64_t slots = 0;
  for (uint32_t d = 1; d <= HUFFMAN_MAX_BITS; ++d) slots += uint64_t{lengths[d]} << (HUFFMAN_MAX_BITS - d);
  return slots;
}

// Canonical codes are numbered with their first-sent bit most significant;
// the words carry them least significant bit first.
constexpr uint32_t reverse_bits(uint32_t code, uint32_t length) noexcept {
  uint32_t reversed = 0;
  for (uint32_t i = 0; i < length; ++i) reversed |= ((code >> i) & 1u) << (length - 1 - i);
  return reversed;
}

inline uint64_t load_u64le(const uint8_t* p) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
  } else {
    return load_u32le(p) | (uint64_t{load_u32le(p + 4)} << 32);
  }
}

inline void store_u64le(uint8_t* p, uint64_t v) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(p, &v, sizeof v);
  } else {
    store_u32le(p, static_cast<uint32_t>(v));
    store_u32le(p + 4, static_cast<uint32_t>(v >> 32));
  }
}

// ---------------------------------------------------------------------------
// Compression

// Byte counts of the body. Four interleaved histograms keep consecutive equal
// bytes from waiting on each other's increment.
void count_bytes(const uint8_t* body, uint32_t n, uint32_t (&counts)[256]) noexcept {
  uint32_t partial[4][256] = {};
  uint32_t i = 0;
  for (; n - i >= 8; i += 8) {
    const uint64_t v = load_u64le(body + i);
    ++partial[0][v & 0xFF];
    ++partial[1][(v >> 8) & 0xFF];
    ++partial[2][(v >> 16) & 0xFF];
    ++partial[3][(v >> 24) & 0xFF];
    ++partial[0][(v >> 32) & 0xFF];
    ++partial[1][(v >> 40) & 0xFF];
    ++partial[2][(v >> 48) & 0xFF];
    ++partial[3][v >> 56];
  }
  for (; i < n; ++i) ++partial[0][body[i]];
  for (uint32_t b = 0; b < 256; ++b)
    counts[b] = partial[0][b] + partial[1][b] + partial[2][b] + partial[3][b];
}

// The symbol sequence S: the end symbol, then the byte values by ascending
// count. Equal counts go by ascending byte value, so that one body always
// compresses to the same bytes.
void order_symbols(const uint32_t (&counts)[256], uint16_t (&order)[kSymbolCount]) noexcept {
  order[0] = kEndSymbol;
  for (uint16_t b = 0; b < 256; ++b) order[b + 1] = b;
  std::sort(order + 1, order + kSymbolCount, [&counts](uint16_t a, uint16_t b) {
    return counts[a] != counts[b] ? counts[a] < counts[b] : a < b;
  });
}

// Depth histogram of the code tree over the leaves `weights` (in the order of
// S, so ascending), with leaves deeper than 11 counted at 11. The tree is
// built from a list kept sorted by weight: each merge takes the first two
// nodes and puts their parent after every node of equal or smaller weight.
// Depths are derived from parent links, not by walking the tree, since the
// tree can be 256 levels deep.
void code_length_histogram(const uint32_t (&weights)[kSymbolCount], Histogram& lengths) noexcept {
  constexpr uint32_t kNodes = 2 * kSymbolCount - 1;  // leaves 0..256, merges 257..512
  uint64_t weight[kNodes];
  uint16_t parent[kNodes];
  uint16_t list[kSymbolCount];  // list[head..tail) is the sorted list
  for (uint32_t i = 0; i < kSymbolCount; ++i) {
    weight[i] = weights[i];
    list[i] = static_cast<uint16_t>(i);
  }
  uint16_t* head = list;
  uint16_t* const tail = list + kSymbolCount;
  for (uint32_t node = kSymbolCount; node < kNodes; ++node) {
    const uint16_t a = head[0];
    const uint16_t b = head[1];
    head += 2;
    weight[node] = weight[a] + weight[b];
    parent[a] = parent[b] = static_cast<uint16_t>(node);
    uint16_t* const after = std::upper_bound(
        head, tail, weight[node], [&weight](uint64_t w, uint16_t other) { return w < weight[other]; });
    // The two removed slots lie in front of the list: shift the lighter part
    // down by one instead of the heavier part up.
    std::move(head, after, head - 1);
    --head;
    *(after - 1) = static_cast<uint16_t>(node);
  }

  uint16_t depth[kNodes];
  depth[kNodes - 1] = 0;
  for (uint32_t node = kNodes - 1; node-- > 0;) depth[node] = static_cast<uint16_t>(depth[parent[node]] + 1);
  std::fill(std::begin(lengths), std::end(lengths), 0u);
  for (uint32_t leaf = 0; leaf < kSymbolCount; ++leaf)
    ++lengths[std::min<uint32_t>(depth[leaf], HUFFMAN_MAX_BITS)];
}

// Bit sink over the code words. The pending bits (fewer than 8 between
// flushes) sit at the bottom of a 64-bit window; `flush` stores all eight
// bytes of the window and advances past the whole bytes only, so there is no
// branch on the fill level. Bits above the pending ones are zero, which is
// also what fills up the last word.
struct BitWriter {
  uint8_t* next;
  uint64_t bits = 0;
  uint32_t count = 0;

  void put(uint32_t entry) noexcept {
    bits |= uint64_t{entry >> 8} << count;
    count += entry & 0xFF;
  }
  // Requires count < 64 and 8 writable bytes at `next`.
  void flush() noexcept {
    store_u64le(next, bits);
    next += count >> 3;
    bits >>= count & ~7u;
    count &= 7;
  }
};

}  // namespace

uint64_t huffman_compress_bound(uint32_t n) noexcept {
  const uint64_t bits = uint64_t{HUFFMAN_MAX_BITS} * (uint64_t{n} + 1);
  return HUFFMAN_TABLE_SIZE + 4 * ((bits + 31) / 32);
}

void limit_code_lengths(uint32_t (&lengths)[HUFFMAN_MAX_BITS + 1]) noexcept {
  constexpr uint64_t kTarget = kLookupSize;
  uint64_t slots = slots_taken(lengths);

  // Step a: move codes from length d (10 down to 1) to length 11, each move
  // freeing 2^(11-d) - 1 slots, until the codes fit. A pass that moves
  // nothing means the histogram holds more codes than 2048 slots of length 11
  // can take; it cannot be fitted and is left as it stands.
  while (slots > kTarget) {
    const uint64_t before = slots;
    for (uint32_t d = HUFFMAN_MAX_BITS - 1; d >= 1 && slots > kTarget; --d) {
      const uint64_t gain = (uint64_t{1} << (HUFFMAN_MAX_BITS - d)) - 1;
      const uint64_t moved = std::min<uint64_t>(lengths[d], (slots - kTarget + gain - 1) / gain);
      lengths[d] -= static_cast<uint32_t>(moved);
      lengths[HUFFMAN_MAX_BITS] += static_cast<uint32_t>(moved);
      slots -= moved * gain;
    }
    if (slots == before) return;
  }

  // Step b: step a may free more slots than needed; shorten codes to take the
  // surplus back. For each target length t from 1 up, move codes from the
  // longer lengths i while one move does not overshoot.
  uint64_t spare = kTarget - slots;
  while (spare > 0) {
    const uint64_t before = spare;
    for (uint32_t t = 1; t < HUFFMAN_MAX_BITS && spare > 0; ++t) {
      for (uint32_t i = t + 1; i <= HUFFMAN_MAX_BITS; ++i) {
        const uint64_t cost =
            (uint64_t{1} << (HUFFMAN_MAX_BITS - t)) - (uint64_t{1} << (HUFFMAN_MAX_BITS - i));
        if (spare < cost) break;
        const uint64_t moved = std::min<uint64_t>(lengths[i], spare / cost);
        lengths[i] -= static_cast<uint32_t>(moved);
        lengths[t] += static_cast<uint32_t>(moved);
        spare -= moved * cost;
      }
    }
    if (spare == before) return;
  }
}

bool huffman_compress(const uint8_t* body, uint32_t n, std::vector<uint8_t>& out) noexcept {
  uint32_t counts[256];
  count_bytes(body, n, counts);
  uint16_t order[kSymbolCount];
  order_symbols(counts, order);

  uint32_t weights[kSymbolCount];
  for (uint32_t i = 0; i < kSymbolCount; ++i) weights[i] = order[i] == kEndSymbol ? 0 : counts[order[i]];
  Histogram lengths;
  code_length_histogram(weights, lengths);
  limit_code_lengths(lengths);

  // Canonical codes: lengths ascending, symbols taken from the end of S
  // backwards, so the end symbol (first in S) gets the last, all-ones code.
  // Each entry is the code as sent (bit-reversed) above its length in bits
  // 0-7.
  uint32_t codes[kSymbolCount];
  uint32_t code = 0;
  uint32_t assigned = 0;
  for (uint32_t d = 1; d <= HUFFMAN_MAX_BITS; ++d, code <<= 1) {
    for (uint32_t j = 0; j < lengths[d]; ++j, ++code, ++assigned) {
      codes[order[kSymbolCount - 1 - assigned]] = reverse_bits(code, d) << 8 | d;
    }
  }

  uint64_t bit_count = codes[kEndSymbol] & 0xFF;
  for (uint32_t b = 0; b < 256; ++b) bit_count += uint64_t{counts[b]} * (codes[b] & 0xFF);
  const size_t word_bytes = static_cast<size_t>((bit_count + 31) / 32 * 4);
  // 8 spare bytes take the last flush's store; they are cut off at the end.
  try {
    out.assign(HUFFMAN_TABLE_SIZE + word_bytes + 8, 0);
  } catch (const std::exception&) {
    return false;
  }
  BitWriter writer{out.data() + HUFFMAN_TABLE_SIZE};
  uint32_t i = 0;
  // Four codes of at most 11 bits on top of fewer than 8 pending bits fit
  // the window.
  for (; n - i >= 4; i += 4) {
    writer.put(codes[body[i]]);
    writer.put(codes[body[i + 1]]);
    writer.put(codes[body[i + 2]]);
    writer.put(codes[body[i + 3]]);
    writer.flush();
  }
  for (; i < n; ++i) writer.put(codes[body[i]]);
  writer.put(codes[kEndSymbol]);
  writer.flush();

  uint8_t* const table = out.data();
  // Wraps only for code words beyond 4 GiB, which no file can hold.
  store_u32le(table + kWordBytesField, static_cast<uint32_t>(word_bytes));
  store_u32le(table + kLengthField, n);
  for (uint32_t d = 1; d <= HUFFMAN_MAX_BITS; ++d)
    store_u32le(table + kCountsField + 4 * (d - 1), lengths[d]);
  for (uint32_t k = 1; k < kSymbolCount; ++k) table[kByteOrderField + k - 1] = static_cast<uint8_t>(order[k]);
  out.resize(HUFFMAN_TABLE_SIZE + word_bytes);
  return true;
}

// ---------------------------------------------------------------------------
// Expansion

namespace {

// Lookup entries, for the bits at their index, first bit in index bit 0:
//   bits 0-5    the bits their codes take, so the window shifts by the entry
//               itself
//   bits 8-55   up to six bytes decoded from those bits, the first in 8-15
//   bits 56-63  the number of those bytes
// An index whose first code is the end symbol holds 0: no bits, no bytes.
// The one-symbol table is indexed by 11 bits and holds one byte per entry.
// The run table is indexed by 12 bits and holds as many codes as lie wholly
// within them (never the end symbol); codes of 11 bits or fewer fit at least
// once, so each entry makes progress.
using Entry = uint64_t;
constexpr uint32_t kRunBits = 12;
constexpr uint32_t kRunSize = 1u << kRunBits;
constexpr uint32_t kMaxRunBytes = 6;

constexpr uint32_t entry_bits(Entry e) noexcept { return static_cast<uint32_t>(e & 63); }
constexpr uint32_t entry_bytes(Entry e) noexcept { return static_cast<uint32_t>(e >> 56); }

// Building the run table costs more than it saves on bodies shorter than this.
constexpr uint32_t kRunTableMinBody = 16 * 1024;

// Fills the one-symbol table from the HuffmanTable, whose counts must already
// describe at most 257 codes filling exactly 2048 slots.
void build_symbol_table(const uint8_t* table, const Histogram& lengths,
                        Entry (&symbols)[kLookupSize]) noexcept {
  uint32_t code = 0;
  uint32_t assigned = 0;
  for (uint32_t d = 1; d <= HUFFMAN_MAX_BITS; ++d, code <<= 1) {
    for (uint32_t j = 0; j < lengths[d]; ++j, ++code, ++assigned) {
      // The stored byte values are in ascending frequency: the first code
      // belongs to the last one; the code after the 256th is the end symbol.
      const Entry entry =
          assigned < 256 ? d | Entry{table[kByteOrderField + 255 - assigned]} << 8 | Entry{1} << 56 : 0;
      for (uint32_t index = reverse_bits(code, d); index < kLookupSize; index += 1u << d)
        symbols[index] = entry;
    }
  }
}

void build_run_table(const Entry (&symbols)[kLookupSize], Entry (&runs)[kRunSize]) noexcept {
  for (uint32_t index = 0; index < kRunSize; ++index) {
    Entry run = 0;
    uint32_t used = 0;
    uint32_t bytes = 0;
    while (bytes < kMaxRunBytes) {
      const Entry next = symbols[(index >> used) & kLookupMask];
      if (next == 0 || used + entry_bits(next) > kRunBits) break;
      run |= (next >> 8 & 0xFF) << (8 + 8 * bytes);
      used += entry_bits(next);
      ++bytes;
    }
    runs[index] = run | used | Entry{bytes} << 56;
  }
}

// The code words as one bit sequence. Invariant: bits 0..count-1 of `window`
// are the next unused bits, taken from the bytes before `next`; bits above
// them are zero or the data's own following bits, so OR-ing those bytes in
// again changes nothing.
struct BitReader {
  const uint8_t* next;
  const uint8_t* end;
  uint64_t window = 0;
  uint32_t count = 0;
};

// Decodes while at least 8 bytes of data and kRoom bytes of output are left:
// a refill leaves 56 to 63 bits, enough for floor(56 / index bits) lookups,
// and each lookup stores 8 bytes of which up to max_bytes count. The end
// symbol's entry consumes nothing and so repeats to the last lookup of the
// round, where one test sees it; the reader then stands before it.
template <uint32_t kIndexBits, uint32_t kMaxBytes>
uint32_t decode_fast(const Entry* table, BitReader& r, uint8_t* out, uint32_t produced, uint32_t n) noexcept {
  constexpr uint32_t kLookups = 56 / kIndexBits;
  constexpr uint32_t kRoom = (kLookups - 1) * kMaxBytes + 8;
  constexpr uint64_t kMask = (uint64_t{1} << kIndexBits) - 1;
  while (r.end - r.next >= 8 && n - produced >= kRoom) {
    r.window |= load_u64le(r.next) << r.count;
    r.next += (63 - r.count) >> 3;
    r.count |= 56;
    Entry entry = 0;
    for (uint32_t k = 0; k < kLookups; ++k) {
      entry = table[r.window & kMask];
      store_u64le(out + produced, entry >> 8);
      produced += entry_bytes(entry);
      r.window >>= entry_bits(entry);
      r.count -= entry_bits(entry);
    }
    if (entry == 0) break;
  }
  return produced;
}

}  // namespace

// The decoder uses up every bit of the data: near the end it still decodes a
// code that lies wholly within the bits left, so every body huffman_compress
// writes is read back whatever its last word holds. A trailing partial word
// (`words_size` not a multiple of 4) is read as if filled up to a whole word
// with zero bytes.
int64_t huffman_expand(const uint8_t* table, const uint8_t* words, size_t words_size, uint8_t* out,
                       uint32_t n) noexcept {
  Histogram lengths;
  lengths[0] = 0;
  uint64_t code_count = 0;
  for (uint32_t d = 1; d <= HUFFMAN_MAX_BITS; ++d) {
    lengths[d] = load_u32le(table + kCountsField + 4 * (d - 1));
    code_count += lengths[d];
  }
  if (code_count > kSymbolCount || slots_taken(lengths) != kLookupSize) return -1;

  Entry symbols[kLookupSize];
  build_symbol_table(table, lengths, symbols);
  BitReader reader{words, words + words_size};
  uint32_t produced = 0;
  // Runs pay off only when two codes can share an entry.
  uint32_t shortest = 1;
  while (shortest < HUFFMAN_MAX_BITS && lengths[shortest] == 0) ++shortest;
  if (n >= kRunTableMinBody && 2 * shortest <= kRunBits) {
    Entry runs[kRunSize];
    build_run_table(symbols, runs);
    produced = decode_fast<kRunBits, kMaxRunBytes>(runs, reader, out, produced, n);
  }
  produced = decode_fast<HUFFMAN_MAX_BITS, 1>(symbols, reader, out, produced, n);

  // The last bytes: a byte per refill step, the data padded with zero bytes
  // to whole words.
  const size_t padded_size = words_size + (0 - words_size) % 4;
  size_t loaded = static_cast<size_t>(reader.next - words);
  uint64_t window = reader.window;
  uint32_t count = reader.count;
  while (produced < n) {
    for (; count <= 56 && loaded < padded_size; ++loaded, count += 8) {
      if (loaded < words_size) window |= uint64_t{words[loaded]} << count;
    }
    const Entry entry = symbols[window & kLookupMask];
    if (entry == 0 || entry_bits(entry) > count) break;
    out[produced++] = static_cast<uint8_t>(entry >> 8);
    window >>= entry_bits(entry);
    count -= entry_bits(entry);
  }
  return produced;
}

}  // namespace tokenfile
