// Exact request frames of every Driver operation, and the status checks
// that come before anything is sent.

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "device/device_request.hpp"
#include "quorvel_transport/driver.hpp"
#include "driver_impl.hpp"
#include "sim_device.hpp"

using namespace qt_test;

namespace {

constexpr uint32_t kNode = 0x2A5;  // spans both identifier bytes of the node id

using Bytes = std::array<uint8_t, 8>;
using Operation = std::function<ret_status_t(Driver&)>;

// The call's own text names the table row.
#define OP(call) #call, [](Driver& d) { return d.call; }

struct WriteCase {
    std::string name;
    Operation call;
    uint8_t commandId, dlc;
    Bytes data;
};

// Independent of the library's identifier code: extended flag, remote flag,
// node id at bit 7, command id at bit 0.
uint32_t expectedId(uint8_t cmd, bool remote) {
    return 0x80000000u | (remote ? 0x40000000u : 0u) | (kNode << 7) | cmd;
}

const std::vector<WriteCase>& writeCases() {
    static const std::vector<WriteCase> cases = {
        {OP(setNodeId(0x01020304)), 9, 5, {4, 3, 2, 1}},
        {OP(setDCBusTripLevels(1.0f, 2.0f)), 11, 8, {0, 0, 0x80, 0x3F, 0, 0, 0, 0x40}},
        {OP(enableBrakeResistor(0.5f)), 13, 8, {0, 0, 0, 0x3F, 1}},
        {OP(disableBrakeResistor()), 13, 5, {}},
        {OP(setRegenCurrentTripLevel(-1.5f)), 15, 4, {0, 0, 0xC0, 0xBF}},
        {OP(setMotorTorqueLimit(4.0f)), 50, 4, {0, 0, 0x80, 0x40}},
        {OP(setMotorParameters(7, 0x1234, 1.0f)), 17, 8, {7, 0x34, 0x12, 0, 0, 0x80, 0x3F, 0}},
        {OP(setMotorCalibrationParameters(2.0f, 0.5f)), 19, 8, {0, 0, 0, 0x40, 0, 0, 0, 0x3F}},
        {OP(setMotorPhaseParameters(0.125f, 3.0f)), 49, 8, {0, 0, 0, 0x3E, 0, 0, 0x40, 0x40}},
        {OP(setMotorType(0xAB)), 52, 1, {0xAB}},
        {OP(configureMotorEncoder(3, -2, true)), 21, 8, {3, 0xFE, 0xFF, 0xFF, 0xFF, 1}},
        {OP(configureOutputEncoder(4, 0x00010203, false)), 25, 8, {4, 3, 2, 1, 0, 2}},
        {OP(configureOutputEncoder(4, -1, true)), 25, 8, {4, 0xFF, 0xFF, 0xFF, 0xFF, 3}},
        {OP(disableOutputEncoder()), 25, 8, {}},
        {OP(setGearBoxParameters(16.0f)), 23, 8, {0, 0, 0x80, 0x41}},
        {OP(setMotorThermistorParameters(10.0f, 3950)), 38, 8, {0, 0, 0x20, 0x41, 0x6E, 0x0F}},
        {OP(enableMotorThermalLimit(0xFFFF)), 39, 5, {0xFF, 0xFF, 1}},
        {OP(disableMotorThermalLimit()), 39, 5, {}},
        {OP(setPositionControllerGain(5.0f)), 27, 4, {0, 0, 0xA0, 0x40}},
        {OP(setVelocityControllerGains(1.0f, -2.0f)), 29, 8, {0, 0, 0x80, 0x3F, 0, 0, 0, 0xC0}},
        {OP(setCurrentControllerBandwidth(100.0f)), 31, 8, {0, 0, 0xC8, 0x42}},
        {OP(setMotorEncoderBandwidth(8.0f)), 34, 8, {0, 0, 0, 0x41}},
        {OP(setCurrentFilter(0.25f)), 41, 4, {0, 0, 0x80, 0x3E}},
        {OP(setEncoderDataFilter(0.5f)), 43, 4, {0, 0, 0, 0x3F}},
        {OP(setCurrentPositionAs(2.0f)), 6, 4, {0, 0, 0, 0x40}},
        {OP(setCurrentPositionToZero()), 36, 8, {}},
        {OP(setStartupConfigs(true, false, true)), 45, 1, {5}},
        {OP(runEncoderIndexSearch()), 54, 0, {}}, {OP(runEncoderMatching()), 55, 0, {}},
        {OP(runCalibrationSequence()), 56, 0, {}}, {OP(runEncoderCalibration()), 57, 0, {}},
        {OP(setCANBaudRate(CAN_BAUDRATE_750K)), 58, 4, {0xB0, 0x71, 0x0B, 0}},
        {OP(rebootDriver()), 113, 0, {}}, {OP(saveConfigurations()), 114, 0, {}},
        {OP(eraseConfigurations()), 115, 0, {}}, {OP(enterDFUMode()), 127, 0, {}},
        {OP(setDeviceToIdle()), 7, 0, {}}, {OP(setDeviceToActive()), 8, 0, {}},
        {OP(clearDriverErrors()), 111, 0, {}},
        // Scaled fields truncate toward zero.
        {OP(setPositionControl(1.0f, 1.9f)), 97, 8, {0, 0, 0x80, 0x3F, 1, 0, 0, 0}},
        {OP(setPositionControl(-2.0f, -1.9f)), 97, 8, {0, 0, 0, 0xC0, 0xFF, 0xFF, 0, 0}},
        {OP(setVelocityControl(2.0f)), 98, 8, {0, 0, 0, 0x40}},  // the ramp frame with a zero ramp
        {OP(setVelocityRampControl(2.0f, 0.5f)), 98, 8, {0, 0, 0, 0x40, 0, 0, 0, 0x3F}},
        {OP(setTorqueControl(1.0f, 2.0f)), 99, 8, {0, 0, 0x80, 0x3F, 0, 0, 0, 0x40}},
        {OP(setPositionControlWithFeedForward(1.0f, -300.7f, -1.5f)), 100, 8,
         {0, 0, 0x80, 0x3F, 0xD4, 0xFE, 0x6A, 0xFF}},
        {OP(setVelocityControlWithFeedForward(2.0f, 1.0f)), 101, 8, {0, 0, 0, 0x40, 0, 0, 0x80, 0x3F}},
        {OP(setTrapezoidalTrajectoryControl(1.0f, 1000.9f, 2.5f, 0.7f)), 102, 8, {0, 0, 0x80, 0x3F, 0xE8, 3, 0x19, 7}},
        {OP(setScurveTrajectoryControl(1.0f, 1000.9f, 2.5f, 0.7f)), 103, 8, {0, 0, 0x80, 0x3F, 0xE8, 3, 0x19, 7}},
        // 0.25 / 0.001f and 1.0 / 0.001f fall just below 250 and 1000.
        {OP(setTorqueRampControl(1.0f, 0.25f, 7.9f)), 104, 8, {0, 0, 0x80, 0x3F, 0xF9, 0, 7, 0}},
        {OP(setTorqueRampControl(1.0f, 1.0f, 0.0f)), 104, 8, {0, 0, 0x80, 0x3F, 0xE7, 3, 0, 0}},
        {OP(setSensorlessVelocityControl(1.0f, 12.9f, 2.5f)), 105, 8, {0, 0, 0x80, 0x3F, 0x0C, 0, 0x19, 0}},
        {OP(setOpenLoopPositionControl(-1, 2, -3, 1.5f)), 106, 8, {0xFF, 0xFF, 2, 0, 0xFD, 0xFF, 0x0F, 0}},
        // Negative fields must not spill into the ones above them.
        {OP(setOpenLoopVelocityControl(-32768, -1, -2.5f)), 107, 8, {0, 0x80, 0xFF, 0xFF, 0xE7, 0xFF, 0, 0}},
    };
    return cases;
}

ret_status_t hallCounts(Driver& d) {
    unsigned short c[8];
    return d.getHallEncoderStateCounts(&c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &c[6], &c[7]);
}

ret_status_t debugCodes(Driver& d) {
    unsigned long c[6];
    return d.getDebugErrorCode(&c[0], &c[1], &c[2], &c[3], &c[4], &c[5]);
}

ret_status_t badBaudRate(Driver& d) { return d.setCANBaudRate(static_cast<CANBaudRate>(9)); }

// Every command and the compound reads, for the status checks (the simple
// reads are checked beside their replies).
std::vector<Operation> allOperations() {
    std::vector<Operation> ops{hallCounts, debugCodes, badBaudRate, [](Driver& d) { return d.emergencyStop(); }};
    for (auto& c : writeCases()) ops.push_back(c.call);
    return ops;
}

class DriverFrames : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim.ready()); }

    // Checks that `call` succeeds and sends exactly `count` frames.
    std::vector<can_frame_data> sentBy(const Operation& call, size_t count = 1) {
        sim.bus.clearSent();
        EXPECT_EQ(call(driver), RET_SUCCESS);
        const auto sent = sim.bus.deviceFrames();
        EXPECT_EQ(sent.size(), count);
        return sent.size() == count ? sent : std::vector<can_frame_data>(count);
    }

    static void expectFrame(const can_frame_data& f, uint8_t cmd, bool remote, uint8_t dlc, const Bytes& data) {
        EXPECT_EQ(std::make_tuple(f.can_id, f.can_dlc, dataBytes(f)),
                  std::make_tuple(expectedId(cmd, remote), dlc, data))
            << describe(f);
    }

    SimBus sim{kNode};
    Driver driver{kNode, &sim.bus};
};

