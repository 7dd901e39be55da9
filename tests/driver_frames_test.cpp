// Exact request frames of every Driver operation, and the status checks
// that come before anything is sent.

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "device_request.hpp"
#include "driver.hpp"
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
    uint8_t commandId;
    uint8_t dlc;
    Bytes data;
};

struct ReadCase {
    std::string name;
    Operation call;
    uint8_t commandId;
};

// Independent of the library's identifier code: extended flag, remote flag,
// node id at bit 7, command id at bit 0.
uint32_t expectedId(uint8_t cmd, bool remote) {
    return 0x80000000u | (remote ? 0x40000000u : 0u) | (kNode << 7) | cmd;
}

const std::vector<WriteCase>& writeCases() {
    static const std::vector<WriteCase> cases = {
        {OP(setNodeId(0x01020304)), 9, 5, {0x04, 0x03, 0x02, 0x01}},
        {OP(setDCBusTripLevels(1.0f, 2.0f)), 11, 8, {0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x40}},
        {OP(enableBrakeResistor(0.5f)), 13, 8, {0x00, 0x00, 0x00, 0x3F, 0x01}},
        {OP(disableBrakeResistor()), 13, 5, {}},
        {OP(setRegenCurrentTripLevel(-1.5f)), 15, 4, {0x00, 0x00, 0xC0, 0xBF}},
        {OP(setMotorTorqueLimit(4.0f)), 50, 4, {0x00, 0x00, 0x80, 0x40}},
        {OP(setMotorParameters(7, 0x1234, 1.0f)), 17, 8, {0x07, 0x34, 0x12, 0x00, 0x00, 0x80, 0x3F, 0x00}},
        {OP(setMotorCalibrationParameters(2.0f, 0.5f)), 19, 8, {0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x3F}},
        {OP(setMotorPhaseParameters(0.125f, 3.0f)), 49, 8, {0x00, 0x00, 0x00, 0x3E, 0x00, 0x00, 0x40, 0x40}},
        {OP(setMotorType(0xAB)), 52, 1, {0xAB}},
        {OP(configureMotorEncoder(3, -2, true)), 21, 8, {0x03, 0xFE, 0xFF, 0xFF, 0xFF, 0x01}},
        {OP(configureOutputEncoder(4, 0x00010203, false)), 25, 8, {0x04, 0x03, 0x02, 0x01, 0x00, 0x02}},
        {OP(configureOutputEncoder(4, -1, true)), 25, 8, {0x04, 0xFF, 0xFF, 0xFF, 0xFF, 0x03}},
        {OP(disableOutputEncoder()), 25, 8, {}},
        {OP(setGearBoxParameters(16.0f)), 23, 8, {0x00, 0x00, 0x80, 0x41}},
        {OP(setMotorThermistorParameters(10.0f, 3950)), 38, 8, {0x00, 0x00, 0x20, 0x41, 0x6E, 0x0F}},
        {OP(enableMotorThermalLimit(80)), 39, 5, {0x50, 0x00, 0x01}},
        {OP(enableMotorThermalLimit(0xFFFF)), 39, 5, {0xFF, 0xFF, 0x01}},
        {OP(disableMotorThermalLimit()), 39, 5, {}},
        {OP(setPositionControllerGain(5.0f)), 27, 4, {0x00, 0x00, 0xA0, 0x40}},
        {OP(setVelocityControllerGains(1.0f, -2.0f)), 29, 8, {0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0xC0}},
        {OP(setCurrentControllerBandwidth(100.0f)), 31, 8, {0x00, 0x00, 0xC8, 0x42}},
        {OP(setMotorEncoderBandwidth(8.0f)), 34, 8, {0x00, 0x00, 0x00, 0x41}},
        {OP(setCurrentFilter(0.25f)), 41, 4, {0x00, 0x00, 0x80, 0x3E}},
        {OP(setEncoderDataFilter(0.5f)), 43, 4, {0x00, 0x00, 0x00, 0x3F}},
        {OP(setCurrentPositionAs(0.0f)), 6, 4, {}},
        {OP(setCurrentPositionAs(2.0f)), 6, 4, {0x00, 0x00, 0x00, 0x40}},
        {OP(setCurrentPositionToZero()), 36, 8, {}},
        {OP(setStartupConfigs(true, false, true)), 45, 1, {0x05}},
        {OP(setStartupConfigs(false, true, false)), 45, 1, {0x02}},
        {OP(runEncoderIndexSearch()), 54, 0, {}},
        {OP(runEncoderMatching()), 55, 0, {}},
        {OP(runCalibrationSequence()), 56, 0, {}},
        {OP(runEncoderCalibration()), 57, 0, {}},
        {OP(setCANBaudRate(CAN_BAUDRATE_500K)), 58, 4, {0x20, 0xA1, 0x07, 0x00}},
        {OP(setCANBaudRate(CAN_BAUDRATE_750K)), 58, 4, {0xB0, 0x71, 0x0B, 0x00}},
        {OP(setCANBaudRate(CAN_BAUDRATE_10K)), 58, 4, {0x10, 0x27, 0x00, 0x00}},
        {OP(rebootDriver()), 113, 0, {}},
        {OP(saveConfigurations()), 114, 0, {}},
        {OP(eraseConfigurations()), 115, 0, {}},
        {OP(enterDFUMode()), 127, 0, {}},
        {OP(setDeviceToIdle()), 7, 0, {}},
        {OP(setDeviceToActive()), 8, 0, {}},
        {OP(clearDriverErrors()), 111, 0, {}},
        {OP(setPositionControl(1.0f, 1.9f)), 97, 8, {0x00, 0x00, 0x80, 0x3F, 0x01, 0x00, 0x00, 0x00}},
        {OP(setPositionControl(-2.0f, -1.9f)), 97, 8, {0x00, 0x00, 0x00, 0xC0, 0xFF, 0xFF, 0x00, 0x00}},
        // Velocity control is the ramp frame with a zero ramp.
        {OP(setVelocityControl(2.0f)), 98, 8, {0x00, 0x00, 0x00, 0x40}},
        {OP(setVelocityRampControl(2.0f, 0.0f)), 98, 8, {0x00, 0x00, 0x00, 0x40}},
        {OP(setVelocityRampControl(2.0f, 0.5f)), 98, 8, {0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x3F}},
        {OP(setTorqueControl(1.0f, 2.0f)), 99, 8, {0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x40}},
        {OP(setPositionControlWithFeedForward(1.0f, 300.7f, 1.5f)), 100, 8,
         {0x00, 0x00, 0x80, 0x3F, 0x2C, 0x01, 0x96, 0x00}},
        {OP(setPositionControlWithFeedForward(1.0f, -300.7f, -1.5f)), 100, 8,
         {0x00, 0x00, 0x80, 0x3F, 0xD4, 0xFE, 0x6A, 0xFF}},
        {OP(setVelocityControlWithFeedForward(2.0f, 1.0f)), 101, 8, {0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x80, 0x3F}},
        {OP(setTrapezoidalTrajectoryControl(1.0f, 1000.9f, 2.5f, 0.7f)), 102, 8,
         {0x00, 0x00, 0x80, 0x3F, 0xE8, 0x03, 0x19, 0x07}},
        {OP(setScurveTrajectoryControl(1.0f, 1000.9f, 2.5f, 0.7f)), 103, 8,
         {0x00, 0x00, 0x80, 0x3F, 0xE8, 0x03, 0x19, 0x07}},
        // 0.25 / 0.001f and 1.0 / 0.001f fall just below 250 and 1000.
        {OP(setTorqueRampControl(1.0f, 0.25f, 7.9f)), 104, 8, {0x00, 0x00, 0x80, 0x3F, 0xF9, 0x00, 0x07, 0x00}},
        {OP(setTorqueRampControl(1.0f, 1.0f, 0.0f)), 104, 8, {0x00, 0x00, 0x80, 0x3F, 0xE7, 0x03, 0x00, 0x00}},
        {OP(setSensorlessVelocityControl(1.0f, 12.9f, 2.5f)), 105, 8, {0x00, 0x00, 0x80, 0x3F, 0x0C, 0x00, 0x19, 0x00}},
        {OP(setOpenLoopPositionControl(-1, 2, -3, 1.5f)), 106, 8, {0xFF, 0xFF, 0x02, 0x00, 0xFD, 0xFF, 0x0F, 0x00}},
        // A negative second argument must not spill into the fields above it.
        {OP(setOpenLoopVelocityControl(5, -2, 2.5f)), 107, 8, {0x05, 0x00, 0xFE, 0xFF, 0x19, 0x00, 0x00, 0x00}},
        {OP(setOpenLoopVelocityControl(-32768, -1, -2.5f)), 107, 8, {0x00, 0x80, 0xFF, 0xFF, 0xE7, 0xFF, 0x00, 0x00}},
    };
    return cases;
}

