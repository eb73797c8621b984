#include "hid/tessel_hid.h"

#include "hid/probe.h"

bool TesselHID::doProt() { return true; }

bool TesselHID::doProbe(std::string& answer) { return probeScans(answer); }
