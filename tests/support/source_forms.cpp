#include "support/source_forms.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "app/driver.h"
#include "tokenfile/dictionary.h"

namespace testsupport {

using tokenfile::TokenStream;

namespace {

constexpr uint32_t kIoDev = 99;
constexpr uint32_t kIoMap = 100;
constexpr uint32_t kSguid = 101;
constexpr uint32_t kComment = 1;

// Copies strings until the token's content ends.
bool copy_strings(TokenStream& in, TokenStream& out) {
  char16_t text[1056];
  while (in.read_wstring(text, 1056)) {
    if (!out.write_wstring(text)) return false;
  }
  return tokenfile::token_error == tokenfile::ERR_END_OF_TOKEN;
}

bool copy_device(TokenStream& in, TokenStream& out) {
  char16_t name[256];
  uint32_t number = 0;
  if (!in.read_wstring(name, 256) || !in.read_uint(number)) return false;
  if (!out.write_token_open(kIoDev, nullptr) || !out.write_wstring(name) || !out.write_uint(number))
    return false;
  uint32_t id = 0;
  while (in.read_token_open(id, nullptr)) {
    if (!out.write_token_open(id, nullptr)) return false;
    if (id == kSguid) {
      uint8_t guid[256];
      if (!in.read_bytes(guid, 1) || guid[0] == 0 || !in.read_bytes(guid + 1, guid[0] - 1u) ||
          !out.write_bytes(guid, guid[0]))
        return false;
    } else if (id == kIoMap || id == kComment) {
      if (!copy_strings(in, out)) return false;
    } else {
      return false;
    }
    if (!in.read_token_close() || !out.write_token_close()) return false;
  }
  return tokenfile::token_error == tokenfile::ERR_END_OF_TOKEN && out.write_token_close();
}

std::vector<uint8_t> read_whole_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

const StoredForm kStoredForms[6] = {
    {"text-plain", tokenfile::STREAM_TEXT, u'@'},       {"text-huffman", tokenfile::STREAM_TEXT, u'B'},
    {"text-zlib", tokenfile::STREAM_TEXT, u'F'},        {"binary-plain", tokenfile::STREAM_BINARY, u'@'},
    {"binary-huffman", tokenfile::STREAM_BINARY, u'B'}, {"binary-zlib", tokenfile::STREAM_BINARY, u'F'},
};

bool copy_source_map(TokenStream& in, TokenStream& out) {
  uint32_t id = 0;
  while (in.read_token_open(id, nullptr)) {
    if (id == kIoDev) {
      if (!copy_device(in, out)) return false;
    } else if (id == kComment) {
      if (!out.write_token_open(kComment, nullptr) || !copy_strings(in, out) || !out.write_token_close())
        return false;
    } else {
      return false;
    }
    if (!in.read_token_close()) return false;
  }
  return tokenfile::token_error == tokenfile::ERR_END_OF_DATA;
}

std::vector<uint8_t> encode_source_map(const std::vector<uint8_t>& file, uint32_t encoding,
                                       char16_t compression) {
  if (tokenfile::acquire_token_dictionary() == 0) return {};
  std::vector<uint8_t> out;
  auto in = tokenfile::token_stream_open_memory(file, tokenfile::STREAM_READ, 0, 0);
  auto w = tokenfile::token_stream_open(nullptr, tokenfile::STREAM_WRITE | encoding, u'i', u'0', compression);
  const bool ok =
      in && w && copy_source_map(*in, *w) && tokenfile::token_stream_close_to_bytes(std::move(w), out);
  tokenfile::release_token_dictionary();
  return ok ? out : std::vector<uint8_t>{};
}

namespace {

std::vector<SourceForm> make_example_source_forms() {
  std::vector<std::filesystem::path> examples;
  for (const auto& entry : std::filesystem::directory_iterator(MAPBAKE_EXAMPLES_DIR))
    if (entry.path().extension() == ".txt") examples.push_back(entry.path());
  std::sort(examples.begin(), examples.end());
  std::vector<SourceForm> forms;
  for (const auto& path : examples) {
    const std::vector<uint8_t> original = read_whole_file(path);
    for (const StoredForm& form : kStoredForms) {
      SourceForm f;
      f.name = path.stem().string() + "." + form.name;
      f.bytes = form.encoding == tokenfile::STREAM_TEXT && form.compression == u'@'
                    ? original
                    : encode_source_map(original, form.encoding, form.compression);
      forms.push_back(std::move(f));
    }
  }
  return forms;
}

}  // namespace

const std::vector<SourceForm>& example_source_forms() {
  static const std::vector<SourceForm> forms = make_example_source_forms();
  return forms;
}

bool runtime_map_reads_whole(const std::vector<uint8_t>& file) {
  if (tokenfile::acquire_token_dictionary() == 0) return false;
  bool ok = false;
  if (auto s = tokenfile::token_stream_open_memory(file, tokenfile::STREAM_READ, u'i', u'0')) {
    auto device = [&s] {
      uint32_t code = 0, number = 0, id = 0;
      if (!s->read_uint(code) || !s->read_uint(number)) return false;
      while (s->read_token_open(id, nullptr)) {
        uint8_t guid[64];
        char16_t text[256];
        uint32_t control = 0, mask = 0;
        if (id == kSguid) {
          if (!s->read_bytes(guid, 1) || guid[0] < 2 || guid[0] > 64 ||
              !s->read_bytes(guid + 1, guid[0] - 1u))
            return false;
        } else if (id != kIoMap || !s->read_hex(control) || !s->read_wstring(text, 256) ||
                   !s->read_uint(mask)) {
          return false;
        }
        if (!s->read_token_close()) return false;
      }
      return tokenfile::token_error == tokenfile::ERR_END_OF_TOKEN && s->read_token_close();
    };
    uint32_t id = 0;
    bool devices = true;
    while (devices && s->read_token_open(id, nullptr)) devices = id == kIoDev && device();
    ok = devices && tokenfile::token_error == tokenfile::ERR_END_OF_DATA;
  }
  tokenfile::release_token_dictionary();
  return ok;
}

ScratchDir::ScratchDir() {
  std::error_code ec;
  const bool shm = std::filesystem::is_directory("/dev/shm", ec) && ::access("/dev/shm", W_OK | X_OK) == 0;
  std::string pattern = (shm ? std::string("/dev/shm") : std::filesystem::temp_directory_path().string()) +
                        "/mapbake-sweep-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::vector<std::string> ScratchDir::entries() const {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(path_))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

int run_mapbake(const std::vector<std::string>& args, CaptureConsole& console) {
  std::vector<const char*> argv = {"mapbake"};
  for (const auto& a : args) argv.push_back(a.c_str());
  return mapbake::run(static_cast<int>(argv.size()), argv.data(), console);
}

bool is_failure_message(std::string_view out, std::string_view source, std::string_view target) {
  auto is = [out](std::string_view head, std::string_view name) {
    return out.size() == head.size() + name.size() + 1 && out.substr(0, head.size()) == head &&
           out.substr(head.size(), name.size()) == name && out.back() == '\n';
  };
  if (is("Error opening ", source) || is("Error writing ", target)) return true;
  constexpr std::string_view head = "Error converting file (source file line ";
  if (out.substr(0, head.size()) != head || out.size() < head.size() + 3) return false;
  const std::string_view number = out.substr(head.size(), out.size() - head.size() - 2);
  return out.substr(out.size() - 2) == ")\n" && !number.empty() &&
         std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace testsupport
