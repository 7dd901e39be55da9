// The off-axis calibration routine in virtual time, first over a bare angle
// source and register writer, then through Driver against a simulated
// driver whose sensor angle follows the clock; the sensor register frames;
// one real-time run.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <iostream>
#include <optional>
#include <regex>
#include <sstream>
#include <tuple>

#include "calibration/off_axis_calibration.hpp"
#include "device_access.hpp"
#include "driver_impl.hpp"
#include "vinrel_impl.hpp"
#include "sim_device.hpp"

using namespace qt_test;
using namespace quorvel_detail::calibration;
using Writes = std::vector<std::pair<int, int>>;
using Lines = std::vector<std::string>;

namespace {

constexpr uint32_t kNode = 0x1B3;
constexpr double kCount = 360.0 / 4096;

double seconds(VirtualPacer& pacer) { return std::chrono::duration<double>(pacer.now().time_since_epoch()).count(); }

// A sensor on a shaft turning at `speed` from `start` degrees. It reports y
// with y = shaft angle + error(y): a small harmonic error, plus a 15 degree
// one until register 2 holds 86 (the BCT value for that amplitude).
struct SimSensor {
    double start = 100, speed = 720, bctError = 15;
    std::array<uint8_t, 256> reg{};
    Writes writes;

    static double harmonic(double y) {
        const double t = y * 3.14 / 180;
        return 0.6 * std::sin(t) - 0.4 * std::cos(t) + 0.3 * std::sin(2 * t) + 0.2 * std::cos(4 * t) -
               0.1 * std::sin(8 * t);
    }
    double error(double y) const { return harmonic(y) + (reg[2] == 86 ? 0 : bctError * std::sin(y * 3.14 / 180)); }
    double angleAt(double t) const {
        double y = start + speed * t;
        for (int i = 0; i < 100; ++i) y = start + speed * t + error(y);  // a contraction: the error's slope is below 1
        return y;
    }
    void write(int r, int v) { writes.push_back({r, reg[r] = static_cast<uint8_t>(v)}); }
};

// `head`, a zero into each of the 32 correction registers, `tail`.
Writes zeroingCorrections(Writes head, const Writes& tail) {
    for (int r = 32; r < 64; ++r) head.push_back({r, 0});
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// The printed lines, with the figures of the error lines as "#".
Lines splitLines(const std::string& text) {
    Lines lines;
    std::istringstream in(text);
    const std::regex figures(":\\S+ SD:\\S+$");
    for (std::string l; std::getline(in, l);) lines.push_back(std::regex_replace(l, figures, ":# SD:#"));
    return lines;
}

// A whole MA600 run: the reset, BCT 86, 32 correction bytes that cancel the
// sensor's harmonic error averaged over the whole revolutions of pass 2
// within a count, the store. In virtual time pass 2 starts after 6 s, at 4420
// degrees, and ends near 6216: revolutions 13 to 16.
void expectCalibrated(const Writes& writes) {
    ASSERT_EQ(writes.size(), 69u);
    EXPECT_EQ(Writes(writes.begin(), writes.begin() + 35), zeroingCorrections({{2, 0}}, {{3, 1}, {2, 86}}));
    for (int k = 0; k < 32; ++k) {
        EXPECT_EQ(writes[35 + k].first, 32 + k);
        double error = 0;
        for (int rev = 13; rev <= 16; ++rev) error += SimSensor::harmonic(360.0 * rev + 11.25 * k) / 4;
        // Bytes are truncated, so they lie up to one count below the ideal.
        const double shortfall = static_cast<int8_t>(writes[35 + k].second) + error / kCount;
        EXPECT_TRUE(shortfall > -1.05 && shortfall < 0.05) << k << ": " << shortfall;
    }
    EXPECT_EQ(Writes(writes.end() - 2, writes.end()), (Writes{{234, 0}, {234, 1}}));
}

const Lines kMA600Lines = {"Got sample points", "Current error is:# SD:#",
                           "Current error after BCT optimisation is:# SD:#",
                           "Current error after BCT optimisation and Harmonic Compensation is:# SD:#",
                           "Saving configuration to MA600 IC.", "Done."};

// --- the routine over a bare source and writer --------------------------

using StatusOf = std::function<ret_status_t(int)>;
using Reported = std::function<double(int, double)>;

// Read n fails from read `first` on with `status`.
StatusOf failingFrom(int first, ret_status_t status) { return [=](int n) { return n < first ? RET_SUCCESS : status; }; }

// Empty functions: every read succeeds and reports the sensor's angle.
struct RoutineRun {
    StatusOf statusOf;
    Reported reported;
    VirtualPacer pacer{};
    SimSensor sensor{};
    std::ostringstream out{};
    int reads = 0;

    AngleReading read() {
        const int n = reads++;
        const double y = sensor.angleAt(seconds(pacer));
        return {statusOf ? statusOf(n) : RET_SUCCESS, reported ? reported(n, y) : y};
    }
    ret_status_t run(float speed = 720) {
        return runOffAxisCalibration([this] { return read(); }, [this](uint8_t r, uint8_t v) { sensor.write(r, v); },
                                     pacer, speed, {SensorModel::MA600, false}, out);
    }
};

// 68 writes of 100 ms, one of 1000 ms, 1500 reads of 5 ms; 99 failed reads
// in a row are retried, each after its pause.
TEST(OffAxisRoutine, PausesAndRetriedReads) {
    RoutineRun plain, retried{[](int n) { return n < 99 ? RET_TIMEOUT : RET_SUCCESS; }, {}};
    EXPECT_EQ(plain.run(), RET_ERROR);
    EXPECT_EQ(retried.run(), RET_ERROR);
    EXPECT_EQ(retried.sensor.writes.size(), 69u);
    EXPECT_EQ(plain.pacer.slept(), std::chrono::milliseconds(6800 + 1000 + 7500));
    EXPECT_EQ(retried.pacer.slept(), plain.pacer.slept() + std::chrono::milliseconds(99 * 5));
}

// 100 failed reads in a row, or a second pass without a whole revolution or
// with values that are not finite: one line, no corrections, nothing stored.
TEST(OffAxisRoutine, StopsEarly) {
    const struct {
        const char* name; StatusOf statusOf; Reported reported; float speed;
        ret_status_t result; size_t writes; const char* line;
    } cases[] = {
        {"silent", failingFrom(0, RET_TIMEOUT), {}, 720, RET_TIMEOUT, 34, kPositionUnreadableLine},
        {"disconnected", failingFrom(500, RET_NOT_CONNECTED), {}, 720, RET_NOT_CONNECTED, 35, kPositionUnreadableLine},
        {"stopped in pass 3", failingFrom(1000, RET_INTERFACE_NOT_RUNNING), {}, 720, RET_INTERFACE_NOT_RUNNING, 67,
         kPositionUnreadableLine},
        {"wrapping", {}, [](int, double y) { return std::fmod(y, 360.0); }, 720, RET_ERROR, 35, kNoWholeRevolutionLine},
        {"standing still", {}, [](int, double) { return 100.0; }, 720, RET_ERROR, 35, kNoWholeRevolutionLine},
        {"NaN angle", {}, [](int n, double y) { return n == 700 ? std::nan("") : y; }, 720, RET_ERROR, 35,
         kUnusableAnglesLine},
        {"NaN speed", {}, {}, std::nanf(""), RET_ERROR, 35, kUnusableAnglesLine},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RoutineRun r{c.statusOf, c.reported};
        EXPECT_EQ(r.run(c.speed), c.result);
        EXPECT_EQ(r.sensor.writes.size(), c.writes);
        const Lines lines = splitLines(r.out.str());
        EXPECT_EQ(lines.back(), c.line);
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "Done."), 0);
    }
}

