// Example input maps in every stored form, and in-process runs of mapbake
// checked against its message table. Shared by the malformed-input sweeps,
// the reliability tests and the fault-injection tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/console.h"
#include "tokenfile/token_stream.h"

namespace testsupport {

// One source file: an example map in one encoding and compression.
struct SourceForm {
  std::string name;  // "keyboard.binary-zlib"
  std::vector<uint8_t> bytes;
};

// The stored forms a source can take: {text, binary} x {'@', 'B', 'F'}.
struct StoredForm {
  const char* name;   // "text-plain"
  uint32_t encoding;  // STREAM_TEXT or STREAM_BINARY
  char16_t compression;
};
extern const StoredForm kStoredForms[6];

// The examples/*.txt source maps, each in every stored form (the text-plain
// form is the example file itself), sorted by name. Made on the first call.
const std::vector<SourceForm>& example_source_forms();

// Copies a source-form input map value by value from one stream to another
// (any encodings): io_dev with its name, number, leading sguid and io_map
// children; comment tokens with their strings. False on the first failure
// or on a token of another shape.
bool copy_source_map(tokenfile::TokenStream& in, tokenfile::TokenStream& out);

// A source-form input map file re-encoded in `encoding` with `compression`.
std::vector<uint8_t> encode_source_map(const std::vector<uint8_t>& file, uint32_t encoding,
                                       char16_t compression);

// Reads a run-time input map (what mapbake writes) value by value: true when
// the file opens as file type 'i', version '0' and holds nothing but whole
// io_dev tokens with their codes, sguid and io_map children.
bool runtime_map_reads_whole(const std::vector<uint8_t>& file);

class CaptureConsole final : public mapbake::Console {
 public:
  void print(mapbake::Channel channel, std::string_view text) noexcept override {
    try {
      (channel == mapbake::Channel::Out ? out : err).append(text);
    } catch (...) {
      // Out of memory under allocation-failure injection: the line is lost,
      // as it would be on a real console that cannot take it.
    }
  }
  std::string out;
  std::string err;
};

// Runs mapbake in-process with `args` (without the program name).
int run_mapbake(const std::vector<std::string>& args, CaptureConsole& console);

// A temporary directory for sweeps of many small runs: in memory
// (/dev/shm) where the system has it, since a run creates, renames and
// removes files; removed with everything in it at scope exit.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  std::string file(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }
  // Names of the entries, sorted.
  std::vector<std::string> entries() const;

 private:
  std::string path_;
};

// True when `out` is exactly one message of mapbake's table that can follow
// the conversion of `source` into `target`: "Error opening", "Error
// writing" or "Error converting file (source file line N)".
bool is_failure_message(std::string_view out, std::string_view source, std::string_view target);

}  // namespace testsupport
