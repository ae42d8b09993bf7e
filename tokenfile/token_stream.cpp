// Creating and destroying token streams: the stream header line, opening by
// path with safe replacement of the target, and closing.
#include "tokenfile/token_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "tokenfile/stream_factory.h"
#include "tokenfile/stream_internals.h"
#include "tokenfile/text/utf8_source.h"

namespace tokenfile {

using SI = StreamInternals;

namespace {

// The temporary files of the streams writing by path, for
// token_stream_remove_temporary_files: a fixed table a signal handler can
// walk. A stream that finds no free slot is only left out of the cleanup.
constexpr size_t kTemporarySlots = 16;
std::atomic<const char*> temporaries[kTemporarySlots];

void remember_temporary(const char* path) noexcept {
  for (auto& slot : temporaries) {
    const char* expected = nullptr;
    if (slot.compare_exchange_strong(expected, path)) return;
  }
}

void forget_temporary(const char* path) noexcept {
  for (auto& slot : temporaries) {
    const char* expected = path;
    if (slot.compare_exchange_strong(expected, nullptr)) return;
  }
}

}  // namespace

void token_stream_remove_temporary_files() noexcept {
  for (auto& slot : temporaries)
    if (const char* path = slot.exchange(nullptr)) ::unlink(path);
}

// The file-system side of a stream opened by path.
struct StreamFile {
  static void attach(TokenStream& s, std::FILE* file, std::string temp, std::string target) {
    SI::file(s) = file;
    SI::temp_path(s) = std::move(temp);
    SI::target_path(s) = std::move(target);
    if (!SI::temp_path(s).empty()) remember_temporary(SI::temp_path(s).c_str());
  }
  // Closes the stream's own file; false when buffered data could not be
  // written out.
  static bool close_file(TokenStream& s) {
    std::FILE*& f = SI::file(s);
    if (f == nullptr) return true;
    bool ok = std::fflush(f) == 0 && !std::ferror(f);
    ok = std::fclose(f) == 0 && ok;
    f = nullptr;
    return ok;
  }
  // Puts a fully written temporary file in place of the target.
  static bool commit(TokenStream& s) {
    std::string& temp = SI::temp_path(s);
    if (temp.empty()) return true;
    if (std::rename(temp.c_str(), SI::target_path(s).c_str()) != 0) return false;
    forget_temporary(temp.c_str());
    temp.clear();
    return true;
  }
  static void abandon(TokenStream& s) {
    std::FILE*& f = SI::file(s);
    if (f != nullptr) {
      std::fclose(f);
      f = nullptr;
    }
    std::string& temp = SI::temp_path(s);
    if (!temp.empty()) {
      forget_temporary(temp.c_str());
      ::unlink(temp.c_str());
      temp.clear();
    }
  }
  static std::FILE* file(TokenStream& s) { return SI::file(s); }
};

TokenStream::TokenStream() noexcept = default;
TokenStream::~TokenStream() { StreamFile::abandon(*this); }

namespace {

constexpr char16_t kTag[4] = {u'V', u'U', u'X', u'A'};
constexpr uint32_t kMaxPathChars = 511;

// What a body that is no token stream looks like instead: UTF-16 in the
// other byte order, or 8-bit (UTF-8) text with no NUL byte in its start.
OpenProblem kind_of_stranger(const uint8_t* raw, uint32_t n) {
  if (n >= 2 && raw[0] == 0xFE && raw[1] == 0xFF) return OpenProblem::BigEndianUtf16;
  if (n >= 2 && raw[0] == 0 && raw[1] != 0) return OpenProblem::BigEndianUtf16;
  for (uint32_t i = 0; i < n; ++i)
    if (raw[i] == 0) return OpenProblem::BadHeaderLine;
  return OpenProblem::Utf8Text;
}

// A headerless file in the UTF-8 form is decoded in place of its body.
// False when it cannot be read (`why` says why); a file of the other forms
// is left alone.
bool take_utf8_form(FileContainer& c, OpenFailure& why, bool& headerless) {
  headerless = false;
  if (c.header_bytes != 0) return true;
  Utf8Source utf8;
  read_utf8_source(c.body(), c.body_size, utf8);
  switch (utf8.verdict) {
    case Utf8Verdict::NotUtf8:
      return true;
    case Utf8Verdict::Invalid:
      why.problem = OpenProblem::InvalidUtf8;
      why.offset = utf8.offset;
      why.utf8_fault = utf8.fault;
      return false;
    case Utf8Verdict::TooLarge:
      return why.problem = OpenProblem::TooLarge, false;
    case Utf8Verdict::OutOfMemory:
      return why.problem = OpenProblem::OutOfMemory, false;
    case Utf8Verdict::Source:
      break;
  }
  c.body_size = static_cast<uint32_t>(utf8.body.size());
  c.storage = std::move(utf8.body);
  c.body_base = 0;
  c.body_pos = 0;
  headerless = !utf8.header_line;
  return true;
}

// A text stream on a source in UTF-8 without a header line: no line to
// check, the first line of the file is line 1.
std::unique_ptr<TokenStream> open_headerless(std::unique_ptr<FileContainer> c, uint32_t flags,
                                             OpenFailure& why) {
  auto s = make_text_token_stream(false);
  if (!s) return why.problem = OpenProblem::OutOfMemory, token_error = ERR_NO_MEMORY, nullptr;
  SI::container(*s) = std::move(c);
  SI::flags(*s) = (flags & ~(STREAM_BINARY | STREAM_TEXT)) | STREAM_TEXT;
  return s;
}

// Reads and checks the stream header line at the start of a loaded body and
// creates the stream of the encoding it names.
std::unique_ptr<TokenStream> open_reading(std::unique_ptr<FileContainer> c, uint32_t flags,
                                          char16_t file_type, char16_t file_version, OpenFailure& why) {
  bool headerless = false;
  if (!take_utf8_form(*c, why, headerless)) return token_error = ERR_BAD_VALUE, nullptr;
  if (headerless) return open_headerless(std::move(c), flags, why);
  uint8_t raw[32];
  const uint32_t got = container_read(*c, raw, 16);
  char16_t line[16];
  auto refuse = [&why, &raw, &line, got](HeaderPart part) {
    why.problem = part == HeaderPart::Tag ? kind_of_stranger(raw, got) : OpenProblem::BadHeaderLine;
    why.part = part;
    std::memcpy(why.header_line, line, sizeof why.header_line);
    token_error = ERR_BAD_HEADER;
    return nullptr;
  };
  if (got != 16) return why.problem = OpenProblem::TooShort, nullptr;
  // The line is in UTF-16 when its first eight bytes are the tag as UTF-16;
  // either form serves either encoding.
  bool wide = true;
  for (int i = 0; i < 4; ++i)
    if (raw[2 * i] != kTag[i] || raw[2 * i + 1] != 0) wide = false;
  if (wide) {
    if (container_read(*c, raw + 16, 16) != 16) return why.problem = OpenProblem::TooShort, nullptr;
    for (int i = 0; i < 16; ++i) line[i] = static_cast<char16_t>(raw[2 * i] | (raw[2 * i + 1] << 8));
  } else {
    for (int i = 0; i < 16; ++i) line[i] = raw[i];
  }
  // Checked in this order: tag, encoding, format version, file type, version.
  for (int i = 0; i < 4; ++i)
    if (line[i] != kTag[i]) return refuse(HeaderPart::Tag);
  if (line[7] != u't' && line[7] != u'b') return refuse(HeaderPart::Encoding);
  if (line[4] > u'0') return refuse(HeaderPart::FormatVersion);
  if (file_type != 0 && line[5] != file_type) return refuse(HeaderPart::FileType);
  if (file_version != 0 && line[6] != file_version) return refuse(HeaderPart::FileVersion);

  flags &= ~(STREAM_BINARY | STREAM_TEXT);
  flags |= line[7] == u'b' ? STREAM_BINARY : STREAM_TEXT;
  auto s = (flags & STREAM_BINARY) ? make_binary_token_stream() : make_text_token_stream();
  if (!s) return why.problem = OpenProblem::OutOfMemory, token_error = ERR_NO_MEMORY, nullptr;
  SI::container(*s) = std::move(c);
  SI::flags(*s) = flags;
  std::memcpy(SI::header_chars(*s), line, 8 * sizeof(char16_t));
  return s;
}

// The problem a container's load failure is to a reader.
OpenProblem open_problem(LoadProblem p) {
  switch (p) {
    case LoadProblem::Unreadable:
      return OpenProblem::Unreadable;
    case LoadProblem::TooLarge:
      return OpenProblem::TooLarge;
    case LoadProblem::Empty:
      return OpenProblem::Empty;
    case LoadProblem::HeaderCut:
      return OpenProblem::HeaderCut;
    case LoadProblem::NoBody:
      return OpenProblem::NoBody;
    case LoadProblem::UnknownCompression:
      return OpenProblem::UnknownCompression;
    case LoadProblem::ForgedSize:
      return OpenProblem::ForgedSize;
    case LoadProblem::DamagedBody:
      return OpenProblem::DamagedBody;
    case LoadProblem::OutOfMemory:
      return OpenProblem::OutOfMemory;
    case LoadProblem::None:
      break;
  }
  return OpenProblem::None;
}

// Opens a reading stream on a file: the container first, then the header line.
std::unique_ptr<TokenStream> open_file_reading(std::FILE* file, uint32_t flags, char16_t file_type,
                                               char16_t file_version, OpenFailure& why) {
  LoadProblem problem = LoadProblem::None;
  auto c = container_open(file, CONTAINER_READ, 0, 0, &problem, (flags & STREAM_MAP_FILE) != 0);
  if (!c) {
    why.problem = open_problem(problem);
    if (problem == LoadProblem::Unreadable) why.error = errno;
    if (problem == LoadProblem::UnknownCompression && file != nullptr) {
      // The eighth character of the header, in either form.
      uint8_t head[18] = {};
      std::rewind(file);
      const size_t n = std::fread(head, 1, sizeof head, file);
      why.detail = n == sizeof head && head[0] == 0xFF && head[1] == 0xFE ? head[16] : n >= 8 ? head[7] : 0;
    }
    return token_error = ERR_BAD_VALUE, nullptr;
  }
  return open_reading(std::move(c), flags, file_type, file_version, why);
}

std::unique_ptr<TokenStream> open_writing(std::FILE* file, uint32_t flags, char16_t file_type,
                                          char16_t file_version, char16_t compression) {
  const bool binary = (flags & STREAM_BINARY) != 0;
  char16_t line[16] = {u'V', u'U', u'X', u'A', u'0', file_type, file_version, binary ? u'b' : u't',
                       u'_', u'_', u'_', u'_', u'_', u'_',      u'\r',        u'\n'};
  const bool utf8 = !binary && (flags & STREAM_UTF8) != 0;  // written uncompressed, without a file header
  const char container_compression =
      compression < 0x80 && !utf8 ? static_cast<char>(compression) : COMPRESSION_NONE;
  auto c = container_create(file, container_compression, binary ? 0 : 1);
  if (!c) return token_error = ERR_NO_MEMORY, nullptr;  // creating one fails only for want of memory
  // A file of its own, written plain, goes out as it is made: the target
  // never stands whole in memory. (A caller's file gets nothing before the
  // stream is closed, and a compressed body must be whole to be packed.)
  c->streams = file != nullptr && (flags & STREAM_OWNS_FILE) != 0 && !utf8 &&
               container_compression != COMPRESSION_HUFFMAN;
  uint8_t raw[32];
  uint32_t raw_size = 0;
  for (char16_t ch : line) {
    raw[raw_size++] = static_cast<uint8_t>(ch);
    if (!binary) raw[raw_size++] = static_cast<uint8_t>(ch >> 8);
  }
  if (container_write(*c, raw, raw_size) != raw_size) return token_error = ERR_NO_MEMORY, nullptr;
  auto s = binary ? make_binary_token_stream() : make_text_token_stream();
  if (!s) return token_error = ERR_NO_MEMORY, nullptr;
  SI::container(*s) = std::move(c);
  SI::flags(*s) = flags;
  std::memcpy(SI::header_chars(*s), line, 8 * sizeof(char16_t));
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
std::FILE* open_regular_for_reading(const std::string& name, OpenFailure& why) {
  auto refuse = [&why](int fd, OpenProblem problem, int error = 0) -> std::FILE* {
    if (fd >= 0) ::close(fd);
    why.problem = problem;
    why.error = error;
    return nullptr;
  };
  const int fd = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return refuse(fd, errno == ENOENT ? OpenProblem::Missing : OpenProblem::Unreadable, errno);
  struct stat st;
  if (::fstat(fd, &st) != 0) return refuse(fd, OpenProblem::Unreadable, errno);
  if (S_ISDIR(st.st_mode)) return refuse(fd, OpenProblem::Directory);
  if (!S_ISREG(st.st_mode)) return refuse(fd, OpenProblem::NotRegular);
  const int fl = ::fcntl(fd, F_GETFL);
  if (fl < 0 || ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0)
    return refuse(fd, OpenProblem::Unreadable, errno);
  std::FILE* f = ::fdopen(fd, "rb");
  if (f == nullptr) return refuse(fd, OpenProblem::Unreadable, errno);
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
      OpenFailure ignored;
      s = open_file_reading(file, flags, file_type, file_version, ignored);
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
    OpenFailure ignored;
    return open_reading(std::move(c), flags | STREAM_READ, file_type, file_version, ignored);
  } catch (const std::bad_alloc&) {
    token_error = ERR_NO_MEMORY;
    return nullptr;
  }
}

std::unique_ptr<TokenStream> token_stream_open_path(const char16_t* path, uint32_t flags, char16_t file_type,
                                                    char16_t file_version, char16_t compression,
                                                    OpenFailure* failure) noexcept {
  OpenFailure ignored;
  OpenFailure& why = failure ? *failure : ignored;
  why = {};
  try {
    std::string name;
    if (path == nullptr || !narrow_path(path, name)) return why.problem = OpenProblem::BadName, nullptr;
    if (flags & STREAM_READ) {
      std::FILE* f = open_regular_for_reading(name, why);
      if (f == nullptr) return nullptr;
      auto s = open_file_reading(f, flags | STREAM_OWNS_FILE, file_type, file_version, why);
      if (!s) {
        std::fclose(f);
        return nullptr;
      }
      StreamFile::attach(*s, f, {}, {});
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
    why.problem = OpenProblem::OutOfMemory;
    token_error = ERR_NO_MEMORY;
    return nullptr;
  }
}

namespace {

// A text stream written in the UTF-8 form: its body converted, without a
// file header, to `out` or else to the container's file. The container is
// released either way.
bool close_utf8(TokenStream& s, std::vector<uint8_t>* out) {
  std::unique_ptr<FileContainer> c = std::move(SI::container(s));
  if (!c) return false;
  std::vector<uint8_t> utf8;
  if (!write_utf8_source(c->body(), c->body_size, utf8)) return false;
  if (out != nullptr) return *out = std::move(utf8), true;
  return c->file != nullptr &&
         (utf8.empty() || std::fwrite(utf8.data(), 1, utf8.size(), c->file) == utf8.size());
}

bool writes_utf8(const TokenStream& s) {
  const uint32_t f = SI::flags(s);
  return (f & (STREAM_READ | STREAM_BINARY)) == 0 && (f & STREAM_UTF8) != 0;
}

}  // namespace

int32_t token_stream_close(std::unique_ptr<TokenStream> stream) noexcept {
  if (!stream) return 0;
  SI::open_tokens(*stream).clear();
  if (SI::flags(*stream) & STREAM_READ) {
    (void)container_close(std::move(SI::container(*stream)));
    return 1;  // the stream's destructor closes its own file
  }
  const bool owned = StreamFile::file(*stream) != nullptr;
  bool ok = writes_utf8(*stream) ? close_utf8(*stream, nullptr)
                                 : container_close(std::move(SI::container(*stream))) != 0;
  if (owned) {
    ok = StreamFile::close_file(*stream) && ok;
    ok = ok && StreamFile::commit(*stream);
  }
  // On failure the destructor removes the temporary file.
  return ok ? 1 : 0;
}

int32_t token_stream_close_to_bytes(std::unique_ptr<TokenStream> stream, std::vector<uint8_t>& out) noexcept {
  if (!stream || (SI::flags(*stream) & STREAM_READ)) return 0;
  if (writes_utf8(*stream)) return close_utf8(*stream, &out) ? 1 : 0;
  return container_close_to_bytes(std::move(SI::container(*stream)), out);
}

void token_stream_discard(std::unique_ptr<TokenStream> stream) noexcept { stream.reset(); }

uint32_t token_stream_line(const TokenStream& stream) noexcept {
  return (SI::flags(stream) & STREAM_BINARY) ? SI::position(stream) : SI::line(stream);
}

uint32_t token_stream_flags(const TokenStream& stream) noexcept { return SI::flags(stream); }

std::u16string_view token_stream_header(const TokenStream& stream) noexcept {
  if (SI::header_chars(stream)[0] == 0) return {};  // a source in UTF-8 without one
  return {SI::header_chars(stream), 8};
}

}  // namespace tokenfile
