#include "capture/key_translator.h"

#include <gtest/gtest.h>

#include <vector>

#include "common/utf8.h"
#include "fixture_layouts.h"

namespace {

using namespace capture_test;

constexpr unsigned kVkReturn = 0x0D, kVkBack = 0x08, kVkEscape = 0x1B, kVkF5 = 0x74;
constexpr unsigned kVkSpace = 0x20, kVkEnd = 0x23, kVkNext = 0x22, kVkInsert = 0x2D;
constexpr unsigned kVkNumpad0 = 0x60;

// Modifiers held around one key.
enum Held : unsigned {
    plain = 0,
    shift = 1,      // left Shift
    altGr = 2,      // as Windows sends AltGr: left Ctrl, then right Alt
    control = 4,    // left Ctrl
    alt = 8,        // left Alt
    rightAlt = 16,  // right Alt alone
};

struct Stroke {
    unsigned vk;
    unsigned held = plain;
};

// A translator over the fixture layouts, with what it typed collected as the
// scan assembly would: text added, Enter and Tab commit, Backspace removes.
class Typist {
public:
    explicit Typist(LayoutId layout) { layouts.inForce = layout; }

    void event(unsigned message, unsigned vk, unsigned scan = 0, bool extended = false,
               LayoutId layout = 0) {
        const KeyOutcome outcome =
            translator.onKey(KeyEvent{message, vk, scan, extended, layout}, [this] {
                ++frontQuestions;
                return inFront;
            });
        pending += outcome.text;
        if (outcome.action == KeyOutcome::Action::commit) {
            scans.push_back(pending);
            pending.clear();
        } else if (outcome.action == KeyOutcome::Action::backspace) {
            pending.erase(lastCharacterStart(pending));
        }
    }
    void press(unsigned vk, unsigned scan = 0, bool extended = false) {
        event(keys.altDown() && !keys.controlDown() ? kMessageSysKeyDown : kMessageKeyDown, vk,
              scan, extended);
    }
    void release(unsigned vk) { event(kMessageKeyUp, vk); }
    void stroke(unsigned vk, unsigned scan = 0, bool extended = false) {
        press(vk, scan, extended);
        release(vk);
    }
    void type(const Stroke& s) {
        hold(s.held, true);
        stroke(s.vk);
        hold(s.held, false);
    }
    void type(const std::vector<Stroke>& strokes) {
        for (const Stroke& s : strokes) type(s);
    }
    void packet(char16_t unit) {
        event(kMessageKeyDown, kVkPacket, unit);
        event(kMessageKeyUp, kVkPacket, unit);
    }
    // Presses or releases the modifiers of held, in the order Windows does.
    void hold(unsigned held, bool down) {
        auto key = [&](unsigned vk) { down ? press(vk) : release(vk); };
        if (held & shift) key(kVkLeftShift);
        if (held & altGr) {
            key(kVkLeftControl);
            key(kVkRightMenu);
        }
        if (held & control) key(kVkLeftControl);
        if (held & alt) key(kVkLeftMenu);
        if (held & rightAlt) key(kVkRightMenu);
    }

