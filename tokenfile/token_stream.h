// The token stream: one open token file, read or written, seen through 24
// operations that do not reveal the encoding beneath (text or binary).
//
// A token has an id (from the token dictionary), an optional label, values
// and child tokens. Readers ask for each value with the read operation that
// matches the write operation used for it; neither encoding records types.
//
// Every operation returns non-zero for success and zero for failure (except
// read_block, which returns a block or null); the cause of a failure is left
// in token_error. No operation throws.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tokenfile/token_error.h"

namespace tokenfile {

struct FileContainer;  // the whole-file body buffer beneath a stream (private)

// Stream flag bits.
inline constexpr uint32_t STREAM_READ = 0x1;    // reads an existing file; clear: writes
inline constexpr uint32_t STREAM_WRITE = 0x2;   // passed by writers; nothing tests it
inline constexpr uint32_t STREAM_BINARY = 0x4;  // binary encoding (otherwise text)
inline constexpr uint32_t STREAM_TEXT = 0x8;
inline constexpr uint32_t STREAM_OWNS_FILE = 0x10000;  // opened by path; closed with the stream
// Writing text: the file is the source form in UTF-8 (no file header, the
// stream header line first, LF line ends, no compression) instead of the
// UTF-16 token file.
inline constexpr uint32_t STREAM_UTF8 = 0x20;
// Reading a large file stored plain: its pages are mapped rather than copied
// into fresh memory, which saves time and memory. If another program
// shrinks the file while the stream is open, reading a page it no longer
// holds raises SIGBUS: a caller that asks for the mapping handles that
// signal (mapbake reports the source as unreadable and exits).
inline constexpr uint32_t STREAM_MAP_FILE = 0x40;

// TokenBlock kinds.
inline constexpr uint32_t BLOCK_BINARY = 4;
inline constexpr uint32_t BLOCK_TEXT = 8;

// One line of a text block; depth is its indentation level relative to the
// block's first line.
struct BlockLine {
  std::u16string text;
  int32_t depth = 0;
};

// A whole token copied out of one stream, to be written into another stream
// of the same encoding. Kind 4 holds a complete binary token image in
// `bytes`; kind 8 holds text `lines`.
struct TokenBlock {
  uint32_t kind = 0;
  std::vector<uint8_t> bytes;
  std::vector<BlockLine> lines;

  uint32_t size() const noexcept { return static_cast<uint32_t>(bytes.size()); }
};

// Capacity, terminator included, of the buffer read_label fills in the text
// encoding (the longest lexeme is 1055 characters).
inline constexpr uint32_t LABEL_TEXT_CAPACITY = 1056;

// A place in the source a stream reads. Text: `line` and `column` (the
// stream header line is line 1; each LF or CR LF starts the next line and a
// lone CR is dropped, as the reader drops it; columns count characters from
// 1, a tab as one, a surrogate pair as one, a dropped CR as none). Binary:
// `offset`, in bytes from the start of the file, its file header included
// (for a compressed file: as if it were stored plain).
struct SourcePlace {
  uint32_t line = 0;
  uint32_t column = 0;
  uint64_t offset = 0;
};

// Where a lexeme or value stood: its first character or byte, the place
// just past its last, and its length in characters (text) or bytes (binary).
struct SourceSpan {
  SourcePlace begin;
  SourcePlace end;
  uint32_t length = 0;
};

// Why the last read ran out of data.
enum class ReadStop : uint8_t {
  None,         // it did not: it succeeded, or failed on what it found
  TokenEnd,     // the innermost open token ends there (text: its closing parenthesis)
  BodyEnd,      // the body ends there
  DamagedTail,  // the body ends in a fragment: an odd byte after the last whole
                // character of a text body, or 1 to 3 bytes where a binary token would start
};

class TokenStream {
 public:
  TokenStream() noexcept;
  TokenStream(const TokenStream&) = delete;
  TokenStream& operator=(const TokenStream&) = delete;
  // Destroying a stream without token_stream_close abandons it: a writing
  // stream opened by path removes its temporary file, the target untouched.
  virtual ~TokenStream();

  // --- reading (slots 0 to 11) ---

