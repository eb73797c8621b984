#include "event_loop.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vxgate {

namespace {

// Events taken from epoll per round; more wait for the next round.
constexpr int kEventsPerRound = 256;

std::string systemError(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

EventLoop::EventLoop() {
    epollFd_ = epoll_create1(EPOLL_CLOEXEC);
    if (epollFd_ < 0) error_ = systemError("epoll_create1");
}

EventLoop::~EventLoop() {
    if (signalFd_ >= 0) close(signalFd_);
    if (epollFd_ >= 0) close(epollFd_);
}

// A watch is named by its slot and the slot's generation, so an event that
// epoll reported for a watch released meanwhile finds a newer generation
// (or a free slot) and is dropped.
EventLoop::WatchId EventLoop::makeId(size_t slot, uint32_t generation) {
    return (static_cast<uint64_t>(generation) << 32) | static_cast<uint64_t>(slot);
}

EventLoop::Watch* EventLoop::find(WatchId id) {
    size_t slot = static_cast<size_t>(id & 0xffffffffu);
    uint32_t generation = static_cast<uint32_t>(id >> 32);
    if (slot >= watches_.size()) return nullptr;
    Watch& watch = watches_[slot];
    if (!watch.used || watch.generation != generation) return nullptr;
    return &watch;
}

EventLoop::WatchId EventLoop::watch(int fd, uint32_t interest, IoHandler handler,
                                    std::string* error) {
    size_t slot;
    if (!freeSlots_.empty()) {
        slot = freeSlots_.back();
        freeSlots_.pop_back();
    } else {
        slot = watches_.size();
        watches_.emplace_back();
    }
    Watch& entry = watches_[slot];
    // Generations start at 1, so no id is ever 0.
    entry.generation = entry.generation + 1 == 0 ? 1 : entry.generation + 1;
    WatchId id = makeId(slot, entry.generation);
    epoll_event event{};
    event.events = interest;
    event.data.u64 = id;
    if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event) != 0) {
        if (error != nullptr) *error = systemError("epoll_ctl(ADD)");
        freeSlots_.push_back(slot);
        return 0;
    }
    entry.fd = fd;
    entry.used = true;
    entry.handler = std::move(handler);
    return id;
}

bool EventLoop::setInterest(WatchId id, uint32_t interest) {
    Watch* entry = find(id);
    if (entry == nullptr) return false;
    epoll_event event{};
    event.events = interest;
    event.data.u64 = id;
    return epoll_ctl(epollFd_, EPOLL_CTL_MOD, entry->fd, &event) == 0;
}

void EventLoop::release(WatchId id, bool askEpoll) {
    Watch* entry = find(id);
    if (entry == nullptr) return;
    if (askEpoll) epoll_ctl(epollFd_, EPOLL_CTL_DEL, entry->fd, nullptr);
    entry->handler = nullptr;
    entry->used = false;
    entry->fd = -1;
    freeSlots_.push_back(static_cast<size_t>(id & 0xffffffffu));
}

void EventLoop::unwatch(WatchId id) { release(id, true); }

void EventLoop::forgetClosed(WatchId id) { release(id, false); }

bool EventLoop::handleSignals(const std::vector<int>& signals, std::function<void(int)> handler,
                              std::string* error) {
    sigset_t set;
    sigemptyset(&set);
    for (int number : signals) sigaddset(&set, number);
    if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) {
        if (error != nullptr) *error = systemError("sigprocmask");
        return false;
    }
    signalFd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signalFd_ < 0) {
        if (error != nullptr) *error = systemError("signalfd");
        return false;
    }
    signalHandler_ = std::move(handler);
    return watch(
               signalFd_, kReadable, [this](uint32_t) { onSignalReadable(); }, error) != 0;
}

void EventLoop::onSignalReadable() {
    signalfd_siginfo info;
    while (read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (signalHandler_) signalHandler_(static_cast<int>(info.ssi_signo));
    }
}

bool EventLoop::runOnce(Millis timeout) {
    int waitMs = static_cast<int>(std::min<Millis::rep>(timeout.count(), 3600 * 1000));
    if (std::optional<Millis> next = timers_.untilNext()) {
        waitMs = std::min<int>(waitMs, static_cast<int>(next->count()));
    }
    epoll_event events[kEventsPerRound];
    int count = epoll_wait(epollFd_, events, kEventsPerRound, std::max(waitMs, 0));
    if (count < 0) {
        if (errno != EINTR) {
            error_ = systemError("epoll_wait");
            return false;
        }
        count = 0;
    }
    for (int i = 0; i < count; ++i) {
        Watch* entry = find(events[i].data.u64);
        // Released by an earlier handler of this round: the event is stale.
        if (entry == nullptr) continue;
        // A copy, because the handler may release its own watch or add
        // watches, which moves the table.
        IoHandler handler = entry->handler;
        handler(events[i].events);
    }
    timers_.runDue();
    return true;
}

bool EventLoop::run() {
    stopping_ = false;
    while (!stopping_) {
        if (!runOnce(Millis(3600 * 1000))) return false;
    }
    return true;
}

}  // namespace vxgate
