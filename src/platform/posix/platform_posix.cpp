#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

extern char** environ;

namespace platform {

const char pathSeparator[] = "/";
const bool closeWakesBlockedCalls = false;

int countTcpProtocols() {
    // Linux always offers TCP over IPv4 when the socket family exists.
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return errno == EAFNOSUPPORT ? 0 : SOCKET_ERROR;
    close(s);
    return 1;
}

bool firstLocalIPv4(std::string& address) {
    char name[256] = {0};
    if (gethostname(name, sizeof name - 1) != 0) return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &list) != 0 || list == nullptr) return false;
    char text[INET_ADDRSTRLEN] = {0};
    const sockaddr_in* first = reinterpret_cast<const sockaddr_in*>(list->ai_addr);
    inet_ntop(AF_INET, &first->sin_addr, text, sizeof text);
    freeaddrinfo(list);
    address = text;
    return true;
}

SOCKET acceptPeer(SOCKET listener, std::string& peerAddress, unsigned& peerPort) {
    peerAddress.clear();
    peerPort = 0;
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
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
    timeval value{};
    value.tv_sec = milliseconds / 1000;
    value.tv_usec = (milliseconds % 1000) * 1000;
    return setsockopt(s, SOL_SOCKET, option, &value, sizeof value) == 0 ? 0 : SOCKET_ERROR;
}

int setSocketIntOption(SOCKET s, int option, int value) {
    return setsockopt(s, SOL_SOCKET, option, &value, sizeof value) == 0 ? 0 : SOCKET_ERROR;
}

int allowQuickRebind(SOCKET s) { return setSocketIntOption(s, SO_REUSEADDR, 1); }

int setTcpIntOption(SOCKET s, int option, int value) {
    return setsockopt(s, IPPROTO_TCP, option, &value, sizeof value) == 0 ? 0 : SOCKET_ERROR;
}

int waitForSocket(SOCKET s, SocketWait what, int milliseconds) {
    pollfd entry{};
    entry.fd = s;
    entry.events = what == SocketWait::readable ? POLLIN : POLLOUT;
    int result = poll(&entry, 1, milliseconds > 0 ? milliseconds : 0);
    if (result <= 0) return result < 0 ? SOCKET_ERROR : 0;
    if ((entry.revents & POLLNVAL) != 0) {
        errno = EBADF;
        return SOCKET_ERROR;
    }
    // The wanted event, POLLHUP or POLLERR: the next call would not block.
    return 1;
}

bool renameNoReplace(const std::string& from, const std::string& to, int& errorCode) {
    // A hard link fails when the target exists, so the rename never replaces.
    if (link(from.c_str(), to.c_str()) != 0) {
        errorCode = errno;
        return false;
    }
    if (unlink(from.c_str()) != 0) {
        errorCode = errno;
        unlink(to.c_str());
        return false;
    }
    return true;
}

bool deleteFile(const std::string& path) { return unlink(path.c_str()) == 0; }

bool fileExists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

bool sameFile(const std::string& first, const std::string& second) {
    struct stat one, two;
    return stat(first.c_str(), &one) == 0 && stat(second.c_str(), &two) == 0 &&
           one.st_dev == two.st_dev && one.st_ino == two.st_ino;
}

std::string fullPath(const std::string& relativeName) {
    std::vector<char> buffer(256);
    while (getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE) return relativeName;
        buffer.resize(buffer.size() * 2);
    }
    std::string folder(buffer.data());
    if (folder.empty() || folder.back() != '/') folder += '/';
    return folder + relativeName;
}

std::string expandEnvironment(const std::string& text) {
    std::string result;
    size_t at = 0;
    for (;;) {
        size_t open = text.find('%', at);
        size_t close = open == std::string::npos ? open : text.find('%', open + 1);
        if (close == std::string::npos) return result + text.substr(at);
        std::string name = text.substr(open + 1, close - open - 1);
        const char* value = name.empty() ? nullptr : std::getenv(name.c_str());
        if (value == nullptr) {
            // Not set: kept as written, and its closing % may open the next.
            result += text.substr(at, close - at);
            at = close;
            continue;
        }
        result += text.substr(at, open - at) + value;
        at = close + 1;
    }
}

