// vxsoak: a bounded soak run against one agent that listens on 127.0.0.1.
//
//   vxsoak --port P [--seconds N] [--guard-second S] [--seed N]
//          [--phases LIST|all|none] [--timeout-ms N] [--agent-timeout-ms N]
//          [--source ADDRESS] [--refused-source ADDRESS] [--stop]
//
// Runs phases one after the other, each limited by a count and by its share
// of the seconds: connect/close churn, random bytes before the handshake,
// random and malformed frames after a good handshake, frames split over
// several writes, oversized frames, peers that withhold acknowledgements,
// peers that vanish mid-frame, and storms of new connections a few
// milliseconds apart while another session is reading; with
// --refused-source, storms of connections from an address off the agent's
// allowed-peers list while an allowed session polls. After every phase a
// new connection must still get the announcement, and at the end a clean
// session (handshake, DBUG 1, PRBE, QUIT) must work. --stop then ends the
// agent through its own exit path: UPDT, which cannot apply without the
// service program in the agent's folder, followed by QUIT.
//
// The agent's log ends the process after 102 consecutive lines in the
// second-of-minute of the log's first line, and every failed connection
// writes level-1 lines. --guard-second names that second: the driver lets
// the agent catch up and stays quiet from a few seconds before it until one
// second after it, so the agent is never ended by its own loop guard. (The
// agent limits its refusal lines to ten a second, but under Wine a refused
// peer that resets before the accept makes the accept fail, and each failed
// accept writes a level-1 line of the socket layer.)
//
// Prints its counters at the end and exits 0 when the agent answered
// throughout and the clean session worked, 1 otherwise, 2 on bad options.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <iostream>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/text_format.h"
#include "peer/cnc_peer.h"
#include "peer/commands.h"
#include "peer/escape_text.h"
#include "platform/platform.h"
#include "transport/aes128.h"
#include "transport/frame_limits.h"
#include "transport/session_encryptor.h"

namespace {

using peer::CncPeer;
using peer::encodeFrame;
using peer::escapeText;
using peer::HandshakeOptions;
using peer::kAnnouncementLength;
using peer::kDoneAnswer;
using peer::Key;
using peer::kMaxFrameLength;
using peer::kQuitAnswer;
using peer::randomKey;
using peer::Status;
using Clock = std::chrono::steady_clock;

const char kHost[] = "127.0.0.1";
constexpr int kBlock = frame::kBlockSize;
// Problems printed in full; later ones are only counted.
constexpr long kProblemsShown = 30;

const char kUsage[] =
    "usage: vxsoak --port P [--seconds N] [--guard-second S] [--seed N]\n"
    "              [--phases LIST|all|none] [--timeout-ms N] [--agent-timeout-ms N]\n"
    "              [--source ADDRESS] [--refused-source ADDRESS] [--stop]\n"
    "  --port P             the agent's port on 127.0.0.1\n"
    "  --seconds N          time for all phases together (default 120)\n"
    "  --guard-second S     second-of-minute of the agent log's first line; the driver\n"
    "                       keeps quiet around it (default: no pacing)\n"
    "  --seed N             random seed (default: from the clock; printed)\n"
    "  --phases LIST        comma-separated phases, all (default) or none (only the\n"
    "                       final clean session): churn, garbage-before, garbage-after,\n"
    "                       split, oversized, no-ack, vanish, storm, refused (the\n"
    "                       last only with --refused-source, and then in all)\n"
    "  --timeout-ms N       longest wait for an answer the agent owes (default 15000)\n"
    "  --agent-timeout-ms N the agent's socket receive time-out (default 5000)\n"
    "  --source ADDRESS     connect from this local address (default: the system's\n"
    "                       choice, 127.0.0.1)\n"
    "  --refused-source ADDRESS\n"
    "                       an address the agent does not allow (its -A list leaves\n"
    "                       it out): the refused phase storms the agent from it and\n"
    "                       expects every such connection closed without a byte\n"
    "  --stop               after the final session, end the agent (UPDT, then QUIT)\n";

struct Options {
    int port = 0;
    int seconds = 120;
    int guardSecond = -1;
    unsigned seed = 0;
    bool seedGiven = false;
    std::string phases = "all";
    int timeoutMs = 15000;
    int agentTimeoutMs = 5000;
    bool stop = false;
    std::string source;
    std::string refusedSource;
};

bool parseNumber(const std::string& text, int low, int high, int& value) {
    char* end = nullptr;
    long parsed = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || parsed < low || parsed > high) return false;
    value = static_cast<int>(parsed);
    return true;
}

bool parseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        if (name == "--stop") {
            options.stop = true;
            continue;
        }
        if (i + 1 >= argc) return false;
        std::string value = argv[++i];
        int number = 0;
        if (name == "--port" && parseNumber(value, 1, 65535, number)) {
            options.port = number;
        } else if (name == "--seconds" && parseNumber(value, 1, 86400, number)) {
            options.seconds = number;
        } else if (name == "--guard-second" && parseNumber(value, 0, 59, number)) {
            options.guardSecond = number;
        } else if (name == "--seed" && parseNumber(value, 0, 0x7FFFFFFF, number)) {
            options.seed = static_cast<unsigned>(number);
            options.seedGiven = true;
        } else if (name == "--phases") {
            options.phases = value;
        } else if (name == "--source") {
            options.source = value;
        } else if (name == "--refused-source") {
            options.refusedSource = value;
        } else if (name == "--timeout-ms" && parseNumber(value, 100, 600000, number)) {
            options.timeoutMs = number;
        } else if (name == "--agent-timeout-ms" && parseNumber(value, 0, 600000, number)) {
            options.agentTimeoutMs = number;
        } else {
            return false;
        }
    }
    return options.port != 0;
}

