#include "bench_data.h"

#include <map>
#include <memory>
#include <stdexcept>
#include <utility>

#include "tokenfile/dictionary.h"
#include "tokenfile/file_container.h"

namespace mapbake::bench {

using tokenfile::TokenStream;

namespace {

// Text streams look names up in the dictionary: held for the whole run.
[[maybe_unused]] const bool dictionary_held = tokenfile::acquire_token_dictionary() != 0;

}  // namespace

const Bytes& source_file(Encoding encoding, uint64_t size) {
  static std::map<std::pair<Encoding, uint64_t>, std::unique_ptr<Bytes>> cache;
  auto& slot = cache[{encoding, size}];
  if (!slot) slot = std::make_unique<Bytes>(generate_input_map({kDefaultSeed, size, encoding}));
  return *slot;
}

const WriteScript& source_script(uint64_t size) {
  static std::map<uint64_t, std::unique_ptr<WriteScript>> cache;
  auto& slot = cache[size];
  if (!slot) {
    slot = std::make_unique<WriteScript>();
    generate_input_map({kDefaultSeed, size, Encoding::Binary}, slot.get());
  }
  return *slot;
}

Bytes fresh_copy(const Bytes& bytes) {
  Bytes copy;
  copy.reserve(bytes.size());
  copy.assign(bytes.begin(), bytes.end());
  return copy;
}

uint64_t read_input_map(TokenStream& s, benchmark::State& state) {
  constexpr uint32_t kIoDev = 99, kIoMap = 100, kSguid = 101;
  uint64_t sum = 0;
  char16_t text[256];
  uint8_t guid[64];
  uint32_t id = 0;
  uint32_t number = 0;
  auto fail = [&state](const char* what) {
    state.SkipWithError(what);
    return uint64_t{0};
  };
  tokenfile::token_error = 0;
  while (s.read_token_open(id, nullptr)) {
    if (id == kIoDev) {
      if (!s.read_wstring(text, 256) || !s.read_uint(number)) return fail("io_dev values");
      sum += text[0] + number;
      bool first = true;
      while (s.read_token_open(id, nullptr)) {
        if (id == kSguid && first) {
          if (!s.read_bytes(guid, 1) || guid[0] < 2 || guid[0] > 64 || !s.read_bytes(guid + 1, guid[0] - 1u))
            return fail("sguid");
          sum += guid[guid[0] - 1];
        } else if (id == kIoMap) {
          if (!s.read_wstring(text, 256)) return fail("control name");
          sum += text[0];
          if (!s.read_wstring(text, 256)) return fail("binding");
          sum += text[0];
          while (s.read_wstring(text, 256)) sum += text[0];
          if (tokenfile::token_error != tokenfile::ERR_END_OF_TOKEN) return fail("modifier");
        }
        first = false;
        if (!s.read_token_close()) return fail("child close");
      }
      if (tokenfile::token_error != tokenfile::ERR_END_OF_TOKEN) return fail("children");
    }
    if (!s.read_token_close()) return fail("close");
    ++sum;
  }
  if (tokenfile::token_error != tokenfile::ERR_END_OF_DATA) return fail("top level");
  return sum;
}

TempFile::TempFile(const Bytes& bytes) : file_(std::tmpfile()) {
  if (file_ == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size() ||
      std::fflush(file_) != 0) {
    throw std::runtime_error("cannot write a temporary file");
  }
  std::rewind(file_);
}

TempFile::~TempFile() {
  if (file_) std::fclose(file_);
}

const char* encoding_name(Encoding encoding) { return encoding == Encoding::Text ? "text" : "binary"; }

}  // namespace mapbake::bench
