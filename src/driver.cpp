#include "quorvel_transport/driver.hpp"

#include "device/device_impl.hpp"
#include "device/device_request.hpp"
#include "device/motor_commands.hpp"
#include "driver_impl.hpp"
#include "firmware/firmware_update.hpp"

using namespace quorvel_detail;

namespace {

using Motor = MotorCommands<Driver::DriverImpl>;
constexpr FrameKind Data = FrameKind::Data;

}  // namespace

Driver::Driver(unsigned int nodeId, Interface* interface) : impl(nullptr), interface(interface) {
    this->nodeId = nodeId;
    impl = new DriverImpl;
    if (interface != nullptr) interface->registerCANMsgCallback(this);
}

Driver::Driver(Interface* interface) : impl(nullptr), interface(interface) {
    nodeId = nodeIdFromHeartbeat(interface, "[FATAL ERROR] Driver object is not created");
    impl = new DriverImpl;
    interface->registerCANMsgCallback(this);
}

Driver::~Driver() {
    if (impl == nullptr) return;
    // After this the receive thread no longer calls canMsgCallback.
    if (interface != nullptr) interface->unregisterCANMsgCallback(this);
    delete impl;
    impl = nullptr;
}

DeviceLink<Driver::DriverImpl> Driver::link() { return {impl, interface, nodeId}; }

bool Driver::isConnected() { return impl != nullptr && interface != nullptr && interface->isDeviceConnected(nodeId); }

void Driver::setOutputLogStream(std::ostream* stream) {
    if (impl != nullptr) impl->setLogStream(stream);
}

void Driver::canMsgCallback(can_frame_data* frame) {
    if (impl != nullptr && frame != nullptr) impl->onFrame(frame);
}

// --- identity

ret_status_t Driver::getHardwareVersion(unsigned char* a, unsigned char* b, unsigned char* c, unsigned char* d) {
    return Motor::getHardwareVersion(link(), a, b, c, d);
}
ret_status_t Driver::getFirmwareVersion(unsigned char* major, unsigned char* minor, unsigned short* patch) {
    return Motor::getFirmwareVersion(link(), major, minor, patch);
}
ret_status_t Driver::getFirmwareCommit(std::string* commit) { return Motor::getFirmwareCommit(link(), commit); }
ret_status_t Driver::setNodeId(unsigned int newNodeId) { return Motor::setNodeId(link(), newNodeId); }
ret_status_t Driver::getNodeId(unsigned int* reported) { return Motor::getNodeId(link(), reported); }

// --- limits and electrical settings

ret_status_t Driver::setDCBusTripLevels(float under, float over) {
    return Motor::setDCBusTripLevels(link(), under, over);
}
ret_status_t Driver::getDCBusTripLevels(float* under, float* over) {
    return Motor::getDCBusTripLevels(link(), under, over);
}
ret_status_t Driver::enableBrakeResistor(float resistance) {
    return sendCommand(link(), {13, Data, 8}, f32(0, resistance), flag(32, true));
}
ret_status_t Driver::disableBrakeResistor() {
    return sendCommand(link(), {13, Data, 5}, f32(0, 0.0f), flag(32, false));
}
ret_status_t Driver::getBrakeResistorState(bool* enabled, float* resistance, bool* flag2, bool* flag3) {
    return readRemote<14>(link(), resistance, enabled, flag2, flag3);
}
ret_status_t Driver::setRegenCurrentTripLevel(float level) { return Motor::setRegenCurrentTripLevel(link(), level); }
ret_status_t Driver::getRegenCurrentTripLevel(float* level) { return Motor::getRegenCurrentTripLevel(link(), level); }
ret_status_t Driver::setMotorTorqueLimit(float limit) { return sendCommand(link(), {50, Data, 4}, f32(0, limit)); }
ret_status_t Driver::getMotorTorqueLimit(float* limit) { return readRemote<51>(link(), limit); }

// --- motor, encoders and gearbox

