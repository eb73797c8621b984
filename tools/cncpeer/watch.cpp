#include "watch.h"

#include "peer_cli.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

#include "peer/commands.h"
#include "peer/json_line.h"
#include "peer/probe_answer.h"
#include "peer/retry_backoff.h"

namespace cncpeer {

using peer::CncPeer;
using peer::commandText;
using peer::JsonLine;
using peer::Status;

namespace {

std::atomic<bool> stopFlag{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set by a signal handler");

extern "C" void onStopSignal(int) { stopFlag.store(true); }

// How often a pause looks at the stop request.
constexpr int kStopCheckMs = 50;
// How long the QUIT at the end may take before the tool leaves anyway.
constexpr int kQuitWaitMs = 2000;

// Sleeps for ms, or less when a stop is requested meanwhile. The stop is
// looked at every kStopCheckMs; the last step is only what is left.
void sleepUnlessStopped(int ms) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms);
    while (!stopRequested()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (left.count() <= 0) break;
        std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(kStopCheckMs)));
    }
}

class Watcher {
public:
    Watcher(const WatchSettings& settings, std::ostream& out, std::ostream& err)
        : settings_(settings), out_(out), err_(err) {}

    int run() {
        while (!stopRequested()) {
            if (!peer_.isConnected() && !openSession()) {
                retryLater();
                continue;
            }
            if (!probeOnce()) {
                peer_.close();
                // Scans that cannot be written out would be lost at every
                // answer: watch ends, and the agent keeps them.
                if (outputFailed_) return kExitOutput;
                retryLater();
                continue;
            }
            pause(settings_.intervalMs);
        }
        quit();
        err_ << "cncpeer: stopped\n";
        return 0;
    }

private:
    void pause(int ms) {
        if (settings_.pause) {
            settings_.pause(ms);
        } else {
            sleepUnlessStopped(ms);
        }
    }

    std::string where() const { return settings_.host + ":" + std::to_string(settings_.port); }

    bool openSession() {
        peer_.setSourceAddress(settings_.source);
        if (!peer_.connect(settings_.host, settings_.port, settings_.timeoutMs)) {
            err_ << "cncpeer: " << peer_.lastError() << "\n";
            return false;
        }
        if (!peer_.handshake(settings_.handshake, settings_.timeoutMs)) {
            err_ << "cncpeer: handshake with " << where() << " failed: " << peer_.lastError()
                 << "\n";
            peer_.close();
            return false;
        }
        err_ << "cncpeer: watching " << where() << ", PRBE every " << settings_.intervalMs
             << " ms\n";
        backoff_.reset();
        return true;
    }

    void retryLater() {
        if (stopRequested()) return;
        int pauseMs = backoff_.next();
        err_ << "cncpeer: next try in " << pauseMs << " ms\n";
        pause(pauseMs);
    }

    // One PRBE and its answer. The agent counts the scans as delivered once
    // it has the acknowledgement, so the answer is acknowledged only after it
    // arrived whole, opened and its scans were written out and flushed. A
    // corrupt answer is not acknowledged: the agent keeps its scans.
    bool probeOnce() {
        std::string answer;
        Status status = peer_.sendCommand(commandText("PRBE"), settings_.timeoutMs);
        if (status == Status::kOk) status = peer_.readAnswer(answer, settings_.timeoutMs, false);
        if (status == Status::kOk) {
            printScans(answer);
            if (!outputWritten(out_, err_, kNotAcknowledged)) {
                // Closed without a word: anything sent now would be read as
                // the acknowledgement.
                outputFailed_ = true;
                return false;
            }
            status = peer_.sendAck();
        }
        if (status != Status::kOk) {
            err_ << "cncpeer: session with " << where() << " lost: " << peer_.lastError() << "\n";
            return false;
        }
        return true;
    }

    void printScans(const std::string& answer) {
        for (const std::string& scan : peer::splitProbeAnswer(answer)) {
            if (settings_.json) {
                out_ << JsonLine(settings_.host, settings_.port).text("scan", scan).line();
            } else {
                out_ << scan << "\n";
            }
        }
    }

    void quit() {
        if (!peer_.isConnected()) return;
        std::string answer;
        if (peer_.sendCommand(commandText("QUIT"), kQuitWaitMs) == Status::kOk &&
            peer_.readAnswer(answer, kQuitWaitMs) == Status::kOk) {
            peer_.waitForClose(kQuitWaitMs);
        }
        peer_.close();
    }

    const WatchSettings& settings_;
    std::ostream& out_;
    std::ostream& err_;
    CncPeer peer_;
    peer::RetryBackoff backoff_;
    bool outputFailed_ = false;
};

}  // namespace

void requestStop() { stopFlag.store(true); }
bool stopRequested() { return stopFlag.load(); }
void clearStopRequest() { stopFlag.store(false); }

void installStopHandlers() {
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
}

int runWatch(const WatchSettings& settings, std::ostream& out, std::ostream& err) {
    return Watcher(settings, out, err).run();
}

}  // namespace cncpeer
