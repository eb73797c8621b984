// faultpeer: one session against an agent that sends PRBE and then takes the
// answer well or fails to, to show what the agent does with the scans of an
// answer that did not reach the peer.
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include "peer/cnc_peer.h"
#include "peer/commands.h"
#include "peer/escape_text.h"
#include "platform/platform.h"

namespace {

using peer::CncPeer;
using peer::commandText;
using peer::escapeText;
using peer::kDefaultPort;
using peer::kDefaultTimeoutMs;
using peer::Status;

const char kHelp[] =
    "usage: faultpeer [--host HOST] [--port PORT] [--timeout MS] MODE\n"
    "\n"
    "Connects, completes the handshake, sends PRBE, then by MODE:\n"
    "  probe               reads and acknowledges the answer, then sends QUIT\n"
    "  drop-before-answer  reads PRBE's acknowledgement and closes the connection\n"
    "                      before the answer is read\n"
    "  drop-without-ack    reads the answer and closes without acknowledging it\n"
    "  silent-without-ack  reads the answer, does not acknowledge it and stays\n"
    "                      silent for --timeout ms (default 5000), then closes\n"
    "Prints the answer when one was read: answer: \"...\" (C escapes).\n"
    "Exit status: 0 done; 1 usage; 2 cannot connect; 3 handshake failed; 4 the\n"
    "agent did not acknowledge or answer as expected.\n";

enum Exit { kOk = 0, kUsage = 1, kConnect = 2, kHandshake = 3, kProtocol = 4 };

int run(int argc, char** argv) {
    std::string host = "127.0.0.1";
    int port = kDefaultPort;
    int timeoutMs = kDefaultTimeoutMs;
    std::string mode;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--host" || arg == "--port" || arg == "--timeout") && i + 1 < argc) {
            const std::string value = argv[++i];
            if (arg == "--host") host = value;
            if (arg == "--port") port = std::atoi(value.c_str());
            if (arg == "--timeout") timeoutMs = std::atoi(value.c_str());
        } else if (mode.empty() && arg.compare(0, 1, "-") != 0) {
            mode = arg;
        } else {
            std::cerr << kHelp;
            return kUsage;
        }
    }
    const bool known = mode == "probe" || mode == "drop-before-answer" ||
                       mode == "drop-without-ack" || mode == "silent-without-ack";
    if (!known || port < 1 || port > 65535 || timeoutMs < 1) {
        std::cerr << kHelp;
        return kUsage;
    }

    CncPeer peer;
    if (!peer.connect(host, port, kDefaultTimeoutMs)) {
        std::cerr << "faultpeer: " << peer.lastError() << "\n";
        return kConnect;
    }
    if (!peer.handshake({}, kDefaultTimeoutMs)) {
        std::cerr << "faultpeer: handshake: " << peer.lastError() << "\n";
        return kHandshake;
    }
    if (peer.sendCommand(commandText("PRBE"), kDefaultTimeoutMs) != Status::kOk) {
        std::cerr << "faultpeer: PRBE: " << peer.lastError() << "\n";
        return kProtocol;
    }
    if (mode == "drop-before-answer") {
        peer.close();
        std::cout << "connection dropped before the answer\n";
        return kOk;
    }
    std::string answer;
    const bool acknowledge = mode == "probe";
    if (peer.readAnswer(answer, kDefaultTimeoutMs, acknowledge) != Status::kOk) {
        std::cerr << "faultpeer: no answer: " << peer.lastError() << "\n";
        return kProtocol;
    }
    std::cout << "answer: \"" << escapeText(answer) << "\"\n";
    if (mode == "silent-without-ack") {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
    }
    if (mode == "probe") {
        std::string quit;
        if (peer.sendCommand(commandText("QUIT"), kDefaultTimeoutMs) != Status::kOk ||
            peer.readAnswer(quit, kDefaultTimeoutMs) != Status::kOk) {
            std::cerr << "faultpeer: QUIT: " << peer.lastError() << "\n";
            return kProtocol;
        }
    }
    peer.close();
    return kOk;
}

}  // namespace

int main(int argc, char** argv) {
    WSADATA data;
    if (WSAStartup(0x0202, &data) != 0) {
        std::cerr << "faultpeer: cannot start Windows Sockets\n";
        return kConnect;
    }
    int result = run(argc, argv);
    std::cout.flush();
    WSACleanup();
    return result;
}
