#include "resolver.h"

#include <ares.h>
#include <arpa/inet.h>
#include <netdb.h>

#include <cstring>
#include <memory>

namespace vxgate {

namespace {

// c-ares's process-wide set-up, made once before the first channel.
void initLibrary() {
    struct Library {
        Library() { ares_library_init(ARES_LIB_INIT_ALL); }
        ~Library() { ares_library_cleanup(); }
    };
    static Library library;
}

}  // namespace

Resolver::Resolver(EventLoop& loop)
    : loop_(loop),
      timeout_(loop.timers(),
               [this] {
                   if (channel_ != nullptr)
                       ares_process_fd(channel_, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
                   settle();
               }),
      deliver_(loop.timers(), [this] { deliverReady(); }) {
    initLibrary();
}

Resolver::~Resolver() {
    // Requests still open are not told: their askers go with the resolver.
    pending_.clear();
    for (auto& watch : watches_) loop_.unwatch(watch.second);
    watches_.clear();
    if (channel_ != nullptr) ares_destroy(channel_);
}

bool Resolver::start(Sources sources, std::string* error) {
    ares_options options{};
    options.sock_state_cb = &Resolver::onSocketState;
    options.sock_state_cb_data = this;
    int mask = ARES_OPT_SOCK_STATE_CB;
    char filesOnly[] = "f";
    if (sources == Sources::filesOnly) {
        options.lookups = filesOnly;
        mask |= ARES_OPT_LOOKUPS;
    }
    int rc = ares_init_options(&channel_, &options, mask);
    if (rc != ARES_SUCCESS) {
        *error = std::string("cannot set up the name look-up: ") + ares_strerror(rc);
        channel_ = nullptr;
        return false;
    }
    return true;
}

Resolver::Request Resolver::lookUp(const std::string& name, Done done) {
    Request request = next_++;
    pending_[request] = std::move(done);
    ares_addrinfo_hints hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    // c-ares may answer at once (from /etc/hosts), inside this call.
    inLookUp_ = true;
    ares_getaddrinfo(channel_, name.c_str(), nullptr, &hints, &Resolver::onAnswer,
                     new Ask{this, request});
    inLookUp_ = false;
    settle();
    return request;
}

void Resolver::cancel(Request request) { pending_.erase(request); }

void Resolver::onAnswer(void* arg, int status, int, ares_addrinfo* result) {
    std::unique_ptr<Ask> ask(static_cast<Ask*>(arg));
    in_addr address{};
    bool ok = false;
    std::string error;
    if (status == ARES_SUCCESS && result != nullptr) {
        for (ares_addrinfo_node* node = result->nodes; node != nullptr; node = node->ai_next) {
            if (node->ai_family == AF_INET) {
                address = reinterpret_cast<sockaddr_in*>(node->ai_addr)->sin_addr;
                ok = true;
                break;
            }
        }
        if (!ok) error = "no IPv4 address";
    } else {
        error = ares_strerror(status);
    }
    if (result != nullptr) ares_freeaddrinfo(result);
    // ares_destroy answers what is still open: the resolver is going.
    if (status == ARES_EDESTRUCTION) return;
    ask->resolver->answer(ask->request, ok, address, error);
}

void Resolver::answer(Request request, bool ok, in_addr address, const std::string& error) {
    if (inLookUp_) {
        ready_.push_back({request, ok, address, error});
        deliver_.start(Millis(0));
        return;
    }
    auto found = pending_.find(request);
    if (found == pending_.end()) return;  // cancelled
    Done done = std::move(found->second);
    pending_.erase(found);
    done(ok, address, error);
}

void Resolver::deliverReady() {
    std::vector<Ready> ready;
    ready.swap(ready_);
    for (const Ready& r : ready) answer(r.request, r.ok, r.address, r.error);
}

void Resolver::onSocketState(void* self, int socket, int readable, int writable) {
    Resolver& resolver = *static_cast<Resolver*>(self);
    auto found = resolver.watches_.find(socket);
    if (!readable && !writable) {
        if (found != resolver.watches_.end()) {
            resolver.loop_.unwatch(found->second);
            resolver.watches_.erase(found);
        }
        return;
    }
    uint32_t interest = (readable ? kReadable : 0) | (writable ? kWritable : 0);
    if (found != resolver.watches_.end()) {
        resolver.loop_.setInterest(found->second, interest);
        return;
    }
    std::string error;
    EventLoop::WatchId id = resolver.loop_.watch(
        socket, interest,
        [&resolver, socket](uint32_t events) { resolver.onSocket(socket, events); }, &error);
    if (id != 0) resolver.watches_[socket] = id;
}

void Resolver::onSocket(int socket, uint32_t events) {
    bool read = (events & (kReadable | EPOLLERR | EPOLLHUP)) != 0;
    bool write = (events & kWritable) != 0;
    ares_process_fd(channel_, read ? socket : ARES_SOCKET_BAD, write ? socket : ARES_SOCKET_BAD);
    settle();
}

// The next time c-ares wants to be called to resend or give up.
void Resolver::settle() {
    timeval wait{};
    if (ares_timeout(channel_, nullptr, &wait) == nullptr) {
        timeout_.stop();
        return;
    }
    timeout_.start(Millis(wait.tv_sec * 1000 + (wait.tv_usec + 999) / 1000));
}

}  // namespace vxgate
