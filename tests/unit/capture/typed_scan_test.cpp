// Scans typed through the keyboard layout in force: what handleKeyEvent and
// a replay add to the pending scan, in UTF-8.
#include <gtest/gtest.h>

#include "capture/scan_assembly.h"
#include "capture_test_support.h"
#include "fixture_layouts.h"
#include "scans_test_support.h"

namespace {

using capture_test::FakeDesktop;
using capture_test::FixtureLayouts;
using scans_test::takeAllScans;
using Scans = std::vector<std::string>;

constexpr unsigned kVkReturn = 0x0D, kVkBack = 0x08, kVkTab = 0x09;
constexpr unsigned kOem4 = 0xDB, kOem7 = 0xDE, kCircumflex = 0xDC;  // ß, ä, ^ on German

class TypedScanTest : public ::testing::Test {
protected:
    TypedScanTest() {
        layouts.inForce = capture_test::kGerman;
        scan_assembly_testing::useKeyboardLayouts(layouts);
    }
    static KeyEvent key(unsigned message, unsigned vk) {
        return KeyEvent{message, vk, 0, false, 0};
    }
    static void stroke(unsigned vk) {
        handleKeyEvent(key(kMessageKeyDown, vk));
        handleKeyEvent(key(kMessageKeyUp, vk));
    }
    static void shifted(unsigned vk) {
        handleKeyEvent(key(kMessageKeyDown, kVkLeftShift));
        stroke(vk);
        handleKeyEvent(key(kMessageKeyUp, kVkLeftShift));
    }

    FakeDesktop desktop;  // resets the scan assembly, layouts included, at the end
    FixtureLayouts layouts;
};

TEST_F(TypedScanTest, ScansAreUtf8AndBackspaceRemovesWholeCharacters) {
    shifted('M');
    stroke('A');
    stroke(kOem4);
    stroke(kOem7);
    stroke(kVkBack);  // ä goes, both of its bytes
    stroke(kCircumflex);
    stroke('E');
    stroke(kVkReturn);
    EXPECT_EQ(Scans{"Ma\xC3\x9F\xC3\xAA"}, takeAllScans());  // Maßê
    EXPECT_EQ(1, FakeDesktop::closes());
    stroke(kOem4);
    stroke(kVkBack);
    stroke(kVkBack);  // nothing left to remove
    stroke('Y');
    stroke(kVkTab);
    EXPECT_EQ(Scans{"y"}, takeAllScans());
}

TEST_F(TypedScanTest, KeysForAnotherWindowAreNeverTranslated) {
    FakeDesktop::title() = "Untitled - Notepad";
    shifted('A');
    stroke(kCircumflex);
    stroke(kVkReturn);
    EXPECT_EQ(0, layouts.typeCalls);
    EXPECT_TRUE(takeAllScans().empty());
    EXPECT_EQ(0, FakeDesktop::closes());
    // The accent typed into the other window does not reach the scan.
    FakeDesktop::title() = kScanDialogTitle;
    stroke('A');
    stroke(kVkReturn);
    EXPECT_EQ(Scans{"a"}, takeAllScans());
}

// A replay translates each missed key with the layout and the window of the
// moment it was typed, whatever is in force and in front now.
TEST_F(TypedScanTest, ReplayedKeysKeepTheirLayoutAndWindow) {
    auto replay = [](unsigned vk, bool inFront, LayoutId layout) {
        replayKeyEvent(KeyEvent{kMessageKeyDown, vk, 0, false, layout}, inFront);
        replayKeyEvent(KeyEvent{kMessageKeyUp, vk, 0, false, layout}, inFront);
    };
    FakeDesktop::title() = "Untitled - Notepad";
    layouts.inForce = capture_test::kUnitedStates;
    replay(kOem4, true, capture_test::kGerman);
    replay('Z', false, capture_test::kGerman);
    replay(kOem4, true, capture_test::kFrench);
    replay(kVkReturn, true, capture_test::kGerman);
    EXPECT_EQ(Scans{"\xC3\x9F)"}, takeAllScans());  // ß from German, ) from French
    EXPECT_EQ(0, layouts.currentCalls);
}

}  // namespace
