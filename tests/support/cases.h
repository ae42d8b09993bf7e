// Tables of test cases kept as ASCII text in tests/cases/*.cases, one row a
// line.
//
//   # a comment            [Group]  starts the rows of a group
//   @name = text            defines {@name} for the rows after it
//   field | field | field   a row
//
// Within a field: {LF} {CR} {TAB} {NUL} {SP}, {HHHH} a code point (1 to 6
// hexadecimal digits; a lone surrogate is one unit), {xHH} one raw unit (a
// byte in a narrow field), {N*text} the text N times, {@name} a definition.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

struct Case {
  std::string where;  // "file:line", for failure messages
  std::vector<std::string> fields;
  std::u16string wide(size_t i) const;  // field i decoded to UTF-16
  std::string narrow(size_t i) const;   // field i decoded to UTF-8
  unsigned long number(size_t i) const { return std::stoul(narrow(i)); }
};

// The rows of `group` in tests/cases/`file`; none is an error of the test.
std::vector<Case> cases(std::string_view file, std::string_view group);

}  // namespace testsupport
