#ifndef QUORVEL_TRANSPORT_PACING_HPP
#define QUORVEL_TRANSPORT_PACING_HPP

// Time for the routines with fixed pauses (firmware update, calibration,
// configuration import). They sleep and read the clock only through a Pacer,
// so that tests can pass a virtual one and run seconds of pauses at once.

#include <chrono>
#include <thread>

namespace quorvel_detail {

class Pacer {
public:
    virtual ~Pacer() = default;
    virtual void sleepFor(std::chrono::nanoseconds pause) = 0;
    // Wall-clock time (the calibration's reference ramp is taken from it).
    virtual std::chrono::system_clock::time_point now() = 0;
};

// The real clock.
class RealPacer final : public Pacer {
public:
    void sleepFor(std::chrono::nanoseconds pause) override { std::this_thread::sleep_for(pause); }
    std::chrono::system_clock::time_point now() override { return std::chrono::system_clock::now(); }
};

inline Pacer& realPacer() {
    static RealPacer pacer;
    return pacer;
}

}  // namespace quorvel_detail

#endif
