// scanagent: runs the agent as vxhid does and, on a thread of its own,
// commits the scans FIRST, FIRST+1, ... (as 8-digit texts) one every
// INTERVAL ms through the same call the keyboard hook makes. After each
// commit returns it appends "NUMBER NANOSECONDS\n" (the monotonic clock) to
// COMMIT_LOG, so a driver that kills the process knows what was committed
// and when.
//
//   scanagent FIRST INTERVAL_MS COMMIT_LOG [agent options...]
//
// INTERVAL_MS 0 commits nothing.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "host/service_host.h"
#include "scans/scan_buffer.h"

namespace {

struct Committer {
    long first;
    long intervalMs;
    int log;
};

void commitScans(Committer committer) {
    for (long number = committer.first;; ++number) {
        std::this_thread::sleep_for(std::chrono::milliseconds(committer.intervalMs));
        char text[32];
        std::snprintf(text, sizeof text, "%08ld", number);
        appendScan(text);
        const long long now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                  std::chrono::steady_clock::now().time_since_epoch())
                                  .count();
        char line[64];
        int length = std::snprintf(line, sizeof line, "%ld %lld\n", number, now);
        if (write(committer.log, line, static_cast<size_t>(length)) != length) return;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: scanagent FIRST INTERVAL_MS COMMIT_LOG [agent options...]\n");
        return 1;
    }
    Committer committer{std::atol(argv[1]), std::atol(argv[2]), -1};
    committer.log = open(argv[3], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (committer.log < 0) {
        std::perror(argv[3]);
        return 1;
    }
    std::string commandLine;
    for (int i = 4; i < argc; ++i) {
        if (i > 4) commandLine += ' ';
        commandLine += argv[i];
    }
    initializeScanBufferLock();
    if (committer.intervalMs > 0) std::thread(commitScans, committer).detach();
    return runServiceHost(nullptr, commandLine);
}