// Reads send a remote request of data length 8 without payload.
const std::vector<ReadCase>& readCases() {
    // Outputs outlive the calls (the reads run later).
    static float f1, f2, f3;
    static unsigned char b1, b2, b3, b4;
    static unsigned short s1;
    static unsigned int u;
    static int i;
    static bool x1, x2, x3;
    static std::string text;
    static CANBaudRate rate;
    static driver_error_t error;
    static const std::vector<ReadCase> cases = {
        {OP(getHardwareVersion(&b1, &b2, &b3, &b4)), 3}, {OP(getFirmwareVersion(&b1, &b2, &s1)), 4},
        {OP(getFirmwareCommit(&text)), 5}, {OP(getNodeId(&u)), 10},
        {OP(getDCBusTripLevels(&f1, &f2)), 12}, {OP(getBrakeResistorState(&x1, &f1, &x2, &x3)), 14},
        {OP(getRegenCurrentTripLevel(&f1)), 16}, {OP(getMotorTorqueLimit(&f1)), 51},
        {OP(getMotorParameters(&b1, &s1, &f1)), 18}, {OP(getMotorCalibrationParameters(&f1, &f2)), 20},
        {OP(getMotorPhaseParameters(&f1, &f2)), 85}, {OP(getMotorType(&b1)), 53},
        {OP(getMotorEncoderConfiguration(&b1, &i, &x1)), 22}, {OP(getOutputEncoderConfiguration(&b1, &i, &x1)), 26},
        {OP(getGearBoxParameters(&f1)), 24}, {OP(getMotorThermistorConfiguration(&x1, &f1, &s1, &b1, &b2)), 40},
        {OP(getPositionControllerGain(&f1)), 28}, {OP(getVelocityControllerGains(&f1, &f2)), 30},
        {OP(getCurrentControllerBandwidth(&f1)), 32}, {OP(getCurrentControllerGains(&f1, &f2)), 33},
        {OP(getMotorEncoderBandwidth(&f1)), 35}, {OP(getCurrentFilter(&f1)), 42},
        {OP(getEncoderDataFilter(&f1)), 44}, {OP(getZeroPosition(&f1)), 37},
        {OP(getStartupConfigs(&x1, &x2, &x3)), 46}, {OP(getCANBaudRate(&rate)), 59},
        {OP(getOutputPosition(&f1)), 60}, {OP(getOutputVelocity(&f1)), 61},
        {OP(getOutputAcceleration(&f1)), 62}, {OP(getOutputTorque(&f1)), 63},
        {OP(getMotorPosition(&f1)), 64}, {OP(getMotorVelocity(&f1)), 65},
        {OP(getMotorAcceleration(&f1)), 66}, {OP(getMotorTorque(&f1)), 67},
        {OP(getMotorTemperature(&f1)), 68}, {OP(getDriverTemperature(&f1)), 68},
        {OP(getMotorPhaseCurrents(&f1, &f2, &f3)), 69}, {OP(getBusVoltage(&f1)), 70},
        {OP(getBusCurrent(&f1)), 70}, {OP(getIdqCurrents(&f1, &f2)), 71},
        {OP(getBrakeCurrent(&f1)), 72}, {OP(getDCCalibPhaseCurrents(&f1, &f2, &f3)), 73},
        {OP(getHallEncoderState(&b1)), 74}, {OP(getControllerState(&b1)), 80},
        {OP(getMotorState(&x1, &x2)), 81}, {OP(getMotorEncoderState(&x1, &x2, &x3)), 82},
        {OP(getOutputEncoderState(&x1, &x2)), 83}, {OP(getTrajectoryDoneStatus(&x1)), 84},
        {OP(getMotorEncoderRawData(&i)), 86}, {OP(getOutputEncoderRawData(&i)), 87},
        {OP(getCANCommunicationStatus(&x1, &x2)), 88}, {OP(getControllerMode(&s1)), 89},
        {OP(getDriverFault(&u)), 95}, {OP(getErrorCode(&error)), 96},
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

// Every operation once, for the status checks (compound reads included).
std::vector<Operation> allOperations() {
    std::vector<Operation> ops{hallCounts, debugCodes, [](Driver& d) { return d.emergencyStop(); },
                               [](Driver& d) { return d.setCANBaudRate(static_cast<CANBaudRate>(9)); }};
    for (auto& c : writeCases()) ops.push_back(c.call);
    for (auto& c : readCases()) ops.push_back(c.call);
    return ops;
}

void expectFrame(const can_frame_data& f, uint8_t cmd, bool remote, uint8_t dlc, const Bytes& data) {
    EXPECT_EQ(f.can_id, expectedId(cmd, remote)) << describe(f);
    EXPECT_EQ(f.can_dlc, dlc) << describe(f);
    EXPECT_EQ(dataBytes(f), data) << describe(f);
}

class DriverFrames : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim.ready()); }

    // The frames one call sends.
    std::vector<can_frame_data> sentBy(const Operation& call) {
        sim.bus.clearSent();
        EXPECT_EQ(call(driver), RET_SUCCESS);
        return sim.bus.deviceFrames();
    }

    SimBus sim{kNode};
    Driver driver{kNode, &sim.bus};
};

