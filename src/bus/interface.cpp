#include "quorvel_transport/interface.hpp"

#include <condition_variable>
#include <exception>
#include <future>
#include <thread>
#include <vector>

#include "bus/device_protocol.hpp"

namespace {

constexpr auto kHeartbeatPeriod = std::chrono::milliseconds(200);
constexpr long kDropAfterMs = 1000;  // dropped once 1001 ms or more old
using quorvel_detail::kNoNode;
using quorvel_detail::kAckCommandId;
using quorvel_detail::kHeartbeatCommandId;

}  // namespace

class QUORVEL_LOCAL Interface::InterfaceImpl {
public:
    explicit InterfaceImpl(Interface* owner) : owner(owner) {}

    bool startRecvThread();
    bool startMasterHeartbeatThread();
    void recvThread();
    void masterHeartbeatThread();
    void canMsgCallback(can_frame_data* frame);
    bool sendFrame(can_frame_data* frame);
    void sendAckToDevice(unsigned int nodeId);

    Interface* owner;
    std::atomic<bool> singleDevice{false};
    std::atomic<unsigned int> learnedNodeId{kNoNode};
    std::atomic<bool> running{false};
    std::atomic<bool> stop{false};
    std::mutex sendMutex;
    std::mutex registryMutex;
    std::map<unsigned int, CANDeviceType*> registry;
    std::future<void> recvTask;
    std::future<void> heartbeatTask;
    std::function<void(unsigned int, unsigned char)> onNewDevice;
    std::function<void(unsigned int)> onDeviceLost;

    // Lets closeInterface cut the heartbeat thread's sleep short.
    std::mutex stopMutex;
    std::condition_variable stopSignal;

private:
    void recordHeartbeat(unsigned int nodeId, unsigned char deviceType);
    void route(can_frame_data* frame, unsigned int nodeId, unsigned int cmdId);
    bool sleepUnlessStopped(std::chrono::milliseconds period);
    void dropSilentDevices();
};

// ---------------------------------------------------------------------------
// Threads

bool Interface::InterfaceImpl::startRecvThread() {
    owner->logSink.line("Starting receive thread...");
    recvTask = std::async(std::launch::async, &InterfaceImpl::recvThread, this);
    return true;
}

bool Interface::InterfaceImpl::startMasterHeartbeatThread() {
    owner->logSink.line("Starting heartbeat thread...");
    heartbeatTask = std::async(std::launch::async, &InterfaceImpl::masterHeartbeatThread, this);
    return true;
}

void Interface::InterfaceImpl::recvThread() {
    owner->logSink.line("Inside recvThread() ", stop.load() ? 1 : 0);
    can_frame_data frame{};
    while (!stop.load(std::memory_order_acquire)) {
        if (!owner->recvData(&frame)) continue;
        // Whatever handling one frame throws must not end routing for everyone.
        owner->logSink.logExceptions("Exception while handling a frame", [&] { canMsgCallback(&frame); });
    }
}

bool Interface::InterfaceImpl::sleepUnlessStopped(std::chrono::milliseconds period) {
    std::unique_lock<std::mutex> lock(stopMutex);
    return !stopSignal.wait_for(lock, period, [this] { return stop.load(); });
}

void Interface::InterfaceImpl::masterHeartbeatThread() {
    owner->logSink.line("Inside masterheartbeatThread() ", running.load() ? 1 : 0);
    while (!stop.load(std::memory_order_acquire)) {
        if (owner->bootloaderMode.load()) {
            sleepUnlessStopped(kHeartbeatPeriod);
            continue;
        }
        can_frame_data heartbeat{};
        heartbeat.can_id = 0xC2000000u | kHeartbeatCommandId;
        heartbeat.can_dlc = 1;
        sendFrame(&heartbeat);
        if (!sleepUnlessStopped(kHeartbeatPeriod)) break;
        dropSilentDevices();
    }
    std::lock_guard<std::mutex> lock(*owner->connected_devices_mutex);
    owner->connected_devices.clear();
}

