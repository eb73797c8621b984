#include "common/activity_log.h"

#include <cstdio>
#include <ctime>
#include <mutex>

#include "common/properties.h"
#include "platform/platform.h"

std::atomic<int> logLevel{1};

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

    // Runaway-loop guard: counts consecutive lines in the same second of the
    // minute as the very first line; the 102nd such line ends the process.
    if (secondOfMinute(current) == secondOfMinute(referenceTime)) {
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
    writeRaw(line);
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
        writeLog("TesselDNC::doLogFileSize", versionLine, 1);
    }
}

namespace activity_log_testing {

void reset() {
    std::lock_guard<std::recursive_mutex> lock(logMutex);
    closeLog();
    referenceTime = 0;
    loopCounter = 0;
    logClock = nullptr;
}

void setClock(long long (*clock)()) {
    std::lock_guard<std::recursive_mutex> lock(logMutex);
    logClock = clock;
}

}  // namespace activity_log_testing