void sleepMs(int milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class Random {
public:
    explicit Random(unsigned seed) : engine_(seed) {}
    int between(int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(engine_);
    }
    bool chance(int percent) { return between(0, 99) < percent; }
    std::string bytes(int count) {
        std::string out(static_cast<size_t>(count), '\0');
        for (char& c : out) c = static_cast<char>(between(0, 255));
        return out;
    }
    // Printable ASCII; its '<' and '>' now and then open or close a field
    // of a configuration section.
    std::string printable(int count) {
        std::string out(static_cast<size_t>(count), ' ');
        for (char& c : out) c = static_cast<char>(between(0x20, 0x7E));
        return out;
    }
    int pick(const std::vector<int>& values) {
        return values[static_cast<size_t>(between(0, static_cast<int>(values.size()) - 1))];
    }
    std::string pick(const std::vector<std::string>& values) {
        return values[static_cast<size_t>(between(0, static_cast<int>(values.size()) - 1))];
    }
    unsigned next() { return static_cast<unsigned>(engine_()); }

private:
    std::mt19937 engine_;
};

// Encrypts whole 16-byte blocks of plain under key, each block on its own.
std::string encryptBlocks(const Key& key, const std::string& plain) {
    std::string out;
    for (size_t offset = 0; offset + kBlock <= plain.size(); offset += kBlock) {
        unsigned char block[kBlock];
        encryptBlock(reinterpret_cast<const unsigned char*>(plain.data()) + offset, key.data(),
                     block);
        out.append(reinterpret_cast<const char*>(block), kBlock);
    }
    return out;
}

// A header block as the agent builds it, with any fill count and length.
std::string headerBlock(int fill, int length) {
    std::string header(kBlock, static_cast<char>(frame::kFillByte));
    header[0] = static_cast<char>(fill & 0xFF);
    header[1] = static_cast<char>((length >> 8) & 0xFF);
    header[2] = static_cast<char>(length & 0xFF);
    return header;
}

// Sets a zero linger time so that the close sends a reset, as a peer that
// vanishes does, then closes.
void resetConnection(CncPeer& peer) {
    if (!peer.isConnected()) return;
    linger option{};
    option.l_onoff = 1;
    option.l_linger = 0;
    setsockopt(peer.socketHandle(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&option),
               sizeof option);
    peer.close();
}

struct Counters {
    std::atomic<long> opened{0};      // connections made
    std::atomic<long> served{0};      // connections on which the announcement arrived
    std::atomic<long> handshakes{0};  // handshakes that ended in "100 Confirmed"
    std::atomic<long> commands{0};    // well-formed commands acknowledged
    std::atomic<long> malformed{0};   // inputs that are no proper protocol step
    std::atomic<long> withheld{0};    // acknowledgements the peer did not send
    std::atomic<long> vanished{0};    // peers gone mid-handshake, mid-frame or mid-answer
    std::atomic<long> ackWaits{0};    // acknowledgement time-outs waited out, session going on
    std::atomic<long> syncs{0};       // checks that a new connection is still served
    std::atomic<long> refused{0};     // connections the agent closed before announcing
    std::atomic<long> polls{0};       // probes answered to the allowed session of a storm
    std::atomic<long> problems{0};    // the agent did not do what it must
    // Longest time from connecting to the whole announcement; shows how
    // long the agent takes to leave the previous session.
    std::atomic<long> slowestServiceMs{0};
};

class Soak {
public:
    explicit Soak(const Options& options) : options_(options), random_(options.seed) {}
    int run();

private:
    using Step = void (Soak::*)(int);
    struct Phase {
        const char* name;
        int weight;       // share of the seconds
        int maxCount;     // cycles at most
        int quietMargin;  // seconds of quiet before the log guard's second
        Step step;
    };

    // ---- helpers ----
    void problem(const std::string& where, const std::string& detail);
    bool open(CncPeer& peer, const char* where);
    // Reads the announcement of a connection made at the given time.
    bool announce(CncPeer& peer, const char* where, Clock::time_point connected = Clock::now(),
                  int timeoutMs = 0);
    bool greet(CncPeer& peer, const char* where,
               const HandshakeOptions& handshake = HandshakeOptions());
    bool command(CncPeer& peer, const std::string& text, const char* where);
    bool expectAnswer(CncPeer& peer, const std::string& wanted, const char* where);
    void drain(CncPeer& peer, int milliseconds);
    void endConnection(CncPeer& peer);
    bool sync();
    int secondsUntilGuard() const;
    void pace(int margin);
    std::string commandFrame(const Key& key, const std::string& message);
    std::string configurationText();
    std::string garbageFrameContinuing(const Key& key);
    std::string garbageFrameEnding(const Key& key);

    // ---- phases ----
    void churn(int cycle);
    void garbageBefore(int cycle);
    void garbageAfter(int cycle);
    void split(int cycle);
    void oversized(int cycle);
    void noAck(int cycle);
    void vanish(int cycle);
    void storm(int cycle);
    void refused(int cycle);
    bool cleanSession(const char* where, std::string& probeAnswer);
    bool finalSession();
    bool stopAgent();

    void runPhase(const Phase& phase, double budgetSeconds);

    Options options_;
    Random random_;
    Counters counters_;
    std::mutex outputMutex_;
    bool lost_ = false;   // the agent stopped answering: no further phases
    bool dirty_ = false;  // connections since the last sync
    int quickCloses_ = 0;
    double pausedSeconds_ = 0;
    Clock::time_point phaseStart_;
    double phaseBudget_ = 0;
};

// ---- helpers ----------------------------------------------------------------

void Soak::problem(const std::string& where, const std::string& detail) {
    long count = ++counters_.problems;
    std::lock_guard<std::mutex> lock(outputMutex_);
    if (count <= kProblemsShown) {
        std::cerr << "vxsoak: problem in " << where << ": " << detail << std::endl;
    } else if (count == kProblemsShown + 1) {
        std::cerr << "vxsoak: further problems are only counted" << std::endl;
    }
}

bool Soak::open(CncPeer& peer, const char* where) {
    dirty_ = true;
    peer.setSourceAddress(options_.source);
    if (!peer.connect(kHost, options_.port, options_.timeoutMs)) {
        problem(where, "no connection: " + peer.lastError());
        return false;
    }
    ++counters_.opened;
    return true;
}

bool Soak::announce(CncPeer& peer, const char* where, Clock::time_point connected, int timeoutMs) {
    if (timeoutMs == 0) timeoutMs = options_.timeoutMs;
    std::string announcement;
    if (peer.receiveExact(announcement, kAnnouncementLength, timeoutMs) != Status::kOk) {
        problem(where, "no announcement on a new connection: " + peer.lastError());
        return false;
    }
    ++counters_.served;
    long waited = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - connected).count());
    long slowest = counters_.slowestServiceMs;
    while (waited > slowest && !counters_.slowestServiceMs.compare_exchange_weak(slowest, waited)) {
    }
    return true;
}

