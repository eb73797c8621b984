#pragma once
// The keyboard hook's watchdog. Windows silently removes a low-level hook
// that once overran the system's hook time-out, and from then on no key
// reaches it. The desktop side also receives every key event a second way
// (raw keyboard input to the hidden window, delivered whichever window is in
// front) and reports both here: the hook's calls are only counted, so the
// hook's own path stays one increment. Key events that raw input saw and the
// hook did not, kept for about half a second, mean the hook is gone; the
// desktop side then installs it again and replays those events, so the keys
// typed in between are not lost.
//
// The two streams are the same sequence of key presses and releases while the
// hook works; which of the two reports an event first is up to the system,
// so one event may be counted by one side before the other.
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// One key event as raw input reports it: the window message (WM_KEYDOWN,
// WM_KEYUP, WM_SYSKEYDOWN, WM_SYSKEYUP) and the virtual-key code.
struct RawKeyEvent {
    unsigned message = 0;
    unsigned vkCode = 0;
};

class HookWatchdog {
public:
    // Events kept for a replay; older ones missed by the hook are counted
    // as dropped.
    static constexpr std::size_t kKeptEvents = 512;
    // How long the hook may lag behind raw input before it counts as lost.
    static constexpr std::uint64_t kAnswerMs = 500;

    // The hook's procedure was called for a key event.
    void hookCalled() { ++hookCalls_; }

    // Raw input reported a key event at nowMs (a monotonic clock).
    void rawKeyEvent(RawKeyEvent event, std::uint64_t nowMs);

    // What a check found.
    struct Loss {
        std::vector<RawKeyEvent> missed;  // events the hook did not see, oldest first
        std::size_t dropped = 0;          // missed events no longer kept
        // The hook was not called once since the previous loss: reinstalling
        // did not bring it back (keys to a window the hook may not see, say).
        bool again = false;
    };

    // The periodic check: true when at least two key events have waited
    // kAnswerMs or longer with no call of the hook since they arrived; loss
    // then holds them, and the watchdog starts over as after a reinstall.
    // Events that waited as long while the hook went on working were seen by
    // raw input alone; they are settled, not reported.
    // urgent: the caller is about to act on what the hook collected (the
    // scan dialog's OK button); one waiting event is enough and it need not
    // have waited.
    bool hookLost(std::uint64_t nowMs, bool urgent, Loss& loss);

    // The hook was installed again: what raw input saw so far is settled.
    void restart();

private:
    struct Kept {
        RawKeyEvent event;
        std::uint64_t arrivedMs = 0;
        std::uint64_t hookCallsAtArrival = 0;
    };
    // Events raw input reported that the hook has not answered, at most.
    std::uint64_t lag() const;
    // The newest events that arrived after the hook's latest call.
    std::uint64_t eventsSinceLastHookCall() const;

    std::uint64_t hookCalls_ = 0;
    std::uint64_t rawEvents_ = 0;
    // rawEvents_ - hookCalls_ when the two were last known to agree, modulo
    // 2^64: it stands for a negative difference when the hook is ahead.
    std::uint64_t offset_ = 0;
    std::array<Kept, kKeptEvents> kept_{};
    bool lostBefore_ = false;
    std::uint64_t hookCallsAtLastLoss_ = 0;
};
