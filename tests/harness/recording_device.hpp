#ifndef QT_TESTS_RECORDING_DEVICE_HPP
#define QT_TESTS_RECORDING_DEVICE_HPP

// A device object that records, in order, every frame an interface routes
// to its node id, and lets the test wait for them.

#include <condition_variable>
#include <mutex>
#include <vector>

#include "quorvel_transport/can_device_type.hpp"
#include "test_transport.hpp"

namespace qt_test {

class RecordingDevice final : public CANDeviceType {
public:
    explicit RecordingDevice(unsigned int id) { nodeId = id; }

    // Runs on the interface's receive thread.
    void canMsgCallback(can_frame_data* frame) override {
        std::lock_guard<std::mutex> lock(mutex_);
        frames_.push_back(*frame);
        cv_.notify_all();
    }

    std::vector<can_frame_data> received() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return frames_;
    }
    size_t count() const { return received().size(); }

    // Waits until `count` frames arrived; false when the time-out passed
    // first. With `out`, the count-th frame is written there.
    bool waitFor(size_t count, can_frame_data* out = nullptr, Millis timeout = Millis(3000)) const {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!cv_.wait_for(lock, timeout, [&] { return frames_.size() >= count; })) return false;
        if (out != nullptr && count > 0) *out = frames_[count - 1];
        return true;
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::vector<can_frame_data> frames_;
};

}  // namespace qt_test

#endif
