// The IMU against a simulated unit: exact frames of every command, every
// reply layout with its scaling and its outputs after a time-out, the log
// lines of the decoders, and construction.

#include <gtest/gtest.h>

#include <functional>
#include <iomanip>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "quorvel_transport/imu.hpp"
#include "sim_device.hpp"

using namespace qt_test;

namespace {

constexpr uint32_t kNode = 0x2A5;  // spans both identifier bytes of the node id

using Bytes = std::array<uint8_t, 8>;
using Operation = std::function<ret_status_t(IMU&)>;

// Independent of the library's identifier code.
uint32_t expectedId(uint8_t cmd, bool remote) {
    return 0x80000000u | (remote ? 0x40000000u : 0u) | (kNode << 7) | cmd;
}

#define OP(call) #call, [](IMU& m) { return m.call; }

struct CommandCase {
    std::string name;
    Operation call;
    uint8_t commandId;
    bool remote;
    uint8_t dlc;
    Bytes data;
};

const std::vector<CommandCase>& commandCases() {
    static const std::vector<CommandCase> cases = {
        {OP(enableRotationVector(500)), 63, false, 3, {1, 0xF4, 1}}, {OP(disableRotationVector()), 63, false, 3, {1}},
        {OP(enableRawAccelerometer(0xABCD)), 63, false, 3, {2, 0xCD, 0xAB}},
        {OP(disableRawAccelerometer()), 63, false, 8, {2}},
        {OP(enableRawGyro(1)), 63, false, 3, {3, 1}}, {OP(disableRawGyro()), 63, false, 8, {3}},
        {OP(enableRawMagnetometer(2)), 63, false, 3, {4, 2}}, {OP(disableRawMagnetometer()), 63, false, 8, {4}},
        {OP(enableLinearAccelerometer(3)), 63, false, 8, {5, 3}}, {OP(disableLinearAccelerometer()), 63, false, 8, {5}},
        {OP(enableAccelerometer(4)), 63, false, 8, {6, 4}}, {OP(disableAccelerometer()), 63, false, 8, {6}},
        {OP(enableGyro(10)), 63, false, 8, {7, 10}}, {OP(disableGyro()), 63, false, 8, {7}},
        {OP(enableMagnetometer(0xFFFF)), 63, false, 8, {8, 0xFF, 0xFF}}, {OP(disableMagnetometer()), 63, false, 8, {8}},
        {OP(enableUncalibratedGyro(5)), 63, false, 3, {9, 5}}, {OP(disableUncalibratedGyro()), 63, false, 8, {9}},
        {OP(enableGravity(6)), 63, false, 3, {10, 6}}, {OP(disableGravity()), 63, false, 8, {10}},
        {OP(setNodeId(5)), 9, false, 4, {5}},
        // Thousandths cut toward zero; negative components in two's complement.
        {OP(setOrientation(1.0f, 0.5f, 0.25f, 0.0f)), 64, false, 8, {0xE7, 3, 0xF3, 1, 0xF9}},
        {OP(setOrientation(-1.0f, -0.5f, 65.535f, -32.768f)), 64, false, 8,
         {0x19, 0xFC, 0x0D, 0xFE, 0xFF, 0xFF, 0, 0x80}},
        {OP(startCalibration(true, false, true, false)), 79, false, 1, {5}},
        {OP(startCalibration(false, false, false, true)), 79, false, 1, {8}},
        {OP(stopCalibration()), 80, false, 0, {}}, {OP(saveCalibration()), 81, false, 0, {}},
        {OP(clearDCD()), 82, false, 0, {}}, {OP(tareYaw()), 95, false, 0, {}},
        {OP(tareAll()), 96, false, 0, {}}, {OP(clearTare()), 97, false, 0, {}},
        {OP(rebootKelo()), 113, true, 0, {}}, {OP(saveConfigurations()), 114, false, 0, {}},
        {OP(eraseConfigurations()), 115, false, 0, {}}, {OP(enterDFUMode()), 127, false, 0, {}},
    };
    return cases;
}

// --- reads: each call's outputs start at 9 ("old" for text) and come back as text

using Reader = std::function<std::pair<ret_status_t, std::string>(IMU*)>;

template <typename T>
T initial() {
    if constexpr (std::is_same_v<T, std::string>) return "old";
    else return static_cast<T>(9);
}

// A byte as its number.
template <typename T>
const T& show(const T& value) {
    return value;
}
int show(unsigned char value) { return value; }

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
        std::apply([&](const T&... o) { ((text << sep << show(o), sep = " "), ...); }, outs);
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

class IMUTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim.ready()); }

    // Exactly one frame went out since the record was cleared.
    void expectSentOnly(uint8_t cmd, bool remote, uint8_t dlc, const Bytes& data) {
        const auto sent = sim.bus.deviceFrames();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(std::make_tuple(sent[0].can_id, sent[0].can_dlc, dataBytes(sent[0])),
                  std::make_tuple(expectedId(cmd, remote), dlc, data));
        sim.bus.clearSent();
    }

    void answer(uint8_t cmd, const Bytes& data) {
        SimReply r;
        r.data = data;
        sim.device.answer(cmd, r);
    }

    LogCapture log;  // outlives the objects that may write to it
    SimBus sim{kNode};
    IMU imu{kNode, &sim.bus};
    IMU absent{kNode + 1, &sim.bus};  // no heartbeat from this node
};

