#include "app/list.h"

#include <cstdio>
#include <string>
#include <vector>

#include "app/diagnostics.h"
#include "app/input_map_tables.h"
#include "app/suggest.h"
#include "tokenfile/dictionary.h"

namespace mapbake {

namespace {

std::string narrow(std::u16string_view name) { return printable(name); }

std::string hex(uint32_t v) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%x", static_cast<unsigned>(v));
  return digits;
}

// Name, value, and for a second name of a value "alias of" its first.
void print_table(Console& console, const NameValue* table, bool as_hex, bool kinds, bool keyboard) {
  std::string out;
  for (const NameValue* e = table; e->name != nullptr; ++e) {
    out += narrow(e->name) + "\t" + (as_hex ? hex(e->value) : std::to_string(e->value));
    if (kinds) {
      const uint32_t kind = e->value >> 16;
      out += kind == 0 ? "\taxis" : kind == 2 ? "\that" : keyboard ? "\tkey" : "\tbutton";
    }
    for (const NameValue* first = table; first != e; ++first) {
      if (first->value == e->value) {
        out += "\talias of " + narrow(first->name);
        break;
      }
    }
    out += "\n";
  }
  console.print(Channel::Out, out);
}

}  // namespace

bool print_list(std::string_view what, Console& console) {
  std::u16string wide(what.begin(), what.end());
  if (what.empty()) {
    console.print(Channel::Out, "devices\nmodifiers\ntokens\nJOY\nJOYSTICK\nKEYB\nMOUSE\nPEN\n");
    return true;
  }
  if (what == "devices") return print_table(console, device_names.data(), false, false, false), true;
  if (what == "modifiers") return print_table(console, modifier_names.data(), true, false, false), true;
  if (what == "tokens") {
    std::string out;
    for (uint32_t id = 1; id <= tokenfile::TOKEN_NAME_COUNT; ++id)
      out += narrow(tokenfile::token_name_from_id(id)) + "\t" + std::to_string(id) + "\n";
    console.print(Channel::Out, out);
    return true;
  }
  const NameValue* device = find_name(device_names.data(), wide.c_str());
  if (device != nullptr && control_tables[device->value] != nullptr) {
    print_table(console, control_tables[device->value], true, true, device->value == DEVICE_KEYBOARD);
    return true;
  }
  if (device != nullptr) return true;  // a pen has no controls
  std::vector<std::u16string_view> names = {u"devices", u"modifiers", u"tokens"};
  for (const NameValue* e = device_names.data(); e->name != nullptr; ++e) names.emplace_back(e->name);
  const std::string hint = did_you_mean(suggestions(wide, names));
  console.print(Channel::Err,
                "mapbake: nothing to list as '" + std::string(what) + "'" + "; " +
                    (hint.empty() ? "expected devices, modifiers, tokens or a device name" : hint) + "\n");
  return false;
}

}  // namespace mapbake