bool Soak::greet(CncPeer& peer, const char* where, const HandshakeOptions& handshake) {
    if (!open(peer, where)) return false;
    bool confirmed = peer.handshake(handshake, options_.timeoutMs);
    if (!peer.announcement().empty()) ++counters_.served;
    if (!confirmed) {
        problem(where, "handshake: " + peer.lastError());
        return false;
    }
    ++counters_.handshakes;
    return true;
}

bool Soak::command(CncPeer& peer, const std::string& text, const char* where) {
    Status status = peer.sendCommand(text, options_.timeoutMs);
    if (status != Status::kOk) {
        problem(where, "\"" + escapeText(text) + "\" not acknowledged: " + peer.lastError());
        return false;
    }
    ++counters_.commands;
    return true;
}

bool Soak::expectAnswer(CncPeer& peer, const std::string& wanted, const char* where) {
    std::string answer;
    if (peer.readAnswer(answer, options_.timeoutMs) != Status::kOk) {
        problem(where, "no answer: " + peer.lastError());
        return false;
    }
    if (answer != wanted) {
        problem(where,
                "answer \"" + escapeText(answer) + "\", wanted \"" + escapeText(wanted) + "\"");
        return false;
    }
    return true;
}

// Reads and drops whatever the agent sends within the time.
void Soak::drain(CncPeer& peer, int milliseconds) {
    Clock::time_point end = Clock::now() + std::chrono::milliseconds(milliseconds);
    std::string bytes;
    while (peer.isConnected() && Clock::now() < end) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
        if (peer.receiveSome(bytes, kMaxFrameLength, left < 1 ? 1 : left) != Status::kOk) {
            return;
        }
    }
}

// An orderly close or a reset, chosen at random.
void Soak::endConnection(CncPeer& peer) {
    if (random_.chance(30)) {
        resetConnection(peer);
    } else {
        peer.close();
    }
}

// A new connection must get the announcement. The agent serves connections
// in order, so once it comes every earlier connection has been taken over
// and its session's lines are written.
bool Soak::sync() {
    CncPeer peer;
    ++counters_.syncs;
    bool served = false;
    for (int attempt = 0; attempt < 2 && !served; ++attempt) {
        Clock::time_point connected = Clock::now();
        peer.setSourceAddress(options_.source);
        if (!peer.connect(kHost, options_.port, options_.timeoutMs)) {
            problem("sync", "no connection: " + peer.lastError());
            continue;
        }
        ++counters_.opened;
        // Generous: the agent may still be working through a storm's backlog.
        served = announce(peer, "sync", connected, 4 * options_.timeoutMs);
        if (!served) peer.close();
    }
    peer.close();
    dirty_ = false;
    quickCloses_ = 0;
    if (!served) lost_ = true;
    return served;
}

int Soak::secondsUntilGuard() const {
    struct tm local {};
    platform::localTime(static_cast<long long>(std::time(nullptr)), local);
    return (options_.guardSecond - local.tm_sec + 60) % 60;
}

// Stays quiet from margin seconds before the log guard's second until one
// second after it, after letting the agent catch up with what was sent.
void Soak::pace(int margin) {
    if (options_.guardSecond < 0) return;
    Clock::time_point start = Clock::now();
    for (;;) {
        int until = secondsUntilGuard();
        bool quiet = until <= margin || until == 59;
        if (!quiet) break;
        if (dirty_ && until >= 1) sync();
        sleepMs(100);
    }
    pausedSeconds_ += secondsSince(start);
}

std::string Soak::commandFrame(const Key& key, const std::string& message) {
    std::string frameBytes;
    encodeFrame(key, message, frameBytes);
    return frameBytes;
}

