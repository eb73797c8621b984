#include "common/activity_log.h"

#include <climits>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "common/properties.h"
#include "common/text_format.h"
#include "platform/platform.h"

std::atomic<int> logLevel{1};

struct peer_lines::Budget {
    long long second = -1;
    int linesThisSecond = 0;
    unsigned long leftOut = 0;
};

namespace {

const long kRotationSize = 120000;
const int kLoopLimit = 100;

// One lock keeps lines from different threads whole and keeps a rotation
// from closing the file under a writer. Recursive, because a rotation writes
// the version line and writeLogDirect writes through writeLog.
std::recursive_mutex logMutex;
FILE* logFile = nullptr;
long long referenceTime = 0;
int loopCounter = 0;
long long (*logClock)() = nullptr;

// Peer lines (peer_lines): each source's budget, with the second whose
// budget is being spent, how much of it is spent, and the lines left out
// since the count was last written; the calling thread's innermost Scope's
// budget, null outside any Scope.
using PeerBudget = peer_lines::Budget;
PeerBudget peerBudgets[peer_lines::kSources];
thread_local PeerBudget* peerBudget = nullptr;

long long now() {
    return logClock != nullptr ? logClock() : static_cast<long long>(std::time(nullptr));
}

int secondOfMinute(long long seconds) {
    struct tm local {};
    platform::localTime(seconds, local);
    return local.tm_sec;
}

void closeLog() {
    if (logFile != nullptr) {
        std::fclose(logFile);
        logFile = nullptr;
    }
}

// One write and a flush, so every line is on disk when writeLog returns.
// A line written while no log is open is dropped.
void writeRaw(const std::string& line) {
    if (logFile == nullptr) return;
    std::fwrite(line.data(), 1, line.size(), logFile);
    std::fflush(logFile);
}

// The line as the current level formats it: time stamp, two blanks, from
// level 3 on the tag and a blank, the message, CR LF.
std::string formatLine(long long current, const std::string& tag, const std::string& message) {
    struct tm local {};
    platform::localTime(current, local);
    char stamp[64];
    size_t stampLength = std::strftime(stamp, sizeof stamp, "%b, %d %H:%M:%S", &local);
    std::string line(stamp, stampLength);
    line += "  ";
    if (logLevel >= 3) {
        line += tag;
        line += ' ';
    }
    line += message;
    line += "\r\n";
    return line;
}

// The count of a budget's peer lines left out. Outside the budgets and the
// loop guard: at most one such line a second for each source.
void writePeerLineCount(PeerBudget& budget, long long current) {
    unsigned long leftOut = budget.leftOut;
    budget.leftOut = 0;
    if (logLevel < 1) return;
    writeRaw(formatLine(current, "TesselDNC::writeLog",
                        formatText("%lu lines caused by peer connections were not logged: more "
                                   "than %d in a second",
                                   leftOut, peer_lines::kPerSecond)));
}

}  // namespace

bool logFileOpen() {
    std::lock_guard<std::recursive_mutex> lock(logMutex);
    return logFile != nullptr;
}

void writeLog(std::string tag, std::string message, int level) {
    std::lock_guard<std::recursive_mutex> lock(logMutex);
    if (level > logLevel) return;

    long long current = now();
    if (referenceTime == 0) referenceTime = current;

    const bool referenceSecond = secondOfMinute(current) == secondOfMinute(referenceTime);
    if (peerBudget != nullptr) {
        // A peer's line: never counted by the loop guard, but like any line
        // in another second it ends the guard's run. Written within the
        // second's budget of its source, else only counted.
        if (!referenceSecond) loopCounter = 0;
        PeerBudget& budget = *peerBudget;
        if (current != budget.second) {
            if (budget.leftOut != 0) writePeerLineCount(budget, current);
            budget.second = current;
            budget.linesThisSecond = 0;
        }
        if (budget.linesThisSecond >= peer_lines::kPerSecond) {
            if (budget.leftOut < ULONG_MAX) ++budget.leftOut;
            return;
        }
        ++budget.linesThisSecond;
    } else if (referenceSecond) {
        // Runaway-loop guard: counts consecutive lines in the same second of
        // the minute as the very first line; the 102nd such line ends the
        // process.
        if (loopCounter > kLoopLimit) {
            writeRaw("TesselDnc seems to be in a loop - Abort\r\n");
            closeLog();
            platform::exitProcess(0);
            return;
        }
        ++loopCounter;
    } else {
        loopCounter = 0;
    }

    writeRaw(formatLine(current, tag, message));
}

// Where no log exists yet the line is lost, but it still counts as written:
// it can set the reference time and run the loop guard like any other line.
void writeLogDirect(std::string path, std::string message) {
    std::lock_guard<std::recursive_mutex> lock(logMutex);
    FILE* previous = logFile;
    logFile = std::fopen(path.c_str(), "rb+");
    if (logFile != nullptr) std::fseek(logFile, 0, SEEK_END);
    writeLog("CTDncSocket::TestDncSocket", message, 1);
    if (logFile != nullptr) std::fclose(logFile);
    logFile = previous;
}

void openLogFile(tMDCProperty* properties) {
    std::lock_guard<std::recursive_mutex> lock(logMutex);
    closeLog();
    std::string savedLog = properties->logDir + platform::pathSeparator + "vxhidLog.sav";
    if (platform::fileExists(savedLog)) platform::deleteFile(savedLog);
    int error = 0;
    platform::renameNoReplace(properties->logFile, savedLog, error);
    logFile = std::fopen(properties->logFile.c_str(), "wb+");
}

void doLogFileSize(tMDCProperty* properties, std::string versionLine) {
    std::lock_guard<std::recursive_mutex> lock(logMutex);
    if (logFile == nullptr) return;
    if (std::fseek(logFile, 0, SEEK_END) != 0) return;
    long length = std::ftell(logFile);
    if (length > kRotationSize) {
        closeLog();
        openLogFile(properties);
        // The fresh log begins with the version line, also when a peer's
        // connection brought the rotation about.
        PeerBudget* budget = peerBudget;
        peerBudget = nullptr;
        writeLog("TesselDNC::doLogFileSize", versionLine, 1);
        peerBudget = budget;
    }
}

namespace peer_lines {

Scope::Scope(Source source) : outer_(peerBudget) { peerBudget = &peerBudgets[source]; }
Scope::~Scope() { peerBudget = outer_; }

bool countPending() {
    std::lock_guard<std::recursive_mutex> lock(logMutex);
    for (const PeerBudget& budget : peerBudgets) {
        if (budget.leftOut != 0) return true;
    }
    return false;
}

void flushCount() {
    std::lock_guard<std::recursive_mutex> lock(logMutex);
    long long current = now();
    for (PeerBudget& budget : peerBudgets) {
        if (budget.leftOut != 0 && current != budget.second) writePeerLineCount(budget, current);
    }
}

}  // namespace peer_lines

namespace activity_log_testing {

void reset() {
    std::lock_guard<std::recursive_mutex> lock(logMutex);
    closeLog();
    referenceTime = 0;
    loopCounter = 0;
    logClock = nullptr;
    for (PeerBudget& budget : peerBudgets) budget = PeerBudget();
}

void setClock(long long (*clock)()) {
    std::lock_guard<std::recursive_mutex> lock(logMutex);
    logClock = clock;
}

}  // namespace activity_log_testing
