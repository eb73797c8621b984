#pragma once
// The agent's one interface to the operating system. Sockets keep Winsock's
// names, codes and semantics on both sides (socket_api.h comes from the
// platform's own folder); everything else is declared here. The Win32 side
// calls the real API, the POSIX side is a small stand-in.
#include <cstddef>
#include <cstdint>
#include <string>

#include "socket_api.h"

namespace platform {

// ---- Network ---------------------------------------------------------------

// Number of installed TCP protocol entries (WSAEnumProtocolsA for IPPROTO_TCP
// with a 16384-byte buffer): 0 means no TCP/IP, SOCKET_ERROR a failed query.
int countTcpProtocols();

// The first IPv4 address of the local host in dotted form, as
// gethostbyname("") lists it. False when the host cannot be resolved.
bool firstLocalIPv4(std::string& address);

// accept on a listening socket that also tells who connected: the peer's
// IPv4 address in dotted form and its port. On failure it returns
// INVALID_SOCKET with accept's error left for WSAGetLastError, and the
// address empty and the port 0.
SOCKET acceptPeer(SOCKET listener, std::string& peerAddress, unsigned& peerPort);

// Sets SO_RCVTIMEO or SO_SNDTIMEO in milliseconds. Returns 0 or SOCKET_ERROR.
int setSocketTimeout(SOCKET s, int option, int milliseconds);

// True where closing a socket makes a call blocked on it in another thread
// fail at once (Winsock); false where only shutting the connection down does,
// and closing under a blocked call is unsafe (POSIX).
extern const bool closeWakesBlockedCalls;

// Sets an int-valued SOL_SOCKET option such as SO_KEEPALIVE.
int setSocketIntOption(SOCKET s, int option, int value);

// Lets a socket that is about to listen bind its address again at once,
// while connections a previous listener closed are still in TIME_WAIT
// (SO_REUSEADDR on POSIX). Does nothing on Windows: Winsock allows that bind
// already, and SO_REUSEADDR there would let another program take the port.
// Returns 0 or SOCKET_ERROR.
int allowQuickRebind(SOCKET s);

// Sets an int-valued IPPROTO_TCP option such as TCP_NODELAY.
int setTcpIntOption(SOCKET s, int option, int value);

enum class SocketWait {
    readable,  // input is waiting, or the peer has closed
    writable,  // a connect has ended, whether it worked or failed (SO_ERROR says)
};
// Waits at most milliseconds (0: not at all) for one socket. 1 when it is
// ready, 0 when the time passed, SOCKET_ERROR on failure, WSAEINTR among
// them when a signal cut the wait short. Any socket number works: poll on
// POSIX, where select's fd_set ends at FD_SETSIZE; Winsock's fd_set is a
// list of handles. Unlike the waitReadable seam, tests never replace it.
int waitForSocket(SOCKET s, SocketWait what, int milliseconds);

// ---- Files -----------------------------------------------------------------

// The separator that joins a folder and a file name ("\" or "/").
extern const char pathSeparator[];

// Renames like MoveFileA: never replaces, fails when the source is missing or
// the target exists. On failure errorCode holds the system's error code.
bool renameNoReplace(const std::string& from, const std::string& to, int& errorCode);
bool deleteFile(const std::string& path);
bool fileExists(const std::string& path);

// True when both paths name the same existing file, however each is spelled
// (case, separators, links).
bool sameFile(const std::string& first, const std::string& second);

// The full path of a relative name against the current working directory.
std::string fullPath(const std::string& relativeName);

// The text with each %NAME% replaced by that environment variable's value,
// as ExpandEnvironmentStringsA does; a name that is not set stays as written.
std::string expandEnvironment(const std::string& text);

// Creates the folder and every missing folder above it. True when it exists
// afterwards.
bool createFolders(const std::string& path);

// Makes the folder the process's working folder. False when it cannot.
bool changeFolder(const std::string& path);

// A file written in appends and forced to the disk on request (fsync,
// FlushFileBuffers). Closed when the object goes.
class DurableFile {
public:
    DurableFile() = default;
    ~DurableFile() { close(); }
    DurableFile(const DurableFile&) = delete;
    DurableFile& operator=(const DurableFile&) = delete;