// A CNFG payload built from the section keywords, field keys and random
// text, so that the parser meets whole, partial and broken sections.
std::string Soak::configurationText() {
    static const std::vector<std::string> kPieces = {"ProtocolElement{",
                                                     "DataElement{",
                                                     "<Name:",
                                                     "<Value:",
                                                     "<Source:",
                                                     "<Type:",
                                                     ">",
                                                     "}",
                                                     "<",
                                                     "{",
                                                     " ",
                                                     "\r\n"};
    std::string text;
    int pieces = random_.between(1, 60);
    for (int i = 0; i < pieces; ++i) {
        if (random_.chance(60)) {
            text += random_.pick(kPieces);
        } else {
            text += random_.printable(random_.between(0, 24));
        }
    }
    // "CNFG ", the text and CR LF must fit one 2048-byte frame.
    return text.substr(0, 2000);
}

// A malformed or odd message after which the agent keeps the session: it
// acknowledges the frame and waits for the next one.
std::string Soak::garbageFrameContinuing(const Key& key) {
    switch (random_.between(0, 4)) {
        case 0:
            return commandFrame(key, "CNFG " + configurationText() + "\r\n");
        case 1:
            // No blank: the previous CNFG argument of the session is parsed again.
            return commandFrame(key, "CNFG\r\n");
        case 2: {
            // A length field that disagrees with the frame: not looked at.
            std::string message = "NOOP\r\n";
            std::string plain = message + std::string(10, static_cast<char>(frame::kFillByte));
            return encryptBlocks(key, headerBlock(10, random_.between(0, 0xFFFF)) + plain);
        }
        case 3:
            return commandFrame(key, random_.pick({"STAT", "PROT", "PASV", "MODE", "DELE"}) + " " +
                                         random_.printable(40) + "\r\n");
        default:
            return commandFrame(key, "NOOP " + random_.printable(random_.between(0, 1500)));
    }
}

// A message after which the agent ends the session: bytes that are not a
// whole number of blocks, blocks that do not decrypt to a frame, a header
// whose fill count is out of range, an empty message or an unknown word.
std::string Soak::garbageFrameEnding(const Key& key) {
    switch (random_.between(0, 7)) {
        case 0: {
            int length = random_.between(1, 3000);
            if (length % kBlock == 0) ++length;
            return random_.bytes(length);
        }
        case 1:
            return random_.bytes(kBlock * random_.between(1, 128));
        case 2:
            return encryptBlocks(key,
                                 headerBlock(random_.between(16, 255), 32) + random_.bytes(kBlock));
        case 3:
            return encryptBlocks(key, headerBlock(random_.between(1, 15), 16));
        case 4:
            return commandFrame(key, "");
        case 5:
            return commandFrame(key, random_.bytes(random_.between(1, frame::kMaxMessageLength)));
        case 6:
            return commandFrame(key, random_.pick({"noop\r\n", "NOOP", "QUIT!\r\n", "\r\n",
                                                   "PRBE PRBE PRBE", "X\r\n"}));
        default:
            return commandFrame(key, random_.printable(random_.between(1, 12)) + "\r\n");
    }
}

// ---- phases -----------------------------------------------------------------

// Connect and close: mostly after the announcement, sometimes at once or
// with a reset, sometimes after a handshake or a whole session.
void Soak::churn(int cycle) {
    const char* where = "churn";
    CncPeer peer;
    int kind = cycle % 10;
    if (kind == 5 || kind == 6) {
        if (!greet(peer, where)) return;
        if (kind == 6 && command(peer, "QUIT\r\n", where)) {
            expectAnswer(peer, kQuitAnswer, where);
        }
        peer.close();
        return;
    }
    if (!open(peer, where)) return;
    if (kind < 5) {
        announce(peer, where);
        peer.close();
        return;
    }
    if (kind == 9) {
        resetConnection(peer);
    } else {
        peer.close();
    }
    // Closed before the agent took them: let it catch up now and then, so
    // that no long backlog builds up.
    if (++quickCloses_ >= 10) sync();
}

// Random bytes where the session code and the confirmation belong, some
// sent before the announcement was read, some far longer than 16 bytes.
void Soak::garbageBefore(int cycle) {
    (void)cycle;
    const char* where = "garbage-before";
    static const std::vector<int> kLengths = {1,  7,   15,  16,   17,   31,   32,   33,
                                              48, 100, 255, 2048, 2064, 4096, 12000};
    CncPeer peer;
    if (!open(peer, where)) return;
    bool readFirst = random_.chance(50);
    if (readFirst && !announce(peer, where)) return;
    int length = random_.chance(50) ? random_.pick(kLengths) : random_.between(1, 600);
    if (peer.sendRaw(random_.bytes(length))) ++counters_.malformed;
    if (!readFirst && !announce(peer, where)) return;
    // With 16 bytes or more the agent answers with a response code, with 32
    // or more also with "200 Failed"; none of it is acknowledged.
    if (random_.chance(50)) drain(peer, 100);
    endConnection(peer);
}

// A good handshake, then malformed messages: some the agent takes and goes
// on, then one that ends the session. Every read is acknowledged.
void Soak::garbageAfter(int cycle) {
    (void)cycle;
    const char* where = "garbage-after";
    CncPeer peer;
    if (!greet(peer, where)) return;
    int continuing = random_.between(0, 3);
    for (int i = 0; i <= continuing; ++i) {
        bool last = i == continuing;
        std::string bytes = last ? garbageFrameEnding(peer.sessionKey())
                                 : garbageFrameContinuing(peer.sessionKey());
        // Of a message longer than its receive limit the agent takes the
        // first 2048 bytes as a frame; when that ends the session with QUIT
        // it closes the connection, and the rest of the send and the
        // acknowledgement may meet a reset.
        bool mayBeReset = last && bytes.size() > static_cast<size_t>(frame::kStagingBufferSize);
        if (!peer.sendRaw(bytes)) {
            if (!mayBeReset) problem(where, "send: " + peer.lastError());
            break;
        }
        ++counters_.malformed;
        if (peer.receiveAck(options_.timeoutMs) != Status::kOk && !mayBeReset) {
            problem(where, "no acknowledgement of a malformed message: " + peer.lastError());
            break;
        }
    }
    endConnection(peer);
}

