// Times a command the way a build pipeline runs it: started afresh each
// time, standard output and error discarded.
//
//   time_command [-r FILE] RUNS COMMAND [ARGUMENTS...]
//
// With -r, FILE is removed before each run (outside the timing), so that a
// command writing FILE creates it afresh every time. Prints one line: the number of runs, the median, lowest
// and highest wall time in milliseconds from the start of the process to the end of the wait for it, the
// highest peak resident set size in KiB, and the exit status of the last run. Exits with 1 when a run does
// not exit with status 0.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

extern char** environ;

namespace {

double now_ms() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  const char* remove_first = nullptr;
  if (argc > 2 && std::strcmp(argv[1], "-r") == 0) {
    remove_first = argv[2];
    argc -= 2;
    argv += 2;
  }
  const int runs = argc > 2 ? std::atoi(argv[1]) : 0;
  if (runs <= 0) {
    std::fprintf(stderr, "usage: time_command [-r FILE] RUNS COMMAND [ARGUMENTS...]\n");
    return 2;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);

  std::vector<double> times;
  long peak_kib = 0;
  int status = 0;
  for (int i = 0; i < runs; ++i) {
    if (remove_first != nullptr) ::unlink(remove_first);
    const double start = now_ms();
    pid_t pid = 0;
    const int error = posix_spawn(&pid, argv[2], &actions, nullptr, argv + 2, environ);
    if (error != 0) {
      std::fprintf(stderr, "time_command: cannot start %s (error %d)\n", argv[2], error);
      return 2;
    }
    rusage usage{};
    int wait_status = 0;
    while (wait4(pid, &wait_status, 0, &usage) < 0) {
      if (errno != EINTR) return 2;
    }
    times.push_back(now_ms() - start);
    peak_kib = std::max(peak_kib, usage.ru_maxrss);
    status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    if (status != 0) break;
  }
  posix_spawn_file_actions_destroy(&actions);
  std::vector<double> sorted = times;
  std::sort(sorted.begin(), sorted.end());
  const size_t n = sorted.size();
  const double median = n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
  std::printf("runs=%zu median_ms=%.3f min_ms=%.3f max_ms=%.3f peak_kib=%ld status=%d\n", n, median,
              sorted.front(), sorted.back(), peak_kib, status);
  return status == 0 ? 0 : 1;
}
