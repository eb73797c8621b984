// platform.h brings windows.h, which shellapi.h needs first.
#include "platform/platform.h"

#include <shellapi.h>
#include <time.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace platform {

const char pathSeparator[] = "\\";
const bool closeWakesBlockedCalls = true;

int countTcpProtocols() {
    const DWORD size = 16384;
    HANDLE heap = GetProcessHeap();
    void* buffer = HeapAlloc(heap, 0, size);
    if (buffer == nullptr) return SOCKET_ERROR;
    INT protocols[] = {IPPROTO_TCP, 0};
    DWORD length = size;
    int count = WSAEnumProtocolsA(protocols, static_cast<LPWSAPROTOCOL_INFOA>(buffer), &length);
    HeapFree(heap, 0, buffer);
    return count;
}

bool firstLocalIPv4(std::string& address) {
    hostent* host = gethostbyname("");
    if (host == nullptr || host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr) {
        return false;
    }
    in_addr first;
    memcpy(&first, host->h_addr_list[0], sizeof first);
    address = inet_ntoa(first);
    return true;
}

SOCKET acceptPeer(SOCKET listener, std::string& peerAddress, unsigned& peerPort) {
    peerAddress.clear();
    peerPort = 0;
    sockaddr_in peer{};
    int length = sizeof peer;
    SOCKET s = accept(listener, reinterpret_cast<sockaddr*>(&peer), &length);
    if (s == INVALID_SOCKET) return s;
    char text[INET_ADDRSTRLEN] = {};
    if (peer.sin_family == AF_INET && inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text)) {
        peerAddress = text;
        peerPort = ntohs(peer.sin_port);
    }
    return s;
}

int setSocketTimeout(SOCKET s, int option, int milliseconds) {
    DWORD value = static_cast<DWORD>(milliseconds);
    return setsockopt(s, SOL_SOCKET, option, reinterpret_cast<const char*>(&value), sizeof value);
}

int setSocketIntOption(SOCKET s, int option, int value) {
    return setsockopt(s, SOL_SOCKET, option, reinterpret_cast<const char*>(&value), sizeof value);
}

int allowQuickRebind(SOCKET) { return 0; }

int setTcpIntOption(SOCKET s, int option, int value) {
    return setsockopt(s, IPPROTO_TCP, option, reinterpret_cast<const char*>(&value), sizeof value);
}

int waitForSocket(SOCKET s, SocketWait what, int milliseconds) {
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(s, &ready);
    FD_SET(s, &failed);  // Winsock reports a failed connect here
    int wait = milliseconds > 0 ? milliseconds : 0;
    timeval limit{};
    limit.tv_sec = static_cast<long>(wait / 1000);
    limit.tv_usec = static_cast<long>((wait % 1000) * 1000);
    int result = what == SocketWait::readable ? select(0, &ready, nullptr, nullptr, &limit)
                                              : select(0, nullptr, &ready, &failed, &limit);
    if (result == SOCKET_ERROR) return SOCKET_ERROR;
    return result > 0 ? 1 : 0;
}

bool renameNoReplace(const std::string& from, const std::string& to, int& errorCode) {
    if (MoveFileA(from.c_str(), to.c_str())) return true;
    errorCode = static_cast<int>(GetLastError());
    return false;
}

bool deleteFile(const std::string& path) { return DeleteFileA(path.c_str()) != 0; }

bool fileExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

namespace {
bool fileIdentity(const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
    HANDLE file =
        CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool known = GetFileInformationByHandle(file, &info) != 0;
    CloseHandle(file);
    return known;
}
}  // namespace

bool sameFile(const std::string& first, const std::string& second) {
    BY_HANDLE_FILE_INFORMATION one{}, two{};
    return fileIdentity(first, one) && fileIdentity(second, two) &&
           one.dwVolumeSerialNumber == two.dwVolumeSerialNumber &&
           one.nFileIndexHigh == two.nFileIndexHigh && one.nFileIndexLow == two.nFileIndexLow;
}

std::string fullPath(const std::string& relativeName) {
    std::vector<char> buffer(256);
    for (;;) {
        DWORD length = GetFullPathNameA(relativeName.c_str(), static_cast<DWORD>(buffer.size()),
                                        buffer.data(), nullptr);
        if (length == 0) return relativeName;
        if (length < buffer.size()) return std::string(buffer.data(), length);
        buffer.resize(length + 1);
    }
}

std::string expandEnvironment(const std::string& text) {
    std::vector<char> buffer(text.size() + 256);
    for (;;) {
        DWORD length = ExpandEnvironmentStringsA(text.c_str(), buffer.data(),
                                                 static_cast<DWORD>(buffer.size()));
        if (length == 0) return text;
        if (length <= buffer.size()) return std::string(buffer.data());
        buffer.resize(length);
    }
}

bool createFolders(const std::string& path) {
    // Each level from the first below the drive on; a level that cannot be
    // made may exist all the same (a share's root), which the end shows.
    for (size_t at = path.find_first_of("\\/", 3);; at = path.find_first_of("\\/", at + 1)) {
        CreateDirectoryA(path.substr(0, at).c_str(), nullptr);
        if (at == std::string::npos) break;
    }
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool changeFolder(const std::string& path) { return SetCurrentDirectoryA(path.c_str()) != 0; }

namespace {
HANDLE fileHandle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }
}  // namespace

bool DurableFile::open(const std::string& path, bool truncate, int& errorCode) {
    close();
    HANDLE file =
        CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                    truncate ? CREATE_ALWAYS : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        errorCode = static_cast<int>(GetLastError());
        return false;
    }
    LARGE_INTEGER zero{};
    if (!SetFilePointerEx(file, zero, nullptr, FILE_END)) {
        errorCode = static_cast<int>(GetLastError());
        CloseHandle(file);
        return false;
    }
    handle_ = reinterpret_cast<std::intptr_t>(file);
    return true;
}

