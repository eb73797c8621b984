// vxbench: measures the agent against the loopback limit, in one run.
//
//   vxbench raw-server --port P [--connections N]
//   vxbench network --agent-port P [--raw-port Q] [--label L] [--target native|wine]
//                   [--raw-exchanges N] [--probes N] [--handshake-seconds S]
//                   [--poll-seconds S]
//   vxbench local [--label L] [--keys N] [--blocks N] [--probes N] [--check]
//
// raw-server serves the raw PRBE-shaped exchange on 127.0.0.1:P for N
// connections (default 1), then ends: read a 32-byte frame, send a 1-byte
// acknowledgement and a 32-byte answer, read a 1-byte acknowledgement.
//
// network measures an agent that listens on 127.0.0.1:P, as a CNC peer:
//   - the baseline: the raw exchange against the raw server on port Q, or
//     against one of its own on a thread when no Q is given; TCP_NODELAY on
//     both sides; its median;
//   - PRBE round trips on one session (command frame, acknowledgement,
//     answer frame, acknowledgement), p50 and p99, as ratios to the baseline;
//   - handshakes per second: connect, handshake, QUIT, close, repeated;
//   - a fast PRBE poll on one session for S seconds, after which a new
//     session must still work: the agent must not end at its log level.
// With --target it checks the figures: native, PRBE p50 at most 3 times and
// p99 at most 10 times the baseline; wine, PRBE p50 under 1 ms. Both: the
// poll and the session after it worked.
//
// local times the keyboard hook's portable work per key (translation, scan
// assembly and the commit's hand-off to the scan journal, with a stand-in
// desktop whose scan dialog is in front), a delivered one-scan answer on an
// in-process session with the scan journal on (PRBE to the acknowledged
// answer, and on to the delivered mark on disk), and
// encryptBlock/decryptBlock per block, next to OpenSSL's AES-128-ECB where
// this build has it. --check: the key path must stay under 20 us per key.
//
// Prints "result LABEL NAME VALUE" lines next to the readable ones. Exit
// code 0 when everything worked (and the targets were met), 1 otherwise,
// 2 on bad options.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "capture/hook_watchdog.h"
#include "capture/key_translation.h"
#include "capture/scan_assembly.h"
#include "common/activity_log.h"
#include "common/properties.h"
#include "peer/cnc_peer.h"
#include "platform/platform.h"
#include "scans/scan_buffer.h"
#include "scans/scan_journal.h"
#include "scans/tessel_hid.h"
#include "transport/aes128.h"
#include "transport/frame_limits.h"
#include "transport/secure_socket.h"

#ifdef VXBENCH_OPENSSL
#include <openssl/evp.h>
#endif

namespace {

using peer::CncPeer;
using peer::encodeFrame;
using peer::kMaxFrameLength;
using peer::Status;
using Clock = std::chrono::steady_clock;

const char kHost[] = "127.0.0.1";
constexpr int kTimeoutMs = 5000;
constexpr int kFrameBytes = 32;
constexpr int kWarmUp = 300;

const char kUsage[] =
    "usage: vxbench raw-server --port P [--connections N]\n"
    "       vxbench network --agent-port P [--raw-port Q] [--label L] [--target native|wine]\n"
    "                       [--raw-exchanges N] [--probes N] [--handshake-seconds S]\n"
    "                       [--poll-seconds S]\n"
    "       vxbench local [--label L] [--keys N] [--blocks N] [--probes N] [--check]\n";

double microsecondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::micro>(to - from).count();
}

double secondsSince(Clock::time_point from) {
    return std::chrono::duration<double>(Clock::now() - from).count();
}

// The value at the given percentile of sorted values (nearest rank).
double percentile(const std::vector<double>& sorted, int percent) {
    if (sorted.empty()) return 0;
    size_t rank = (sorted.size() * static_cast<size_t>(percent) + 99) / 100;
    return sorted[std::min(sorted.size(), std::max<size_t>(rank, 1)) - 1];
}

void result(const std::string& label, const char* name, double value) {
    std::printf("result %s %s %.3f\n", label.c_str(), name, value);
}