TEST_F(DriverFrames, EveryCommandSendsItsFrame) {
    for (const WriteCase& c : writeCases()) {
        SCOPED_TRACE(c.name);
        expectFrame(sentBy(c.call)[0], c.commandId, false, c.dlc, c.data);
    }
}

TEST_F(DriverFrames, CompoundReadsEmergencyStopAndSetNodeId) {
    for (uint8_t cmd : {75, 76, 110}) sim.device.answer(cmd, SimReply{});
    auto sent = sentBy(hallCounts, 2);
    expectFrame(sent[0], 75, true, 8, {});
    expectFrame(sent[1], 76, true, 8, {});
    sent = sentBy(debugCodes, 6);  // selectors one to six, as data frames
    for (uint8_t k = 1; k <= 6; ++k) expectFrame(sent[k - 1], 110, false, 8, Bytes{k});

    // A remote frame that does not wait for a reply (a read would wait 200 ms).
    const auto start = std::chrono::steady_clock::now();
    sent = sentBy([](Driver& d) { return d.emergencyStop(); });
    EXPECT_LT(std::chrono::steady_clock::now() - start, Millis(180));
    expectFrame(sent[0], 126, true, 8, {});

    // The object keeps addressing the node it was made for.
    ASSERT_EQ(driver.setNodeId(5), RET_SUCCESS);
    expectFrame(sentBy([](Driver& d) { return d.setDeviceToIdle(); })[0], 7, false, 0, {});
    EXPECT_EQ(driver.getId(), kNode);
}

