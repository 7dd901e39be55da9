// The IMU against a simulated unit: exact frames of every command, every
// reply layout with its scaling and its outputs after a time-out, and
// construction.

#include <functional>
#include <iomanip>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "device_fixture.hpp"
#include "quorvel_transport/imu.hpp"

using namespace qt_test;

namespace {

using IMUTest = DeviceFixture<IMU>;

TEST_F(IMUTest, EveryCommandSendsItsFrame) {
    expectWrites({
        {QT_OP(enableRotationVector(500)), 63, 3, {1, 0xF4, 1}}, {QT_OP(disableRotationVector()), 63, 3, {1}},
        {QT_OP(enableRawAccelerometer(0xABCD)), 63, 3, {2, 0xCD, 0xAB}}, {QT_OP(disableRawAccelerometer()), 63, 8, {2}},
        {QT_OP(enableRawGyro(1)), 63, 3, {3, 1}}, {QT_OP(disableRawGyro()), 63, 8, {3}},
        {QT_OP(enableRawMagnetometer(2)), 63, 3, {4, 2}}, {QT_OP(disableRawMagnetometer()), 63, 8, {4}},
        {QT_OP(enableLinearAccelerometer(3)), 63, 8, {5, 3}}, {QT_OP(disableLinearAccelerometer()), 63, 8, {5}},
        {QT_OP(enableAccelerometer(4)), 63, 8, {6, 4}}, {QT_OP(disableAccelerometer()), 63, 8, {6}},
        {QT_OP(enableGyro(10)), 63, 8, {7, 10}}, {QT_OP(disableGyro()), 63, 8, {7}},
        {QT_OP(enableMagnetometer(0xFFFF)), 63, 8, {8, 0xFF, 0xFF}}, {QT_OP(disableMagnetometer()), 63, 8, {8}},
        {QT_OP(enableUncalibratedGyro(5)), 63, 3, {9, 5}}, {QT_OP(disableUncalibratedGyro()), 63, 8, {9}},
        {QT_OP(enableGravity(6)), 63, 3, {10, 6}}, {QT_OP(disableGravity()), 63, 8, {10}},
        {QT_OP(setNodeId(5)), 9, 4, {5}},
        // Thousandths cut toward zero; negative components in two's complement.
        {QT_OP(setOrientation(1.0f, 0.5f, 0.25f, 0.0f)), 64, 8, {0xE7, 3, 0xF3, 1, 0xF9}},
        {QT_OP(setOrientation(-1.0f, -0.5f, 65.535f, -32.768f)), 64, 8, {0x19, 0xFC, 0x0D, 0xFE, 0xFF, 0xFF, 0, 0x80}},
        {QT_OP(startCalibration(true, false, true, false)), 79, 1, {5}},
        {QT_OP(startCalibration(false, false, false, true)), 79, 1, {8}},
        {QT_OP(stopCalibration()), 80, 0, {}}, {QT_OP(saveCalibration()), 81, 0, {}},
        {QT_OP(clearDCD()), 82, 0, {}}, {QT_OP(tareYaw()), 95, 0, {}}, {QT_OP(tareAll()), 96, 0, {}},
        {QT_OP(clearTare()), 97, 0, {}}, {QT_OP(saveConfigurations()), 114, 0, {}},
        {QT_OP(eraseConfigurations()), 115, 0, {}}, {QT_OP(enterDFUMode()), 127, 0, {}},
    });
    expectFrame(sentBy([](IMU& m) { return m.rebootKelo(); })[0], 113, true, 0, {});
    EXPECT_EQ(device.getId(), kNode);  // setNodeId does not readdress the object
}

// --- reads: each call's outputs start at 9 ("old" for text) and come back as text

using Reader = std::function<std::pair<ret_status_t, std::string>(IMU*)>;

template <typename T>
auto number(const T& value) {
    if constexpr (std::is_same_v<T, unsigned char>) return int(value);
    else return value;
}

template <typename T>
T initial() {
    if constexpr (std::is_same_v<T, std::string>) return "old";
    else return static_cast<T>(9);
}

// Without an object the outputs are shown as they start.
template <typename... T>
Reader reader(ret_status_t (IMU::*read)(T*...)) {
    return [read](IMU* imu) {
        std::tuple<T...> outs{initial<T>()...};
        ret_status_t status = RET_SUCCESS;
        if (imu != nullptr) status = std::apply([&](T&... o) { return (imu->*read)(&o...); }, outs);
        std::ostringstream text;
        text << std::setprecision(9);
        const char* sep = "";
        // A byte as its number.
        std::apply([&](const T&... o) { ((text << sep << number(o), sep = " "), ...); }, outs);
        return std::pair(status, text.str());
    };
}

struct ReadCase {
    uint8_t commandId;
    bool remote;
    Reader read;
    Bytes reply;
    std::string decoded, afterTimeOut;
};

#define R(read) reader(&IMU::read)

const std::vector<ReadCase>& readCases() {
    static const std::vector<ReadCase> cases = {
        {3, true, R(getHardwareVersion), {1, 2, 3, 0xFF, 0xEE}, "1 2 3 255", "9 9 9 9"},
        {4, true, R(getFirmwareVersion), {5, 6, 0x34, 0x12, 0xEE}, "5 6 4660", "9 9 9"},
        {5, true, R(getFirmwareCommit), {'a', 'b', 'c', 0, 'd', 'e', 'f', 'g'}, "abc", "old"},
        {5, true, R(getFirmwareCommit), {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'}, "abcdefgh", "old"},
        {10, true, R(getNodeId), {0x78, 0x56, 0x34, 0x12, 0xEE}, "305419896", "9"},
        {33, true, R(getRawAccelerometerData), {0x18, 0xFC, 0xE8, 3, 0, 0x80, 0xEE}, "-1000 1000 -32768", "9 9 9"},
        {34, true, R(getRawGyroData), {0xFF, 0xFF, 1}, "-1 1 0", "9 9 9"},
        {35, true, R(getRawMagnetometerData), {0xFF, 0x7F, 2}, "32767 2 0", "9 9 9"},
        {44, true, R(getCalibrationStatus), {0xFE, 0xFF}, "0", "1"},  // one bit
        {44, true, R(getCalibrationStatus), {1}, "1", "1"},
        // Single-precision products: 0.001f * 10 and 0.01f * 10 are not 10 / 1000 and 10 / 100.
        {32, false, R(getRotationVectorData), {0x18, 0xFC, 0xE8, 3, 0, 0, 10, 0}, "-1 1 0 0.0100000007", "0 0 0 0"},
        {45, false, R(getRotationVectorAccuracy), {0xF4, 1, 'A', 0xEE}, "0.5 65", "0 0"},
        {36, true, R(getLinearAccelerometerData), {0x9C, 0xFF, 0x64, 0, 0, 0, 3, 0}, "-1 1 0 3", "0 0 0 0"},
        {37, true, R(getAccelerometerData), {10, 0, 0x38, 0xFF, 0xC8, 0, 0xFF}, "0.099999994 -2 2 255", "0 0 0 0"},
        {38, true, R(getGyroData), {0x32, 0, 0, 0x80, 0xFF, 0x7F, 7}, "0.5 -327.679993 327.669983 7", "0 0 0 0"},
        {41, true, R(getMagnetometerData), {0x9C, 0xFF, 0, 0, 0, 0, 1}, "-1 0 0 1", "0 0 0 0"},
        {39, true, R(getUncalibratedGyroData), {0x18, 0xFC, 0xF4, 1, 10, 0}, "-1 0.5 0.0100000007", "0 0 0"},
        {40, true, R(getUncalibratedGyroBiasData), {0, 0x80, 0xE8, 3}, "-32.7680016 1 0", "0 0 0"},
        {42, true, R(getEulerAngles), {0x38, 0xFF, 0x64, 0, 0x32, 0}, "-2 1 0.5", "0 0 0"},
        // The byte after the three values reaches nothing.
        {43, true, R(getGravityData), {0x18, 0xFC, 0xE8, 3, 0xF4, 1, 0xFF}, "-1 1 0.5", "0 0 0"},
    };
    return cases;
}

TEST_F(IMUTest, EveryReadDecodesItsReplyAndWritesItsOutputsAfterATimeOut) {
    for (const ReadCase& c : readCases()) {
        SCOPED_TRACE(int(c.commandId));
        EXPECT_EQ(c.read(&absent), std::pair(RET_NOT_CONNECTED, c.read(nullptr).second));
        for (bool answered : {true, false}) {
            answered ? reply(c.commandId, c.reply) : sim.device.silence(c.commandId);
            sim.bus.clearSent();
            EXPECT_EQ(c.read(&device), answered ? std::pair(RET_SUCCESS, c.decoded) : std::pair(RET_TIMEOUT, c.afterTimeOut));
            const auto sent = sim.bus.deviceFrames();
            ASSERT_EQ(sent.size(), 1u);
            expectFrame(sent[0], c.commandId, c.remote, 8, {});
        }
    }
}

// A failed construction leaves nothing registered under the id it would have had.
TEST_F(IMUTest, WithoutNodeIdTakesTheHeartbeatsOrThrowsAndRegistersNothing) {
    IMU learned(&sim.bus);
    EXPECT_EQ(learned.getId(), kNode);
    TestTransport silent;
    silent.setOutputLogStream(&log);
    ASSERT_TRUE(startAndWaitRunning(silent));
    try {
        IMU imu(&silent);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "[FATAL ERROR] Kelo object is not created");
    }
    { IMU probe(0xFFFFFFFFu, &silent); }
    EXPECT_FALSE(log.contains("Device already exists"));
}

}  // namespace
