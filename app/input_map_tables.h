// The name tables of input maps: device, control and modifier names and the
// numbers the run-time form carries instead.
//
// Each table is scanned from its first entry and ends with an entry whose
// name is null. Names are compared with tokenfile::compare_names_nocase
// (only A to Z fold); no table holds two names equal under that comparison,
// so the order never changes a result. The numbers are the run-time format:
// none may change.
#pragma once

#include <array>
#include <cstdint>

#include "tokenfile/name_hash.h"

namespace mapbake {

struct NameValue {
  const char16_t* name;  // null in the end entry
  uint32_t value;
};

// Input-map token ids in the token dictionary.
inline constexpr uint32_t TOKEN_IO_DEV = 99;
inline constexpr uint32_t TOKEN_IO_MAP = 100;
inline constexpr uint32_t TOKEN_SGUID = 101;

inline constexpr uint32_t DEVICE_JOYSTICK = 0;
inline constexpr uint32_t DEVICE_KEYBOARD = 1;
inline constexpr uint32_t DEVICE_MOUSE = 2;
inline constexpr uint32_t DEVICE_PEN = 3;

inline constexpr std::array<NameValue, 6> device_names{{
    {u"JOY", DEVICE_JOYSTICK},
    {u"JOYSTICK", DEVICE_JOYSTICK},
    {u"KEYB", DEVICE_KEYBOARD},
    {u"MOUSE", DEVICE_MOUSE},
    {u"PEN", DEVICE_PEN},
    {nullptr, 0},
}};

// control_code: the upper 16 bits are the kind of control (0 axis, 1 button
// or key, 2 point-of-view hat), the lower 16 bits its number.
inline constexpr std::array<NameValue, 45> joystick_controls{{
    {u"X", 0x0},         {u"Y", 0x1},         {u"Z", 0x2},         {u"RX", 0x3},        {u"RY", 0x4},
    {u"RZ", 0x5},        {u"SLIDER0", 0x6},   {u"SLIDER1", 0x7},   {u"POV0", 0x20000},  {u"POV1", 0x20001},
    {u"POV2", 0x20002},  {u"POV3", 0x20003},  {u"BTN0", 0x10000},  {u"BTN1", 0x10001},  {u"BTN2", 0x10002},
    {u"BTN3", 0x10003},  {u"BTN4", 0x10004},  {u"BTN5", 0x10005},  {u"BTN6", 0x10006},  {u"BTN7", 0x10007},
    {u"BTN8", 0x10008},  {u"BTN9", 0x10009},  {u"BTN10", 0x1000A}, {u"BTN11", 0x1000B}, {u"BTN12", 0x1000C},
    {u"BTN13", 0x1000D}, {u"BTN14", 0x1000E}, {u"BTN15", 0x1000F}, {u"BTN16", 0x10010}, {u"BTN17", 0x10011},
    {u"BTN18", 0x10012}, {u"BTN19", 0x10013}, {u"BTN20", 0x10014}, {u"BTN21", 0x10015}, {u"BTN22", 0x10016},
    {u"BTN23", 0x10017}, {u"BTN24", 0x10018}, {u"BTN25", 0x10019}, {u"BTN26", 0x1001A}, {u"BTN27", 0x1001B},
    {u"BTN28", 0x1001C}, {u"BTN29", 0x1001D}, {u"BTN30", 0x1001E}, {u"BTN31", 0x1001F}, {nullptr, 0},
}};

// Keys are 0x10000 plus a key number below 0x100: the scan-code set 1 make
// code, with 0x80 added for keys sent with the E0 prefix. HASH and BACKSLASH
// follow a UK layout (HASH is 2B, BACKSLASH the extra key 56).
inline constexpr std::array<NameValue, 145> keyboard_controls{{
    {u"RETURN", 0x1001C},
    {u"ENTER", 0x1009C},
    {u"BACKSPACE", 0x1000E},
    {u"TAB", 0x1000F},
    {u"ESCAPE", 0x10001},
    {u"SPACE", 0x10039},
    {u"LEFT_SHIFT", 0x1002A},
    {u"RIGHT_SHIFT", 0x10036},
    {u"LEFT_CTRL", 0x1001D},
    {u"RIGHT_CTRL", 0x1009D},
    {u"LEFT_ALT", 0x10038},
    {u"RIGHT_ALT", 0x100B8},
    {u"LEFT_WIN", 0x100DB},
    {u"RIGHT_WIN", 0x100DC},
    {u"APPS", 0x100DD},
    {u"CAPSLOCK", 0x1003A},
    {u"NUMLOCK", 0x10045},
    {u"SCROLL_LOCK", 0x10046},
    {u"0", 0x1000B},
    {u"1", 0x10002},
    {u"2", 0x10003},
    {u"3", 0x10004},
    {u"4", 0x10005},
    {u"5", 0x10006},
    {u"6", 0x10007},
    {u"7", 0x10008},
    {u"8", 0x10009},
    {u"9", 0x1000A},
    {u"A", 0x1001E},
    {u"B", 0x10030},
    {u"C", 0x1002E},
    {u"D", 0x10020},
    {u"E", 0x10012},
    {u"F", 0x10021},
    {u"G", 0x10022},
    {u"H", 0x10023},
    {u"I", 0x10017},
    {u"J", 0x10024},
    {u"K", 0x10025},
    {u"L", 0x10026},
    {u"M", 0x10032},
    {u"N", 0x10031},
    {u"O", 0x10018},
    {u"P", 0x10019},
    {u"Q", 0x10010},
    {u"R", 0x10013},
    {u"S", 0x1001F},
    {u"T", 0x10014},
    {u"U", 0x10016},
    {u"V", 0x1002F},
    {u"W", 0x10011},
    {u"X", 0x1002D},
    {u"Y", 0x10015},
    {u"Z", 0x1002C},
    {u"SEMICOLON", 0x10027},
    {u"EQUALS", 0x1000D},
    {u"COMMA", 0x10033},
    {u"MINUS", 0x1000C},
    {u"DOT", 0x10034},
    {u"SLASH", 0x10035},
    {u"QUOTE", 0x10028},
    {u"LEFTSQUARE", 0x1001A},
    {u"BACKSLASH", 0x10056},
    {u"RIGHTSQUARE", 0x1001B},
    {u"HASH", 0x1002B},
    {u"BACKQUOTE", 0x10029},
    {u"LEFT_ARROW", 0x100CB},
    {u"UP_ARROW", 0x100C8},
    {u"RIGHT_ARROW", 0x100CD},
    {u"DOWN_ARROW", 0x100D0},
    {u"PAGE_UP", 0x100C9},
    {u"PAGE_DOWN", 0x100D1},
    {u"END", 0x100CF},
    {u"HOME", 0x100C7},
    {u"INSERT", 0x100D2},
    {u"DELETE", 0x100D3},
    {u"PRTSC", 0x100B7},
    {u"PAUSE", 0x100C5},
    {u"PAD_0", 0x10052},
    {u"PAD_1", 0x1004F},
    {u"PAD_2", 0x10050},
    {u"PAD_3", 0x10051},
    {u"PAD_4", 0x1004B},
    {u"PAD_5", 0x1004C},
    {u"PAD_6", 0x1004D},
    {u"PAD_7", 0x10047},
    {u"PAD_8", 0x10048},
    {u"PAD_9", 0x10049},
    {u"PAD_TIMES", 0x10037},
    {u"PAD_PLUS", 0x1004E},
    {u"PAD_MINUS", 0x1004A},
    {u"PAD_DOT", 0x10053},
    {u"PAD_DIVIDE", 0x100B5},
    {u"PAD_EQUALS", 0x1008D},
    {u"PAD_COMMA", 0x100B3},
    {u"F1", 0x1003B},
    {u"F2", 0x1003C},
    {u"F3", 0x1003D},
    {u"F4", 0x1003E},
    {u"F5", 0x1003F},
    {u"F6", 0x10040},
    {u"F7", 0x10041},
    {u"F8", 0x10042},
    {u"F9", 0x10043},
    {u"F10", 0x10044},
    {u"F11", 0x10057},
    {u"F12", 0x10058},
    {u"F13", 0x10064},
    {u"F14", 0x10065},
    {u"F15", 0x10066},
    {u"ABNT_C1", 0x10073},
    {u"ABNT_C2", 0x1007E},
    {u"KANA", 0x10070},
    {u"CONVERT", 0x10079},
    {u"NOCONVERT", 0x1007B},
    {u"YEN", 0x1007D},
    {u"KANJI", 0x10094},
    {u"CIRCUMFLEX", 0x10090},
    {u"AT", 0x10091},
    {u"COLON", 0x10092},
    {u"UNDERLINE", 0x10093},
    {u"STOP", 0x10095},
    {u"AX", 0x10096},
    {u"UNLABELED", 0x10097},
    {u"NEXTTRACK", 0x10099},
    {u"MUTE", 0x100A0},
    {u"CALCULATOR", 0x100A1},
    {u"PLAYPAUSE", 0x100A2},
    {u"MEDIASTOP", 0x100A4},
    {u"VOLUMEDOWN", 0x100AE},
    {u"VOLUMEUP", 0x100B0},
    {u"WEBHOME", 0x100B2},
    {u"POWER", 0x100DE},
    {u"SLEEP", 0x100DF},
    {u"WAKE", 0x100E3},
    {u"WEBSEARCH", 0x100E5},
    {u"WEBFAVORITES", 0x100E6},
    {u"WEBREFRESH", 0x100E7},
    {u"WEBSTOP", 0x100E8},
    {u"WEBFORWARD", 0x100E9},
    {u"WEBBACK", 0x100EA},
    {u"MYCOMPUTER", 0x100EB},
    {u"MAIL", 0x100EC},
    {u"MEDIASELECT", 0x100ED},
    {nullptr, 0},
}};

// LBTN, RBTN and MBTN are second names for the first three buttons.
inline constexpr std::array<NameValue, 11> mouse_controls{{
    {u"X", 0x0},
    {u"Y", 0x1},
    {u"Z", 0x2},
    {u"BTN0", 0x10000},
    {u"BTN1", 0x10001},
    {u"BTN2", 0x10002},
    {u"BTN3", 0x10003},
    {u"LBTN", 0x10000},
    {u"RBTN", 0x10001},
    {u"MBTN", 0x10002},
    {nullptr, 0},
}};

// Indexed by device_code; a pen has no controls.
inline constexpr std::array<const NameValue*, 4> control_tables{
    joystick_controls.data(),
    keyboard_controls.data(),
    mouse_controls.data(),
    nullptr,
};

// modifier_mask bits: an _UP name sets its key's bit in the upper byte
// (SHIFT 11, CTRL 10, ALT 9, WIN 8); a _DOWN name sets that bit and the one
// eight places lower. ALL_UP sets the whole upper byte, bits 12 to 15 too.
inline constexpr std::array<NameValue, 10> modifier_names{{
    {u"SHIFT_UP", 0x800},
    {u"CTRL_UP", 0x400},
    {u"ALT_UP", 0x200},
    {u"WIN_UP", 0x100},
    {u"SHIFT_DOWN", 0x808},
    {u"CTRL_DOWN", 0x404},
    {u"ALT_DOWN", 0x202},
    {u"WIN_DOWN", 0x101},
    {u"ALL_UP", 0xFF00},
    {nullptr, 0},
}};

// The value of the first entry of `table` whose name equals `name` under
// compare_names_nocase; null when there is none. Never fails otherwise.
const NameValue* find_name(const NameValue* table, const char16_t* name) noexcept;

// Hash indexes of the tables, built at compile time: a look-up costs one
// hash of the name and, as a rule, one comparison, with the result of
// find_name's scan.
using ControlIndex = tokenfile::NameHashTable<NameValue, 512, keyboard_controls.size() - 1>;
using SmallIndex = tokenfile::NameHashTable<NameValue, 32, 16>;

inline constexpr SmallIndex device_index{device_names.data()};
inline constexpr SmallIndex modifier_index{modifier_names.data()};
inline constexpr ControlIndex joystick_index{joystick_controls.data()};
inline constexpr ControlIndex keyboard_index{keyboard_controls.data()};
inline constexpr ControlIndex mouse_index{mouse_controls.data()};
static_assert(device_index.complete() && modifier_index.complete() && joystick_index.complete() &&
              keyboard_index.complete() && mouse_index.complete());

// Indexed by device_code, like control_tables.
inline constexpr std::array<const ControlIndex*, 4> control_indexes{
    &joystick_index,
    &keyboard_index,
    &mouse_index,
    nullptr,
};

}  // namespace mapbake
