#pragma once
// The gateway's connection to the MQTT broker, over libmosquitto driven by
// the gateway's event loop (no thread of libmosquitto's own): the socket
// sits in the loop, loop_read/loop_write run when it is ready, loop_misc
// once a second for the keep-alive.
//
// Every message goes out at QoS 1 and its sender learns, once, whether the
// broker confirmed it (PUBACK). MQTT 5 is spoken when the broker can, because
// its PUBACK says whether the broker took the message: under MQTT 3.1.1 a
// broker that refuses a publish (an ACL) still confirms it.
//
// Each connection uses a new libmosquitto client. libmosquitto would send
// the messages of a lost connection again on the next one; the gateway
// instead fails them at once, so their agents keep their scans and hand them
// over again, in order, once the broker is back.
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "backoff.h"
#include "event_loop.h"
#include "options.h"

struct mosquitto;

namespace vxgate {

struct MqttSettings {
    BrokerAddress broker;
    std::string clientId;
    std::string username;  // empty: no login
    std::optional<std::string> password;
    std::string caFile;  // TLS only; empty: the system's CAs
    std::string certFile;
    std::string keyFile;
    int keepAliveSeconds = 30;
    // The last will, published retained by the broker when the connection
    // ends without a DISCONNECT. No will when the topic is empty.
    std::string willTopic;
    std::string willPayload;
};

// Pause before the next try after a failed or lost connection.
constexpr Millis kFirstBrokerRetry{500};
constexpr Millis kMaxBrokerRetry{10000};
// A connection that has no CONNACK after this long is given up.
constexpr Millis kBrokerConnectTimeout{10000};
// Messages sent and not yet confirmed, at most: libmosquitto numbers them
// with 16 bits.
constexpr size_t kMaxUnconfirmed = 50000;

class MqttLink {
public:
    struct Listener {
        std::function<void()> connected;
        // A connection that had been made is lost (not called for failed
        // tries, nor after stop()).
        std::function<void(const std::string& reason)> lost;
    };
    // confirmed: the broker took the message (PUBACK with a success code).
    // Otherwise error says why not: refused, or the connection was lost.
    using Completion = std::function<void(bool confirmed, const std::string& error)>;
    using Ticket = uint64_t;

    MqttLink(EventLoop& loop, Jitter& jitter, MqttSettings settings, Listener listener);
    ~MqttLink();
    MqttLink(const MqttLink&) = delete;
    MqttLink& operator=(const MqttLink&) = delete;

    // Makes the first client (which checks the settings: a CA file that
    // cannot be read fails here) and starts connecting; from then on the
    // link reconnects by itself. False with the reason in *error when the
    // settings cannot work.
    bool start(std::string* error);

    bool connected() const { return state_ == State::connected; }

    // Publishes at QoS 1. done runs exactly once, later, from the loop. When
    // the message cannot go out now (not connected, too many unconfirmed,
    // refused by libmosquitto), returns 0 with the reason in *error and done
    // never runs.
    Ticket publish(const std::string& topic, const std::string& payload, bool retain,
                   Completion done, std::string* error);

    // Drops the sender of a message it no longer waits for; the message may
    // still reach the broker.
    void forget(Ticket ticket);

    // Messages sent on this connection and not yet confirmed, forgotten ones
    // included, and when the oldest of them was sent.
    size_t unconfirmed() const { return pending_.size(); }
    std::optional<Clock::time_point> oldestUnconfirmed();

    // Ends the connection with a DISCONNECT (so the broker does not publish
    // the will) and stops reconnecting; done runs once it is closed, or after
    // timeout at most.
    void stop(Millis timeout, std::function<void()> done);

private:
    enum class State { idle, waiting, connecting, connected, stopping, stopped };
    struct Pending {
        Ticket ticket = 0;
        Completion done;
    };
    // What libmosquitto's callbacks report; handled once the library call
    // that made them has returned, so that handlers may call the link.
    struct Event {
        enum class Kind { connack, published, closed } kind;
        int code = 0;  // CONNACK or PUBACK reason code, or libmosquitto error
        int mid = 0;
        std::string text;
    };

    friend struct MqttCallbacks;

    bool makeClient(std::string* error);
    void destroyClient();
    void attempt();
    void settle();
    void handle(const Event& event);
    void connectionEnded(const std::string& reason);
    void retryLater(const std::string& reason);
    void finishStop();
    void onSocket(uint32_t events);
    void onMiscTimer();
    std::string where() const;

    EventLoop& loop_;
    Jitter& jitter_;
    MqttSettings settings_;
    Listener listener_;
    mosquitto* client_ = nullptr;
    bool mqtt5_ = true;
    State state_ = State::idle;
    int socket_ = -1;
    EventLoop::WatchId watch_ = 0;
    uint32_t interest_ = 0;
    Backoff backoff_{kFirstBrokerRetry, kMaxBrokerRetry};
    Timer retryTimer_;
    Timer connectTimer_;
    Timer miscTimer_;
    Timer stopTimer_;
    std::function<void()> stopDone_;
    uint64_t connection_ = 0;                   // counts clients: the high bits of a ticket
    std::unordered_map<int, Pending> pending_;  // by message id
    struct Sent {
        int mid;
        Ticket ticket;
        Clock::time_point time;
    };
    std::deque<Sent> sendOrder_;  // oldest first; entries of confirmed messages go lazily
    std::deque<Event> events_;
    std::string lastLibraryError_;
    std::string lastFailure_;  // the reason of the previous failed try, to log changes only
    bool handling_ = false;
};

}  // namespace vxgate
