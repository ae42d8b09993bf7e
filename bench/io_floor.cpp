// The least a converter that holds whole files must do, for comparing the
// mapbake executable with: read the source into fresh memory, fill a buffer
// of the target's size from it, and write that through a temporary file
// beside the target and a rename.
//
//   io_floor [--huge] SOURCE TARGET TARGET_BYTES
//
// --huge takes both buffers 2 MiB-aligned and marked MADV_HUGEPAGE, which
// shows how much of the time is the kernel handing out fresh 4 KiB pages.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr size_t kHugePage = size_t{2} << 20;

void* fresh(size_t n, bool huge) {
  if (!huge) return std::malloc(n == 0 ? 1 : n);
  const size_t rounded = (n + kHugePage - 1) / kHugePage * kHugePage;
  void* p = std::aligned_alloc(kHugePage, rounded == 0 ? kHugePage : rounded);
  if (p) madvise(p, rounded, MADV_HUGEPAGE);
  return p;
}

int fail(const char* what, const char* name) {
  std::fprintf(stderr, "io_floor: %s %s\n", what, name);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const bool huge = argc > 1 && std::strcmp(argv[1], "--huge") == 0;
  if (argc != 4 + huge)
    return std::fprintf(stderr, "usage: io_floor [--huge] SOURCE TARGET TARGET_BYTES\n"), 2;
  const char* source = argv[1 + huge];
  const std::string target = argv[2 + huge];
  const size_t target_bytes = std::strtoull(argv[3 + huge], nullptr, 10);

  const int in = open(source, O_RDONLY);
  struct stat st {};
  if (in < 0 || fstat(in, &st) != 0) return fail("cannot open", source);
  const size_t size = static_cast<size_t>(st.st_size);
  auto* body = static_cast<unsigned char*>(fresh(size, huge));
  if (!body) return fail("out of memory for", source);
  for (size_t done = 0; done < size;) {
    const ssize_t n = read(in, body + done, size - done);
    if (n <= 0) return fail("cannot read", source);
    done += static_cast<size_t>(n);
  }
  close(in);

  // Every byte of the target written once, from the source.
  auto* out = static_cast<unsigned char*>(fresh(target_bytes, huge));
  if (!out) return fail("out of memory for", target.c_str());
  for (size_t done = 0; done < target_bytes && size != 0;) {
    const size_t n = std::min(size, target_bytes - done);
    std::memcpy(out + done, body, n);
    done += n;
  }

  const std::string temporary = target + ".tmp";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return fail("cannot create", temporary.c_str());
  for (size_t done = 0; done < target_bytes;) {
    const ssize_t n = write(fd, out + done, target_bytes - done);
    if (n <= 0) return fail("cannot write", temporary.c_str());
    done += static_cast<size_t>(n);
  }
  if (close(fd) != 0 || rename(temporary.c_str(), target.c_str()) != 0)
    return fail("cannot write", target.c_str());
  std::free(out);
  std::free(body);
  return 0;
}
