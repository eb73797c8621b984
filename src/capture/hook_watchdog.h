#pragma once
// The keyboard hook's watchdog. Windows silently removes a low-level hook
// that once overran the system's hook time-out, and from then on no key
// reaches it. The desktop side also receives every key event a second way
// (raw keyboard input to the hidden window, delivered whichever window is in
// front) and reports both here: the hook's path only notes its event, so it
// stays a few stores. The two streams are the same sequence of key presses
// and releases while the hook works, whichever of the two the system reports
// an event to first and however late (Windows calls the hook before it
// generates raw input; Wine queues raw input first, and a busy thread reads
// its raw input late). So raw events are paired with the hook's calls by the
// key event, in order, not by counts or times: raw events that no call of
// the hook has answered, left waiting for about half a second, mean the hook
// is gone; the desktop side then installs it again and replays those events,
// so the keys typed in between are not lost.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One key event as raw input reports it: the window message (WM_KEYDOWN,
// WM_KEYUP, WM_SYSKEYDOWN, WM_SYSKEYUP), the virtual-key code as the hook
// sees it, and whether the scan dialog was the window in front when it
// arrived (a replay must count it for the window it was typed into).
struct RawKeyEvent {
    unsigned message = 0;
    unsigned vkCode = 0;
    bool dialogInFront = false;
};

// The raw keyboard record's fields that matter here, as RAWKEYBOARD has them.
struct RawKeyboardFields {
    unsigned vKey = 0;
    unsigned makeCode = 0;
    unsigned flags = 0;  // RI_KEY_E0 is 2
};

// The virtual-key code the hook receives for a raw keyboard record, or none
// for the keyboard's own filler events (key code 0xFF, and the Shift with
// the E0 prefix sent around the grey navigation keys), which the hook never
// sees as keys. Raw input names both Shift keys VK_SHIFT and tells them apart
// by the scan code; the hook sees VK_LSHIFT and VK_RSHIFT.
std::optional<unsigned> hookKeyOfRawInput(const RawKeyboardFields& raw);

// The test-only hot key that drops the hook works only when the environment
// variable's value (null when unset) is exactly "1".
bool hookDropForTestsAllowed(const char* variableValue);

class HookWatchdog {
public:
    // Events kept for a replay; older ones missed by the hook are counted
    // as dropped.
    static constexpr std::size_t kKeptEvents = 512;
    // How long the hook may lag behind raw input before the timer counts it
    // as lost.
    static constexpr std::uint64_t kAnswerMs = 500;
    // The least an event must have waited for the hook before an urgent check
    // counts it as missed: far longer than the hook and raw input ever lie
    // apart while the hook works.
    static constexpr std::uint64_t kUrgentAnswerMs = 150;
    // The hook's procedure was called for a key event: only noted, so that
    // the hook's path stays a few stores.
    void hookCalled(unsigned message, unsigned vkCode) {
        hookKept_[hookCalls_ % kKeptEvents] = HookKept{message, vkCode};
        ++hookCalls_;
    }

    // Raw input reported a key event at nowMs.
    void rawKeyEvent(RawKeyEvent event, std::uint64_t nowMs);

    // What a check found.
    struct Loss {
        std::vector<RawKeyEvent> missed;  // events the hook did not see, oldest first
        std::size_t dropped = 0;          // missed events no longer kept
        // The hook was not called once since the previous loss: reinstalling
        // did not bring it back (keys to a window the hook may not see, say).
        bool again = false;
    };

    enum class Verdict {
        working,  // nothing waits for the hook
        waiting,  // events wait, not yet long enough to tell (urgent checks only)
        lost,     // loss holds the events the hook missed
    };

    // The periodic check (urgent false): lost when at least two key events
    // that no call of the hook answered have waited kAnswerMs or
    // longer; a lone event that waited as long was seen by raw input alone
    // and is settled. Urgent, before acting on what the hook collected (the
    // scan dialog's OK button): one event is enough, once it has waited
    // kUrgentAnswerMs; younger ones give waiting, and the caller lets the
    // thread serve the hook a moment and asks again. After a loss the
    // watchdog starts over as after a reinstall.
    Verdict check(std::uint64_t nowMs, bool urgent, Loss& loss);

    // The hook was installed again: what raw input saw so far is settled.
    void restart();

    // The line to write after a loss was handled; level 0 writes nothing.
    struct Report {
        int level = 0;
        std::string text;
    };
    // installError: 0 when installing the hook again worked, else the
    // system's error. A working reinstall is told at level 1, or at level 3
    // when the hook stayed silent since the previous one. A failing one is
    // told at level 1 once, then at level 3 at most once a minute until an
    // install works; when the very first install at start-up failed (which
    // the agent does not log) the failures stay at that level 3.
    Report report(const Loss& loss, int installError, std::uint64_t nowMs);
    // The hook could not be installed at start-up.
    void firstInstallFailed() { firstInstallFailed_ = true; }

private:
    struct Kept {
        RawKeyEvent event;
        std::uint64_t arrivedMs = 0;
    };
    struct HookKept {
        unsigned message = 0;
        unsigned vkCode = 0;
    };
    const Kept& kept(std::uint64_t index) const { return kept_[index % kKeptEvents]; }
    // Pairs the raw events with the hook's calls for the same key events, in
    // their order; moves past those paired and those seen by one side alone.
    void pair();
    // The hook's call hookIndex was for the same key event as raw event rawIndex.
    bool answers(std::uint64_t hookIndex, std::uint64_t rawIndex) const;

    std::uint64_t hookCalls_ = 0;
    std::array<HookKept, kKeptEvents> hookKept_{};
    std::uint64_t rawEvents_ = 0;
    std::array<Kept, kKeptEvents> kept_{};
    // Raw events before this one are settled: answered by the hook, replayed
    // or seen by raw input alone; the hook's calls before hookPaired_ are
    // paired, or were seen by the hook alone.
    std::uint64_t rawPaired_ = 0;
    std::uint64_t hookPaired_ = 0;
    bool lostBefore_ = false;
    std::uint64_t hookCallsAtLastLoss_ = 0;

    bool firstInstallFailed_ = false;
    bool failureTold_ = false;
    std::uint64_t lastFailureLineMs_ = 0;
};
