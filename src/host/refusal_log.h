#pragma once
// The level-1 lines for connections that the allowed-peers list refuses, at
// most kLinesPerSecond of them per second of the clock. A host off the list
// that connects over and over must neither fill the log nor end the agent
// through the log's loop guard. Refusals beyond that are counted, and the
// next refusal that is logged in a later second is preceded by one line
// that says how many were not.
#include <string>

class RefusalLog {
public:
    static constexpr int kLinesPerSecond = 10;

    // clock: seconds since 1970; null for the system's clock.
    explicit RefusalLog(long long (*clock)() = nullptr) : clock_(clock) {}

    // Logs or counts one refused connection. True when its line was written.
    bool refused(const std::string& address, unsigned port);

    // Whether refusals were counted and their line is not written yet.
    bool countPending() const { return notLogged_ != 0; }
    // Writes that line once the second of those refusals is over, so the
    // count of a storm is in the log soon after it ends, even when no
    // connection follows.
    void flushCount();

private:
    long long now() const;
    void writeCount();

    long long (*clock_)();
    long long second_ = -1;
    int linesThisSecond_ = 0;
    unsigned long notLogged_ = 0;
};
