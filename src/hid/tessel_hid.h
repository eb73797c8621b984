#pragma once
// The agent's session: a DncSession that reports the protocol it speaks and
// answers the probe with the scans taken on this machine.
#include <string>

#include "session/dnc_session.h"

class TesselHID : public DncSession {
public:
    TesselHID() = default;
    ~TesselHID() override = default;

    bool doProt() override;
    bool doProbe(std::string& answer) override;
};
