#pragma once
// Looks up agents' host names without blocking the loop, through c-ares
// (Debian's libc-ares): its sockets sit in the gateway's epoll loop and its
// time-outs in the timer queue, so a name server that is slow or gone holds
// up only the dial that asked, never the other sessions. Dotted IPv4
// addresses need no look-up and never come here.
#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "event_loop.h"

struct ares_channeldata;
struct ares_addrinfo;

namespace vxgate {

class Resolver {
public:
    // ok: address holds the name's first IPv4 address; else error says why.
    using Done = std::function<void(bool ok, in_addr address, const std::string& error)>;
    using Request = uint64_t;

    enum class Sources { filesAndDns, filesOnly };

    explicit Resolver(EventLoop& loop);
    ~Resolver();
    Resolver(const Resolver&) = delete;
    Resolver& operator=(const Resolver&) = delete;

    // Reads the system's resolver settings (/etc/resolv.conf, /etc/hosts);
    // filesOnly looks in /etc/hosts alone (for tests: no query leaves the
    // machine). False with the reason in *error.
    bool start(Sources sources, std::string* error);

    // Starts a look-up of the name; done runs once, later, from the loop,
    // unless the request is cancelled first.
    Request lookUp(const std::string& name, Done done);
    void cancel(Request request);

private:
    struct Ask {
        Resolver* resolver;
        Request request;
    };
    static void onSocketState(void* self, int socket, int readable, int writable);
    static void onAnswer(void* arg, int status, int timeouts, ares_addrinfo* result);
    void onSocket(int socket, uint32_t events);
    void settle();
    void answer(Request request, bool ok, in_addr address, const std::string& error);
    void deliverReady();

    EventLoop& loop_;
    ares_channeldata* channel_ = nullptr;
    std::map<int, EventLoop::WatchId> watches_;
    std::map<Request, Done> pending_;
    Request next_ = 1;
    Timer timeout_;
    // Answers c-ares gave inside lookUp() (from /etc/hosts), handed out from
    // the loop, so that an asker is never called back before lookUp returns.
    struct Ready {
        Request request;
        bool ok;
        in_addr address;
        std::string error;
    };
    bool inLookUp_ = false;
    std::vector<Ready> ready_;
    Timer deliver_;
};

}  // namespace vxgate
