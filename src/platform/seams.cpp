#include "platform/platform.h"

#include <atomic>

namespace platform {

namespace {
std::atomic<void (*)()> beforeExit{nullptr};
}

void setBeforeExit(void (*handler)()) { beforeExit = handler; }

void runBeforeExit() {
    void (*handler)() = beforeExit.load();
    if (handler != nullptr) handler();
}

FileSeams& fileSeams() {
    static FileSeams current = defaultFileSeams();
    return current;
}

Seams& seams() {
    static Seams current = defaultSeams();
    return current;
}

}  // namespace platform
