#include "scans/probe.h"

#include "common/activity_log.h"
#include "common/text_format.h"
#include "common/utf8.h"
#include "scans/scan_buffer.h"
#include "transport/frame_limits.h"

static_assert(kMaxProbeAnswer == static_cast<std::size_t>(frame::kMaxMessageLength),
              "a probe answer must fit one encrypted message");

bool probeScans(std::string& answer, std::vector<QueuedScan>& taken) {
    const std::string tag = "TesselHID::doProbe";
    answer.clear();
    taken.clear();
    if (!isScanAvailable()) return true;

    QueuedScan scan;
    while (answer.size() < kMaxProbeAnswer) {
        const std::size_t room = kMaxProbeAnswer - answer.size() - 1;  // keep one for the LF
        ScanTake take = takeScan(scan, room);
        if (take == ScanTake::none) break;
        if (take == ScanTake::tooLong) {
            // A scan that does not fit behind others waits for the next probe.
            if (!answer.empty()) break;
            // Alone it still does not fit: it never will, so it goes out cut.
            if (takeScan(scan, std::string::npos) != ScanTake::taken) break;
            if (scan.text.size() > kMaxScanLength) {
                // Scans are UTF-8: the cut never splits a character.
                const std::size_t cut = utf8CutLength(scan.text, kMaxScanLength);
                writeLog(tag,
                         formatText("Scan of %d characters cut to %d",
                                    static_cast<int>(scan.text.size()), static_cast<int>(cut)),
                         1);
                answer.append(scan.text, 0, cut);
                answer += '\n';
                taken.push_back(std::move(scan));
                continue;
            }
        }
        answer += scan.text;
        answer += '\n';
        taken.push_back(std::move(scan));
    }
    writeLog(tag, answer, 2);
    return true;
}
