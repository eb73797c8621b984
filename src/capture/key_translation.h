#pragma once
// The US translation of keys, which the agent used for every layout before it
// typed as the layout in force does, and still uses with -L US (for sites
// whose readers are set to a US keyboard while the PCs run another layout):
// the character MapVirtualKeyA gives for the key, and Shift and Caps Lock
// followed by the agent itself. Also the record of the modifier keys that
// both translations follow. Pure functions over a small state record, so
// every rule can be driven from a table without a desktop.
#include <optional>

// Virtual-key codes the translation looks at.
constexpr unsigned kVkCapital = 0x14;
constexpr unsigned kVkLeftShift = 0xA0;
constexpr unsigned kVkRightShift = 0xA1;
constexpr unsigned kVkLeftWindows = 0x5B;
constexpr unsigned kVkRightWindows = 0x5C;
constexpr unsigned kVkControl = 0x11;
constexpr unsigned kVkMenu = 0x12;  // Alt
constexpr unsigned kVkLeftControl = 0xA2;
constexpr unsigned kVkRightControl = 0xA3;
constexpr unsigned kVkLeftMenu = 0xA4;
constexpr unsigned kVkRightMenu = 0xA5;

// Window messages of a low-level keyboard hook.
constexpr unsigned kMessageKeyDown = 0x100;
constexpr unsigned kMessageKeyUp = 0x101;
constexpr unsigned kMessageSysKeyDown = 0x104;
constexpr unsigned kMessageSysKeyUp = 0x105;

enum class KeyEventKind { press, release, other };

// WM_KEYDOWN and WM_SYSKEYDOWN are presses, WM_KEYUP and WM_SYSKEYUP releases.
KeyEventKind keyEventKind(unsigned message);

// Shift, Caps Lock, Ctrl, Alt and the Windows keys as the hook has seen them.
struct KeyboardState {
    bool shiftDown = false;
    bool capsLockOn = false;
    bool capsStateRead = false;  // capsLockOn was taken from the system once
    // Each Windows key on its own: a key pressed while either is held is a
    // shortcut (Win+H opens the scan dialog), not typing.
    bool leftWindowsDown = false;
    bool rightWindowsDown = false;
    // Each Ctrl and Alt key on its own: right Alt is AltGr on many layouts,
    // which Windows sends as left Ctrl and right Alt.
    bool leftControlDown = false;
    bool rightControlDown = false;
    bool leftAltDown = false;
    bool rightAltDown = false;

    bool controlDown() const { return leftControlDown || rightControlDown; }
    bool altDown() const { return leftAltDown || rightAltDown; }
    bool windowsKeyDown() const { return leftWindowsDown || rightWindowsDown; }
};

// Follows Shift, Caps Lock, Ctrl, Alt and the Windows keys for one event:
// either Shift's release clears Shift, even while the other one is held;
// Caps Lock toggles on its release. True when the event was a press or
// release of one of these keys, which never type.
bool followModifierKeys(KeyboardState& state, KeyEventKind kind, unsigned vkCode);

// Forgets each Ctrl and Alt key the record holds that isDown(vk) says is up:
// a release on another desktop (Ctrl+Alt+Del, a UAC prompt) never reaches
// the hook, and a Ctrl and Alt that stuck would make every key AltGr.
void forgetReleasedControlAndAlt(KeyboardState& state, bool (*isDown)(unsigned vk));

// Codes 32 to 126.
bool isPrintable(unsigned char c);

// The character a key of the US layout gives with Shift held, keyed by the
// character it gives without; nullopt for keys outside the table (letters
// included).
std::optional<unsigned char> shiftedCharacter(unsigned char c);

// What MapVirtualKeyA(vk, MAPVK_VK_TO_CHAR) gives on a US layout: upper-case
// letters, digits, the US punctuation, 13 for Enter, 0 for keys without a
// character.
unsigned char usLayoutCharacter(unsigned vk);

// Updates the state for one event and, for a key press other than Shift,
// returns the character it types: mapped is the low byte of what
// MapVirtualKeyA(vkCode, MAPVK_VK_TO_CHAR) gives (upper-case letters, 13 for
// Enter, 0 for keys without a character). As the US layout types: Caps Lock
// changes letters only, Shift gives upper-case letters and the shifted
// characters of the table. Releases, other messages, the Windows keys and any
// key pressed while a Windows key is held return nullopt.
std::optional<unsigned char> translateKeyEvent(KeyboardState& state, KeyEventKind kind,
                                               unsigned vkCode, unsigned char mapped);