// ---- options -----------------------------------------------------------------

struct Options {
    std::string command;
    std::map<std::string, std::string> values;
    bool check = false;

    std::string text(const std::string& name, const std::string& fallback) const {
        auto found = values.find(name);
        return found == values.end() ? fallback : found->second;
    }
    // -1 for a value that is not a number within low..high.
    long number(const std::string& name, long fallback, long low, long high) const {
        auto found = values.find(name);
        if (found == values.end()) return fallback;
        char* end = nullptr;
        long value = std::strtol(found->second.c_str(), &end, 10);
        if (found->second.empty() || *end != '\0' || value < low || value > high) return -1;
        return value;
    }
};

bool parseOptions(int argc, char** argv, Options& options) {
    if (argc < 2) return false;
    options.command = argv[1];
    for (int i = 2; i < argc; ++i) {
        std::string name = argv[i];
        if (name == "--check") {
            options.check = true;
            continue;
        }
        if (name.rfind("--", 0) != 0 || i + 1 >= argc) return false;
        options.values[name.substr(2)] = argv[++i];
    }
    return true;
}

// ---- raw sockets -------------------------------------------------------------

void setNoDelay(SOCKET s) {
    int on = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

bool sendAll(SOCKET s, const char* data, int length) {
    while (length > 0) {
        int sent = static_cast<int>(send(s, data, length, 0));
        if (sent <= 0) return false;
        data += sent;
        length -= sent;
    }
    return true;
}

bool receiveExact(SOCKET s, char* buffer, int length) {
    while (length > 0) {
        int got = static_cast<int>(recv(s, buffer, length, 0));
        if (got <= 0) return false;
        buffer += got;
        length -= got;
    }
    return true;
}

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr(kHost);
    address.sin_port = htons(static_cast<unsigned short>(port));
    return address;
}

SOCKET listenOn(int port, int& boundPort) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return s;
    sockaddr_in address = loopback(port);
    socklen_t size = sizeof address;
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(s, 4) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    boundPort = ntohs(address.sin_port);
    return s;
}

SOCKET connectTo(int port) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return s;
    sockaddr_in address = loopback(port);
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    setNoDelay(s);
    platform::setSocketTimeout(s, SO_RCVTIMEO, kTimeoutMs);
    platform::setSocketTimeout(s, SO_SNDTIMEO, kTimeoutMs);
    return s;
}

// The agent's side of one PRBE, without the agent: frame in, acknowledgement
// and answer out, acknowledgement in. Ends when the client goes.
void serveRaw(SOCKET client) {
    setNoDelay(client);
    platform::setSocketTimeout(client, SO_RCVTIMEO, 30000);
    char frame[kFrameBytes];
    char answer[kFrameBytes];
    std::memset(answer, 'a', sizeof answer);
    const char ack = '*';
    for (;;) {
        if (!receiveExact(client, frame, kFrameBytes)) break;
        if (!sendAll(client, &ack, 1) || !sendAll(client, answer, kFrameBytes)) break;
        char peerAck;
        if (!receiveExact(client, &peerAck, 1)) break;
    }
    closesocket(client);
}

void serveConnections(SOCKET listener, long connections) {
    for (long i = 0; i < connections; ++i) {
        SOCKET client = accept(listener, nullptr, nullptr);
        if (client == INVALID_SOCKET) break;
        serveRaw(client);
    }
}

// The CNC peer's side of the raw exchange; round-trip times in us.
bool rawExchanges(int port, long count, std::vector<double>& times, std::string& error) {
    SOCKET s = connectTo(port);
    if (s == INVALID_SOCKET) {
        error = "cannot connect to the raw server";
        return false;
    }
    char frame[kFrameBytes];
    std::memset(frame, 'f', sizeof frame);
    char answer[kFrameBytes];
    const char ack = '*';
    bool ok = true;
    for (long i = 0; i < count + kWarmUp && ok; ++i) {
        Clock::time_point start = Clock::now();
        char agentAck;
        ok = sendAll(s, frame, kFrameBytes) && receiveExact(s, &agentAck, 1) &&
             receiveExact(s, answer, kFrameBytes) && sendAll(s, &ack, 1);
        if (ok && i >= kWarmUp) times.push_back(microsecondsBetween(start, Clock::now()));
    }
    closesocket(s);
    if (!ok) error = "the raw exchange failed";
    return ok;
}