TEST_F(DriverFrames, EveryCommandSendsItsFrame) {
    for (const WriteCase& c : writeCases()) {
        SCOPED_TRACE(c.name);
        const auto sent = sentBy(c.call);
        ASSERT_EQ(sent.size(), 1u);
        expectFrame(sent[0], c.commandId, false, c.dlc, c.data);
    }
}

TEST_F(DriverFrames, EveryReadSendsAnEmptyRemoteRequest) {
    // Eight zero bytes decode as any layout.
    for (const ReadCase& c : readCases()) sim.device.answer(c.commandId, SimReply{});
    for (const ReadCase& c : readCases()) {
        SCOPED_TRACE(c.name);
        const auto sent = sentBy(c.call);
        ASSERT_EQ(sent.size(), 1u);
        expectFrame(sent[0], c.commandId, true, 8, {});
    }
}

TEST_F(DriverFrames, CompoundReadsAndEmergencyStop) {
    for (uint8_t cmd : {75, 76, 110}) sim.device.answer(cmd, SimReply{});
    auto sent = sentBy(hallCounts);
    ASSERT_EQ(sent.size(), 2u);
    expectFrame(sent[0], 75, true, 8, {});
    expectFrame(sent[1], 76, true, 8, {});

    // Selectors one to six, as data frames.
    sent = sentBy(debugCodes);
    ASSERT_EQ(sent.size(), 6u);
    for (uint8_t k = 1; k <= 6; ++k) expectFrame(sent[k - 1], 110, false, 8, Bytes{k});

    // A remote frame that does not wait for a reply (a read would wait 200 ms).
    const auto start = std::chrono::steady_clock::now();
    sent = sentBy([](Driver& d) { return d.emergencyStop(); });
    EXPECT_LT(std::chrono::steady_clock::now() - start, Millis(180));
    ASSERT_EQ(sent.size(), 1u);
    expectFrame(sent[0], 126, true, 8, {});
}