ret_status_t Driver::setMotorParameters(unsigned char polePairs, unsigned short kvRating, float currentLimit) {
    return sendCommand(link(), {17, Data, 8}, u8(0, polePairs), u16(8, kvRating), f32(24, currentLimit));
}
ret_status_t Driver::getMotorParameters(unsigned char* polePairs, unsigned short* kvRating, float* currentLimit) {
    return readRemote<18>(link(), polePairs, kvRating, currentLimit);
}
ret_status_t Driver::setMotorCalibrationParameters(float voltage, float current) {
    return sendCommand(link(), {19, Data, 8}, f32(0, voltage), f32(32, current));
}
ret_status_t Driver::getMotorCalibrationParameters(float* voltage, float* current) {
    return readRemote<20>(link(), voltage, current);
}
ret_status_t Driver::setMotorPhaseParameters(float resistance, float inductance) {
    return sendCommand(link(), {49, Data, 8}, f32(0, resistance), f32(32, inductance));
}
ret_status_t Driver::getMotorPhaseParameters(float* resistance, float* inductance) {
    return Motor::getMotorPhaseParameters(link(), resistance, inductance);
}
ret_status_t Driver::setMotorType(unsigned char type) { return sendCommand(link(), {52, Data, 1}, u8(0, type)); }
ret_status_t Driver::getMotorType(unsigned char* type) { return readRemote<53>(link(), type); }
ret_status_t Driver::configureMotorEncoder(unsigned char type, int resolution, bool useIndex) {
    return sendCommand(link(), {21, Data, 8}, u8(0, type), i32(8, resolution), flag(40, useIndex));
}
ret_status_t Driver::getMotorEncoderConfiguration(unsigned char* type, int* resolution, bool* useIndex) {
    return readRemote<22>(link(), type, resolution, useIndex);
}
ret_status_t Driver::configureOutputEncoder(unsigned char type, int resolution, bool useIndex) {
    return sendCommand(link(), {25, Data, 8}, u8(0, type), i32(8, resolution), flag(40, useIndex), flag(41, true));
}
ret_status_t Driver::disableOutputEncoder() {
    return sendCommand(link(), {25, Data, 8}, u8(0, 0), i32(8, 0), flag(40, false), flag(41, false));
}
ret_status_t Driver::getOutputEncoderConfiguration(unsigned char* type, int* resolution, bool* useIndex) {
    return readRemote<26>(link(), type, resolution, useIndex);
}
ret_status_t Driver::setGearBoxParameters(float ratio) { return sendCommand(link(), {23, Data, 8}, f32(0, ratio)); }
ret_status_t Driver::getGearBoxParameters(float* ratio) { return readRemote<24>(link(), ratio); }

// --- thermistor and thermal limit

ret_status_t Driver::setMotorThermistorParameters(float rRef, unsigned short beta) {
    return sendCommand(link(), {38, Data, 8}, f32(0, rRef), u16(32, beta));
}
ret_status_t Driver::enableMotorThermalLimit(unsigned short limit) {
    return Motor::enableMotorThermalLimit(link(), limit);
}
ret_status_t Driver::disableMotorThermalLimit() { return Motor::disableMotorThermalLimit(link()); }
ret_status_t Driver::getMotorThermistorConfiguration(bool* enabled, float* rRef, unsigned short* beta,
                                                     unsigned char* upperLimit, unsigned char* lowerLimit) {
    unsigned char upper = upperLimit != nullptr ? *upperLimit : 0;
    const ret_status_t status = readRemote<40>(link(), rRef, beta, &upper, enabled);
    if (status == RET_SUCCESS) assignIfSet(upperLimit, upper);
    // 8-bit arithmetic: an upper limit below 10 wraps.
    if (exchanged(status)) assignIfSet(lowerLimit, static_cast<unsigned char>(upper - 10));
    return status;
}

// --- controller gains, bandwidths and filters

