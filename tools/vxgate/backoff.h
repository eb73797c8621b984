#pragma once
// The pause before the next try of something that failed (dialling an agent,
// connecting to the broker): it doubles with each failure up to a ceiling,
// and each pause is drawn at random from its upper half, so that many
// connections that failed together do not all come back at the same moment.
#include <cstdint>
#include <random>

#include "timer_queue.h"

namespace vxgate {

// The random source of the pauses: one per process, seeded from the system,
// or with a fixed seed in tests.
class Jitter {
public:
    Jitter();
    explicit Jitter(uint64_t seed) : engine_(seed) {}
    // A length from [low, high].
    Millis between(Millis low, Millis high);

private:
    std::mt19937_64 engine_;
};

class Backoff {
public:
    Backoff(Millis first, Millis ceiling) : first_(first), ceiling_(ceiling), step_(first) {}

    // The pause after one more failure: from [step / 2, step], where step
    // starts at first and doubles with each call, up to the ceiling.
    Millis next(Jitter& jitter);

    // After a success: the next failure starts again from first.
    void reset() { step_ = first_; }

    Millis step() const { return step_; }

private:
    Millis first_;
    Millis ceiling_;
    Millis step_;
};

}  // namespace vxgate
