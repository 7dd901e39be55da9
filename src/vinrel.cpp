#include "quorvel_transport/vinrel.hpp"

#include <stdexcept>

#include "device/device_request.hpp"
#include "device/motor_commands.hpp"
#include "vinrel_impl.hpp"

using namespace quorvel_detail;
using Common = CommonCommands<Vinrel::VinrelImpl>;

namespace {

constexpr FrameKind Data = FrameKind::Data;
constexpr FrameKind Remote = FrameKind::Remote;

}  // namespace

Vinrel::Vinrel(unsigned int nodeId, Interface* interface) : impl(nullptr), interface(interface) {
    this->nodeId = nodeId;
    impl = new VinrelImpl;
    if (interface != nullptr) interface->registerCANMsgCallback(this);
}

Vinrel::Vinrel(Interface* interface) : impl(nullptr), interface(interface) {
    nodeId = nodeIdFromHeartbeat(interface, "[FATAL ERROR] Vinrel object is not created");
    impl = new VinrelImpl;
    interface->registerCANMsgCallback(this);
}

Vinrel::~Vinrel() {
    if (impl == nullptr) return;
    // After this the receive thread no longer calls canMsgCallback.
    if (interface != nullptr) interface->unregisterCANMsgCallback(this);
    delete impl;
    impl = nullptr;
}

DeviceLink<Vinrel::VinrelImpl> Vinrel::link() { return {impl, interface, nodeId}; }

bool Vinrel::isConnected() { return impl != nullptr && interface != nullptr && interface->isDeviceConnected(nodeId); }

void Vinrel::setOutputLogStream(std::ostream* stream) {
    if (impl != nullptr) impl->setLogStream(stream);
}

void Vinrel::canMsgCallback(can_frame_data* frame) {
    if (impl != nullptr && frame != nullptr) impl->onFrame(frame);
}

// --- identity (the same frames and replies as the motor devices')

ret_status_t Vinrel::getHardwareVersion(unsigned char* a, unsigned char* b, unsigned char* c, unsigned char* d) {
    return Common::getHardwareVersion(link(), a, b, c, d);
}
ret_status_t Vinrel::getFirmwareVersion(unsigned char* major, unsigned char* minor, unsigned short* patch) {
    return Common::getFirmwareVersion(link(), major, minor, patch);
}
ret_status_t Vinrel::getFirmwareCommit(std::string* commit) { return readRemote<5>(link(), commit); }
ret_status_t Vinrel::setNodeId(unsigned int newNodeId) { return sendCommand(link(), {9, Data, 4}, u32(0, newNodeId)); }
ret_status_t Vinrel::getNodeId(unsigned int* reported) { return Common::getNodeId(link(), reported); }

// --- encoder configuration

ret_status_t Vinrel::configureEncoder(unsigned char type, int resolution) {
    return sendCommand(link(), {11, Data, 5}, u8(0, type), i32(8, resolution));
}
ret_status_t Vinrel::getEncoderConfiguration(unsigned char* type, int* resolution) {
    return readRemote<12>(link(), type, resolution);
}
ret_status_t Vinrel::setCurrentPositionToZero() { return sendCommand(link(), {13, Remote, 0}); }
ret_status_t Vinrel::getZeroPosition(float* position) { return readRemote<14>(link(), position); }
ret_status_t Vinrel::setEncoderDirection(unsigned char direction) {
    return sendCommand(link(), {15, Data, 1}, u8(0, direction));
}
ret_status_t Vinrel::getEncoderDirection(unsigned char* direction) { return readRemote<16>(link(), direction); }
ret_status_t Vinrel::setFilterWindowLength(unsigned int length) {
    return sendCommand(link(), {17, Data, 4}, u32(0, length));
}
ret_status_t Vinrel::getFilterWindowLength(unsigned int* length) { return readRemote<18>(link(), length); }
ret_status_t Vinrel::setScalingFactor(float factor) { return sendCommand(link(), {21, Data, 4}, f32(0, factor)); }
ret_status_t Vinrel::getScalingFactor(float* factor) { return readRemote<22>(link(), factor); }
ret_status_t Vinrel::setLinearCount(unsigned int count) { return sendCommand(link(), {80, Data, 4}, u32(0, count)); }

// --- sensor registers

ret_status_t Vinrel::setMAxxxSPIRegister(unsigned char reg, unsigned char value) {
    return sendCommand(link(), {19, Data, 2}, u8(0, reg), u8(8, value));
}
ret_status_t Vinrel::getMAxxxSPIRegister(unsigned char reg, unsigned char* value, bool* flag) {
    return read<20>(link(), composeRequest(nodeId, {20, Data, 1}, u8(0, reg)), value, flag);
}

// --- measurements

ret_status_t Vinrel::getEncoderCount(int* count) { return readRemote<48>(link(), count); }
ret_status_t Vinrel::getEncoderRawData(unsigned int* raw) { return readRemote<49>(link(), raw); }
ret_status_t Vinrel::getAbsoluteAngle(float* v) { return readRemote<50>(link(), v); }
ret_status_t Vinrel::getMultiturnAngle(float* v) { return readRemote<51>(link(), v); }
ret_status_t Vinrel::getRawVelocity(float* v) { return readRemote<52>(link(), v); }
ret_status_t Vinrel::getScaledVelocity(float* v) { return readRemote<53>(link(), v); }
ret_status_t Vinrel::getFilteredVelocity(float* v) { return readRemote<54>(link(), v); }
ret_status_t Vinrel::getScaledFilteredVelocity(float* v) { return readRemote<55>(link(), v); }
ret_status_t Vinrel::getRawAcceleration(float* v) { return readRemote<56>(link(), v); }
ret_status_t Vinrel::getScaledAcceleration(float* v) { return readRemote<57>(link(), v); }
ret_status_t Vinrel::getFilteredAcceleration(float* v) { return readRemote<58>(link(), v); }
ret_status_t Vinrel::getScaledFilteredAcceleration(float* v) { return readRemote<59>(link(), v); }

// --- bit rate, errors and stored configuration

ret_status_t Vinrel::setCANBaudRate(CANBaudRate rate) { return Common::setBitRate<90>(link(), rate); }
ret_status_t Vinrel::getCANBaudRate(CANBaudRate* rate) { return Common::getBitRate<91>(link(), rate); }

ret_status_t Vinrel::getErrorCode(unsigned int* code) { return readRemote<96>(link(), code); }
// Remote requests that the module acts on without answering.
ret_status_t Vinrel::clearEncoderErrors() { return sendCommand(link(), {111, Remote, 0}); }
ret_status_t Vinrel::rebootVinrel() { return sendCommand(link(), {113, Remote, 0}); }
ret_status_t Vinrel::saveConfigurations() { return Common::saveConfigurations(link()); }
ret_status_t Vinrel::eraseConfigurations() { return Common::eraseConfigurations(link()); }
ret_status_t Vinrel::enterDFUMode() { return Common::enterDFUMode(link()); }
