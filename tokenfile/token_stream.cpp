// Creating and destroying token streams: the stream header line, opening by
// path with safe replacement of the target, and closing.
#include "tokenfile/token_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "tokenfile/stream_factory.h"

namespace tokenfile {

// Owns the file-system side of a stream opened by path.
struct StreamFile {
  static void attach(TokenStream& s, std::FILE* file, std::string temp, std::string target) {
    s.file_ = file;
    s.temp_path_ = std::move(temp);
    s.target_path_ = std::move(target);
  }
  // Closes the stream's own file; false when buffered data could not be
  // written out.
  static bool close_file(TokenStream& s) {
    if (s.file_ == nullptr) return true;
    bool ok = std::fflush(s.file_) == 0 && !std::ferror(s.file_);
    ok = std::fclose(s.file_) == 0 && ok;
    s.file_ = nullptr;
    return ok;
  }
  // Puts a fully written temporary file in place of the target.
  static bool commit(TokenStream& s) {
    if (s.temp_path_.empty()) return true;
    if (std::rename(s.temp_path_.c_str(), s.target_path_.c_str()) != 0) return false;
    s.temp_path_.clear();
    return true;
  }
  static void abandon(TokenStream& s) {
    if (s.file_ != nullptr) {
      std::fclose(s.file_);
      s.file_ = nullptr;
    }
    if (!s.temp_path_.empty()) {
      ::unlink(s.temp_path_.c_str());
      s.temp_path_.clear();
    }
  }
  static std::FILE* file(const TokenStream& s) { return s.file_; }
};

TokenStream::~TokenStream() { StreamFile::abandon(*this); }

namespace {

constexpr char16_t kTag[4] = {u'V', u'U', u'X', u'A'};
constexpr uint32_t kMaxPathChars = 511;

// Reads and checks the stream header line at the start of a loaded body and
// creates the stream of the encoding it names.
std::unique_ptr<TokenStream> open_reading(std::unique_ptr<FileContainer> c, uint32_t flags, char16_t file_type,
                                          char16_t file_version) {
  uint8_t raw[32];
  if (container_read(*c, raw, 16) != 16) return nullptr;
  char16_t line[16];
  // The line is in UTF-16 when its first eight bytes are the tag as UTF-16;
  // either form serves either encoding.
  bool wide = true;
  for (int i = 0; i < 4; ++i)
    if (raw[2 * i] != kTag[i] || raw[2 * i + 1] != 0) wide = false;
  if (wide) {
    if (container_read(*c, raw + 16, 16) != 16) return nullptr;
    for (int i = 0; i < 16; ++i) line[i] = static_cast<char16_t>(raw[2 * i] | (raw[2 * i + 1] << 8));
  } else {
    for (int i = 0; i < 16; ++i) line[i] = raw[i];
  }
  // Checked in this order: tag, encoding, format version, file type, version.
  for (int i = 0; i < 4; ++i)
    if (line[i] != kTag[i]) return token_error = ERR_BAD_HEADER, nullptr;
  if (line[7] != u't' && line[7] != u'b') return token_error = ERR_BAD_HEADER, nullptr;
  if (line[4] > u'0') return token_error = ERR_BAD_HEADER, nullptr;
  if (file_type != 0 && line[5] != file_type) return token_error = ERR_BAD_HEADER, nullptr;
  if (file_version != 0 && line[6] != file_version) return token_error = ERR_BAD_HEADER, nullptr;

  flags &= ~(STREAM_BINARY | STREAM_TEXT);
  flags |= line[7] == u'b' ? STREAM_BINARY : STREAM_TEXT;
  auto s = (flags & STREAM_BINARY) ? make_binary_token_stream() : make_text_token_stream();
  if (!s) return token_error = ERR_NO_MEMORY, nullptr;
  s->container = std::move(c);
  s->flags = flags;
  std::memcpy(s->header_chars, line, sizeof s->header_chars);
  return s;
}

std::unique_ptr<TokenStream> open_writing(std::FILE* file, uint32_t flags, char16_t file_type,
                                          char16_t file_version, char16_t compression) {
  const bool binary = (flags & STREAM_BINARY) != 0;
  char16_t line[16] = {u'V', u'U', u'X', u'A', u'0', file_type, file_version, binary ? u'b' : u't',
                       u'_', u'_', u'_', u'_', u'_', u'_', u'\r', u'\n'};
  const char container_compression = compression < 0x80 ? static_cast<char>(compression) : COMPRESSION_NONE;
  auto c = container_create(file, container_compression, binary ? 0 : 1);
  if (!c) return token_error = ERR_BAD_VALUE, nullptr;
  uint8_t raw[32];
  uint32_t raw_size = 0;
  for (char16_t ch : line) {
    raw[raw_size++] = static_cast<uint8_t>(ch);
    if (!binary) raw[raw_size++] = static_cast<uint8_t>(ch >> 8);
  }
  if (container_write(*c, raw, raw_size) != raw_size) return nullptr;
  auto s = binary ? make_binary_token_stream() : make_text_token_stream();
  if (!s) return token_error = ERR_NO_MEMORY, nullptr;
  s->container = std::move(c);
  s->flags = flags;
  std::memcpy(s->header_chars, line, sizeof s->header_chars);
  return s;
}

// The 8-bit form of a path: the low byte of each character. Fails on a
// character of code 127 or above, and on a name too long to open whole.
bool narrow_path(const char16_t* path, std::string& out) {
  out.clear();
  for (const char16_t* p = path; *p != 0; ++p) {
    if (*p >= 127 || out.size() >= kMaxPathChars) return false;
    out.push_back(static_cast<char>(*p));
  }
  return true;
}

// Opens an existing regular file for reading without ever blocking (a FIFO
// with no writer would otherwise hang the open).
std::FILE* open_regular_for_reading(const std::string& name) {
  const int fd = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return nullptr;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  const int fl = ::fcntl(fd, F_GETFL);
  if (fl < 0 || ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return nullptr;
  }
  std::FILE* f = ::fdopen(fd, "rb");
  if (f == nullptr) ::close(fd);
  return f;
}

std::string directory_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Follows symbolic links from `name` to the file they finally name (which
// need not exist), so that replacing it keeps the links.
bool resolve_links(std::string name, std::string& out) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (::lstat(name.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      out = std::move(name);
      return true;
    }
    std::string link(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
    const ssize_t n = ::readlink(name.c_str(), link.data(), link.size());
    if (n < 0 || static_cast<size_t>(n) >= link.size()) return false;
    link.resize(static_cast<size_t>(n));
    if (link.empty()) return false;
    if (link[0] != '/') link = directory_of(name) + "/" + link;
    name = std::move(link);
  }
  return false;  // a loop of links
}

mode_t creation_mode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

}  // namespace

std::unique_ptr<TokenStream> token_stream_open(std::FILE* file, uint32_t flags, char16_t file_type,
                                               char16_t file_version, char16_t compression) noexcept {
  try {
    std::unique_ptr<TokenStream> s;
    if (flags & STREAM_READ) {
      auto c = container_open(file, CONTAINER_READ, 0, 0);
      if (!c) return token_error = ERR_BAD_VALUE, nullptr;
      s = open_reading(std::move(c), flags, file_type, file_version);
    } else {
      s = open_writing(file, flags, file_type, file_version, compression);
    }
    if (s && (flags & STREAM_OWNS_FILE)) StreamFile::attach(*s, file, {}, {});
    return s;
  } catch (const std::bad_alloc&) {
    token_error = ERR_NO_MEMORY;
    return nullptr;
  }
}

std::unique_ptr<TokenStream> token_stream_open_memory(std::vector<uint8_t> file_bytes, uint32_t flags,
                                                      char16_t file_type, char16_t file_version) noexcept {
  try {
    auto c = container_load(std::move(file_bytes));
    if (!c) return token_error = ERR_BAD_VALUE, nullptr;
    return open_reading(std::move(c), flags | STREAM_READ, file_type, file_version);
  } catch (const std::bad_alloc&) {
    token_error = ERR_NO_MEMORY;
    return nullptr;
  }
}

std::unique_ptr<TokenStream> token_stream_open_path(const char16_t* path, uint32_t flags, char16_t file_type,
                                                    char16_t file_version, char16_t compression) noexcept {
  try {
    std::string name;
    if (path == nullptr || !narrow_path(path, name)) return nullptr;
    if (flags & STREAM_READ) {
      std::FILE* f = open_regular_for_reading(name);
      if (f == nullptr) return nullptr;
      auto s = token_stream_open(f, flags | STREAM_OWNS_FILE, file_type, file_version, compression);
      if (!s) std::fclose(f);
      return s;
    }

    // Writing: the file is built beside the target under a temporary name
    // and renamed over it at close, so the target is never seen half written
    // and survives a failed or abandoned conversion.
    std::string target;
    if (name.empty() || !resolve_links(name, target)) return nullptr;
    mode_t mode = creation_mode();
    struct stat st;
    if (::stat(target.c_str(), &st) == 0) {
      if (!S_ISREG(st.st_mode) || ::access(target.c_str(), W_OK) != 0) return nullptr;
      mode = st.st_mode & 07777;
    }
    std::string temp = directory_of(target) + "/.tokenfile-XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return nullptr;
    std::FILE* f = nullptr;
    if (::fchmod(fd, mode) != 0 || (f = ::fdopen(fd, "wb")) == nullptr) {
      ::close(fd);
      ::unlink(temp.c_str());
      return nullptr;
    }
    auto s = token_stream_open(f, flags | STREAM_OWNS_FILE, file_type, file_version, compression);
    if (!s) {
      std::fclose(f);
      ::unlink(temp.c_str());
      return nullptr;
    }
    StreamFile::attach(*s, f, std::move(temp), std::move(target));
    return s;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

int32_t token_stream_close(std::unique_ptr<TokenStream> stream) noexcept {
  if (!stream) return 0;
  stream->open_tokens.clear();
  if (stream->flags & STREAM_READ) {
    (void)container_close(std::move(stream->container));
    return 1;  // the stream's destructor closes its own file
  }
  const bool owned = StreamFile::file(*stream) != nullptr;
  bool ok = container_close(std::move(stream->container)) != 0;
  if (owned) {
    ok = StreamFile::close_file(*stream) && ok;
    ok = ok && StreamFile::commit(*stream);
  }
  // On failure the destructor removes the temporary file.
  return ok ? 1 : 0;
}

int32_t token_stream_close_to_bytes(std::unique_ptr<TokenStream> stream, std::vector<uint8_t>& out) noexcept {
  if (!stream || (stream->flags & STREAM_READ)) return 0;
  return container_close_to_bytes(std::move(stream->container), out);
}

void token_stream_discard(std::unique_ptr<TokenStream> stream) noexcept { stream.reset(); }

uint32_t token_stream_line(const TokenStream& stream) noexcept {
  return (stream.flags & STREAM_BINARY) ? stream.position : stream.line;
}

}  // namespace tokenfile
