#include "host/refusal_log.h"

#include <climits>
#include <ctime>

#include "common/activity_log.h"
#include "common/text_format.h"

namespace {

const char kTag[] = "TesselMDC::_tWinMain";

}  // namespace

long long RefusalLog::now() const {
    return clock_ != nullptr ? clock_() : static_cast<long long>(std::time(nullptr));
}

void RefusalLog::writeCount() {
    writeLog(kTag,
             formatText("%lu more connections from peers off the allowed list were refused "
                        "and not logged",
                        notLogged_),
             1);
    notLogged_ = 0;
}

void RefusalLog::flushCount() {
    if (notLogged_ != 0 && now() != second_) writeCount();
}

bool RefusalLog::refused(const std::string& address, unsigned port) {
    long long current = now();
    if (current != second_) {
        second_ = current;
        linesThisSecond_ = 0;
    }
    if (linesThisSecond_ >= kLinesPerSecond) {
        if (notLogged_ < ULONG_MAX) ++notLogged_;
        return false;
    }
    ++linesThisSecond_;
    if (notLogged_ != 0) writeCount();
    writeLog(kTag,
             formatText("Refused a connection from %s port %u: not an allowed peer",
                        address.c_str(), port),
             1);
    return true;
}
