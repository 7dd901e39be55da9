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

void SimDevice::sendHeartbeat(std::array<uint8_t, 8> payload) {
    can_frame_data hb = heartbeatFrame(nodeId_, deviceType_);
    for (int i = 0; i < 8; ++i) hb.data[i] = payload[i];
    bus_.inject(hb);
}

void SimDevice::startHeartbeats(Millis period) {
    stopHeartbeats();
    heartbeatJob_ = bus_.schedule(Millis(0), [this] { sendHeartbeat(); }, period);
}

void SimDevice::stopHeartbeats() {
    const int job = heartbeatJob_.exchange(0);
    if (job != 0) bus_.cancel(job);
}

void SimDevice::answer(uint8_t cmdId, SimReply reply) {
    answer(cmdId, [reply](const can_frame_data&) { return std::optional<SimReply>(reply); });
}

void SimDevice::answer(uint8_t cmdId, Handler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    handlers_[cmdId] = std::move(handler);
}

void SimDevice::silence(uint8_t cmdId) {
    std::lock_guard<std::mutex> lock(mutex_);
    handlers_.erase(cmdId);
}

void SimDevice::send(uint8_t cmdId, std::array<uint8_t, 8> data, Millis delay, uint8_t dlc) {
    bus_.injectAfter(makeFrame(nodeId_, cmdId, std::vector<uint8_t>(data.begin(), data.end()), dlc, false,
                               deviceType_),
                     delay);
}

std::vector<can_frame_data> SimDevice::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
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
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] {
        size_t n = 0;
        for (auto f : requests_) n += getCommandIdFromFrame(&f) == cmdId;
        return n >= count;
    });
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
    cv_.notify_all();
    if (!handler) return;
    const std::optional<SimReply> reply = handler(f);
    if (!reply) return;
    const can_frame_data out = makeFrame(nodeId_, reply->asCommand.value_or(cmd),
                                         std::vector<uint8_t>(reply->data.begin(), reply->data.end()), reply->dlc,
                                         false, deviceType_);
    for (int i = 0; i < reply->copies; ++i) bus_.injectAfter(out, reply->delay);
}

SimBus::SimBus(uint32_t nodeId, Millis heartbeatPeriod) : device(bus, nodeId), heartbeatPeriod_(heartbeatPeriod) {}

bool SimBus::ready(Millis timeout) {
    if (!startAndWaitRunning(bus, timeout)) return false;
    device.startHeartbeats(heartbeatPeriod_);
    if (!waitForDevice(bus, device.nodeId(), timeout)) return false;
    bus.clearSent();
    return true;
}

}  // namespace qt_test
