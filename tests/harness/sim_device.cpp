#include "sim_device.hpp"

namespace qt_test {

SimDevice::SimDevice(TestTransport& bus, uint32_t nodeId, uint8_t deviceType)
    : bus_(bus), nodeId_(nodeId), deviceType_(deviceType) {
    listener_ = bus_.addListener([this](const can_frame_data& f) { onFrame(f); });
}

SimDevice::~SimDevice() {
    bus_.removeListener(listener_);
    stopHeartbeats();
}

void SimDevice::startHeartbeats(Millis period) {
    stopHeartbeats();
    heartbeatJob_ = bus_.schedule(Millis(0), [this] { sendHeartbeat(); }, period);
}

void SimDevice::stopHeartbeats() {
    const int job = heartbeatJob_.exchange(0);
    if (job != 0) bus_.cancel(job);
}

void SimDevice::answer(uint8_t cmdId, Handler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    handlers_[cmdId] = std::move(handler);
}

std::vector<can_frame_data> SimDevice::requests(uint8_t cmdId) const {
    std::vector<can_frame_data> out;
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto f : requests_) {
        if (getCommandIdFromFrame(&f) == cmdId) out.push_back(f);
    }
    return out;
}

bool SimDevice::waitForRequests(uint8_t cmdId, size_t count, Millis timeout) const {
    return waitUntil([&] { return requests(cmdId).size() >= count; }, timeout, Millis(1));
}

void SimDevice::onFrame(const can_frame_data& frame) {
    can_frame_data f = frame;
    if (isMasterHeartbeat(f) || getDeviceIdFromFrame(&f) != nodeId_) return;
    const uint8_t cmd = getCommandIdFromFrame(&f);
    Handler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(f);
        auto it = handlers_.find(cmd);
        if (it != handlers_.end()) handler = it->second;
    }
    const std::optional<SimReply> reply = handler ? handler(f) : std::nullopt;
    if (!reply) return;
    const can_frame_data out = makeFrame(nodeId_, reply->asCommand.value_or(cmd),
                                         std::vector<uint8_t>(reply->data.begin(), reply->data.end()), reply->dlc,
                                         false, deviceType_);
    for (int i = 0; i < reply->copies; ++i) bus_.injectAfter(out, reply->delay);
}

bool SimBus::ready(Millis timeout) {
    if (!startAndWaitRunning(bus, timeout)) return false;
    device.startHeartbeats(heartbeatPeriod_);
    if (!waitForDevice(bus, device.nodeId(), timeout)) return false;
    bus.clearSent();
    return true;
}

}  // namespace qt_test