    // Opens path for appending, creating it when missing; truncate empties
    // it first. False with the system's error code when it cannot be opened.
    bool open(const std::string& path, bool truncate, int& errorCode);
    // Writes every byte at the end of the file; false when not all went out.
    bool append(const void* data, std::size_t size, int& errorCode);
    // Returns once everything written so far is on the disk.
    bool sync(int& errorCode);
    void close();
    bool isOpen() const { return handle_ != -1; }

private:
    std::intptr_t handle_ = -1;
};

// An exclusive lock on a file of its own (flock, LockFileEx), held until
// release or the end of the process, so that one process at a time uses what
// it guards. The file is created when missing and never removed.
class FileLock {
public:
    enum class Result { taken, held, failed };
    FileLock() = default;
    ~FileLock() { release(); }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // held: another process (or another FileLock) has it; failed: the file
    // cannot be opened or locked, with the system's error code.
    Result take(const std::string& path, int& errorCode);
    void release();

private:
    std::intptr_t handle_ = -1;
};

// The file operations a test must be able to make fail.
struct FileSeams {
    // Reads a whole file of at most limit bytes into contents. False when
    // the file is missing, unreadable, ends before its size was read, or is
    // larger than limit (errorCode says which: the system's code, or -1 for
    // the size).
    bool (*readWholeFile)(const std::string& path, std::size_t limit, std::string& contents,
                          int& errorCode);
    // One read of the default readWholeFile from an open file: the number of
    // bytes read, 0 at the end of the file, -1 on failure with the system's
    // error code. A test makes it fail or come back short partway through.
    long long (*readSome)(std::intptr_t handle, char* buffer, std::size_t size, int& errorCode);
    // Puts from in the place of to in one step, replacing to, and makes the
    // change durable: a power cut leaves either the old or the new file.
    bool (*replaceFile)(const std::string& from, const std::string& to, int& errorCode);
};

FileSeams& fileSeams();
FileSeams defaultFileSeams();

inline bool readWholeFile(const std::string& path, std::size_t limit, std::string& contents,
                          int& errorCode) {
    return fileSeams().readWholeFile(path, limit, contents, errorCode);
}
inline bool replaceFile(const std::string& from, const std::string& to, int& errorCode) {
    return fileSeams().replaceFile(from, to, errorCode);
}

// ---- Time ------------------------------------------------------------------

// Local broken-down time of a time value, thread-safe.
void localTime(long long seconds, struct tm& out);

// ---- Threads ---------------------------------------------------------------

// Starts a detached thread (created suspended, then resumed, on Win32).
// The thread object is not kept. False when the thread cannot be created.
bool startDetachedThread(unsigned (*procedure)(void*), void* argument);

// ---- Seams -----------------------------------------------------------------

// The operations a test must be able to replace: waiting, ending the process
// and starting another program. Tests install their own functions (an exit
// that throws, a sleep or a socket wait that only records) so failure paths
// run without waiting or ending the test process.
struct Seams {
    void (*sleepMs)(unsigned milliseconds);
    // select() for readability of one socket; results as waitReadable.
    int (*waitReadable)(SOCKET s, unsigned milliseconds);
    void (*exitProcess)(int code);
    // ShellExecuteA(NULL, NULL, file, parameters, folder, SW_SHOWNORMAL).
    void (*startProgram)(const std::string& file, const std::string& parameters,
                         const std::string& folder);
};

Seams& seams();
Seams defaultSeams();

inline void sleepMs(unsigned milliseconds) { seams().sleepMs(milliseconds); }
// Waits at most milliseconds for s to become readable: 1 when input is
// waiting or the peer has closed (then nothing is pending), 0 when the time
// passed, SOCKET_ERROR on failure (WSAGetLastError tells why).
inline int waitReadable(SOCKET s, unsigned milliseconds) {
    return seams().waitReadable(s, milliseconds);
}
// One function that runs first whenever the agent ends its own process, on
// whatever thread ends it: it gets data still in flight to the disk, within a
// bounded time. Null (the default) for none.
void setBeforeExit(void (*handler)());
void runBeforeExit();

inline void exitProcess(int code) {
    runBeforeExit();
    seams().exitProcess(code);
}
inline void startProgram(const std::string& file, const std::string& parameters,
                         const std::string& folder) {
    seams().startProgram(file, parameters, folder);
}

}  // namespace platform
