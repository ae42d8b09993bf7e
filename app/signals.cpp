#include "app/signals.h"

#include <signal.h>
#include <unistd.h>

#include <cstring>

#include "tokenfile/token_stream.h"

namespace mapbake {

namespace {

// The messages of a SIGBUS, made before the source is read: a handler may
// only copy bytes and call the system.
char out_message[600];
char err_message[700];
size_t out_length = 0;
size_t err_length = 0;

void write_all(int fd, const char* text, size_t n) noexcept {
  while (n > 0) {
    const ssize_t done = ::write(fd, text, n);
    if (done <= 0) return;
    text += done;
    n -= static_cast<size_t>(done);
  }
}

void on_bus_error(int) {
  tokenfile::token_stream_remove_temporary_files();
  write_all(STDOUT_FILENO, out_message, out_length);
  write_all(STDERR_FILENO, err_message, err_length);
  ::_exit(1);
}

void on_ending_signal(int signal_number) {
  tokenfile::token_stream_remove_temporary_files();
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

size_t compose(char* out, size_t capacity, const char* const* parts) noexcept {
  size_t n = 0;
  for (; *parts != nullptr; ++parts)
    for (const char* p = *parts; *p != 0 && n + 1 < capacity; ++p) out[n++] = *p;
  return n;
}

}  // namespace

void guard_source(const char* name, bool stdout_message) noexcept {
  static bool installed = false;
  // Between the composing of the messages and their use nothing may read
  // them half made: the signal is held off meanwhile.
  sigset_t bus, previous;
  sigemptyset(&bus);
  sigaddset(&bus, SIGBUS);
  sigprocmask(SIG_BLOCK, &bus, &previous);
  const char* out_parts[] = {"Error opening ", name, "\n", nullptr};
  const char* err_parts[] = {name, ": error: the file was cut short while it was being read\n", nullptr};
  out_length = stdout_message ? compose(out_message, sizeof out_message, out_parts) : 0;
  err_length = compose(err_message, sizeof err_message, err_parts);
  if (!installed) {
    installed = true;
    struct sigaction action {};
    action.sa_handler = on_bus_error;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, nullptr);
    for (int ending : {SIGINT, SIGTERM, SIGHUP}) {
      struct sigaction old {};
      if (sigaction(ending, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
      action.sa_handler = on_ending_signal;
      sigaction(ending, &action, nullptr);
    }
  }
  sigprocmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace mapbake
