// Keystrokes to scans to probe answers: sequences of low-level keyboard events
// go through the hook's translation and handleScanKey on a fake desktop whose
// foreground window the input chooses; probes drain the scan buffer through
// TesselHID::doProbe in between and at the end. A small model of the rules
// follows along, so every answer can be checked: at most 2048 bytes, whole
// scans oldest first, none lost, none delivered twice, and no probe that
// stops while the next scan would still fit.
//
// Input: 1 byte (bit 0: Caps Lock as the system reports it at the first
// event), then events of 3 bytes: operation, key, extra.
//   operation & 0x0F: 0 key down, 1 key up, 2 system key down, 3 system key
//     up, 4 another message (WM_CHAR), 5 the key held down: 1 + 8 * extra
//     presses, 6 probe, 7 a foreground window chosen by key, 8 the scan dialog
//     opens (and comes to the front), 9 its OK button; others are skipped.
//     A probe whose key has bit 0 set is not acknowledged: its scans go back
//     to the front of the queue.
//   operation & 0x80: the key's character is extra itself, not the one a US
//     layout gives the key.
#include <cstring>
#include <deque>
#include <string>

#include "capture/key_translation.h"
#include "capture/scan_assembly.h"
#include "fuzz_support.h"
#include "scans/probe.h"
#include "scans/scan_buffer.h"
#include "scans/tessel_hid.h"
#include "test_support.h"

namespace {

const char* const kTitles[] = {"Vexmoor HID", "Untitled - Notepad", "Vexmoor HID ", "vexmoor hid",
                               ""};
const unsigned kCharMessage = 0x102;

// What MapVirtualKeyA(vk, MAPVK_VK_TO_CHAR) gives on a US layout.
unsigned char usCharacter(unsigned vk) {
    if ((vk >= '0' && vk <= '9') || (vk >= 'A' && vk <= 'Z')) return static_cast<unsigned char>(vk);
    if (vk >= 0x60 && vk <= 0x69) return static_cast<unsigned char>('0' + vk - 0x60);
    switch (vk) {
        case 0x08:
            return 8;
        case 0x09:
            return 9;
        case 0x0D:
            return 13;
        case 0x1B:
            return 27;
        case 0x20:
            return ' ';
        case 0x6A:
            return '*';
        case 0x6B:
            return '+';
        case 0x6D:
            return '-';
        case 0x6E:
            return '.';
        case 0x6F:
            return '/';
        case 0xBA:
            return ';';
        case 0xBB:
            return '=';
        case 0xBC:
            return ',';
        case 0xBD:
            return '-';
        case 0xBE:
            return '.';
        case 0xBF:
            return '/';
        case 0xC0:
            return '`';
        case 0xDB:
            return '[';
        case 0xDC:
            return '\\';
        case 0xDD:
            return ']';
        case 0xDE:
            return '\'';
        default:
            return 0;
    }
}

std::string& foregroundTitle() {
    static std::string title;
    return title;
}

int& dialogCloses() {
    static int closes = 0;
    return closes;
}

// The rules as the agent's users see them.
class Model {
public:
    explicit Model(bool capsLock) : capsLock_(capsLock) {}

    void keyEvent(unsigned message, unsigned vk, unsigned char mapped) {
        const bool shiftKey = vk == 0xA0 || vk == 0xA1;
        if (message == 0x101 || message == 0x105) {
            if (shiftKey) shift_ = false;
            if (vk == 0x14) capsLock_ = !capsLock_;
            if (vk == 0x5B) leftWindows_ = false;
            if (vk == 0x5C) rightWindows_ = false;
            return;
        }
        if (message != 0x100 && message != 0x104) return;
        if (shiftKey) {
            shift_ = true;
            return;
        }
        // A key pressed with a Windows key held is a shortcut.
        if (vk == 0x5B) leftWindows_ = true;
        if (vk == 0x5C) rightWindows_ = true;
        if (leftWindows_ || rightWindows_) return;
        // The US layout: Caps Lock changes letters only.
        unsigned char c = mapped;
        const char* keys = "`1234567890-=\\[];',./";
        const char* shifted = "~!@#$%^&*()_+|{}:\"<>?";
        const char* row = c != 0 ? std::strchr(keys, c) : nullptr;
        if (c >= 'A' && c <= 'Z') {
            if (shift_ == capsLock_) c = static_cast<unsigned char>(c + 32);
        } else if (shift_ && row != nullptr) {
            c = static_cast<unsigned char>(shifted[row - keys]);
        }
        scanKey(c);
    }

    void scanKey(unsigned char c) {
        if (foregroundTitle() != "Vexmoor HID") return;
        if (c == 13 || c == 9) {
            queued.push_back(pending_);
            pending_.clear();
            ++commits;
            closedByCommit_ = true;
        } else if (c == 8) {
            if (!pending_.empty()) pending_.pop_back();
        } else if (c >= 32 && c <= 126) {
            pending_ += static_cast<char>(c);
        }
    }