bool DurableFile::append(const void* data, std::size_t size, int& errorCode) {
    if (handle_ == -1) {
        errorCode = ERROR_INVALID_HANDLE;
        return false;
    }
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(fileHandle(handle_), bytes, chunk, &written, nullptr) || written == 0) {
            errorCode = static_cast<int>(GetLastError());
            return false;
        }
        bytes += written;
        size -= written;
    }
    return true;
}

bool DurableFile::sync(int& errorCode) {
    if (handle_ == -1 || !FlushFileBuffers(fileHandle(handle_))) {
        errorCode = handle_ == -1 ? ERROR_INVALID_HANDLE : static_cast<int>(GetLastError());
        return false;
    }
    return true;
}

void DurableFile::close() {
    if (handle_ != -1) CloseHandle(fileHandle(handle_));
    handle_ = -1;
}

namespace {

bool readWholeFileDefault(const std::string& path, std::size_t limit, std::string& contents,
                          int& errorCode) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        errorCode = static_cast<int>(GetLastError());
        return false;
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size) || static_cast<unsigned long long>(size.QuadPart) > limit) {
        errorCode = -1;
        CloseHandle(file);
        return false;
    }
    contents.assign(static_cast<std::size_t>(size.QuadPart), '\0');
    std::size_t done = 0;
    while (done < contents.size()) {
        long long got = fileSeams().readSome(reinterpret_cast<std::intptr_t>(file), &contents[done],
                                             contents.size() - done, errorCode);
        if (got <= 0) {
            // A file that ends before its size is read is as unreadable as
            // one whose read fails: the part read is not the file.
            if (got == 0) errorCode = ERROR_HANDLE_EOF;
            contents.clear();
            CloseHandle(file);
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    CloseHandle(file);
    return true;
}

long long readSomeDefault(std::intptr_t handle, char* buffer, std::size_t size, int& errorCode) {
    DWORD got = 0;
    DWORD want = static_cast<DWORD>(size > 0x40000000u ? 0x40000000u : size);
    if (!ReadFile(reinterpret_cast<HANDLE>(handle), buffer, want, &got, nullptr)) {
        errorCode = static_cast<int>(GetLastError());
        return -1;
    }
    return got;
}

bool replaceFileDefault(const std::string& from, const std::string& to, int& errorCode) {
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    errorCode = static_cast<int>(GetLastError());
    return false;
}

}  // namespace

FileSeams defaultFileSeams() {
    return FileSeams{readWholeFileDefault, readSomeDefault, replaceFileDefault};
}

FileLock::Result FileLock::take(const std::string& path, int& errorCode) {
    release();
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        errorCode = static_cast<int>(GetLastError());
        return Result::failed;
    }
    // The lock belongs to the handle: a second one is refused, also within
    // one process. The system drops it when the process ends.
    OVERLAPPED at{};
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        errorCode = static_cast<int>(GetLastError());
        CloseHandle(file);
        return errorCode == ERROR_LOCK_VIOLATION ? Result::held : Result::failed;
    }
    handle_ = reinterpret_cast<std::intptr_t>(file);
    return Result::taken;
}

void FileLock::release() {
    if (handle_ != -1) CloseHandle(fileHandle(handle_));
    handle_ = -1;
}

void localTime(long long seconds, struct tm& out) {
    time_t value = static_cast<time_t>(seconds);
    localtime_s(&out, &value);
}

namespace {

struct ThreadStart {
    unsigned (*procedure)(void*);
    void* argument;
};

DWORD WINAPI runThread(LPVOID start) {
    ThreadStart copy = *static_cast<ThreadStart*>(start);
    delete static_cast<ThreadStart*>(start);
    return copy.procedure(copy.argument);
}

void sleepDefault(unsigned milliseconds) { Sleep(milliseconds); }

int waitReadableDefault(SOCKET s, unsigned milliseconds) {
    const int wait = static_cast<int>(std::min<unsigned>(milliseconds, INT_MAX));
    return waitForSocket(s, SocketWait::readable, wait);
}

// Ends the process at once, without the C runtime's and the DLLs' exit code.
// ExitProcess stops the other threads wherever they are and then runs that
// code, which can wait for ever on a lock a stopped thread held: under Wine,
// an agent that ends while its desktop thread is still setting up the
// display driver (a second agent on the same port does) was stuck there
// until the Wine server killed it (exit status -9, at times 1). Nothing is
// lost: the log is flushed line by line and the scan journal is synced
// before any exit (runBeforeExit).
void exitDefault(int code) {
    std::fflush(nullptr);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
    exit(code);  // not reached
}

void startDefault(const std::string& file, const std::string& parameters,
                  const std::string& folder) {
    ShellExecuteA(nullptr, nullptr, file.c_str(), parameters.empty() ? nullptr : parameters.c_str(),
                  folder.c_str(), SW_SHOWNORMAL);
}

}  // namespace

bool startDetachedThread(unsigned (*procedure)(void*), void* argument) {
    ThreadStart* start = new ThreadStart{procedure, argument};
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, runThread, start, CREATE_SUSPENDED, &id);
    if (thread == nullptr) {
        delete start;
        return false;
    }
    ResumeThread(thread);
    CloseHandle(thread);
    return true;
}

Seams defaultSeams() { return Seams{sleepDefault, waitReadableDefault, exitDefault, startDefault}; }

}  // namespace platform
