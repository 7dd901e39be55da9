#ifndef QUORVEL_TRANSPORT_MOTOR_COMMANDS_HPP
#define QUORVEL_TRANSPORT_MOTOR_COMMANDS_HPP

// The commands that every device class shares (identity, store and erase),
// and those that the motor driver and the actuator share: same command
// id, frame kind, data length, payload and reply layout, each stated here
// once. A class's operation is one line, `return Motor::getBusVoltage(link(),
// value);`, so both classes send exactly the same frames; its decoder table
// merges kMotorReplyRows with the rows of its own reads.

#include <cstdint>
#include <string>

#include "device/device_request.hpp"

namespace quorvel_detail {

// Reply layouts of the shared reads. M is the class's reply machinery.
template <typename M>
inline constexpr DecoderRow<typename M::Decoder> kMotorReplyRows[] = {
    {{3}, &M::template decoder<uint8_t, uint8_t, uint8_t, uint8_t>},
    {{4}, &M::template decoder<uint8_t, uint8_t, uint16_t>},
    {{5}, &M::template decoder<uint8_t, uint8_t, uint8_t, uint8_t, uint8_t, uint8_t, uint8_t, uint8_t>},
    {{10, 95, 96}, &M::template decoder<uint32_t>},
    {{12, 30, 33, 68, 69, 70, 71, 73, 85}, &M::template decoder<float, float>},
    {{16, 28, 32, 35, 37, 42, 44, 60, 61, 62, 63, 64, 65, 66, 67}, &M::template decoder<float>},
    {{80}, &M::template decoder<uint8_t>},
    {{81, 83, 88}, &M::template decoder<bool, bool>},
    {{84}, &M::template decoder<bool>},
    {{86, 87}, &M::template decoder<int32_t>},
    {{89}, &M::template decoder<uint16_t>},
    {{110}, &M::template decoder<uint64_t>},
};

// The device's command that starts its bootloader (the firmware update sends
// it too).
constexpr Request kEnterBootloader{127, FrameKind::Data, 0};

// The commands every device class has: same id, frame and reply layout.
template <typename Impl>
struct CommonCommands {
    using Device = DeviceLink<Impl>;
    static constexpr FrameKind Data = FrameKind::Data;

    static ret_status_t getHardwareVersion(const Device& device, uint8_t* a, uint8_t* b, uint8_t* c, uint8_t* d) {
        return readRemote<3>(device, a, b, c, d);
    }
    static ret_status_t getFirmwareVersion(const Device& device, uint8_t* major, uint8_t* minor, uint16_t* patch) {
        return readRemote<4>(device, major, minor, patch);
    }
    static ret_status_t getNodeId(const Device& device, unsigned int* nodeId) { return readRemote<10>(device, nodeId); }
    static ret_status_t saveConfigurations(const Device& device) { return sendCommand(device, {114, Data, 0}); }
    static ret_status_t eraseConfigurations(const Device& device) { return sendCommand(device, {115, Data, 0}); }
    static ret_status_t enterDFUMode(const Device& device) { return sendCommand(device, kEnterBootloader); }

    // The bit rate goes out in bits per second (rates outside the table are
    // refused) and comes back as the CANBaudRate of the reported bits per
    // second, written after a reply or a time-out (-1 for none). The command
    // ids differ between classes.
    template <uint8_t CommandId>
    static ret_status_t setBitRate(const Device& device, CANBaudRate rate) {
        const bool known = rate >= CAN_BAUDRATE_10K && rate <= CAN_BAUDRATE_1M;
        const ret_status_t status = requestStatus(device, known);
        if (status != RET_SUCCESS) return status;
        transmit(device, composeRequest(device.nodeId, {CommandId, Data, 4},
                                        u32(0, static_cast<unsigned int>(CAN_BAUDRATE_VALUE[rate]))));
        return RET_SUCCESS;
    }
    template <uint8_t CommandId>
    static ret_status_t getBitRate(const Device& device, CANBaudRate* rate) {
        unsigned int bitsPerSecond = 0;
        const ret_status_t status = readRemote<CommandId>(device, &bitsPerSecond);
        if (exchanged(status)) assignIfSet(rate, baudrate_from_value(static_cast<int>(bitsPerSecond)));
        return status;
    }
};

template <typename Impl>
struct MotorCommands : CommonCommands<Impl> {
    using Device = DeviceLink<Impl>;
    static constexpr FrameKind Data = FrameKind::Data;