TEST_F(IMUTest, EveryCommandSendsItsFrame) {
    for (const CommandCase& c : commandCases()) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.call(absent), RET_NOT_CONNECTED);
        EXPECT_EQ(c.call(imu), RET_SUCCESS);
        expectSentOnly(c.commandId, c.remote, c.dlc, c.data);
    }
    EXPECT_EQ(imu.getId(), kNode);  // setNodeId does not readdress the object
}

TEST_F(IMUTest, EveryReadDecodesItsReplyAndWritesItsOutputsAfterATimeOut) {
    for (const ReadCase& c : readCases()) {
        SCOPED_TRACE(int(c.commandId));
        const std::string untouched = c.read(nullptr).second;
        EXPECT_EQ(c.read(&absent), std::pair(RET_NOT_CONNECTED, untouched));

        answer(c.commandId, c.reply);
        EXPECT_EQ(c.read(&imu), std::pair(RET_SUCCESS, c.decoded));
        expectSentOnly(c.commandId, c.remote, 8, Bytes{});

        sim.device.silence(c.commandId);
        EXPECT_EQ(c.read(&imu), std::pair(RET_TIMEOUT, c.afterTimeOut));
        expectSentOnly(c.commandId, c.remote, 8, Bytes{});
    }
}

TEST_F(IMUTest, AReplyUnderAnotherCommandIdIsIgnored) {
    // The request for 34 is answered under command id 33.
    sim.device.silence(34);
    sim.bus.addListener([&](const can_frame_data& f) {
        if (getCommandIdFromFrame(const_cast<can_frame_data*>(&f)) == 34) sim.bus.inject(makeFrame(kNode, 33, {1, 0, 2, 0, 3, 0}));
    });
    EXPECT_EQ(R(getRawGyroData)(&imu), std::pair(RET_TIMEOUT, std::string("9 9 9")));
}

// One line per decoded field; heartbeats write nothing, unknown ids one line.
TEST_F(IMUTest, LogLines) {
    imu.setOutputLogStream(&log);
    answer(36, {0x9C, 0xFF, 0x64, 0, 0, 0, 'A'});
    answer(5, {'a', 'b', 'c'});
    answer(44, {1});
    EXPECT_EQ(R(getLinearAccelerometerData)(&imu).first, RET_SUCCESS);
    EXPECT_EQ(R(getFirmwareCommit)(&imu).first, RET_SUCCESS);
    EXPECT_EQ(R(getCalibrationStatus)(&imu).first, RET_SUCCESS);
    sim.device.sendHeartbeat();
    sim.device.send(50, {});
    sim.device.send(63, {});  // frames are routed in order: the heartbeat went before
    ASSERT_TRUE(waitUntil([&] { return log.count("Unknown Command Id.\n") == 2; }));
    imu.setOutputLogStream(nullptr);
    const std::string done = "setting new data received as true\n";
    EXPECT_EQ(log.text(), "Pushed back data -100\nPushed back data 100\nPushed back data 0\nPushed back data A\n" +
                              done + "Pushed back string data: abc\n" + done + "Pushed back data 1\n" + done +
                              "Unknown Command Id.\nUnknown Command Id.\n");
}

TEST(IMUStatus, NotRunningGivesFiveWithNothingSent) {
    TestTransport bus;
    IMU imu(kNode, &bus);
    for (const CommandCase& c : commandCases()) EXPECT_EQ(c.call(imu), RET_INTERFACE_NOT_RUNNING) << c.name;
    for (const ReadCase& c : readCases()) {
        EXPECT_EQ(c.read(&imu), std::pair(RET_INTERFACE_NOT_RUNNING, c.read(nullptr).second));
    }
    EXPECT_TRUE(bus.deviceFrames().empty());
}

TEST(IMULifecycle, WithoutNodeIdThrowsAndRegistersNothing) {
    LogCapture busLog;
    TestTransport bus;
    bus.setOutputLogStream(&busLog);
    ASSERT_TRUE(startAndWaitRunning(bus));
    try {
        IMU imu(&bus);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "[FATAL ERROR] Kelo object is not created");
    }
    // Under the id it would have had, a new object is the first one.
    { IMU probe(0xFFFFFFFFu, &bus); }
    EXPECT_FALSE(busLog.contains("Device already exists"));

    SimBus sim(77);
    ASSERT_TRUE(sim.ready());
    IMU learned(&sim.bus);
    EXPECT_EQ(learned.getId(), 77u);
    EXPECT_TRUE(learned.isConnected());
}

}  // namespace
