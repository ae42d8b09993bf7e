#include "app/console.h"

#include <cstdio>

namespace mapbake {

namespace {

class StandardConsole final : public Console {
 public:
  void print(Channel channel, std::string_view text) noexcept override {
    std::FILE* f = channel == Channel::Out ? stdout : stderr;
    // Standard output is flushed first so that the two channels interleave
    // in the order the messages were made when both go to one terminal.
    if (channel == Channel::Err) std::fflush(stdout);
    std::fwrite(text.data(), 1, text.size(), f);
  }
};

}  // namespace

Console& standard_console() noexcept {
  static StandardConsole console;
  return console;
}

}  // namespace mapbake
