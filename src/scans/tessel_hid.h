#pragma once
// The agent's session: a DncSession that reports the protocol it speaks and
// answers the probe with the scans taken on this machine.
#include <string>
#include <vector>

#include "scans/scan_buffer.h"
#include "session/dnc_session.h"

class TesselHID : public DncSession {
public:
    TesselHID() = default;
    // Scans of an answer whose fate was never told go back to the queue.
    ~TesselHID() override;

    bool doProt() override;
    bool doProbe(std::string& answer) override;
    // Delivered: the answer's scans are marked delivered in the scan
    // journal. Otherwise they go back to the front of the queue, in order.
    int probeAnswered(bool delivered) override;

private:
    // The scans of the last probe answer, until the peer acknowledges it.
    std::vector<QueuedScan> inFlight_;
};
