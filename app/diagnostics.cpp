#include "app/diagnostics.h"

#include <array>
#include <charconv>
#include <new>

namespace mapbake {

namespace {

struct CauseEntry {
  Cause cause;
  const char* text;
};

// Every cause the program reports, in the order of the enumeration.
constexpr std::array cause_table{
    CauseEntry{Cause::NameNotUtf8, "the file name is not valid UTF-8"},
    CauseEntry{Cause::NameNotAscii, "file names with a character of code 127 or above cannot be opened"},
    CauseEntry{Cause::NameTooLong, "the file name is longer than 511 characters"},
    CauseEntry{Cause::PathTooLong,
               "the full path is longer than 255 characters, or the current directory "
               "cannot be found"},
    CauseEntry{Cause::SamePath, "the output file resolves to the source file's path"},
    CauseEntry{Cause::SameFile, "the output file is the source file under another name (a link)"},
    CauseEntry{Cause::FileMissing, "no such file"},
    CauseEntry{Cause::FileIsDirectory, "is a directory, not a file"},
    CauseEntry{Cause::FileNotRegular, "is not a regular file"},
    CauseEntry{Cause::FileUnreadable, "cannot be read: %1"},
    CauseEntry{Cause::FileEmpty,
               "the file is empty; a token file starts with a file header or a "
               "stream header line"},
    CauseEntry{Cause::FileBadCompression,
               "the file header names the unknown compression '%1'; "
               "expected '@', 'B' or 'F'"},
    CauseEntry{Cause::FileDamagedBody, "the compressed body is damaged and cannot be expanded"},
    CauseEntry{Cause::FileNotLoadable, "the file cannot be loaded as a token file"},
    CauseEntry{Cause::FileTooShort,
               "not a token file: the body is shorter than its 16-character "
               "stream header line"},
    CauseEntry{Cause::FileBadHeader,
               "not a token file: the body does not start with a stream header "
               "line \"VUXA\" of format version 0 and encoding 't' or 'b'"},
    CauseEntry{Cause::FileHeaderCut, "the file header is cut short"},
    CauseEntry{Cause::FileNoBody, "the file holds a file header and nothing after it"},
    CauseEntry{Cause::FileForgedSize, "the size in the file header does not match the compressed body"},
    CauseEntry{Cause::FileTooLarge, "the body is 4 GiB or larger"},
    CauseEntry{Cause::FileBigEndian,
               "the file is UTF-16 in big-endian byte order; token files are little-endian "
               "(byte-order mark FF FE)"},
    CauseEntry{Cause::FileUtf8,
               "the file is text but no source: it holds no \"(\", or a NUL byte, "
               "which a UTF-8 source never holds"},
    CauseEntry{Cause::FileBadUtf8, "the file is not valid UTF-8: %1"},
    CauseEntry{Cause::FileBadHeaderPart, "not a token file: the stream header line has %1; expected %2"},
    CauseEntry{Cause::DirectoryMissing, "the directory \"%1\" does not exist"},
    CauseEntry{Cause::DirectoryNotWritable, "cannot create a file in \"%1\": %2"},
    CauseEntry{Cause::TargetNotCreated, "the output file cannot be created"},
    CauseEntry{Cause::TargetNotWritten,
               "the output file could not be written: %1; "
               "an existing file is left as it was"},
    CauseEntry{Cause::TargetNotWrittenNoReason,
               "the output file could not be written; "
               "an existing file is left as it was"},
    CauseEntry{Cause::OutOfMemory, "out of memory"},
    CauseEntry{Cause::UnknownDevice,
               "unknown device name \"%1\"; expected JOY, JOYSTICK, KEYB, "
               "MOUSE or PEN"},
    CauseEntry{Cause::UnknownControl, "unknown control name \"%1\" for device %2"},
    CauseEntry{Cause::UnknownModifier,
               "unknown modifier name \"%1\"; expected SHIFT_UP, CTRL_UP, "
               "ALT_UP, WIN_UP, SHIFT_DOWN, CTRL_DOWN, ALT_DOWN, WIN_DOWN "
               "or ALL_UP"},
    CauseEntry{Cause::DeviceHasNoControls, "device %1 has no controls, so it cannot have an io_map"},
    CauseEntry{Cause::DeviceWithoutChild,
               "io_dev has no child token; expected a sguid or an io_map "
               "after its two values"},
    CauseEntry{Cause::SguidLength, "sguid length %1 is outside 2 to 64"},
    CauseEntry{Cause::MissingValue, "a value is missing in %1: expected %2"},
    CauseEntry{Cause::WrongValueKind, "expected %2 in %1, found \"%3\""},
    CauseEntry{Cause::BadNumber, "\"%2\" in %1 is not an unsigned 32-bit number"},
    CauseEntry{Cause::StrayChild,
               "a value stands where a child token of %1 or its closing "
               "parenthesis should"},
    CauseEntry{Cause::Syntax, "syntax error at \"%1\""},
    CauseEntry{Cause::SyntaxNoLexeme, "syntax error"},
    CauseEntry{Cause::EndInsideToken, "the data ends inside a token"},
    CauseEntry{Cause::OddByte, "the file ends in the middle of a character (an odd number of bytes)"},
    CauseEntry{Cause::StringTooLong, "a string of %2 characters in %1 is longer than 256 characters"},
    CauseEntry{Cause::ReadFailed, "reading the source failed (%1)"},
    CauseEntry{Cause::DecodeFailed, "not a run-time map a source gives: %1"},
    CauseEntry{Cause::NotASourceMap,
               "a binary file that is no source map; for a run-time map use --print --decode"},
    CauseEntry{Cause::LoneSurrogate, "%1 unpaired surrogates printed as U+FFFD"},
    CauseEntry{Cause::WriteFailed, "writing the output failed (%1)"},
    CauseEntry{Cause::StringCut,
               "a string of %2 characters in %1 is longer than 255 characters; only its first 255 "
               "are converted"},
    CauseEntry{Cause::UnknownToken, "unknown token name \"%1\"; the token is skipped"},
    CauseEntry{Cause::MisplacedToken, "%1 %2 is skipped; it belongs %3"},
    CauseEntry{Cause::LateSguid, "an sguid that is not the first child of its io_dev is skipped"},
    CauseEntry{Cause::DuplicateBinding, "the same control and modifiers are bound twice in this io_dev"},
    CauseEntry{Cause::ConflictingModifiers, "%1 with %2 in one binding"},
    CauseEntry{Cause::RedundantModifier, "%1 twice in one binding"},
    CauseEntry{
        Cause::ActionLikeModifier,
        "the action is the modifier name %1 and the binding has no modifiers; an action may be missing"},
    CauseEntry{Cause::DerivedName, "the output name is derived from the source name: writing \"%1\""},
    CauseEntry{Cause::RunTimeMap,
               "the source looks like a run-time map (a device code where a device name belongs); "
               "convert the source form instead"},
    CauseEntry{Cause::HeaderLine,
               "the stream header line does not end with CR LF, so it takes \"%1\" from the next line "
               "(save the file with CR LF line ends)"},
    CauseEntry{Cause::NumberForm, "the device number \"%1\" reads as %2"},
};

constexpr bool table_in_enum_order() {
  for (size_t i = 0; i < cause_table.size(); ++i) {
    if (static_cast<size_t>(cause_table[i].cause) != i) return false;
  }
  return true;
}
static_assert(table_in_enum_order(), "cause_table must list every Cause in declaration order");
static_assert(static_cast<size_t>(Cause::NumberForm) + 1 == cause_table.size());

}  // namespace

std::string cause_text(Cause cause, std::initializer_list<std::string_view> args) {
  const std::string_view text = cause_table[static_cast<size_t>(cause)].text;
  std::string out;
  size_t room = text.size();
  for (std::string_view arg : args) room += arg.size();
  out.reserve(room);
  // The text between the places "%1" to "%3" goes in whole.
  size_t from = 0;
  for (size_t at = text.find('%'); at != std::string_view::npos; at = text.find('%', at + 1)) {
    if (at + 1 >= text.size() || text[at + 1] < '1' || text[at + 1] > '3') continue;
    out.append(text.substr(from, at - from));
    const size_t k = static_cast<size_t>(text[at + 1] - '1');
    if (k < args.size()) out.append(args.begin()[k]);
    from = ++at + 1;
  }
  out.append(text.substr(from));
  return out;
}

std::string diagnostic_line(Severity severity, std::string_view source, Location where,
                            std::string_view cause) {
  std::string line;
  line.reserve(source.size() + cause.size() + 64);  // room for the place, the severity and a tag
  line.append(source);
  char number[24];
  auto append_number = [&](uint64_t value) {
    line.append(number, std::to_chars(number, number + sizeof number, value).ptr);
  };
  if (where.kind == Location::Kind::Line) {
    line.push_back(':');
    append_number(where.value);
    if (where.column != 0) {
      line.push_back(':');
      append_number(where.column);
    }
  }
  line.append(severity == Severity::Error     ? ": error: "
              : severity == Severity::Warning ? ": warning: "
                                              : ": note: ");
  if (where.kind == Location::Kind::Byte) {
    line.append("at byte ");
    append_number(where.value);
    line.append(": ");
  }
  line.append(cause);
  line.push_back('\n');
  return line;
}

void report(Console& console, Severity severity, std::string_view source, Location where, Cause cause,
            std::initializer_list<std::string_view> args) noexcept {
  try {
    console.print(Channel::Err, diagnostic_line(severity, source, where, cause_text(cause, args)));
  } catch (const std::bad_alloc&) {
    // A diagnostic is an aid; standard output already carries the message.
  }
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::string printable(std::u16string_view text, size_t limit) {
  std::string out;
  const size_t n = text.size() < limit ? text.size() : limit;
  out.reserve(n + 3);
  for (size_t i = 0; i < n; ++i) {
    char32_t cp = text[i];
    if (cp >= 0x20 && cp < 0x7F) {  // the usual character
      out.push_back(static_cast<char>(cp));
      continue;
    }
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if ((cp >= 0xD800 && cp <= 0xDFFF) || cp < 0x20 || cp == 0x7F) {
      cp = 0xFFFD;
    }
    append_utf8(out, cp);
  }
  if (n < text.size()) out.append("...");
  return out;
}

}  // namespace mapbake
