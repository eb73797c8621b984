// Outside Windows no system tells what a key types: the native build has one
// US layout, which types as the agent's US translation always did (Caps Lock
// changes letters only, Shift the 21 keys of its table), and no dead keys.
// Its code pages are Windows' US ones, through iconv.
#include <iconv.h>

#include "capture/key_translation.h"
#include "capture/keyboard_layout.h"
#include "common/utf8.h"

namespace {

constexpr LayoutId kUsLayout = 0x04090409;

class UsLayout final : public KeyboardLayouts {
public:
    LayoutId current() override { return kUsLayout; }

    TypedKey type(LayoutId, unsigned vk, unsigned, LayoutState state) override {
        KeyboardState keys;
        keys.shiftDown = state.shift;
        keys.capsLockOn = state.capsLock;
        TypedKey typed;
        const std::optional<unsigned char> c =
            translateKeyEvent(keys, KeyEventKind::press, vk, usLayoutCharacter(vk));
        if (!c || *c == 0) return typed;
        typed.kind = TypedKey::Kind::text;
        typed.count = 1;
        typed.units[0] = *c;
        return typed;
    }

    Composition compose(LayoutId, char16_t, char16_t) override { return Composition{}; }
    bool hasAltGr(LayoutId) override { return false; }

    char32_t fromCodePage(LayoutId, bool ansi, unsigned char byte) override {
        iconv_t convert = iconv_open("UTF-32LE", ansi ? "CP1252" : "CP437");
        if (convert == reinterpret_cast<iconv_t>(-1)) return kReplacementCharacter;
        char in[1] = {static_cast<char>(byte)};
        unsigned char out[4] = {};
        char* inAt = in;
        char* outAt = reinterpret_cast<char*>(out);
        std::size_t inLeft = sizeof in, outLeft = sizeof out;
        const bool converted =
            iconv(convert, &inAt, &inLeft, &outAt, &outLeft) != static_cast<std::size_t>(-1);
        iconv_close(convert);
        if (!converted || outLeft != 0) return kReplacementCharacter;
        return static_cast<char32_t>(out[0] | out[1] << 8 | out[2] << 16 |
                                     static_cast<unsigned>(out[3]) << 24);
    }
};

}  // namespace

KeyboardLayouts& systemKeyboardLayouts() {
    static UsLayout* layouts = new UsLayout;  // never destroyed, as the hook's state
    return *layouts;
}
