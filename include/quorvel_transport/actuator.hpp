#ifndef QUORVEL_TRANSPORT_ACTUATOR_HPP
#define QUORVEL_TRANSPORT_ACTUATOR_HPP

#include <ostream>
#include <string>

#include "can_device_type.hpp"
#include "can_helpers.hpp"
#include "config.hpp"
#include "interface.hpp"
#include "ret_status.hpp"

namespace quorvel_detail {
template <typename Impl>
struct DeviceLink;
struct DeviceAccess;
}  // namespace quorvel_detail

// An actuator on the bus, addressed by its node id. It speaks the motor
// driver's protocol: every operation that Driver also has sends and receives
// exactly what Driver's does, except the four reads marked below.
//
// Every operation checks, before it sends anything and in this order: the
// implementation (RET_ERROR), the interface's running flag
// (RET_INTERFACE_NOT_RUNNING) and the node's presence (RET_NOT_CONNECTED).
// Commands send one frame and return RET_SUCCESS; nothing acknowledges them.
// Reads block the calling thread until the reply arrives (RET_SUCCESS,
// out-parameters written in order) or 200 ms pass (RET_TIMEOUT,
// out-parameters untouched unless the operation says otherwise). A null
// out-parameter is skipped. Every decoded reply field is logged as
// "Pushed back data " and the value as an unsigned 32-bit decimal number.
//
// Threads: replies are decoded on the interface's receive thread. One object
// serves one operation at a time; different objects may be used from
// different threads. The interface must outlive the object.
class QUORVEL_API Actuator : public CANDeviceType {
public:
    class ActuatorImpl;

    // Registers with the interface under nodeId (replacing an object
    // registered under it before). Sends nothing. There is deliberately no
    // constructor without a node id: creating actuators never switches the
    // interface into single-device mode. With a null interface every
    // operation returns RET_INTERFACE_NOT_RUNNING.
    Actuator(unsigned int nodeId, Interface* interface);
    // Unregisters; once it returns, the receive thread no longer calls this
    // object.
    ~Actuator();

    Actuator(const Actuator&) = delete;
    Actuator& operator=(const Actuator&) = delete;

    bool isConnected();
    // Any thread, at any time; nullptr discards again. The caller keeps the
    // stream alive until it is replaced or the object is destroyed.
    void setOutputLogStream(std::ostream* stream);
    // Receive thread only (called by the interface).
    void canMsgCallback(can_frame_data* frame) override;

    // Firmware update through the device's CAN bootloader, exactly as
    // Driver::flash (see there for the statuses and what it blocks for).
    ret_status_t flash(std::string path, bool inBootloader);

    // --- identity
    ret_status_t getHardwareVersion(unsigned char*, unsigned char*, unsigned char*, unsigned char*);
    ret_status_t getFirmwareVersion(unsigned char* major, unsigned char* minor, unsigned short* patch);
    // Eight characters, one per reply byte (zero bytes included); written
    // also on RET_TIMEOUT, as eight zero characters.
    ret_status_t getFirmwareCommit(std::string* commit);
    // Tells the actuator its new id; this object keeps addressing the old one.
    ret_status_t setNodeId(unsigned int nodeId);
    ret_status_t getNodeId(unsigned int* nodeId);

    // --- device state
    ret_status_t setDeviceToIdle();
    ret_status_t setDeviceToActive();
    ret_status_t runCalibrationSequence();
    ret_status_t clearActuatorErrors();
    ret_status_t rebootActuator();
    ret_status_t saveConfigurations();
    ret_status_t eraseConfigurations();
    ret_status_t emergencyStop();

