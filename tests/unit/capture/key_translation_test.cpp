#include "capture/key_translation.h"

#include <gtest/gtest.h>

namespace {

struct TranslationCase {
    unsigned char mapped;  // what MapVirtualKeyA gives for the key
    // Expected character with Shift/Caps Lock: up/off, held/off, up/on, held/on.
    unsigned char expected[4];
};

// Letters come from MapVirtualKeyA in upper case and change with Shift and
// Caps Lock (which cancel out); table keys gain their US shifted character
// with Shift whatever Caps Lock says, as Windows types them; everything else
// passes unchanged.
const TranslationCase kCases[] = {
    {'A', {'a', 'A', 'A', 'a'}},
    {'B', {'b', 'B', 'B', 'b'}},
    {'Z', {'z', 'Z', 'Z', 'z'}},
    {'1', {'1', '!', '1', '!'}},
    {'8', {'8', '*', '8', '*'}},
    {'0', {'0', ')', '0', ')'}},
    {';', {';', ':', ';', ':'}},
    {'`', {'`', '~', '`', '~'}},
    {'\\', {'\\', '|', '\\', '|'}},
    {'\'', {'\'', '"', '\'', '"'}},
    {'/', {'/', '?', '/', '?'}},
    {'-', {'-', '_', '-', '_'}},
    {' ', {' ', ' ', ' ', ' '}},
    {'*', {'*', '*', '*', '*'}},
    {13, {13, 13, 13, 13}},
    {9, {9, 9, 9, 9}},
    {8, {8, 8, 8, 8}},
    {27, {27, 27, 27, 27}},
    {0, {0, 0, 0, 0}},
    {0xE9, {0xE9, 0xE9, 0xE9, 0xE9}},
};

TEST(KeyTranslation, FollowsShiftAndCapsLock) {
    for (const TranslationCase& c : kCases) {
        for (int state = 0; state < 4; ++state) {
            KeyboardState keyboard;
            keyboard.shiftDown = (state & 1) != 0;
            keyboard.capsLockOn = (state & 2) != 0;
            std::optional<unsigned char> typed =
                translateKeyEvent(keyboard, KeyEventKind::press, 0x41, c.mapped);
            ASSERT_TRUE(typed.has_value());
            EXPECT_EQ(+c.expected[state], +*typed)
                << "mapped " << +c.mapped << " shift " << keyboard.shiftDown << " caps "
                << keyboard.capsLockOn;
        }
    }
}

TEST(KeyTranslation, ShiftedTableHasTheTwentyOneUsKeys) {
    const char keys[] = "`1234567890-=\\[];',./";
    const char shifted[] = "~!@#$%^&*()_+|{}:\"<>?";
    for (int i = 0; i < 21; ++i) {
        EXPECT_EQ(shifted[i], static_cast<char>(shiftedCharacter(keys[i]).value_or(0))) << keys[i];
    }
    EXPECT_FALSE(shiftedCharacter('A').has_value());
    EXPECT_FALSE(shiftedCharacter(' ').has_value());
}

TEST(KeyTranslation, ReleasingEitherShiftClearsIt) {
    KeyboardState keyboard;
    translateKeyEvent(keyboard, KeyEventKind::press, kVkLeftShift, 0);
    translateKeyEvent(keyboard, KeyEventKind::press, kVkRightShift, 0);
    EXPECT_EQ('*', translateKeyEvent(keyboard, KeyEventKind::press, 0x38, '8'));
    // The left one goes up while the right one is still held.
    translateKeyEvent(keyboard, KeyEventKind::release, kVkLeftShift, 0);
    EXPECT_FALSE(keyboard.shiftDown);
    EXPECT_EQ('8', translateKeyEvent(keyboard, KeyEventKind::press, 0x38, '8'));
}

TEST(KeyTranslation, CapsLockTogglesOnRelease) {
    KeyboardState keyboard;
    EXPECT_EQ(0, translateKeyEvent(keyboard, KeyEventKind::press, kVkCapital, 0));
    EXPECT_FALSE(keyboard.capsLockOn);
    EXPECT_FALSE(translateKeyEvent(keyboard, KeyEventKind::release, kVkCapital, 0).has_value());
    EXPECT_TRUE(keyboard.capsLockOn);
    EXPECT_EQ('A', translateKeyEvent(keyboard, KeyEventKind::press, 0x41, 'A'));
    translateKeyEvent(keyboard, KeyEventKind::press, kVkCapital, 0);
    translateKeyEvent(keyboard, KeyEventKind::release, kVkCapital, 0);
    EXPECT_FALSE(keyboard.capsLockOn);
}

TEST(KeyTranslation, ShiftItselfAndReleasesTypeNothing) {
    KeyboardState keyboard;
    EXPECT_FALSE(translateKeyEvent(keyboard, KeyEventKind::press, kVkRightShift, 0).has_value());
    EXPECT_TRUE(keyboard.shiftDown);
    EXPECT_FALSE(translateKeyEvent(keyboard, KeyEventKind::release, 0x41, 'A').has_value());
    EXPECT_FALSE(translateKeyEvent(keyboard, KeyEventKind::other, 0x41, 'A').has_value());
}

TEST(KeyTranslation, KeysPressedWhileAWindowsKeyIsHeldTypeNothing) {
    struct Case {
        unsigned windowsKey;
        unsigned vk;
        unsigned char mapped;
    };
    const Case cases[] = {
        {kVkLeftWindows, 'H', 'H'}, {kVkRightWindows, 'H', 'H'}, {kVkLeftWindows, '1', '1'},
        {kVkLeftWindows, 0x0D, 13}, {kVkRightWindows, 0x09, 9},
    };
    for (const Case& c : cases) {
        KeyboardState keyboard;
        EXPECT_FALSE(translateKeyEvent(keyboard, KeyEventKind::press, c.windowsKey, 0));
        EXPECT_FALSE(translateKeyEvent(keyboard, KeyEventKind::press, c.vk, c.mapped)) << c.vk;
        translateKeyEvent(keyboard, KeyEventKind::release, c.vk, 0);
        translateKeyEvent(keyboard, KeyEventKind::release, c.windowsKey, 0);
        EXPECT_EQ(c.mapped == 'H' ? 'h' : c.mapped,
                  translateKeyEvent(keyboard, KeyEventKind::press, c.vk, c.mapped));
    }
    // Each Windows key counts on its own: releasing one while the other is
    // held still leaves a shortcut.
    KeyboardState keyboard;
    translateKeyEvent(keyboard, KeyEventKind::press, kVkLeftWindows, 0);
    translateKeyEvent(keyboard, KeyEventKind::press, kVkRightWindows, 0);
    translateKeyEvent(keyboard, KeyEventKind::release, kVkLeftWindows, 0);
    EXPECT_FALSE(translateKeyEvent(keyboard, KeyEventKind::press, 'A', 'A'));
    translateKeyEvent(keyboard, KeyEventKind::release, kVkRightWindows, 0);
    EXPECT_EQ('a', translateKeyEvent(keyboard, KeyEventKind::press, 'A', 'A'));
}

TEST(KeyTranslation, MessageKinds) {
    EXPECT_EQ(KeyEventKind::press, keyEventKind(0x100));    // WM_KEYDOWN
    EXPECT_EQ(KeyEventKind::press, keyEventKind(0x104));    // WM_SYSKEYDOWN
    EXPECT_EQ(KeyEventKind::release, keyEventKind(0x101));  // WM_KEYUP
    EXPECT_EQ(KeyEventKind::release, keyEventKind(0x105));  // WM_SYSKEYUP
    EXPECT_EQ(KeyEventKind::other, keyEventKind(0x102));    // WM_CHAR
}

}  // namespace
