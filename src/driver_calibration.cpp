// Driver: the relay to its magnetic encoders' sensor registers (commands 47
// and 48) and the off-axis calibration of those sensors.

#include <iostream>
#include <optional>

#include "quorvel_transport/driver.hpp"
#include "calibration/off_axis_calibration.hpp"
#include "device/device_request.hpp"
#include "driver_impl.hpp"

using namespace quorvel_detail;
namespace cal = quorvel_detail::calibration;

namespace {

constexpr FrameKind Data = FrameKind::Data;
constexpr uint8_t kWriteRegister = 47;
constexpr uint8_t kReadRegister = 48;

}  // namespace

ret_status_t Driver::setMAxxxSPIRegister(bool encoder, unsigned char reg, unsigned char value) {
    return sendCommand(link(), {kWriteRegister, Data, 3}, flag(0, encoder), u8(1, reg), u8(9, value));
}

// The request is a data frame carrying selector and address, not a remote
// request.
ret_status_t Driver::getMAxxxSPIRegister(bool encoder, unsigned char reg, unsigned char* value, bool* replyFlag) {
    return read<kReadRegister>(link(), composeRequest(nodeId, {kReadRegister, Data, 2}, flag(0, encoder), u8(1, reg)),
                               value, replyFlag);
}

ret_status_t Driver::setMAxxxBCTValue(bool encoder, unsigned char value) {
    return setMAxxxSPIRegister(encoder, cal::kBctRegister, value);
}
ret_status_t Driver::getMAxxxBCTValue(bool encoder, unsigned char* value, bool* replyFlag) {
    return getMAxxxSPIRegister(encoder, cal::kBctRegister, value, replyFlag);
}

ret_status_t Driver::setMAxxxTrimmingSettings(bool encoder, bool first, bool second) {
    const auto value = static_cast<unsigned char>(((second ? 1 : 0) << 1 | (first ? 1 : 0)) & 0x3);
    return setMAxxxSPIRegister(encoder, cal::kTrimmingRegister, value);
}

// Both flags come from a byte that starts at 0, so a time-out reads false,
// false.
ret_status_t Driver::getMAxxxTrimmingSettings(bool encoder, bool* first, bool* second, bool* replyFlag) {
    unsigned char value = 0;
    const ret_status_t status = getMAxxxSPIRegister(encoder, cal::kTrimmingRegister, &value, replyFlag);
    if (exchanged(status)) {
        assignIfSet(first, (value & 0x1) != 0);
        assignIfSet(second, (value & 0x2) != 0);
    }
    return status;
}

ret_status_t Driver::setMAxxxFilterWindow(bool encoder, unsigned char value) {
    return setMAxxxSPIRegister(encoder, cal::kFilterWindowRegister, value);
}
ret_status_t Driver::getMAxxxFilterWindow(bool encoder, unsigned char* value, bool* replyFlag) {
    return getMAxxxSPIRegister(encoder, cal::kFilterWindowRegister, value, replyFlag);
}

namespace {

// The configured type of the selected encoder; 0 when the read failed.
std::optional<cal::SensorModel> configuredSensor(Driver& driver, bool encoder) {
    unsigned char type = 0;
    int resolution = 0;
    bool useIndex = false;
    const auto get = encoder ? &Driver::getOutputEncoderConfiguration : &Driver::getMotorEncoderConfiguration;
    (driver.*get)(&type, &resolution, &useIndex);
    const std::optional<cal::SensorModel> model = cal::sensorModelForEncoderType(type);
    if (!model) std::cout << cal::kIncompatibleEncoderLine << std::endl;
    return model;
}

auto registerWriter(Driver& driver, bool encoder) {
    return [&driver, encoder](uint8_t reg, uint8_t value) { driver.setMAxxxSPIRegister(encoder, reg, value); };
}

}  // namespace

ret_status_t Driver::runMAxxxOffAxisCalibration(bool encoder, float speed) {
    const std::optional<cal::SensorModel> model = configuredSensor(*this, encoder);
    if (!model) return RET_ERROR;
    const auto angle = [this, encoder]() -> cal::AngleReading {
        float degrees = 0;
        const ret_status_t status = encoder ? getOutputPosition(&degrees) : getMotorPosition(&degrees);
        if (!encoder) degrees *= 360.0f;  // revolutions, in single precision
        return {status, degrees};
    };
    Pacer& pacer = pacerOf(impl);
    return cal::runOffAxisCalibration(angle, registerWriter(*this, encoder), pacer, speed, {*model, false},
                                      std::cout);
}

ret_status_t Driver::clearMAxxxOffAxisCalibration(bool encoder) {
    const std::optional<cal::SensorModel> model = configuredSensor(*this, encoder);
    if (!model) return RET_ERROR;
    Pacer& pacer = pacerOf(impl);
    return cal::clearOffAxisCalibration(registerWriter(*this, encoder), pacer, *model, std::cout);
}