    // --- limits, controller settings and filters
    ret_status_t setDCBusTripLevels(float undervoltageLevel, float overvoltageLevel);
    ret_status_t getDCBusTripLevels(float* undervoltageLevel, float* overvoltageLevel);
    ret_status_t setRegenCurrentTripLevel(float level);
    ret_status_t getRegenCurrentTripLevel(float* level);
    ret_status_t setPositionControllerGain(float gain);
    ret_status_t getPositionControllerGain(float* gain);
    ret_status_t setVelocityControllerGains(float gain, float integratorGain);
    ret_status_t getVelocityControllerGains(float* gain, float* integratorGain);
    ret_status_t setCurrentControllerBandwidth(float bandwidth);
    ret_status_t getCurrentControllerBandwidth(float* bandwidth);
    ret_status_t getCurrentControllerGains(float* gain, float* integratorGain);
    ret_status_t setMotorEncoderBandwidth(float bandwidth);
    ret_status_t getMotorEncoderBandwidth(float* bandwidth);
    // Spelled so on purpose: the name existing applications call.
    ret_status_t setCurrentPostionToZero();
    ret_status_t getZeroPosition(float* position);
    ret_status_t enableMotorThermalLimit(unsigned short limit);
    ret_status_t disableMotorThermalLimit();
    // Differs from the driver's: all five values come from the reply (two
    // 16-bit values, two bytes, the enabled bit); nothing is computed.
    ret_status_t getMotorThermistorConfiguration(bool* enabled, unsigned short*, unsigned short*, unsigned char*,
                                                 unsigned char*);
    ret_status_t setCurrentFilter(float filter);
    ret_status_t getCurrentFilter(float* filter);
    ret_status_t setEncoderDataFilter(float filter);
    ret_status_t getEncoderDataFilter(float* filter);
    ret_status_t getMotorPhaseParameters(float* phaseResistance, float* phaseInductance);

    // --- telemetry
    ret_status_t getOutputPosition(float* value);
    ret_status_t getOutputVelocity(float* value);
    ret_status_t getOutputAcceleration(float* value);
    ret_status_t getOutputTorque(float* value);
    ret_status_t getMotorPosition(float* value);
    ret_status_t getMotorVelocity(float* value);
    ret_status_t getMotorAcceleration(float* value);
    ret_status_t getMotorTorque(float* value);
    ret_status_t getMotorTemperature(float* value);
    ret_status_t getDriverTemperature(float* value);
    // b and c from the reply, then a = -(b + c), computed also on RET_TIMEOUT
    // from what b and c hold.
    ret_status_t getMotorPhaseCurrents(float* a, float* b, float* c);
    ret_status_t getBusVoltage(float* value);
    ret_status_t getBusCurrent(float* value);
    ret_status_t getIdqCurrents(float* id, float* iq);
    // As getMotorPhaseCurrents.
    ret_status_t getDCCalibPhaseCurrents(float* a, float* b, float* c);

    // --- states, faults and errors
    ret_status_t getControllerState(unsigned char* state);
    ret_status_t getMotorState(bool*, bool*);
    // Differs from the driver's: reply bits 0 and 1 only.
    ret_status_t getMotorEncoderState(bool*, bool*);
    // Differs from the driver's: reply bit 1 (bit 0 is not reported).
    ret_status_t getOutputEncoderState(bool*);
    ret_status_t getTrajectoryDoneStatus(bool* done);
    ret_status_t getMotorEncoderRawData(int* raw);
    ret_status_t getOutputEncoderRawData(int* raw);
    ret_status_t getCANCommunicationStatus(bool*, bool*);
    ret_status_t getControllerMode(unsigned short* mode);
    ret_status_t getDriverFault(unsigned int* fault);
    // Differs from the driver's: the actuator's 32-bit code as it arrives,
    // unmapped; untouched on RET_TIMEOUT.
    ret_status_t getErrorCode(unsigned int* code);
    // One exchange per selector 1 to 6, into code1 to code6; the first status
    // other than RET_SUCCESS ends it (later outputs untouched).
    ret_status_t getDebugErrorCode(unsigned long* code1, unsigned long* code2, unsigned long* code3,
                                   unsigned long* code4, unsigned long* code5, unsigned long* code6);

    // --- control-mode set-points
    ret_status_t setPositionControl(float position, float velocity);
    ret_status_t setVelocityControl(float velocity);
    ret_status_t setVelocityRampControl(float velocity, float ramp);
    ret_status_t setTorqueControl(float torque, float);
    ret_status_t setPositionControlWithFeedForward(float position, float velocity, float torqueFeedForward);
    ret_status_t setVelocityControlWithFeedForward(float velocity, float torqueFeedForward);
    ret_status_t setTrapezoidalTrajectoryControl(float position, float velocity, float acceleration,
                                                 float deceleration);
    ret_status_t setScurveTrajectoryControl(float position, float velocity, float acceleration, float deceleration);

private:
    friend struct quorvel_detail::DeviceAccess;
    quorvel_detail::DeviceLink<ActuatorImpl> link();

    ActuatorImpl* impl;
    Interface* interface;
};

#endif
