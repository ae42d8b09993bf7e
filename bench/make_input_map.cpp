// Writes a generated source input map to a file, for timing the mapbake
// executable on large inputs:
//
//   make_input_map text|binary SIZE OUTPUT [SEED]
//
// SIZE is the body size to reach, in bytes or with a K, M or G suffix
// (binary multiples). The same arguments always give the same file.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "input_map_generator.h"

namespace {

bool parse_size(const std::string& text, uint64_t& size) {
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (end == text.c_str()) return false;
  const std::string suffix(end);
  if (suffix.empty()) {
    size = value;
  } else if (suffix == "K" || suffix == "KiB") {
    size = value << 10;
  } else if (suffix == "M" || suffix == "MiB") {
    size = value << 20;
  } else if (suffix == "G" || suffix == "GiB") {
    size = value << 30;
  } else {
    return false;
  }
  return size > 0;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace mapbake::bench;
  InputMapShape shape;
  const std::string kind = argc > 1 ? argv[1] : "";
  const std::string compression = argc > 5 ? argv[5] : "@";
  if (argc < 4 || argc > 6 || (kind != "text" && kind != "binary") || !parse_size(argv[2], shape.body_bytes) ||
      (argc >= 5 && (shape.seed = std::strtoull(argv[4], nullptr, 10)) == 0) ||
      (compression != "@" && compression != "B" && compression != "F")) {
    std::fprintf(stderr, "usage: make_input_map text|binary SIZE[K|M|G] OUTPUT [SEED [@|B|F]]\n");
    return 2;
  }
  shape.encoding = kind == "text" ? Encoding::Text : Encoding::Binary;
  try {
    std::vector<uint8_t> file = generate_input_map(shape);
    if (compression != "@") {
      file = compressed_file(body_of(file), compression[0], shape.encoding == Encoding::Text);
    }
    std::FILE* out = std::fopen(argv[3], "wb");
    if (out == nullptr || std::fwrite(file.data(), 1, file.size(), out) != file.size() ||
        std::fclose(out) != 0) {
      std::fprintf(stderr, "make_input_map: cannot write %s\n", argv[3]);
      return 1;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make_input_map: %s\n", e.what());
    return 1;
  }
  return 0;
}