int runRawServer(const Options& options) {
    long port = options.number("port", -1, 1, 65535);
    long connections = options.number("connections", 1, 1, 1000000);
    if (port < 0 || connections < 0) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    int bound = 0;
    SOCKET listener = listenOn(static_cast<int>(port), bound);
    if (listener == INVALID_SOCKET) {
        std::fprintf(stderr, "vxbench: cannot listen on %s:%ld\n", kHost, port);
        return 1;
    }
    std::printf("vxbench: raw server on %s:%d\n", kHost, bound);
    std::fflush(stdout);
    serveConnections(listener, connections);
    closesocket(listener);
    return 0;
}

// ---- network ------------------------------------------------------------------

struct Problems {
    int count = 0;
    void add(const std::string& what) {
        ++count;
        std::printf("vxbench: problem: %s\n", what.c_str());
    }
};

bool openSession(CncPeer& peer, int port, std::string& error) {
    if (!peer.connect(kHost, port, kTimeoutMs) || !peer.handshake({}, kTimeoutMs)) {
        error = peer.lastError();
        return false;
    }
    return true;
}

bool probe(CncPeer& peer, std::string& error) {
    std::string answer;
    Status sent = peer.sendCommand("PRBE\r\n", kTimeoutMs);
    Status read = sent == Status::kOk ? peer.readAnswer(answer, kTimeoutMs) : sent;
    if (read != Status::kOk) error = std::string("PRBE: ") + peer.lastError();
    return read == Status::kOk;
}

// PRBE on an open session with the same blocking calls as the raw exchange,
// so that the two differ only in what the agent does: the command frame
// (built once), the agent's acknowledgement, the answer's header block and
// the rest it announces, our acknowledgement. The answer must be a frame
// under the session key.
class FastProbe {
public:
    explicit FastProbe(CncPeer& peer) : peer_(peer) {
        encodeFrame(peer.sessionKey(), "PRBE\r\n", command_);
        platform::setSocketTimeout(peer.socketHandle(), SO_RCVTIMEO, kTimeoutMs);
    }

    bool run(std::string& error) {
        SOCKET s = peer_.socketHandle();
        char ack = 0;
        char answer[kMaxFrameLength];
        if (!sendAll(s, command_.data(), static_cast<int>(command_.size())) ||
            !receiveExact(s, &ack, 1) || !receiveExact(s, answer, frame::kBlockSize)) {
            error = "PRBE: the exchange failed";
            return false;
        }
        unsigned char header[frame::kBlockSize];
        decryptBlock(reinterpret_cast<const unsigned char*>(answer), peer_.sessionKey().data(),
                     header);
        int length = header[1] * 256 + header[2];
        if (length < frame::kBlockSize || length > kMaxFrameLength ||
            length % frame::kBlockSize != 0 || header[3] != '*' ||
            !receiveExact(s, answer + frame::kBlockSize, length - frame::kBlockSize)) {
            error = "PRBE: no answer frame";
            return false;
        }
        const char ourAck = '*';
        if (!sendAll(s, &ourAck, 1)) {
            error = "PRBE: the acknowledgement could not be sent";
            return false;
        }
        return true;
    }

private:
    CncPeer& peer_;
    std::string command_;
};

bool quitSession(CncPeer& peer, std::string& error) {
    std::string answer;
    bool ok = peer.sendCommand("QUIT\r\n", kTimeoutMs) == Status::kOk &&
              peer.readAnswer(answer, kTimeoutMs) == Status::kOk && answer == "100" &&
              peer.waitForClose(kTimeoutMs) == Status::kClosed;
    if (!ok) error = std::string("QUIT: ") + peer.lastError();
    peer.close();
    return ok;
}

