#pragma once
// The gateway's one thread: an epoll loop over every socket (the broker's
// and each agent's), the timers, and the signals it handles (read from a
// signalfd, so a handler runs in the loop like any other event, never inside
// an interrupted call). Level-triggered: a handler that leaves bytes unread
// is called again.
#include <sys/epoll.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "timer_queue.h"

namespace vxgate {

constexpr uint32_t kReadable = EPOLLIN;
constexpr uint32_t kWritable = EPOLLOUT;

class EventLoop {
public:
    // Called with the epoll events that occurred (EPOLLIN, EPOLLOUT, EPOLLERR,
    // EPOLLHUP, ...).
    using IoHandler = std::function<void(uint32_t events)>;
    using WatchId = uint64_t;

    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Empty when the loop could be made; otherwise what failed.
    const std::string& error() const { return error_; }

    TimerQueue& timers() { return timers_; }

    // Watches fd for the events in interest (kReadable, kWritable or both).
    // Returns 0, with the reason in *error, when epoll refuses it.
    WatchId watch(int fd, uint32_t interest, IoHandler handler, std::string* error);
    bool setInterest(WatchId id, uint32_t interest);
    // Stops watching: the handler is not called again, not even for events
    // of the current round. Call it before closing the descriptor. Safe from
    // any handler, its own included.
    void unwatch(WatchId id);
    // Forgets a watch whose descriptor has already been closed by someone
    // else (a library): it drops the handler without asking epoll, which
    // removed the descriptor by itself.
    void forgetClosed(WatchId id);

    // Blocks the signals for the process and calls handler with each one
    // that arrives, from the loop. Call before any thread starts.
    bool handleSignals(const std::vector<int>& signals, std::function<void(int)> handler,
                       std::string* error);

    // Runs until stop(). Returns false when epoll itself failed.
    bool run();
    void stop() { stopping_ = true; }

    // One round: waits at most timeout (or until the next timer) for events,
    // runs their handlers, then the due timers. For tests and for run().
    bool runOnce(Millis timeout);

private:
    struct Watch {
        int fd = -1;
        uint32_t generation = 0;
        bool used = false;
        IoHandler handler;
    };
    static WatchId makeId(size_t slot, uint32_t generation);
    Watch* find(WatchId id);
    void release(WatchId id, bool askEpoll);
    void onSignalReadable();

    int epollFd_ = -1;
    int signalFd_ = -1;
    std::string error_;
    TimerQueue timers_;
    std::vector<Watch> watches_;
    std::vector<size_t> freeSlots_;
    std::function<void(int)> signalHandler_;
    bool stopping_ = false;
};

}  // namespace vxgate
