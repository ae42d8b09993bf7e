#include "support/source_forms.h"

#include <cstdio>
#include <regex>

#include "app/convert.h"
#include "app/driver.h"
#include "support/bytes.h"
#include "tokenfile/file_container.h"
#include "tokenfile/text/utf8_source.h"
#include "tokenfile/token_stream.h"

namespace testsupport {

using namespace tokenfile;

// io_dev a string and a number, io_map strings, sguid bytes, any other token
// one string; then their children.
bool copy_source(TokenStream& in, TokenStream& out) {
  uint32_t id = 0, n = 0;
  char16_t s[1100];
  uint8_t b = 0;
  while (in.read_token_open(id, nullptr)) {
    bool ok = out.write_token_open(id, nullptr);
    if (id == 99)
      ok = ok && in.read_wstring(s, 1100) && out.write_wstring(s) && (!in.read_uint(n) || out.write_uint(n));
    while (id == 101 && ok && in.read_bytes(&b, 1)) ok = out.write_bytes(&b, 1);
    while (id == 100 && ok && in.read_wstring(s, 1100)) ok = out.write_wstring(s);
    if (id != 99 && id != 100 && id != 101 && in.read_wstring(s, 1100)) ok = ok && out.write_wstring(s);
    if (!ok || !copy_source(in, out) || !in.read_token_close() || !out.write_token_close()) return false;
  }
  return token_error == ERR_END_OF_TOKEN || token_error == ERR_END_OF_DATA;
}

int run_mapbake(const std::vector<std::string>& args, Capture& console) {
  std::vector<const char*> argv = {"mapbake"};
  for (const auto& a : args) argv.push_back(a.c_str());
  return mapbake::run(static_cast<int>(argv.size()), argv.data(), console);
}

void Scene::prepare(const Bytes& input, const std::vector<std::string>& line, bool existing) {
  write_file(source, input);
  std::remove(target.c_str());
  if (existing) write_file(target, {'o', 'l', 'd'});
  args.clear(), argv = {"mapbake"};
  for (const auto& a : line) args.push_back(a == "S" ? source : a == "T" ? target : a);
  for (const auto& a : args) argv.push_back(a.c_str());
  console.out.clear(), console.err.clear();
  console.out.reserve(1024), console.err.reserve(1024);
}

int Scene::run() { return mapbake::run(static_cast<int>(argv.size()), argv.data(), console); }

Bytes text_source(std::u16string_view tokens) {
  Bytes f{0xFF, 0xFE};
  put_wide(f, u"TORVIA@@@@@@@@@@VUXA0i0t______\r\n" + std::u16string(tokens));
  return f;
}

std::vector<SourceForm> source_forms(std::u16string_view tokens) {
  std::vector<SourceForm> forms;
  auto add = [&forms](const std::string& encoding, const Bytes& body) {
    for (auto [name, header, compression] : {std::tuple{"8bit", 'n', '@'},
                                             {"utf16", 'w', '@'},
                                             {"bare", 0, '@'},
                                             {"huffman", 'w', 'B'},
                                             {"zlib", 'n', 'F'}}) {
      Bytes file = body;
      auto c = container_create(nullptr, compression, header == 'w');
      if (header != 0 &&
          !(container_write(*c, body.data(), static_cast<uint32_t>(body.size())) == body.size() &&
            container_close_to_bytes(std::move(c), file)))
        return;
      forms.push_back({encoding + "-" + name, file});
    }
  };
  const Bytes text = text_source(tokens);
  add("text", Bytes(text.begin() + 34, text.end()));
  auto in = token_stream_open_memory(text, STREAM_READ, 0, 0);
  auto out = token_stream_open(nullptr, STREAM_WRITE | STREAM_BINARY, u'i', u'0', u'@');
  Bytes binary;
  if (copy_source(*in, *out) && token_stream_close_to_bytes(std::move(out), binary))
    add("binary", Bytes(binary.begin() + 16, binary.end()));
  Bytes utf8;
  if (tokens.find(u'(') != tokens.npos && tokens.find(u'\0') == tokens.npos &&
      write_utf8_source(text.data() + 34, static_cast<uint32_t>(text.size() - 34), utf8)) {
    if (!tokens.ends_with(u'\n')) utf8.pop_back();  // the line end the writer adds: ends as the text does
    for (auto& form : utf8_forms(utf8))
      if (form.name.find("bare") == std::string::npos) forms.push_back({"utf8-" + form.name, form.bytes});
  }
  return forms;
}

std::vector<SourceForm> utf8_forms(const Bytes& utf8) {
  auto crlf = [](const Bytes& lf) {
    Bytes b = {0xEF, 0xBB, 0xBF};
    for (uint8_t c : lf) {
      if (c == '\n') b.push_back('\r');
      b.push_back(c);
    }
    return b;
  };
  const auto eol = std::find(utf8.begin(), utf8.end(), '\n');
  const Bytes bare(eol == utf8.end() ? eol : eol + 1, utf8.end());
  return {{"lf", utf8}, {"bom-crlf", crlf(utf8)}, {"bare-lf", bare}, {"bare-bom-crlf", crlf(bare)}};
}

Bytes bake(const Bytes& source, uint32_t encoding, char16_t compression) {
  auto in = token_stream_open_memory(source, STREAM_READ, 0, 0);
  auto out = token_stream_open(nullptr, STREAM_WRITE | encoding, u'i', u'0', compression);
  Capture console;
  Bytes map;
  const bool ok = in && mapbake::convert_input_map(*in, *out, console, "bake") != 0;
  return token_stream_close_to_bytes(std::move(out), map) && ok ? map : Bytes{};
}

std::string dump(const Bytes& file) {
  auto s = token_stream_open_memory(file, STREAM_READ, u'i', u'0');
  std::string d = s ? "" : "<unopenable>";
  char part[400];
  char16_t text[300];
  uint8_t g[64];
  uint32_t id = 0, a = 0, b = 0;
  const char16_t* label = nullptr;
  while (s && s->read_token_open(id, &label)) {
    if (label || id != 99 || !s->read_uint(a) || !s->read_uint(b)) return d + "<bad device>";
    d += (d.empty() ? "" : " ") + std::string(part, std::snprintf(part, sizeof part, "dev(%u %u", a, b));
    while (s->read_token_open(id, &label)) {
      if (!label && id == 101 && s->read_bytes(g, 1) && g[0] >= 2 && g[0] <= 64 &&
          s->read_bytes(g + 1, g[0] - 1u)) {
        d += " sguid(";
        for (int i = 0; i < g[0]; ++i) d += std::string(part, std::snprintf(part, 4, "%02x", g[i]));
        d += ")";
      } else if (!label && id == 100 && s->read_hex(a) && s->read_wstring(text, 300) && s->read_uint(b)) {
        std::string t;
        for (const char16_t* p = text; *p; ++p) t += *p < 128 ? static_cast<char>(*p) : '?';
        d += std::string(part, std::snprintf(part, sizeof part, " map(%x %s %x)", a, t.c_str(), b));
      } else {
        return d + "<bad child>";
      }
      if (s->read_uint(a) || !s->read_token_close()) return d + "<extra value>";
    }
    if (token_error != ERR_END_OF_TOKEN || !s->read_token_close()) return d + "<bad end>";
    d += ")";
  }
  return !s || token_error == ERR_END_OF_DATA ? d : d + "<bad end>";
}

bool is_one_message(std::string_view out, std::string_view source, std::string_view target) {
  const std::string s(out);
  return s == "Error opening " + std::string(source) + "\n" ||
         s == "Error writing " + std::string(target) + "\n" ||
         std::regex_match(s, std::regex("Error (converting|decoding) file \\(source file line [0-9]+\\)\n"));
}

}  // namespace testsupport
