#ifndef QT_TEST_DEVICE_ACCESS_HPP
#define QT_TEST_DEVICE_ACCESS_HPP

// Reaches a device object's implementation, so that a test can give its
// compound routines a virtual clock.

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "device/pacing.hpp"

namespace quorvel_detail {
struct DeviceAccess {
    template <typename Device>
    static auto* impl(Device& device) {
        return device.impl;
    }
};
}  // namespace quorvel_detail

namespace qt_test {

// Virtual time: a sleep advances the clock at once (after yielding briefly so
// that the receive thread can deliver what is in flight). Adds up the sleeps.
class VirtualPacer final : public quorvel_detail::Pacer {
public:
    explicit VirtualPacer(std::chrono::system_clock::time_point start = std::chrono::system_clock::time_point{})
        : now_(start) {}

    void sleepFor(std::chrono::nanoseconds pause) override {
        std::this_thread::yield();
        std::lock_guard<std::mutex> lock(mutex_);
        now_ += std::chrono::duration_cast<std::chrono::system_clock::duration>(pause);
        slept_ += pause;
    }
    std::chrono::system_clock::time_point now() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return now_;
    }
    std::chrono::nanoseconds slept() {
        std::lock_guard<std::mutex> lock(mutex_);
        return slept_;
    }

private:
    std::mutex mutex_;
    std::chrono::system_clock::time_point now_;
    std::chrono::nanoseconds slept_{0};
};

// Gives the device's compound routines the pacer for the life of this object.
template <typename Device>
class PacedBy {
public:
    PacedBy(Device& device, quorvel_detail::Pacer& pacer) : impl_(quorvel_detail::DeviceAccess::impl(device)) {
        impl_->pacer = &pacer;
    }
    ~PacedBy() { impl_->pacer = &quorvel_detail::realPacer(); }
    PacedBy(const PacedBy&) = delete;
    PacedBy& operator=(const PacedBy&) = delete;

private:
    decltype(quorvel_detail::DeviceAccess::impl(std::declval<Device&>())) impl_;
};

}  // namespace qt_test

#endif
