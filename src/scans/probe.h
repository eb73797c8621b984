#pragma once
// The probe: hands the queued scans to the CNC Service as one answer text,
// each scan followed by a line feed, oldest first.
#include <cstddef>
#include <string>
#include <vector>

#include "scans/scan_buffer.h"

// The answer goes out as one encrypted message, which holds at most this many
// bytes.
constexpr std::size_t kMaxProbeAnswer = 2048;
// The longest scan that fits one answer with its line feed.
constexpr std::size_t kMaxScanLength = kMaxProbeAnswer - 1;

// Fills answer (emptied first) with whole scans, oldest first, while it stays
// within kMaxProbeAnswer bytes; the scans that do not fit stay queued, in
// order, for the next probe. A scan longer than kMaxScanLength can never fit
// and is delivered cut to the last character boundary (UTF-8) at or below
// that length, with a level-1 log line; the limits count bytes. Logs the
// answer at level 2 when there was something to deliver; writes nothing when
// nothing was queued. Always true. taken receives the scans of the answer,
// whole and in order, so that they can be given back (requeueScans) when the
// answer does not reach the peer.
bool probeScans(std::string& answer, std::vector<QueuedScan>& taken);
