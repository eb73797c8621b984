#include "capture/key_translation.h"

#include <iterator>

namespace {

struct ShiftedRow {
    unsigned char key;
    unsigned char shifted;
};

// The US layout's shifted characters of the keys that are not letters.
constexpr ShiftedRow kShiftedCharacters[] = {
    {'`', '~'}, {'1', '!'}, {'2', '@'}, {'3', '#'},  {'4', '$'}, {'5', '%'}, {'6', '^'},
    {'7', '&'}, {'8', '*'}, {'9', '('}, {'0', ')'},  {'-', '_'}, {'=', '+'}, {'\\', '|'},
    {'[', '{'}, {']', '}'}, {';', ':'}, {'\'', '"'}, {',', '<'}, {'.', '>'}, {'/', '?'},
};
static_assert(std::size(kShiftedCharacters) == 21, "one row per shifted key");

bool isUpperCaseLetter(unsigned char c) { return c >= 'A' && c <= 'Z'; }

}  // namespace

KeyEventKind keyEventKind(unsigned message) {
    switch (message) {
        case kMessageKeyDown:
        case kMessageSysKeyDown:
            return KeyEventKind::press;
        case kMessageKeyUp:
        case kMessageSysKeyUp:
            return KeyEventKind::release;
        default:
            return KeyEventKind::other;
    }
}

bool isPrintable(unsigned char c) { return c >= 32 && c <= 126; }

std::optional<unsigned char> shiftedCharacter(unsigned char c) {
    for (const ShiftedRow& row : kShiftedCharacters) {
        if (row.key == c) return row.shifted;
    }
    return std::nullopt;
}

unsigned char usLayoutCharacter(unsigned vk) {
    if ((vk >= '0' && vk <= '9') || (vk >= 'A' && vk <= 'Z')) return static_cast<unsigned char>(vk);
    if (vk >= 0x60 && vk <= 0x69) return static_cast<unsigned char>('0' + vk - 0x60);
    struct Key {
        unsigned vk;
        unsigned char c;
    };
    static const Key keys[] = {
        {0x08, 8},    {0x09, 9},   {0x0D, 13},   {0x1B, 27},   {0x20, ' '}, {0x6A, '*'},
        {0x6B, '+'},  {0x6D, '-'}, {0x6E, '.'},  {0x6F, '/'},  {0xBA, ';'}, {0xBB, '='},
        {0xBC, ','},  {0xBD, '-'}, {0xBE, '.'},  {0xBF, '/'},  {0xC0, '`'}, {0xDB, '['},
        {0xDC, '\\'}, {0xDD, ']'}, {0xDE, '\''}, {0xE2, '\\'},
    };
    for (const Key& key : keys) {
        if (key.vk == vk) return key.c;
    }
    return 0;
}

bool followModifierKeys(KeyboardState& state, KeyEventKind kind, unsigned vkCode) {
    if (kind == KeyEventKind::other) return false;
    const bool down = kind == KeyEventKind::press;
    switch (vkCode) {
        case kVkLeftShift:
        case kVkRightShift:
            state.shiftDown = down;
            return true;
        case kVkCapital:
            if (!down) state.capsLockOn = !state.capsLockOn;
            return true;
        case kVkLeftWindows:
            state.leftWindowsDown = down;
            return true;
        case kVkRightWindows:
            state.rightWindowsDown = down;
            return true;
        case kVkControl:  // a generic key counts as the left one
        case kVkLeftControl:
            state.leftControlDown = down;
            return true;
        case kVkRightControl:
            state.rightControlDown = down;
            return true;
        case kVkMenu:
        case kVkLeftMenu:
            state.leftAltDown = down;
            return true;
        case kVkRightMenu:
            state.rightAltDown = down;
            return true;
        default:
            return false;
    }
}

void forgetReleasedControlAndAlt(KeyboardState& state, bool (*isDown)(unsigned vk)) {
    if (state.leftControlDown && !isDown(kVkLeftControl)) state.leftControlDown = false;
    if (state.rightControlDown && !isDown(kVkRightControl)) state.rightControlDown = false;
    if (state.leftAltDown && !isDown(kVkLeftMenu)) state.leftAltDown = false;
    if (state.rightAltDown && !isDown(kVkRightMenu)) state.rightAltDown = false;
}

std::optional<unsigned char> translateKeyEvent(KeyboardState& state, KeyEventKind kind,
                                               unsigned vkCode, unsigned char mapped) {
    followModifierKeys(state, kind, vkCode);
    if (kind != KeyEventKind::press) return std::nullopt;
    if (vkCode == kVkLeftShift || vkCode == kVkRightShift) return std::nullopt;
    if (state.windowsKeyDown()) return std::nullopt;
    // Caps Lock changes letters only; with Shift as well they cancel out.
    if (isUpperCaseLetter(mapped)) {
        const bool upperCase = state.shiftDown != state.capsLockOn;
        return upperCase ? mapped : static_cast<unsigned char>(mapped + 32);
    }
    if (state.shiftDown) {
        if (std::optional<unsigned char> shifted = shiftedCharacter(mapped)) return shifted;
    }
    return mapped;
}
