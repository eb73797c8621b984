#include "capture/scan_assembly.h"

#include <gtest/gtest.h>

#include "capture/key_translation.h"
#include "capture_test_support.h"
#include "scans_test_support.h"

namespace {

using capture_test::FakeDesktop;
using scans_test::takeAllScans;
using Scans = std::vector<std::string>;

constexpr unsigned kVkBack = 0x08, kVkTab = 0x09, kVkReturn = 0x0D, kVkEscape = 0x1B;
constexpr unsigned kVkLeftControl = 0xA2, kVkF1 = 0x70;

class ScanAssemblyTest : public ::testing::Test {
protected:
    // A key press as the hook reports it, with MapVirtualKeyA's character.
    static void press(unsigned vk, unsigned char mapped, unsigned message = kMessageKeyDown) {
        handleKeyboardEvent(message, vk, mapped);
    }
    static void release(unsigned vk) { handleKeyboardEvent(kMessageKeyUp, vk, 0); }
    static void stroke(unsigned vk, unsigned char mapped) {
        press(vk, mapped);
        release(vk);
    }
    // Types letters and digits (lower case letters come from the upper-case
    // character that MapVirtualKeyA gives for their keys).
    static void typeText(const std::string& text) {
        for (char c : text) {
            unsigned char key = (c >= 'a' && c <= 'z') ? c - 32 : c;
            stroke(key, key);
        }
    }
    static void enter() { stroke(kVkReturn, 13); }