int runNetwork(const Options& options) {
    const std::string label = options.text("label", "agent");
    const std::string target = options.text("target", "");
    long agentPort = options.number("agent-port", -1, 1, 65535);
    long rawPort = options.number("raw-port", 0, 1, 65535);
    long exchanges = options.number("raw-exchanges", 5000, 100, 10000000);
    long probes = options.number("probes", 5000, 2000, 10000000);
    long handshakeSeconds = options.number("handshake-seconds", 5, 1, 3600);
    long pollSeconds = options.number("poll-seconds", 60, 0, 3600);
    if (agentPort < 0 || rawPort < 0 || exchanges < 0 || probes < 0 || handshakeSeconds < 0 ||
        pollSeconds < 0 || (target != "" && target != "native" && target != "wine")) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    Problems problems;
    std::string error;

    // The baseline, against the given raw server or one of our own.
    std::thread ownServer;
    SOCKET ownListener = INVALID_SOCKET;
    int baselinePort = static_cast<int>(rawPort);
    if (rawPort == 0) {
        ownListener = listenOn(0, baselinePort);
        if (ownListener == INVALID_SOCKET) {
            std::fprintf(stderr, "vxbench: cannot listen for the raw baseline\n");
            return 1;
        }
        ownServer = std::thread(serveConnections, ownListener, 1L);
    }
    std::vector<double> raw;
    if (!rawExchanges(baselinePort, exchanges, raw, error)) problems.add("baseline: " + error);
    if (ownServer.joinable()) {
        ownServer.join();
        closesocket(ownListener);
    }
    std::sort(raw.begin(), raw.end());
    const double baseline = percentile(raw, 50);
    std::printf(
        "%s baseline, raw loopback exchange (32 B, ack, 32 B, ack; TCP_NODELAY): "
        "median %.1f us, p99 %.1f us over %zu exchanges (%s server)\n",
        label.c_str(), baseline, percentile(raw, 99), raw.size(),
        rawPort == 0 ? "in-process" : "separate");
    result(label, "baseline_median_us", baseline);
    result(label, "baseline_p99_us", percentile(raw, 99));

    // PRBE round trips on one session, then the fast poll on the same one.
    std::vector<double> trips;
    long polled = 0;
    double pollTime = 0;
    {
        CncPeer peer;
        if (!openSession(peer, static_cast<int>(agentPort), error)) {
            problems.add("PRBE session: " + error);
        } else {
            // One PRBE through the CNC peer's own calls checks the answer
            // whole; the rest go through the lean client.
            bool ok = probe(peer, error);
            FastProbe fast(peer);
            for (long i = 0; i < probes + kWarmUp && ok; ++i) {
                Clock::time_point start = Clock::now();
                ok = fast.run(error);
                if (ok && i >= kWarmUp) trips.push_back(microsecondsBetween(start, Clock::now()));
            }
            if (!ok) problems.add(error);
            Clock::time_point pollStart = Clock::now();
            while (ok && secondsSince(pollStart) < static_cast<double>(pollSeconds)) {
                ok = fast.run(error);
                if (ok) ++polled;
            }
            pollTime = secondsSince(pollStart);
            if (!ok) {
                problems.add("fast poll: " + error);
            } else if (!quitSession(peer, error)) {
                problems.add("end of the PRBE session: " + error);
            }
        }
    }
    std::sort(trips.begin(), trips.end());
    const double p50 = percentile(trips, 50);
    const double p99 = percentile(trips, 99);
    const double ratio50 = baseline > 0 ? p50 / baseline : 0;
    const double ratio99 = baseline > 0 ? p99 / baseline : 0;
    std::printf(
        "%s PRBE round trip on one session: p50 %.1f us (%.2fx baseline), "
        "p99 %.1f us (%.2fx baseline), max %.1f us over %zu probes\n",
        label.c_str(), p50, ratio50, p99, ratio99, trips.empty() ? 0.0 : trips.back(),
        trips.size());
    result(label, "prbe_p50_us", p50);
    result(label, "prbe_p99_us", p99);
    result(label, "prbe_p50_ratio", ratio50);
    result(label, "prbe_p99_ratio", ratio99);
    if (pollSeconds > 0) {
        std::printf("%s fast PRBE poll: %ld probes in %.1f s (%.0f per second) on one session\n",
                    label.c_str(), polled, pollTime, pollTime > 0 ? polled / pollTime : 0.0);
        result(label, "poll_per_second", pollTime > 0 ? polled / pollTime : 0.0);
    }

    // Handshakes per second.
    std::vector<double> handshakes;
    Clock::time_point handshakeStart = Clock::now();
    while (secondsSince(handshakeStart) < static_cast<double>(handshakeSeconds)) {
        Clock::time_point start = Clock::now();
        CncPeer peer;
        if (!openSession(peer, static_cast<int>(agentPort), error) || !quitSession(peer, error)) {
            problems.add("handshake " + std::to_string(handshakes.size() + 1) + ": " + error);
            break;
        }
        handshakes.push_back(microsecondsBetween(start, Clock::now()));
    }
    double handshakeTime = secondsSince(handshakeStart);
    std::sort(handshakes.begin(), handshakes.end());
    double perSecond = handshakeTime > 0 ? handshakes.size() / handshakeTime : 0;
    std::printf(
        "%s handshakes (connect, handshake, QUIT): %.0f per second, %zu in %.1f s, "
        "p50 %.0f us, p99 %.0f us\n",
        label.c_str(), perSecond, handshakes.size(), handshakeTime, percentile(handshakes, 50),
        percentile(handshakes, 99));
    result(label, "handshakes_per_second", perSecond);

    // After all that the agent still serves a session.
    {
        CncPeer peer;
        if (!openSession(peer, static_cast<int>(agentPort), error) || !probe(peer, error) ||
            !quitSession(peer, error)) {
            problems.add("a session after the run: " + error);
        } else {
            std::printf("%s the agent still serves a session after the run\n", label.c_str());
        }
    }

    if (target == "native") {
        if (ratio50 > 3.0) problems.add("target: native PRBE p50 is more than 3x the baseline");
        if (ratio99 > 10.0) problems.add("target: native PRBE p99 is more than 10x the baseline");
    } else if (target == "wine") {
        if (p50 >= 1000.0) problems.add("target: PRBE p50 under Wine is not under 1 ms");
    }
    if (!target.empty() && problems.count == 0) {
        std::printf("%s targets met\n", label.c_str());
    }
    return problems.count == 0 ? 0 : 1;
}

