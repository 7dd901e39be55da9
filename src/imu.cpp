#include "quorvel_transport/imu.hpp"

#include <array>
#include <cstddef>
#include <stdexcept>

#include "device/device_request.hpp"
#include "device/motor_commands.hpp"
#include "imu_impl.hpp"

using namespace quorvel_detail;

namespace {

using Link = DeviceLink<IMU::IMUImpl>;
using Common = CommonCommands<IMU::IMUImpl>;

constexpr FrameKind Data = FrameKind::Data;
constexpr FrameKind Remote = FrameKind::Remote;

// --- sensor reports: one command, report at bits 0-7 and the argument at
// bits 8-23. Some reports take a shorter frame to enable than to disable.

constexpr uint8_t kReportCommand = 63;

struct ReportLengths {
    uint8_t enable, disable;
};

// Indexed by the report's value.
constexpr ReportLengths kReportLengths[] = {
    {0, 0}, {3, 3}, {3, 8}, {3, 8}, {3, 8}, {8, 8}, {8, 8}, {8, 8}, {8, 8}, {3, 8}, {3, 8},
};

ret_status_t switchReport(const Link& l, IMU::IMUReportType report, bool enable, unsigned short value) {
    const ReportLengths lengths = kReportLengths[report];
    return sendCommand(l, {kReportCommand, Data, enable ? lengths.enable : lengths.disable},
                       u8(0, static_cast<unsigned char>(report)), u16(8, value));
}

// --- scaled reads. Once the request went out they write every output,
// whatever came back: the shorts times the scale and the byte, so zeros
// after a time-out.

template <std::size_t N>
void writeScaled(ret_status_t status, float scale, const std::array<short, N>& raw, const std::array<float*, N>& outs) {
    if (!exchanged(status)) return;
    for (std::size_t i = 0; i < N; ++i) assignIfSet(outs[i], static_cast<float>(raw[i]) * scale);
}

template <uint8_t CommandId>
ret_status_t readScaledAxes(const Link& l, float scale, float* x, float* y, float* z) {
    std::array<short, 3> raw{};
    const ret_status_t status = readRemote<CommandId>(l, &raw[0], &raw[1], &raw[2]);
    writeScaled(status, scale, raw, {x, y, z});
    return status;
}

// A null `byte` drops the reply's byte.
template <uint8_t CommandId>
ret_status_t readScaledAxesAndByte(const Link& l, float scale, float* x, float* y, float* z, unsigned char* byte) {
    std::array<short, 3> raw{};
    unsigned char b = 0;
    const ret_status_t status = readRemote<CommandId>(l, &raw[0], &raw[1], &raw[2], &b);
    writeScaled(status, scale, raw, {x, y, z});
    if (exchanged(status)) assignIfSet(byte, b);
    return status;
}

}  // namespace

IMU::IMU(unsigned int nodeId, Interface* interface) : impl(nullptr), interface(interface) {
    this->nodeId = nodeId;
    impl = new IMUImpl;
    if (interface != nullptr) interface->registerCANMsgCallback(this);
}

IMU::IMU(Interface* interface) : impl(nullptr), interface(interface) {
    nodeId = nodeIdFromHeartbeat(interface, "[FATAL ERROR] Kelo object is not created");
    impl = new IMUImpl;
    interface->registerCANMsgCallback(this);
}

IMU::~IMU() {
    if (impl == nullptr) return;
    // After this the receive thread no longer calls canMsgCallback.
    if (interface != nullptr) interface->unregisterCANMsgCallback(this);
    delete impl;
    impl = nullptr;
}

Link IMU::link() { return {impl, interface, nodeId}; }

bool IMU::isConnected() { return impl != nullptr && interface != nullptr && interface->isDeviceConnected(nodeId); }

void IMU::setOutputLogStream(std::ostream* stream) {
    if (impl != nullptr) impl->setLogStream(stream);
}

void IMU::canMsgCallback(can_frame_data* frame) {
    if (impl != nullptr && frame != nullptr) impl->onFrame(frame);
}

