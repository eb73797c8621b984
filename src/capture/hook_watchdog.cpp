#include "capture/hook_watchdog.h"

#include <algorithm>
#include <cstring>

#include "capture/key_translation.h"
#include "common/text_format.h"

namespace {

constexpr unsigned kVkShift = 0x10;
constexpr unsigned kNoVirtualKey = 0xFF;
constexpr unsigned kRightShiftScanCode = 0x36;
constexpr unsigned kE0Prefix = 0x2;  // RI_KEY_E0
// A reinstall that keeps failing is told again at most this often.
constexpr std::uint64_t kFailureLineEveryMs = 60 * 1000;

}  // namespace

std::optional<unsigned> hookKeyOfRawInput(const RawKeyboardFields& raw) {
    if (raw.vKey == kNoVirtualKey) return std::nullopt;
    if (raw.vKey != kVkShift) return raw.vKey;
    if ((raw.flags & kE0Prefix) != 0) return std::nullopt;
    return raw.makeCode == kRightShiftScanCode ? kVkRightShift : kVkLeftShift;
}

bool hookDropForTestsAllowed(const char* variableValue) {
    return variableValue != nullptr && std::strcmp(variableValue, "1") == 0;
}

namespace {

// Raw input names the Control and Alt keys as the generic keys, the hook as
// the left or right one; a press is a press whatever its message.
unsigned genericKey(unsigned vkCode) {
    switch (vkCode) {
        case kVkLeftShift:
        case kVkRightShift:
            return kVkShift;
        case 0xA2:  // VK_LCONTROL
        case 0xA3:  // VK_RCONTROL
            return 0x11;
        case 0xA4:  // VK_LMENU
        case 0xA5:  // VK_RMENU
            return 0x12;
        default:
            return vkCode;
    }
}

bool sameKeyEvent(const RawKeyEvent& raw, unsigned hookMessage, unsigned hookVkCode) {
    return keyEventKind(raw.message) == keyEventKind(hookMessage) &&
           genericKey(raw.vkCode) == genericKey(hookVkCode);
}

}  // namespace

void HookWatchdog::rawKeyEvent(RawKeyEvent event, std::uint64_t nowMs) {
    kept_[rawEvents_ % kKeptEvents] = Kept{event, nowMs};
    ++rawEvents_;
    pair();
}

bool HookWatchdog::answers(std::uint64_t hookIndex, std::uint64_t rawIndex) const {
    const HookKept& call = hookKept_[hookIndex % kKeptEvents];
    return sameKeyEvent(kept(rawIndex).event, call.message, call.vkCode);
}

void HookWatchdog::pair() {
    // What has scrolled out of either ring is past pairing.
    hookPaired_ =
        std::max(hookPaired_, hookCalls_ - std::min<std::uint64_t>(hookCalls_, kKeptEvents));
    const std::uint64_t rawFirst =
        std::max(rawPaired_, rawEvents_ - std::min<std::uint64_t>(rawEvents_, kKeptEvents));
    std::uint64_t hook = hookPaired_;
    for (std::uint64_t i = rawFirst; i < rawEvents_ && hook < hookCalls_; ++i) {
        std::uint64_t answer = hook;
        if (!answers(hook, i)) {
            // The raw event after it is the hook's next: this one was seen by
            // raw input alone. Otherwise the hook's calls before the one for
            // this event were seen by the hook alone.
            if (i + 1 < rawEvents_ && answers(hook, i + 1)) continue;
            ++answer;
            while (answer < hookCalls_ && !answers(answer, i)) ++answer;
            if (answer == hookCalls_) continue;  // no call answered it (yet)
        }
        hook = answer + 1;
        // Everything up to here is settled, unanswered raw events before
        // this one included: the hook has moved past them.
        rawPaired_ = i + 1;
        hookPaired_ = hook;
    }
}

HookWatchdog::Verdict HookWatchdog::check(std::uint64_t nowMs, bool urgent, Loss& loss) {
    loss = Loss{};
    pair();
    if (rawPaired_ >= rawEvents_) return Verdict::working;
    const std::uint64_t waiting = rawEvents_ - rawPaired_;
    // Older than the ring holds, the first has waited long enough for sure.
    const bool ringHoldsFirst = waiting <= kKeptEvents;
    const std::uint64_t arrivedMs = ringHoldsFirst ? kept(rawPaired_).arrivedMs : 0;
    const std::uint64_t waitedMs = nowMs - std::min(arrivedMs, nowMs);
    if (urgent) {
        if (waitedMs < kUrgentAnswerMs) return Verdict::waiting;
    } else {
        if (waitedMs < kAnswerMs) return Verdict::working;
        if (waiting < 2) {
            // A lone event: seen by raw input alone.
            restart();
            return Verdict::working;
        }
    }
    const std::uint64_t keptFirst = ringHoldsFirst ? rawPaired_ : rawEvents_ - kKeptEvents;
    loss.dropped = static_cast<std::size_t>(keptFirst - rawPaired_);
    for (std::uint64_t i = keptFirst; i < rawEvents_; ++i) loss.missed.push_back(kept(i).event);
    loss.again = lostBefore_ && hookCalls_ == hookCallsAtLastLoss_;
    lostBefore_ = true;
    hookCallsAtLastLoss_ = hookCalls_;
    restart();
    return Verdict::lost;
}

void HookWatchdog::restart() {
    rawPaired_ = rawEvents_;
    hookPaired_ = hookCalls_;
}

HookWatchdog::Report HookWatchdog::report(const Loss& loss, int installError, std::uint64_t nowMs) {
    if (installError == 0) {
        failureTold_ = false;
        firstInstallFailed_ = false;
        // A hook that stays silent after being installed again is told once
        // at level 1, then only in detail, so that it cannot fill the log.
        return Report{
            loss.again ? 3 : 1,
            formatText("Keyboard hook no longer receives keys - installed again, %d "
                       "missed key events replayed, %d lost",
                       static_cast<int>(loss.missed.size()), static_cast<int>(loss.dropped))};
    }
    if (failureTold_ && nowMs - lastFailureLineMs_ < kFailureLineEveryMs) return Report{};
    const int level = failureTold_ || firstInstallFailed_ ? 3 : 1;
    failureTold_ = true;
    lastFailureLineMs_ = nowMs;
    return Report{level, formatText("Keyboard hook no longer receives keys - installing it again "
                                    "failed, error %d",
                                    installError)};
}
