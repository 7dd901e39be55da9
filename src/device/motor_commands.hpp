#ifndef QUORVEL_TRANSPORT_MOTOR_COMMANDS_HPP
#define QUORVEL_TRANSPORT_MOTOR_COMMANDS_HPP

// The commands that the motor driver and the actuator share: same command
// id, frame kind, data length, payload and reply layout. Each takes the
// device's link, so both classes send exactly the same frames.

#include <string>

#include "device/device_request.hpp"

namespace quorvel_detail {
namespace motor {

constexpr FrameKind Data = FrameKind::Data;

// --- identity

template <typename Impl>
ret_status_t getHardwareVersion(const DeviceLink<Impl>& l, unsigned char* a, unsigned char* b, unsigned char* c,
                                unsigned char* d) {
    return readRemote<3>(l, a, b, c, d);
}

template <typename Impl>
ret_status_t getFirmwareVersion(const DeviceLink<Impl>& l, unsigned char* major, unsigned char* minor,
                                unsigned short* patch) {
    return readRemote<4>(l, major, minor, patch);
}

// Zero bytes stay in the text; after a time-out it is eight zero characters.
template <typename Impl>
ret_status_t getFirmwareCommit(const DeviceLink<Impl>& l, std::string* commit) {
    unsigned char c[8] = {};
    const ret_status_t status = readRemote<5>(l, &c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &c[6], &c[7]);
    if (exchanged(status)) assignIfSet(commit, std::string(reinterpret_cast<const char*>(c), sizeof c));
    return status;
}

template <typename Impl>
ret_status_t setNodeId(const DeviceLink<Impl>& l, unsigned int nodeId) {
    return sendCommand(l, {9, Data, 5}, u32(0, nodeId));
}

template <typename Impl>
ret_status_t getNodeId(const DeviceLink<Impl>& l, unsigned int* nodeId) {
    return readRemote<10>(l, nodeId);
}

// --- device state (commands without payload)

template <typename Impl>
ret_status_t setDeviceToIdle(const DeviceLink<Impl>& l) {
    return sendCommand(l, {7, Data, 0});
}
template <typename Impl>
ret_status_t setDeviceToActive(const DeviceLink<Impl>& l) {
    return sendCommand(l, {8, Data, 0});
}
template <typename Impl>
ret_status_t runCalibrationSequence(const DeviceLink<Impl>& l) {
    return sendCommand(l, {56, Data, 0});
}
template <typename Impl>
ret_status_t clearErrors(const DeviceLink<Impl>& l) {
    return sendCommand(l, {111, Data, 0});
}
template <typename Impl>
ret_status_t reboot(const DeviceLink<Impl>& l) {
    return sendCommand(l, {113, Data, 0});
}
template <typename Impl>
ret_status_t saveConfigurations(const DeviceLink<Impl>& l) {
    return sendCommand(l, {114, Data, 0});
}
template <typename Impl>
ret_status_t eraseConfigurations(const DeviceLink<Impl>& l) {
    return sendCommand(l, {115, Data, 0});
}
// The one remote request that waits for nothing.
template <typename Impl>
ret_status_t emergencyStop(const DeviceLink<Impl>& l) {
    return sendCommand(l, {126, FrameKind::Remote, 8});
}

// --- limits, controller settings and filters

template <typename Impl>
ret_status_t setDCBusTripLevels(const DeviceLink<Impl>& l, float under, float over) {
    return sendCommand(l, {11, Data, 8}, f32(0, under), f32(32, over));
}
template <typename Impl>
ret_status_t getDCBusTripLevels(const DeviceLink<Impl>& l, float* under, float* over) {
    return readRemote<12>(l, under, over);
}
template <typename Impl>
ret_status_t setRegenCurrentTripLevel(const DeviceLink<Impl>& l, float level) {
    return sendCommand(l, {15, Data, 4}, f32(0, level));
}
template <typename Impl>
ret_status_t getRegenCurrentTripLevel(const DeviceLink<Impl>& l, float* level) {
    return readRemote<16>(l, level);
}
template <typename Impl>
ret_status_t setPositionControllerGain(const DeviceLink<Impl>& l, float gain) {
    return sendCommand(l, {27, Data, 4}, f32(0, gain));
}
template <typename Impl>
ret_status_t getPositionControllerGain(const DeviceLink<Impl>& l, float* gain) {
    return readRemote<28>(l, gain);
}
template <typename Impl>
ret_status_t setVelocityControllerGains(const DeviceLink<Impl>& l, float gain, float integratorGain) {
    return sendCommand(l, {29, Data, 8}, f32(0, gain), f32(32, integratorGain));
}
template <typename Impl>
ret_status_t getVelocityControllerGains(const DeviceLink<Impl>& l, float* gain, float* integratorGain) {
    return readRemote<30>(l, gain, integratorGain);
}
template <typename Impl>
ret_status_t setCurrentControllerBandwidth(const DeviceLink<Impl>& l, float bandwidth) {
    return sendCommand(l, {31, Data, 8}, f32(0, bandwidth));
}
template <typename Impl>
ret_status_t getCurrentControllerBandwidth(const DeviceLink<Impl>& l, float* bandwidth) {
    return readRemote<32>(l, bandwidth);
}
template <typename Impl>
ret_status_t getCurrentControllerGains(const DeviceLink<Impl>& l, float* gain, float* integratorGain) {
    return readRemote<33>(l, gain, integratorGain);
}
template <typename Impl>
ret_status_t setMotorEncoderBandwidth(const DeviceLink<Impl>& l, float bandwidth) {
    return sendCommand(l, {34, Data, 8}, f32(0, bandwidth));
}
template <typename Impl>
ret_status_t getMotorEncoderBandwidth(const DeviceLink<Impl>& l, float* bandwidth) {
    return readRemote<35>(l, bandwidth);
}
template <typename Impl>
ret_status_t setCurrentPositionToZero(const DeviceLink<Impl>& l) {
    return sendCommand(l, {36, Data, 8}, f32(0, 0.0f));
}
template <typename Impl>
ret_status_t getZeroPosition(const DeviceLink<Impl>& l, float* position) {
    return readRemote<37>(l, position);
}
template <typename Impl>
ret_status_t enableMotorThermalLimit(const DeviceLink<Impl>& l, unsigned short limit) {
    return sendCommand(l, {39, Data, 5}, u16(0, limit), flag(16, true));
}
template <typename Impl>
ret_status_t disableMotorThermalLimit(const DeviceLink<Impl>& l) {
    return sendCommand(l, {39, Data, 5}, u16(0, 0), flag(16, false));
}
template <typename Impl>
ret_status_t setCurrentFilter(const DeviceLink<Impl>& l, float filter) {
    return sendCommand(l, {41, Data, 4}, f32(0, filter));
}
template <typename Impl>
ret_status_t getCurrentFilter(const DeviceLink<Impl>& l, float* filter) {
    return readRemote<42>(l, filter);
}
template <typename Impl>
ret_status_t setEncoderDataFilter(const DeviceLink<Impl>& l, float filter) {
    return sendCommand(l, {43, Data, 4}, f32(0, filter));
}
template <typename Impl>
ret_status_t getEncoderDataFilter(const DeviceLink<Impl>& l, float* filter) {
    return readRemote<44>(l, filter);
}
template <typename Impl>
ret_status_t getMotorPhaseParameters(const DeviceLink<Impl>& l, float* resistance, float* inductance) {
    return readRemote<85>(l, resistance, inductance);
}

// --- telemetry

// Reads whose reply is one f32 (commands 60 to 67).
template <uint8_t CommandId, typename Impl>
ret_status_t readFloat(const DeviceLink<Impl>& l, float* value) {
    return readRemote<CommandId>(l, value);
}

template <typename Impl>
ret_status_t getMotorTemperature(const DeviceLink<Impl>& l, float* value) {
    float driverTemperature;
    return readRemote<68>(l, value, &driverTemperature);
}
template <typename Impl>
ret_status_t getDriverTemperature(const DeviceLink<Impl>& l, float* value) {
    float motorTemperature;
    return readRemote<68>(l, &motorTemperature, value);
}

// Commands 69 and 73: two phase currents in the reply, the third is their
// negated sum, computed after the exchange whatever its status.
template <uint8_t CommandId, typename Impl>
ret_status_t readPhaseCurrents(const DeviceLink<Impl>& l, float* a, float* b, float* c) {
    float second = b != nullptr ? *b : 0.0f;
    float third = c != nullptr ? *c : 0.0f;
    const ret_status_t status = readRemote<CommandId>(l, &second, &third);
    if (status == RET_SUCCESS) {
        assignIfSet(b, second);
        assignIfSet(c, third);
    }
    if (exchanged(status)) assignIfSet(a, -(second + third));
    return status;
}

template <typename Impl>
ret_status_t getBusVoltage(const DeviceLink<Impl>& l, float* value) {
    float current;
    return readRemote<70>(l, value, &current);
}
template <typename Impl>
ret_status_t getBusCurrent(const DeviceLink<Impl>& l, float* value) {
    float voltage;
    return readRemote<70>(l, &voltage, value);
}
template <typename Impl>
ret_status_t getIdqCurrents(const DeviceLink<Impl>& l, float* id, float* iq) {
    return readRemote<71>(l, id, iq);
}

// --- states, faults and errors

template <typename Impl>
ret_status_t getControllerState(const DeviceLink<Impl>& l, unsigned char* state) {
    return readRemote<80>(l, state);
}
template <typename Impl>
ret_status_t getMotorState(const DeviceLink<Impl>& l, bool* a, bool* b) {
    return readRemote<81>(l, a, b);
}
template <typename Impl>
ret_status_t getTrajectoryDoneStatus(const DeviceLink<Impl>& l, bool* done) {
    return readRemote<84>(l, done);
}
template <typename Impl>
ret_status_t getMotorEncoderRawData(const DeviceLink<Impl>& l, int* raw) {
    return readRemote<86>(l, raw);
}
template <typename Impl>
ret_status_t getOutputEncoderRawData(const DeviceLink<Impl>& l, int* raw) {
    return readRemote<87>(l, raw);
}
template <typename Impl>
ret_status_t getCANCommunicationStatus(const DeviceLink<Impl>& l, bool* a, bool* b) {
    return readRemote<88>(l, a, b);
}
template <typename Impl>
ret_status_t getControllerMode(const DeviceLink<Impl>& l, unsigned short* mode) {
    return readRemote<89>(l, mode);
}
template <typename Impl>
ret_status_t getDriverFault(const DeviceLink<Impl>& l, unsigned int* fault) {
    return readRemote<95>(l, fault);
}

// Selectors 1 to 6, one exchange each, one data frame reused; the first
// status other than success ends it.
template <typename Impl>
ret_status_t getDebugErrorCode(const DeviceLink<Impl>& l, unsigned long* const (&codes)[6]) {
    const ret_status_t status = requestStatus(l);
    if (status != RET_SUCCESS) return status;
    for (unsigned char selector = 1; selector <= 6; ++selector) {
        const can_frame_data request = composeRequest(l.nodeId, {110, Data, 8}, u8(0, selector));
        const ret_status_t reply = exchange<110>(l, request, codes[selector - 1]);
        if (reply != RET_SUCCESS) return reply;
    }
    return RET_SUCCESS;
}

// --- control-mode set-points

template <typename Impl>
ret_status_t setPositionControl(const DeviceLink<Impl>& l, float position, float velocity) {
    return sendCommand(l, {97, Data, 8}, f32(0, position), truncated<short>(32, velocity),
                       scaled<unsigned char>(48, 0.0f, kScale0_1), scaled<unsigned char>(56, 0.0f, kScale0_1));
}
template <typename Impl>
ret_status_t setVelocityRampControl(const DeviceLink<Impl>& l, float velocity, float ramp) {
    return sendCommand(l, {98, Data, 8}, f32(0, velocity), f32(32, ramp));
}
template <typename Impl>
ret_status_t setVelocityControl(const DeviceLink<Impl>& l, float velocity) {
    return setVelocityRampControl(l, velocity, 0.0f);
}
template <typename Impl>
ret_status_t setTorqueControl(const DeviceLink<Impl>& l, float torque, float second) {
    return sendCommand(l, {99, Data, 8}, f32(0, torque), f32(32, second));
}
template <typename Impl>
ret_status_t setPositionControlWithFeedForward(const DeviceLink<Impl>& l, float position, float velocity,
                                               float torque) {
    return sendCommand(l, {100, Data, 8}, f32(0, position), truncated<short>(32, velocity),
                       scaled<short>(48, torque, kScale0_01));
}
template <typename Impl>
ret_status_t setVelocityControlWithFeedForward(const DeviceLink<Impl>& l, float velocity, float torque) {
    return sendCommand(l, {101, Data, 8}, f32(0, velocity), f32(32, torque));
}
// Commands 102 (trapezoidal) and 103 (S-curve) share this layout.
template <typename Impl>
ret_status_t trajectoryControl(const DeviceLink<Impl>& l, uint8_t commandId, float position, float velocity,
                               float acceleration, float deceleration) {
    return sendCommand(l, {commandId, Data, 8}, f32(0, position), truncated<unsigned short>(32, velocity),
                       scaled<unsigned char>(48, acceleration, kScale0_1),
                       scaled<unsigned char>(56, deceleration, kScale0_1));
}

}  // namespace motor
}  // namespace quorvel_detail

#endif
