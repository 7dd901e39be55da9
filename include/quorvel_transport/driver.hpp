#ifndef QUORVEL_TRANSPORT_DRIVER_HPP
#define QUORVEL_TRANSPORT_DRIVER_HPP

#include <ostream>
#include <string>

#include "can_device_type.hpp"
#include "can_helpers.hpp"
#include "config.hpp"
#include "interface.hpp"
#include "ret_status.hpp"

// The motor driver's error code: 0 to 40 as the driver sends them, and
// DRIVER_ERROR_UNKNOWN for anything else.
enum driver_error_t : unsigned int {
    DRIVER_ERROR_UNKNOWN = 255,
};

namespace quorvel_detail {
template <typename Impl>
struct DeviceLink;
// Reaches a device object's implementation (tests use it to drive time).
struct DeviceAccess;
}

// A motor driver on the bus, addressed by its node id.
//
// Every operation checks, before it sends anything and in this order: the
// implementation (RET_ERROR), the interface's running flag
// (RET_INTERFACE_NOT_RUNNING) and the node's presence (RET_NOT_CONNECTED).
// Commands (set..., run..., enable..., ...) send one frame and return
// RET_SUCCESS; nothing acknowledges them. Reads block the calling thread
// until the reply arrives (RET_SUCCESS, out-parameters written in order) or
// 200 ms pass (RET_TIMEOUT, out-parameters untouched unless the operation
// says otherwise). A null out-parameter is skipped.
//
// Threads: replies are decoded on the interface's receive thread. One object
// serves one operation at a time; different objects may be used from
// different threads. The interface must outlive the object.
class QUORVEL_API Driver : public CANDeviceType {
public:
    class DriverImpl;

    // Registers with the interface under nodeId (replacing an object
    // registered under it before). Sends nothing.
    Driver(unsigned int nodeId, Interface* interface);
    // For a bus with a single device: switches the interface to
    // single-device mode and takes the node id of the first heartbeat within
    // about 500 ms. Throws std::runtime_error("[FATAL ERROR] Driver object is
    // not created") when none comes.
    explicit Driver(Interface* interface);
    // Unregisters; once it returns, the receive thread no longer calls this
    // object.
    ~Driver();

    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    bool isConnected();
    // Any thread, at any time; nullptr discards again. The caller keeps the
    // stream alive until it is replaced or the object is destroyed.
    void setOutputLogStream(std::ostream* stream);
    // Receive thread only (called by the interface).
    void canMsgCallback(can_frame_data* frame) override;

    // --- identity
    ret_status_t getHardwareVersion(unsigned char*, unsigned char*, unsigned char*, unsigned char*);
    ret_status_t getFirmwareVersion(unsigned char* major, unsigned char* minor, unsigned short* patch);
    // Eight characters, one per reply byte (zero bytes included); written
    // also on RET_TIMEOUT, as eight zero characters.
    ret_status_t getFirmwareCommit(std::string* commit);
    // Tells the driver its new id; this object keeps addressing the old one.
    ret_status_t setNodeId(unsigned int nodeId);
    ret_status_t getNodeId(unsigned int* nodeId);

    // --- limits and electrical settings
    ret_status_t setDCBusTripLevels(float undervoltageLevel, float overvoltageLevel);
    ret_status_t getDCBusTripLevels(float* undervoltageLevel, float* overvoltageLevel);
    ret_status_t enableBrakeResistor(float brakeResistance);
    ret_status_t disableBrakeResistor();
    ret_status_t getBrakeResistorState(bool* enabled, float* brakeResistance, bool*, bool*);
    ret_status_t setRegenCurrentTripLevel(float level);
    ret_status_t getRegenCurrentTripLevel(float* level);
    ret_status_t setMotorTorqueLimit(float limit);
    ret_status_t getMotorTorqueLimit(float* limit);

