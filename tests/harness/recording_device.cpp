#include "recording_device.hpp"

namespace qt_test {

RecordingDevice::RecordingDevice(unsigned int id) { nodeId = id; }

void RecordingDevice::canMsgCallback(can_frame_data* frame) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        frames_.push_back(*frame);
    }
    cv_.notify_all();
}

std::vector<can_frame_data> RecordingDevice::received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
}

size_t RecordingDevice::count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_.size();
}

bool RecordingDevice::waitFor(size_t count, Millis timeout) const { return waitFor(count, nullptr, timeout); }

bool RecordingDevice::waitFor(size_t count, can_frame_data* out, Millis timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cv_.wait_for(lock, timeout, [&] { return frames_.size() >= count; })) return false;
    if (out != nullptr && count > 0) *out = frames_[count - 1];
    return true;
}

}  // namespace qt_test
