// Where the converter's messages go. Standard output carries exactly the
// program's fixed messages; standard error carries the diagnostics that
// say what went wrong and where. Every message of the program passes through
// Console::print, so tests can capture both channels in-process.
#pragma once

#include <string_view>

namespace mapbake {

enum class Channel : unsigned char { Out, Err };

class Console {
 public:
  virtual ~Console() = default;
  // Writes `text` as it is (the caller supplies any line end).
  virtual void print(Channel channel, std::string_view text) noexcept = 0;
};

// The process's standard output and standard error.
Console& standard_console() noexcept;

}  // namespace mapbake