// --- sensor reports

ret_status_t IMU::enableRotationVector(unsigned short v) { return switchReport(link(), ROTATION_VECTOR, true, v); }
ret_status_t IMU::disableRotationVector() { return switchReport(link(), ROTATION_VECTOR, false, 0); }
ret_status_t IMU::enableRawAccelerometer(unsigned short v) { return switchReport(link(), RAW_ACCELEROMETER, true, v); }
ret_status_t IMU::disableRawAccelerometer() { return switchReport(link(), RAW_ACCELEROMETER, false, 0); }
ret_status_t IMU::enableRawGyro(unsigned short v) { return switchReport(link(), RAW_GYRO, true, v); }
ret_status_t IMU::disableRawGyro() { return switchReport(link(), RAW_GYRO, false, 0); }
ret_status_t IMU::enableRawMagnetometer(unsigned short v) { return switchReport(link(), RAW_MAGNETOMETER, true, v); }
ret_status_t IMU::disableRawMagnetometer() { return switchReport(link(), RAW_MAGNETOMETER, false, 0); }
ret_status_t IMU::enableLinearAccelerometer(unsigned short v) {
    return switchReport(link(), LINEAR_ACCELEROMETER, true, v);
}
ret_status_t IMU::disableLinearAccelerometer() { return switchReport(link(), LINEAR_ACCELEROMETER, false, 0); }
ret_status_t IMU::enableAccelerometer(unsigned short v) { return switchReport(link(), ACCELEROMETER, true, v); }
ret_status_t IMU::disableAccelerometer() { return switchReport(link(), ACCELEROMETER, false, 0); }
ret_status_t IMU::enableGyro(unsigned short v) { return switchReport(link(), GYRO, true, v); }
ret_status_t IMU::disableGyro() { return switchReport(link(), GYRO, false, 0); }
ret_status_t IMU::enableMagnetometer(unsigned short v) { return switchReport(link(), MAGNETOMETER, true, v); }
ret_status_t IMU::disableMagnetometer() { return switchReport(link(), MAGNETOMETER, false, 0); }
ret_status_t IMU::enableUncalibratedGyro(unsigned short v) { return switchReport(link(), UNCALIBRATED_GYRO, true, v); }
ret_status_t IMU::disableUncalibratedGyro() { return switchReport(link(), UNCALIBRATED_GYRO, false, 0); }
ret_status_t IMU::enableGravity(unsigned short v) { return switchReport(link(), GRAVITY, true, v); }
ret_status_t IMU::disableGravity() { return switchReport(link(), GRAVITY, false, 0); }

// --- identity

ret_status_t IMU::getHardwareVersion(unsigned char* a, unsigned char* b, unsigned char* c, unsigned char* d) {
    return Common::getHardwareVersion(link(), a, b, c, d);
}
ret_status_t IMU::getFirmwareVersion(unsigned char* major, unsigned char* minor, unsigned short* patch) {
    return Common::getFirmwareVersion(link(), major, minor, patch);
}
ret_status_t IMU::getFirmwareCommit(std::string* commit) { return readRemote<5>(link(), commit); }
ret_status_t IMU::getNodeId(unsigned int* reported) { return Common::getNodeId(link(), reported); }

// --- raw sensor data

ret_status_t IMU::getRawAccelerometerData(short* x, short* y, short* z) { return readRemote<33>(link(), x, y, z); }
ret_status_t IMU::getRawGyroData(short* x, short* y, short* z) { return readRemote<34>(link(), x, y, z); }
ret_status_t IMU::getRawMagnetometerData(short* x, short* y, short* z) { return readRemote<35>(link(), x, y, z); }
ret_status_t IMU::getCalibrationStatus(bool* calibrated) { return readRemote<44>(link(), calibrated); }

// --- scaled sensor data

