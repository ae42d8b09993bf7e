// The whole conversion: fuzzed bytes as a source file (any header form,
// compression and encoding) converted in memory into a binary and a text
// target. Both runs must agree on the outcome and on the message; after a
// success both targets must open and hold the same run-time map, read back
// through the stream operations.
#include <algorithm>
#include <string>

#include "app/console.h"
#include "app/convert.h"
#include "fuzz_support.h"
#include "tokenfile/dictionary.h"

using namespace tokenfile;
using fuzzsupport::Bytes;

namespace {

constexpr uint32_t TOKEN_IO_DEV = 99;
constexpr uint32_t TOKEN_IO_MAP = 100;
constexpr uint32_t TOKEN_SGUID = 101;

class CaptureConsole final : public mapbake::Console {
 public:
  void print(mapbake::Channel channel, std::string_view text) noexcept override {
    if (channel == mapbake::Channel::Out) out.append(text);
  }
  std::string out;
};

// One converted run; `message` is what went to standard output.
struct Outcome {
  int32_t result = 0;
  std::string message;
  Bytes target;
};

Outcome convert(const Bytes& file, uint32_t target_encoding) {
  Outcome o;
  auto source = token_stream_open_memory(Bytes(file), STREAM_READ, 0, 0);
  if (!source) return o;
  auto target = token_stream_open(nullptr, STREAM_WRITE | target_encoding, u'i', u'0', u'@');
  FUZZ_CHECK(target != nullptr);
  CaptureConsole console;
  o.result = mapbake::convert_input_map(*source, *target, console, "fuzz");
  o.message = console.out;
  FUZZ_CHECK(token_stream_close_to_bytes(std::move(target), o.target) != 0);
  return o;
}

// The run-time map in a target, read back value by value as the converter
// wrote it, into one comparable line. Carriage returns in binding strings
// are left out: the text encoding drops them by design.
std::string read_runtime_map(const Bytes& target) {
  auto s = token_stream_open_memory(Bytes(target), STREAM_READ, u'i', u'0');
  FUZZ_CHECK(s != nullptr);
  std::string dump;
  uint32_t id = 0;
  while (s->read_token_open(id, nullptr)) {
    FUZZ_CHECK(id == TOKEN_IO_DEV);
    uint32_t device = 0, number = 0;
    FUZZ_CHECK(s->read_uint(device) && s->read_uint(number));
    dump += "dev " + std::to_string(device) + ' ' + std::to_string(number);
    uint32_t child = 0;
    while (s->read_token_open(child, nullptr)) {
      if (child == TOKEN_SGUID) {
        uint8_t guid[64];
        FUZZ_CHECK(s->read_bytes(guid, 1));
        FUZZ_CHECK(guid[0] >= 2 && guid[0] <= 64);
        FUZZ_CHECK(s->read_bytes(guid + 1, guid[0] - 1u));
        dump += " guid";
        for (uint32_t i = 0; i < guid[0]; ++i) dump += ' ' + std::to_string(guid[i]);
      } else {
        FUZZ_CHECK(child == TOKEN_IO_MAP);
        uint32_t code = 0, mask = 0;
        char16_t text[256];
        FUZZ_CHECK(s->read_hex(code));
        FUZZ_CHECK(s->read_wstring(text, 256));
        FUZZ_CHECK(s->read_uint(mask));
        dump += " map " + std::to_string(code) + " [";
        for (const char16_t* p = text; *p != 0; ++p)
          if (*p != u'\r') dump += std::to_string(*p) + ',';
        dump += "] " + std::to_string(mask);
      }
      FUZZ_CHECK(s->read_token_close());
    }
    FUZZ_CHECK(token_error == ERR_END_OF_TOKEN);
    FUZZ_CHECK(s->read_token_close());
    dump += ";";
  }
  FUZZ_CHECK(token_error == ERR_END_OF_DATA);
  return dump;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::acquire_dictionary_once();
  const Bytes file = fuzzsupport::exact_copy(data, size);
  const Outcome binary = convert(file, STREAM_BINARY);
  const Outcome text = convert(file, STREAM_TEXT);
  FUZZ_CHECK(binary.result == text.result);
  FUZZ_CHECK(binary.message == text.message);
  if (binary.result == 0) {
    // Every failure prints exactly the one message of the conversion.
    if (!binary.target.empty()) {
      FUZZ_CHECK(binary.message.rfind("Error converting file (source file line ", 0) == 0);
      FUZZ_CHECK(std::count(binary.message.begin(), binary.message.end(), '\n') == 1);
    }
    return 0;
  }
  FUZZ_CHECK(binary.message.empty());
  FUZZ_CHECK(read_runtime_map(binary.target) == read_runtime_map(text.target));
  return 0;
}