ret_status_t Driver::setPositionControllerGain(float gain) { return Motor::setPositionControllerGain(link(), gain); }
ret_status_t Driver::getPositionControllerGain(float* gain) { return Motor::getPositionControllerGain(link(), gain); }
ret_status_t Driver::setVelocityControllerGains(float gain, float integratorGain) {
    return Motor::setVelocityControllerGains(link(), gain, integratorGain);
}
ret_status_t Driver::getVelocityControllerGains(float* gain, float* integratorGain) {
    return Motor::getVelocityControllerGains(link(), gain, integratorGain);
}
ret_status_t Driver::setCurrentControllerBandwidth(float bandwidth) {
    return Motor::setCurrentControllerBandwidth(link(), bandwidth);
}
ret_status_t Driver::getCurrentControllerBandwidth(float* bandwidth) {
    return Motor::getCurrentControllerBandwidth(link(), bandwidth);
}
ret_status_t Driver::getCurrentControllerGains(float* gain, float* integratorGain) {
    return Motor::getCurrentControllerGains(link(), gain, integratorGain);
}
ret_status_t Driver::setMotorEncoderBandwidth(float bandwidth) {
    return Motor::setMotorEncoderBandwidth(link(), bandwidth);
}
ret_status_t Driver::getMotorEncoderBandwidth(float* bandwidth) {
    return Motor::getMotorEncoderBandwidth(link(), bandwidth);
}
ret_status_t Driver::setCurrentFilter(float filter) { return Motor::setCurrentFilter(link(), filter); }
ret_status_t Driver::getCurrentFilter(float* filter) { return Motor::getCurrentFilter(link(), filter); }
ret_status_t Driver::setEncoderDataFilter(float filter) { return Motor::setEncoderDataFilter(link(), filter); }
ret_status_t Driver::getEncoderDataFilter(float* filter) { return Motor::getEncoderDataFilter(link(), filter); }

// --- zero position and start-up

ret_status_t Driver::setCurrentPositionAs(float position) {
    return sendCommand(link(), {6, Data, 4}, f32(0, position));
}
ret_status_t Driver::setCurrentPositionToZero() { return Motor::setCurrentPositionToZero(link()); }
ret_status_t Driver::getZeroPosition(float* position) { return Motor::getZeroPosition(link(), position); }
ret_status_t Driver::setStartupConfigs(bool indexSearch, bool encoderMatching, bool closedLoop) {
    return sendCommand(link(), {45, Data, 1}, flag(0, indexSearch), flag(1, encoderMatching), flag(2, closedLoop));
}
ret_status_t Driver::getStartupConfigs(bool* indexSearch, bool* encoderMatching, bool* closedLoop) {
    return readRemote<46>(link(), indexSearch, encoderMatching, closedLoop);
}

// --- calibration routines, bit rate and stored configuration

ret_status_t Driver::runEncoderIndexSearch() { return sendCommand(link(), {54, Data, 0}); }
ret_status_t Driver::runEncoderMatching() { return sendCommand(link(), {55, Data, 0}); }
ret_status_t Driver::runCalibrationSequence() { return Motor::runCalibrationSequence(link()); }
ret_status_t Driver::runEncoderCalibration() { return sendCommand(link(), {57, Data, 0}); }

ret_status_t Driver::setCANBaudRate(CANBaudRate rate) { return Motor::setBitRate<58>(link(), rate); }
ret_status_t Driver::getCANBaudRate(CANBaudRate* rate) { return Motor::getBitRate<59>(link(), rate); }

ret_status_t Driver::rebootDriver() { return Motor::reboot(link()); }
ret_status_t Driver::saveConfigurations() { return Motor::saveConfigurations(link()); }
ret_status_t Driver::eraseConfigurations() { return Motor::eraseConfigurations(link()); }
// The same frame that starts a firmware update.
ret_status_t Driver::enterDFUMode() { return Motor::enterDFUMode(link()); }

ret_status_t Driver::flash(std::string path, bool inBootloader) {
    return firmware::flash(link(), path, inBootloader);
}

