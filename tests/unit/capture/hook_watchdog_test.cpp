#include "capture/hook_watchdog.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <tuple>
#include <vector>

#include "capture/key_translation.h"

namespace {

// Which side the system reports a key event to first. Windows calls the
// low-level hook before it generates raw input; Wine queues raw input first.
enum class Order { hookFirst, rawFirst };

// A keyboard that feeds both sides of the watchdog, 10 ms per event, the
// second side lagMs after the first (the event still on its way), and runs
// the periodic check every 250 ms as the hidden window's timer does.
class Keyboard {
public:
    Keyboard(Order order, std::uint64_t lagMs) : order_(order), lagMs_(lagMs) {}

    bool hookAlive = true;
    bool rawSees = true;   // raw input reports the events
    bool hookSees = true;  // the hook is called for them (while alive)
    bool dialogInFront = true;

    void event(unsigned message, unsigned vk) {
        const bool hook = hookAlive && hookSees;
        const std::uint64_t hookAt = order_ == Order::hookFirst ? now : now + lagMs_;
        const std::uint64_t rawAt = order_ == Order::rawFirst ? now : now + lagMs_;
        const Report toHook{hookAt, true, RawKeyEvent{message, vk, false}};
        const Report toRaw{rawAt, false, RawKeyEvent{message, vk, dialogInFront}};
        // In the order the system reports them.
        if (hook && order_ == Order::hookFirst) pending_.push_back(toHook);
        if (rawSees) pending_.push_back(toRaw);
        if (hook && order_ == Order::rawFirst) pending_.push_back(toHook);
        deliver();
        advance(10);
    }
    void stroke(unsigned vk) {
        event(kMessageKeyDown, vk);
        event(kMessageKeyUp, vk);
    }
    void type(const std::string& text) {
        for (char c : text) stroke(static_cast<unsigned char>(c));
    }
    // Lets time pass with the periodic checks; collects what they find.
    void advance(std::uint64_t ms) {
        for (std::uint64_t i = 0; i < ms; ++i) {
            ++now;
            deliver();
            if (now % 250 == 0) check(false);
        }
    }
    // An urgent check as the OK button makes it: while the watchdog cannot
    // tell yet, the thread serves the hook and raw input and asks again.
    void check(bool urgent) {
        HookWatchdog::Loss loss;
        for (int i = 0; i < 100; ++i) {
            const HookWatchdog::Verdict verdict = watchdog.check(now, urgent, loss);
            if (verdict == HookWatchdog::Verdict::lost) {
                losses.push_back(loss);
                lostAt.push_back(now);
                if (reinstallOnLoss) {
                    hookAlive = true;
                    watchdog.restart();
                }
            }
            if (verdict != HookWatchdog::Verdict::waiting) return;
            ASSERT_TRUE(urgent);
            ++waits;
            for (int ms = 0; ms < 10; ++ms) {
                ++now;
                deliver();
            }
        }
        FAIL() << "an urgent check never decided";
    }
    // The key-down characters of the missed events of loss i.
    std::string missedPresses(std::size_t i) const {
        std::string text;
        for (const RawKeyEvent& e : losses.at(i).missed) {
            if (e.message == kMessageKeyDown) text += static_cast<char>(e.vkCode);
        }
        return text;
    }

    HookWatchdog watchdog;
    std::uint64_t now = 1000;
    std::vector<HookWatchdog::Loss> losses;
    std::vector<std::uint64_t> lostAt;
    bool reinstallOnLoss = false;
    int waits = 0;

private:
    struct Report {
        std::uint64_t atMs;
        bool hook;
        RawKeyEvent event;
    };
    void deliver() {
        while (!pending_.empty() && pending_.front().atMs <= now) {
            const Report r = pending_.front();
            pending_.pop_front();
            if (r.hook) {
                watchdog.hookCalled(r.event.message, r.event.vkCode);
            } else {
                watchdog.rawKeyEvent(r.event, now);
            }
        }
    }

