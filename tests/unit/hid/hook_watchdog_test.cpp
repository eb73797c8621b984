#include "hid/hook_watchdog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hid/key_translation.h"

namespace {

// Which side the system reports a key event to first. Windows calls the
// low-level hook before it generates raw input; Wine queues raw input first.
enum class Order { hookFirst, rawFirst };

// A keyboard that feeds both sides of the watchdog, 10 ms per event, and
// runs the periodic check every 250 ms as the hidden window's timer does.
class Keyboard {
public:
    explicit Keyboard(Order order) : order_(order) {}

    bool hookAlive = true;
    bool rawSees = true;   // raw input reports the events
    bool hookSees = true;  // the hook is called for them (while alive)

    void event(unsigned message, unsigned vk) {
        const bool hook = hookAlive && hookSees;
        if (hook && order_ == Order::hookFirst) watchdog.hookCalled();
        if (rawSees) watchdog.rawKeyEvent(RawKeyEvent{message, vk}, now);
        if (hook && order_ == Order::rawFirst) watchdog.hookCalled();
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
            if (now % 250 == 0) check(false);
        }
    }
    void check(bool urgent) {
        HookWatchdog::Loss loss;
        if (watchdog.hookLost(now, urgent, loss)) {
            losses.push_back(loss);
            lostAt.push_back(now);
        }
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

private:
    Order order_;
};

class HookWatchdogTest : public ::testing::TestWithParam<Order> {};

TEST_P(HookWatchdogTest, AWorkingHookIsNeverReportedLost) {
    Keyboard k(GetParam());
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

TEST_P(HookWatchdogTest, ALostHookIsFoundWithinASecondWithEveryKeyItMissed) {
    Keyboard k(GetParam());
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

TEST_P(HookWatchdogTest, AHookThatStaysSilentAfterAReinstallIsReportedAsAgain) {
    Keyboard k(GetParam());
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

TEST_P(HookWatchdogTest, TheOkButtonFindsALostHookAtOnce) {
    Keyboard k(GetParam());
    k.type("A");
    k.hookAlive = false;
    k.event(kMessageKeyDown, '\r');  // Enter, which works the dialog's OK button
    k.check(false);
    EXPECT_TRUE(k.losses.empty());  // one event is not enough for the timer
    k.check(true);
    ASSERT_EQ(1u, k.losses.size());
    EXPECT_EQ("\r", k.missedPresses(0));
}

TEST_P(HookWatchdogTest, EventsOnlyOneSideSeesAreSettled) {
    Keyboard k(GetParam());
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
    Keyboard k(GetParam());
    k.hookAlive = false;
    // 600 events faster than the timer could report them.
    for (int i = 0; i < 300; ++i) {
        k.watchdog.rawKeyEvent(RawKeyEvent{kMessageKeyDown, 'A'}, k.now);
        k.watchdog.rawKeyEvent(RawKeyEvent{kMessageKeyUp, 'A'}, k.now);
    }
    k.advance(1000);
    ASSERT_EQ(1u, k.losses.size());
    EXPECT_EQ(HookWatchdog::kKeptEvents, k.losses[0].missed.size());
    EXPECT_EQ(600 - HookWatchdog::kKeptEvents, k.losses[0].dropped);
}

INSTANTIATE_TEST_SUITE_P(BothOrders, HookWatchdogTest,
                         ::testing::Values(Order::hookFirst, Order::rawFirst),
                         [](const ::testing::TestParamInfo<Order>& info) {
                             return info.param == Order::hookFirst ? "HookFirst" : "RawFirst";
                         });

}  // namespace
