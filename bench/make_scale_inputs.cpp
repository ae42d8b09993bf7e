// Writes the large inputs of the scale test (scripts/scale.sh) into a
// directory:
//   make_scale_inputs DIR [NAME...]
// Each is a source input map that mapbake must convert or refuse cleanly,
// with peak memory within three times the sizes of source and target:
//   deep_text.iom      a device whose last child nests a million tokens deep
//   deep_binary.iom    the same in the binary encoding
//   long_line.iom      a text source whose one line holds 100 million
//                      characters (a device with a comment of short words)
//   long_word.iom      a text source whose one word is 100 million
//                      characters long (refused at its 1056th character)
//   big_binary.iom     a binary source of 2 GiB: one device after another,
//                      each with a binding (about 36 million tokens)
// The files are written piece by piece; the generator itself stays small.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint64_t kMillion = 1000000;

class Out {
 public:
  explicit Out(const std::string& path) : f_(std::fopen(path.c_str(), "wb")) {
    if (f_ == nullptr) {
      std::perror(path.c_str());
      std::exit(1);
    }
    buffer_.reserve(1 << 20);
  }
  ~Out() {
    flush();
    if (std::fclose(f_) != 0) {
      std::perror("close");
      std::exit(1);
    }
  }
  void bytes(const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    buffer_.insert(buffer_.end(), b, b + n);
    if (buffer_.size() >= (1 << 20)) flush();
  }
  void u8(uint8_t v) { bytes(&v, 1); }
  void u16(uint16_t v) { u8(static_cast<uint8_t>(v)), u8(static_cast<uint8_t>(v >> 8)); }
  void u32(uint32_t v) { u16(static_cast<uint16_t>(v)), u16(static_cast<uint16_t>(v >> 16)); }
  // ASCII text as UTF-16LE.
  void wide(const std::string& s) {
    for (char c : s) u16(static_cast<uint8_t>(c));
  }
  void narrow(const std::string& s) { bytes(s.data(), s.size()); }

 private:
  void flush() {
    if (!buffer_.empty() && std::fwrite(buffer_.data(), 1, buffer_.size(), f_) != buffer_.size()) {
      std::perror("write");
      std::exit(1);
    }
    buffer_.clear();
  }
  std::FILE* f_;
  std::vector<uint8_t> buffer_;
};

void text_headers(Out& o) {
  o.u8(0xFF);
  o.u8(0xFE);
  o.wide("TORVIA@@@@@@@@@@");
  o.wide("VUXA0i0t______\r\n");
}

void binary_headers(Out& o) {
  o.narrow("TORVIA@@@@@@@@@@");
  o.narrow("VUXA0i0b______\r\n");
}

void binary_string(Out& o, const std::string& s) {
  o.u16(static_cast<uint16_t>(s.size()));
  o.wide(s);
}

void deep_text(const std::string& path) {
  Out o(path);
  text_headers(o);
  o.wide("io_dev ( KEYB 0\r\n\tio_map ( A jump SHIFT_DOWN )\r\n\t");
  for (uint64_t i = 0; i < kMillion; ++i) o.wide("comment ( ");
  for (uint64_t i = 0; i < kMillion; ++i) o.wide(") ");
  o.wide("\r\n)\r\n");
}

void deep_binary(const std::string& path) {
  Out o(path);
  binary_headers(o);
  // io_dev: name, number, one io_map, then the chain of comment tokens,
  // each holding the next.
  const uint32_t io_map_size = 9 + 4 + 10 + 22;  // head, "A", "jump", "SHIFT_DOWN"
  const uint64_t chain = 9 * kMillion;
  o.u32(99);
  o.u32(static_cast<uint32_t>(1 + 10 + 4 + io_map_size + chain));
  o.u8(0);
  binary_string(o, "KEYB");
  o.u32(0);
  o.u32(100);
  o.u32(io_map_size - 8);
  o.u8(0);
  binary_string(o, "A");
  binary_string(o, "jump");
  binary_string(o, "SHIFT_DOWN");
  for (uint64_t i = 0; i < kMillion; ++i) {
    o.u32(1);
    o.u32(static_cast<uint32_t>(9 * (kMillion - i) - 8));
    o.u8(0);
  }
}

void long_line(const std::string& path) {
  Out o(path);
  text_headers(o);
  const std::string head = "io_dev ( KEYB 0 io_map ( A jump ) comment ( ";
  const std::string tail = ") )";
  o.wide(head);
  const uint64_t words = (100 * kMillion - head.size() - tail.size()) / 2;
  for (uint64_t i = 0; i < words; ++i) o.wide("w ");
  o.wide(tail);
}

void long_word(const std::string& path) {
  Out o(path);
  text_headers(o);
  o.wide("io_dev ( KEYB 0 io_map ( A ");
  const std::string chunk(1000, 'w');
  for (uint64_t i = 0; i < 100 * kMillion / chunk.size(); ++i) o.wide(chunk);
  o.wide(" ) )");
}

void big_binary(const std::string& path) {
  Out o(path);
  binary_headers(o);
  // One device: head 9, "KEYB" 10, number 4, io_map (head 9, "A" 4,
  // "jump" 10, "CTRL_UP" 16) 39: 62 bytes.
  std::vector<uint8_t> device;
  {
    std::vector<uint8_t>& d = device;
    auto u32 = [&d](uint32_t v) {
      for (int i = 0; i < 4; ++i) d.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    auto str = [&d](const std::string& s) {
      d.push_back(static_cast<uint8_t>(s.size()));
      d.push_back(0);
      for (char c : s) {
        d.push_back(static_cast<uint8_t>(c));
        d.push_back(0);
      }
    };
    u32(99);
    u32(62 - 8);
    d.push_back(0);
    str("KEYB");
    u32(7);
    u32(100);
    u32(39 - 8);
    d.push_back(0);
    str("A");
    str("jump");
    str("CTRL_UP");
  }
  const uint64_t target_size = 2048ull * 1024 * 1024 - 64;  // 2 GiB, less the headers
  for (uint64_t written = 0; written + device.size() <= target_size; written += device.size())
    o.bytes(device.data(), device.size());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: make_scale_inputs DIR [deep_text|deep_binary|long_line|long_word|big_binary...]\n");
    return 2;
  }
  const std::string dir = argv[1];
  std::vector<std::string> names(argv + 2, argv + argc);
  if (names.empty()) names = {"deep_text", "deep_binary", "long_line", "long_word", "big_binary"};
  for (const auto& name : names) {
    const std::string path = dir + "/" + name + ".iom";
    if (name == "deep_text")
      deep_text(path);
    else if (name == "deep_binary")
      deep_binary(path);
    else if (name == "long_line")
      long_line(path);
    else if (name == "long_word")
      long_word(path);
    else if (name == "big_binary")
      big_binary(path);
    else {
      std::fprintf(stderr, "unknown input %s\n", name.c_str());
      return 2;
    }
  }
  return 0;
}