    Order order_;
    std::uint64_t lagMs_;
    std::deque<Report> pending_;  // in time order: both sides lag alike
};

// Both orders, with the second side's report arriving at once or a few
// milliseconds later.
class HookWatchdogTest : public ::testing::TestWithParam<std::tuple<Order, int>> {
protected:
    Keyboard k{std::get<0>(GetParam()), static_cast<std::uint64_t>(std::get<1>(GetParam()))};
    bool hookFirst() const { return std::get<0>(GetParam()) == Order::hookFirst; }
};

TEST_P(HookWatchdogTest, AWorkingHookIsNeverReportedLost) {
    for (int i = 0; i < 20; ++i) {
        k.type("SCAN0123456789");
        k.check(true);  // the OK button after the scan
        k.advance(i * 37);
        k.check(true);
    }
    // A key held down: its press waits long for its release.
    k.event(kMessageKeyDown, 'A');
    k.advance(3000);
    k.event(kMessageKeyUp, 'A');
    k.advance(1000);
    k.check(true);
    EXPECT_TRUE(k.losses.empty());
}

// The check falls between the hook's call and the same event's raw report
// (or the other way round): nothing is missing, whatever kind of check.
TEST_P(HookWatchdogTest, AnEventStillOnItsWayIsNoLoss) {
    for (int i = 0; i < 30; ++i) {
        k.event(kMessageKeyDown, 'A' + i % 26);
        k.check(true);
        k.check(false);
        k.event(kMessageKeyUp, 'A' + i % 26);
        k.check(true);
    }
    k.advance(2000);
    k.check(true);
    EXPECT_TRUE(k.losses.empty());
}

// A busy thread reads its raw input late: the hook has answered several key
// events before raw input reports the first of them. Nothing is missing; a
// loss after it still replays exactly the keys the hook missed.
TEST(HookWatchdogLateRawInput, IsPairedByTheKeyEventNotByTime) {
    Keyboard k(Order::hookFirst, 300);
    for (int i = 0; i < 5; ++i) {
        k.type("tab1");
        k.stroke('\t');
        k.check(true);
        k.advance(100);
    }
    k.advance(1000);
    EXPECT_TRUE(k.losses.empty());
    k.event(kMessageKeyDown, 'Q');
    k.hookAlive = false;
    k.event(kMessageKeyUp, 'Q');
    k.type("RS");
    k.advance(2000);
    ASSERT_EQ(1u, k.losses.size());
    EXPECT_EQ("RS", k.missedPresses(0));
    EXPECT_EQ(5u, k.losses[0].missed.size());  // Q's release, R and S
}

TEST_P(HookWatchdogTest, ALostHookIsFoundWithinASecondWithEveryKeyItMissed) {
    k.type("AB");
    k.advance(2000);
    k.hookAlive = false;
    const std::uint64_t firstMissed = k.now;
    k.type("CDE");
    k.advance(2000);
    ASSERT_EQ(1u, k.losses.size());
    EXPECT_EQ("CDE", k.missedPresses(0));
    EXPECT_EQ(6u, k.losses[0].missed.size());  // presses and releases
    EXPECT_EQ(0u, k.losses[0].dropped);
    EXPECT_FALSE(k.losses[0].again);
    EXPECT_GE(k.lostAt[0], firstMissed + HookWatchdog::kAnswerMs);
    EXPECT_LE(k.lostAt[0], firstMissed + 1000);
    // Reinstalled: the new hook works, nothing more is reported.
    k.hookAlive = true;
    k.watchdog.restart();
    k.type("FGH");
    k.advance(2000);
    EXPECT_EQ(1u, k.losses.size());
}

// The hook answers an event and is lost before raw input reports that same
// event: the replay starts after it, so no character comes twice.
TEST_P(HookWatchdogTest, TheHooksLastAnswerIsNotReplayed) {
    k.type("AB");
    k.event(kMessageKeyDown, 'C');
    k.hookAlive = false;
    k.event(kMessageKeyUp, 'C');
    k.type("DE");
    k.advance(1000);
    ASSERT_EQ(1u, k.losses.size());
    EXPECT_EQ("DE", k.missedPresses(0));
    EXPECT_EQ(5u, k.losses[0].missed.size());  // C's release, D and E
    EXPECT_EQ(kMessageKeyUp, k.losses[0].missed[0].message);
}

TEST_P(HookWatchdogTest, AHookThatStaysSilentAfterAReinstallIsReportedAsAgain) {
    k.hookAlive = false;
    for (int i = 0; i < 3; ++i) {
        k.type("AB");
        k.advance(1000);
        k.watchdog.restart();  // reinstalled, and still not called
    }
    k.hookAlive = true;
    k.type("CD");
    k.hookAlive = false;
    k.type("EF");
    k.advance(1000);
    ASSERT_EQ(4u, k.losses.size());
    EXPECT_FALSE(k.losses[0].again);
    EXPECT_TRUE(k.losses[1].again);
    EXPECT_TRUE(k.losses[2].again);
    EXPECT_FALSE(k.losses[3].again);  // the hook worked in between
    EXPECT_EQ("EF", k.missedPresses(3));
}

// A reader's burst: the scan and Enter, which works the OK button before
// any timer. The urgent check waits the short minimum, then replays exactly
// what the hook missed, Enter included.
TEST_P(HookWatchdogTest, TheOkButtonFindsALostHookAfterAShortWait) {
    k.type("A");
    k.hookAlive = false;
    k.reinstallOnLoss = true;
    k.event(kMessageKeyDown, 'B');
    k.event(kMessageKeyUp, 'B');
    k.event(kMessageKeyDown, '\r');
    const std::uint64_t enterAt = k.now;
    // Enter works the button once the system has handled it, raw input's
    // report included.
    k.advance(std::get<1>(GetParam()));
    k.check(true);
    ASSERT_EQ(1u, k.losses.size());
    EXPECT_EQ("B\r", k.missedPresses(0));
    EXPECT_GE(k.lostAt[0] + 10, enterAt + HookWatchdog::kUrgentAnswerMs - 20);
    EXPECT_LE(k.lostAt[0], enterAt + 50 + 2 * HookWatchdog::kUrgentAnswerMs);
    // The reinstalled hook takes the rest.
    k.event(kMessageKeyUp, '\r');
    k.type("CD");
    k.advance(2000);
    k.check(true);
    EXPECT_EQ(1u, k.losses.size());
}

TEST_P(HookWatchdogTest, TheDialogStateIsKeptWithEachMissedEvent) {
    k.hookAlive = false;
    k.dialogInFront = false;
    k.type("X");
    k.dialogInFront = true;
    k.type("Y");
    k.advance(1000);
    ASSERT_EQ(1u, k.losses.size());
    ASSERT_EQ(4u, k.losses[0].missed.size());
    EXPECT_FALSE(k.losses[0].missed[0].dialogInFront);
    EXPECT_FALSE(k.losses[0].missed[1].dialogInFront);
    EXPECT_TRUE(k.losses[0].missed[2].dialogInFront);
    EXPECT_TRUE(k.losses[0].missed[3].dialogInFront);
}

TEST_P(HookWatchdogTest, EventsOnlyOneSideSeesAreSettled) {
    // Raw input alone sees a key (another program's hook swallowed it after
    // raw input had it, say); the hook keeps working.
    k.hookSees = false;
    k.stroke('X');
    k.hookSees = true;
    k.type("AB");
    k.advance(1000);
    k.type("CD");
    k.advance(1000);
    k.check(true);
    EXPECT_TRUE(k.losses.empty());
    // The hook alone sees some keys.
    k.rawSees = false;
    k.type("EFG");
    k.rawSees = true;
    k.type("HI");
    k.advance(1000);
    EXPECT_TRUE(k.losses.empty());
    // A loss after both is still found, with exactly the missed keys.
    k.hookAlive = false;
    k.type("JK");
    k.advance(1000);
    ASSERT_EQ(1u, k.losses.size());
    EXPECT_EQ("JK", k.missedPresses(0));
}

TEST_P(HookWatchdogTest, MissedEventsBeyondTheKeptOnesAreCounted) {
    k.type("A");
    k.advance(1000);
    k.hookAlive = false;
    // 600 events faster than the timer could report them.
    for (int i = 0; i < 300; ++i) {
        k.watchdog.rawKeyEvent(RawKeyEvent{kMessageKeyDown, 'A', true}, k.now);
        k.watchdog.rawKeyEvent(RawKeyEvent{kMessageKeyUp, 'A', true}, k.now);
    }
    k.advance(1000);
    ASSERT_EQ(1u, k.losses.size());
    EXPECT_EQ(HookWatchdog::kKeptEvents, k.losses[0].missed.size());
    EXPECT_EQ(600 - HookWatchdog::kKeptEvents, k.losses[0].dropped);
}

INSTANTIATE_TEST_SUITE_P(BothOrders, HookWatchdogTest,
                         ::testing::Combine(::testing::Values(Order::hookFirst, Order::rawFirst),
                                            ::testing::Values(0, 3, 40)),
                         [](const ::testing::TestParamInfo<std::tuple<Order, int>>& info) {
                             return std::string(std::get<0>(info.param) == Order::hookFirst
                                                    ? "HookFirst"
                                                    : "RawFirst") +
                                    "Lag" + std::to_string(std::get<1>(info.param));
                         });

// The lines a handled loss writes, in order, for one watchdog.
TEST(HookWatchdogReport, LevelsAndRateOfTheLines) {
    struct Step {
        std::uint64_t atMs;
        bool again;
        int installError;
        int level;  // 0: no line
        const char* text;
    };
    const char kInstalled[] =
        "Keyboard hook no longer receives keys - installed again, 2 missed "
        "key events replayed, 0 lost";
    const char kFailed[] =
        "Keyboard hook no longer receives keys - installing it again failed, "
        "error 5";
    const Step steps[] = {
        {1000, false, 0, 1, kInstalled},  // a working reinstall
        {2000, true, 0, 3, kInstalled},   // silent since: in detail only
        {3000, false, 5, 1, kFailed},     // the first failure is told
        {3500, false, 5, 0, ""},          // then not within a minute
        {62999, false, 5, 0, ""},
        {63000, false, 5, 3, kFailed},  // then once a minute, in detail
        {64000, false, 5, 0, ""},
        {70000, false, 0, 1, kInstalled},  // installed again: a new start
        {71000, false, 5, 1, kFailed},
    };
    HookWatchdog watchdog;
    HookWatchdog::Loss loss;
    loss.missed.resize(2);
    for (const Step& step : steps) {
        SCOPED_TRACE(step.atMs);
        loss.again = step.again;
        const HookWatchdog::Report report = watchdog.report(loss, step.installError, step.atMs);
        EXPECT_EQ(step.level, report.level);
        if (step.level != 0) {
            EXPECT_EQ(step.text, report.text);
        }
    }
}

// The agent logs nothing when the first install fails; the watchdog's
// attempts after it are told in detail only.
TEST(HookWatchdogReport, AFailedFirstInstallStaysOutOfTheNormalLog) {
    HookWatchdog watchdog;
    watchdog.firstInstallFailed();
    const HookWatchdog::Loss loss;
    EXPECT_EQ(3, watchdog.report(loss, 5, 1000).level);
    EXPECT_EQ(0, watchdog.report(loss, 5, 2000).level);
    EXPECT_EQ(3, watchdog.report(loss, 5, 61000).level);
}

TEST(HookWatchdogRawKeys, TheHooksKeyForARawRecord) {
    constexpr unsigned kE0 = 0x2;
    struct Case {
        RawKeyboardFields raw;
        std::optional<unsigned> hookKey;
    } const cases[] = {
        {{0x10, 0x2A, 0}, 0xA0u},           // left Shift
        {{0x10, 0x36, 0}, 0xA1u},           // right Shift, by its scan code
        {{0x10, 0x2A, kE0}, std::nullopt},  // the filler Shift around grey keys
        {{0x10, 0x36, kE0 | 1}, std::nullopt},
        {{0xFF, 0x00, 0}, std::nullopt},  // no key
        {{0x41, 0x1E, 0}, 0x41u},         // A
        {{0x0D, 0x1C, kE0}, 0x0Du},       // keypad Enter
        {{0x5B, 0x5B, kE0}, 0x5Bu},       // left Windows key
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.raw.vKey);
        EXPECT_EQ(c.hookKey, hookKeyOfRawInput(c.raw));
    }
}

TEST(HookWatchdogRawKeys, TheDropHotKeyNeedsTheVariableSetToOne) {
    EXPECT_FALSE(hookDropForTestsAllowed(nullptr));
    EXPECT_FALSE(hookDropForTestsAllowed(""));
    EXPECT_FALSE(hookDropForTestsAllowed("0"));
    EXPECT_FALSE(hookDropForTestsAllowed("true"));
    EXPECT_FALSE(hookDropForTestsAllowed("11"));
    EXPECT_TRUE(hookDropForTestsAllowed("1"));
}

}  // namespace
