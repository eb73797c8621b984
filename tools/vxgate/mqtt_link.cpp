#include "mqtt_link.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <cerrno>
#include <cstring>

#include "log.h"

namespace vxgate {

namespace {

// How often libmosquitto's keep-alive bookkeeping runs.
constexpr Millis kMiscInterval{1000};
// Where Debian keeps the system's CA certificates, for a client certificate
// without --cafile (libmosquitto wants a CA file or folder along with it).
const char kSystemCaFolder[] = "/etc/ssl/certs";
// A library message kept for the reason of a failure is cut to this.
constexpr size_t kMaxLibraryError = 300;

const char kNotConnected[] = "not connected to the broker";

// libmosquitto's process-wide set-up, made once before the first client.
void initLibrary() {
    struct Library {
        Library() { mosquitto_lib_init(); }
        ~Library() { mosquitto_lib_cleanup(); }
    };
    static Library library;
}

}  // namespace

// libmosquitto's callbacks only note what happened; MqttLink::settle()
// handles it once the library call has returned.
struct MqttCallbacks {
    static MqttLink& link(void* self) { return *static_cast<MqttLink*>(self); }

    static void onConnect(mosquitto*, void* self, int code, int, const mosquitto_property*) {
        link(self).events_.push_back({MqttLink::Event::Kind::connack, code, 0, ""});
    }

    static void onDisconnect(mosquitto*, void* self, int code, const mosquitto_property*) {
        // For MOSQ_ERR_ERRNO the text comes from errno, which still holds
        // what the failed socket call said.
        link(self).events_.push_back(
            {MqttLink::Event::Kind::closed, code, 0, mosquitto_strerror(code)});
    }

    static void onPublish(mosquitto*, void* self, int mid, int reason, const mosquitto_property*) {
        link(self).events_.push_back({MqttLink::Event::Kind::published, reason, mid, ""});
    }

