// The command-line driver.
//
// Standard output carries exactly the program's messages; each failure adds
// one diagnostic line on standard error (app/diagnostics.h). The target is
// written safely: the token file library writes it to a temporary file and
// puts it in place only when the whole map was converted and written, so a
// failed run leaves an existing target as it was.
#include "app/driver.h"

#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "app/convert.h"
#include "app/decode.h"
#include "app/diagnostics.h"
#include "app/list.h"
#include "app/options.h"
#include "app/platform.h"
#include "app/print.h"
#include "app/reporter.h"
#include "app/signals.h"
#include "tokenfile/dictionary.h"
#include "tokenfile/token_stream.h"

namespace mapbake {

using tokenfile::token_error;
using tokenfile::TokenStream;

namespace {

constexpr size_t MAX_NAME = 255;           // the 256-byte name buffers, terminator excluded
constexpr size_t MAX_OPENABLE_NAME = 511;  // longest name the library opens

constexpr std::string_view usage_text =
    "Usage: mapbake [-edit] [-text] <file> [out_file]\n"
    "       out_file defaults to file with .iom extension\n"
    "       -text to output a text format RUN-TIME iom file\n";

constexpr int STATUS_SUCCESS = 0;
constexpr int STATUS_FAILURE = 1;

// Holds the token dictionary for one run: released on every way out.
class DictionaryHold {
 public:
  DictionaryHold() noexcept : acquired_(tokenfile::acquire_token_dictionary() != 0) {}
  ~DictionaryHold() {
    if (acquired_) tokenfile::release_token_dictionary();
  }
  DictionaryHold(const DictionaryHold&) = delete;
  DictionaryHold& operator=(const DictionaryHold&) = delete;
  bool acquired() const noexcept { return acquired_; }

