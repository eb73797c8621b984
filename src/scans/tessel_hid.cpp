#include "scans/tessel_hid.h"

#include "scans/probe.h"
#include "scans/scan_journal.h"

TesselHID::~TesselHID() { requeueScans(inFlight_); }

bool TesselHID::doProt() { return true; }

bool TesselHID::doProbe(std::string& answer) {
    // A probe whose answer was never told about gives its scans back first.
    requeueScans(inFlight_);
    return probeScans(answer, inFlight_);
}

int TesselHID::probeAnswered(bool delivered) {
    if (inFlight_.empty()) return 0;
    if (delivered) {
        scan_journal::recordDelivered(inFlight_.back().sequence);
        inFlight_.clear();
        return 0;
    }
    int kept = static_cast<int>(inFlight_.size());
    requeueScans(inFlight_);
    return kept;
}
