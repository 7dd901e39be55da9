#ifndef QUORVEL_TRANSPORT_IMU_HPP
#define QUORVEL_TRANSPORT_IMU_HPP

#include <cstdint>
#include <ostream>
#include <string>

#include "can_device_type.hpp"
#include "can_helpers.hpp"
#include "config.hpp"
#include "driver.hpp"
#include "interface.hpp"

namespace quorvel_detail {
template <typename Impl>
struct DeviceLink;
struct DeviceAccess;
}

// A Kelo inertial measurement unit on the bus, addressed by its node id.
//
// Every operation checks, before it sends anything and in this order: the
// implementation (RET_ERROR), the interface's running flag
// (RET_INTERFACE_NOT_RUNNING) and the node's presence (RET_NOT_CONNECTED).
// Commands (enable..., disable..., set..., tare..., ...) send one frame and
// return RET_SUCCESS; nothing acknowledges them. Reads block the calling
// thread until the reply arrives (RET_SUCCESS) or 200 ms pass (RET_TIMEOUT).
// On a time-out the raw and identity reads leave their out-parameters as they
// were, while the scaled reads (float outputs) write 0.0 to every float and 0
// to every byte. A null out-parameter is skipped.
//
// Sensor values travel as signed 16-bit integers; the scaled reads multiply
// them by 0.001 or 0.01 in single precision. Units are the device's.
//
// Threads: replies are decoded on the interface's receive thread. One object
// serves one operation at a time; different objects may be used from
// different threads. The interface must outlive the object.
class QUORVEL_API IMU : public CANDeviceType {
public:
    class IMUImpl;

    // The device's sensor reports, as the report command numbers them.
    enum IMUReportType : uint32_t {
        ROTATION_VECTOR = 1,
        RAW_ACCELEROMETER = 2,
        RAW_GYRO = 3,
        RAW_MAGNETOMETER = 4,
        LINEAR_ACCELEROMETER = 5,
        ACCELEROMETER = 6,
        GYRO = 7,
        MAGNETOMETER = 8,
        UNCALIBRATED_GYRO = 9,
        GRAVITY = 10,
    };

    // Registers with the interface under nodeId (replacing an object
    // registered under it before). Sends nothing.
    IMU(unsigned int nodeId, Interface* interface);
    // For a bus with a single device: switches the interface to
    // single-device mode and takes the node id of the first heartbeat within
    // about 500 ms. Throws std::runtime_error("[FATAL ERROR] Kelo object is
    // not created") when none comes; nothing is registered then.
    explicit IMU(Interface* interface);
    // Unregisters; once it returns, the receive thread no longer calls this
    // object.
    ~IMU();

    IMU(const IMU&) = delete;
    IMU& operator=(const IMU&) = delete;

    bool isConnected();
    // Any thread, at any time; nullptr discards again. The caller keeps the
    // stream alive until it is replaced or the object is destroyed.
    void setOutputLogStream(std::ostream* stream);
    // Receive thread only (called by the interface).
    void canMsgCallback(can_frame_data* frame) override;

    // --- sensor reports. The enable argument goes to the device as it is;
    // the library keeps no record of which reports are on.
    ret_status_t enableRotationVector(unsigned short value);
    ret_status_t disableRotationVector();
    ret_status_t enableRawAccelerometer(unsigned short value);
    ret_status_t disableRawAccelerometer();
    ret_status_t enableRawGyro(unsigned short value);
    ret_status_t disableRawGyro();
    ret_status_t enableRawMagnetometer(unsigned short value);
    ret_status_t disableRawMagnetometer();
    ret_status_t enableLinearAccelerometer(unsigned short value);
    ret_status_t disableLinearAccelerometer();
    ret_status_t enableAccelerometer(unsigned short value);
    ret_status_t disableAccelerometer();
    ret_status_t enableGyro(unsigned short value);
    ret_status_t disableGyro();
    ret_status_t enableMagnetometer(unsigned short value);
    ret_status_t disableMagnetometer();
    ret_status_t enableUncalibratedGyro(unsigned short value);
    ret_status_t disableUncalibratedGyro();
    ret_status_t enableGravity(unsigned short value);
    ret_status_t disableGravity();

    // --- identity (raw reads)
    ret_status_t getHardwareVersion(unsigned char* a, unsigned char* b, unsigned char* c, unsigned char* d);
    ret_status_t getFirmwareVersion(unsigned char* major, unsigned char* minor, unsigned short* patch);
    // The characters before the first zero byte, at most eight.
    ret_status_t getFirmwareCommit(std::string* commit);
    ret_status_t getNodeId(unsigned int* nodeId);

    // --- sensor data. Raw reads: the device's integers.
    ret_status_t getRawAccelerometerData(short* x, short* y, short* z);
    ret_status_t getRawGyroData(short* x, short* y, short* z);
    ret_status_t getRawMagnetometerData(short* x, short* y, short* z);
    ret_status_t getCalibrationStatus(bool* calibrated);

    // Scaled reads (x 0.001 unless noted); the byte is the device's own
    // per-reading value, passed through.
    ret_status_t getRotationVectorData(float* a, float* b, float* c, float* d);
    ret_status_t getRotationVectorAccuracy(float* accuracy, unsigned char* byte);
    // x 0.01
    ret_status_t getLinearAccelerometerData(float* x, float* y, float* z, unsigned char* byte);
    // x 0.01
    ret_status_t getAccelerometerData(float* x, float* y, float* z, unsigned char* byte);
    // x 0.01
    ret_status_t getGyroData(float* x, float* y, float* z, unsigned char* byte);
    // x 0.01
    ret_status_t getMagnetometerData(float* x, float* y, float* z, unsigned char* byte);
    ret_status_t getUncalibratedGyroData(float* x, float* y, float* z);
    ret_status_t getUncalibratedGyroBiasData(float* x, float* y, float* z);
    // x 0.01
    ret_status_t getEulerAngles(float* a, float* b, float* c);
    // The reply's byte is not handed out.
    ret_status_t getGravityData(float* x, float* y, float* z);

    // --- commands
    // The object keeps addressing its own node id; after the device has
    // taken the new one, create an IMU for it.
    ret_status_t setNodeId(unsigned int newNodeId);
    // Each component in thousandths, cut toward zero, as a signed 16-bit
    // field: 1.0 is sent as 999, -1.0 as -999.
    ret_status_t setOrientation(float a, float b, float c, float d);
    ret_status_t startCalibration(bool first, bool second, bool third, bool fourth);
    ret_status_t stopCalibration();
    ret_status_t saveCalibration();
    ret_status_t clearDCD();
    ret_status_t tareYaw();
    ret_status_t tareAll();
    ret_status_t clearTare();
    ret_status_t rebootKelo();
    ret_status_t saveConfigurations();
    ret_status_t eraseConfigurations();
    ret_status_t enterDFUMode();

private:
    friend struct quorvel_detail::DeviceAccess;
    quorvel_detail::DeviceLink<IMUImpl> link();

    IMUImpl* impl;
    Interface* interface;
};

#endif