    static void onLog(mosquitto*, void* self, int level, const char* text) {
        // libmosquitto tells the details of a TLS failure (an unknown CA, a
        // wrong host name) only here: keep the last one for the failure's
        // log line.
        if (level == MOSQ_LOG_ERR) {
            link(self).lastLibraryError_ = std::string(text).substr(0, kMaxLibraryError);
        }
        logLine(LogLevel::debug, "libmosquitto: %s", text);
    }
};

MqttLink::MqttLink(EventLoop& loop, Jitter& jitter, MqttSettings settings, Listener listener)
    : loop_(loop),
      jitter_(jitter),
      settings_(std::move(settings)),
      listener_(std::move(listener)),
      retryTimer_(loop.timers(), [this] { attempt(); }),
      connectTimer_(loop.timers(),
                    [this] {
                        destroyClient();
                        retryLater("the broker did not answer the CONNECT in time");
                    }),
      miscTimer_(loop.timers(), [this] { onMiscTimer(); }),
      stopTimer_(loop.timers(), [this] { finishStop(); }) {
    initLibrary();
}

MqttLink::~MqttLink() {
    // Senders are not told any more: they may be gone already.
    pending_.clear();
    destroyClient();
}

std::string MqttLink::where() const {
    return settings_.broker.host + ":" + std::to_string(settings_.broker.port);
}

bool MqttLink::makeClient(std::string* error) {
    client_ = mosquitto_new(settings_.clientId.c_str(), true, this);
    if (client_ == nullptr) {
        *error = std::string("cannot make an MQTT client: ") + std::strerror(errno);
        return false;
    }
    ++connection_;
    auto failed = [this, error](const char* what, int rc) {
        *error = std::string(what) + ": " + mosquitto_strerror(rc);
        destroyClient();
        return false;
    };
    int rc = mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION,
                                  mqtt5_ ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    if (rc != MOSQ_ERR_SUCCESS) return failed("cannot choose the MQTT version", rc);
    if (!settings_.username.empty()) {
        rc = mosquitto_username_pw_set(client_, settings_.username.c_str(),
                                       settings_.password ? settings_.password->c_str() : nullptr);
        if (rc != MOSQ_ERR_SUCCESS) return failed("cannot set the user name", rc);
    }
    if (!settings_.willTopic.empty()) {
        rc = mosquitto_will_set(client_, settings_.willTopic.c_str(),
                                static_cast<int>(settings_.willPayload.size()),
                                settings_.willPayload.data(), 1, true);
        if (rc != MOSQ_ERR_SUCCESS) return failed("cannot set the last will", rc);
    }
    if (settings_.broker.tls) {
        const char* cert = settings_.certFile.empty() ? nullptr : settings_.certFile.c_str();
        const char* key = settings_.keyFile.empty() ? nullptr : settings_.keyFile.c_str();
        if (!settings_.caFile.empty()) {
            rc = mosquitto_tls_set(client_, settings_.caFile.c_str(), nullptr, cert, key, nullptr);
            // libmosquitto says "invalid arguments" for a CA file it cannot open.
            if (rc == MOSQ_ERR_INVAL) {
                *error = "cannot read the CA file " + settings_.caFile;
                destroyClient();
                return false;
            }
        } else {
            rc = mosquitto_int_option(client_, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
            if (rc == MOSQ_ERR_SUCCESS && cert != nullptr) {
                rc = mosquitto_tls_set(client_, nullptr, kSystemCaFolder, cert, key, nullptr);
            }
        }
        if (rc != MOSQ_ERR_SUCCESS) return failed("cannot set up TLS", rc);
    }
    mosquitto_connect_v5_callback_set(client_, MqttCallbacks::onConnect);
    mosquitto_disconnect_v5_callback_set(client_, MqttCallbacks::onDisconnect);
    mosquitto_publish_v5_callback_set(client_, MqttCallbacks::onPublish);
    mosquitto_log_callback_set(client_, MqttCallbacks::onLog);
    return true;
}

void MqttLink::destroyClient() {
    connectTimer_.stop();
    miscTimer_.stop();
    if (watch_ != 0) {
        // mosquitto_destroy closes the socket: leave epoll first.
        loop_.unwatch(watch_);
        watch_ = 0;
    }
    socket_ = -1;
    interest_ = 0;
    if (client_ != nullptr) {
        mosquitto_destroy(client_);
        client_ = nullptr;
    }
    // The messages of this client die with it; their senders learn it here.
    std::unordered_map<int, Pending> failed;
    failed.swap(pending_);
    sendOrder_.clear();
    events_.clear();
    for (auto& entry : failed) {
        if (entry.second.done) entry.second.done(false, "the connection to the broker was lost");
    }
}

bool MqttLink::start(std::string* error) {
    if (!makeClient(error)) return false;
    destroyClient();
    logLine(LogLevel::info, "connecting to the broker %s as %s", where().c_str(),
            settings_.clientId.c_str());
    attempt();
    return true;
}

void MqttLink::attempt() {
    std::string error;
    if (!makeClient(&error)) {
        retryLater(error);
        return;
    }
    lastLibraryError_.clear();
    state_ = State::connecting;
    int rc = mosquitto_connect_async(client_, settings_.broker.host.c_str(), settings_.broker.port,
                                     settings_.keepAliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS) {
        std::string reason = mosquitto_strerror(rc);
        if (!lastLibraryError_.empty()) reason += " (" + lastLibraryError_ + ")";
        destroyClient();
        retryLater(reason);
        return;
    }
    connectTimer_.start(kBrokerConnectTimeout);
    miscTimer_.start(kMiscInterval);
    settle();
}

void MqttLink::retryLater(const std::string& reason) {
    state_ = State::waiting;
    Millis pause = backoff_.next(jitter_);
    // A broker that stays away writes one line, not one per try.
    LogLevel level = reason == lastFailure_ ? LogLevel::debug : LogLevel::warning;
    logLine(level, "cannot connect to the broker %s: %s; trying again in %lld ms", where().c_str(),
            reason.c_str(), static_cast<long long>(pause.count()));
    lastFailure_ = reason;
    retryTimer_.start(pause);
}

// Brings the loop's view of the socket up to date with libmosquitto's, then
// handles what the callbacks noted.
void MqttLink::settle() {
    if (client_ != nullptr) {
        int socket = mosquitto_socket(client_);
        if (socket != socket_ && watch_ != 0) {
            // libmosquitto closed the old socket by itself.
            loop_.forgetClosed(watch_);
            watch_ = 0;
            interest_ = 0;
        }
        socket_ = socket;
        if (socket_ >= 0) {
            uint32_t interest = kReadable | (mosquitto_want_write(client_) ? kWritable : 0);
            if (watch_ == 0) {
                std::string error;
                watch_ = loop_.watch(
                    socket_, interest, [this](uint32_t events) { onSocket(events); }, &error);
                if (watch_ == 0) logLine(LogLevel::error, "broker socket: %s", error.c_str());
                interest_ = interest;
            } else if (interest != interest_) {
                loop_.setInterest(watch_, interest);
                interest_ = interest;
            }
        }
    }
    // Handlers may publish, which settles again: only the outermost call
    // works through the events, in their order.
    if (handling_) return;
    handling_ = true;
    while (!events_.empty()) {
        Event event = std::move(events_.front());
        events_.pop_front();
        handle(event);
    }
    handling_ = false;
}

void MqttLink::handle(const Event& event) {
    switch (event.kind) {
        case Event::Kind::connack:
            if (event.code == 0) {
                state_ = State::connected;
                connectTimer_.stop();
                backoff_.reset();
                lastFailure_.clear();
                lastLibraryError_.clear();
                logLine(LogLevel::info, "connected to the broker %s as %s (MQTT %s)",
                        where().c_str(), settings_.clientId.c_str(), mqtt5_ ? "5" : "3.1.1");
                if (listener_.connected) listener_.connected();
            } else if (mqtt5_ && event.code == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION) {
                mqtt5_ = false;
                logLine(LogLevel::warning,
                        "the broker %s does not speak MQTT 5: using MQTT 3.1.1, where a broker "
                        "confirms even a publish it refuses (check its ACLs)",
                        where().c_str());
                lastLibraryError_ = "";
                lastFailure_ = "";
                destroyClient();
                retryTimer_.start(Millis(0));
                state_ = State::waiting;
            } else {
                // The connection closes next; its reason is this one. MQTT 5
                // and 3.1.1 number their refusals differently.
                lastLibraryError_ =
                    std::string("refused: ") + (mqtt5_ ? mosquitto_reason_string(event.code)
                                                       : mosquitto_connack_string(event.code));
            }
            return;
        case Event::Kind::published: {
            auto found = pending_.find(event.mid);
            if (found == pending_.end()) return;
            Pending pending = std::move(found->second);
            pending_.erase(found);
            while (!sendOrder_.empty()) {
                auto live = pending_.find(sendOrder_.front().mid);
                if (live != pending_.end() && live->second.ticket == sendOrder_.front().ticket)
                    break;
                sendOrder_.pop_front();
            }
            if (!pending.done) return;
            // Reason codes from 0x80 on are refusals (not authorized, quota
            // exceeded, ...); below are successes ("no matching subscribers"
            // included: the broker has it).
            if (event.code < 0x80) {
                pending.done(true, "");
            } else {
                pending.done(false, std::string("the broker refused it: ") +
                                        mosquitto_reason_string(event.code));
            }
            return;
        }
        case Event::Kind::closed: {
            std::string reason = event.text;
            if (!lastLibraryError_.empty()) reason = lastLibraryError_;
            connectionEnded(reason);
            return;
        }
    }
}

void MqttLink::connectionEnded(const std::string& reason) {
    State was = state_;
    destroyClient();
    if (was == State::stopping) {
        finishStop();
        return;
    }
    if (was == State::connected) {
        logLine(LogLevel::warning, "lost the connection to the broker %s: %s", where().c_str(),
                reason.c_str());
        lastFailure_ = reason;
        state_ = State::waiting;
        if (listener_.lost) listener_.lost(reason);
        // The first try comes soon, but not at once: a broker that restarts
        // is rarely back within the same millisecond.
        retryTimer_.start(backoff_.next(jitter_));
        return;
    }
    if (was == State::connecting) retryLater(reason);
}

void MqttLink::onSocket(uint32_t events) {
    if (client_ == nullptr) return;
    // Reading also moves a TLS handshake on, whichever way the socket is
    // ready; with nothing to read it returns at once.
    int rc = mosquitto_loop_read(client_, 1);
    if (client_ != nullptr && mosquitto_socket(client_) >= 0 && (events & kWritable) != 0) {
        rc = mosquitto_loop_write(client_, 1);
    }
    (void)rc;  // a failure closes the socket and reports through onDisconnect
    settle();
}

void MqttLink::onMiscTimer() {
    if (client_ == nullptr) return;
    mosquitto_loop_misc(client_);
    miscTimer_.start(kMiscInterval);
    settle();
}

MqttLink::Ticket MqttLink::publish(const std::string& topic, const std::string& payload,
                                   bool retain, Completion done, std::string* error) {
    if (state_ != State::connected || client_ == nullptr) {
        *error = kNotConnected;
        return 0;
    }
    if (pending_.size() >= kMaxUnconfirmed) {
        *error = "too many messages wait for the broker's confirmation";
        return 0;
    }
    int mid = 0;
    int rc = mosquitto_publish_v5(client_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                  payload.data(), 1, retain, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
        *error = std::string("cannot publish: ") + mosquitto_strerror(rc);
        settle();
        return 0;
    }
    Ticket ticket = (connection_ << 16) | static_cast<Ticket>(mid);
    auto clash = pending_.find(mid);
    if (clash != pending_.end()) {
        // An unconfirmed message 65,535 publishes old: its number is taken
        // again, so its confirmation can no longer be told apart.
        Completion old = std::move(clash->second.done);
        pending_.erase(clash);
        if (old) old(false, "no confirmation from the broker");
    }
    pending_[mid] = Pending{ticket, std::move(done)};
    sendOrder_.push_back({mid, ticket, loop_.timers().now()});
    settle();
    return ticket;
}

void MqttLink::forget(Ticket ticket) {
    if ((ticket >> 16) != connection_) return;
    auto found = pending_.find(static_cast<int>(ticket & 0xffff));
    if (found != pending_.end() && found->second.ticket == ticket) found->second.done = nullptr;
}

std::optional<Clock::time_point> MqttLink::oldestUnconfirmed() {
    while (!sendOrder_.empty()) {
        auto live = pending_.find(sendOrder_.front().mid);
        if (live != pending_.end() && live->second.ticket == sendOrder_.front().ticket) {
            return sendOrder_.front().time;
        }
        sendOrder_.pop_front();
    }
    return std::nullopt;
}

void MqttLink::stop(Millis timeout, std::function<void()> done) {
    stopDone_ = std::move(done);
    retryTimer_.stop();
    if (state_ != State::connected || client_ == nullptr) {
        destroyClient();
        finishStop();
        return;
    }
    state_ = State::stopping;
    stopTimer_.start(timeout);
    int rc = mosquitto_disconnect(client_);
    if (rc != MOSQ_ERR_SUCCESS) {
        logLine(LogLevel::warning, "cannot say goodbye to the broker: %s", mosquitto_strerror(rc));
        destroyClient();
        finishStop();
        return;
    }
    settle();
}

void MqttLink::finishStop() {
    if (state_ == State::stopped) return;
    bool saidGoodbye = state_ == State::stopping;
    state_ = State::stopped;
    stopTimer_.stop();
    destroyClient();
    if (saidGoodbye) logLine(LogLevel::info, "disconnected from the broker %s", where().c_str());
    if (stopDone_) {
        std::function<void()> done = std::move(stopDone_);
        stopDone_ = nullptr;
        done();
    }
}

}  // namespace vxgate