// --- device state

ret_status_t Driver::setDeviceToIdle() { return Motor::setDeviceToIdle(link()); }
ret_status_t Driver::setDeviceToActive() { return Motor::setDeviceToActive(link()); }
ret_status_t Driver::clearDriverErrors() { return Motor::clearErrors(link()); }
ret_status_t Driver::emergencyStop() { return Motor::emergencyStop(link()); }

// --- control-mode set-points

ret_status_t Driver::setPositionControl(float position, float velocity) {
    return Motor::setPositionControl(link(), position, velocity);
}
ret_status_t Driver::setVelocityControl(float velocity) { return Motor::setVelocityControl(link(), velocity); }
ret_status_t Driver::setVelocityRampControl(float velocity, float ramp) {
    return Motor::setVelocityRampControl(link(), velocity, ramp);
}
ret_status_t Driver::setTorqueControl(float torque, float second) {
    return Motor::setTorqueControl(link(), torque, second);
}
ret_status_t Driver::setPositionControlWithFeedForward(float position, float velocity, float torque) {
    return Motor::setPositionControlWithFeedForward(link(), position, velocity, torque);
}
ret_status_t Driver::setVelocityControlWithFeedForward(float velocity, float torque) {
    return Motor::setVelocityControlWithFeedForward(link(), velocity, torque);
}
ret_status_t Driver::setTrapezoidalTrajectoryControl(float position, float velocity, float acceleration,
                                                     float deceleration) {
    return Motor::setTrapezoidalTrajectoryControl(link(), position, velocity, acceleration, deceleration);
}
ret_status_t Driver::setScurveTrajectoryControl(float position, float velocity, float acceleration,
                                                float deceleration) {
    return Motor::setScurveTrajectoryControl(link(), position, velocity, acceleration, deceleration);
}
ret_status_t Driver::setTorqueRampControl(float torque, float second, float third) {
    return sendCommand(link(), {104, Data, 8}, f32(0, torque), scaled<unsigned short>(32, second, kScale0_001),
                       truncated<unsigned short>(48, third));
}
ret_status_t Driver::setSensorlessVelocityControl(float velocity, float second, float third) {
    return sendCommand(link(), {105, Data, 8}, f32(0, velocity), truncated<unsigned short>(32, second),
                       scaled<unsigned short>(48, third, kScale0_1));
}
ret_status_t Driver::setOpenLoopPositionControl(short first, short second, short third, float fourth) {
    return sendCommand(link(), {106, Data, 8}, i16(0, first), i16(16, second), i16(32, third),
                       scaled<unsigned short>(48, fourth, kScale0_1));
}
ret_status_t Driver::setOpenLoopVelocityControl(short first, short second, float third) {
    return sendCommand(link(), {107, Data, 8}, i16(0, first), i16(16, second), scaled<short>(32, third, kScale0_1));
}

// --- telemetry

ret_status_t Driver::getOutputPosition(float* value) { return Motor::getOutputPosition(link(), value); }
ret_status_t Driver::getOutputVelocity(float* value) { return Motor::getOutputVelocity(link(), value); }
ret_status_t Driver::getOutputAcceleration(float* value) { return Motor::getOutputAcceleration(link(), value); }
ret_status_t Driver::getOutputTorque(float* value) { return Motor::getOutputTorque(link(), value); }
ret_status_t Driver::getMotorPosition(float* value) { return Motor::getMotorPosition(link(), value); }
ret_status_t Driver::getMotorVelocity(float* value) { return Motor::getMotorVelocity(link(), value); }
ret_status_t Driver::getMotorAcceleration(float* value) { return Motor::getMotorAcceleration(link(), value); }
ret_status_t Driver::getMotorTorque(float* value) { return Motor::getMotorTorque(link(), value); }
ret_status_t Driver::getMotorTemperature(float* value) { return Motor::getMotorTemperature(link(), value); }
ret_status_t Driver::getDriverTemperature(float* value) { return Motor::getDriverTemperature(link(), value); }
ret_status_t Driver::getMotorPhaseCurrents(float* a, float* b, float* c) {
    return Motor::getMotorPhaseCurrents(link(), a, b, c);
}
ret_status_t Driver::getBusVoltage(float* value) { return Motor::getBusVoltage(link(), value); }
ret_status_t Driver::getBusCurrent(float* value) { return Motor::getBusCurrent(link(), value); }
ret_status_t Driver::getIdqCurrents(float* id, float* iq) { return Motor::getIdqCurrents(link(), id, iq); }
ret_status_t Driver::getBrakeCurrent(float* value) {
    float unused;
    return readRemote<72>(link(), value, &unused);
}
ret_status_t Driver::getDCCalibPhaseCurrents(float* a, float* b, float* c) {
    return Motor::getDCCalibPhaseCurrents(link(), a, b, c);
}

