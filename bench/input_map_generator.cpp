#include "input_map_generator.h"

#include <array>
#include <bit>
#include <cstring>
#include <stdexcept>
#include <string_view>

#include "app/input_map_tables.h"
#include "tokenfile/stream_internals.h"
#include "tokenfile/dictionary.h"
#include "tokenfile/file_container.h"

namespace mapbake::bench {

using tokenfile::TokenStream;

// --- WriteScript ---

void WriteScript::open(uint32_t id, const std::u16string* label) {
  ops_.push_back({Kind::Open, label != nullptr, id, static_cast<uint32_t>(text_.size())});
  if (label) {
    text_.insert(text_.end(), label->begin(), label->end());
    text_.push_back(0);
  }
}

void WriteScript::close() { ops_.push_back({Kind::Close, false, 0, 0}); }
void WriteScript::uint(uint32_t value) { ops_.push_back({Kind::Uint, false, value, 0}); }
void WriteScript::real(float value) {
  ops_.push_back({Kind::Float, false, std::bit_cast<uint32_t>(value), 0});
}

void WriteScript::wstring(const std::u16string& text) {
  ops_.push_back({Kind::WString, false, 0, static_cast<uint32_t>(text_.size())});
  text_.insert(text_.end(), text.begin(), text.end());
  text_.push_back(0);
}

void WriteScript::bytes(const uint8_t* data, uint32_t count) {
  ops_.push_back({Kind::Bytes, false, count, static_cast<uint32_t>(bytes_.size())});
  bytes_.insert(bytes_.end(), data, data + count);
}

bool WriteScript::replay(TokenStream& target) const noexcept {
  for (const Op& op : ops_) {
    int32_t ok = 0;
    switch (op.kind) {
      case Kind::Open:
        ok = target.write_token_open(op.value, op.labelled ? text_.data() + op.offset : nullptr);
        break;
      case Kind::Close:
        ok = target.write_token_close();
        break;
      case Kind::Uint:
        ok = target.write_uint(op.value);
        break;
      case Kind::Float:
        ok = target.write_float(std::bit_cast<float>(op.value));
        break;
      case Kind::WString:
        ok = target.write_wstring(text_.data() + op.offset);
        break;
      case Kind::Bytes:
        ok = target.write_bytes(bytes_.data() + op.offset, op.value);
        break;
    }
    if (!ok) return false;
  }
  return true;
}

namespace {

// splitmix64: small, fast and the same on every platform.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // 0 to n - 1.
  uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }
  // True once in n.
  bool one_in(uint32_t n) { return below(n) == 0; }

 private:
  uint64_t state_;
};

constexpr std::array<std::string_view, 48> kWords = {
    "move",   "forward", "back",   "strafe", "left",     "right",  "jump",  "crouch", "sprint", "walk",
    "fire",   "primary", "second", "reload", "use",      "open",   "close", "menu",   "map",    "zoom",
    "in",     "out",     "weapon", "next",   "prev",     "quick",  "save",  "load",   "screen", "shot",
    "chat",   "team",    "score",  "board",  "throttle", "up",     "down",  "brake",  "hand",   "gear",
    "camera", "horn",    "lights", "look",   "lean",     "toggle", "voice", "radio"};

// Top-level tokens other than io_dev, each skipped by the converter.
constexpr std::array<uint32_t, 6> kOtherTokens = {71, 169, 181, 28, 13, 132};  // shape, world, ...
constexpr uint32_t kComment = 1;
constexpr uint32_t kChildToken = 2;  // point: numbers inside a skipped token

class Generator {
 public:
  Generator(const InputMapShape& shape, TokenStream& out, WriteScript* script)
      : shape_(shape), rng_(shape.seed), out_(out), script_(script) {}

  void run() {
    while (tokenfile::StreamInternals::container(out_)->body_size < shape_.body_bytes) {
      const uint32_t pick = rng_.below(100);
      if (pick < 3) {
        comment();
      } else if (pick < 6) {
        other_token(0);
      } else {
        device();
      }
    }
  }

 private:
  // --- the calls, applied to the stream and recorded ---

