// mqttcheck: the gateway's broker link on its own, driven line by line.
//
//   mqttcheck --broker URL [--cafile F] [--client-id ID] [--log-level N]
//
// Standard input, one command a line:
//   publish TOPIC PAYLOAD   QoS 1, not retained (PAYLOAD: the rest of the line)
//   retain TOPIC PAYLOAD    QoS 1, retained
//   stop                    disconnect and exit (so does the end of the input)
// Standard output, one line per event, N counting the messages from 1:
//   connected | lost REASON | sent N | refused N REASON | confirmed N | failed N REASON
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "event_loop.h"
#include "log.h"
#include "mqtt_link.h"
#include "options.h"

namespace {

using namespace vxgate;

void say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

class Check {
public:
    Check(EventLoop& loop, MqttSettings settings) : loop_(loop) {
        MqttLink::Listener listener;
        listener.connected = [] { say("connected"); };
        listener.lost = [](const std::string& reason) { say("lost " + reason); };
        link_ = std::make_unique<MqttLink>(loop, jitter_, std::move(settings), listener);
    }

    bool start() {
        std::string error;
        if (!link_->start(&error)) {
            std::fprintf(stderr, "mqttcheck: %s\n", error.c_str());
            return false;
        }
        fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK);
        input_ = loop_.watch(
            0, kReadable, [this](uint32_t) { onInput(); }, &error);
        return input_ != 0;
    }

private:
    void onInput() {
        char buffer[4096];
        ssize_t got = read(0, buffer, sizeof buffer);
        if (got <= 0) {
            if (got < 0 && errno == EAGAIN) return;
            stop();
            return;
        }
        pending_.append(buffer, static_cast<size_t>(got));
        size_t end;
        while ((end = pending_.find('\n')) != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            command(line);
        }
    }

    void command(const std::string& line) {
        if (line == "stop") {
            stop();
            return;
        }
        size_t space = line.find(' ');
        std::string verb = line.substr(0, space);
        if ((verb != "publish" && verb != "retain") || space == std::string::npos) {
            say("unknown command: " + line);
            return;
        }
        size_t topicEnd = line.find(' ', space + 1);
        std::string topic = line.substr(space + 1, topicEnd - space - 1);
        std::string payload = topicEnd == std::string::npos ? "" : line.substr(topicEnd + 1);
        int number = ++count_;
        std::string error;
        MqttLink::Ticket ticket = link_->publish(
            topic, payload, verb == "retain",
            [number](bool confirmed, const std::string& why) {
                say(confirmed ? "confirmed " + std::to_string(number)
                              : "failed " + std::to_string(number) + " " + why);
            },
            &error);
        say(ticket != 0 ? "sent " + std::to_string(number)
                        : "refused " + std::to_string(number) + " " + error);
    }

    void stop() {
        if (stopping_) return;
        stopping_ = true;
        loop_.unwatch(input_);
        link_->stop(Millis(2000), [this] { loop_.stop(); });
    }

    EventLoop& loop_;
    Jitter jitter_;
    std::unique_ptr<MqttLink> link_;
    EventLoop::WatchId input_ = 0;
    std::string pending_;
    int count_ = 0;
    bool stopping_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    MqttSettings settings;
    settings.clientId = "mqttcheck-" + std::to_string(getpid());
    std::string error;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        std::string value = argv[i + 1];
        if (option == "--broker" && parseBrokerUrl(value, &settings.broker, &error)) continue;
        if (option == "--cafile") {
            settings.caFile = value;
        } else if (option == "--client-id") {
            settings.clientId = value;
        } else if (option == "--log-level") {
            setLogLevel(std::stoi(value));
        } else {
            std::fprintf(stderr, "mqttcheck: bad option %s %s %s\n", option.c_str(), value.c_str(),
                         error.c_str());
            return kExitUsage;
        }
    }
    if (settings.broker.host.empty() || argc % 2 == 0) {
        std::fprintf(stderr,
                     "usage: mqttcheck --broker URL [--cafile F] [--client-id ID] "
                     "[--log-level N]\n");
        return kExitUsage;
    }
    EventLoop loop;
    Check check(loop, settings);
    if (!check.start()) return kExitFailure;
    return loop.run() ? kExitOk : kExitFailure;
}
