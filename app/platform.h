// The converter's view of the operating system: full-path resolution, the
// widening of 8-bit file names to UTF-16, and the file identity checks the
// driver makes before it opens anything. Everything else reaches the disk
// through the token file library.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace mapbake {

// Longest resolved path the driver accepts: its 256-byte buffers hold 255
// characters and the terminator.
inline constexpr size_t MAX_FULL_PATH = 255;

// Units in each buffer of the wide-name ring, terminator included.
inline constexpr size_t WIDE_NAME_CAPACITY = 2048;

// Resolves `name` to an absolute path without touching the file system
// beyond asking for the current directory: a relative name is joined to the
// current directory, "." segments and repeated '/' are dropped, ".." removes
// the segment before it (at the root it stays at the root), and a trailing
// '/' is dropped. Symbolic links are not followed and the file need not
// exist. An empty name resolves to the current directory.
// Returns false when the current directory cannot be found, the result
// would exceed MAX_FULL_PATH characters, or memory runs out; `out` is then
// unspecified.
[[nodiscard]] bool resolve_full_path(std::string_view name, std::string& out) noexcept;

// The same, against the absolute `directory` instead of the current one.
[[nodiscard]] bool resolve_full_path_in(std::string_view directory, std::string_view name,
                                        std::string& out) noexcept;

// Decodes the zero-terminated UTF-8 `name` into the next buffer of a ring of
// four and returns that buffer. The ring index advances before the buffer is
// written, so the first call of a process uses buffer 1, and a result stays
// valid until four further calls. Invalid UTF-8 (overlong forms, surrogates,
// code points above U+10FFFF, cut sequences) and a result that with its
// terminator needs more than WIDE_NAME_CAPACITY units give the empty name.
const char16_t* widen_ansi_name(const char* name) noexcept;

// What the file system says about a name, following symbolic links.
enum class FileKind : uint8_t { Missing, Regular, Directory, Other, Inaccessible };

struct FileIdentity {
  FileKind kind = FileKind::Missing;
  uint64_t device = 0;
  uint64_t inode = 0;
  int error = 0;  // errno of a failed look-up, 0 otherwise
};

FileIdentity identify_file(const char* name) noexcept;

// True when both names exist and are the same file (same device and inode):
// the same path, a symbolic or hard link, or a name that a case-insensitive
// file system folds onto the other.
bool same_existing_file(const char* a, const char* b) noexcept;

// True when standard error is a terminal.
bool stderr_is_terminal() noexcept;

// The value of an environment variable, or null. Read for the colour of
// standard error alone.
const char* environment_variable(const char* name) noexcept;

// True when a file may be created in `directory` (write and search access).
bool directory_writable(const char* directory, int& error) noexcept;

// The C library's text for an errno value ("No such file or directory").
const char* error_text(int error) noexcept;

}  // namespace mapbake