// --- states

ret_status_t Driver::getHallEncoderState(unsigned char* state) { return readRemote<74>(link(), state); }

ret_status_t Driver::getHallEncoderStateCounts(unsigned short* c1, unsigned short* c2, unsigned short* c3,
                                               unsigned short* c4, unsigned short* c5, unsigned short* c6,
                                               unsigned short* c7, unsigned short* c8) {
    const ret_status_t status = requestStatus(link());
    if (status != RET_SUCCESS) return status;
    // Both exchanges are made, whatever the first one's result.
    const ret_status_t first =
        exchange<75>(link(), composeRequest(nodeId, {75, FrameKind::Remote, 8}), c1, c2, c3, c4);
    const ret_status_t second =
        exchange<76>(link(), composeRequest(nodeId, {76, FrameKind::Remote, 8}), c5, c6, c7, c8);
    return first == RET_TIMEOUT || second == RET_TIMEOUT ? RET_TIMEOUT : RET_SUCCESS;
}

ret_status_t Driver::getControllerState(unsigned char* state) { return Motor::getControllerState(link(), state); }
ret_status_t Driver::getMotorState(bool* a, bool* b) { return Motor::getMotorState(link(), a, b); }
ret_status_t Driver::getMotorEncoderState(bool* a, bool* b, bool* c) { return readRemote<82>(link(), a, b, c); }
ret_status_t Driver::getOutputEncoderState(bool* a, bool* b) { return readRemote<83>(link(), a, b); }
ret_status_t Driver::getTrajectoryDoneStatus(bool* done) { return Motor::getTrajectoryDoneStatus(link(), done); }
ret_status_t Driver::getMotorEncoderRawData(int* raw) { return Motor::getMotorEncoderRawData(link(), raw); }
ret_status_t Driver::getOutputEncoderRawData(int* raw) { return Motor::getOutputEncoderRawData(link(), raw); }
ret_status_t Driver::getCANCommunicationStatus(bool* a, bool* b) {
    return Motor::getCANCommunicationStatus(link(), a, b);
}
ret_status_t Driver::getControllerMode(unsigned short* mode) { return Motor::getControllerMode(link(), mode); }

// --- faults and errors

ret_status_t Driver::getDriverFault(unsigned int* fault) { return Motor::getDriverFault(link(), fault); }

ret_status_t Driver::getErrorCode(driver_error_t* code) {
    unsigned int raw = 0;
    const ret_status_t status = Motor::getErrorCode(link(), &raw);
    if (exchanged(status)) {
        assignIfSet(code, raw <= 40u || raw == DRIVER_ERROR_UNKNOWN ? static_cast<driver_error_t>(raw)
                                                                     : DRIVER_ERROR_UNKNOWN);
    }
    return status;
}

ret_status_t Driver::getDebugErrorCode(unsigned long* code1, unsigned long* code2, unsigned long* code3,
                                       unsigned long* code4, unsigned long* code5, unsigned long* code6) {
    return Motor::getDebugErrorCode(link(), {code1, code2, code3, code4, code5, code6});
}