TEST_F(DriverFrames, SetNodeIdKeepsAddressingTheOriginalNode) {
    ASSERT_EQ(driver.setNodeId(5), RET_SUCCESS);
    const auto sent = sentBy([](Driver& d) { return d.setDeviceToIdle(); });
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].can_id, expectedId(7, false));
    EXPECT_EQ(driver.getId(), kNode);
}

TEST_F(DriverFrames, BaudRateIndexOutsideTheTableIsRefusedUnsent) {
    EXPECT_EQ(driver.setCANBaudRate(static_cast<CANBaudRate>(-1)), RET_INVALID_ARGUMENT);
    EXPECT_EQ(driver.setCANBaudRate(static_cast<CANBaudRate>(9)), RET_INVALID_ARGUMENT);
    EXPECT_TRUE(sim.bus.deviceFrames().empty());
}

TEST_F(DriverFrames, FailedSendShowsAsNotRunningOnTheNextOperation) {
    sim.bus.setSendResult(false);
    EXPECT_EQ(driver.setDeviceToIdle(), RET_SUCCESS);  // the send result is not looked at
    EXPECT_FALSE(sim.bus.isRunning());
    EXPECT_EQ(driver.setDeviceToIdle(), RET_INTERFACE_NOT_RUNNING);
    float v = 7.0f;
    EXPECT_EQ(driver.getBusVoltage(&v), RET_INTERFACE_NOT_RUNNING);
    EXPECT_EQ(v, 7.0f);
    sim.bus.setSendResult(true);
    // The next master heartbeat makes the interface run again.
    waitUntil([&] { return sim.bus.isRunning(); }, Millis(2000));
    EXPECT_EQ(driver.setDeviceToIdle(), RET_SUCCESS);
}