TEST_F(DriverFrames, FailedSendShowsAsNotRunningUntilTheNextHeartbeat) {
    sim.bus.setSendResult(false);
    EXPECT_EQ(driver.setDeviceToIdle(), RET_SUCCESS);  // the send result is not looked at
    EXPECT_EQ(driver.setDeviceToIdle(), RET_INTERFACE_NOT_RUNNING);
    sim.bus.setSendResult(true);
    waitUntil([&] { return sim.bus.isRunning(); }, Millis(2000));
    EXPECT_EQ(driver.setDeviceToIdle(), RET_SUCCESS);
}

// --- status checks: nothing is sent when one fails (reads: beside their replies)

TEST(DriverStatus, NotRunningGivesFiveAndAbsentNodeFourWithNothingSent) {
    TestTransport bus;
    Driver driver(kNode, &bus);
    Driver unattached(kNode, nullptr);  // a null interface is never running
    EXPECT_FALSE(unattached.isConnected());
    for (auto& op : allOperations()) {
        EXPECT_EQ(op(driver), RET_INTERFACE_NOT_RUNNING);
        EXPECT_EQ(op(unattached), RET_INTERFACE_NOT_RUNNING);
    }
    float v = 4.0f;
    EXPECT_EQ(driver.getBusVoltage(&v), RET_INTERFACE_NOT_RUNNING);
    EXPECT_EQ(unattached.getBusVoltage(&v), RET_INTERFACE_NOT_RUNNING);
    EXPECT_EQ(v, 4.0f);
    EXPECT_TRUE(bus.deviceFrames().empty());

    SimBus sim(kNode);
    ASSERT_TRUE(sim.ready());
    Driver absent(kNode + 1, &sim.bus);  // no heartbeat from this node
    EXPECT_FALSE(absent.isConnected());
    for (auto& op : allOperations()) EXPECT_EQ(op(absent), RET_NOT_CONNECTED);
    Driver present(kNode, &sim.bus);
    EXPECT_EQ(present.setCANBaudRate(static_cast<CANBaudRate>(-1)), RET_INVALID_ARGUMENT);
    EXPECT_EQ(badBaudRate(present), RET_INVALID_ARGUMENT);
    EXPECT_TRUE(sim.bus.deviceFrames().empty());
}

TEST(DriverStatus, PrecedenceIsImplementationThenRunningThenConnectedThenArguments) {
    TestTransport bus;  // not started, node absent
    const quorvel_detail::DeviceLink<Driver::DriverImpl> link{nullptr, &bus, kNode};
    EXPECT_EQ(quorvel_detail::requestStatus(link), RET_ERROR);
    EXPECT_EQ(quorvel_detail::sendCommand(link, {7, quorvel_detail::FrameKind::Data, 0}), RET_ERROR);
    float v = 1.0f;
    EXPECT_EQ(quorvel_detail::readRemote<70>(link, &v, &v), RET_ERROR);

    Driver driver(kNode, &bus);
    EXPECT_EQ(badBaudRate(driver), RET_INTERFACE_NOT_RUNNING);
    ASSERT_TRUE(startAndWaitRunning(bus));
    EXPECT_EQ(badBaudRate(driver), RET_NOT_CONNECTED);
    EXPECT_TRUE(bus.deviceFrames().empty());
}

}  // namespace