  // Opens the next child of the innermost open token (or the next top-level
  // token). `label`, when given, receives a pointer to the stream's label
  // buffer or null when the token has none. At the top level, fails with
  // ERR_END_OF_DATA when there is no further token.
  [[nodiscard]] virtual int32_t read_token_open(uint32_t& id, const char16_t** label) noexcept = 0;
  // Text: one word into `text` (room for LABEL_TEXT_CAPACITY units).
  // Binary: reads nothing and succeeds.
  [[nodiscard]] virtual int32_t read_label(char16_t* text) noexcept = 0;
  [[nodiscard]] virtual int32_t read_uint(uint32_t& value) noexcept = 0;
  [[nodiscard]] virtual int32_t read_int(int32_t& value) noexcept = 0;
  [[nodiscard]] virtual int32_t read_hex(uint32_t& value) noexcept = 0;
  [[nodiscard]] virtual int32_t read_float(float& value) noexcept = 0;
  // At most capacity - 1 units and a terminator (capacity >= 1).
  [[nodiscard]] virtual int32_t read_wstring(char16_t* buffer, uint32_t capacity) noexcept = 0;
  // 8-bit strings exist in the binary encoding only: in the text encoding
  // read_string and write_string always fail and leave token_error as it
  // was (use the UTF-16 forms there).
  [[nodiscard]] virtual int32_t read_string(char* buffer, uint32_t capacity) noexcept = 0;
  // Exactly `count` bytes on success.
  [[nodiscard]] virtual int32_t read_bytes(uint8_t* buffer, uint32_t count) noexcept = 0;
  [[nodiscard]] virtual int32_t read_token_ref(uint32_t& id) noexcept = 0;
  // The innermost open token (its opening and what is left unread) as a
  // block of the stream's encoding; closes the token. Null on failure.
  [[nodiscard]] virtual std::unique_ptr<TokenBlock> read_block() noexcept = 0;
  // Skips what is left of the innermost open token and closes it.
  [[nodiscard]] virtual int32_t read_token_close() noexcept = 0;

  // --- writing (slots 12 to 23) ---

  [[nodiscard]] virtual int32_t write_token_open(uint32_t id, const char16_t* label) noexcept = 0;
  [[nodiscard]] virtual int32_t write_label(const char16_t* text) noexcept = 0;
  [[nodiscard]] virtual int32_t write_uint(uint32_t value) noexcept = 0;
  [[nodiscard]] virtual int32_t write_int(int32_t value) noexcept = 0;
  [[nodiscard]] virtual int32_t write_hex(uint32_t value) noexcept = 0;
  [[nodiscard]] virtual int32_t write_float(float value) noexcept = 0;
  [[nodiscard]] virtual int32_t write_wstring(const char16_t* text) noexcept = 0;
  [[nodiscard]] virtual int32_t write_string(const char* text) noexcept = 0;
  [[nodiscard]] virtual int32_t write_bytes(const uint8_t* data, uint32_t count) noexcept = 0;
  [[nodiscard]] virtual int32_t write_token_ref(uint32_t id) noexcept = 0;
  // Appends the token a block holds. The block must be of the stream's kind,
  // else ERR_BLOCK_KIND. On success the block is released (reset); on
  // failure it stays with the caller.
  [[nodiscard]] virtual int32_t write_block(std::unique_ptr<TokenBlock>& block) noexcept = 0;
  [[nodiscard]] virtual int32_t write_token_close() noexcept = 0;

  // --- where reading stands (writing streams answer with empty places) ---

