#pragma once
// What a key types on a keyboard layout: the seam between the portable key
// translation and the system that knows the layouts. On Windows that is the
// layout of the scan dialog's thread, read without ever changing a window's
// keyboard state; the native build has a US layout of its own; tests bring
// layouts built from Windows' published tables.
#include <cstdint>

// A keyboard layout as the system names it (an HKL on Windows); 0 is none.
using LayoutId = std::uintptr_t;

// The modifiers that choose a layout's character. Ctrl alone and Alt alone
// choose none (they count as up); AltGr is Ctrl with Alt, or right Alt, on a
// layout that has it.
struct LayoutState {
    bool shift = false;
    bool capsLock = false;
    bool altGr = false;
};

// What one key press types.
struct TypedKey {
    enum class Kind {
        nothing,  // no character (a function key, a combination the layout lacks)
        text,     // units holds count UTF-16 code units
        dead,     // a dead key: units[0] is the accent it types on its own
    };
    // A key types at most a few characters (a ligature); more are dropped.
    static constexpr int kMaxUnits = 8;

    Kind kind = Kind::nothing;
    int count = 0;
    char16_t units[kMaxUnits] = {};
};

// A dead key's accent followed by a character.
struct Composition {
    bool found = false;
    char16_t composed = 0;
    bool dead = false;  // the result is itself a dead key waiting for the next
};

class KeyboardLayouts {
public:
    // The layout keys are typed with now: on Windows the scan dialog's, which
    // is the keyboard hook's own thread.
    virtual LayoutId current() = 0;
    // What the key types on layout with state. Never changes any keyboard
    // state: a dead key is reported, not remembered.
    virtual TypedKey type(LayoutId layout, unsigned vk, unsigned scan, LayoutState state) = 0;
    // The layout's composition of a dead key's accent with base.
    virtual Composition compose(LayoutId layout, char16_t accent, char16_t base) = 0;
    // Whether right Alt (and Ctrl with Alt) is AltGr on layout.
    virtual bool hasAltGr(LayoutId layout) = 0;
    // The character of byte in the layout's ANSI code page, or in the OEM
    // code page; U+FFFD when it has none.
    virtual char32_t fromCodePage(LayoutId layout, bool ansi, unsigned char byte) = 0;

protected:
    ~KeyboardLayouts() = default;
};

// The system's layouts, from the platform's folder: on Windows those of the
// scan dialog's thread, in the native build a US layout of its own.
KeyboardLayouts& systemKeyboardLayouts();
