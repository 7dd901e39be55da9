#ifndef QUORVEL_TRANSPORT_VINREL_HPP
#define QUORVEL_TRANSPORT_VINREL_HPP

#include <ostream>
#include <string>

#include "can_device_type.hpp"
#include "can_helpers.hpp"
#include "config.hpp"
#include "driver.hpp"  // ret_status_t
#include "interface.hpp"

namespace quorvel_detail {
template <typename Impl>
struct DeviceLink;
struct DeviceAccess;
}  // namespace quorvel_detail

// An absolute magnetic encoder module on the bus, addressed by its node id.
//
// Every operation checks, before it sends anything and in this order: the
// implementation (RET_ERROR), the interface's running flag
// (RET_INTERFACE_NOT_RUNNING) and the node's presence (RET_NOT_CONNECTED).
// Commands send one frame and return RET_SUCCESS; nothing acknowledges them.
// Reads block the calling thread until the reply arrives (RET_SUCCESS,
// out-parameters written in order) or 200 ms pass (RET_TIMEOUT,
// out-parameters untouched unless the operation says otherwise). A null
// out-parameter is skipped. Values travel as the module sends them: no scale.
//
// Threads: replies are decoded on the interface's receive thread. One object
// serves one operation at a time; different objects may be used from
// different threads. The interface must outlive the object.
class QUORVEL_API Vinrel : public CANDeviceType {
public:
    class VinrelImpl;

    // Registers with the interface under nodeId (replacing an object
    // registered under it before). Sends nothing.
    Vinrel(unsigned int nodeId, Interface* interface);
    // For a bus with a single device: switches the interface to
    // single-device mode and takes the node id of the first heartbeat within
    // about 500 ms. Throws std::runtime_error("[FATAL ERROR] Vinrel object is
    // not created") when none comes.
    explicit Vinrel(Interface* interface);
    // Unregisters; once it returns, the receive thread no longer calls this
    // object.
    ~Vinrel();

    Vinrel(const Vinrel&) = delete;
    Vinrel& operator=(const Vinrel&) = delete;

    bool isConnected();
    // Any thread, at any time; nullptr discards again. The caller keeps the
    // stream alive until it is replaced or the object is destroyed.
    void setOutputLogStream(std::ostream* stream);
    // Receive thread only (called by the interface).
    void canMsgCallback(can_frame_data* frame) override;

    // --- identity
    ret_status_t getHardwareVersion(unsigned char*, unsigned char*, unsigned char*, unsigned char*);
    ret_status_t getFirmwareVersion(unsigned char* major, unsigned char* minor, unsigned short* patch);
    // The reply's eight bytes up to the first zero byte (0 to 8 characters).
    ret_status_t getFirmwareCommit(std::string* commit);
    // Tells the module its new id; this object keeps addressing the old one.
    ret_status_t setNodeId(unsigned int nodeId);
    ret_status_t getNodeId(unsigned int* nodeId);

    // --- encoder configuration
    ret_status_t configureEncoder(unsigned char type, int resolutionParam);
    ret_status_t getEncoderConfiguration(unsigned char* type, int* resolutionParam);
    ret_status_t setCurrentPositionToZero();
    ret_status_t getZeroPosition(float* position);
    ret_status_t setEncoderDirection(unsigned char direction);
    ret_status_t getEncoderDirection(unsigned char* direction);
    ret_status_t setFilterWindowLength(unsigned int length);
    ret_status_t getFilterWindowLength(unsigned int* length);
    ret_status_t setScalingFactor(float factor);
    ret_status_t getScalingFactor(float* factor);
    ret_status_t setLinearCount(unsigned int count);

    // --- registers of the module's magnetic sensor; the read is a data
    //     frame carrying the address, its flag is passed on uninterpreted
    ret_status_t setMAxxxSPIRegister(unsigned char reg, unsigned char value);
    ret_status_t getMAxxxSPIRegister(unsigned char reg, unsigned char* value, bool* flag);

    // --- off-axis calibration of the module's sensor (always treated as an
    //     MA600) while the application turns the shaft at `speed` degrees per
    //     second; the shaft must turn less than 180 degrees between two
    //     angle reads. Blocks for many seconds, prints its progress on
    //     standard output, returns RET_ERROR when it has run to the end (read
    //     the lines), or the read's status after 100 failed reads in a row.
    ret_status_t runMAxxxOffAxisCalibration(float speed);

    // --- measurements (the absolute angle in degrees, wrapping once per turn)
    ret_status_t getEncoderCount(int* count);
    ret_status_t getEncoderRawData(unsigned int* raw);
    ret_status_t getAbsoluteAngle(float* angle);
    ret_status_t getMultiturnAngle(float* angle);
    ret_status_t getRawVelocity(float* velocity);
    ret_status_t getScaledVelocity(float* velocity);
    ret_status_t getFilteredVelocity(float* velocity);
    ret_status_t getScaledFilteredVelocity(float* velocity);
    ret_status_t getRawAcceleration(float* acceleration);
    ret_status_t getScaledAcceleration(float* acceleration);
    ret_status_t getFilteredAcceleration(float* acceleration);
    ret_status_t getScaledFilteredAcceleration(float* acceleration);

    // --- bit rate, errors and stored configuration
    // Tells the module its new rate; the interface's own rate is the
    // application's to change. RET_INVALID_ARGUMENT outside 0..8.
    ret_status_t setCANBaudRate(CANBaudRate rate);
    // The rate index of the module's reply, -1 when it is not a table rate;
    // written also on RET_TIMEOUT (as -1).
    ret_status_t getCANBaudRate(CANBaudRate* rate);
    ret_status_t getErrorCode(unsigned int* code);
    ret_status_t clearEncoderErrors();
    ret_status_t rebootVinrel();
    ret_status_t saveConfigurations();
    ret_status_t eraseConfigurations();
    ret_status_t enterDFUMode();

private:
    friend struct quorvel_detail::DeviceAccess;
    quorvel_detail::DeviceLink<VinrelImpl> link();

    VinrelImpl* impl;
    Interface* interface;
};

#endif
