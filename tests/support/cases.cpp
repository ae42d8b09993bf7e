#include "support/cases.h"

#include <fstream>
#include <map>
#include <stdexcept>

namespace testsupport {

namespace {

// Appends code point `cp` in UTF-16 or UTF-8, as `out` holds.
template <typename Out>
void put(Out& out, uint32_t cp) {
  using Unit = typename Out::value_type;
  if (sizeof(Unit) == 2 && cp >= 0x10000) out += Unit(0xD7C0 + (cp >> 10)), cp = 0xDC00 | (cp & 0x3FF);
  if (sizeof(Unit) == 2 || cp < 0x80) return void(out += Unit(cp));
  int n = cp < 0x800 ? 1 : cp < 0x10000 ? 2 : 3;
  out += Unit((n == 1 ? 0xC0 : n == 2 ? 0xE0 : 0xF0) | (cp >> (6 * n)));
  while (n-- > 0) out += Unit(0x80 | ((cp >> (6 * n)) & 0x3F));
}

template <typename Out>
void decode(std::string_view f, Out& out) {
  static const std::map<std::string_view, uint32_t> names = {
      {"LF", 10}, {"CR", 13}, {"TAB", 9}, {"NUL", 0}, {"SP", 32}};
  for (size_t i = 0; i < f.size(); ++i) {
    if (f[i] != '{') {
      out += typename Out::value_type(f[i]);
      continue;
    }
    size_t end = i + 1;
    for (int depth = 1; depth > 0; ++end) depth += f.at(end) == '{' ? 1 : f[end] == '}' ? -1 : 0;
    const std::string e(f.substr(i + 1, end - i - 2));
    i = end - 1;
    if (const size_t star = e.find('*'); star != e.npos && star > 0 && star == e.find_first_not_of("0123456789")) {
      Out once;
      decode(std::string_view(e).substr(star + 1), once);
      for (unsigned long n = std::stoul(e); n > 0; --n) out += once;
    } else if (names.count(e)) {
      put(out, names.at(e));
    } else if (e[0] == 'x') {
      out += typename Out::value_type(std::stoul(e.substr(1), nullptr, 16));
    } else {
      put(out, std::stoul(e, nullptr, 16));
    }
  }
}

// `text` with every {@name} replaced by its definition.
std::string expand(std::string text, const std::map<std::string, std::string>& definitions) {
  for (size_t at; (at = text.find("{@")) != text.npos;) {
    const size_t end = text.find('}', at);
    text.replace(at, end + 1 - at, definitions.at(text.substr(at + 2, end - at - 2)));
  }
  return text;
}

}  // namespace

std::u16string Case::wide(size_t i) const {
  std::u16string out;
  decode(fields.at(i), out);
  return out;
}

std::string Case::narrow(size_t i) const {
  std::string out;
  decode(fields.at(i), out);
  return out;
}

std::vector<Case> cases(std::string_view file, std::string_view group) {
  const std::string path = std::string(MAPBAKE_CASES_DIR) + "/" + std::string(file);
  std::ifstream in(path);
  std::vector<Case> rows;
  std::map<std::string, std::string> definitions;
  std::string line, current, text;
  for (int number = 1; std::getline(in, line); ++number) {
    line.erase(line.find_last_not_of(" \t\r") + 1);
    if (line.size() > 1 && line.ends_with(" |")) line += ' ';  // an empty last field
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') current = line.substr(1, line.size() - 2);
    const size_t eq = line.find(" = ");
    if (line[0] == '@') definitions[line.substr(1, eq - 1)] = expand(line.substr(eq + 3), definitions);
    if (current != group || line[0] == '[' || line[0] == '@') continue;
    rows.push_back({std::string(file) + ":" + std::to_string(number), {}});
    for (size_t at = 0, bar = 0; bar != line.npos; at = bar + 3)
      rows.back().fields.push_back(expand(line.substr(at, (bar = line.find(" | ", at)) - at), definitions));
  }
  if (rows.empty()) throw std::runtime_error("no rows of [" + std::string(group) + "] in " + path);
  return rows;
}

}  // namespace testsupport
