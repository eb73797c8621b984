#pragma once
// Turns low-level keyboard events into the characters of a scan, following
// Shift and Caps Lock ourselves: the reader's keystrokes are translated for a
// US layout whatever the focused control or the keyboard layout would make of
// them. Pure functions over a small state record, so every rule can be driven
// from a table without a desktop.
#include <optional>

// Virtual-key codes the translation looks at.
constexpr unsigned kVkCapital = 0x14;
constexpr unsigned kVkLeftShift = 0xA0;
constexpr unsigned kVkRightShift = 0xA1;
constexpr unsigned kVkLeftWindows = 0x5B;
constexpr unsigned kVkRightWindows = 0x5C;

// Window messages of a low-level keyboard hook.
constexpr unsigned kMessageKeyDown = 0x100;
constexpr unsigned kMessageKeyUp = 0x101;
constexpr unsigned kMessageSysKeyDown = 0x104;
constexpr unsigned kMessageSysKeyUp = 0x105;

enum class KeyEventKind { press, release, other };

// WM_KEYDOWN and WM_SYSKEYDOWN are presses, WM_KEYUP and WM_SYSKEYUP releases.
KeyEventKind keyEventKind(unsigned message);

// Shift, Caps Lock and the Windows keys as the hook has seen them.
struct KeyboardState {
    bool shiftDown = false;
    bool capsLockOn = false;
    bool capsStateRead = false;  // capsLockOn was taken from the system once
    // Each Windows key on its own: a key pressed while either is held is a
    // shortcut (Win+H opens the scan dialog), not typing.
    bool leftWindowsDown = false;
    bool rightWindowsDown = false;
};

// Codes 32 to 126.
bool isPrintable(unsigned char c);

// The character a key of the US layout gives with Shift held, keyed by the
// character it gives without; nullopt for keys outside the table (letters
// included).
std::optional<unsigned char> shiftedCharacter(unsigned char c);

// Updates the state for one event and, for a key press other than Shift,
// returns the character it types: mapped is the low byte of what
// MapVirtualKeyA(vkCode, MAPVK_VK_TO_CHAR) gives (upper-case letters, 13 for
// Enter, 0 for keys without a character). As the US layout types: Caps Lock
// changes letters only, Shift gives upper-case letters and the shifted
// characters of the table. Releases, other messages, the Windows keys and any
// key pressed while a Windows key is held return nullopt.
std::optional<unsigned char> translateKeyEvent(KeyboardState& state, KeyEventKind kind,
                                               unsigned vkCode, unsigned char mapped);
