// A deterministic generator of large, realistic source input maps, for the
// benchmarks and for the end-to-end timing of the mapbake executable.
//
// A generated map is what people write, only much longer: keyboard, mouse,
// joystick and pen devices, every control of each device's table in turn,
// names in mixed letter case, leading sguids (some with bytes past their
// length), bindings with short, quoted and long strings (escapes and line
// feeds now and then), zero to three modifiers, labels on a few tokens, and
// tokens the converter skips (comments, stray children, a second sguid,
// other tokens with numbers and nested children). The same seed, size and
// encoding always give the same bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tokenfile/token_stream.h"

namespace mapbake::bench {

enum class Encoding : uint8_t { Text, Binary };

// The write calls that built a token tree, to replay into another stream:
// the writers' benchmarks time the writers alone, without the generator.
class WriteScript {
 public:
  enum class Kind : uint8_t { Open, Close, Uint, Float, WString, Bytes };

  void open(uint32_t id, const std::u16string* label);
  void close();
  void uint(uint32_t value);
  void real(float value);
  void wstring(const std::u16string& text);
  void bytes(const uint8_t* data, uint32_t count);

  // Replays every call into `target`; false at the first failure.
  [[nodiscard]] bool replay(tokenfile::TokenStream& target) const noexcept;

  size_t size() const noexcept { return ops_.size(); }

 private:
  struct Op {
    Kind kind;
    bool labelled;    // Open: the label is at `offset`
    uint32_t value;   // id, number, float bits, byte count
    uint32_t offset;  // into text_ (Open label, WString) or bytes_ (Bytes)
  };
  std::vector<Op> ops_;
  std::vector<char16_t> text_;  // terminated strings, one after another
  std::vector<uint8_t> bytes_;
};

// The seed of the benchmarks' inputs and of the files bench/run times.
inline constexpr uint64_t kDefaultSeed = 20250601;

struct InputMapShape {
  uint64_t seed = kDefaultSeed;
  // Generation stops after the first top-level token that brings the body
  // (stream header line included) to this many bytes.
  uint64_t body_bytes = 1u << 20;
  Encoding encoding = Encoding::Text;
};

// The bytes of a whole source token file (file header and uncompressed
// body) in the shape's encoding, as the library's own writers lay it out.
// When `script` is given it receives the write calls that made the body.
// Throws std::runtime_error if the library refuses a write.
std::vector<uint8_t> generate_input_map(const InputMapShape& shape, WriteScript* script = nullptr);

// The body of a token file produced by generate_input_map (or any
// uncompressed token file): the bytes after its file header.
std::vector<uint8_t> body_of(const std::vector<uint8_t>& file);

// The bytes of a token file holding `body` with the compression character
// '@', 'F' or 'B', as the container saves it; with `wide_header` the file
// header is in its UTF-16 form, as text files have it.
std::vector<uint8_t> compressed_file(const std::vector<uint8_t>& body, char compression,
                                     bool wide_header = false);

}  // namespace mapbake::bench
