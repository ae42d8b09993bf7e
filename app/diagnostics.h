// Diagnostics for the people who write input maps: one line on standard
// error after a failure (or for a warning), in the form compilers use so
// that editors can jump to the place:
//
//   SOURCE:LINE:COLUMN: error: CAUSE   (text source)
//   SOURCE: error: at byte N: CAUSE    (binary source: the offset in the file)
//   NAME: error: CAUSE                 (no place: a file that cannot be used)
//
// Standard output is not touched here; the program's fixed messages stay as they
// are. Every cause text lives in the table behind cause_text.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "app/console.h"

namespace mapbake {

enum class Cause : uint8_t {
  // File names and files (%1 is an errno text or a directory where said).
  NameNotUtf8,
  NameNotAscii,
  NameTooLong,
  PathTooLong,
  SamePath,
  SameFile,
  FileMissing,
  FileIsDirectory,
  FileNotRegular,
  FileUnreadable,  // %1 errno text
  FileEmpty,
  FileBadCompression,  // %1 the compression character
  FileDamagedBody,
  FileNotLoadable,
  FileTooShort,
  FileBadHeader,
  FileHeaderCut,
  FileNoBody,
  FileForgedSize,
  FileTooLarge,
  FileBigEndian,
  FileUtf8,
  FileBadUtf8,           // %1 what is wrong with the sequence
  FileBadHeaderPart,     // %1 the part and its character, %2 what is expected
  DirectoryMissing,      // %1 directory
  DirectoryNotWritable,  // %1 directory, %2 errno text
  TargetNotCreated,
  TargetNotWritten,  // %1 errno text
  TargetNotWrittenNoReason,
  OutOfMemory,
  // Input map content (%1 names a value or token, %2 the expected thing).
  UnknownDevice,        // %1 name
  UnknownControl,       // %1 name, %2 device name
  UnknownModifier,      // %1 name
  DeviceHasNoControls,  // %1 device name
  DeviceWithoutChild,
  SguidLength,     // %1 length
  MissingValue,    // %1 token, %2 what was expected
  WrongValueKind,  // %1 token, %2 what was expected, %3 lexeme met
  BadNumber,       // %1 token, %2 lexeme met
  StrayChild,      // %1 token
  Syntax,          // %1 lexeme met
  SyntaxNoLexeme,
  EndInsideToken,
  OddByte,
  StringTooLong,  // %1 token, %2 length
  ReadFailed,     // %1 error code name
  DecodeFailed,   // %1 what
  NotASourceMap,
  LoneSurrogate,  // %1 how many
  WriteFailed,    // %1 error code name
  // Warnings.
  StringCut,       // %1 token, %2 length
  UnknownToken,    // %1 name
  MisplacedToken,  // %1 token, %2 where it stands, %3 where it belongs
  LateSguid,
  DuplicateBinding,
  ConflictingModifiers,  // %1 and %2 the names
  RedundantModifier,     // %1 name
  ActionLikeModifier,    // %1 name
  DerivedName,           // %1 the name written
  RunTimeMap,
  HeaderLine,  // %1 the characters taken
  NumberForm,  // %1 as written, %2 as read
};

enum class Severity : uint8_t { Error, Warning, Note };

struct Location {
  enum class Kind : uint8_t { None, Line, Byte };
  Kind kind = Kind::None;
  uint64_t value = 0;   // the line, or the byte offset
  uint32_t column = 0;  // with a line: its column, 0 when unknown
};

// The cause's text with %1, %2 and %3 replaced by the arguments in order.
std::string cause_text(Cause cause, std::initializer_list<std::string_view> args = {});

// One whole diagnostic line, line end included.
std::string diagnostic_line(Severity severity, std::string_view source, Location where,
                            std::string_view cause);

// Prints one diagnostic on the console's error channel. Never throws; out of
// memory, the line is dropped.
void report(Console& console, Severity severity, std::string_view source, Location where, Cause cause,
            std::initializer_list<std::string_view> args = {}) noexcept;

// A UTF-16 string as UTF-8 for a message: unpaired surrogates and control
// characters become U+FFFD, and anything past `limit` units is replaced by
// "...".
std::string printable(std::u16string_view text, size_t limit = 64);

// One code point appended as UTF-8.
void append_utf8(std::string& out, char32_t cp);

}  // namespace mapbake