 private:
  bool acquired_;
};

// "%s\n" after a message head, through one print.
void print_with_name(Console& console, std::string_view head, std::string_view name) {
  std::string line(head);
  line.append(name);
  line.push_back('\n');
  console.print(Channel::Out, line);
}

// A name-level cause common to both files, or false when the name is fine.
bool name_cause(const char* name, const char16_t* wide, Cause& cause) noexcept {
  if (wide[0] == 0) {
    if (name[0] == 0) return false;
    // More bytes than 511 characters of four bytes each: too long, valid or not.
    cause = std::strlen(name) > 4 * MAX_OPENABLE_NAME ? Cause::NameTooLong : Cause::NameNotUtf8;
    return true;
  }
  size_t length = 0;
  for (; wide[length] != 0; ++length) {
    if (wide[length] >= 127) {
      cause = Cause::NameNotAscii;
      return true;
    }
  }
  if (length > MAX_OPENABLE_NAME) {
    cause = Cause::NameTooLong;
    return true;
  }
  return false;
}

// What a refused stream header line part is, and what was expected of it.
std::pair<std::string, std::string> header_part_texts(tokenfile::HeaderPart part, std::u16string_view line) {
  auto shown = [&line](size_t at) {
    std::string text(1, '\'');
    text += printable(line.substr(at, 1));
    return text += '\'';
  };
  switch (part) {
    case tokenfile::HeaderPart::Encoding:
      return {"the encoding " + shown(7), "'t' or 'b'"};
    case tokenfile::HeaderPart::FormatVersion:
      return {"the format version " + shown(4), "'0'"};
    case tokenfile::HeaderPart::FileType:
      return {"the file type " + shown(5), "'i' (an input map)"};
    case tokenfile::HeaderPart::FileVersion:
      return {"the file version " + shown(6), "'0'"};
    default:
      return {"no tag \"VUXA\"", "a stream header line"};
  }
}

// What is wrong with the first bad sequence of a source in UTF-8.
std::string_view utf8_fault_text(tokenfile::Utf8Fault fault) {
  using tokenfile::Utf8Fault;
  switch (fault) {
    case Utf8Fault::Stray:
      return "a continuation byte that begins no character";
    case Utf8Fault::Overlong:
      return "an overlong form (a character in more bytes than it needs)";
    case Utf8Fault::Surrogate:
      return "a surrogate (U+D800 to U+DFFF), which is no character";
    case Utf8Fault::PastMax:
      return "a value past U+10FFFF";
    case Utf8Fault::BadByte:
      return "a byte (F8 to FF) that never stands in UTF-8";
    case Utf8Fault::Cut:
    case Utf8Fault::None:
      break;
  }
  return "a sequence cut short";
}

// Why the source could not be opened, from what the library says.
void report_source_open_failure(Console& console, const char* name, const char16_t* wide,
                                const tokenfile::OpenFailure& failure) {
  auto say = [&](Cause cause, std::initializer_list<std::string_view> args = {}) {
    report(console, Severity::Error, name, {}, cause, args);
  };
  Cause cause;
  if (name_cause(name, wide, cause)) return say(cause);
  using tokenfile::OpenProblem;
  switch (failure.problem) {
    case OpenProblem::Missing:
      return say(Cause::FileMissing);
    case OpenProblem::Directory:
      return say(Cause::FileIsDirectory);
    case OpenProblem::NotRegular:
      return say(Cause::FileNotRegular);
    case OpenProblem::Unreadable:
      return say(Cause::FileUnreadable, {error_text(failure.error)});
    case OpenProblem::Empty:
      return say(Cause::FileEmpty);
    case OpenProblem::HeaderCut:
      return say(Cause::FileHeaderCut);
    case OpenProblem::NoBody:
      return say(Cause::FileNoBody);
    case OpenProblem::UnknownCompression: {
      const char16_t c = failure.detail;
      const char shown[2] = {c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?', 0};
      return say(Cause::FileBadCompression, {shown});
    }
    case OpenProblem::ForgedSize:
      return say(Cause::FileForgedSize);
    case OpenProblem::DamagedBody:
      return say(Cause::FileDamagedBody);
    case OpenProblem::TooLarge:
      return say(Cause::FileTooLarge);
    case OpenProblem::TooShort:
      return say(Cause::FileTooShort);
    case OpenProblem::BigEndianUtf16:
      return say(Cause::FileBigEndian);
    case OpenProblem::Utf8Text:
      return say(Cause::FileUtf8);
    case OpenProblem::InvalidUtf8:
      return report(console, Severity::Error, name, {Location::Kind::Byte, failure.offset},
                    Cause::FileBadUtf8, {utf8_fault_text(failure.utf8_fault)});
    case OpenProblem::BadHeaderLine: {
      if (failure.part == tokenfile::HeaderPart::Tag) return say(Cause::FileBadHeader);
      const auto [part, expected] =
          header_part_texts(failure.part, std::u16string_view(failure.header_line, 8));
      return say(Cause::FileBadHeaderPart, {part, expected});
    }
    case OpenProblem::OutOfMemory:
      return say(Cause::OutOfMemory);
    case OpenProblem::BadName:
    case OpenProblem::None:
      break;
  }
  say(Cause::FileNotLoadable);
}

// The directory part of a name ("." for a bare name, "/" at the root).
std::string directory_of(std::string_view name) {
  const size_t slash = name.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(name.substr(0, slash));
}

void report_target_open_failure(Console& console, const std::string& name, const char16_t* wide) {
  auto say = [&](Cause cause, std::initializer_list<std::string_view> args = {}) {
    report(console, Severity::Error, name, {}, cause, args);
  };
  Cause cause;
  if (name_cause(name.c_str(), wide, cause)) return say(cause);
  if (name.empty()) return say(Cause::TargetNotCreated);
  if (identify_file(name.c_str()).kind == FileKind::Directory) return say(Cause::FileIsDirectory);
  const std::string directory = directory_of(name);
  const FileIdentity dir = identify_file(directory.c_str());
  if (dir.kind == FileKind::Missing) return say(Cause::DirectoryMissing, {directory});
  int error = 0;
  if (!directory_writable(directory.c_str(), error)) {
    return say(Cause::DirectoryNotWritable, {directory, error_text(error)});
  }
  say(Cause::TargetNotCreated);
}

// Refuses an output that cannot be resolved or that is the source itself:
// the exact byte comparison of the two full paths and, beyond it, the
// identity of the files, since the target is replaced where a link to it
// points. False after the message.
bool output_name_usable(const char* source, const std::string& target, Console& console) {
  std::string source_path, target_path;
  const bool source_resolved = resolve_full_path(source, source_path);
  if (!source_resolved || !resolve_full_path(target, target_path)) {
    console.print(Channel::Out, "Invalid file path\n");
    report(console, Severity::Error, source_resolved ? std::string_view(target) : source, {},
           Cause::PathTooLong);
    return false;
  }
  const bool same_path = source_path == target_path;
  if (same_path || same_existing_file(source, target.c_str())) {
    console.print(Channel::Out, "Output file must be named differently to the source file\n");
    report(console, Severity::Error, target, {}, same_path ? Cause::SamePath : Cause::SameFile);
    return false;
  }
  return true;
}

// The source opened for reading; null after its diagnostic (and, with
// `message`, "Error opening" on standard output).
std::unique_ptr<TokenStream> open_source(const char* name, Console& console, bool message) {
  const char16_t* wide = widen_ansi_name(name);
  tokenfile::OpenFailure failure;
  // The source is mapped, not copied; should another program shrink it
  // meanwhile, the guard reports it as unreadable.
  guard_source(name, message);
  std::unique_ptr<TokenStream> source = tokenfile::token_stream_open_path(
      wide, tokenfile::STREAM_READ | tokenfile::STREAM_MAP_FILE, 0, 0, u'@', &failure);
  if (!source) {
    if (message) print_with_name(console, "Error opening ", name);
    report_source_open_failure(console, name, wide, failure);
  }
  return source;
}

// The target opened for writing; null after "Error writing" and why.
std::unique_ptr<TokenStream> open_target(const std::string& name, uint32_t flags, char16_t compression,
                                         Console& console) {
  const char16_t* wide = widen_ansi_name(name.c_str());
  token_error = 0;
  std::unique_ptr<TokenStream> target =
      tokenfile::token_stream_open_path(wide, flags, u'i', u'0', compression);
  if (!target) {
    print_with_name(console, "Error writing ", name);
    if (token_error == tokenfile::ERR_NO_MEMORY) {
      report(console, Severity::Error, name, {}, Cause::OutOfMemory);
    } else {
      report_target_open_failure(console, name, wide);
    }
  }
  return target;
}

// Writes the target and puts it in place; a failure is reported, and the
// old target then stays.
bool write_target(std::unique_ptr<TokenStream> target, const std::string& name, Console& console) {
  errno = 0;
  token_error = 0;
  if (tokenfile::token_stream_close(std::move(target)) != 0) return true;
  const int write_error = errno;
  print_with_name(console, "Error writing ", name);
  if (token_error == tokenfile::ERR_NO_MEMORY) {
    report(console, Severity::Error, name, {}, Cause::OutOfMemory);
  } else if (write_error != 0) {
    report(console, Severity::Error, name, {}, Cause::TargetNotWritten, {error_text(write_error)});
  } else {
    report(console, Severity::Error, name, {}, Cause::TargetNotWrittenNoReason);
  }
  return false;
}

// Whether standard error takes colour: asked for, or left to the terminal.
bool use_color(ColorWhen when) {
  if (when != ColorWhen::Auto) return when == ColorWhen::Always;
  const char* no_color = environment_variable("NO_COLOR");
  if (no_color != nullptr && no_color[0] != 0) return false;
  const char* term = environment_variable("TERM");
  return stderr_is_terminal() && term != nullptr && std::string_view(term) != "dumb";
}

// True when deriving the output name cut the name at a '.' that is not
// the last one of its file name: "./keys.txt", "old.maps/keys.txt",
// "keys.v2.txt".
bool surprising_derived_name(std::string_view source) {
  const size_t dot = source.find('.');
  if (dot == std::string_view::npos) return false;
  const size_t slash = source.rfind('/');
  return (slash != std::string_view::npos && dot < slash) || dot != source.rfind('.');
}

void print_count(std::string& line, uint32_t n, std::string_view what) {
  line += std::to_string(n) + " " + std::string(what) + (n == 1 ? "" : "s");
}

// --check: every file read and reported on, nothing written.
int run_check(const Options& options, Console& console) {
  uint32_t errors = 0, warnings = 0, with_diagnostics = 0;
  for (const std::string& name : options.files) {
    Reporter reporter(console, name, options.diagnostics);
    std::unique_ptr<TokenStream> source = open_source(name.c_str(), console, false);
    if (!source) {
      ++errors;
      ++with_diagnostics;
      continue;
    }
    NullTarget sink;
    (void)convert_input_map(*source, sink, console, reporter, false);
    (void)tokenfile::token_stream_close(std::move(source));
    errors += reporter.errors();
    warnings += reporter.warnings();
    with_diagnostics += reporter.errors() + reporter.warnings() != 0;
  }
  if (options.files.size() > 1 || errors + warnings != 0) {
    std::string line;
    print_count(line, errors, "error");
    line += " and ";
    print_count(line, warnings, "warning");
    line += " in " + std::to_string(with_diagnostics) + " of ";
    print_count(line, static_cast<uint32_t>(options.files.size()), "file");
    console.print(Channel::Err, line + "\n");
  }
  return errors != 0 || (options.strict && warnings != 0) ? STATUS_FAILURE : STATUS_SUCCESS;
}

// The decoded source's name: FILE with the extension of its last path part
// replaced by ".txt", or ".txt" added.
std::string derive_source_name(std::string_view run_time) {
  const size_t slash = run_time.rfind('/');
  const size_t dot = run_time.rfind('.');
  std::string name(run_time);
  if (dot != std::string_view::npos && (slash == std::string_view::npos || dot > slash + 1)) name.resize(dot);
  return name + ".txt";
}

// --decode FILE [OUT]: a run-time map written back in its source form.
int run_decode(const Options& options, Console& console) {
  const std::string& source_name = options.files[0];
  const bool derived = options.files.size() < 2 || options.files[1].empty();
  const std::string target_name = derived ? derive_source_name(source_name) : options.files[1];
  Reporter reporter(console, source_name, options.diagnostics);
  if (!output_name_usable(source_name.c_str(), target_name, console)) return STATUS_FAILURE;
  if (derived && identify_file(target_name.c_str()).kind != FileKind::Missing) {
    print_with_name(console,
                    "Output file already exists: ", target_name + " (name the output to replace it)");
    return STATUS_FAILURE;
  }
  std::unique_ptr<TokenStream> source = open_source(source_name.c_str(), console, true);
  if (!source) return STATUS_FAILURE;
  const uint32_t target_flags =
      tokenfile::STREAM_WRITE | tokenfile::STREAM_TEXT | (options.utf8 ? tokenfile::STREAM_UTF8 : 0);
  std::unique_ptr<TokenStream> target = open_target(target_name, target_flags, options.compression, console);
  if (!target) return STATUS_FAILURE;
  if (!decode_input_map(*source, *target, console, reporter, options.utf8)) {
    tokenfile::token_stream_discard(std::move(target));
    return STATUS_FAILURE;
  }
  return write_target(std::move(target), target_name, console) ? STATUS_SUCCESS : STATUS_FAILURE;
}

// --print [--decode] FILE: the file as text on standard output.
int run_print(const Options& options, Console& console) {
  const std::string& name = options.files[0];
  Reporter reporter(console, name, options.diagnostics);
  std::unique_ptr<TokenStream> source = open_source(name.c_str(), console, false);
  if (!source) return STATUS_FAILURE;
  return print_token_file(*source, options.decode, console, reporter) ? STATUS_SUCCESS : STATUS_FAILURE;
}

constexpr std::string_view help_text =
    "\n"
    "  --check FILE...      report every error and warning of each file; write nothing\n"
    "  --strict             with --check: warnings count as errors\n"
    "  --no-warn=NAME       silence one warning (all: every warning)\n"
    "  --error-limit=N      stop after N errors (20; 0: no limit)\n"
    "  --color=WHEN         colour on standard error: auto, always or never\n"
    "  --decode FILE [OUT]  write a run-time map back in its source form\n"
    "  --utf8               with --decode: write the source form as UTF-8 text\n"
    "  --print FILE         the file as UTF-8 text on standard output (with --decode: decoded)\n"
    "  --list [WHAT]        devices, modifiers, tokens, or the controls of a device\n"
    "  --compress=B|F       write the output compressed: B Huffman, F zlib\n"
    "  --version            the version of mapbake and of zlib\n"
    "  --help               this text\n"
    "See man mapbake for the source format, the messages and examples.\n";

int run_with_dictionary(int argc, const char* const* argv, Console& console) {
  auto usage = [&console] {
    console.print(Channel::Out, usage_text);
    return STATUS_FAILURE;
  };
  if (argc <= 1) return usage();
  Options options;
  if (!parse_options(argc, argv, console, options)) return usage();
  options.diagnostics.color = use_color(options.color);
  if (options.help) {
    console.print(Channel::Out, std::string(usage_text) + std::string(help_text));
    return STATUS_SUCCESS;
  }
  if (options.version) {
    console.print(Channel::Out, "mapbake " MAPBAKE_VERSION "\nzlib " ZLIB_VERSION "\n");
    return STATUS_SUCCESS;
  }
  if (options.list) return print_list(options.list_what, console) ? STATUS_SUCCESS : STATUS_FAILURE;
  if (options.check) return run_check(options, console);
  if (options.print) return run_print(options, console);
  if (options.decode) return run_decode(options, console);

  // The source is the first name; the target the next one that is not
  // empty, and a name after that calls for the usage lines.
  const char* source_name = options.files[0].c_str();
  std::string target_name;
  for (size_t k = 1; k < options.files.size(); ++k) {
    if (!target_name.empty()) return usage();
    target_name.assign(std::string_view(options.files[k]).substr(0, MAX_NAME));
  }
  const bool derived = target_name.empty();
  if (derived) target_name = derive_target_name(source_name);
  const bool text_output = options.text_output;
  Reporter reporter(console, source_name, options.diagnostics);

  if (!output_name_usable(source_name, target_name, console)) return STATUS_FAILURE;

  // The unresolved names are opened; the full paths served the comparison.
  std::unique_ptr<TokenStream> source = open_source(source_name, console, true);
  if (!source) return STATUS_FAILURE;
  const uint32_t target_flags =
      tokenfile::STREAM_WRITE | (text_output ? tokenfile::STREAM_TEXT : tokenfile::STREAM_BINARY);
  std::unique_ptr<TokenStream> target = open_target(target_name, target_flags, options.compression, console);
  if (!target) {
    (void)tokenfile::token_stream_close(std::move(source));
    return STATUS_FAILURE;
  }

  if (derived && surprising_derived_name(source_name)) {
    reporter.warning(Warning::DerivedName, {}, Cause::DerivedName, {target_name});
  }
  if (!convert_input_map(*source, *target, console, reporter, true)) {
    // The source is closed first; the partial target is abandoned and an
    // existing target file stays as it was.
    (void)tokenfile::token_stream_close(std::move(source));
    tokenfile::token_stream_discard(std::move(target));
    return STATUS_FAILURE;
  }

  // After success the target is closed first: this writes it and puts it in
  // place.
  const bool written = write_target(std::move(target), target_name, console);
  (void)tokenfile::token_stream_close(std::move(source));
  return written ? STATUS_SUCCESS : STATUS_FAILURE;
}

}  // namespace

std::string derive_target_name(std::string_view source_name) {
  std::string target(source_name.substr(0, MAX_NAME));
  const size_t dot = target.find('.');
  if (dot != std::string::npos) target.resize(dot);
  // 4 + length + 2 < 256: room for the extension in the original's buffer.
  if (4 + target.size() + 2 < 256) target.append(".iom");
  return target;
}

bool is_text_option(std::string_view argument) noexcept {
  constexpr std::string_view option = "-text";
  if (argument.size() != option.size()) return false;
  for (size_t i = 0; i < option.size(); ++i) {
    char c = argument[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
    if (c != option[i]) return false;
  }
  return true;
}

int run(int argc, const char* const* argv, Console& console) noexcept {
  // The dictionary is acquired before the arguments are looked at. Without
  // its index no text can be read or written, so a failure stops the run.
  DictionaryHold dictionary;
  if (!dictionary.acquired()) {
    report(console, Severity::Error, "mapbake", {}, Cause::OutOfMemory);
    return STATUS_FAILURE;
  }
  try {
    return run_with_dictionary(argc, argv, console);
  } catch (const std::bad_alloc&) {
    report(console, Severity::Error, "mapbake", {}, Cause::OutOfMemory);
    return STATUS_FAILURE;
  }
}

int run(int argc, char** argv) noexcept { return run(argc, argv, standard_console()); }

}  // namespace mapbake
