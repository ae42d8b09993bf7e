#include "support/stream_script.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <map>

#include "tokenfile/dictionary.h"

namespace testsupport {

using namespace tokenfile;

void WithDictionary::SetUp() { ASSERT_NE(acquire_token_dictionary(), 0); }
void WithDictionary::TearDown() { release_token_dictionary(); }

Bytes from_hex(std::string_view hex) {
  Bytes out;
  std::string digits;
  for (char c : hex)
    if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
  for (size_t i = 0; i + 1 < digits.size(); i += 2) out.push_back(std::stoi(digits.substr(i, 2), nullptr, 16));
  return out;
}

Bytes token_file(char encoding, const Bytes& body, bool wide_line) {
  Bytes f = narrow_file_header();
  const std::string line = std::string("VUXA0i0") + encoding + "______\r\n";
  wide_line ? put_wide(f, std::u16string(line.begin(), line.end())) : put_str(f, line);
  f.insert(f.end(), body.begin(), body.end());
  return f;
}

Bytes text_file(std::u16string_view body) {
  Bytes b;
  put_wide(b, std::u16string(body));
  return token_file('t', b, true);
}

std::string code_name(int32_t code) {
  static const std::map<int32_t, std::string> names = {
      {kUnset, "-"},           {ERR_NO_MEMORY, "MEM"},   {ERR_BLOCK_KIND, "KIND"},     {ERR_BAD_VALUE, "BAD"},
      {ERR_END_OF_DATA, "EOD"}, {ERR_SYNTAX, "SYN"},      {ERR_UNKNOWN_TOKEN, "UNK"},   {ERR_BAD_HEADER, "HDR"},
      {ERR_END_OF_TOKEN, "EOT"}, {ERR_READ, "READ"}};
  const auto it = names.find(code);
  return it == names.end() ? std::to_string(code) : it->second;
}

std::string hex(const Bytes& bytes) {
  std::string out;
  for (uint8_t b : bytes) out += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
  return out;
}

std::string show(std::u16string_view text) {
  std::string out;
  for (char16_t c : text) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(c));
    out += c == u'\r' ? "\\r" : c == u'\n' ? "\\n" : c == u'\t' ? "\\t" : c >= 0x20 && c < 0x7F ? std::string(1, c) : buf;
  }
  return out;
}

namespace {

std::string id_text(uint32_t id) { return id == 0xFFFFFFFF ? "?" : std::to_string(id); }

std::string place_text(const SourcePlace& p) {
  return p.line != 0 ? std::to_string(p.line) + ":" + std::to_string(p.column) : "#" + std::to_string(p.offset);
}

std::string dump_block(const TokenBlock& b) {
  if (b.kind != BLOCK_TEXT) return hex(b.bytes);
  std::string out;
  for (const BlockLine& l : b.lines) out += (out.empty() ? "" : "/") + std::to_string(l.depth) + "|" + show(l.text);
  return out;
}

}  // namespace

std::string read_script(TokenStream& s, std::string_view script) {
  std::string out;
  for (size_t i = 0; i < script.size(); ++i) {
    const char op = script[i];
    if (op == ' ') continue;
    size_t digits = 0;
    while (i + 1 + digits < script.size() && std::isdigit(static_cast<unsigned char>(script[i + 1 + digits])))
      ++digits;
    const uint32_t n = digits ? std::stoul(std::string(script.substr(i + 1, digits))) : 64;
    i += digits;
    token_error = kUnset;
    uint32_t u = 0;
    int32_t v = 0;
    float f = 0;
    const char16_t* label = nullptr;
    std::u16string w(1057, u'#');
    std::string r;
    bool ok = true;
    switch (op) {
      case 'o':
      case 'O': ok = s.read_token_open(u, op == 'o' ? &label : nullptr), r = id_text(u); break;
      case 'u': ok = s.read_uint(u), r = std::to_string(u); break;
      case 'x': ok = s.read_hex(u), r = std::to_string(u); break;
      case 'r': ok = s.read_token_ref(u), r = id_text(u); break;
      case 'i': ok = s.read_int(v), r = std::to_string(v); break;
      case 'f': ok = s.read_float(f), r.resize(32), r.resize(std::to_chars(r.data(), r.data() + 32, f).ptr - r.data()); break;
      case 's': ok = s.read_wstring(w.data(), n), r = "[" + show(w.c_str()) + "]" + (w[n] == u'#' ? "" : "!over"); break;
      case 'S': {
        std::string b(n + 1, '#');
        ok = s.read_string(b.data(), n), r = "[" + b.substr(0, b.find('\0')) + "]";
        break;
      }
      case 'l': w.assign(1056, 0), w[0] = u'#', ok = s.read_label(w.data()), r = "[" + show(w.c_str()) + "]"; break;
      case 'b': {
        Bytes b(n);
        ok = s.read_bytes(b.data(), n), r = "#" + hex(b);
        break;
      }
      case 'k': {
        const auto block = s.read_block();
        ok = block != nullptr, r = ok ? "<" + dump_block(*block) + ">" : "";
        break;
      }
      case 'c': ok = s.read_token_close(), r = "c"; break;
      case 'n': r = "@" + std::to_string(token_stream_line(s)); break;
      case 'p': {
        const SourceSpan span = s.last_span();
        r = place_text(span.begin) + "-" + place_text(span.end) + "/" + std::to_string(span.length);
        break;
      }
      case 'q': r = "^" + place_text(s.open_token_place()); break;
      case 'e': r = "'" + show(s.last_lexeme()) + "'"; break;
      case 'z': r = std::string("=") + std::array{"-", "token", "body", "tail"}[static_cast<size_t>(s.read_stop())]; break;
      case 'g': r = "%" + std::to_string(s.last_string_length()); break;
      case 'L': r = "|" + show(s.source_line(n)) + "|"; break;
    }
    if (label) r += ":" + show(label);
    out += (out.empty() ? "" : " ") + (ok ? r : "!" + code_name(token_error));
  }
  return out;
}