// A well-formed command frame in two to five writes with pauses from none
// to longer than the agent's polling interval; or a session code in two
// writes. The agent reads what has arrived as one whole frame.
void Soak::split(int cycle) {
    const char* where = "split";
    static const std::vector<int> kPauses = {0, 2, 20, 150, 250};
    CncPeer peer;
    if (cycle % 5 == 4) {
        if (!open(peer, where) || !announce(peer, where)) return;
        unsigned char code[kBlock];
        Key key = randomKey();
        encryptBlock(key.data(), builtInKey, code);
        std::string sessionCode(reinterpret_cast<const char*>(code), kBlock);
        size_t first = static_cast<size_t>(random_.between(1, kBlock - 1));
        peer.sendRaw(sessionCode.substr(0, first));
        sleepMs(random_.pick(kPauses));
        peer.sendRaw(sessionCode.substr(first));
        ++counters_.malformed;
        drain(peer, 200);
        endConnection(peer);
        return;
    }
    if (!greet(peer, where)) return;
    std::string message = random_.pick(
        {"NOOP\r\n", "PRBE\r\n", "STAT\r\n", "CNFG ProtocolElement{<Name:port><Value:8194>}\r\n"});
    std::string frameBytes = commandFrame(peer.sessionKey(), message);
    int pieces = random_.between(2, 5);
    std::vector<int> cuts;
    for (int i = 1; i < pieces; ++i) {
        cuts.push_back(random_.between(1, static_cast<int>(frameBytes.size()) - 1));
    }
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    cuts.push_back(static_cast<int>(frameBytes.size()));
    int at = 0;
    for (int cut : cuts) {
        if (!peer.sendRaw(
                frameBytes.substr(static_cast<size_t>(at), static_cast<size_t>(cut - at))))
            break;
        at = cut;
        if (cut < static_cast<int>(frameBytes.size())) sleepMs(random_.pick(kPauses));
    }
    ++counters_.malformed;
    // The acknowledgements of the reads and, for a PRBE read whole, its answer.
    drain(peer, 150);
    endConnection(peer);
}

// Frames longer than the agent's receive limit (2048 bytes) and its frame
// buffer (10240 bytes), with a header that announces their length.
void Soak::oversized(int cycle) {
    (void)cycle;
    const char* where = "oversized";
    static const std::vector<int> kSizes = {2064,  2065,  2080,  2560,  4096,  4112, 8192,
                                            10240, 10256, 10257, 16384, 20480, 65536};
    CncPeer peer;
    if (!greet(peer, where)) return;
    int size = random_.pick(kSizes);
    int blockBytes = (size - kBlock) / kBlock * kBlock;
    std::string plain = "CNFG ProtocolElement{<Name:big><Value:";
    while (static_cast<int>(plain.size()) < blockBytes) {
        plain += random_.chance(2) ? '>' : 'v';
    }
    plain.resize(static_cast<size_t>(blockBytes));
    std::string bytes = encryptBlocks(peer.sessionKey(), headerBlock(0, size) + plain);
    bytes += random_.bytes(size - static_cast<int>(bytes.size()));
    if (!peer.sendRaw(bytes)) {
        problem(where, "send: " + peer.lastError());
        return;
    }
    ++counters_.malformed;
    if (peer.receiveAck(options_.timeoutMs) != Status::kOk) {
        problem(where, "no acknowledgement of an oversized frame: " + peer.lastError());
    }
    drain(peer, 100);
    endConnection(peer);
}

// Peers that do not acknowledge. The first two cycles (when the phase has
// the time) wait out the agent's acknowledgement time-out and check that the
// session goes on; the others leave at once, or send the next frame without
// acknowledging first, so that the agent takes its first byte as the
// acknowledgement and the rest fails.
void Soak::noAck(int cycle) {
    const char* where = "no-ack";
    CncPeer peer;
    double left = phaseBudget_ - secondsSince(phaseStart_);
    double slowCycle = 2.0 * (options_.agentTimeoutMs + 1000) / 1000.0 + 3.0;
    if (cycle < 2 && left > slowCycle) {
        HandshakeOptions handshake;
        handshake.acknowledgeVerdict = false;
        if (!greet(peer, where, handshake)) return;
        ++counters_.withheld;
        sleepMs(options_.agentTimeoutMs + 1000);
        if (!command(peer, "NOOP\r\n", where)) return;
        ++counters_.ackWaits;
        if (!command(peer, "PRBE\r\n", where)) return;
        std::string answer;
        if (peer.readAnswer(answer, options_.timeoutMs, false) != Status::kOk) {
            problem(where, "no probe answer: " + peer.lastError());
            return;
        }
        ++counters_.withheld;
        sleepMs(options_.agentTimeoutMs + 1000);
        if (!command(peer, "NOOP\r\n", where)) return;
        ++counters_.ackWaits;
        if (!command(peer, "QUIT\r\n", where)) return;
        if (!expectAnswer(peer, kQuitAnswer, where)) return;
        if (peer.waitForClose(options_.timeoutMs) != Status::kClosed) {
            problem(where, "not closed after QUIT: " + peer.lastError());
        }
        return;
    }
    switch (cycle % 3) {
        case 0: {
            HandshakeOptions handshake;
            handshake.acknowledgeVerdict = false;
            if (!greet(peer, where, handshake)) return;
            ++counters_.withheld;
            break;
        }
        case 1: {
            if (!greet(peer, where) || !command(peer, "PRBE\r\n", where)) return;
            std::string answer;
            if (peer.readAnswer(answer, options_.timeoutMs, false) != Status::kOk) {
                problem(where, "no probe answer: " + peer.lastError());
                return;
            }
            ++counters_.withheld;
            // The agent acknowledges the rest of this frame, then gives up on it.
            if (peer.sendRaw(commandFrame(peer.sessionKey(), "NOOP\r\n"))) ++counters_.malformed;
            if (peer.receiveAck(options_.timeoutMs) != Status::kOk) {
                problem(where, "no acknowledgement of a cut frame: " + peer.lastError());
            }
            break;
        }
        default:
            if (!greet(peer, where) || !command(peer, "QUIT\r\n", where)) return;
            ++counters_.withheld;
            break;
    }
    endConnection(peer);
}