// ---- local ----------------------------------------------------------------------

struct KeyEvent {
    unsigned message;
    unsigned vkCode;
    unsigned char mapped;
};

constexpr unsigned kVkReturn = 0x0D;
constexpr unsigned kVkOemMinus = 0xBD;
constexpr unsigned kVkOemSlash = 0xBF;

// The events a reader sends for text and Enter, as the hook sees them: an
// upper-case letter with Shift around it, every key pressed and released.
std::vector<KeyEvent> eventsOf(const std::string& text, long& keys) {
    std::vector<KeyEvent> events;
    keys = 0;
    auto key = [&](unsigned vk, unsigned char mapped) {
        events.push_back({kMessageKeyDown, vk, mapped});
        events.push_back({kMessageKeyUp, vk, 0});
        ++keys;
    };
    for (char c : text) {
        if (c >= 'A' && c <= 'Z') {
            events.push_back({kMessageKeyDown, kVkLeftShift, 0});
            key(static_cast<unsigned>(c), static_cast<unsigned char>(c));
            events.push_back({kMessageKeyUp, kVkLeftShift, 0});
        } else if (c >= 'a' && c <= 'z') {
            key(static_cast<unsigned>(c - 32), static_cast<unsigned char>(c - 32));
        } else if (c == '-') {
            key(kVkOemMinus, '-');
        } else if (c == '/') {
            key(kVkOemSlash, '/');
        } else {
            key(static_cast<unsigned>(c), static_cast<unsigned char>(c));
        }
    }
    key(kVkReturn, 13);
    return events;
}