std::string read_script(const Bytes& file, std::string_view script) {
  token_error = kUnset;
  auto s = token_stream_open_memory(file, STREAM_READ, 0, 0);
  return s ? read_script(*s, script) : "no stream !" + code_name(token_error);
}

Bytes write_script(uint32_t encoding, std::u16string_view script, std::string& log, char16_t compression,
                   std::vector<uint32_t>* lines) {
  auto s = token_stream_open(nullptr, STREAM_WRITE | encoding, u'i', u'0', compression);
  if (!s) return log += "no stream", Bytes{};
  for (size_t at = 0, index = 0; at < script.size(); ++index) {
    const size_t end = std::min(script.find(u'|', at), script.size());
    const std::u16string arg(script.substr(at + 1, end - at - 1));
    const std::string a(arg.begin(), arg.end());
    const size_t comma = arg.find(u',');
    const std::u16string label = comma == arg.npos ? u"" : arg.substr(comma + 1);
    const Bytes bytes = from_hex(a);
    token_error = kUnset;
    bool ok = false;
    float f = 0;
    switch (script[at]) {
      case u'o': ok = s->write_token_open(std::stoul(a), comma == arg.npos ? nullptr : label.c_str()); break;
      case u'c': ok = s->write_token_close(); break;
      case u'u': ok = s->write_uint(std::stoul(a)); break;
      case u'i': ok = s->write_int(std::stoi(a)); break;
      case u'x': ok = s->write_hex(std::stoul(a, nullptr, 16)); break;
      case u'f': std::from_chars(a.data(), a.data() + a.size(), f), ok = s->write_float(f); break;
      case u'r': ok = s->write_token_ref(std::stoul(a)); break;
      case u'w': ok = s->write_wstring(arg.c_str()); break;
      case u'n': ok = s->write_string(a.c_str()); break;
      case u'l': ok = s->write_label(arg.c_str()); break;
      case u'b': ok = s->write_bytes(bytes.data(), static_cast<uint32_t>(bytes.size())); break;
      case u'k': {
        auto block = arg.empty() ? nullptr : std::make_unique<TokenBlock>();
        if (block) block->kind = arg[0] == u't' ? BLOCK_TEXT : BLOCK_BINARY;
        if (block && arg[0] == u'b') block->bytes = from_hex(a.substr(1));
        for (size_t from = 1; block && arg[0] == u't' && from < arg.size();) {
          const size_t colon = arg.find(u':', from), slash = std::min(arg.find(u'/', colon), arg.size());
          block->lines.push_back({arg.substr(colon + 1, slash - colon - 1), std::stoi(a.substr(from, colon - from))});
          from = slash + 1;
        }
        const bool given = block != nullptr;
        ok = s->write_block(block);
        if (given && ok == (block != nullptr)) log += ok ? "!kept" : "!lost";  // taken on success only
        break;
      }
    }
    if (!ok) log += "!" + code_name(token_error) + "@" + std::to_string(index);
    if (lines) lines->push_back(token_stream_line(*s));
    at = end + 1;
  }
  Bytes file;
  if (!token_stream_close_to_bytes(std::move(s), file)) log += "!close";
  return file;
}

std::u16string text_body(const Bytes& f) {
  std::u16string out;
  for (size_t i = 66; i + 1 < f.size(); i += 2) out.push_back(static_cast<char16_t>(f[i] | f[i + 1] << 8));
  return out;
}

std::u16string text_written(std::u16string_view script) {
  std::string log;
  const Bytes f = write_script(STREAM_TEXT, script, log);
  return text_body(f) + std::u16string(log.begin(), log.end());
}

std::string binary_written(std::u16string_view script) {
  std::string log, out;
  std::vector<uint32_t> ends;
  const Bytes f = write_script(STREAM_BINARY, script, log, u'@', &ends);
  for (size_t i = 32; i < f.size(); ++i) {
    if (i > 32 && out.back() != ' ' && std::count(ends.begin(), ends.end(), i - 16)) out += ' ';
    out += hex({f[i]});
  }
  return out + log;
}

}  // namespace testsupport
