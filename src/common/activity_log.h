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

// Lines that peers cause: everything the accept loop writes about a
// connection and everything a session writes. A peer decides how many of
// them there are, so they never count for the loop guard, which is there for
// the agent's own runaway loops. Each source has a budget of its own, so
// that a storm of connections that never become a session (refused, or
// failing their accept) cannot use up the lines of the session that runs:
// at most kPerSecond lines of a source are written in one second; the rest
// are counted, and the count is written as one level-1 line before the
// source's next line of a later second, or by flushCount.
namespace peer_lines {

constexpr int kPerSecond = 100;

enum Source { kAcceptLoop, kSessions, kSources };

struct Budget;

// While a Scope lives, the lines its thread writes are peer lines of its
// source.
class Scope {
public:
    explicit Scope(Source source);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

private:
    Budget* outer_;  // the budget of the thread's enclosing Scope, if any
};

// Whether lines were left out and their count is not written yet.
bool countPending();
// Writes the counts of lines left out, once their second is over.
void flushCount();

}  // namespace peer_lines

// For tests: closes the log and forgets the reference time and loop counter;
// installs the clock the log reads (seconds since 1970), null for the real one.
namespace activity_log_testing {
void reset();
void setClock(long long (*now)());
}  // namespace activity_log_testing