    // --- motor, encoders and gearbox
    ret_status_t setMotorParameters(unsigned char polePairs, unsigned short kvRating, float currentLimit);
    ret_status_t getMotorParameters(unsigned char* polePairs, unsigned short* kvRating, float* currentLimit);
    ret_status_t setMotorCalibrationParameters(float calibVoltage, float calibCurrent);
    ret_status_t getMotorCalibrationParameters(float* calibVoltage, float* calibCurrent);
    ret_status_t setMotorPhaseParameters(float phaseResistance, float phaseInductance);
    ret_status_t getMotorPhaseParameters(float* phaseResistance, float* phaseInductance);
    ret_status_t setMotorType(unsigned char type);
    ret_status_t getMotorType(unsigned char* type);
    ret_status_t configureMotorEncoder(unsigned char type, int resolutionParam, bool useIndex);
    ret_status_t getMotorEncoderConfiguration(unsigned char* type, int* resolutionParam, bool* useIndex);
    ret_status_t configureOutputEncoder(unsigned char type, int resolutionParam, bool useIndex);
    ret_status_t disableOutputEncoder();
    ret_status_t getOutputEncoderConfiguration(unsigned char* type, int* resolutionParam, bool* useIndex);
    ret_status_t setGearBoxParameters(float gearRatio);
    ret_status_t getGearBoxParameters(float* gearRatio);

    // --- thermistor and thermal limit
    ret_status_t setMotorThermistorParameters(float rRef, unsigned short beta);
    ret_status_t enableMotorThermalLimit(unsigned short limit);
    ret_status_t disableMotorThermalLimit();
    // lowerLimit = upperLimit - 10 (8-bit), computed also on RET_TIMEOUT
    // from what upperLimit holds.
    ret_status_t getMotorThermistorConfiguration(bool* enabled, float* rRef, unsigned short* beta,
                                                 unsigned char* upperLimit, unsigned char* lowerLimit);

    // --- controller gains, bandwidths and filters
    ret_status_t setPositionControllerGain(float gain);
    ret_status_t getPositionControllerGain(float* gain);
    ret_status_t setVelocityControllerGains(float gain, float integratorGain);
    ret_status_t getVelocityControllerGains(float* gain, float* integratorGain);
    ret_status_t setCurrentControllerBandwidth(float bandwidth);
    ret_status_t getCurrentControllerBandwidth(float* bandwidth);
    ret_status_t getCurrentControllerGains(float* gain, float* integratorGain);
    ret_status_t setMotorEncoderBandwidth(float bandwidth);
    ret_status_t getMotorEncoderBandwidth(float* bandwidth);
    ret_status_t setCurrentFilter(float filter);
    ret_status_t getCurrentFilter(float* filter);
    ret_status_t setEncoderDataFilter(float filter);
    ret_status_t getEncoderDataFilter(float* filter);

    // --- zero position and start-up
    ret_status_t setCurrentPositionAs(float position);
    ret_status_t setCurrentPositionToZero();
    ret_status_t getZeroPosition(float* position);
    ret_status_t setStartupConfigs(bool indexSearch, bool encoderMatching, bool closedLoop);
    ret_status_t getStartupConfigs(bool* indexSearch, bool* encoderMatching, bool* closedLoop);

    // --- magnetic-encoder sensor registers (encoder: false = motor encoder,
    //     true = output encoder); reads are data frames carrying the address
    ret_status_t setMAxxxSPIRegister(bool encoder, unsigned char reg, unsigned char value);
    ret_status_t getMAxxxSPIRegister(bool encoder, unsigned char reg, unsigned char* value, bool* flag);
    ret_status_t setMAxxxBCTValue(bool encoder, unsigned char value);
    ret_status_t getMAxxxBCTValue(bool encoder, unsigned char* value, bool* flag);
    ret_status_t setMAxxxTrimmingSettings(bool encoder, bool first, bool second);
    ret_status_t getMAxxxTrimmingSettings(bool encoder, bool* first, bool* second, bool* flag);
    ret_status_t setMAxxxFilterWindow(bool encoder, unsigned char value);
    ret_status_t getMAxxxFilterWindow(bool encoder, unsigned char* value, bool* flag);

    // --- off-axis calibration of a magnetic encoder (MA702/MA732: type 4,
    //     MA600: type 9) while the application turns the shaft at `speed`
    //     degrees per second. Blocks for many seconds and prints its progress
    //     on standard output; the outcome is told by those lines. Returns
    //     RET_ERROR, or the read's status when 100 position reads in a row
    //     failed (the routine then stops, writing nothing more).
    ret_status_t runMAxxxOffAxisCalibration(bool encoder, float speed);
    ret_status_t clearMAxxxOffAxisCalibration(bool encoder);

    // --- configuration as JSON text (one object under "Vostel Q4")
    // Reads 19 settings; the empty string when a read fails (no later read
    // is made).
    std::string exportConfiguration();
    // Prints the parsed document on standard output, then applies the
    // settings it holds, 50 ms apart, the bit rate last. Every value is
    // checked before the first setting is sent: throws std::runtime_error
    // for text that is not strict JSON, the JSON library's type error for a
    // value of the wrong type, std::out_of_range (naming the key) for a value
    // its setting cannot hold. False at the first setting the driver refuses
    // or that is not sent.
    bool importConfiguration(std::string configuration);