    // --- identity

    // Zero bytes stay in the text; after a time-out it is eight zero characters.
    static ret_status_t getFirmwareCommit(const Device& device, std::string* commit) {
        unsigned char c[8] = {};
        const ret_status_t status = readRemote<5>(device, &c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &c[6], &c[7]);
        if (exchanged(status)) assignIfSet(commit, std::string(reinterpret_cast<const char*>(c), sizeof c));
        return status;
    }
    static ret_status_t setNodeId(const Device& device, unsigned int nodeId) {
        return sendCommand(device, {9, Data, 5}, u32(0, nodeId));
    }

    // --- device state (commands without payload)

    static ret_status_t setDeviceToIdle(const Device& device) { return sendCommand(device, {7, Data, 0}); }
    static ret_status_t setDeviceToActive(const Device& device) { return sendCommand(device, {8, Data, 0}); }
    static ret_status_t runCalibrationSequence(const Device& device) { return sendCommand(device, {56, Data, 0}); }
    static ret_status_t clearErrors(const Device& device) { return sendCommand(device, {111, Data, 0}); }
    static ret_status_t reboot(const Device& device) { return sendCommand(device, {113, Data, 0}); }
    // The one remote request that waits for nothing.
    static ret_status_t emergencyStop(const Device& device) {
        return sendCommand(device, {126, FrameKind::Remote, 8});
    }

    // --- limits, controller settings and filters

    static ret_status_t setDCBusTripLevels(const Device& device, float under, float over) {
        return sendCommand(device, {11, Data, 8}, f32(0, under), f32(32, over));
    }
    static ret_status_t getDCBusTripLevels(const Device& device, float* under, float* over) {
        return readRemote<12>(device, under, over);
    }
    static ret_status_t setRegenCurrentTripLevel(const Device& device, float level) {
        return sendCommand(device, {15, Data, 4}, f32(0, level));
    }
    static ret_status_t getRegenCurrentTripLevel(const Device& device, float* level) {
        return readRemote<16>(device, level);
    }
    static ret_status_t setPositionControllerGain(const Device& device, float gain) {
        return sendCommand(device, {27, Data, 4}, f32(0, gain));
    }
    static ret_status_t getPositionControllerGain(const Device& device, float* gain) {
        return readRemote<28>(device, gain);
    }
    static ret_status_t setVelocityControllerGains(const Device& device, float gain, float integratorGain) {
        return sendCommand(device, {29, Data, 8}, f32(0, gain), f32(32, integratorGain));
    }
    static ret_status_t getVelocityControllerGains(const Device& device, float* gain, float* integratorGain) {
        return readRemote<30>(device, gain, integratorGain);
    }
    static ret_status_t setCurrentControllerBandwidth(const Device& device, float bandwidth) {
        return sendCommand(device, {31, Data, 8}, f32(0, bandwidth));
    }
    static ret_status_t getCurrentControllerBandwidth(const Device& device, float* bandwidth) {
        return readRemote<32>(device, bandwidth);
    }
    static ret_status_t getCurrentControllerGains(const Device& device, float* gain, float* integratorGain) {
        return readRemote<33>(device, gain, integratorGain);
    }
    static ret_status_t setMotorEncoderBandwidth(const Device& device, float bandwidth) {
        return sendCommand(device, {34, Data, 8}, f32(0, bandwidth));
    }
    static ret_status_t getMotorEncoderBandwidth(const Device& device, float* bandwidth) {
        return readRemote<35>(device, bandwidth);
    }
    static ret_status_t setCurrentPositionToZero(const Device& device) {
        return sendCommand(device, {36, Data, 8}, f32(0, 0.0f));
    }
    static ret_status_t getZeroPosition(const Device& device, float* position) {
        return readRemote<37>(device, position);
    }
    static ret_status_t enableMotorThermalLimit(const Device& device, unsigned short limit) {
        return sendCommand(device, {39, Data, 5}, u16(0, limit), flag(16, true));
    }
    static ret_status_t disableMotorThermalLimit(const Device& device) {
        return sendCommand(device, {39, Data, 5}, u16(0, 0), flag(16, false));
    }
    static ret_status_t setCurrentFilter(const Device& device, float filter) {
        return sendCommand(device, {41, Data, 4}, f32(0, filter));
    }
    static ret_status_t getCurrentFilter(const Device& device, float* filter) { return readRemote<42>(device, filter); }
    static ret_status_t setEncoderDataFilter(const Device& device, float filter) {
        return sendCommand(device, {43, Data, 4}, f32(0, filter));
    }
    static ret_status_t getEncoderDataFilter(const Device& device, float* filter) {
        return readRemote<44>(device, filter);
    }
    static ret_status_t getMotorPhaseParameters(const Device& device, float* resistance, float* inductance) {
        return readRemote<85>(device, resistance, inductance);
    }

