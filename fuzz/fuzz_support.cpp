#include "fuzz_support.h"

#include <algorithm>

#include "tokenfile/byte_order.h"
#include "tokenfile/dictionary.h"
#include "tokenfile/stream_internals.h"

namespace fuzzsupport {

using tokenfile::TokenStream;
using SI = tokenfile::StreamInternals;

namespace {

constexpr char kFileHeader[] = "TORVIA@@@@@@@@@@";
constexpr char kTextLine[] = "VUXA0i0t______\r\n";
constexpr char kBinaryLine[] = "VUXA0i0b______\r\n";

// String capacities and byte counts an operation byte can choose (its high
// four bits): the edges of the readers' limits and a few ordinary sizes.
constexpr uint32_t kCapacities[16] = {1, 2, 3, 4, 5, 8, 16, 31, 32, 33, 64, 255, 256, 257, 1055, 1056};
constexpr uint32_t kCounts[16] = {0, 1, 2, 3, 4, 5, 7, 8, 9, 16, 31, 32, 63, 64, 65, 255};

// A generous bound on the steps of a linear walk: every token opened
// consumes at least one unit of the body, and every close pops one.
size_t step_bound(size_t body_size) { return 4 * body_size + 64; }

bool terminated_within(const char16_t* text, size_t capacity) {
  return std::find(text, text + capacity, u'\0') != text + capacity;
}

// The body position stays inside the body, and every place the stream
// reports lies inside the file: a text place on a line that exists, at a
// column from 1; a binary one at an offset no further than the file's end.
void check_position(const TokenStream& s) {
  const tokenfile::FileContainer* c = SI::container(s);
  FUZZ_CHECK(c != nullptr);
  FUZZ_CHECK(c->body_pos <= c->body_size);
  const tokenfile::SourceSpan span = s.last_span();
  for (const tokenfile::SourcePlace& p : {span.begin, span.end, s.open_token_place()}) {
    if (SI::flags(s) & tokenfile::STREAM_BINARY) {
      FUZZ_CHECK(p.line == 0 && p.offset <= c->header_bytes + c->body_size);
    } else if (p.line != 0) {
      FUZZ_CHECK(p.column >= 1 && p.column <= c->body_size + 1);
      FUZZ_CHECK(p.line <= 2 || !s.source_line(p.line).empty() || p.column == 1);
    }
  }
  FUZZ_CHECK(s.last_lexeme().size() <= 1055 * 2 + 2);
}

void check_label(const TokenStream& s, const char16_t* label) {
  if (label == nullptr) return;
  FUZZ_CHECK(label == SI::label(s));
  FUZZ_CHECK(terminated_within(SI::label(s), 33));
}

// A binary block is a complete token image: id, a length that counts the
// rest of the image, a label count whose label fits inside it.
void check_block(const TokenStream& s, const tokenfile::TokenBlock& block) {
  if (SI::flags(s) & tokenfile::STREAM_BINARY) {
    FUZZ_CHECK(block.kind == tokenfile::BLOCK_BINARY);
    FUZZ_CHECK(block.bytes.size() >= 9);
    FUZZ_CHECK(tokenfile::load_u32le(block.bytes.data() + 4) == block.bytes.size() - 8);
    FUZZ_CHECK(9u + 2u * block.bytes[8] <= block.bytes.size());
  } else {
    FUZZ_CHECK(block.kind == tokenfile::BLOCK_TEXT);
    FUZZ_CHECK(block.bytes.empty());
  }
}

}  // namespace

Bytes text_file_around(const Bytes& body) {
  Bytes f(16 + 32 + body.size());
  std::copy(kFileHeader, kFileHeader + 16, f.begin());
  for (size_t i = 0; i < 16; ++i) f[16 + 2 * i] = static_cast<uint8_t>(kTextLine[i]);
  std::copy(body.begin(), body.end(), f.begin() + 48);
  return f;
}

Bytes binary_file_around(const Bytes& body) {
  Bytes f(16 + 16 + body.size());
  std::copy(kFileHeader, kFileHeader + 16, f.begin());
  std::copy(kBinaryLine, kBinaryLine + 16, f.begin() + 16);
  std::copy(body.begin(), body.end(), f.begin() + 32);
  return f;
}

void acquire_dictionary_once() {
  static const bool acquired = tokenfile::acquire_token_dictionary() != 0;
  FUZZ_CHECK(acquired);
}

size_t walk_to_end(TokenStream& s, size_t body_size) {
  const bool binary = (SI::flags(s) & tokenfile::STREAM_BINARY) != 0;
  size_t opened = 0;
  const size_t bound = step_bound(body_size);
  for (size_t step = 0;; ++step) {
    // Every step consumes a token head or a lexeme, or leaves a token: a
    // longer walk has an operation that succeeds without moving, or reads
    // bytes twice (as a binary child that ran past its parent's end once
    // did, when it was entered and its parent closed behind it).
    FUZZ_CHECK(step <= bound);
    uint32_t id = 0;
    const char16_t* label = nullptr;
    const uint64_t position_before = SI::position(s);
    if (s.read_token_open(id, &label)) {
      check_label(s, label);
      if (binary) FUZZ_CHECK(SI::position(s) >= position_before + 9);
      ++opened;
      continue;
    }
    check_position(s);
    // A close that fails but still leaves the token (a binary token whose
    // end lies past the body) lets the walk go on with its parent.
    const size_t open_before = SI::open_tokens(s).size();
    if (!s.read_token_close() && SI::open_tokens(s).size() >= open_before) break;
    FUZZ_CHECK(SI::open_tokens(s).size() < open_before);
    check_position(s);
  }
  (void)tokenfile::token_stream_line(s);
  return opened;
}

namespace {

size_t units_of(const char16_t* text, size_t capacity) {
  size_t n = 0;
  while (n < capacity && text[n] != 0) ++n;
  return 2 * n;
}

// Where reading stands: the byte offset for binary, the body position for
// text (whose reader only ever moves forward).
uint64_t reading_place(const TokenStream& s) {
  return (SI::flags(s) & tokenfile::STREAM_BINARY) ? SI::position(s) : SI::container(s)->body_pos;
}

}  // namespace

Work read_everything(TokenStream& s) {
  const size_t body_size = SI::container(s)->body_size;
  const bool binary = (SI::flags(s) & tokenfile::STREAM_BINARY) != 0;
  constexpr uint32_t kCapacity = 256;
  constexpr unsigned kValueOps = 8;
  Work w;
  char16_t wide[kCapacity];
  char narrow[kCapacity];
  std::vector<char16_t> word(tokenfile::LABEL_TEXT_CAPACITY);
  uint8_t byte = 0;
  // One value read by operation k; true when it succeeded.
  auto read_value = [&](unsigned k) {
    uint32_t u = 0;
    int32_t i = 0;
    float f = 0;
    ++w.calls;
    switch (k) {
      case 0:
        return s.read_uint(u) ? (w.units += 4, true) : false;
      case 1:
        return s.read_int(i) ? (w.units += 4, true) : false;
      case 2:
        return s.read_hex(u) ? (w.units += 4, true) : false;
      case 3:
        return s.read_float(f) ? (w.units += 4, true) : false;
      case 4:
        if (!s.read_wstring(wide, kCapacity)) return false;
        w.units += 2 * std::min<size_t>(s.last_string_length(), kCapacity - 1);
        return true;
      case 5:
        if (!s.read_string(narrow, kCapacity)) return false;
        w.units += std::min<size_t>(s.last_string_length(), kCapacity - 1);
        return true;
      case 6:
        return s.read_bytes(&byte, 1) ? (w.units += 1, true) : false;
      default:
        return s.read_token_ref(u) ? (w.units += 4, true) : false;
    }
  };
  const size_t bound = kWorkPerByte * body_size + kWorkConstant;
  size_t depth = 0;
  unsigned turn = 0;
  // Operation 0 opens a child; 1 to 8 read a value (at the top level only
  // the open is tried); text also reads a label word (9), where binary
  // reads nothing and takes it once after each open instead.
  const unsigned operations = binary ? 1 + kValueOps : 2 + kValueOps;
  auto attempt = [&](unsigned op) {
    if (op == 0) {
      uint32_t id = 0;
      const char16_t* label = nullptr;
      ++w.calls;
      if (!s.read_token_open(id, &label)) return false;
      ++w.opened;
      ++depth;
      if (label != nullptr) w.units += units_of(label, 33);
      if (binary) {
        ++w.calls;
        FUZZ_CHECK(s.read_label(word.data()) != 0);
      }
      return true;
    }
    if (op <= kValueOps) return read_value(op - 1);
    ++w.calls;
    if (!s.read_label(word.data())) return false;
    w.units += units_of(word.data(), word.size());
    return true;
  };
  for (;;) {
    FUZZ_CHECK(w.calls + w.units <= bound);
    bool read = false;
    for (unsigned k = 0; k < (depth == 0 ? 1 : operations) && !read; ++k) {
      const unsigned op = depth == 0 ? 0 : (turn + k) % operations;
      const uint64_t at = reading_place(s);
      read = attempt(op);
      // Every read that succeeds moves on; a failed one may consume what it
      // failed on (a text lexeme, a binary head it refused), but no read
      // moves back.
      FUZZ_CHECK(reading_place(s) >= at && (!read || reading_place(s) > at));
      if (read && depth != 0) turn = (op + 1) % operations;
    }
    if (read) continue;
    if (depth == 0) break;
    ++w.calls;
    const uint64_t at = reading_place(s);
    const uint32_t block_end = SI::open_tokens(s).empty() ? 0 : SI::open_tokens(s).back();
    bool left = false;
    if (w.opened % 4 == 0) {
      std::unique_ptr<tokenfile::TokenBlock> block = s.read_block();
      if (block) w.units += block->bytes.size() + block->lines.size();
      for (const auto& line : block ? block->lines : std::vector<tokenfile::BlockLine>{})
        w.units += 2 * line.text.size();
      left = block != nullptr;
    }
    if (!left && !s.read_token_close()) {
      // Binary: a token whose end lies past the body is left all the same.
      if (!binary) break;
    }
    // Reading goes back only to the end of a token that a string, a label
    // or a refused child's head ran past.
    if (reading_place(s) < at) FUZZ_CHECK(binary && at > block_end && reading_place(s) == block_end);
    --depth;
  }
  return w;
}

void run_read_ops(TokenStream& s, const Bytes& ops, size_t body_size, TokenStream* sink, StateCheck check) {
  std::vector<char16_t> label_text(tokenfile::LABEL_TEXT_CAPACITY);
  for (uint8_t op : ops) {
    const uint32_t param = op >> 4;
    uint32_t u = 0;
    int32_t i = 0;
    float f = 0;
    switch (op & 0x0F) {
      case 0:
      case 14: {
        const char16_t* label = nullptr;
        if (s.read_token_open(u, (op & 0x0F) == 14 ? &label : nullptr)) check_label(s, label);
        break;
      }
      case 1:
        // The binary encoding leaves the buffer alone; the text one must
        // terminate a word inside it.
        std::fill(label_text.begin(), label_text.end(), u'x');
        label_text.back() = 0;
        if (s.read_label(label_text.data()))
          FUZZ_CHECK(terminated_within(label_text.data(), label_text.size()));
        break;
      case 2:
        (void)s.read_uint(u);
        break;
      case 3:
        (void)s.read_int(i);
        break;
      case 4:
        (void)s.read_hex(u);
        break;
      case 5:
        (void)s.read_float(f);
        break;
      case 6: {
        std::vector<char16_t> buffer(kCapacities[param]);
        if (s.read_wstring(buffer.data(), kCapacities[param]))
          FUZZ_CHECK(terminated_within(buffer.data(), buffer.size()));
        break;
      }
      case 7: {
        std::vector<char> buffer(kCapacities[param]);
        if (s.read_string(buffer.data(), kCapacities[param]))
          FUZZ_CHECK(std::find(buffer.begin(), buffer.end(), '\0') != buffer.end());
        break;
      }
      case 8: {
        std::vector<uint8_t> buffer(kCounts[param]);
        (void)s.read_bytes(buffer.data(), kCounts[param]);
        break;
      }
      case 9:
        (void)s.read_token_ref(u);
        break;
      case 10: {
        std::unique_ptr<tokenfile::TokenBlock> block = s.read_block();
        if (!block) break;
        check_block(s, *block);
        if (sink == nullptr) break;
        // A block of the sink's own encoding is always taken, and released.
        FUZZ_CHECK(sink->write_block(block) != 0);
        FUZZ_CHECK(block == nullptr);
        break;
      }
      case 11:
      case 13:
        (void)s.read_token_close();
        break;
      case 12:
        (void)tokenfile::token_stream_line(s);
        break;
      case 15:
        if (s.read_token_open(u, nullptr)) (void)s.read_token_close();
        break;
    }
    check_position(s);
    if (check) check(s);
  }
  walk_to_end(s, body_size);
  if (check) check(s);
}

}  // namespace fuzzsupport