  void check(int32_t ok) {
    if (!ok) throw std::runtime_error("the token writer refused a generated map");
  }
  void open(uint32_t id, const std::u16string* label = nullptr) {
    check(out_.write_token_open(id, label ? label->c_str() : nullptr));
    if (script_) script_->open(id, label);
  }
  void close() {
    check(out_.write_token_close());
    if (script_) script_->close();
  }
  void uint(uint32_t v) {
    check(out_.write_uint(v));
    if (script_) script_->uint(v);
  }
  void real(float v) {
    check(out_.write_float(v));
    if (script_) script_->real(v);
  }
  void wstring(const std::u16string& s) {
    check(out_.write_wstring(s.c_str()));
    if (script_) script_->wstring(s);
  }
  void bytes(const uint8_t* data, uint32_t n) {
    check(out_.write_bytes(data, n));
    if (script_) script_->bytes(data, n);
  }

  // --- content ---

  // A table name as people type it: mostly as listed, now and then in
  // lower case or with only its first letter upper case.
  std::u16string name_as_typed(const char16_t* name) {
    std::u16string s(name);
    const uint32_t pick = rng_.below(16);
    for (size_t i = 0; i < s.size(); ++i) {
      const char16_t c = s[i];
      if (c < u'A' || c > u'Z') continue;
      if (pick < 2 || (pick == 2 && i > 0)) s[i] = static_cast<char16_t>(c + 0x20);
    }
    return s;
  }

  std::u16string words(uint32_t count, char16_t separator) {
    std::u16string s;
    for (uint32_t i = 0; i < count; ++i) {
      if (i) s.push_back(separator);
      for (char c : kWords[rng_.below(kWords.size())]) s.push_back(static_cast<char16_t>(c));
    }
    return s;
  }

  // A binding string: a bare word, words with spaces, a long sentence up to
  // the 255 units the converter keeps, quotes, backslashes, tabs and line
  // feeds now and then.
  std::u16string binding() {
    const uint32_t pick = rng_.below(100);
    if (pick < 45) return words(1 + rng_.below(2), u'_');
    if (pick < 55) return words(1, u'_') + static_cast<char16_t>(u'0' + rng_.below(10));
    if (pick < 75) return words(2 + rng_.below(3), u' ');
    if (pick < 92) {
      std::u16string s = words(8 + rng_.below(30), u' ');
      if (s.size() > 255) s.resize(255);
      return s;
    }
    if (pick < 96) return u"say \"" + words(2, u' ') + u"\" to " + words(1, u' ');
    if (pick < 98) return words(1, u' ') + u"\\" + words(1, u' ') + u"\t" + words(1, u' ');
    return words(3, u' ') + u"\n" + words(3, u' ');
  }

  void comment() {
    open(kComment);
    wstring(words(6 + rng_.below(40), u' '));
    close();
  }

  // A token the converter skips whole, with numbers and nested children.
  void other_token(uint32_t depth) {
    open(depth == 0 ? kOtherTokens[rng_.below(kOtherTokens.size())] : kChildToken);
    const uint32_t values = 1 + rng_.below(6);
    for (uint32_t i = 0; i < values; ++i) {
      if (rng_.one_in(2)) {
        uint(rng_.below(100000));
      } else {
        real(static_cast<float>(rng_.below(2000000)) / 1000.0f - 1000.0f);
      }
    }
    if (depth < 2) {
      const uint32_t children = rng_.below(4);
      for (uint32_t i = 0; i < children; ++i) other_token(depth + 1);
    }
    close();
  }

  void sguid(bool with_extra) {
    std::array<uint8_t, 80> b{};
    const uint32_t n = rng_.one_in(4) ? 2 + rng_.below(63) : 17;
    b[0] = static_cast<uint8_t>(n);
    for (uint32_t i = 1; i < n; ++i) b[i] = static_cast<uint8_t>(rng_.next());
    uint32_t total = n;
    if (with_extra) {
      const uint32_t extra = 1 + rng_.below(8);
      for (uint32_t i = 0; i < extra; ++i) b[total++] = static_cast<uint8_t>(rng_.next());
    }
    open(TOKEN_SGUID);
    bytes(b.data(), total);
    close();
  }