    // --- telemetry

    static ret_status_t getOutputPosition(const Device& device, float* value) { return readRemote<60>(device, value); }
    static ret_status_t getOutputVelocity(const Device& device, float* value) { return readRemote<61>(device, value); }
    static ret_status_t getOutputAcceleration(const Device& device, float* value) {
        return readRemote<62>(device, value);
    }
    static ret_status_t getOutputTorque(const Device& device, float* value) { return readRemote<63>(device, value); }
    static ret_status_t getMotorPosition(const Device& device, float* value) { return readRemote<64>(device, value); }
    static ret_status_t getMotorVelocity(const Device& device, float* value) { return readRemote<65>(device, value); }
    static ret_status_t getMotorAcceleration(const Device& device, float* value) {
        return readRemote<66>(device, value);
    }
    static ret_status_t getMotorTorque(const Device& device, float* value) { return readRemote<67>(device, value); }
    static ret_status_t getMotorTemperature(const Device& device, float* value) {
        float driverTemperature;
        return readRemote<68>(device, value, &driverTemperature);
    }
    static ret_status_t getDriverTemperature(const Device& device, float* value) {
        float motorTemperature;
        return readRemote<68>(device, &motorTemperature, value);
    }
    static ret_status_t getMotorPhaseCurrents(const Device& device, float* a, float* b, float* c) {
        return phaseCurrents<69>(device, a, b, c);
    }
    static ret_status_t getBusVoltage(const Device& device, float* value) {
        float current;
        return readRemote<70>(device, value, &current);
    }
    static ret_status_t getBusCurrent(const Device& device, float* value) {
        float voltage;
        return readRemote<70>(device, &voltage, value);
    }
    static ret_status_t getIdqCurrents(const Device& device, float* id, float* iq) {
        return readRemote<71>(device, id, iq);
    }
    static ret_status_t getDCCalibPhaseCurrents(const Device& device, float* a, float* b, float* c) {
        return phaseCurrents<73>(device, a, b, c);
    }

    // --- states, faults and errors

    static ret_status_t getControllerState(const Device& device, uint8_t* state) {
        return readRemote<80>(device, state);
    }
    static ret_status_t getMotorState(const Device& device, bool* a, bool* b) { return readRemote<81>(device, a, b); }
    static ret_status_t getTrajectoryDoneStatus(const Device& device, bool* done) {
        return readRemote<84>(device, done);
    }
    static ret_status_t getMotorEncoderRawData(const Device& device, int* raw) { return readRemote<86>(device, raw); }
    static ret_status_t getOutputEncoderRawData(const Device& device, int* raw) { return readRemote<87>(device, raw); }
    static ret_status_t getCANCommunicationStatus(const Device& device, bool* a, bool* b) {
        return readRemote<88>(device, a, b);
    }
    static ret_status_t getControllerMode(const Device& device, uint16_t* mode) {
        return readRemote<89>(device, mode);
    }
    static ret_status_t getDriverFault(const Device& device, unsigned int* fault) {
        return readRemote<95>(device, fault);
    }
    // The raw error code; the driver maps it, the actuator does not.
    static ret_status_t getErrorCode(const Device& device, unsigned int* code) { return readRemote<96>(device, code); }