    void dialogOpened() { closedByCommit_ = false; }
    void okButton() {
        if (!closedByCommit_) scanKey(13);
    }

    std::deque<std::string> queued;
    int commits = 0;
    int delivered = 0;

private:
    bool shift_ = false;
    bool leftWindows_ = false;
    bool rightWindows_ = false;
    bool capsLock_;
    bool closedByCommit_ = false;
    std::string pending_;
};

// One probe, checked against the scans the model has queued, then answered
// as the session does: delivered (acknowledged) or not, in which case its
// scans go back to the front of the queue and the next probe carries them.
void probe(TesselHID& session, Model& model, bool delivered) {
    std::string answer = "stale";
    FUZZ_CHECK(session.doProbe(answer));
    FUZZ_CHECK(answer.size() <= kMaxProbeAnswer);
    if (model.queued.empty()) {
        FUZZ_CHECK(answer.empty());
        FUZZ_CHECK(session.probeAnswered(delivered) == 0);
        return;
    }
    FUZZ_CHECK(!answer.empty() && answer.back() == '\n');
    size_t start = 0;
    size_t count = 0;
    while (start < answer.size()) {
        FUZZ_CHECK(count < model.queued.size());
        size_t end = answer.find('\n', start);
        const std::string scan = answer.substr(start, end - start);
        const std::string& expected = model.queued[count];
        if (expected.size() > kMaxScanLength) {
            // Too long for any answer: it goes out alone, cut.
            FUZZ_CHECK(start == 0 && end + 1 == answer.size());
            FUZZ_CHECK(scan == expected.substr(0, kMaxScanLength));
        } else {
            FUZZ_CHECK(scan == expected);
        }
        ++count;
        start = end + 1;
    }
    // The probe stops only when the next scan does not fit.
    if (count < model.queued.size() && answer.size() < kMaxProbeAnswer) {
        FUZZ_CHECK(model.queued[count].size() > kMaxProbeAnswer - answer.size() - 1);
    }
    const int kept = session.probeAnswered(delivered);
    if (!delivered) {
        FUZZ_CHECK(kept == static_cast<int>(count));
        return;
    }
    FUZZ_CHECK(kept == 0);
    for (size_t i = 0; i < count; ++i) model.queued.pop_front();
    model.delivered += static_cast<int>(count);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::initializeProcess();
    initializeScanBufferLock();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::InputReader input(data, size);
    const bool capsLockAtStart = (input.byte() & 1) != 0;

    testing_support::ScopedSeams seams;
    scan_assembly_testing::resetScanAssembly();
    scan_buffer_testing::clearScanBuffer();
    foregroundTitle() = "";
    dialogCloses() = 0;
    desktopSeam() = DesktopSeam{[] { return foregroundTitle(); }, [] { ++dialogCloses(); }};

    TesselHID session;
    Model model(capsLockAtStart);
    // The hook, at every event: the system's Caps Lock state once, then the event.
    auto hookEvent = [&](unsigned message, unsigned vk, unsigned char mapped) {
        if (needsInitialCapsLock()) setInitialCapsLock(capsLockAtStart);
        handleKeyboardEvent(message, vk, mapped);
        model.keyEvent(message, vk, mapped);
    };
    const unsigned kMessages[] = {0x100, 0x101, 0x104, 0x105, kCharMessage};

    while (input.remaining() >= 3) {
        const uint8_t operation = input.byte();
        const uint8_t key = input.byte();
        const uint8_t extra = input.byte();
        const unsigned char mapped = (operation & 0x80) != 0 ? extra : usCharacter(key);
        const int kind = operation & 0x0F;
        if (kind <= 4) {
            // Only a key press asks the system for its character.
            const unsigned message = kMessages[kind];
            hookEvent(message, key, keyEventKind(message) == KeyEventKind::press ? mapped : 0);
        } else if (kind == 5) {
            for (int i = 0; i < 1 + 8 * extra; ++i) hookEvent(0x100, key, usCharacter(key));
        } else if (kind == 6) {
            // Bit 0 of the key: the peer did not acknowledge the answer.
            probe(session, model, (key & 1) == 0);
        } else if (kind == 7) {
            foregroundTitle() = kTitles[key % (sizeof kTitles / sizeof kTitles[0])];
        } else if (kind == 8) {
            foregroundTitle() = "Vexmoor HID";
            scanDialogOpened();
            model.dialogOpened();
        } else if (kind == 9) {
            scanDialogOk();
            model.okButton();
        }
        FUZZ_CHECK(dialogCloses() == model.commits);
    }

    // Drain: every committed scan comes out, each probe taking at least one.
    while (!model.queued.empty()) probe(session, model, true);
    probe(session, model, true);
    FUZZ_CHECK(model.delivered == model.commits);

    scan_assembly_testing::resetScanAssembly();
    scan_buffer_testing::clearScanBuffer();
    session.ShutdownThread();
    return 0;
}
