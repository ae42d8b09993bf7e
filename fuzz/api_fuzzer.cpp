// The installed library as a program that uses it sees it: only the public
// headers, on any bytes. The bytes are opened as a token file in memory and
// read whole: at each step the next of the read operations that succeeds,
// in turn (a child opened, a value read with each value operation, a label
// word), every fourth token taken whole with read_block. Everything read is
// written into a binary and a text writer (compressed as the input's size
// chooses), both are closed to bytes, and the written files are read back:
// the binary one must give exactly the reads that were written, in the same
// order; the text one must open and read to its end. The work of every walk must stay
// within a fixed multiple of the body's size. The bytes are also unpacked
// as a container, packed again and unpacked to the same body.
//
// The walks are loops, not recursion: depth costs the library, not the
// harness.
#include <tokenfile/container.h>
#include <tokenfile/dictionary.h>
#include <tokenfile/token_error.h>
#include <tokenfile/token_stream.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

#define API_CHECK(condition)                                                         \
  do {                                                                               \
    if (!(condition)) {                                                              \
      std::fprintf(stderr, "FINDING: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
      std::abort();                                                                  \
    }                                                                                \
  } while (0)

using namespace tokenfile;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint32_t kCapacity = 256;  // the converter's string buffer
constexpr unsigned kValueOps = 8;
constexpr char16_t kCompressions[3] = {u'@', u'B', u'F'};

// One step of the walk as the binary file written from it must give it back.
struct Step {
  enum Kind : uint8_t { Open, Label, Value, Block, Close } kind = Open;
  unsigned op = 0;      // Value: the operation
  uint32_t id = 0;      // Open, Block: the token id
  std::u16string text;  // Open: the label; Value: a wide string
  std::string narrow;   // Value: an 8-bit string
  uint32_t bits = 0;    // Value: a 32-bit value or the byte
  Bytes image;          // Block: the binary image, empty for a text block
};

Step step_of(Step::Kind kind, unsigned op = 0) {
  Step step;
  step.kind = kind;
  step.op = op;
  return step;
}

std::u16string terminated(const char16_t* text, size_t capacity) {
  size_t n = 0;
  while (text != nullptr && n < capacity && text[n] != 0) ++n;
  return text == nullptr ? std::u16string() : std::u16string(text, n);
}

// Reads value operation k into `step`; true when it succeeded.
bool read_value(TokenStream& s, unsigned k, Step& step) {
  step = step_of(Step::Value, k);
  int32_t i = 0;
  float f = 0;
  char16_t wide[kCapacity];
  char narrow[kCapacity];
  uint8_t byte = 0;
  switch (k) {
    case 0:
      return s.read_uint(step.bits) != 0;
    case 1:
      return s.read_int(i) ? (std::memcpy(&step.bits, &i, 4), true) : false;
    case 2:
      return s.read_hex(step.bits) != 0;
    case 3:
      return s.read_float(f) ? (std::memcpy(&step.bits, &f, 4), true) : false;
    case 4:
      if (!s.read_wstring(wide, kCapacity)) return false;
      step.text = terminated(wide, kCapacity);
      return true;
    case 5:
      if (!s.read_string(narrow, kCapacity)) return false;
      step.narrow.assign(narrow, strnlen(narrow, kCapacity));
      return true;
    case 6:
      return s.read_bytes(&byte, 1) ? (step.bits = byte, true) : false;
    default:
      return s.read_token_ref(step.bits) != 0;
  }
}

// A value as its operation's writer writes it; false when the writer fails.
bool write_value(TokenStream& w, const Step& step) {
  const uint8_t byte = static_cast<uint8_t>(step.bits);
  int32_t i;
  float f;
  std::memcpy(&i, &step.bits, 4);
  std::memcpy(&f, &step.bits, 4);
  switch (step.op) {
    case 0:
      return w.write_uint(step.bits) != 0;
    case 1:
      return w.write_int(i) != 0;
    case 2:
      return w.write_hex(step.bits) != 0;
    case 3:
      return w.write_float(f) != 0;
    case 4:
      return w.write_wstring(step.text.c_str()) != 0;
    case 5:
      return w.write_string(step.narrow.c_str()) != 0;
    case 6:
      return w.write_bytes(&byte, 1) != 0;
    default:
      return w.write_token_ref(step.bits) != 0;
  }
}

// The most a walk may cost on the token file `file`: calls and units
// delivered together at most 64 per byte of its body plus 1024 (the bound
// the reader harnesses hold the library to; a source in UTF-8 reads as a
// UTF-16 body of at most twice its bytes and a header line).
size_t work_bound(const Bytes& file) {
  Bytes body;
  const size_t size = container_unpack(file, body) ? body.size() : file.size();
  return 64 * (2 * size + 64) + 1024;
}

// The text writer: tokens and values the text encoding cannot name are left
// out (with everything inside them); a failure other than those stops it.
struct TextSink {
  std::unique_ptr<TokenStream> w;
  size_t skipping = 0;  // open tokens left out, innermost included
  bool broken = false;
  void failed() {
    API_CHECK(token_error == ERR_BAD_VALUE);  // nested past its 256 levels
    broken = true;
  }
};

// Reads `s` whole; every step goes into `steps` and the writers (when given).
size_t walk(TokenStream& s, std::vector<Step>& steps, TokenStream* binary, TextSink* text, size_t bound) {
  const bool binary_source = (token_stream_flags(s) & STREAM_BINARY) != 0;
  size_t depth = 0, calls = 0, units = 0, opened = 0;
  // A close, recorded and made in the writers.
  auto close_in_writers = [&] {
    steps.push_back(step_of(Step::Close));
    if (binary) API_CHECK(binary->write_token_close() != 0);
    if (text != nullptr && !text->broken) {
      if (text->skipping != 0) {
        --text->skipping;
      } else if (!text->w->write_token_close()) {
        text->failed();
      }
    }
  };
  unsigned turn = 0;
  std::vector<char16_t> word(LABEL_TEXT_CAPACITY);
  auto text_ok = [&] { return text != nullptr && !text->broken && text->skipping == 0; };
  // A label word: text reads one as a value; binary reads nothing.
  auto try_label = [&] {
    ++calls;
    if (!s.read_label(word.data())) return false;
    Step l = step_of(Step::Label);
    l.text = terminated(word.data(), word.size());
    units += 2 * l.text.size();
    steps.push_back(l);
    if (text_ok() && !l.text.empty() && !text->w->write_label(l.text.c_str())) text->failed();
    return true;
  };
  // A child opened (every fourth taken whole by read_block).
  auto try_open = [&] {
    uint32_t id = 0;
    const char16_t* label = nullptr;
    ++calls;
    if (!s.read_token_open(id, &label)) return false;
    ++opened;
    Step open = step_of(Step::Open);
    open.id = id;
    open.text = terminated(label, 33);
    units += 2 * open.text.size();
    if (opened % 4 == 0) {
      ++calls;
      std::unique_ptr<TokenBlock> block = s.read_block();
      if (block) {
        units += block->bytes.size();
        for (const BlockLine& line : block->lines) units += 2 * line.text.size() + 1;
        Step taken = step_of(Step::Block);
        taken.id = id;
        if (block->kind == BLOCK_BINARY) taken.image = block->bytes;
        steps.push_back(taken);
        if (block->kind == BLOCK_TEXT) {
          API_CHECK(!binary_source);
          if (binary) API_CHECK(binary->write_block(block) == 0 && token_error == ERR_BLOCK_KIND && block);
          if (text_ok() && !text->w->write_block(block)) text->failed();
        } else {
          API_CHECK(binary_source);
          if (text_ok())
            API_CHECK(text->w->write_block(block) == 0 && token_error == ERR_BLOCK_KIND && block);
          if (binary) API_CHECK(binary->write_block(block) != 0 && !block);
        }
        return true;
      }
    }
    ++depth;
    steps.push_back(open);
    const char16_t* written_label = open.text.empty() ? nullptr : open.text.c_str();
    if (binary) API_CHECK(binary->write_token_open(id, written_label) != 0);
    if (text != nullptr && !text->broken) {
      if (text->skipping != 0 || token_name_from_id(id) == nullptr) {
        ++text->skipping;
      } else if (!text->w->write_token_open(id, written_label)) {
        text->failed();
      }
    }
    if (binary_source) API_CHECK(try_label());
    return true;
  };
  auto try_value = [&](unsigned k) {
    Step value;
    ++calls;
    if (!read_value(s, k, value)) return false;
    units += 4 + 2 * value.text.size() + value.narrow.size();
    steps.push_back(value);
    if (binary) API_CHECK(write_value(*binary, value));
    const bool nameless = value.op == 7 && token_name_from_id(value.bits) == nullptr;
    if (text_ok() && value.op != 5 && !nameless && !write_value(*text->w, value)) text->failed();
    return true;
  };
  // Operation 0 opens a child, 1 to 8 read a value, 9 (text only) a label
  // word; at the top level only the open is tried.
  const unsigned operations = binary_source ? 1 + kValueOps : 2 + kValueOps;
  for (;;) {
    API_CHECK(calls + units <= bound);
    bool read = false;
    for (unsigned k = 0; k < (depth == 0 ? 1 : operations) && !read; ++k) {
      const unsigned op = depth == 0 ? 0 : (turn + k) % operations;
      read = op == 0 ? try_open() : op <= kValueOps ? try_value(op - 1) : try_label();
      if (read) turn = (op + 1) % operations;
    }
    if (read) continue;
    if (depth == 0) break;
    ++calls;
    const bool closed = s.read_token_close() != 0;
    // A binary token whose end lies past the body is left all the same.
    if (!closed && !binary_source) break;
    --depth;
    close_in_writers();
  }
  // What is still open is closed in the writers, so that they hold whole
  // tokens.
  for (; depth != 0; --depth) {
    close_in_writers();
  }
  return calls + units;
}

// The binary file written from `steps` gives back exactly those reads.
void replay(TokenStream& s, const std::vector<Step>& steps) {
  for (const Step& step : steps) {
    uint32_t id = 0;
    const char16_t* label = nullptr;
    Step got;
    switch (step.kind) {
      case Step::Open:
        API_CHECK(s.read_token_open(id, &label) != 0);
        API_CHECK(id == step.id && terminated(label, 33) == step.text);
        break;
      case Step::Label: {
        std::vector<char16_t> word(LABEL_TEXT_CAPACITY, u'x');
        API_CHECK(s.read_label(word.data()) != 0);  // binary: reads nothing
        break;
      }
      case Step::Value:
        API_CHECK(read_value(s, step.op, got));
        API_CHECK(got.bits == step.bits && got.text == step.text && got.narrow == step.narrow);
        break;
      case Step::Block:
        if (step.image.empty()) break;  // a text block: not in the binary file
        API_CHECK(s.read_token_open(id, &label) != 0 && id == step.id);
        {
          std::unique_ptr<TokenBlock> block = s.read_block();
          API_CHECK(block != nullptr && block->kind == BLOCK_BINARY && block->bytes == step.image);
        }
        break;
      case Step::Close:
        API_CHECK(s.read_token_close() != 0);
        break;
    }
  }
  uint32_t id = 0;
  API_CHECK(s.read_token_open(id, nullptr) == 0 && token_error == ERR_END_OF_DATA);
}

void check_container(const Bytes& file, bool opened) {
  Bytes body, again, packed;
  ContainerInfo info;
  if (!container_unpack(file, body, &info)) {
    API_CHECK(!opened);
    return;
  }
  API_CHECK(info.body_size == body.size());
  API_CHECK(container_pack(body, info.compression, info.header_bytes == 34, packed) != 0);
  API_CHECK(container_unpack(packed, again) != 0 && again == body);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool dictionary = acquire_token_dictionary() != 0;
  API_CHECK(dictionary);
  const Bytes file(data, data + size);
  auto source = token_stream_open_memory(file, STREAM_READ, 0, 0);
  check_container(file, source != nullptr);
  if (!source) return 0;
  const uint32_t flags = token_stream_flags(*source);
  API_CHECK((flags & STREAM_READ) && ((flags & STREAM_BINARY) != 0) != ((flags & STREAM_TEXT) != 0));

  auto binary = token_stream_open(nullptr, STREAM_WRITE | STREAM_BINARY, u'i', u'0', kCompressions[size % 3]);
  API_CHECK(binary != nullptr);
  TextSink text;
  text.w = token_stream_open(nullptr, STREAM_WRITE | STREAM_TEXT, u'i', u'0', kCompressions[size / 3 % 3]);
  API_CHECK(text.w != nullptr);
  std::vector<Step> steps;
  (void)walk(*source, steps, binary.get(), &text, work_bound(file));
  (void)token_stream_line(*source);
  (void)token_stream_header(*source);

  Bytes binary_file, text_file;
  API_CHECK(token_stream_close_to_bytes(std::move(binary), binary_file) != 0);
  API_CHECK(token_stream_close_to_bytes(std::move(text.w), text_file) != 0);
  auto binary_back = token_stream_open_memory(binary_file, STREAM_READ, u'i', u'0');
  API_CHECK(binary_back != nullptr && (token_stream_flags(*binary_back) & STREAM_BINARY));
  replay(*binary_back, steps);
  auto text_back = token_stream_open_memory(text_file, STREAM_READ, u'i', u'0');
  API_CHECK(text_back != nullptr && (token_stream_flags(*text_back) & STREAM_TEXT));
  std::vector<Step> ignored;
  (void)walk(*text_back, ignored, nullptr, nullptr, work_bound(text_file));
  return 0;
}
