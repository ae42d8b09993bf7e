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
    if (step > bound) {
      // Text: every step consumes a lexeme or closes a token, so a longer
      // walk has an operation that succeeds without moving.
      FUZZ_CHECK(binary);
      // Binary: a child may run past its parent's end, and closing the
      // parent moves back to that end, so the bytes after it are read
      // again; nested, such re-reading multiplies. Every step below is
      // checked to make progress (an open consumes a token head, a close
      // leaves a token; at each level the tokens' starts only increase), so
      // the walk ends; it is cut here to keep the run short.
      break;
    }
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
