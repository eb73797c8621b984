#pragma once
// Turns low-level key events into the characters the keyboard layout in force
// types, as the scan dialog's edit box shows them: the layout says what each
// key types with Shift, Caps Lock and AltGr as the hook has followed them;
// what Windows composes itself is composed here the same way: a dead key with
// the next character, Alt with digits on the numeric keypad, the UTF-16 units
// that input software sends as Unicode packets. The result is UTF-8, ready to
// be added to the scan. Keys typed while the scan dialog is not in front are
// never translated.
#include <string>

#include "capture/key_translation.h"
#include "capture/keyboard_layout.h"

// VK_PACKET: a Unicode packet, whose scan code is a UTF-16 code unit.
constexpr unsigned kVkPacket = 0xE7;

// One key event as the keyboard hook (or raw input) reports it.
struct KeyEvent {
    unsigned message = 0;  // WM_KEYDOWN, WM_KEYUP, WM_SYSKEYDOWN, WM_SYSKEYUP
    unsigned vk = 0;
    unsigned scan = 0;      // the scan code; for VK_PACKET the UTF-16 code unit
    bool extended = false;  // the key sends the E0 prefix (grey keys, keypad Enter)
    LayoutId layout = 0;    // the layout it was typed with; 0: the one in force now
};

// What a key event does to the scan: text to add (UTF-8), then the action.
struct KeyOutcome {
    enum class Action {
        none,
        commit,     // Enter or Tab: the scan is complete
        backspace,  // the scan's last character goes
    };
    std::string text;
    Action action = Action::none;
};

class KeyTranslator {
public:
    // keys is the modifier record the translator follows and updates.
    KeyTranslator(KeyboardLayouts& layouts, KeyboardState& keys);

    // Follows the modifiers for the event; true when the event may add to
    // the scan, and translate must be called with whether the scan dialog
    // was in front for it. The window in front is asked only then.
    bool follow(const KeyEvent& event);
    KeyOutcome translate(const KeyEvent& event, bool dialogInFront);

    template <typename InFront>
    KeyOutcome onKey(const KeyEvent& event, InFront dialogInFront) {
        if (!follow(event)) return KeyOutcome{};
        return translate(event, dialogInFront());
    }

    // Forgets a waiting dead key, Alt+numpad digits and a surrogate.
    void forgetPending();
    void setLayouts(KeyboardLayouts& layouts) { layouts_ = &layouts; }

private:
    KeyOutcome packet(char16_t unit);
    KeyOutcome typed(LayoutId layout, const TypedKey& key);
    KeyOutcome endNumpadEntry();
    // Adds c after a waiting accent, composed with it where the layout says.
    void addCharacter(LayoutId layout, char32_t c, std::string& out);
    void addWaitingAccent(std::string& out);
    bool numpadEntryHeld(LayoutId layout) const;

    KeyboardLayouts* layouts_;
    KeyboardState& keys_;
    char16_t accent_ = 0;         // a dead key's accent waiting for the next character
    char16_t highSurrogate_ = 0;  // a packet's first half waiting for the second
    // Alt+numpad: the digits so far (their value modulo 256).
    int numpadDigits_ = 0;
    unsigned numpadValue_ = 0;
    bool numpadLeadingZero_ = false;
    LayoutId numpadLayout_ = 0;
};
