// Key events through the layout translation to probe answers: any sequence of
// key events, Unicode packets, layout switches and windows in front goes
// through KeyTranslator over the German, French, UK and US layouts (built
// from the test fixtures), and the scans it makes through the scan queue and
// the probe. Checked all along: what a key adds is valid UTF-8 without a
// control character, nothing is added while the dialog is not in front, and
// every probe answer stays within its bytes and holds the scans whole or, for
// one too long for any answer, cut at a character boundary.
//
// Input: 1 byte (bit 0: the dialog is in front at the start), then events of
// 3 bytes: operation, key, extra.
//   operation & 0x07: 0 key down, 1 key up, 2 system key down, 3 system key
//     up (the scan code is extra, operation & 0x80 marks an extended key),
//     4 a Unicode packet's press and release (the unit is key << 8 | extra),
//     5 the layout in force: key % 5 (the fifth is one without tables),
//     6 the dialog in front or not (key bit 0), 7 a probe.
#include <deque>
#include <string>

#include "../unit/capture/fixture_layouts.h"
#include "capture/key_translation.h"
#include "capture/key_translator.h"
#include "common/utf8.h"
#include "fuzz_support.h"
#include "scans/probe.h"
#include "scans/scan_buffer.h"
#include "scans_test_support.h"

namespace {

using namespace capture_test;

const LayoutId kLayouts[] = {kGerman, kFrench, kUnitedKingdom, kUnitedStates, 0x04150415};

// Valid UTF-8 throughout, with no control character (C0, DEL or C1).
bool cleanUtf8(const std::string& text) {
    std::size_t at = 0;
    while (at < text.size()) {
        bool valid = true;
        const char32_t c = decodeUtf8(text, at, valid);
        if (!valid || c < 0x20 || (c >= 0x7F && c < 0xA0)) return false;
    }
    return true;
}

// A probe answer against the scans committed, oldest first.
void probe(std::deque<std::string>& committed) {
    std::string answer = "stale";
    FUZZ_CHECK(probeScans(answer));
    FUZZ_CHECK(answer.size() <= kMaxProbeAnswer);
    std::size_t start = 0;
    while (start < answer.size()) {
        FUZZ_CHECK(!committed.empty());
        const std::size_t end = answer.find('\n', start);
        FUZZ_CHECK(end != std::string::npos);
        const std::string scan = answer.substr(start, end - start);
        const std::string& expected = committed.front();
        FUZZ_CHECK(cleanUtf8(scan));
        if (expected.size() > kMaxScanLength) {
            // Alone, cut at most 3 bytes short, never inside a character.
            FUZZ_CHECK(start == 0 && end + 1 == answer.size());
            FUZZ_CHECK(scan.size() + 3 >= kMaxScanLength);
            FUZZ_CHECK(expected.compare(0, scan.size(), scan) == 0);
        } else {
            FUZZ_CHECK(scan == expected);
        }
        committed.pop_front();
        start = end + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::initializeProcess();
    initializeScanBufferLock();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static FixtureLayouts* layouts = new FixtureLayouts;
    fuzz::InputReader input(data, size);
    bool inFront = (input.byte() & 1) != 0;
    layouts->inForce = kUnitedStates;
    KeyboardState keys;
    KeyTranslator translator(*layouts, keys);
    scan_buffer_testing::clearScanBuffer();
    std::string pending;
    std::deque<std::string> committed;
    const unsigned kMessages[] = {kMessageKeyDown, kMessageKeyUp, kMessageSysKeyDown,
                                  kMessageSysKeyUp};

    auto event = [&](const KeyEvent& e) {
        const KeyOutcome outcome = translator.onKey(e, [&] { return inFront; });
        FUZZ_CHECK(cleanUtf8(outcome.text));
        FUZZ_CHECK(inFront || (outcome.text.empty() && outcome.action == KeyOutcome::Action::none));
        pending += outcome.text;
        if (outcome.action == KeyOutcome::Action::commit) {
            appendScan(pending);
            committed.push_back(pending);
            pending.clear();
        } else if (outcome.action == KeyOutcome::Action::backspace) {
            pending.erase(lastCharacterStart(pending));
        }
        FUZZ_CHECK(cleanUtf8(pending));
    };

    while (input.remaining() >= 3) {
        const uint8_t operation = input.byte();
        const uint8_t key = input.byte();
        const uint8_t extra = input.byte();
        const int kind = operation & 0x07;
        if (kind <= 3) {
            event(KeyEvent{kMessages[kind], key, extra, (operation & 0x80) != 0, 0});
        } else if (kind == 4) {
            const unsigned unit = static_cast<unsigned>(key) << 8 | extra;
            event(KeyEvent{kMessageKeyDown, kVkPacket, unit, false, 0});
            event(KeyEvent{kMessageKeyUp, kVkPacket, unit, false, 0});
        } else if (kind == 5) {
            layouts->inForce = kLayouts[key % (sizeof kLayouts / sizeof kLayouts[0])];
        } else if (kind == 6) {
            inFront = (key & 1) != 0;
        } else {
            probe(committed);
        }
    }
    while (!committed.empty()) probe(committed);
    std::string answer;
    FUZZ_CHECK(probeScans(answer) && answer.empty());
    return 0;
}