std::string scanDialogInFront() { return kScanDialogTitle; }
void noDialogToClose() {}

// ns per key through what the hook does (the watchdog's count and
// handleKeyboardEvent), and the scan it assembled.
bool keyPath(long keysWanted, double& nsPerKey, double& nsPerEvent, std::string& error) {
    initializeScanBufferLock();
    desktopSeam() = DesktopSeam{scanDialogInFront, noDialogToClose};
    setInitialCapsLock(false);
    const std::string text = "Lot-A12345/b7Q";
    long keysPerScan = 0;
    const std::vector<KeyEvent> events = eventsOf(text, keysPerScan);
    const long scansPerBatch = 1000;
    long keys = 0;
    long eventCount = 0;
    double seconds = 0;
    HookWatchdog watchdog;
    while (keys < keysWanted) {
        Clock::time_point start = Clock::now();
        for (long i = 0; i < scansPerBatch; ++i) {
            for (const KeyEvent& e : events) {
                watchdog.hookCalled(e.message, e.vkCode);
                handleKeyboardEvent(e.message, e.vkCode, e.mapped);
            }
        }
        seconds += std::chrono::duration<double>(Clock::now() - start).count();
        keys += keysPerScan * scansPerBatch;
        eventCount += static_cast<long>(events.size()) * scansPerBatch;
        // The session's probe takes the scans; not part of the hook's work.
        long taken = 0;
        QueuedScan queued;
        while (takeScan(queued, 4096) == ScanTake::taken) {
            if (queued.text != text) {
                error =
                    "the key path assembled \"" + queued.text + "\" instead of \"" + text + "\"";
                return false;
            }
            ++taken;
        }
        scan_journal::recordDelivered(queued.sequence);
        if (taken != scansPerBatch) {
            error = "the key path committed " + std::to_string(taken) + " scans of " +
                    std::to_string(scansPerBatch);
            return false;
        }
    }
    nsPerKey = seconds * 1e9 / static_cast<double>(keys);
    nsPerEvent = seconds * 1e9 / static_cast<double>(eventCount);
    return true;
}

// One-scan probe answers on a session of the agent's own class, in this
// process over 127.0.0.1, with the scan journal on: before each probe one
// scan is committed as the hook commits it. Times in us, per answer: from
// sending PRBE to the answer read and acknowledged (roundTrips), and on to
// the delivered mark on disk (delivered).
bool deliveredAnswers(long probes, const std::string& journalPath, std::vector<double>& roundTrips,
                      std::vector<double>& delivered, std::string& error) {
    int port = 0;
    SOCKET listener = listenOn(0, port);
    if (listener == INVALID_SOCKET) {
        error = "cannot listen for the in-process session";
        return false;
    }
    tMDCProperty properties;
    properties.logLevel = 1;
    CncPeer peer;
    std::thread connector([&] { peer.connect(kHost, port, kTimeoutMs); });
    SOCKET accepted = accept(listener, nullptr, nullptr);
    connector.join();
    closesocket(listener);
    if (accepted == INVALID_SOCKET || !peer.isConnected()) {
        error = "the in-process session did not connect";
        return false;
    }
    setNoDelay(accepted);
    setNoDelay(peer.socketHandle());

    platform::deleteFile(journalPath);
    scan_journal::start(journalPath);
    // Level 0: a line per probe ("Response: ...") would trip the log's loop
    // guard at this rate, and no log is open here anyway.
    const int savedLevel = logLevel;
    logLevel = 0;
    TesselHID session;
    session.properties = &properties;
    session.ClientSocket = new vSecureSocket;
    session.ClientSocket->handle = accepted;
    session.ClientSocket->connected = true;
    session.ClientSocket->setTimeout(kTimeoutMs, kTimeoutMs);
    std::thread sessionThread([&] { session.doSession(); });

    bool ok = peer.handshake({}, kTimeoutMs);
    if (!ok) error = "in-process handshake: " + peer.lastError();
    const std::string text = "Lot-A12345/b7Q";
    for (long i = 0; ok && i < kWarmUp + probes; ++i) {
        appendScan(text);  // the i+1-th commit since the journal started
        const std::uint64_t sequence = static_cast<std::uint64_t>(i + 1);
        Clock::time_point start = Clock::now();
        std::string answer;
        ok = peer.sendCommand("PRBE\r\n", kTimeoutMs) == Status::kOk &&
             peer.readAnswer(answer, kTimeoutMs) == Status::kOk;
        Clock::time_point answered = Clock::now();
        if (!ok || answer != text + "\n") {
            error = "in-process PRBE: " + (ok ? "answer \"" + answer + "\"" : peer.lastError());
            ok = false;
            break;
        }
        while (scan_journal::deliveredOnDisk() < sequence) {
            if (secondsSince(start) > 5) {
                error = "the delivered mark did not reach the disk within 5 s";
                ok = false;
                break;
            }
            std::this_thread::yield();
        }
        if (ok && i >= kWarmUp) {
            roundTrips.push_back(microsecondsBetween(start, answered));
            delivered.push_back(microsecondsBetween(start, Clock::now()));
        }
    }
    std::string quit;
    peer.sendCommand("QUIT\r\n", kTimeoutMs);
    peer.readAnswer(quit, kTimeoutMs);
    peer.close();
    sessionThread.join();
    session.ShutdownThread();
    scan_journal_testing::stop();
    platform::deleteFile(journalPath);
    logLevel = savedLevel;
    std::sort(roundTrips.begin(), roundTrips.end());
    std::sort(delivered.begin(), delivered.end());
    return ok;
}