// Peers that vanish, with a reset or an orderly close, halfway through the
// session code, the confirmation, a command frame or the agent's answer.
void Soak::vanish(int cycle) {
    const char* where = "vanish";
    CncPeer peer;
    bool reset = random_.chance(60);
    switch (cycle % 4) {
        case 0: {
            if (!open(peer, where) || !announce(peer, where)) return;
            peer.sendRaw(random_.bytes(random_.between(1, kBlock - 1)));
            ++counters_.malformed;
            break;
        }
        case 1: {
            if (!open(peer, where) || !announce(peer, where)) return;
            Key key = randomKey();
            unsigned char block[kBlock];
            encryptBlock(key.data(), builtInKey, block);
            peer.sendRaw(std::string(reinterpret_cast<const char*>(block), kBlock));
            std::string response;
            if (peer.receiveExact(response, kBlock, options_.timeoutMs) != Status::kOk) {
                problem(where, "no response code: " + peer.lastError());
                return;
            }
            unsigned char plain[kBlock];
            decryptBlock(reinterpret_cast<const unsigned char*>(response.data()), builtInKey,
                         plain);
            encryptBlock(plain, builtInKey, block);
            peer.sendRaw(std::string(reinterpret_cast<const char*>(block),
                                     static_cast<size_t>(random_.between(1, kBlock - 1))));
            ++counters_.malformed;
            break;
        }
        case 2: {
            if (!greet(peer, where)) return;
            std::string frameBytes = commandFrame(
                peer.sessionKey(),
                random_.pick({"PRBE\r\n", "DBUG 1\r\n", "CNFG " + configurationText()}));
            peer.sendRaw(frameBytes.substr(0, static_cast<size_t>(random_.between(
                                                  1, static_cast<int>(frameBytes.size()) - 1))));
            ++counters_.malformed;
            if (random_.chance(50)) sleepMs(random_.between(1, 150));
            break;
        }
        default:
            // The agent sends the answer and waits for its acknowledgement.
            if (!greet(peer, where) || !command(peer, "PRBE\r\n", where)) return;
            ++counters_.withheld;
            break;
    }
    ++counters_.vanished;
    if (reset) {
        resetConnection(peer);
    } else {
        peer.close();
    }
}

// One session reads commands while new connections arrive a few
// milliseconds apart; each one replaces the session before it. The reading
// session must see its connection end.
void Soak::storm(int cycle) {
    (void)cycle;
    const char* where = "storm";
    std::atomic<int> readerState{0};  // 0 starting, 1 reading, 2 failed, 3 ended
    std::atomic<bool> stopReader{false};
    CncPeer reader;
    if (!greet(reader, where)) return;
    std::thread readerThread([&]() {
        readerState = 1;
        while (!stopReader) {
            // NOOP is answered by the acknowledgement alone; a replaced
            // session's connection is shut down by the agent.
            if (reader.sendCommand("NOOP\r\n", options_.timeoutMs) != Status::kOk) break;
            ++counters_.commands;
            sleepMs(5);
        }
        readerState = 3;
    });
    while (readerState == 0) sleepMs(1);

    int connections = random_.between(40, 120);
    std::deque<std::unique_ptr<CncPeer>> held;
    auto release = [this](CncPeer& peer) {
        std::string bytes;
        if (peer.receiveSome(bytes, kAnnouncementLength, 0) == Status::kOk) {
            ++counters_.served;
        }
        peer.close();
    };
    for (int i = 0; i < connections; ++i) {
        auto peer = std::make_unique<CncPeer>();
        if (!open(*peer, where)) break;
        int choice = random_.between(0, 99);
        if (choice < 50) {
            peer->close();
        } else if (choice < 65) {
            resetConnection(*peer);
        } else {
            held.push_back(std::move(peer));
            if (held.size() > 8) {
                release(*held.front());
                held.pop_front();
            }
        }
        sleepMs(random_.between(1, 5));
    }
    for (auto& peer : held) release(*peer);
    held.clear();

    // The reader's session was replaced at the first new connection.
    Clock::time_point start = Clock::now();
    while (readerState != 3 && secondsSince(start) * 1000 < options_.timeoutMs) sleepMs(10);
    if (readerState != 3) {
        problem(where, "the reading session still runs after a storm of new connections");
        stopReader = true;
    }
    readerThread.join();
    reader.close();
    sync();
}

