// Input maps for the mapbake tests: a text source in every stored form, a
// dump of the run-time map mapbake writes, and in-process runs of mapbake.
// Callers of source_forms and dump hold the token dictionary.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/console.h"
#include "support/temp_dir.h"
#include "tokenfile/token_stream.h"

namespace testsupport {

using Bytes = std::vector<uint8_t>;

class Capture final : public mapbake::Console {
 public:
  void print(mapbake::Channel channel, std::string_view text) noexcept override {
    try {
      (channel == mapbake::Channel::Out ? out : err).append(text);
    } catch (...) {  // out of memory under injection: the line is lost
    }
  }
  std::string out, err;
};

// mapbake in-process with `args` (the program name is put in front).
int run_mapbake(const std::vector<std::string>& args, Capture& console);

// A source and a target beside it in a temporary directory, for many runs.
struct Scene {
  TempDir dir;
  std::string source = dir.file("source.iom"), target = dir.file("target.iom");
  std::vector<std::string> args;
  std::vector<const char*> argv;
  Capture console;
  // Writes the source, an existing target holding "old" (or none), and
  // makes the command line `line`, "S" standing for the source and "T" for
  // the target; the console is emptied, with room reserved. Runs allocate
  // nothing before mapbake does.
  void prepare(const std::vector<uint8_t>& input, const std::vector<std::string>& line = {"S", "T"},
               bool existing = true);
  int run();
};

// A text source file: byte-order mark, UTF-16 file header and stream header
// line, then `tokens`.
Bytes text_source(std::u16string_view tokens);

struct SourceForm {
  std::string name;
  Bytes bytes;
};

// The map of a text source in each stored form: the text and the binary
// encoding, each plain behind the 8-bit file header, the UTF-16 one and none,
// and compressed with Huffman ('B') and zlib ('F'); then the text in UTF-8
// with its header line, LF and CR LF (with a byte-order mark). Text forms
// come first; the binary ones are left out when the text does not
// re-encode, the UTF-8 ones when UTF-8 cannot hold it as a source (no "(",
// a NUL or an unpaired surrogate).
std::vector<SourceForm> source_forms(std::u16string_view tokens);

// A source in UTF-8 as it comes from the text writer (header line first, LF
// line ends) in each of its forms: as it is, with CR LF and a byte-order
// mark, and both again without the header line. Named "lf", "bom-crlf",
// "bare-lf", "bare-bom-crlf".
std::vector<SourceForm> utf8_forms(const Bytes& utf8);

// The run-time map (binary, or text with STREAM_TEXT; compressed as asked)
// of a source file, converted in memory, or nothing when it fails.
Bytes bake(const Bytes& source, uint32_t encoding = tokenfile::STREAM_BINARY, char16_t compression = u'@');

// A run-time map as one line: "dev(CODE NUMBER sguid(HEX) map(HEX STRING
// HEX))", devices separated by blanks; anything else shows as "<...>".
std::string dump(const Bytes& file);

// The tokens of the innermost open token of a source map (or of its top
// level) copied by their source shapes; false at the first failed step.
bool copy_source(tokenfile::TokenStream& in, tokenfile::TokenStream& out);

// True when `out` is exactly one of the messages of a failed run on these
// names.
bool is_one_message(std::string_view out, std::string_view source, std::string_view target);

}  // namespace testsupport