// --- through the device classes against a simulated device ---------------

// The device's register writes (command `writeCmd`) land in `sensor`; its
// routines run in virtual time and print into `printed`.
template <typename Device>
class OnSimBus : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim.ready()); }
    void TearDown() override { std::cout.rdbuf(coutBuffer); }

    // Answers `cmd` with the sensor's angle at the clock in `unit`s, wrapped
    // at `wrap` units when that is set.
    void position(uint8_t cmd, double unit, double wrap = 0) {
        sim.device.answer(cmd, [this, unit, wrap](const can_frame_data&) {
            const double y = sensor.angleAt(clock()) / unit;
            return Payload().put(static_cast<float>(wrap > 0 ? std::fmod(y, wrap) : y)).reply();
        });
    }
    Lines lines() const { return splitLines(printed.str()); }

    VirtualPacer pacer;
    SimSensor sensor;
    std::function<double()> clock = [this] { return seconds(pacer); };
    std::ostringstream printed;
    std::streambuf* coutBuffer = std::cout.rdbuf(printed.rdbuf());
    SimBus sim{kNode};
    Device device{kNode, &sim.bus};
    std::optional<PacedBy<Device>> paced{std::in_place, device, pacer};
};

class DriverCalibration : public OnSimBus<Driver> {
protected:
    void SetUp() override {
        OnSimBus::SetUp();
        sim.device.answer(47, [this](can_frame_data f) {
            selectors.push_back(f.data[0] & 1);
            sensor.write(canGetSignal<uint8_t>(f, 1, 8, true), canGetSignal<uint8_t>(f, 9, 8, true));
            return std::optional<SimReply>();
        });
    }
    void encoderType(uint8_t cmd, uint8_t type) {
        sim.device.answer(cmd, Payload().put<uint8_t>(type).put<int>(4096).putBool(false).reply());
    }

