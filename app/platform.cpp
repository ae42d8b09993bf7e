// Linux implementation of the converter's platform layer.
#include "app/platform.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace mapbake {

namespace {

// The process-wide ring of widened names. Only the driver uses it, at most
// twice per run.
std::array<std::array<char16_t, WIDE_NAME_CAPACITY>, 4> wide_name_ring{};
uint32_t wide_name_index = 0;

// Decodes one UTF-8 sequence starting at s[i]; advances i. Returns false for
// an invalid or cut sequence.
bool decode_utf8(const unsigned char* s, size_t& i, char32_t& cp) noexcept {
  const unsigned char lead = s[i];
  size_t extra;
  char32_t min;
  if (lead < 0x80) {
    cp = lead;
    ++i;
    return true;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    extra = 1, min = 0x80, cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    extra = 2, min = 0x800, cp = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    extra = 3, min = 0x10000, cp = lead & 0x07;
  } else {
    return false;
  }
  for (size_t k = 1; k <= extra; ++k) {
    const unsigned char c = s[i + k];  // a terminator fails the test below first
    if ((c & 0xC0) != 0x80) return false;
    cp = (cp << 6) | (c & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
  i += extra + 1;
  return true;
}

}  // namespace

bool resolve_full_path_in(std::string_view directory, std::string_view name, std::string& out) noexcept {
  try {
    std::string joined;
    if (name.empty() || name.front() != '/') {
      joined.assign(directory);
      joined.push_back('/');
    }
    joined.append(name);

    // `out` is built as "/seg/seg..."; ".." cuts it back to its last '/'.
    out.clear();
    size_t pos = 0;
    while (pos < joined.size()) {
      while (pos < joined.size() && joined[pos] == '/') ++pos;
      const size_t end = joined.find('/', pos);
      const size_t stop = end == std::string::npos ? joined.size() : end;
      const std::string_view segment(joined.data() + pos, stop - pos);
      pos = stop;
      if (segment.empty() || segment == ".") continue;
      if (segment == "..") {
        const size_t slash = out.rfind('/');
        out.resize(slash == std::string::npos ? 0 : slash);
        continue;
      }
      out.push_back('/');
      out.append(segment);
    }
    if (out.empty()) out.push_back('/');
    return out.size() <= MAX_FULL_PATH;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool resolve_full_path(std::string_view name, std::string& out) noexcept {
  if (!name.empty() && name.front() == '/') return resolve_full_path_in("/", name, out);
  // A current directory longer than the accepted path length fails the
  // resolution anyway; the buffer leaves room to notice that.
  char directory[4096];
  if (::getcwd(directory, sizeof directory) == nullptr) return false;
  return resolve_full_path_in(directory, name, out);
}

const char16_t* widen_ansi_name(const char* name) noexcept {
  wide_name_index = (wide_name_index + 1) % wide_name_ring.size();
  char16_t* buffer = wide_name_ring[wide_name_index].data();
  const auto* s = reinterpret_cast<const unsigned char*>(name);
  size_t i = 0;
  size_t n = 0;
  while (s[i] != 0) {
    char32_t cp;
    if (!decode_utf8(s, i, cp)) {
      buffer[0] = 0;
      return buffer;
    }
    const size_t units = cp >= 0x10000 ? 2 : 1;
    // The terminator must fit as well.
    if (n + units + 1 > WIDE_NAME_CAPACITY) {
      buffer[0] = 0;
      return buffer;
    }
    if (units == 2) {
      cp -= 0x10000;
      buffer[n++] = static_cast<char16_t>(0xD800 + (cp >> 10));
      buffer[n++] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      buffer[n++] = static_cast<char16_t>(cp);
    }
  }
  buffer[n] = 0;
  return buffer;
}

FileIdentity identify_file(const char* name) noexcept {
  FileIdentity id;
  struct stat st;
  if (::stat(name, &st) != 0) {
    id.error = errno;
    id.kind = (errno == ENOENT || errno == ENOTDIR) ? FileKind::Missing : FileKind::Inaccessible;
    return id;
  }
  id.kind = S_ISREG(st.st_mode)   ? FileKind::Regular
            : S_ISDIR(st.st_mode) ? FileKind::Directory
                                  : FileKind::Other;
  id.device = static_cast<uint64_t>(st.st_dev);
  id.inode = static_cast<uint64_t>(st.st_ino);
  return id;
}

bool same_existing_file(const char* a, const char* b) noexcept {
  const FileIdentity x = identify_file(a);
  const FileIdentity y = identify_file(b);
  if (x.kind == FileKind::Missing || x.kind == FileKind::Inaccessible) return false;
  if (y.kind == FileKind::Missing || y.kind == FileKind::Inaccessible) return false;
  return x.device == y.device && x.inode == y.inode;
}

bool stderr_is_terminal() noexcept { return ::isatty(STDERR_FILENO) == 1; }

const char* environment_variable(const char* name) noexcept { return std::getenv(name); }

bool directory_writable(const char* directory, int& error) noexcept {
  if (::access(directory, W_OK | X_OK) == 0) return true;
  error = errno;
  return false;
}

const char* error_text(int error) noexcept { return std::strerror(error); }

}  // namespace mapbake