    FixtureLayouts layouts;
    KeyboardState keys;
    KeyTranslator translator{layouts, keys};
    bool inFront = true;
    int frontQuestions = 0;
    std::string pending;
    std::vector<std::string> scans;
};

// Scans with the characters each layout is known for, each committed by Enter, as
// Windows' layouts type them (Windows sends AltGr as left Ctrl and right Alt).
TEST(KeyTranslator, TypesAsTheLayoutInForce) {
    const unsigned kOem1 = 0xBA, kOem2 = 0xBF, kOem3 = 0xC0, kOem4 = 0xDB, kOem5 = 0xDC;
    const unsigned kOem7 = 0xDE, kMinus = 0xBD, kPeriod = 0xBE;
    const struct {
        LayoutId layout;
        std::vector<Stroke> keys;
        const char* scan;
    } cases[] = {
        {kGerman,
         {{'M', shift},
          {'A'},
          {kOem4},
          {kMinus},
          {'N', shift},
          {'R'},
          {kPeriod},
          {kVkSpace},
          {'2', shift},
          {'Z', shift},
          {'7', shift},
          {'Y'},
          {'2', shift},
          {kVkSpace},
          {'Q', altGr},
          {kOem7},
          {kOem2}},
         "Ma\u00DF-Nr. \"Z/y\" @\u00E4#"},
        {kFrench,
         {{'A', shift},
          {'Z', shift},
          {'E', shift},
          {'R', shift},
          {'6'},
          {'1', shift},
          {'2', shift},
          {kOem2, shift},
          {'2'},
          {'0'},
          {'9'},
          {'0', altGr}},
         "AZER-12/\u00E9\u00E0\u00E7@"},
        {kUnitedKingdom,
         {{'2', shift}, {kOem3, shift}, {'3', shift}, {kOem7}, {kOem5}, {'A', shift}, {'1'}},
         "\"@\u00A3#\\A1"},
        {kUnitedStates,
         {{'S', shift},
          {'C'},
          {'A'},
          {'N'},
          {kMinus},
          {'0'},
          {'4'},
          {'2'},
          {kOem1, shift},
          {kOem2},
          {'1', shift}},
         "Scan-042:/!"},
    };
    for (const auto& c : cases) {
        Typist t(c.layout);
        t.type(c.keys);
        t.type(Stroke{kVkReturn});
        EXPECT_EQ(std::vector<std::string>{c.scan}, t.scans) << std::hex << c.layout;
        EXPECT_EQ("", t.pending);
    }
}

// AltGr is Ctrl with Alt, or right Alt, on a layout that has it; Ctrl alone
// and Alt alone count as up, so Ctrl+V and Alt+V add the letter.
TEST(KeyTranslator, AltGrCtrlAndAlt) {
    const struct {
        LayoutId layout;
        Stroke key;
        const char* typed;
    } cases[] = {
        {kGerman, {'Q', altGr}, "@"},
        {kGerman, {'Q', rightAlt}, "@"},
        {kGerman, {'Q', control | alt}, "@"},
        {kGerman, {'E', altGr | shift}, ""},     // the layout has no Shift+AltGr+E
        {kGerman, {kVkNumpad0 + 1, altGr}, ""},  // no Alt+numpad with AltGr
        {kGerman, {0xDB, altGr | shift}, "\u1E9E"},
        {kGerman, {'A', altGr}, ""},
        {kGerman, {'V', control}, "v"},
        {kGerman, {'V', alt}, "v"},
        {kGerman, {'V', alt | shift}, "V"},
        {kGerman, {'Y', control | shift}, "Y"},
        {kUnitedStates, {'Q', control | alt}, "q"},  // no AltGr: Alt alone
        {kUnitedStates, {'Q', rightAlt}, "q"},
        {kUnitedStates, {'2', control | alt | shift}, "@"},
        {kUnitedStates, {'V', control}, "v"},
        {kFrench, {'0', rightAlt}, "@"},
        {kUnitedKingdom, {'4', altGr}, "\u20AC"},
    };
    for (const auto& c : cases) {
        Typist t(c.layout);
        t.type(c.key);
        EXPECT_EQ(c.typed, t.pending)
            << std::hex << c.layout << " vk " << c.key.vk << " held " << c.key.held;
    }
}

// Caps Lock as the layout has it: German and French shift their digits and
// more, US only letters; Shift with Caps Lock cancels out.
TEST(KeyTranslator, CapsLockFollowsTheLayout) {
    const struct {
        LayoutId layout;
        std::vector<Stroke> keys;
        const char* typed;
    } cases[] = {
        {kGerman, {{'1'}, {0xDB}, {'A'}, {'A', shift}}, "!?Aa"},
        {kFrench, {{'1'}, {'2'}, {'A'}}, "12A"},
        {kUnitedKingdom, {{'1'}, {'E', altGr}, {'E', altGr | shift}}, "1\u00C9\u00E9"},
        {kUnitedStates, {{'1'}, {'1', shift}, {'A'}, {'A', shift}}, "1!Aa"},
    };
    for (const auto& c : cases) {
        Typist t(c.layout);
        t.stroke(kVkCapital);
        t.type(c.keys);
        EXPECT_EQ(c.typed, t.pending) << std::hex << c.layout;
    }
}

// Dead keys are composed here as Windows composes them: an accent then a
// letter that takes it gives the composed letter; then space, the accent;
// then anything else, both. Keys that type nothing leave the accent waiting.
TEST(KeyTranslator, ComposesDeadKeys) {
    const unsigned kCircumflex = 0xDC, kAcute = 0xDD;  // German
    const unsigned kFrenchCircumflex = 0xDD;
    const struct {
        LayoutId layout;
        std::vector<Stroke> keys;
        const char* typed;
    } cases[] = {
        {kGerman, {{kCircumflex}, {'A'}}, "\u00E2"},
        {kGerman, {{kCircumflex}, {kVkSpace}}, "^"},
        {kGerman, {{kCircumflex}, {'X'}}, "^x"},
        {kGerman, {{kCircumflex}, {kCircumflex}}, "^^"},
        {kGerman, {{kCircumflex}, {kAcute}, {'E'}}, "^\u00B4e"},
        {kGerman, {{kAcute}, {'E', shift}}, "\u00C9"},
        {kGerman, {{kAcute, shift}, {'A'}}, "\u00E0"},
        {kGerman, {{kAcute}, {kVkF5}, {'E'}}, "\u00E9"},
        {kGerman, {{kCircumflex}, {'1'}}, "^1"},
        {kGerman, {{kCircumflex}, {'Q', altGr}}, "^@"},
        {kGerman, {{'A'}, {kCircumflex}, {kVkBack}, {'B'}}, "ab"},  // the accent is taken back
        {kGerman, {{'A'}, {kCircumflex}, {kVkEscape}}, "a^"},
        {kFrench, {{'2', altGr}, {'N'}}, "\u00F1"},
        {kFrench, {{kFrenchCircumflex}, {'E'}}, "\u00EA"},
        {kFrench, {{kFrenchCircumflex, shift}, {'I'}}, "\u00EF"},
    };
    for (const auto& c : cases) {
        Typist t(c.layout);
        t.type(c.keys);
        EXPECT_EQ(c.typed, t.pending) << std::hex << c.layout << " " << c.typed;
    }
    // Enter and Tab commit without a waiting accent, as the dialog's edit
    // box shows the scan: the dialog never translates them.
    Typist t(kGerman);
    t.type({{'A'}, {kCircumflex}, {kVkReturn}, {kCircumflex}, {0x09}, {'B'}, {kVkReturn}});
    EXPECT_EQ((std::vector<std::string>{"a", "", "b"}), t.scans);
}

// Alt held, digits on the numeric keypad, the character on Alt's release:
// with a leading 0 from the ANSI code page, otherwise from the OEM one.
TEST(KeyTranslator, AltNumpadEntry) {
    auto digits = [](std::initializer_list<int> values) {
        std::vector<Stroke> strokes;
        for (int v : values) strokes.push_back(Stroke{kVkNumpad0 + static_cast<unsigned>(v)});
        return strokes;
    };
    const struct {
        LayoutId layout;
        unsigned alt;
        std::vector<Stroke> keys;
        const char* typed;
        const char* before;  // what is there while Alt is still held
    } cases[] = {
        {kGerman, alt, digits({1, 3, 0}), "\u00E9", ""},     // OEM 850: é
        {kGerman, alt, digits({0, 2, 2, 8}), "\u00E4", ""},  // ANSI 1252: ä
        {kGerman, alt, digits({0, 1, 2, 8}), "\u20AC", ""},  // ANSI: €
        {kGerman, alt, digits({3, 2, 1}), "A", ""},          // modulo 256
        {kGerman, alt, digits({0}), "", ""},
        {kGerman, alt, digits({1, 3}), "", ""},     // a control never enters, nor commits
        {kGerman, alt, digits({2, 5, 5}), "", ""},  // no such character here: nothing
        {kGerman, alt, {{'V'}}, "v", "v"},
        {kGerman, alt, {{kVkNumpad0 + 6}, {'V'}}, "v", "v"},         // another key ends the entry
        {kUnitedStates, rightAlt, digits({1, 3, 0}), "\u00E9", ""},  // right Alt without AltGr
        {kUnitedStates, alt, digits({2, 1, 3}), "\u2552", ""},       // OEM 437
        {kGerman, control | alt, digits({1, 3, 0}), "", ""},         // Ctrl+Alt is AltGr, no entry
    };
    for (const auto& c : cases) {
        Typist t(c.layout);
        t.hold(c.alt, true);
        t.type(c.keys);
        EXPECT_EQ(c.before, t.pending) << c.typed;
        t.hold(c.alt, false);
        EXPECT_EQ(c.typed, t.pending) << c.typed;
        EXPECT_TRUE(t.scans.empty());
    }
    // With Num Lock off the keypad sends navigation keys, told from the grey
    // ones by their scan codes.
    Typist t(kGerman);
    t.hold(alt, true);
    t.stroke(kVkEnd, 0x4F);
    t.stroke(kVkNext, 0x51);
    t.stroke(kVkInsert, 0x52);
    t.hold(alt, false);
    t.hold(alt, true);
    t.stroke(kVkEnd, 0x4F, true);  // the grey End key
    t.hold(alt, false);
    EXPECT_EQ("\u00E9", t.pending);
}

// Characters that input software sends as Unicode packets count as typed;
// surrogates are paired, a lone one is U+FFFD; controls never enter, and a
// packet never commits.
TEST(KeyTranslator, UnicodePackets) {
    Typist t(kGerman);
    for (char16_t unit : u"A\xD83D\xDE00\u00E9\r\b\t") {
        if (unit != 0) t.packet(unit);
    }
    EXPECT_EQ("A\U0001F600\u00E9", t.pending);
    EXPECT_TRUE(t.scans.empty());
    t.pending.clear();
    t.packet(0xD83D);
    t.packet(u'B');
    t.packet(0xDE00);
    t.packet(0xD83D);
    t.stroke('X');
    EXPECT_EQ("\uFFFDB\uFFFD\uFFFDx", t.pending);
    // A packet leaves a waiting dead key alone.
    t.pending.clear();
    t.stroke(0xDC);
    t.packet(u'x');
    t.stroke('A');
    EXPECT_EQ("x\u00E2", t.pending);
}

// Each key is translated with the layout in force when it is typed (so an
// Alt+Shift switch applies from the next key), or with the one recorded with
// the event (a replay); keys for another window are never translated.
TEST(KeyTranslator, LayoutOfEachKeyAndOnlyForTheDialog) {
    const unsigned kOem4 = 0xDB;  // ß on German, [ on US, ) on French
    Typist t(kGerman);
    t.stroke(kOem4);
    t.layouts.inForce = kUnitedStates;
    t.stroke(kOem4);
    t.event(kMessageKeyDown, kOem4, 0, false, kFrench);
    EXPECT_EQ("\u00DF[)", t.pending);
    EXPECT_EQ((std::vector<LayoutId>{kGerman, kUnitedStates, kFrench}), t.layouts.typedWith);

    Typist other(kGerman);
    other.inFront = false;
    other.stroke(0xDC);  // a dead key typed into another window is forgotten
    other.type({{'A', shift}, {'Q', altGr}, {kVkReturn}});
    other.hold(alt, true);
    other.stroke(kVkNumpad0 + 6);
    other.hold(alt, false);
    other.packet(u'x');
    EXPECT_EQ(0, other.layouts.typeCalls);
    EXPECT_EQ(0, other.layouts.currentCalls);
    EXPECT_EQ("", other.pending);
    EXPECT_TRUE(other.scans.empty());
    other.inFront = true;
    other.stroke('E');
    EXPECT_EQ("e", other.pending);
    // Modifier keys and releases never ask which window is in front.
    Typist modifiers(kGerman);
    modifiers.type({{'A', shift | altGr | control}});
    EXPECT_EQ(1, modifiers.frontQuestions);
}

// On a US layout every key types as the agent's US translation always did,
// but for one fault of that translation: Shift with a keypad key gave the
// shifted character of the main key with the same character (keypad 1 gave
// "!", keypad / "?"), where Windows types the keypad's own or nothing.
TEST(KeyTranslator, UsLayoutTypesAsTheUsTranslation) {
    for (const FixtureKey& key : fixtureLayout(kUnitedStates).keys()) {
        for (int s = 0; s < 4; ++s) {
            const bool shifted = (s & 1) != 0, capsLock = (s & 2) != 0;
            KeyboardState legacy;
            legacy.shiftDown = shifted;
            legacy.capsLockOn = capsLock;
            const unsigned char c =
                translateKeyEvent(legacy, KeyEventKind::press, key.vk, usLayoutCharacter(key.vk))
                    .value_or(0);
            Typist t(kUnitedStates);
            if (capsLock) t.stroke(kVkCapital);
            t.type(Stroke{key.vk, shifted ? shift : plain});
            const bool keypad = key.vk >= 0x60 && key.vk <= 0x6F;
            if (keypad && shifted) {
                const char16_t windows =
                    key.cells[1].kind == FixtureCell::none ? 0 : key.cells[1].c;
                EXPECT_EQ(windows == 0 ? "" : std::string(1, static_cast<char>(windows)), t.pending)
                    << std::hex << key.vk;
                continue;
            }
            std::string want;
            std::vector<std::string> scans;
            if (c == 13 || c == 9) {
                scans.push_back("");
            } else if (isPrintable(c)) {
                want = std::string(1, static_cast<char>(c));
            }
            EXPECT_EQ(want, t.pending) << std::hex << key.vk << " state " << s;
            EXPECT_EQ(scans, t.scans) << std::hex << key.vk << " state " << s;
        }
    }
}

}  // namespace