    std::vector<int> selectors;
};

TEST_F(DriverCalibration, SensorRegisterFrames) {
    EXPECT_EQ(device.setMAxxxSPIRegister(true, 32, 200), RET_SUCCESS);
    expectSameFrame(sim.bus.deviceFrames().back(), makeFrame(kNode, 47, {0x41, 0x90, 0x01}, 3));
    device.setMAxxxBCTValue(true, 86);
    device.setMAxxxFilterWindow(false, 9);
    for (int bits = 0; bits < 4; ++bits) device.setMAxxxTrimmingSettings(false, bits & 1, bits >> 1);
    EXPECT_EQ(sensor.writes, (Writes{{32, 200}, {2, 86}, {14, 9}, {3, 0}, {3, 1}, {3, 2}, {3, 3}}));
    EXPECT_EQ(selectors, (std::vector<int>{1, 1, 0, 0, 0, 0, 0}));

    // The reply carries the register number + 100 and a set flag.
    sim.device.answer(48, [](can_frame_data f) {
        return Payload().put(static_cast<uint8_t>(canGetSignal<uint8_t>(f, 1, 8, true) + 100)).putBool(true).reply();
    });
    unsigned char value = 0;
    bool flag = false, first = true, second = false;
    EXPECT_EQ(device.getMAxxxFilterWindow(false, &value, &flag), RET_SUCCESS);
    expectSameFrame(sim.bus.deviceFrames().back(), makeFrame(kNode, 48, {0x1C, 0x00}, 2));
    EXPECT_EQ(std::make_pair(int(value), flag), std::make_pair(114, true));
    EXPECT_EQ(device.getMAxxxBCTValue(true, &value, &flag), RET_SUCCESS);
    EXPECT_EQ(value, 102);

    sim.device.answer(48, Payload().put<uint8_t>(0xFE).putBool(false).reply());  // bit 0 clear, bit 1 set
    EXPECT_EQ(device.getMAxxxTrimmingSettings(true, &first, &second, &flag), RET_SUCCESS);
    EXPECT_EQ(std::make_tuple(first, second, flag), std::make_tuple(false, true, false));
    first = second = flag = true;
    sim.device.silence(48);
    EXPECT_EQ(device.getMAxxxTrimmingSettings(true, &first, &second, &flag), RET_TIMEOUT);
    EXPECT_EQ(std::make_tuple(first, second, flag), std::make_tuple(false, false, true));
}