void Interface::InterfaceImpl::dropSilentDevices() {
    const auto now = std::chrono::steady_clock::now();
    std::vector<unsigned int> lost;
    {
        std::lock_guard<std::mutex> lock(*owner->connected_devices_mutex);
        auto& devices = owner->connected_devices;
        for (auto it = devices.begin(); it != devices.end();) {
            const auto age = std::chrono::duration_cast<std::chrono::milliseconds>(now - it->second.second);
            if (age.count() > kDropAfterMs) {
                lost.push_back(it->first);
                it = devices.erase(it);
            } else {
                ++it;
            }
        }
    }
    if (!onDeviceLost) return;
    // A callback that throws must not stop the heartbeats, nor keep the
    // other lost nodes of this cycle from being reported.
    for (unsigned int nodeId : lost)
        owner->logSink.logExceptions("Exception in onDeviceLost", [&] { onDeviceLost(nodeId); });
}

// ---------------------------------------------------------------------------
// Router (receive thread)

void Interface::InterfaceImpl::canMsgCallback(can_frame_data* frame) {
    if (owner->bootloaderMode.load(std::memory_order_acquire)) {
        owner->logSink.line("[FLASH] Got message....", frame->can_id);
        std::lock_guard<std::mutex> lock(registryMutex);
        for (auto& entry : registry) entry.second->canMsgCallback(frame);
        return;
    }
    const unsigned int nodeId = getDeviceIdFromFrame(frame);
    const unsigned int cmdId = getCommandIdFromFrame(frame);
    owner->logSink.line("Got message....", nodeId, " ", cmdId);
    if (cmdId == kHeartbeatCommandId) recordHeartbeat(nodeId, getDeviceTypeFromFrame(frame));
    route(frame, nodeId, cmdId);
}

void Interface::InterfaceImpl::recordHeartbeat(unsigned int nodeId, unsigned char deviceType) {
    const auto now = std::chrono::steady_clock::now();
    if (singleDevice.load()) learnedNodeId.store(nodeId);
    {
        std::lock_guard<std::mutex> lock(*owner->connected_devices_mutex);
        auto it = owner->connected_devices.find(nodeId);
        if (it != owner->connected_devices.end()) {
            it->second.second = now;
            return;
        }
    }
    owner->logSink.line("New Device is sending a heartbeat...from: ", nodeId, " ; ", deviceType);
    // Entered and routed even when the callback throws: otherwise every later
    // heartbeat of the node would report it anew and go undelivered.
    if (onNewDevice)
        owner->logSink.logExceptions("Exception in onNewDevice", [&] { onNewDevice(nodeId, deviceType); });
    std::lock_guard<std::mutex> lock(*owner->connected_devices_mutex);
    owner->connected_devices[nodeId] = {deviceType, now};
}

void Interface::InterfaceImpl::route(can_frame_data* frame, unsigned int nodeId, unsigned int cmdId) {
    std::lock_guard<std::mutex> lock(registryMutex);
    if (registry.empty()) return;
    if (singleDevice.load()) {
        if (cmdId != kAckCommandId) registry.begin()->second->canMsgCallback(frame);
        return;
    }
    auto it = registry.find(nodeId);
    if (it != registry.end() && cmdId != kAckCommandId) {
        it->second->canMsgCallback(frame);
    } else {
        owner->logSink.line("Unknown Device ID ", nodeId, " or Command ID ", cmdId);
    }
}

// ---------------------------------------------------------------------------
// Transmission

bool Interface::InterfaceImpl::sendFrame(can_frame_data* frame) {
    std::lock_guard<std::mutex> lock(sendMutex);
    if (frame == nullptr) return false;
    const bool sent = owner->sendData(frame);
    running.store(sent, std::memory_order_release);
    return sent;
}

void Interface::InterfaceImpl::sendAckToDevice(unsigned int nodeId) {
    can_frame_data ack{};
    ack.can_id = (nodeId << DEVICE_ID_BIT_SHIFT) | 0xC0000000u | kAckCommandId;
    ack.can_dlc = 1;
    owner->logSink.line("Sending ACK to ", nodeId);
    sendFrame(&ack);
}

