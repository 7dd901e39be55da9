#ifndef QT_TESTS_RECORDING_DEVICE_HPP
#define QT_TESTS_RECORDING_DEVICE_HPP

// A device object that records, in order, every frame an interface routes
// to its node id, and lets the test wait for them.

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
    }

    std::vector<can_frame_data> received() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return frames_;
    }
    size_t count() const { return received().size(); }

    // Waits until `count` frames arrived; false when the time-out passed
    // first. With `out`, the count-th frame is written there.
    bool waitFor(size_t count, can_frame_data* out = nullptr, Millis timeout = Millis(3000)) const {
        std::vector<can_frame_data> got;
        if (!waitUntil([&] { return (got = received()).size() >= count; }, timeout, Millis(1))) return false;
        if (out != nullptr && count > 0) *out = got[count - 1];
        return true;
    }

private:
    mutable std::mutex mutex_;
    std::vector<can_frame_data> frames_;
};

}  // namespace qt_test

#endif
