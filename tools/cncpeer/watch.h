#pragma once
// cncpeer watch: one session that polls PRBE and prints each scan as it
// arrives, reconnecting whenever the connection drops or the agent restarts,
// until Ctrl+C or SIGTERM (or requestStop()) ends it with a QUIT.
#include <functional>
#include <ostream>
#include <string>

#include "peer/cnc_peer.h"

namespace cncpeer {

constexpr int kDefaultIntervalMs = 500;

struct WatchSettings {
    std::string host;
    std::string source;  // local address to connect from; empty: the system's choice
    int port = peer::kDefaultPort;
    int timeoutMs = peer::kDefaultTimeoutMs;
    int intervalMs = kDefaultIntervalMs;
    bool json = false;
    peer::HandshakeOptions handshake;
    // Called for each wait (the interval between probes and the pause before
    // another try) with its length in milliseconds. Empty: a real sleep of
    // exactly that length that ends early on a stop request. Tests put a
    // recorder here.
    std::function<void(int ms)> pause;
};

// Polls until a stop is requested, then says QUIT when connected. Scans go
// to out, one line each (the scan's bytes, or one JSON object with time,
// host, port and scan); status and problems go to err. Returns 0, or
// kExitOutput when out fails: that answer is not acknowledged and watch ends.
int runWatch(const WatchSettings& settings, std::ostream& out, std::ostream& err);

// The stop request, safe to make from a signal handler or another thread.
void requestStop();
bool stopRequested();
void clearStopRequest();
// Makes SIGINT and SIGTERM request the stop.
void installStopHandlers();

}  // namespace cncpeer