// One session polls PRBE without a pause while connections from an address
// the agent does not allow arrive in bursts: each must be closed without
// the announcement, and the polling session must get every answer, so it
// was never replaced. Some refused peers wait for the close, some close or
// reset first, as a port scanner does.
void Soak::refused(int cycle) {
    (void)cycle;
    const char* where = "refused";
    constexpr int kBurst = 16;
    std::atomic<bool> stopPoller{false};
    std::atomic<bool> pollerFailed{false};
    CncPeer poller;
    if (!greet(poller, where)) {
        sync();  // ends the run when the agent no longer serves
        return;
    }
    std::thread pollerThread([&]() {
        while (!stopPoller) {
            std::string answer;
            if (poller.sendCommand("PRBE\r\n", options_.timeoutMs) != Status::kOk ||
                poller.readAnswer(answer, options_.timeoutMs) != Status::kOk) {
                pollerFailed = true;
                problem(where, "the allowed session stopped answering: " + poller.lastError());
                return;
            }
            ++counters_.commands;
            ++counters_.polls;
        }
    });

    int connections = random_.between(150, 300);
    for (int done = 0; done < connections && !pollerFailed;) {
        std::vector<std::unique_ptr<CncPeer>> burst;
        for (int i = 0; i < kBurst && done < connections; ++i, ++done) {
            auto peer = std::make_unique<CncPeer>();
            peer->setSourceAddress(options_.refusedSource);
            if (!peer->connect(kHost, options_.port, options_.timeoutMs)) {
                problem(where, "no connection: " + peer->lastError());
                continue;
            }
            ++counters_.opened;
            int choice = random_.between(0, 99);
            if (choice < 20) {
                peer->close();
            } else if (choice < 30) {
                resetConnection(*peer);
            } else {
                burst.push_back(std::move(peer));
            }
        }
        for (auto& peer : burst) {
            std::string bytes;
            Status status = peer->receiveSome(bytes, kMaxFrameLength, options_.timeoutMs);
            if (status == Status::kClosed) {
                ++counters_.refused;
            } else if (status == Status::kOk) {
                problem(where, "a peer off the list was sent \"" + escapeText(bytes.substr(0, 16)) +
                                   "\"...");
            } else {
                problem(where, "a peer off the list was not closed: " + peer->lastError());
            }
            peer->close();
        }
    }
    stopPoller = true;
    pollerThread.join();
    if (!pollerFailed && command(poller, "QUIT\r\n", where)) {
        expectAnswer(poller, kQuitAnswer, where);
    }
    poller.close();
    if (pollerFailed) sync();
    // Otherwise no service check per cycle: the next cycle's handshake and
    // the check after the phase show that the agent still serves. A check is
    // a connection that ends before the handshake, which writes two level-1
    // lines; at some twenty cycles a second they would outnumber the
    // refusal lines that the end-to-end storm counts.
}

// Handshake, DBUG 1, PRBE, QUIT: every answer as it must be, and the
// connection closed after QUIT.
bool Soak::cleanSession(const char* where, std::string& probeAnswer) {
    CncPeer peer;
    if (!greet(peer, where)) return false;
    if (!command(peer, "DBUG 1\r\n", where) || !expectAnswer(peer, kDoneAnswer, where)) {
        return false;
    }
    if (!command(peer, "PRBE\r\n", where)) return false;
    if (peer.readAnswer(probeAnswer, options_.timeoutMs) != Status::kOk) {
        problem(where, "no probe answer: " + peer.lastError());
        return false;
    }
    if (!command(peer, "QUIT\r\n", where) || !expectAnswer(peer, kQuitAnswer, where)) {
        return false;
    }
    if (peer.waitForClose(options_.timeoutMs) != Status::kClosed) {
        problem(where, "not closed after QUIT: " + peer.lastError());
        return false;
    }
    return true;
}

bool Soak::finalSession() {
    std::string answer;
    if (!cleanSession("final session", answer)) return false;
    std::cout << "final clean session: handshake, DBUG 1 -> \"200\\r\\n\", PRBE -> \""
              << escapeText(answer) << "\", QUIT -> \"100\", closed" << std::endl;
    return true;
}

// UPDT fails without the service program in the agent's folder and answers
// "200\r\n"; the QUIT after it starts the updater (also missing) and ends
// the agent with exit code 0.
bool Soak::stopAgent() {
    const char* where = "stop";
    CncPeer peer;
    if (!greet(peer, where)) return false;
    if (!command(peer, "UPDT\r\n", where) || !expectAnswer(peer, kDoneAnswer, where)) {
        return false;
    }
    if (!command(peer, "QUIT\r\n", where) || !expectAnswer(peer, kQuitAnswer, where)) {
        return false;
    }
    peer.waitForClose(options_.timeoutMs);
    std::cout << "stop: UPDT -> \"200\\r\\n\", QUIT -> \"100\"; the agent ends" << std::endl;
    return true;
}

void Soak::runPhase(const Phase& phase, double budgetSeconds) {
    phaseStart_ = Clock::now();
    phaseBudget_ = budgetSeconds;
    long problemsBefore = counters_.problems;
    int count = 0;
    while (!lost_ && count < phase.maxCount && secondsSince(phaseStart_) < budgetSeconds) {
        pace(phase.quietMargin);
        if (secondsSince(phaseStart_) >= budgetSeconds) break;
        (this->*phase.step)(count);
        ++count;
    }
    // After each kind of abuse the agent must serve a whole session again.
    std::string answer;
    if (!lost_ && sync()) cleanSession(phase.name, answer);
    std::cout << formatText("phase %-15s %6d cycles in %6.1f s, %ld problems", phase.name, count,
                            secondsSince(phaseStart_), counters_.problems - problemsBefore)
              << std::endl;
}

