#include "quorvel_transport/actuator.hpp"

#include "actuator_impl.hpp"
#include "device/device_request.hpp"
#include "device/motor_commands.hpp"
#include "firmware/firmware_update.hpp"

using namespace quorvel_detail;

namespace {

using Motor = MotorCommands<Actuator::ActuatorImpl>;

}  // namespace

Actuator::Actuator(unsigned int nodeId, Interface* interface) : impl(nullptr), interface(interface) {
    this->nodeId = nodeId;
    impl = new ActuatorImpl;
    if (interface != nullptr) interface->registerCANMsgCallback(this);
}

Actuator::~Actuator() {
    if (impl == nullptr) return;
    // After this the receive thread no longer calls canMsgCallback.
    if (interface != nullptr) interface->unregisterCANMsgCallback(this);
    delete impl;
    impl = nullptr;
}

DeviceLink<Actuator::ActuatorImpl> Actuator::link() { return {impl, interface, nodeId}; }

bool Actuator::isConnected() {
    return impl != nullptr && interface != nullptr && interface->isDeviceConnected(nodeId);
}

void Actuator::setOutputLogStream(std::ostream* stream) {
    if (impl != nullptr) impl->setLogStream(stream);
}

void Actuator::canMsgCallback(can_frame_data* frame) {
    if (impl != nullptr && frame != nullptr) impl->onFrame(frame);
}

ret_status_t Actuator::flash(std::string path, bool inBootloader) {
    return firmware::flash(link(), path, inBootloader);
}

// --- identity

ret_status_t Actuator::getHardwareVersion(unsigned char* a, unsigned char* b, unsigned char* c, unsigned char* d) {
    return Motor::getHardwareVersion(link(), a, b, c, d);
}
ret_status_t Actuator::getFirmwareVersion(unsigned char* major, unsigned char* minor, unsigned short* patch) {
    return Motor::getFirmwareVersion(link(), major, minor, patch);
}
ret_status_t Actuator::getFirmwareCommit(std::string* commit) { return Motor::getFirmwareCommit(link(), commit); }
ret_status_t Actuator::setNodeId(unsigned int newNodeId) { return Motor::setNodeId(link(), newNodeId); }
ret_status_t Actuator::getNodeId(unsigned int* reported) { return Motor::getNodeId(link(), reported); }

// --- device state

ret_status_t Actuator::setDeviceToIdle() { return Motor::setDeviceToIdle(link()); }
ret_status_t Actuator::setDeviceToActive() { return Motor::setDeviceToActive(link()); }
ret_status_t Actuator::runCalibrationSequence() { return Motor::runCalibrationSequence(link()); }
ret_status_t Actuator::clearActuatorErrors() { return Motor::clearErrors(link()); }
ret_status_t Actuator::rebootActuator() { return Motor::reboot(link()); }
ret_status_t Actuator::saveConfigurations() { return Motor::saveConfigurations(link()); }
ret_status_t Actuator::eraseConfigurations() { return Motor::eraseConfigurations(link()); }
ret_status_t Actuator::emergencyStop() { return Motor::emergencyStop(link()); }

// --- limits, controller settings and filters

