#include "app/console.h"

#include <unistd.h>

#include <cstdio>

namespace mapbake {

namespace {

class StandardConsole final : public Console {
 public:
  // Standard error is unbuffered, a write of its own for every piece of a
  // message; a map with a hundred thousand warnings spent more time in those
  // writes than in its conversion. Buffered unless it is a terminal, where
  // each message shows as it is made; the C library writes the rest at exit.
  StandardConsole() noexcept {
    if (!::isatty(STDERR_FILENO)) std::setvbuf(stderr, nullptr, _IOFBF, kErrBuffer);
  }
  void print(Channel channel, std::string_view text) noexcept override {
    // The other channel is flushed first so that the two interleave in the
    // order the messages were made when both go to one file or terminal.
    std::FILE* f = channel == Channel::Out ? stdout : stderr;
    std::fflush(channel == Channel::Out ? stderr : stdout);
    std::fwrite(text.data(), 1, text.size(), f);
  }

 private:
  static constexpr size_t kErrBuffer = 64 * 1024;
};

}  // namespace

Console& standard_console() noexcept {
  static StandardConsole console;
  return console;
}

}  // namespace mapbake
