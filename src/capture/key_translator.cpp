#include "capture/key_translator.h"

#include "common/utf8.h"

namespace {

constexpr char16_t kCarriageReturn = 13;
constexpr char16_t kTab = 9;
constexpr char16_t kBackspace = 8;
constexpr unsigned kVkNumpad0 = 0x60;
constexpr unsigned kVkNumpad9 = 0x69;
// Alt+numpad takes the value modulo 256; more digits change nothing else.
constexpr unsigned kCodePageBytes = 256;

// C0 and C1 controls and DEL never enter a scan.
bool isControl(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }
bool isHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

bool isAltKey(unsigned vk) { return vk == kVkMenu || vk == kVkLeftMenu || vk == kVkRightMenu; }

// The digit of a numeric keypad key, or -1. With Num Lock off the keypad
// sends navigation keys, told from the grey ones by their scan codes (the
// grey keys carry the E0 prefix).
int keypadDigit(const KeyEvent& event) {
    if (event.vk >= kVkNumpad0 && event.vk <= kVkNumpad9) {
        return static_cast<int>(event.vk - kVkNumpad0);
    }
    if (event.extended) return -1;
    switch (event.scan) {
        case 0x52:
            return 0;
        case 0x4F:
            return 1;
        case 0x50:
            return 2;
        case 0x51:
            return 3;
        case 0x4B:
            return 4;
        case 0x4C:
            return 5;
        case 0x4D:
            return 6;
        case 0x47:
            return 7;
        case 0x48:
            return 8;
        case 0x49:
            return 9;
        default:
            return -1;
    }
}

}  // namespace

KeyTranslator::KeyTranslator(KeyboardLayouts& layouts, KeyboardState& keys)
    : layouts_(&layouts), keys_(keys) {}

bool KeyTranslator::follow(const KeyEvent& event) {
    const KeyEventKind kind = keyEventKind(event.message);
    const bool modifier = followModifierKeys(keys_, kind, event.vk);
    if (kind == KeyEventKind::release) {
        // Alt+numpad's character comes when Alt goes up.
        return isAltKey(event.vk) && numpadDigits_ > 0 && !keys_.altDown();
    }
    if (kind != KeyEventKind::press || modifier) return false;
    // A key pressed with a Windows key held is a shortcut (Win+H), not typing.
    return !keys_.windowsKeyDown();
}

KeyOutcome KeyTranslator::translate(const KeyEvent& event, bool dialogInFront) {
    if (!dialogInFront) {
        forgetPending();
        return KeyOutcome{};
    }
    if (keyEventKind(event.message) == KeyEventKind::release) return endNumpadEntry();
    if (event.vk == kVkPacket) return packet(static_cast<char16_t>(event.scan));

    std::string lone;
    if (highSurrogate_ != 0) {
        highSurrogate_ = 0;
        appendUtf8(lone, kReplacementCharacter);
    }
    const LayoutId layout = event.layout != 0 ? event.layout : layouts_->current();
    if (keys_.altDown() && numpadEntryHeld(layout)) {
        const int digit = keypadDigit(event);
        if (digit >= 0) {
            if (numpadDigits_ == 0) {
                numpadLeadingZero_ = digit == 0;
                numpadLayout_ = layout;
                numpadValue_ = 0;
            }
            numpadValue_ = (numpadValue_ * 10 + static_cast<unsigned>(digit)) % kCodePageBytes;
            if (numpadDigits_ < 1000) ++numpadDigits_;
            return KeyOutcome{lone, KeyOutcome::Action::none};
        }
    }
    numpadDigits_ = 0;  // any other key ends an Alt+numpad entry

    LayoutState state{keys_.shiftDown, keys_.capsLockOn, false};
    if (keys_.rightAltDown || (keys_.controlDown() && keys_.altDown())) {
        state.altGr = layouts_->hasAltGr(layout);
    }
    KeyOutcome outcome = typed(layout, layouts_->type(layout, event.vk, event.scan, state));
    outcome.text.insert(0, lone);
    return outcome;
}