  void device() {
    const uint32_t pick = rng_.below(100);
    uint32_t kind;  // index into device_names
    if (pick < 40) {
      kind = 2;  // KEYB
    } else if (pick < 55) {
      kind = 0;  // JOY
    } else if (pick < 70) {
      kind = 1;  // JOYSTICK
    } else if (pick < 97) {
      kind = 3;  // MOUSE
    } else {
      kind = 4;  // PEN
    }
    const NameValue& device_name = device_names[kind];
    open(TOKEN_IO_DEV);
    wstring(name_as_typed(device_name.name));
    uint(rng_.below(8));

    const NameValue* controls = control_tables[device_name.value];
    // A pen has no controls: only an sguid, without which it would have no
    // child at all.
    if (controls == nullptr || rng_.below(10) < 7) sguid(rng_.one_in(10));
    if (controls != nullptr) {
      size_t table_size = 0;
      while (controls[table_size].name != nullptr) ++table_size;
      uint32_t& next_control = next_control_[device_name.value];
      const uint32_t maps = device_name.value == DEVICE_KEYBOARD ? 16 + rng_.below(96)
                            : device_name.value == DEVICE_MOUSE  ? 3 + rng_.below(8)
                                                                 : 8 + rng_.below(24);
      for (uint32_t i = 0; i < maps; ++i) {
        const uint32_t child = rng_.below(200);
        if (child == 0) {
          comment();
        } else if (child == 1) {
          sguid(false);  // not the first child: skipped
        } else if (child == 2) {
          other_token(1);
        }
        binding_map(controls[next_control % table_size]);
        next_control = static_cast<uint32_t>((next_control + 1) % table_size);
      }
    } else if (rng_.one_in(2)) {
      comment();
    }
    close();
  }

  void binding_map(const NameValue& control) {
    if (rng_.one_in(50)) {
      const std::u16string label = words(1, u'_');
      open(TOKEN_IO_MAP, &label);
    } else {
      open(TOKEN_IO_MAP);
    }
    wstring(name_as_typed(control.name));
    wstring(binding());
    const uint32_t pick = rng_.below(20);
    const uint32_t modifiers = pick < 10 ? 0 : pick < 16 ? 1 : pick < 19 ? 2 : 3;
    for (uint32_t i = 0; i < modifiers; ++i) {
      wstring(name_as_typed(modifier_names[rng_.below(modifier_names.size() - 1)].name));
    }
    close();
  }

  const InputMapShape& shape_;
  Random rng_;
  TokenStream& out_;
  WriteScript* script_;
  std::array<uint32_t, 4> next_control_{};
};

}  // namespace

std::vector<uint8_t> generate_input_map(const InputMapShape& shape, WriteScript* script) {
  // The text writer looks token names up in the dictionary.
  struct Dictionary {
    Dictionary() {
      if (!tokenfile::acquire_token_dictionary()) throw std::runtime_error("no token dictionary");
    }
    ~Dictionary() { tokenfile::release_token_dictionary(); }
  } dictionary;
  const uint32_t flags =
      tokenfile::STREAM_WRITE |
      (shape.encoding == Encoding::Binary ? tokenfile::STREAM_BINARY : tokenfile::STREAM_TEXT);
  auto stream = tokenfile::token_stream_open(nullptr, flags, u'i', u'0', u'@');
  if (!stream) throw std::runtime_error("cannot open a token stream in memory");
  Generator(shape, *stream, script).run();
  std::vector<uint8_t> file;
  if (!tokenfile::token_stream_close_to_bytes(std::move(stream), file)) {
    throw std::runtime_error("cannot close a token stream in memory");
  }
  return file;
}

std::vector<uint8_t> body_of(const std::vector<uint8_t>& file) {
  size_t header = 0;
  if (file.size() >= 34 && file[0] == 0xFF && file[1] == 0xFE && file[2] == 'T' && file[3] == 0) {
    header = 34;
  } else if (file.size() >= 16 && std::memcmp(file.data(), "TORVI", 5) == 0) {
    header = 16;
  }
  return std::vector<uint8_t>(file.begin() + static_cast<std::ptrdiff_t>(header), file.end());
}

std::vector<uint8_t> compressed_file(const std::vector<uint8_t>& body, char compression, bool wide_header) {
  auto c = tokenfile::container_create(nullptr, compression, wide_header ? 1 : 0);
  if (!c || tokenfile::container_write(*c, body.data(), static_cast<uint32_t>(body.size())) != body.size()) {
    throw std::runtime_error("cannot fill a container");
  }
  std::vector<uint8_t> file;
  if (!tokenfile::container_close_to_bytes(std::move(c), file))
    throw std::runtime_error("cannot save a container");
  return file;
}

}  // namespace mapbake::bench
