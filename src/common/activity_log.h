#pragma once
// The activity log: the program's one diagnostic output, a plain text file of
// time-stamped lines, filtered by level and guarded against runaway loops.
#include <atomic>
#include <string>

struct tMDCProperty;

// Current log level: 1 by default; 0 writes nothing.
extern std::atomic<int> logLevel;

// Appends one line when level <= logLevel. Tag is "Class::operation".
void writeLog(std::string tag, std::string message, int level);

// True while the log file is open; a line written before that is dropped
// (and still counts for the runaway-loop guard).
bool logFileOpen();

// Appends one level-1 line to an existing log file while the log is not open.
void writeLogDirect(std::string path, std::string message);

// Start-of-run rotation: the previous log becomes "vxhidLog.sav", a fresh one
// is created and kept open.
void openLogFile(tMDCProperty* properties);

// Rotates the log when it has grown past 120000 bytes; the fresh log starts
// with the version line.
void doLogFileSize(tMDCProperty* properties, std::string versionLine);

// For tests: closes the log and forgets the reference time and loop counter;
// installs the clock the log reads (seconds since 1970), null for the real one.
namespace activity_log_testing {
void reset();
void setClock(long long (*now)());
}  // namespace activity_log_testing