void KeyTranslator::forgetPending() {
    accent_ = 0;
    highSurrogate_ = 0;
    numpadDigits_ = 0;
}

bool KeyTranslator::numpadEntryHeld(LayoutId layout) const {
    if (keys_.controlDown()) return false;
    return keys_.leftAltDown || (keys_.rightAltDown && !layouts_->hasAltGr(layout));
}

KeyOutcome KeyTranslator::packet(char16_t unit) {
    // A packet bypasses the layout, so a waiting dead key keeps waiting.
    KeyOutcome outcome;
    if (isHighSurrogate(unit)) {
        if (highSurrogate_ != 0) appendUtf8(outcome.text, kReplacementCharacter);
        highSurrogate_ = unit;
        return outcome;
    }
    char32_t c = unit;
    if (isLowSurrogate(unit)) {
        c = highSurrogate_ != 0 ? 0x10000 + ((highSurrogate_ - 0xD800u) << 10) + (unit - 0xDC00u)
                                : kReplacementCharacter;
    } else if (highSurrogate_ != 0) {
        appendUtf8(outcome.text, kReplacementCharacter);
    }
    highSurrogate_ = 0;
    if (!isControl(c)) appendUtf8(outcome.text, c);
    return outcome;
}

KeyOutcome KeyTranslator::typed(LayoutId layout, const TypedKey& key) {
    KeyOutcome outcome;
    if (key.kind == TypedKey::Kind::nothing || key.count <= 0) return outcome;
    const char16_t first = key.units[0];
    if (key.kind == TypedKey::Kind::dead) {
        // A second dead key composes with the first where the layout says,
        // or both accents are typed and nothing waits.
        if (accent_ != 0) {
            addCharacter(layout, first, outcome.text);
        } else {
            accent_ = first;
        }
        return outcome;
    }
    if (key.count == 1) {
        if (first == kCarriageReturn || first == kTab) {
            // The dialog takes Enter and Tab as its own keys and never
            // translates them, so its edit box shows no waiting accent: the
            // scan has none either.
            accent_ = 0;
            outcome.action = KeyOutcome::Action::commit;
        } else if (first == kBackspace) {
            // Windows types the accent and takes it back.
            if (accent_ != 0) {
                accent_ = 0;
            } else {
                outcome.action = KeyOutcome::Action::backspace;
            }
        } else if (isControl(first)) {
            addWaitingAccent(outcome.text);
        } else {
            addCharacter(layout, first, outcome.text);
        }
        return outcome;
    }
    // Several units: a ligature, or a character beyond the first plane.
    addWaitingAccent(outcome.text);
    std::string text;
    appendUtf16(text, key.units, static_cast<std::size_t>(key.count));
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t start = at;
        bool valid = true;
        if (!isControl(decodeUtf8(text, at, valid))) outcome.text.append(text, start, at - start);
    }
    return outcome;
}

KeyOutcome KeyTranslator::endNumpadEntry() {
    KeyOutcome outcome;
    const bool entered = numpadDigits_ > 0 && numpadValue_ != 0;
    numpadDigits_ = 0;
    if (!entered) return outcome;
    const char32_t c = layouts_->fromCodePage(numpadLayout_, numpadLeadingZero_,
                                              static_cast<unsigned char>(numpadValue_));
    if (isControl(c) || c == kReplacementCharacter) return outcome;
    addWaitingAccent(outcome.text);
    appendUtf8(outcome.text, c);
    return outcome;
}

void KeyTranslator::addCharacter(LayoutId layout, char32_t c, std::string& out) {
    if (accent_ != 0) {
        const Composition composition =
            layouts_->compose(layout, accent_, static_cast<char16_t>(c));
        if (composition.found) {
            accent_ = 0;
            if (composition.dead) {
                accent_ = composition.composed;
            } else {
                appendUtf8(out, composition.composed);
            }
            return;
        }
        addWaitingAccent(out);
    }
    appendUtf8(out, c);
}

void KeyTranslator::addWaitingAccent(std::string& out) {
    if (accent_ == 0) return;
    appendUtf8(out, accent_);
    accent_ = 0;
}