// --- status checks: nothing is sent when one fails

TEST(DriverStatus, NotRunningGivesFiveAndAbsentNodeFourWithNothingSentOrWritten) {
    TestTransport bus;
    Driver driver(kNode, &bus);
    Driver unattached(kNode, nullptr);  // a null interface is never running
    EXPECT_FALSE(unattached.isConnected());
    for (auto& op : allOperations()) {
        EXPECT_EQ(op(driver), RET_INTERFACE_NOT_RUNNING);
        EXPECT_EQ(op(unattached), RET_INTERFACE_NOT_RUNNING);
    }
    EXPECT_TRUE(bus.deviceFrames().empty());
    // Outputs written whatever the status are untouched when a check fails.
    std::string commit = "keep";
    CANBaudRate rate = CAN_BAUDRATE_1M;
    driver_error_t error = static_cast<driver_error_t>(7);
    float a = 1.0f, b = 2.0f, c = 3.0f;
    unsigned char upper = 90, lower = 5;
    EXPECT_EQ(driver.getFirmwareCommit(&commit), RET_INTERFACE_NOT_RUNNING);
    EXPECT_EQ(driver.getCANBaudRate(&rate), RET_INTERFACE_NOT_RUNNING);
    EXPECT_EQ(driver.getErrorCode(&error), RET_INTERFACE_NOT_RUNNING);
    EXPECT_EQ(driver.getMotorPhaseCurrents(&a, &b, &c), RET_INTERFACE_NOT_RUNNING);
    EXPECT_EQ(driver.getMotorThermistorConfiguration(nullptr, nullptr, nullptr, &upper, &lower),
              RET_INTERFACE_NOT_RUNNING);
    EXPECT_EQ(std::tie(commit, rate, error, a, b, c, upper, lower),
              std::make_tuple("keep", CAN_BAUDRATE_1M, static_cast<driver_error_t>(7), 1.0f, 2.0f, 3.0f, 90, 5));

    SimBus sim(kNode);
    ASSERT_TRUE(sim.ready());
    Driver absent(kNode + 1, &sim.bus);  // no heartbeat from this node
    EXPECT_FALSE(absent.isConnected());
    for (auto& op : allOperations()) EXPECT_EQ(op(absent), RET_NOT_CONNECTED);
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
    EXPECT_EQ(driver.setCANBaudRate(static_cast<CANBaudRate>(9)), RET_INTERFACE_NOT_RUNNING);
    ASSERT_TRUE(startAndWaitRunning(bus));
    EXPECT_EQ(driver.setCANBaudRate(static_cast<CANBaudRate>(9)), RET_NOT_CONNECTED);
    EXPECT_TRUE(bus.deviceFrames().empty());
}

}  // namespace