bool createFolders(const std::string& path) {
    // Each level in turn; one that cannot be made shows at the end.
    for (size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
        mkdir(path.substr(0, at).c_str(), 0755);
        if (at == std::string::npos) break;
    }
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool changeFolder(const std::string& path) { return chdir(path.c_str()) == 0; }

bool DurableFile::open(const std::string& path, bool truncate, int& errorCode) {
    close();
    int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (truncate ? O_TRUNC : 0);
    int fd = ::open(path.c_str(), flags, 0644);
    if (fd < 0) {
        errorCode = errno;
        return false;
    }
    handle_ = fd;
    return true;
}

bool DurableFile::append(const void* data, std::size_t size, int& errorCode) {
    if (handle_ == -1) {
        errorCode = EBADF;
        return false;
    }
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t written = ::write(static_cast<int>(handle_), bytes, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            errorCode = errno;
            return false;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

bool DurableFile::sync(int& errorCode) {
    if (handle_ == -1 || fsync(static_cast<int>(handle_)) != 0) {
        errorCode = handle_ == -1 ? EBADF : errno;
        return false;
    }
    return true;
}

void DurableFile::close() {
    if (handle_ != -1) ::close(static_cast<int>(handle_));
    handle_ = -1;
}

namespace {

bool readWholeFileDefault(const std::string& path, std::size_t limit, std::string& contents,
                          int& errorCode) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        errorCode = errno;
        return false;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || static_cast<unsigned long long>(info.st_size) > limit) {
        errorCode = -1;
        ::close(fd);
        return false;
    }
    contents.assign(static_cast<std::size_t>(info.st_size), '\0');
    std::size_t done = 0;
    while (done < contents.size()) {
        long long got =
            fileSeams().readSome(fd, &contents[done], contents.size() - done, errorCode);
        if (got <= 0) {
            // A file that ends before its size is read is as unreadable as
            // one whose read fails: the part read is not the file.
            if (got == 0) errorCode = EIO;
            contents.clear();
            ::close(fd);
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    ::close(fd);
    return true;
}

long long readSomeDefault(std::intptr_t handle, char* buffer, std::size_t size, int& errorCode) {
    for (;;) {
        ssize_t got = ::read(static_cast<int>(handle), buffer, size);
        if (got >= 0) return got;
        if (errno == EINTR) continue;
        errorCode = errno;
        return -1;
    }
}

bool replaceFileDefault(const std::string& from, const std::string& to, int& errorCode) {
    if (rename(from.c_str(), to.c_str()) != 0) {
        errorCode = errno;
        return false;
    }
    // The new name is durable only once the folder that holds it is synced.
    std::string folderPath = to;
    int folder = ::open(dirname(&folderPath[0]), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        fsync(folder);
        ::close(folder);
    }
    return true;
}

}  // namespace

FileSeams defaultFileSeams() {
    return FileSeams{readWholeFileDefault, readSomeDefault, replaceFileDefault};
}

FileLock::Result FileLock::take(const std::string& path, int& errorCode) {
    release();
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        errorCode = errno;
        return Result::failed;
    }
    // flock, not fcntl: its locks belong to the open file, so a second lock
    // within one process is refused too.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        errorCode = errno;
        ::close(fd);
        return errorCode == EWOULDBLOCK ? Result::held : Result::failed;
    }
    handle_ = fd;
    return Result::taken;
}

void FileLock::release() {
    if (handle_ != -1) ::close(static_cast<int>(handle_));
    handle_ = -1;
}

void localTime(long long seconds, struct tm& out) {
    time_t value = static_cast<time_t>(seconds);
    localtime_r(&value, &out);
}

namespace {

struct ThreadStart {
    unsigned (*procedure)(void*);
    void* argument;
};

void* runThread(void* start) {
    ThreadStart copy = *static_cast<ThreadStart*>(start);
    delete static_cast<ThreadStart*>(start);
    copy.procedure(copy.argument);
    return nullptr;
}

void sleepDefault(unsigned milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// A signal that cuts the wait short counts as time passed.
int waitReadableDefault(SOCKET s, unsigned milliseconds) {
    const int wait = static_cast<int>(std::min<unsigned>(milliseconds, INT_MAX));
    const int result = waitForSocket(s, SocketWait::readable, wait);
    return result == SOCKET_ERROR && errno == EINTR ? 0 : result;
}

void exitDefault(int code) { std::exit(code); }

// Starts the program with its blank-separated parameters in the given folder.
void startDefault(const std::string& file, const std::string& parameters,
                  const std::string& folder) {
    std::vector<std::string> words{file};
    size_t at = 0;
    while (at < parameters.size()) {
        size_t end = parameters.find(' ', at);
        if (end == std::string::npos) end = parameters.size();
        if (end > at) words.push_back(parameters.substr(at, end - at));
        at = end + 1;
    }
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    // Nothing of the agent's but the standard streams: a program started
    // with the listening socket would hold the port, and the agent an update
    // restarts would find it answering there and end at once.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    pid_t child = 0;
    posix_spawn(&child, file.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
}

}  // namespace

bool startDetachedThread(unsigned (*procedure)(void*), void* argument) {
    ThreadStart* start = new ThreadStart{procedure, argument};
    pthread_t thread;
    if (pthread_create(&thread, nullptr, runThread, start) != 0) {
        delete start;
        return false;
    }
    pthread_detach(thread);
    return true;
}

Seams defaultSeams() { return Seams{sleepDefault, waitReadableDefault, exitDefault, startDefault}; }

}  // namespace platform
