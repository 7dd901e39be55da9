#ifndef QT_TESTS_SIM_DEVICE_HPP
#define QT_TESTS_SIM_DEVICE_HPP

// A simulated device on a TestTransport: sends heartbeats on a schedule and
// answers requests addressed to its node id by command id, with a configured
// payload, after a delay, several times, under another command id, or not at
// all. Every request it sees is recorded.

#include <atomic>

#include "test_transport.hpp"

namespace qt_test {

struct SimReply {
    std::array<uint8_t, 8> data{};
    uint8_t dlc = 8;
    Millis delay{0};
    int copies = 1;                    // 2: the same reply twice
    std::optional<uint8_t> asCommand;  // answer under another command id
};

// Builds a reply payload field by field, packed from bit 0 like the devices do.
class Payload {
public:
    template <typename T>
    Payload& put(T value, unsigned char width = sizeof(T) * 8) {
        canSetSignal<T>(frame_, value, bit_, width, true);
        bit_ += width;
        return *this;
    }
    Payload& putBool(bool value) { return put<bool>(value, 1); }
    SimReply reply(Millis delay = Millis(0)) const {
        SimReply r;
        r.data = dataBytes(frame_);
        r.delay = delay;
        return r;
    }
    std::array<uint8_t, 8> bytes() const { return dataBytes(frame_); }

private:
    can_frame_data frame_{};
    unsigned char bit_ = 0;
};

class SimDevice {
public:
    using Handler = std::function<std::optional<SimReply>(const can_frame_data& request)>;

    SimDevice(TestTransport& bus, uint32_t nodeId, uint8_t deviceType = 0)
        : bus_(bus), nodeId_(nodeId), deviceType_(deviceType),
          listener_(bus.addListener([this](const can_frame_data& f) { onFrame(f); })) {}
    ~SimDevice() {
        bus_.removeListener(listener_);
        stopHeartbeats();
    }
    SimDevice(const SimDevice&) = delete;
    SimDevice& operator=(const SimDevice&) = delete;

    uint32_t nodeId() const { return nodeId_; }

    void sendHeartbeat() { bus_.inject(heartbeatFrame(nodeId_, deviceType_)); }
    void startHeartbeats(Millis period = Millis(100)) {
        stopHeartbeats();
        heartbeatJob_ = bus_.schedule(Millis(0), [this] { sendHeartbeat(); }, period);
    }
    void stopHeartbeats() {
        if (const int job = heartbeatJob_.exchange(0)) bus_.cancel(job);
    }

    // Answer every request with this command id.
    void answer(uint8_t cmdId, SimReply reply) {
        answer(cmdId, [reply](const can_frame_data&) { return std::optional<SimReply>(reply); });
    }
    // Answer by a function of the request; std::nullopt stays silent.
    void answer(uint8_t cmdId, Handler handler) {
        std::lock_guard<std::mutex> lock(mutex_);
        handlers_[cmdId] = std::move(handler);
    }
    // Forget the answer for cmdId: requests go unanswered.
    void silence(uint8_t cmdId) { answer(cmdId, Handler{}); }
    // Unsolicited frame from this node.
    void send(uint8_t cmdId, std::array<uint8_t, 8> data) {
        bus_.inject(makeFrame(nodeId_, cmdId, std::vector<uint8_t>(data.begin(), data.end()), 8, false, deviceType_));
    }

    std::vector<can_frame_data> requests(uint8_t cmdId) const {
        std::vector<can_frame_data> out;
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto f : requests_) {
            if (getCommandIdFromFrame(&f) == cmdId) out.push_back(f);
        }
        return out;
    }
    // Waits until `count` requests with cmdId arrived.
    bool waitForRequests(uint8_t cmdId, size_t count, Millis timeout = Millis(2000)) const {
        return waitUntil([&] { return requests(cmdId).size() >= count; }, timeout, Millis(1));
    }

private:
    // On the sending thread: records the request and answers it.
    void onFrame(can_frame_data f) {
        if (isMasterHeartbeat(f) || getDeviceIdFromFrame(&f) != nodeId_) return;
        const uint8_t cmd = getCommandIdFromFrame(&f);
        Handler handler;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(f);
            if (auto it = handlers_.find(cmd); it != handlers_.end()) handler = it->second;
        }
        const std::optional<SimReply> reply = handler ? handler(f) : std::nullopt;
        if (!reply) return;
        const can_frame_data out = makeFrame(nodeId_, reply->asCommand.value_or(cmd),
                                             std::vector<uint8_t>(reply->data.begin(), reply->data.end()),
                                             reply->dlc, false, deviceType_);
        for (int i = 0; i < reply->copies; ++i) bus_.injectAfter(out, reply->delay);
    }

    TestTransport& bus_;
    const uint32_t nodeId_;
    const uint8_t deviceType_;
    mutable std::mutex mutex_;
    std::map<uint8_t, Handler> handlers_;
    std::vector<can_frame_data> requests_;
    const int listener_;
    std::atomic<int> heartbeatJob_{0};
};

// A started bus with one simulated device that keeps itself connected by
// heartbeats: the usual set-up of a device test.
class SimBus {
public:
    explicit SimBus(uint32_t nodeId, Millis heartbeatPeriod = Millis(50))
        : device(bus, nodeId), heartbeatPeriod_(heartbeatPeriod) {}
    // Started, running and the device connected; then the sent-frame record
    // is cleared so that it holds only what the test sends.
    bool ready(Millis timeout = Millis(2000)) {
        if (!startAndWaitRunning(bus, timeout)) return false;
        device.startHeartbeats(heartbeatPeriod_);
        if (!waitForDevice(bus, device.nodeId(), timeout)) return false;
        bus.clearSent();
        return true;
    }

    TestTransport bus;
    SimDevice device;

private:
    Millis heartbeatPeriod_;
};

}  // namespace qt_test

#endif