  // The last lexeme or value read; for a failed read, what it stopped at.
  [[nodiscard]] SourceSpan last_span() const noexcept { return span_of(last_mark()); }
  // A cheap handle on that span, which span_of turns into places when a
  // message needs them (places cost a count of the source's characters).
  struct Mark {
    uint64_t begin = 0, end = 0;
  };
  [[nodiscard]] virtual Mark last_mark() const noexcept { return {}; }
  [[nodiscard]] virtual SourceSpan span_of(const Mark& /*mark*/) const noexcept { return {}; }
  // Where the name (binary: the id) of the innermost open token stands.
  [[nodiscard]] virtual SourcePlace open_token_place() const noexcept { return {}; }
  // Text: the last lexeme as the source has it (quotes and escapes as
  // written, no white space around it); valid until the next read. Binary:
  // empty.
  [[nodiscard]] virtual std::u16string_view last_lexeme() const noexcept { return {}; }
  // Text: the name of the token opened last, as the source has it; valid
  // until the next read. Binary: empty.
  [[nodiscard]] virtual std::u16string_view last_token_name() const noexcept { return {}; }
  [[nodiscard]] virtual ReadStop read_stop() const noexcept { return ReadStop::None; }
  // The length in UTF-16 units of the last string read, before any cut to
  // the caller's capacity.
  [[nodiscard]] virtual uint32_t last_string_length() const noexcept { return 0; }
  // Text: source line `number` without its line end (empty past the last
  // line, or when memory runs out, which also sets token_error to
  // ERR_NO_MEMORY); line 1 is the 16 characters of the stream header line,
  // its CR LF left out. Binary: empty.
  [[nodiscard]] virtual std::u16string source_line(uint32_t /*number*/) const noexcept { return {}; }
  // Text: the number of source lines (the header line counts); binary: 0.
  [[nodiscard]] virtual uint32_t source_line_count() const noexcept { return 0; }

 protected:
  // --- state every operation can reach ---

  std::unique_ptr<FileContainer> container;
  uint32_t flags = 0;
  // Binary: body offset of the next byte to read or write, counting the
  // 16-byte header line. Text writer: column of the output line.
  uint32_t position = 16;
  // Text reader: number of the current line (the header line is line 1).
  uint32_t line = 2;
  // Open tokens, innermost last; what a value means is the encoding's
  // business (an end offset, a length-field offset, a depth, a flag).
  std::vector<uint32_t> open_tokens;
  // Label of the token opened last: at most 32 units and a terminator.
  char16_t label[33] = {};
  // The first eight characters of the stream header line.
  char16_t header_chars[8] = {};