// ---------------------------------------------------------------------------
// Public operations

Interface::Interface()
    : impl(nullptr), connected_devices_mutex(std::make_shared<std::mutex>()) {
    impl = new InterfaceImpl(this);
}

Interface::~Interface() { delete impl; }

bool Interface::initInterface(std::string name, std::function<void(unsigned int, unsigned char)> onNewDevice,
                              std::function<void(unsigned int)> onDeviceLost) {
    if (impl == nullptr) return false;
    // Starting twice would leak the running threads' futures into a wait.
    if (impl->recvTask.valid() || impl->heartbeatTask.valid()) return false;
    impl->running.store(false);
    impl->stop.store(false);
    if (!init(std::move(name))) {
        logSink.line("Closing CAN Socket");
        closeInterface();
        return false;
    }
    if (onNewDevice) impl->onNewDevice = std::move(onNewDevice);
    if (onDeviceLost) impl->onDeviceLost = std::move(onDeviceLost);
    impl->startRecvThread();
    impl->startMasterHeartbeatThread();
    logSink.line("CAN Init Success");
    return true;
}

bool Interface::closeInterface() {
    if (impl == nullptr) return true;
    {
        std::lock_guard<std::mutex> lock(impl->stopMutex);
        impl->stop.store(true);
    }
    impl->stopSignal.notify_all();
    wakeReceiver();
    impl->running.store(false);
    std::exception_ptr failure;
    for (std::future<void>* task : {&impl->recvTask, &impl->heartbeatTask}) {
        if (!task->valid()) continue;
        try {
            task->get();
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
    }
    // A send while the tasks were stopping may have set it again; closing
    // under the send lock leaves no send between the transport's close and
    // the clear (a later send fails on the closed transport).
    {
        std::lock_guard<std::mutex> lock(impl->sendMutex);
        closeIface();
        impl->running.store(false);
    }
    if (failure) std::rethrow_exception(failure);
    return true;
}

void Interface::closeInterfaceNoThrow() noexcept {
    logSink.logExceptions("Exception while closing the interface", [this] { closeInterface(); });
}

bool Interface::isRunning() { return impl != nullptr && impl->running.load(std::memory_order_acquire); }

bool Interface::sendFrame(can_frame_data* frame) { return impl != nullptr && impl->sendFrame(frame); }

bool Interface::isDeviceConnected(unsigned int nodeId) {
    std::lock_guard<std::mutex> lock(*connected_devices_mutex);
    return connected_devices.count(nodeId) != 0;
}

std::map<unsigned int, unsigned char> Interface::getConnectedDevices() {
    std::map<unsigned int, unsigned char> copy;
    std::lock_guard<std::mutex> lock(*connected_devices_mutex);
    for (const auto& entry : connected_devices) copy.emplace_hint(copy.end(), entry.first, entry.second.first);
    return copy;
}

void Interface::setOutputLogStream(std::ostream* stream) { logSink.setStream(stream); }

void Interface::registerCANMsgCallback(CANDeviceType* device) {
    if (impl == nullptr || device == nullptr) return;
    std::lock_guard<std::mutex> lock(impl->registryMutex);
    auto inserted = impl->registry.emplace(device->getId(), device);
    if (!inserted.second) {
        logSink.line("Device already exists with same id. Hence updating CANMsgCallback().");
        inserted.first->second = device;
    }
}

void Interface::unregisterCANMsgCallback(CANDeviceType* device) {
    if (impl == nullptr || device == nullptr) return;
    std::lock_guard<std::mutex> lock(impl->registryMutex);
    impl->registry.erase(device->getId());
}

unsigned int Interface::setAsDevice() {
    if (impl == nullptr) return kNoNode;
    impl->singleDevice.store(true);
    for (int i = 0; i < 500 && impl->learnedNodeId.load() == kNoNode; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return impl->learnedNodeId.load();
}

bool Interface::isDevice() { return impl != nullptr && impl->singleDevice.load(); }