    FakeDesktop desktop;
};

TEST_F(ScanAssemblyTest, EnterCommitsThePendingScanAndClosesTheDialog) {
    typeText("ab12");
    EXPECT_TRUE(takeAllScans().empty());
    enter();
    EXPECT_EQ(Scans{"ab12"}, takeAllScans());
    EXPECT_EQ(1, FakeDesktop::closes());
    // The pending scan starts over.
    typeText("c");
    enter();
    EXPECT_EQ(Scans{"c"}, takeAllScans());
}

TEST_F(ScanAssemblyTest, OtherWindowInFrontAddsNothingButShiftAndCapsAreFollowed) {
    FakeDesktop::title() = "Untitled - Notepad";
    typeText("xyz");
    stroke(kVkCapital, 0);   // Caps Lock on
    press(kVkLeftShift, 0);  // Shift held into the dialog
    enter();                 // no commit, no close
    EXPECT_TRUE(takeAllScans().empty());
    EXPECT_EQ(0, FakeDesktop::closes());

    FakeDesktop::title() = kScanDialogTitle;
    stroke('A', 'A');  // Shift and Caps Lock: lower case
    stroke('1', '1');  // Caps Lock leaves table keys alone: shifted
    release(kVkLeftShift);
    stroke('A', 'A');  // Caps Lock alone: upper case
    stroke('8', '8');
    enter();
    EXPECT_EQ(Scans{"a!A8"}, takeAllScans());
}

TEST_F(ScanAssemblyTest, TitleMustMatchExactly) {
    for (const char* title : {"vexmoor hid", "Vexmoor HID ", "Vexmoor", ""}) {
        FakeDesktop::title() = title;
        typeText("a");
        enter();
    }
    EXPECT_TRUE(takeAllScans().empty());
    EXPECT_EQ(0, FakeDesktop::closes());
}

TEST_F(ScanAssemblyTest, BackspaceRemovesTheLastCharacterAndNothingOnEmpty) {
    stroke(kVkBack, 8);
    typeText("ab");
    stroke(kVkBack, 8);
    typeText("c");
    enter();
    stroke(kVkBack, 8);
    stroke(kVkBack, 8);
    typeText("d");
    enter();
    EXPECT_EQ((Scans{"ac", "d"}), takeAllScans());
}

TEST_F(ScanAssemblyTest, TabCommitsLikeEnter) {
    typeText("a");
    stroke(kVkTab, 9);
    EXPECT_EQ(Scans{"a"}, takeAllScans());
    EXPECT_EQ(1, FakeDesktop::closes());
}

TEST_F(ScanAssemblyTest, EnterOnEmptyQueuesAnEmptyScan) {
    enter();
    enter();
    EXPECT_EQ((Scans{"", ""}), takeAllScans());
    EXPECT_EQ(2, FakeDesktop::closes());
}

TEST_F(ScanAssemblyTest, AutoRepeatAddsOneCharacterPerPress) {
    press('Q', 'Q');
    press('Q', 'Q');
    press('Q', 'Q');
    release('Q');
    enter();
    EXPECT_EQ(Scans{"qqq"}, takeAllScans());
}

TEST_F(ScanAssemblyTest, EscapeControlAndNonAsciiCharactersAreIgnored) {
    typeText("a");
    stroke(kVkEscape, 27);
    stroke(kVkF1, 0);
    for (unsigned char c : {0, 1, 27, 31, 127, 128, 200, 255}) handleScanKey(c);
    typeText("b");
    enter();
    EXPECT_EQ(Scans{"ab"}, takeAllScans());
}

TEST_F(ScanAssemblyTest, ControlAndAltCombinationsTypeThePlainLetter) {
    press(kVkLeftControl, 0);
    stroke('V', 'V');  // Ctrl+V: the letter, not the clipboard
    release(kVkLeftControl);
    press('V', 'V', kMessageSysKeyDown);  // a key with Alt held
    handleKeyboardEvent(kMessageSysKeyUp, 'V', 0);
    enter();
    EXPECT_EQ(Scans{"vv"}, takeAllScans());
}

TEST_F(ScanAssemblyTest, WinHWhileTheDialogIsOpenAddsNothing) {
    auto winH = [] {
        press(kVkLeftWindows, 0);
        stroke('H', 'H');
        release(kVkLeftWindows);
    };
    winH();
    press(kVkLeftShift, 0);
    typeText("AB");
    release(kVkLeftShift);
    winH();
    press(kVkLeftShift, 0);
    typeText("C");
    release(kVkLeftShift);
    enter();
    EXPECT_EQ(Scans{"ABC"}, takeAllScans());
    // A release that passed unseen (Win+L, say) is forgotten once the
    // system says no Windows key is down.
    press(kVkRightWindows, 0);
    typeText("x");
    EXPECT_TRUE(windowsKeyHeld());
    forgetWindowsKeys();
    EXPECT_FALSE(windowsKeyHeld());
    typeText("y");
    enter();
    EXPECT_EQ(Scans{"y"}, takeAllScans());
}

TEST_F(ScanAssemblyTest, CancelledTextLeadsTheNextScan) {
    scanDialogOpened();
    typeText("ab");
    // Cancel or Escape: the dialog closes without a commit.
    scanDialogOpened();
    typeText("cd");
    enter();
    EXPECT_EQ(Scans{"abcd"}, takeAllScans());
}

TEST_F(ScanAssemblyTest, OkButtonCommitsOnce) {
    scanDialogOpened();
    typeText("ok");
    scanDialogOk();
    EXPECT_EQ(Scans{"ok"}, takeAllScans());
    EXPECT_EQ(1, FakeDesktop::closes());
}

TEST_F(ScanAssemblyTest, EnterThatReachesTheClosingDialogDoesNotCommitAgain) {
    scanDialogOpened();
    typeText("a");
    enter();
    // The same Enter press, delivered to the closing dialog, works its default
    // button.
    scanDialogOk();
    EXPECT_EQ(Scans{"a"}, takeAllScans());
    EXPECT_EQ(1, FakeDesktop::closes());
    // The next dialog's OK commits again.
    scanDialogOpened();
    scanDialogOk();
    EXPECT_EQ(Scans{""}, takeAllScans());
}

TEST_F(ScanAssemblyTest, OkWithAnotherWindowInFrontDoesNothing) {
    scanDialogOpened();
    typeText("a");
    FakeDesktop::title() = "Other";
    scanDialogOk();
    EXPECT_TRUE(takeAllScans().empty());
    EXPECT_EQ(0, FakeDesktop::closes());
    FakeDesktop::title() = kScanDialogTitle;
    scanDialogOk();
    EXPECT_EQ(Scans{"a"}, takeAllScans());
}

// A lost hook's keys are replayed after the fact: each counts for the window
// it was typed into, whichever window is in front at the replay.
TEST_F(ScanAssemblyTest, ReplayedKeysCountForTheWindowTheyWereTypedInto) {
    const auto replay = [](unsigned vk, unsigned char mapped, bool inFront) {
        replayKeyboardEvent(kMessageKeyDown, vk, mapped, inFront);
        replayKeyboardEvent(kMessageKeyUp, vk, 0, inFront);
    };
    typeText("A");
    // Typed into another program before the loss was noticed; the dialog is
    // in front by the time of the replay: nothing of it is added.
    replay('X', 'X', false);
    replay(kVkLeftShift, 0, false);
    // Typed into the dialog, replayed while another window is in front: kept,
    // and Shift was followed in the other window.
    FakeDesktop::title() = "Untitled - Notepad";
    replayKeyboardEvent(kMessageKeyDown, kVkLeftShift, 0, false);
    replay('1', '1', true);
    replayKeyboardEvent(kMessageKeyUp, kVkLeftShift, 0, false);
    replay('B', 'B', true);
    EXPECT_EQ(0, FakeDesktop::closes());
    replay(kVkReturn, 13, true);  // Enter into the dialog commits
    EXPECT_EQ(1, FakeDesktop::closes());
    EXPECT_EQ(Scans({"a!b"}), takeAllScans());
    // The same keys as the hook has them follow the window in front now.
    typeText("C");
    FakeDesktop::title() = kScanDialogTitle;
    enter();
    EXPECT_EQ(Scans({""}), takeAllScans());
}

TEST_F(ScanAssemblyTest, LongScansAreKeptWhole) {
    const std::string text(3000, 'x');
    for (char c : text) handleScanKey(static_cast<unsigned char>(c));
    enter();
    EXPECT_EQ(Scans{text}, takeAllScans());
}

TEST_F(ScanAssemblyTest, CapsLockStateIsTakenFromTheSystemOnce) {
    EXPECT_TRUE(needsInitialCapsLock());
    setInitialCapsLock(true);
    EXPECT_FALSE(needsInitialCapsLock());
    stroke('A', 'A');
    enter();
    EXPECT_EQ(Scans{"A"}, takeAllScans());
}

}  // namespace
