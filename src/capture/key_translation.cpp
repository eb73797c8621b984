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

std::optional<unsigned char> translateKeyEvent(KeyboardState& state, KeyEventKind kind,
                                               unsigned vkCode, unsigned char mapped) {
    const bool isShift = vkCode == kVkLeftShift || vkCode == kVkRightShift;
    if (kind == KeyEventKind::release) {
        // Either Shift's release clears the state, even while the other is held.
        if (isShift) state.shiftDown = false;
        if (vkCode == kVkCapital) state.capsLockOn = !state.capsLockOn;
        if (vkCode == kVkLeftWindows) state.leftWindowsDown = false;
        if (vkCode == kVkRightWindows) state.rightWindowsDown = false;
        return std::nullopt;
    }
    if (kind != KeyEventKind::press) return std::nullopt;
    if (isShift) {
        state.shiftDown = true;
        return std::nullopt;
    }
    if (vkCode == kVkLeftWindows) state.leftWindowsDown = true;
    if (vkCode == kVkRightWindows) state.rightWindowsDown = true;
    if (state.leftWindowsDown || state.rightWindowsDown) return std::nullopt;
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
