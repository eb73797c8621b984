#include "backoff.h"

#include <algorithm>

namespace vxgate {

Jitter::Jitter() {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device()};
    engine_.seed(seed);
}

Millis Jitter::between(Millis low, Millis high) {
    if (high <= low) return low;
    std::uniform_int_distribution<Millis::rep> pick(low.count(), high.count());
    return Millis(pick(engine_));
}

Millis Backoff::next(Jitter& jitter) {
    Millis pause = jitter.between(step_ / 2, step_);
    step_ = std::min(step_ * 2, ceiling_);
    return pause;
}

}  // namespace vxgate
