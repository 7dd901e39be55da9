#ifndef QUORVEL_TRANSPORT_OFF_AXIS_CALIBRATION_HPP
#define QUORVEL_TRANSPORT_OFF_AXIS_CALIBRATION_HPP

// The off-axis calibration of an MA702/MA732/MA600 magnetic angle sensor,
// written once over what differs between the devices that carry one: where
// the angle comes from, how a sensor register is written, and the clock.
//
// The application keeps the shaft turning at `speed` degrees per second
// (with the sign of the motion) for the whole routine; the routine commands
// no motion. It blocks the calling thread for about 8.5 s (MA702) or 16 s
// (MA600) of pauses plus 1500 position reads, and prints its progress lines
// on `out` (the devices pass std::cout).
//
// Instantiations, each with the device implementation's pacer:
//   Driver, motor encoder:  angle = getMotorPosition x 360 (single precision),
//                           write = setMAxxxSPIRegister(false, reg, value)
//   Driver, output encoder: angle = getOutputPosition,
//                           write = setMAxxxSPIRegister(true, reg, value)
//   Vinrel:                 angle = getAbsoluteAngle (wraps at 360, so unwrapped),
//                           write = setMAxxxSPIRegister(reg, value), always an MA600

#include <chrono>
#include <cstdint>
#include <optional>
#include <ostream>
#include <type_traits>
#include <vector>

#include "quorvel_transport/ret_status.hpp"
#include "calibration/off_axis_math.hpp"
#include "device/pacing.hpp"

namespace quorvel_detail {
namespace calibration {

// One position read: its status and, when that is RET_SUCCESS, the angle in
// degrees.
struct AngleReading {
    ret_status_t status;
    double degrees;
};

enum class SensorModel {
    MA702,  // MA702 or MA732: BCT only, stops after the second pass
    MA600,  // BCT and the 32 harmonic corrections, then stored
};

struct RoutineOptions {
    SensorModel model = SensorModel::MA600;
    // The angle wraps at 360 degrees: each pass is unwrapped before its
    // statistics.
    bool unwrap = false;
};

// A sampling pass gives up after this many failed reads in a row (with the
// 200 ms reply wait and the 5 ms pause: about 21 s for a silent device).
inline constexpr int kMaxConsecutiveFailedReads = 100;

inline constexpr const char* kIncompatibleEncoderLine =
    "Incompatible encoder has been configured. Please use either MA702, MA732 or MA600";
inline constexpr const char* kPositionUnreadableLine = "Calibration stopped: the encoder position could not be read.";
inline constexpr const char* kNoWholeRevolutionLine =
    "Calibration stopped: the second pass spans no whole revolution, no correction written.";
inline constexpr const char* kUnusableAnglesLine =
    "Calibration stopped: the second pass gave angles that are not finite or out of range, no correction written.";

// The sensor's registers.
inline constexpr uint8_t kBctRegister = 2;
inline constexpr uint8_t kTrimmingRegister = 3;
inline constexpr uint8_t kFilterWindowRegister = 14;
inline constexpr uint8_t kFirstCorrectionRegister = 32;
inline constexpr uint8_t kStoreRegister = 234;

// The driver's encoder types of the two sensor families; nothing for others.
inline std::optional<SensorModel> sensorModelForEncoderType(unsigned char type) {
    if (type == 9) return SensorModel::MA600;
    if (type == 4) return SensorModel::MA702;
    return std::nullopt;
}

namespace detail {

inline constexpr std::chrono::milliseconds kReadPause{5};
inline constexpr std::chrono::milliseconds kWritePause{100};
inline constexpr std::chrono::milliseconds kStorePause{1000};

// Register writes are not acknowledged: their results are not looked at.
template <typename WriteRegister>
void writeAndPause(WriteRegister& write, Pacer& pacer, uint8_t reg, uint8_t value,
                   std::chrono::milliseconds pause = kWritePause) {
    write(reg, value);
    pacer.sleepFor(pause);
}

template <typename ReadAngle, typename WriteRegister>
class Routine {
public:
    Routine(ReadAngle& readAngle, WriteRegister& write, Pacer& pacer, float speed, RoutineOptions options,
            std::ostream& out)
        : readAngle_(readAngle), write_(write), pacer_(pacer), speed_(speed), options_(options), out_(out) {}