int Soak::run() {
    const std::vector<Phase> kPhases = {
        {"churn", 25, 20000, 3, &Soak::churn},
        {"garbage-before", 10, 5000, 3, &Soak::garbageBefore},
        {"garbage-after", 12, 5000, 3, &Soak::garbageAfter},
        {"split", 10, 3000, 3, &Soak::split},
        {"oversized", 8, 3000, 3, &Soak::oversized},
        {"no-ack", 15, 1000, 3, &Soak::noAck},
        {"vanish", 10, 5000, 3, &Soak::vanish},
        {"storm", 10, 200, 12, &Soak::storm},
        {"refused", 15, 1000, 3, &Soak::refused},
    };
    std::vector<const Phase*> chosen;
    bool refusedSource = !options_.refusedSource.empty();
    if (options_.phases == "all") {
        for (const Phase& phase : kPhases) {
            if (phase.step != &Soak::refused || refusedSource) chosen.push_back(&phase);
        }
    } else if (options_.phases != "none") {
        std::stringstream list(options_.phases);
        std::string name;
        while (std::getline(list, name, ',')) {
            auto found = std::find_if(kPhases.begin(), kPhases.end(),
                                      [&](const Phase& phase) { return name == phase.name; });
            if (found == kPhases.end()) {
                std::cerr << "vxsoak: no phase \"" << name << "\"\n" << kUsage;
                return 2;
            }
            if (found->step == &Soak::refused && !refusedSource) {
                std::cerr << "vxsoak: the refused phase needs --refused-source\n" << kUsage;
                return 2;
            }
            chosen.push_back(&*found);
        }
    }

    std::cout << formatText("vxsoak: agent 127.0.0.1:%d, %d s, seed %u, log guard second %d",
                            options_.port, options_.seconds, options_.seed, options_.guardSecond)
              << std::endl;
    Clock::time_point start = Clock::now();
    int totalWeight = 0;
    for (const Phase* phase : chosen) totalWeight += phase->weight;
    for (const Phase* phase : chosen) {
        runPhase(*phase, static_cast<double>(options_.seconds) * phase->weight / totalWeight);
    }

    pace(3);
    bool finalOk = !lost_ && finalSession();
    bool stopped = true;
    if (options_.stop) stopped = finalOk && stopAgent();
    double seconds = secondsSince(start);

    std::cout
        << "vxsoak summary\n"
        << formatText("  %-31s %.1f s (%.1f s of it quiet around the log guard)\n", "time taken",
                      seconds, pausedSeconds_)
        << formatText("  %-31s %ld\n", "connections opened", counters_.opened.load())
        << formatText("  %-31s %ld\n", "connections served", counters_.served.load())
        << formatText("  %-31s %ld\n", "handshakes completed", counters_.handshakes.load())
        << formatText("  %-31s %ld\n", "commands acknowledged", counters_.commands.load())
        << formatText("  %-31s %ld\n", "malformed inputs sent", counters_.malformed.load())
        << formatText("  %-31s %ld\n", "acknowledgements withheld", counters_.withheld.load())
        << formatText("  %-31s %ld\n", "peers vanished", counters_.vanished.load())
        << formatText("  %-31s %ld\n", "acknowledgement waits survived", counters_.ackWaits.load())
        << formatText("  %-31s %ld\n", "service checks", counters_.syncs.load())
        << formatText("  %-31s %ld\n", "peers off the list refused", counters_.refused.load())
        << formatText("  %-31s %ld\n", "probes answered during refusals", counters_.polls.load())
        << formatText("  %-31s %ld ms\n", "slowest announcement", counters_.slowestServiceMs.load())
        << formatText("  %-31s %ld\n", "problems", counters_.problems.load())
        << formatText("  %-31s %s\n", "final clean session", finalOk ? "ok" : "FAILED");
    std::cout << formatText(
                     "vxsoak-figures opened=%ld served=%ld handshakes=%ld commands=%ld "
                     "malformed=%ld withheld=%ld vanished=%ld ack-waits=%ld refused=%ld "
                     "polls=%ld slowest-ms=%ld problems=%ld final=%s seconds=%.1f seed=%u",
                     counters_.opened.load(), counters_.served.load(), counters_.handshakes.load(),
                     counters_.commands.load(), counters_.malformed.load(),
                     counters_.withheld.load(), counters_.vanished.load(),
                     counters_.ackWaits.load(), counters_.refused.load(), counters_.polls.load(),
                     counters_.slowestServiceMs.load(), counters_.problems.load(),
                     finalOk ? "ok" : "failed", seconds, options_.seed)
              << std::endl;
    return finalOk && stopped && counters_.problems == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, options)) {
        std::cerr << kUsage;
        return 2;
    }
    if (!options.seedGiven) {
        options.seed = static_cast<unsigned>(std::random_device()() & 0x7FFFFFFF);
    }
    WSADATA data;
    if (WSAStartup(0x0202, &data) != 0) {
        std::cerr << "vxsoak: cannot start Windows Sockets\n";
        return 1;
    }
    int result = Soak(options).run();
    WSACleanup();
    return result;
}
