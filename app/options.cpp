#include "app/options.h"

#include <charconv>
#include <string_view>

#include "app/driver.h"

namespace mapbake {

namespace {

void say(Console& console, std::string_view text) {
  console.print(Channel::Err, "mapbake: " + std::string(text) + "\n");
}

// The value of "--name=value" when `argument` is that option.
bool option_value(std::string_view argument, std::string_view name, std::string_view& value) {
  if (argument.substr(0, name.size()) != name || argument.size() <= name.size() ||
      argument[name.size()] != '=')
    return false;
  value = argument.substr(name.size() + 1);
  return true;
}

// The value an option wants after its "=", when `argument` is that option
// without one.
const char* value_form(std::string_view argument) {
  for (const auto& [name, form] : {std::pair{"--compress", "B or F"},
                                   {"--error-limit", "N (a number from 0 to 2147483647)"},
                                   {"--color", "always, auto or never"},
                                   {"--no-warn", "NAME (a warning's name, or all)"}})
    if (argument == name) return form;
  return nullptr;
}

}  // namespace

bool parse_options(int argc, const char* const* argv, Console& console, Options& options) {
  bool usage = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument(argv[i]);
    std::string_view value;
    if (argument.empty() || argument.front() != '-') {
      options.files.emplace_back(argument);
    } else if (argument.substr(0, 2) != "--") {
      // "-edit" is listed by the usage text but accepted no more than any
      // other unknown single-dash option.
      if (is_text_option(argument)) {
        options.text_output = true;
      } else {
        usage = true;
      }
    } else if (argument == "--check") {
      options.check = true;
    } else if (argument == "--help") {
      options.help = true;
    } else if (argument == "--version") {
      options.version = true;
    } else if (argument == "--list") {
      options.list = true;
      if (i + 1 < argc && argv[i + 1][0] != '-') options.list_what = argv[++i];
    } else if (option_value(argument, "--compress", value)) {
      if (value == "B" || value == "F") {
        options.compression = static_cast<char16_t>(value[0]);
      } else {
        say(console, "invalid value in '" + std::string(argument) + "'; expected B (Huffman) or F (zlib)");
        usage = true;
      }
    } else if (argument == "--print") {
      options.print = true;
    } else if (argument == "--decode") {
      options.decode = true;
    } else if (argument == "--utf8") {
      options.utf8 = true;
    } else if (argument == "--strict") {
      options.strict = true;
    } else if (option_value(argument, "--error-limit", value)) {
      uint32_t limit = 0;
      const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), limit);
      if (error != std::errc{} || end != value.data() + value.size() || limit > 2147483647u) {
        say(console,
            "invalid value in '" + std::string(argument) + "'; expected a number from 0 to 2147483647");
        usage = true;
      }
      options.diagnostics.error_limit = limit;
    } else if (option_value(argument, "--color", value)) {
      if (value == "auto") {
        options.color = ColorWhen::Auto;
      } else if (value == "always") {
        options.color = ColorWhen::Always;
      } else if (value == "never") {
        options.color = ColorWhen::Never;
      } else {
        say(console, "invalid value in '" + std::string(argument) + "'; expected always, auto or never");
        usage = true;
      }
    } else if (option_value(argument, "--no-warn", value)) {
      Warning warning;
      if (value == "all") {
        options.diagnostics.silenced = ~0u;
      } else if (find_warning(value, warning)) {
        options.diagnostics.silenced |= 1u << static_cast<int>(warning);
      } else {
        say(console, "unknown warning in '" + std::string(argument) + "'");
        usage = true;
      }
    } else if (const char* form = value_form(argument)) {
      say(console, "'" + std::string(argument) + "' takes a value: " + std::string(argument) + "=" + form);
      usage = true;
    } else {
      say(console, "unknown option '" + std::string(argument) + "'");
      usage = true;
    }
  }
  // One mode at most; --print takes --decode as its own.
  const std::pair<bool, const char*> modes[] = {
      {options.check, "--check"}, {options.decode && !options.print, "--decode"},
      {options.print, "--print"}, {options.list, "--list"},
      {options.help, "--help"},   {options.version, "--version"}};
  const char* mode = nullptr;
  for (const auto& [on, name] : modes) {
    if (!on) continue;
    if (mode != nullptr) {
      std::string conflict = "'";
      say(console, ((conflict += mode) += "' and '") += std::string(name) + "' do not go together");
      usage = true;
    }
    mode = name;
  }
  if (options.text_output && (options.check || options.list || options.print)) {
    say(console, "'-text' does not apply with '" + std::string(mode) + "'");
    usage = true;
  }
  if (options.compression != u'@' && (options.check || options.list || options.print)) {
    say(console, "'--compress' does not apply with '" + std::string(mode) + "'");
    usage = true;
  }
  if (options.utf8 && (!options.decode || options.print)) {
    say(console, "'--utf8' applies only with '--decode' (--print writes UTF-8 already)");
    usage = true;
  } else if (options.utf8 && options.compression != u'@') {
    say(console, "'--compress' does not apply with '--utf8': a UTF-8 source is plain text");
    usage = true;
  }
  if (options.strict && !options.check) {
    say(console, "'--strict' applies only with '--check'");
    usage = true;
  }
  // The names each mode takes; the conversion's are the usage lines' alone.
  const size_t names = options.files.size();
  const char* takes = nullptr;
  if ((options.help || options.version) && names != 0) takes = "no file name";
  if (options.list && names != 0) takes = "one thing to list at most";
  if (options.check && names == 0) takes = "one file name or more";
  if (options.print && names != 1) takes = "one file name";
  if (options.decode && !options.print && (names == 0 || names > 2))
    takes = "a file name and an output name at most";
  if (takes != nullptr && !usage && mode != nullptr) {
    say(console, "'" + std::string(mode) + "' takes " + takes);
    usage = true;
  }
  return !usage && (mode != nullptr || names != 0);
}

}  // namespace mapbake