ret_status_t Actuator::setDCBusTripLevels(float under, float over) {
    return Motor::setDCBusTripLevels(link(), under, over);
}
ret_status_t Actuator::getDCBusTripLevels(float* under, float* over) {
    return Motor::getDCBusTripLevels(link(), under, over);
}
ret_status_t Actuator::setRegenCurrentTripLevel(float level) { return Motor::setRegenCurrentTripLevel(link(), level); }
ret_status_t Actuator::getRegenCurrentTripLevel(float* level) {
    return Motor::getRegenCurrentTripLevel(link(), level);
}
ret_status_t Actuator::setPositionControllerGain(float gain) { return Motor::setPositionControllerGain(link(), gain); }
ret_status_t Actuator::getPositionControllerGain(float* gain) {
    return Motor::getPositionControllerGain(link(), gain);
}
ret_status_t Actuator::setVelocityControllerGains(float gain, float integratorGain) {
    return Motor::setVelocityControllerGains(link(), gain, integratorGain);
}
ret_status_t Actuator::getVelocityControllerGains(float* gain, float* integratorGain) {
    return Motor::getVelocityControllerGains(link(), gain, integratorGain);
}
ret_status_t Actuator::setCurrentControllerBandwidth(float bandwidth) {
    return Motor::setCurrentControllerBandwidth(link(), bandwidth);
}
ret_status_t Actuator::getCurrentControllerBandwidth(float* bandwidth) {
    return Motor::getCurrentControllerBandwidth(link(), bandwidth);
}
ret_status_t Actuator::getCurrentControllerGains(float* gain, float* integratorGain) {
    return Motor::getCurrentControllerGains(link(), gain, integratorGain);
}
ret_status_t Actuator::setMotorEncoderBandwidth(float bandwidth) {
    return Motor::setMotorEncoderBandwidth(link(), bandwidth);
}
ret_status_t Actuator::getMotorEncoderBandwidth(float* bandwidth) {
    return Motor::getMotorEncoderBandwidth(link(), bandwidth);
}
ret_status_t Actuator::setCurrentPostionToZero() { return Motor::setCurrentPositionToZero(link()); }
ret_status_t Actuator::getZeroPosition(float* position) { return Motor::getZeroPosition(link(), position); }
ret_status_t Actuator::enableMotorThermalLimit(unsigned short limit) {
    return Motor::enableMotorThermalLimit(link(), limit);
}
ret_status_t Actuator::disableMotorThermalLimit() { return Motor::disableMotorThermalLimit(link()); }
// The reply's fields in order: the two 16-bit values, the two bytes, then
// the enabled bit.
ret_status_t Actuator::getMotorThermistorConfiguration(bool* enabled, unsigned short* first, unsigned short* second,
                                                       unsigned char* third, unsigned char* fourth) {
    return readRemote<40>(link(), first, second, third, fourth, enabled);
}
ret_status_t Actuator::setCurrentFilter(float filter) { return Motor::setCurrentFilter(link(), filter); }
ret_status_t Actuator::getCurrentFilter(float* filter) { return Motor::getCurrentFilter(link(), filter); }
ret_status_t Actuator::setEncoderDataFilter(float filter) { return Motor::setEncoderDataFilter(link(), filter); }
ret_status_t Actuator::getEncoderDataFilter(float* filter) { return Motor::getEncoderDataFilter(link(), filter); }
ret_status_t Actuator::getMotorPhaseParameters(float* resistance, float* inductance) {
    return Motor::getMotorPhaseParameters(link(), resistance, inductance);
}

// --- telemetry

ret_status_t Actuator::getOutputPosition(float* value) { return Motor::getOutputPosition(link(), value); }
ret_status_t Actuator::getOutputVelocity(float* value) { return Motor::getOutputVelocity(link(), value); }
ret_status_t Actuator::getOutputAcceleration(float* value) { return Motor::getOutputAcceleration(link(), value); }
ret_status_t Actuator::getOutputTorque(float* value) { return Motor::getOutputTorque(link(), value); }
ret_status_t Actuator::getMotorPosition(float* value) { return Motor::getMotorPosition(link(), value); }
ret_status_t Actuator::getMotorVelocity(float* value) { return Motor::getMotorVelocity(link(), value); }
ret_status_t Actuator::getMotorAcceleration(float* value) { return Motor::getMotorAcceleration(link(), value); }
ret_status_t Actuator::getMotorTorque(float* value) { return Motor::getMotorTorque(link(), value); }
ret_status_t Actuator::getMotorTemperature(float* value) { return Motor::getMotorTemperature(link(), value); }
ret_status_t Actuator::getDriverTemperature(float* value) { return Motor::getDriverTemperature(link(), value); }
ret_status_t Actuator::getMotorPhaseCurrents(float* a, float* b, float* c) {
    return Motor::getMotorPhaseCurrents(link(), a, b, c);
}
ret_status_t Actuator::getBusVoltage(float* value) { return Motor::getBusVoltage(link(), value); }
ret_status_t Actuator::getBusCurrent(float* value) { return Motor::getBusCurrent(link(), value); }
ret_status_t Actuator::getIdqCurrents(float* id, float* iq) { return Motor::getIdqCurrents(link(), id, iq); }
ret_status_t Actuator::getDCCalibPhaseCurrents(float* a, float* b, float* c) {
    return Motor::getDCCalibPhaseCurrents(link(), a, b, c);
}

