// Vinrel: the off-axis calibration of the module's magnetic sensor, the
// driver's routine over the module's own angle read and register write.

#include <iostream>

#include "quorvel_transport/vinrel.hpp"
#include "calibration/off_axis_calibration.hpp"
#include "vinrel_impl.hpp"

using namespace quorvel_detail;
namespace cal = quorvel_detail::calibration;

// The module has no encoder type to ask: its sensor is taken as an MA600.
// Its absolute angle wraps once per turn, so every pass is unwrapped.
ret_status_t Vinrel::runMAxxxOffAxisCalibration(float speed) {
    const auto angle = [this]() -> cal::AngleReading {
        float degrees = 0;
        const ret_status_t status = getAbsoluteAngle(&degrees);
        return {status, degrees};
    };
    const auto write = [this](uint8_t reg, uint8_t value) { setMAxxxSPIRegister(reg, value); };
    Pacer& pacer = pacerOf(impl);
    return cal::runOffAxisCalibration(angle, write, pacer, speed, {cal::SensorModel::MA600, /*unwrap=*/true},
                                      std::cout);
}
