#include "platform/platform.h"

namespace platform {

Seams& seams() {
    static Seams current = defaultSeams();
    return current;
}

}  // namespace platform