TEST_F(DriverCalibration, MA600OnTheMotorEncoder) {
    encoderType(22, 9);
    position(64, 360.0);  // the motor position is in revolutions
    EXPECT_EQ(device.runMAxxxOffAxisCalibration(false, 720), RET_ERROR);
    expectCalibrated(sensor.writes);
    EXPECT_EQ(std::count(selectors.begin(), selectors.end(), 0), 69);
    EXPECT_EQ(lines(), kMA600Lines);
}

// An incompatible or unreadable type writes nothing and does not pause.
TEST_F(DriverCalibration, ClearsByTypeAndRefusesOthers) {
    encoderType(22, 7);
    EXPECT_EQ(device.runMAxxxOffAxisCalibration(false, 720), RET_ERROR);
    EXPECT_EQ(device.clearMAxxxOffAxisCalibration(true), RET_ERROR);  // type read times out
    encoderType(22, 4);
    EXPECT_EQ(device.clearMAxxxOffAxisCalibration(false), RET_ERROR);
    EXPECT_EQ(sensor.writes, (Writes{{2, 0}, {3, 0}}));
    EXPECT_EQ(pacer.slept(), std::chrono::milliseconds(200));
    encoderType(26, 9);
    EXPECT_EQ(device.clearMAxxxOffAxisCalibration(true), RET_ERROR);
    EXPECT_EQ(sensor.writes, zeroingCorrections({{2, 0}, {3, 0}, {2, 0}, {3, 0}}, {{234, 0}, {234, 1}}));
    EXPECT_EQ(pacer.slept(), std::chrono::milliseconds(200 + 200 + 3200 + 1000 + 100));
    EXPECT_EQ(lines(), (Lines{kIncompatibleEncoderLine, kIncompatibleEncoderLine, "Done.", "Done."}));
}

// In real time, the MA702 path on the output encoder (degrees as reported):
// pass 1 above 42 degrees, BCT 207, and no harmonic stage.
TEST_F(DriverCalibration, MA702OnTheOutputEncoderInRealTime) {
    paced.reset();
    const auto begin = std::chrono::steady_clock::now();
    clock = [begin] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count(); };
    sensor.bctError = 45;
    encoderType(26, 4);
    position(60, 1.0);
    EXPECT_EQ(device.runMAxxxOffAxisCalibration(true, 720), RET_ERROR);
    const auto took = std::chrono::steady_clock::now() - begin;
    // 35 writes of 100 ms and 1000 reads of 5 ms at least.
    EXPECT_GE(took, std::chrono::milliseconds(8500));
    EXPECT_LT(took, std::chrono::seconds(60));
    EXPECT_EQ(sensor.writes, zeroingCorrections({{2, 0}}, {{3, 1}, {2, 207}}));
    EXPECT_EQ(std::count(selectors.begin(), selectors.end(), 1), 35);
    EXPECT_EQ(lines(), (Lines{"Got sample points", "Current error is:# SD:#", "BCT limit Exceeded",
                              "Current error after BCT optimisation is:# SD:#", "Done."}));
}

// The module's angle wraps at 360 and its sensor is taken as an MA600
// without asking: every write goes out as command 19, the corrections cancel.
using VinrelCalibration = OnSimBus<Vinrel>;
TEST_F(VinrelCalibration, ItsWrappingSensorAsAnMA600ThroughCommand19) {
    sim.device.answer(19, [this](can_frame_data f) {
        sensor.write(f.data[0], f.data[1]);
        return std::optional<SimReply>();
    });
    position(50, 1.0, 360.0);
    EXPECT_EQ(device.runMAxxxOffAxisCalibration(720), RET_ERROR);
    expectCalibrated(sensor.writes);
    EXPECT_EQ(sim.bus.deviceFrames().size(), 69u + 1500u);  // no type read: only writes and angle reads
    EXPECT_EQ(lines(), kMA600Lines);
}

}  // namespace