// The two rotation-vector reads go out as data frames without payload.
ret_status_t IMU::getRotationVectorData(float* a, float* b, float* c, float* d) {
    std::array<short, 4> raw{};
    const ret_status_t status =
        read<32>(link(), composeRequest(nodeId, {32, Data, 8}), &raw[0], &raw[1], &raw[2], &raw[3]);
    writeScaled(status, kScale0_001, raw, {a, b, c, d});
    return status;
}
ret_status_t IMU::getRotationVectorAccuracy(float* accuracy, unsigned char* byte) {
    std::array<short, 1> raw{};
    unsigned char b = 0;
    const ret_status_t status = read<45>(link(), composeRequest(nodeId, {45, Data, 8}), &raw[0], &b);
    writeScaled(status, kScale0_001, raw, {accuracy});
    if (exchanged(status)) assignIfSet(byte, b);
    return status;
}
ret_status_t IMU::getLinearAccelerometerData(float* x, float* y, float* z, unsigned char* byte) {
    return readScaledAxesAndByte<36>(link(), kScale0_01, x, y, z, byte);
}
ret_status_t IMU::getAccelerometerData(float* x, float* y, float* z, unsigned char* byte) {
    return readScaledAxesAndByte<37>(link(), kScale0_01, x, y, z, byte);
}
ret_status_t IMU::getGyroData(float* x, float* y, float* z, unsigned char* byte) {
    return readScaledAxesAndByte<38>(link(), kScale0_01, x, y, z, byte);
}
ret_status_t IMU::getMagnetometerData(float* x, float* y, float* z, unsigned char* byte) {
    return readScaledAxesAndByte<41>(link(), kScale0_01, x, y, z, byte);
}
ret_status_t IMU::getUncalibratedGyroData(float* x, float* y, float* z) {
    return readScaledAxes<39>(link(), kScale0_001, x, y, z);
}
ret_status_t IMU::getUncalibratedGyroBiasData(float* x, float* y, float* z) {
    return readScaledAxes<40>(link(), kScale0_001, x, y, z);
}
ret_status_t IMU::getEulerAngles(float* a, float* b, float* c) {
    return readScaledAxes<42>(link(), kScale0_01, a, b, c);
}
ret_status_t IMU::getGravityData(float* x, float* y, float* z) {
    return readScaledAxesAndByte<43>(link(), kScale0_001, x, y, z, nullptr);
}

// --- commands

ret_status_t IMU::setNodeId(unsigned int newNodeId) { return sendCommand(link(), {9, Data, 4}, u32(0, newNodeId)); }

// Signed fields: the rotation-vector read gives these components back signed,
// and a negative one must not saturate to 0.
ret_status_t IMU::setOrientation(float a, float b, float c, float d) {
    return sendCommand(link(), {64, Data, 8}, scaled<short>(0, a, kScale0_001), scaled<short>(16, b, kScale0_001),
                       scaled<short>(32, c, kScale0_001), scaled<short>(48, d, kScale0_001));
}
ret_status_t IMU::startCalibration(bool first, bool second, bool third, bool fourth) {
    return sendCommand(link(), {79, Data, 1}, flag(0, first), flag(1, second), flag(2, third), flag(3, fourth));
}
ret_status_t IMU::stopCalibration() { return sendCommand(link(), {80, Data, 0}); }
ret_status_t IMU::saveCalibration() { return sendCommand(link(), {81, Data, 0}); }
ret_status_t IMU::clearDCD() { return sendCommand(link(), {82, Data, 0}); }
ret_status_t IMU::tareYaw() { return sendCommand(link(), {95, Data, 0}); }
ret_status_t IMU::tareAll() { return sendCommand(link(), {96, Data, 0}); }
ret_status_t IMU::clearTare() { return sendCommand(link(), {97, Data, 0}); }
ret_status_t IMU::rebootKelo() { return sendCommand(link(), {113, Remote, 0}); }
ret_status_t IMU::saveConfigurations() { return Common::saveConfigurations(link()); }
ret_status_t IMU::eraseConfigurations() { return Common::eraseConfigurations(link()); }
ret_status_t IMU::enterDFUMode() { return Common::enterDFUMode(link()); }