template <typename Work>
double nanosecondsPerCall(long calls, Work work) {
    Clock::time_point start = Clock::now();
    for (long i = 0; i < calls; ++i) work();
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count() /
           static_cast<double>(calls);
}

int runLocal(const Options& options) {
    const std::string label = options.text("label", "local");
    long keysWanted = options.number("keys", 2000000, 1000, 1000000000);
    long blocks = options.number("blocks", 1000000, 1000, 1000000000);
    if (keysWanted < 0 || blocks < 0) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    long probes = options.number("probes", 2000, 1, 1000000);
    if (probes < 0) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    Problems problems;
    std::string error;
    double nsPerKey = 0;
    double nsPerEvent = 0;
    // The scan journal is on, as in the agent: every commit is handed to its
    // writer thread, which is part of the key path's hand-off.
    const std::string journalPath = platform::fullPath("vxbench.scans");
    platform::deleteFile(journalPath);
    scan_journal::start(journalPath);
    bool keyPathOk = keyPath(keysWanted, nsPerKey, nsPerEvent, error);
    scan_journal_testing::stop();
    scan_buffer_testing::clearScanBuffer();
    platform::deleteFile(journalPath);
    if (!keyPathOk) {
        problems.add(error);
    } else {
        std::printf(
            "%s key path (translation, scan assembly and the commit's hand-off to the scan "
            "journal, %ld keys): %.0f ns per key, %.0f ns per hook call\n",
            label.c_str(), keysWanted, nsPerKey, nsPerEvent);
        result(label, "key_ns", nsPerKey);
        if (options.check && nsPerKey >= 20000) problems.add("target: key path is not under 20 us");
    }

    std::vector<double> roundTrips;
    std::vector<double> delivered;
    if (!deliveredAnswers(probes, journalPath, roundTrips, delivered, error)) {
        problems.add(error);
    } else {
        std::printf(
            "%s delivered one-scan answer (in-process session, %ld probes): PRBE to the "
            "acknowledged answer p50 %.1f us p99 %.1f us; to the delivered mark on disk p50 "
            "%.1f us p99 %.1f us\n",
            label.c_str(), probes, percentile(roundTrips, 50), percentile(roundTrips, 99),
            percentile(delivered, 50), percentile(delivered, 99));
        result(label, "one_scan_answer_p50_us", percentile(roundTrips, 50));
        result(label, "one_scan_answer_p99_us", percentile(roundTrips, 99));
        result(label, "one_scan_delivered_p50_us", percentile(delivered, 50));
        result(label, "one_scan_delivered_p99_us", percentile(delivered, 99));
    }

    unsigned char key[16];
    unsigned char block[16];
    for (int i = 0; i < 16; ++i) {
        key[i] = static_cast<unsigned char>(i * 17 + 3);
        block[i] = static_cast<unsigned char>(i * 29 + 5);
    }
    // Each output feeds the next call, so no call can be left out.
    double encryptNs = nanosecondsPerCall(blocks, [&] { encryptBlock(block, key, block); });
    double decryptNs = nanosecondsPerCall(blocks, [&] { decryptBlock(block, key, block); });
    std::printf(
        "%s encryptBlock %.0f ns per block, decryptBlock %.0f ns per block "
        "(%ld blocks each; the key is expanded at every call)\n",
        label.c_str(), encryptNs, decryptNs, blocks);
    result(label, "encrypt_ns", encryptNs);
    result(label, "decrypt_ns", decryptNs);
#ifdef VXBENCH_OPENSSL
    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    unsigned char output[32];
    int written = 0;
    bool ok = context != nullptr;
    auto setKey = [&](int encrypt) {
        ok = ok &&
             EVP_CipherInit_ex(context, EVP_aes_128_ecb(), nullptr, key, nullptr, encrypt) == 1 &&
             EVP_CIPHER_CTX_set_padding(context, 0) == 1;
    };
    auto oneBlock = [&] {
        ok = ok && EVP_CipherUpdate(context, output, &written, block, 16) == 1 && written == 16;
        std::memcpy(block, output, 16);
    };
    setKey(1);
    double sslEncrypt = nanosecondsPerCall(blocks, oneBlock);
    setKey(0);
    double sslDecrypt = nanosecondsPerCall(blocks, oneBlock);
    double sslEncryptKeyed = nanosecondsPerCall(blocks, [&] {
        setKey(1);
        oneBlock();
    });
    double sslDecryptKeyed = nanosecondsPerCall(blocks, [&] {
        setKey(0);
        oneBlock();
    });
    EVP_CIPHER_CTX_free(context);
    if (!ok) {
        problems.add("OpenSSL's AES-128-ECB failed");
    } else {
        std::printf(
            "%s OpenSSL AES-128-ECB, key set once: encrypt %.0f ns, decrypt %.0f ns per "
            "block; ours is %.1fx and %.1fx that\n",
            label.c_str(), sslEncrypt, sslDecrypt, encryptNs / sslEncrypt, decryptNs / sslDecrypt);
        std::printf(
            "%s OpenSSL AES-128-ECB, key set for every block (as ours): encrypt %.0f ns, "
            "decrypt %.0f ns per block; ours is %.1fx and %.1fx that\n",
            label.c_str(), sslEncryptKeyed, sslDecryptKeyed, encryptNs / sslEncryptKeyed,
            decryptNs / sslDecryptKeyed);
        result(label, "openssl_encrypt_ns", sslEncrypt);
        result(label, "openssl_decrypt_ns", sslDecrypt);
        result(label, "openssl_keyed_encrypt_ns", sslEncryptKeyed);
        result(label, "openssl_keyed_decrypt_ns", sslDecryptKeyed);
    }
#else
    std::printf("%s OpenSSL: not in this build\n", label.c_str());
#endif
    std::printf("%s (checksum %02x)\n", label.c_str(), block[0]);
    return problems.count == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, options)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    WSADATA data;
    if (WSAStartup(0x0202, &data) != 0) {
        std::fprintf(stderr, "vxbench: cannot start Windows Sockets\n");
        return 1;
    }
    int status = 2;
    if (options.command == "raw-server") {
        status = runRawServer(options);
    } else if (options.command == "network") {
        status = runNetwork(options);
    } else if (options.command == "local") {
        status = runLocal(options);
    } else {
        std::fputs(kUsage, stderr);
    }
    std::fflush(stdout);
    WSACleanup();
    return status;
}