    // --- calibration routines (run in the driver; nothing reports their end)
    ret_status_t runEncoderIndexSearch();
    ret_status_t runEncoderMatching();
    ret_status_t runCalibrationSequence();
    ret_status_t runEncoderCalibration();

    // --- bit rate and stored configuration
    // Tells the driver its new rate; the interface's own rate is the
    // application's to change. RET_INVALID_ARGUMENT outside 0..8.
    ret_status_t setCANBaudRate(CANBaudRate rate);
    // The rate index of the driver's reply, -1 when it is not a table rate;
    // written also on RET_TIMEOUT (as -1).
    ret_status_t getCANBaudRate(CANBaudRate* rate);
    ret_status_t rebootDriver();
    ret_status_t saveConfigurations();
    ret_status_t eraseConfigurations();
    ret_status_t enterDFUMode();

    // --- firmware update
    // Replaces the driver's firmware with the Intel HEX image at path,
    // through the device's CAN bootloader; blocks for the whole update
    // (seconds of fixed pauses plus one exchange per 8 bytes). With
    // inBootloader true the device already runs its bootloader: only the
    // implementation is checked and the enter-bootloader command is skipped.
    // RET_ERROR for an image without data (nothing is sent), a rejected
    // acknowledgement, blocks whose write the device did not confirm (then the
    // go command is not sent: the device stays in its bootloader, and
    // flash(path, true) retries), or an interface on which another update
    // runs (refused at once); RET_TIMEOUT when the bootloader stays silent for
    // 20 s. While it runs the interface sends no master heartbeats and drops
    // no device; other devices of the interface receive every frame
    // unrouted. Leaves the log stream in hexadecimal once writing began.
    ret_status_t flash(std::string path, bool inBootloader);

    // --- device state
    ret_status_t setDeviceToIdle();
    ret_status_t setDeviceToActive();
    ret_status_t clearDriverErrors();
    ret_status_t emergencyStop();

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
    ret_status_t setTorqueRampControl(float torque, float, float);
    ret_status_t setSensorlessVelocityControl(float velocity, float, float);
    ret_status_t setOpenLoopPositionControl(short, short, short, float);
    ret_status_t setOpenLoopVelocityControl(short, short, float);

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
    ret_status_t getBrakeCurrent(float* value);
    // As getMotorPhaseCurrents.
    ret_status_t getDCCalibPhaseCurrents(float* a, float* b, float* c);

    // --- states
    ret_status_t getHallEncoderState(unsigned char* state);
    // Two exchanges (commands 75, then 76, both always made): four counts
    // each. RET_TIMEOUT when either timed out.
    ret_status_t getHallEncoderStateCounts(unsigned short* c1, unsigned short* c2, unsigned short* c3,
                                           unsigned short* c4, unsigned short* c5, unsigned short* c6,
                                           unsigned short* c7, unsigned short* c8);
    ret_status_t getControllerState(unsigned char* state);
    ret_status_t getMotorState(bool*, bool*);
    ret_status_t getMotorEncoderState(bool*, bool*, bool*);
    ret_status_t getOutputEncoderState(bool*, bool*);
    ret_status_t getTrajectoryDoneStatus(bool* done);
    ret_status_t getMotorEncoderRawData(int* raw);
    ret_status_t getOutputEncoderRawData(int* raw);
    ret_status_t getCANCommunicationStatus(bool*, bool*);
    ret_status_t getControllerMode(unsigned short* mode);

    // --- faults and errors
    ret_status_t getDriverFault(unsigned int* fault);
    // Written also on RET_TIMEOUT (as 0).
    ret_status_t getErrorCode(driver_error_t* code);
    // One exchange per selector 1 to 6, into code1 to code6; the first status
    // other than RET_SUCCESS ends it (later outputs untouched).
    ret_status_t getDebugErrorCode(unsigned long* code1, unsigned long* code2, unsigned long* code3,
                                   unsigned long* code4, unsigned long* code5, unsigned long* code6);

private:
    friend struct quorvel_detail::DeviceAccess;
    quorvel_detail::DeviceLink<DriverImpl> link();

    DriverImpl* impl;
    Interface* interface;
};

#endif