// --- states, faults and errors

ret_status_t Actuator::getControllerState(unsigned char* state) { return Motor::getControllerState(link(), state); }
ret_status_t Actuator::getMotorState(bool* a, bool* b) { return Motor::getMotorState(link(), a, b); }
ret_status_t Actuator::getMotorEncoderState(bool* a, bool* b) { return readRemote<82>(link(), a, b); }
ret_status_t Actuator::getOutputEncoderState(bool* state) {
    bool bit0 = false;  // read and dropped
    return readRemote<83>(link(), &bit0, state);
}
ret_status_t Actuator::getTrajectoryDoneStatus(bool* done) { return Motor::getTrajectoryDoneStatus(link(), done); }
ret_status_t Actuator::getMotorEncoderRawData(int* raw) { return Motor::getMotorEncoderRawData(link(), raw); }
ret_status_t Actuator::getOutputEncoderRawData(int* raw) { return Motor::getOutputEncoderRawData(link(), raw); }
ret_status_t Actuator::getCANCommunicationStatus(bool* a, bool* b) {
    return Motor::getCANCommunicationStatus(link(), a, b);
}
ret_status_t Actuator::getControllerMode(unsigned short* mode) { return Motor::getControllerMode(link(), mode); }
ret_status_t Actuator::getDriverFault(unsigned int* fault) { return Motor::getDriverFault(link(), fault); }
ret_status_t Actuator::getErrorCode(unsigned int* code) { return Motor::getErrorCode(link(), code); }
ret_status_t Actuator::getDebugErrorCode(unsigned long* code1, unsigned long* code2, unsigned long* code3,
                                         unsigned long* code4, unsigned long* code5, unsigned long* code6) {
    return Motor::getDebugErrorCode(link(), {code1, code2, code3, code4, code5, code6});
}

// --- control-mode set-points

ret_status_t Actuator::setPositionControl(float position, float velocity) {
    return Motor::setPositionControl(link(), position, velocity);
}
ret_status_t Actuator::setVelocityControl(float velocity) { return Motor::setVelocityControl(link(), velocity); }
ret_status_t Actuator::setVelocityRampControl(float velocity, float ramp) {
    return Motor::setVelocityRampControl(link(), velocity, ramp);
}
ret_status_t Actuator::setTorqueControl(float torque, float second) {
    return Motor::setTorqueControl(link(), torque, second);
}
ret_status_t Actuator::setPositionControlWithFeedForward(float position, float velocity, float torque) {
    return Motor::setPositionControlWithFeedForward(link(), position, velocity, torque);
}
ret_status_t Actuator::setVelocityControlWithFeedForward(float velocity, float torque) {
    return Motor::setVelocityControlWithFeedForward(link(), velocity, torque);
}
ret_status_t Actuator::setTrapezoidalTrajectoryControl(float position, float velocity, float acceleration,
                                                       float deceleration) {
    return Motor::setTrapezoidalTrajectoryControl(link(), position, velocity, acceleration, deceleration);
}
ret_status_t Actuator::setScurveTrajectoryControl(float position, float velocity, float acceleration,
                                                  float deceleration) {
    return Motor::setScurveTrajectoryControl(link(), position, velocity, acceleration, deceleration);
}