    ret_status_t run() {
        write(kBctRegister, 0);
        for (int k = 0; k < kCorrectionPoints; ++k) write(static_cast<uint8_t>(kFirstCorrectionRegister + k), 0);
        write(kTrimmingRegister, 1);  // first trimming flag on, second off

        if (!samplingPass()) return stopped();
        out_ << "Got sample points" << std::endl;
        const BctChoice bct = chooseBct(report("Current error is:", zeroMeanError(y_, x_, true)));
        if (bct.limitExceeded) out_ << "BCT limit Exceeded" << std::endl;
        write(kBctRegister, bct.value);

        if (!samplingPass()) return stopped();
        const std::vector<double> ez = zeroMeanError(y_, x_, false);
        report("Current error after BCT optimisation is:", ez);
        if (options_.model == SensorModel::MA702) {
            out_ << "Done." << std::endl;
            return RET_ERROR;
        }

        const HarmonicCorrection correction = harmonicCorrection(y_, ez);
        if (correction.outcome != CorrectionOutcome::Ready) {
            const bool noRevolution = correction.outcome == CorrectionOutcome::NoWholeRevolution;
            out_ << (noRevolution ? kNoWholeRevolutionLine : kUnusableAnglesLine) << std::endl;
            return RET_ERROR;
        }
        for (int k = 0; k < kCorrectionPoints; ++k) {
            write(static_cast<uint8_t>(kFirstCorrectionRegister + k), correction.bytes[static_cast<std::size_t>(k)]);
        }

        if (!samplingPass()) return stopped();
        report("Current error after BCT optimisation and Harmonic Compensation is:", zeroMeanError(y_, x_, true));
        out_ << "Saving configuration to MA600 IC." << std::endl;
        write(kStoreRegister, 0, kStorePause);
        write(kStoreRegister, 1);
        out_ << "Done." << std::endl;
        return RET_ERROR;
    }

private:
    void write(uint8_t reg, uint8_t value, std::chrono::milliseconds pause = kWritePause) {
        writeAndPause(write_, pacer_, reg, value, pause);
    }

    static double seconds(std::chrono::system_clock::time_point t) {
        return std::chrono::duration<double>(
                   std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()))
            .count();
    }

    // Fills y_ with angles and x_ with the ideal ramp from the first sample's
    // time. False when the reads kept failing (lastFailure_ says how).
    bool samplingPass() {
        y_.assign(kSamplesPerPass, 0.0);
        x_.assign(kSamplesPerPass, 0.0);
        int failuresInRow = 0;
        for (std::size_t i = 0; i < y_.size();) {
            const AngleReading reading = readAngle_();
            if (reading.status == RET_SUCCESS) {
                y_[i] = reading.degrees;
                x_[i] = static_cast<double>(speed_) * seconds(pacer_.now());
                if (i > 0) x_[i] = x_[i] - x_[0];
                ++i;
                failuresInRow = 0;
            } else {
                lastFailure_ = reading.status;
                ++failuresInRow;
            }
            pacer_.sleepFor(kReadPause);
            if (failuresInRow == kMaxConsecutiveFailedReads) return false;
        }
        x_[0] = 0;
        if (options_.unwrap) y_ = unwrapAngles(y_);
        return true;
    }

    ret_status_t stopped() {
        out_ << kPositionUnreadableLine << std::endl;
        return lastFailure_;
    }

    double report(const char* title, const std::vector<double>& ez) {
        const ErrorStatistics s = errorStatistics(ez);
        out_ << title << s.amplitude << " SD:" << s.sd << std::endl;
        return s.amplitude;
    }

    ReadAngle& readAngle_;
    WriteRegister& write_;
    Pacer& pacer_;
    const float speed_;
    const RoutineOptions options_;
    std::ostream& out_;
    std::vector<double> y_, x_;
    ret_status_t lastFailure_ = RET_TIMEOUT;
};

}  // namespace detail

// readAngle() -> AngleReading; write(uint8_t reg, uint8_t value).
// Returns RET_ERROR (1) when it has run to the end ("Done."), and also when
// pass 2 spans no whole revolution or gave angles that are not finite or out
// of range (one line says which; no correction written, nothing stored). A
// pass that meets kMaxConsecutiveFailedReads failed reads in a row prints one
// line, writes nothing further and returns the last read's status.
template <typename ReadAngle, typename WriteRegister>
ret_status_t runOffAxisCalibration(ReadAngle&& readAngle, WriteRegister&& write, Pacer& pacer, float speed,
                                   RoutineOptions options, std::ostream& out) {
    return detail::Routine<std::remove_reference_t<ReadAngle>, std::remove_reference_t<WriteRegister>>(
               readAngle, write, pacer, speed, options, out)
        .run();
}

// Clears BCT and trimming, and on the MA600 the 32 corrections, which it
// then has the sensor store. Returns RET_ERROR (1) after "Done.".
template <typename WriteRegister>
ret_status_t clearOffAxisCalibration(WriteRegister&& write, Pacer& pacer, SensorModel model, std::ostream& out) {
    using namespace detail;
    writeAndPause(write, pacer, kBctRegister, 0);
    writeAndPause(write, pacer, kTrimmingRegister, 0);
    if (model == SensorModel::MA600) {
        for (int k = 0; k < kCorrectionPoints; ++k) {
            writeAndPause(write, pacer, static_cast<uint8_t>(kFirstCorrectionRegister + k), 0);
        }
        writeAndPause(write, pacer, kStoreRegister, 0, kStorePause);
        writeAndPause(write, pacer, kStoreRegister, 1);
    }
    out << "Done." << std::endl;
    return RET_ERROR;
}

}  // namespace calibration
}  // namespace quorvel_detail

#endif