    // Selectors 1 to 6, one exchange each; the first status other than
    // success ends it.
    static ret_status_t getDebugErrorCode(const Device& device, unsigned long* const (&codes)[6]) {
        const ret_status_t status = requestStatus(device);
        if (status != RET_SUCCESS) return status;
        for (unsigned char selector = 1; selector <= 6; ++selector) {
            const can_frame_data request = composeRequest(device.nodeId, {110, Data, 8}, u8(0, selector));
            const ret_status_t reply = exchange<110>(device, request, codes[selector - 1]);
            if (reply != RET_SUCCESS) return reply;
        }
        return RET_SUCCESS;
    }

    // --- control-mode set-points

    static ret_status_t setPositionControl(const Device& device, float position, float velocity) {
        return sendCommand(device, {97, Data, 8}, f32(0, position), truncated<short>(32, velocity),
                           scaled<unsigned char>(48, 0.0f, kScale0_1), scaled<unsigned char>(56, 0.0f, kScale0_1));
    }
    static ret_status_t setVelocityRampControl(const Device& device, float velocity, float ramp) {
        return sendCommand(device, {98, Data, 8}, f32(0, velocity), f32(32, ramp));
    }
    static ret_status_t setVelocityControl(const Device& device, float velocity) {
        return setVelocityRampControl(device, velocity, 0.0f);
    }
    static ret_status_t setTorqueControl(const Device& device, float torque, float second) {
        return sendCommand(device, {99, Data, 8}, f32(0, torque), f32(32, second));
    }
    static ret_status_t setPositionControlWithFeedForward(const Device& device, float position, float velocity,
                                                          float torque) {
        return sendCommand(device, {100, Data, 8}, f32(0, position), truncated<short>(32, velocity),
                           scaled<short>(48, torque, kScale0_01));
    }
    static ret_status_t setVelocityControlWithFeedForward(const Device& device, float velocity, float torque) {
        return sendCommand(device, {101, Data, 8}, f32(0, velocity), f32(32, torque));
    }
    static ret_status_t setTrapezoidalTrajectoryControl(const Device& device, float position, float velocity,
                                                        float acceleration, float deceleration) {
        return trajectory(device, 102, position, velocity, acceleration, deceleration);
    }
    static ret_status_t setScurveTrajectoryControl(const Device& device, float position, float velocity,
                                                   float acceleration, float deceleration) {
        return trajectory(device, 103, position, velocity, acceleration, deceleration);
    }

private:
    // Commands 69 and 73: two phase currents in the reply, the third is their
    // negated sum, computed after the exchange whatever its status.
    template <uint8_t CommandId>
    static ret_status_t phaseCurrents(const Device& device, float* a, float* b, float* c) {
        float second = b != nullptr ? *b : 0.0f;
        float third = c != nullptr ? *c : 0.0f;
        const ret_status_t status = readRemote<CommandId>(device, &second, &third);
        if (status == RET_SUCCESS) {
            assignIfSet(b, second);
            assignIfSet(c, third);
        }
        if (exchanged(status)) assignIfSet(a, -(second + third));
        return status;
    }

    // Commands 102 (trapezoidal) and 103 (S-curve) share this layout.
    static ret_status_t trajectory(const Device& device, uint8_t commandId, float position, float velocity,
                                   float acceleration, float deceleration) {
        return sendCommand(device, {commandId, Data, 8}, f32(0, position), truncated<unsigned short>(32, velocity),
                           scaled<unsigned char>(48, acceleration, kScale0_1),
                           scaled<unsigned char>(56, deceleration, kScale0_1));
    }
};

}  // namespace quorvel_detail

#endif