 private:
  friend struct StreamInternals;
  std::FILE* file_ = nullptr;  // the file the stream opened itself
  std::string temp_path_;      // writing by path: the temporary file
  std::string target_path_;    // writing by path: where it goes at close
};

// Opens a stream on `file` (binary mode; for reading when flags has
// STREAM_READ). Reading loads the whole file and reads and checks the stream
// header line; the encoding is the one the line names. `file_type` and
// `file_version`, when non-zero, must equal the line's characters. Writing
// prepares an empty body holding the header line; `compression` is '@', 'B'
// or 'F'. A null `file` when writing keeps the file in memory (see
// token_stream_close_to_bytes). Null on failure, with token_error as the
// failure's cause where it has one.
std::unique_ptr<TokenStream> token_stream_open(std::FILE* file, uint32_t flags, char16_t file_type,
                                               char16_t file_version, char16_t compression) noexcept;

// Opens a reading stream on a token file held in memory.
std::unique_ptr<TokenStream> token_stream_open_memory(std::vector<uint8_t> file_bytes, uint32_t flags,
                                                      char16_t file_type, char16_t file_version) noexcept;

// Why a file could not be opened for reading.
enum class OpenProblem : uint8_t {
  None,
  BadName,             // a character of code 127 or above, or longer than 511 characters
  Missing,             // no such file
  Directory,           // a directory, not a file
  NotRegular,          // a pipe, a device, a socket
  Unreadable,          // cannot be opened or read: `error` holds errno
  Empty,               // no bytes at all
  HeaderCut,           // the start of a file header, but not the whole of it
  NoBody,              // a file header and nothing after it
  UnknownCompression,  // `detail`: the compression character the header names
  ForgedSize,          // the header's size field cannot be the size of its body
  DamagedBody,         // a compressed body that does not expand
  TooLarge,            // a body of 4 GiB or more
  TooShort,            // a body shorter than a stream header line
  BigEndianUtf16,      // UTF-16 text in big-endian byte order (the mark FE FF)
  Utf8Text,            // 8-bit text that is no source: no "(" in it, or a NUL byte
  InvalidUtf8,         // a source in UTF-8 but for the sequence at `offset` (`utf8_fault` says why)
  BadHeaderLine,       // `part` names what of the stream header line is wrong
  OutOfMemory,
};

// The part of a stream header line that was refused, checked in this order.
enum class HeaderPart : uint8_t { None, Tag, Encoding, FormatVersion, FileType, FileVersion };

// What is wrong with the first bad sequence of a source in UTF-8.
enum class Utf8Fault : uint8_t {
  None,
  Stray,      // a continuation byte (80 to BF) that no sequence begins
  Overlong,   // a character in more bytes than it needs (C0, C1, E0 80 to 9F, F0 80 to 8F)
  Surrogate,  // U+D800 to U+DFFF (ED A0 to BF)
  PastMax,    // a value past U+10FFFF (F4 90 to BF, F5 to F7)
  BadByte,    // F8 to FF, which begin no sequence
  Cut,        // a sequence cut short: by the end of the file, or a byte that does not continue it
};

struct OpenFailure {
  OpenProblem problem = OpenProblem::None;
  HeaderPart part = HeaderPart::None;
  int error = 0;                 // Unreadable: the system's error number
  char16_t detail = 0;           // UnknownCompression: the character
  char16_t header_line[8] = {};  // BadHeaderLine: the line's first eight characters
  uint64_t offset = 0;           // InvalidUtf8: the bad sequence's first byte, from 0 at the file's first
  Utf8Fault utf8_fault = Utf8Fault::None;  // InvalidUtf8: what is wrong with it
};

// Reading takes a source in UTF-8 as well: a file with no NUL byte and no
// file header that is valid UTF-8 (an optional byte-order mark first),
// holds a "(" and whose first line is a stream header line of the text
// encoding in 8-bit characters (then LF or CR LF) or does not begin with
// "VUXA". It reads as its UTF-16 form would; without a header line the
// first line of the file is line 1 and any file type and version pass.

// As token_stream_open on the file a UTF-16 path names. Names with a
// character of code 127 or above, or longer than 511 characters, fail (null,
// no code). Reading opens only regular files and never blocks. Writing never
// touches an existing target before a successful close: the body goes to a
// temporary file beside the target, which token_stream_close renames over it.
// When reading fails, `failure` (when given) says why.
std::unique_ptr<TokenStream> token_stream_open_path(const char16_t* path, uint32_t flags, char16_t file_type,
                                                    char16_t file_version, char16_t compression,
                                                    OpenFailure* failure = nullptr) noexcept;

// Destroys a stream. For a writing stream this writes the file: non-zero
// only when it was written whole and (opened by path) put in place; on
// failure an existing target stays as it was and no temporary file is left.
// Reading streams always succeed.
[[nodiscard]] int32_t token_stream_close(std::unique_ptr<TokenStream> stream) noexcept;

// For a signal handler (async-signal-safe): removes the temporary file of
// every stream still writing by path, so that a program ended by a signal
// leaves no partial file beside its targets. Those streams are then unusable
// and the program must end.
void token_stream_remove_temporary_files() noexcept;

// Closes a writing stream that was opened without a file, handing over the
// file's bytes (file header and body). Non-zero on success.
[[nodiscard]] int32_t token_stream_close_to_bytes(std::unique_ptr<TokenStream> stream,
                                                  std::vector<uint8_t>& out) noexcept;

// Abandons a stream: a writing stream's temporary file is removed and any
// existing target is left untouched.
void token_stream_discard(std::unique_ptr<TokenStream> stream) noexcept;

// The place reached, for messages: the byte position for a binary stream,
// the line number for a text stream.
uint32_t token_stream_line(const TokenStream& stream) noexcept;

// The stream's flag bits: STREAM_READ, and on a reading stream the encoding
// its header line names (STREAM_BINARY or STREAM_TEXT).
uint32_t token_stream_flags(const TokenStream& stream) noexcept;

// The first eight characters of the stream header line: tag, format
// version, file type, file version and encoding; empty for a source in
// UTF-8 without a header line.
std::u16string_view token_stream_header(const TokenStream& stream) noexcept;

}  // namespace tokenfile
