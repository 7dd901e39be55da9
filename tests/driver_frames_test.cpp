// Exact request frames of every Driver operation, and the status checks
// that come before anything is sent.

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "device_request.hpp"
#include "driver.hpp"
#include "driver_impl.hpp"
#include "sim_device.hpp"

using namespace qt_test;

namespace {

constexpr uint32_t kNode = 0x2A5;  // spans both identifier bytes of the node id

using Bytes = std::array<uint8_t, 8>;

struct FrameCase {
    std::string name;
    std::function<ret_status_t(Driver&)> call;
    uint8_t commandId;
    bool remote;
    uint8_t dlc;
    Bytes data;
};

// Independent of the library's identifier code: extended flag, remote flag,
// node id at bit 7, command id at bit 0.
uint32_t expectedId(uint32_t node, uint8_t cmd, bool remote) {
    return 0x80000000u | (remote ? 0x40000000u : 0u) | (node << 7) | cmd;
}

FrameCase write(std::string name, std::function<ret_status_t(Driver&)> call, uint8_t cmd, uint8_t dlc, Bytes data) {
    return {std::move(name), std::move(call), cmd, false, dlc, data};
}

// Reads send a remote request of data length 8 without payload.
FrameCase read(std::string name, std::function<ret_status_t(Driver&)> call, uint8_t cmd) {
    return {std::move(name), std::move(call), cmd, true, 8, Bytes{}};
}

std::vector<FrameCase> writeCases() {
    return {
        write("setNodeId", [](Driver& d) { return d.setNodeId(0x01020304); }, 9, 5, {0x04, 0x03, 0x02, 0x01}),
        write("setDCBusTripLevels", [](Driver& d) { return d.setDCBusTripLevels(1.0f, 2.0f); }, 11, 8,
              {0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x40}),
        write("enableBrakeResistor", [](Driver& d) { return d.enableBrakeResistor(0.5f); }, 13, 8,
              {0x00, 0x00, 0x00, 0x3F, 0x01}),
        write("disableBrakeResistor", [](Driver& d) { return d.disableBrakeResistor(); }, 13, 5, {}),
        write("setRegenCurrentTripLevel", [](Driver& d) { return d.setRegenCurrentTripLevel(-1.5f); }, 15, 4,
              {0x00, 0x00, 0xC0, 0xBF}),
        write("setMotorTorqueLimit", [](Driver& d) { return d.setMotorTorqueLimit(4.0f); }, 50, 4,
              {0x00, 0x00, 0x80, 0x40}),
        write("setMotorParameters", [](Driver& d) { return d.setMotorParameters(7, 0x1234, 1.0f); }, 17, 8,
              {0x07, 0x34, 0x12, 0x00, 0x00, 0x80, 0x3F, 0x00}),
        write("setMotorCalibrationParameters",
              [](Driver& d) { return d.setMotorCalibrationParameters(2.0f, 0.5f); }, 19, 8,
              {0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x3F}),
        write("setMotorPhaseParameters", [](Driver& d) { return d.setMotorPhaseParameters(0.125f, 3.0f); }, 49, 8,
              {0x00, 0x00, 0x00, 0x3E, 0x00, 0x00, 0x40, 0x40}),
        write("setMotorType", [](Driver& d) { return d.setMotorType(0xAB); }, 52, 1, {0xAB}),
        write("configureMotorEncoder", [](Driver& d) { return d.configureMotorEncoder(3, -2, true); }, 21, 8,
              {0x03, 0xFE, 0xFF, 0xFF, 0xFF, 0x01}),
        write("configureOutputEncoder", [](Driver& d) { return d.configureOutputEncoder(4, 0x00010203, false); },
              25, 8, {0x04, 0x03, 0x02, 0x01, 0x00, 0x02}),
        write("configureOutputEncoder index", [](Driver& d) { return d.configureOutputEncoder(4, -1, true); }, 25,
              8, {0x04, 0xFF, 0xFF, 0xFF, 0xFF, 0x03}),
        write("disableOutputEncoder", [](Driver& d) { return d.disableOutputEncoder(); }, 25, 8, {}),
        write("setGearBoxParameters", [](Driver& d) { return d.setGearBoxParameters(16.0f); }, 23, 8,
              {0x00, 0x00, 0x80, 0x41}),
        write("setMotorThermistorParameters",
              [](Driver& d) { return d.setMotorThermistorParameters(10.0f, 3950); }, 38, 8,
              {0x00, 0x00, 0x20, 0x41, 0x6E, 0x0F}),
        write("enableMotorThermalLimit", [](Driver& d) { return d.enableMotorThermalLimit(80); }, 39, 5,
              {0x50, 0x00, 0x01}),
        write("enableMotorThermalLimit wide", [](Driver& d) { return d.enableMotorThermalLimit(0xFFFF); }, 39, 5,
              {0xFF, 0xFF, 0x01}),
        write("disableMotorThermalLimit", [](Driver& d) { return d.disableMotorThermalLimit(); }, 39, 5, {}),
        write("setPositionControllerGain", [](Driver& d) { return d.setPositionControllerGain(5.0f); }, 27, 4,
              {0x00, 0x00, 0xA0, 0x40}),
        write("setVelocityControllerGains", [](Driver& d) { return d.setVelocityControllerGains(1.0f, -2.0f); },
              29, 8, {0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0xC0}),
        write("setCurrentControllerBandwidth", [](Driver& d) { return d.setCurrentControllerBandwidth(100.0f); },
              31, 8, {0x00, 0x00, 0xC8, 0x42}),
        write("setMotorEncoderBandwidth", [](Driver& d) { return d.setMotorEncoderBandwidth(8.0f); }, 34, 8,
              {0x00, 0x00, 0x00, 0x41}),
        write("setCurrentFilter", [](Driver& d) { return d.setCurrentFilter(0.25f); }, 41, 4,
              {0x00, 0x00, 0x80, 0x3E}),
        write("setEncoderDataFilter", [](Driver& d) { return d.setEncoderDataFilter(0.5f); }, 43, 4,
              {0x00, 0x00, 0x00, 0x3F}),
        write("setCurrentPositionAs zero", [](Driver& d) { return d.setCurrentPositionAs(0.0f); }, 6, 4, {}),
        write("setCurrentPositionAs", [](Driver& d) { return d.setCurrentPositionAs(2.0f); }, 6, 4,
              {0x00, 0x00, 0x00, 0x40}),
        write("setCurrentPositionToZero", [](Driver& d) { return d.setCurrentPositionToZero(); }, 36, 8, {}),
        write("setStartupConfigs 101", [](Driver& d) { return d.setStartupConfigs(true, false, true); }, 45, 1,
              {0x05}),
        write("setStartupConfigs 010", [](Driver& d) { return d.setStartupConfigs(false, true, false); }, 45, 1,
              {0x02}),
        write("runEncoderIndexSearch", [](Driver& d) { return d.runEncoderIndexSearch(); }, 54, 0, {}),
        write("runEncoderMatching", [](Driver& d) { return d.runEncoderMatching(); }, 55, 0, {}),
        write("runCalibrationSequence", [](Driver& d) { return d.runCalibrationSequence(); }, 56, 0, {}),
        write("runEncoderCalibration", [](Driver& d) { return d.runEncoderCalibration(); }, 57, 0, {}),
        write("setCANBaudRate 500K", [](Driver& d) { return d.setCANBaudRate(CAN_BAUDRATE_500K); }, 58, 4,
              {0x20, 0xA1, 0x07, 0x00}),
        write("setCANBaudRate 750K", [](Driver& d) { return d.setCANBaudRate(CAN_BAUDRATE_750K); }, 58, 4,
              {0xB0, 0x71, 0x0B, 0x00}),
        write("setCANBaudRate 10K", [](Driver& d) { return d.setCANBaudRate(CAN_BAUDRATE_10K); }, 58, 4,
              {0x10, 0x27, 0x00, 0x00}),
        write("rebootDriver", [](Driver& d) { return d.rebootDriver(); }, 113, 0, {}),
        write("saveConfigurations", [](Driver& d) { return d.saveConfigurations(); }, 114, 0, {}),
        write("eraseConfigurations", [](Driver& d) { return d.eraseConfigurations(); }, 115, 0, {}),
        write("enterDFUMode", [](Driver& d) { return d.enterDFUMode(); }, 127, 0, {}),
        write("setDeviceToIdle", [](Driver& d) { return d.setDeviceToIdle(); }, 7, 0, {}),
        write("setDeviceToActive", [](Driver& d) { return d.setDeviceToActive(); }, 8, 0, {}),
        write("clearDriverErrors", [](Driver& d) { return d.clearDriverErrors(); }, 111, 0, {}),
        {"emergencyStop", [](Driver& d) { return d.emergencyStop(); }, 126, true, 8, {}},
        write("setPositionControl", [](Driver& d) { return d.setPositionControl(1.0f, 1.9f); }, 97, 8,
              {0x00, 0x00, 0x80, 0x3F, 0x01, 0x00, 0x00, 0x00}),
        write("setPositionControl negative", [](Driver& d) { return d.setPositionControl(-2.0f, -1.9f); }, 97, 8,
              {0x00, 0x00, 0x00, 0xC0, 0xFF, 0xFF, 0x00, 0x00}),
        write("setVelocityControl", [](Driver& d) { return d.setVelocityControl(2.0f); }, 98, 8,
              {0x00, 0x00, 0x00, 0x40}),
        write("setVelocityRampControl zero ramp", [](Driver& d) { return d.setVelocityRampControl(2.0f, 0.0f); },
              98, 8, {0x00, 0x00, 0x00, 0x40}),
        write("setVelocityRampControl", [](Driver& d) { return d.setVelocityRampControl(2.0f, 0.5f); }, 98, 8,
              {0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x3F}),
        write("setTorqueControl", [](Driver& d) { return d.setTorqueControl(1.0f, 2.0f); }, 99, 8,
              {0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x40}),
        write("setPositionControlWithFeedForward",
              [](Driver& d) { return d.setPositionControlWithFeedForward(1.0f, 300.7f, 1.5f); }, 100, 8,
              {0x00, 0x00, 0x80, 0x3F, 0x2C, 0x01, 0x96, 0x00}),
        write("setPositionControlWithFeedForward negative",
              [](Driver& d) { return d.setPositionControlWithFeedForward(1.0f, -300.7f, -1.5f); }, 100, 8,
              {0x00, 0x00, 0x80, 0x3F, 0xD4, 0xFE, 0x6A, 0xFF}),
        write("setVelocityControlWithFeedForward",
              [](Driver& d) { return d.setVelocityControlWithFeedForward(2.0f, 1.0f); }, 101, 8,
              {0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x80, 0x3F}),
        write("setTrapezoidalTrajectoryControl",
              [](Driver& d) { return d.setTrapezoidalTrajectoryControl(1.0f, 1000.9f, 2.5f, 0.7f); }, 102, 8,
              {0x00, 0x00, 0x80, 0x3F, 0xE8, 0x03, 0x19, 0x07}),
        write("setScurveTrajectoryControl",
              [](Driver& d) { return d.setScurveTrajectoryControl(1.0f, 1000.9f, 2.5f, 0.7f); }, 103, 8,
              {0x00, 0x00, 0x80, 0x3F, 0xE8, 0x03, 0x19, 0x07}),
        // 0.25 / 0.001f and 1.0 / 0.001f fall just below 250 and 1000.
        write("setTorqueRampControl 0.25", [](Driver& d) { return d.setTorqueRampControl(1.0f, 0.25f, 7.9f); },
              104, 8, {0x00, 0x00, 0x80, 0x3F, 0xF9, 0x00, 0x07, 0x00}),
        write("setTorqueRampControl 1.0", [](Driver& d) { return d.setTorqueRampControl(1.0f, 1.0f, 0.0f); }, 104,
              8, {0x00, 0x00, 0x80, 0x3F, 0xE7, 0x03, 0x00, 0x00}),
        write("setSensorlessVelocityControl",
              [](Driver& d) { return d.setSensorlessVelocityControl(1.0f, 12.9f, 2.5f); }, 105, 8,
              {0x00, 0x00, 0x80, 0x3F, 0x0C, 0x00, 0x19, 0x00}),
        write("setOpenLoopPositionControl",
              [](Driver& d) { return d.setOpenLoopPositionControl(-1, 2, -3, 1.5f); }, 106, 8,
              {0xFF, 0xFF, 0x02, 0x00, 0xFD, 0xFF, 0x0F, 0x00}),
        // A negative second argument must not spill into the fields above it.
        write("setOpenLoopVelocityControl", [](Driver& d) { return d.setOpenLoopVelocityControl(5, -2, 2.5f); },
              107, 8, {0x05, 0x00, 0xFE, 0xFF, 0x19, 0x00, 0x00, 0x00}),
        write("setOpenLoopVelocityControl negative",
              [](Driver& d) { return d.setOpenLoopVelocityControl(-32768, -1, -2.5f); }, 107, 8,
              {0x00, 0x80, 0xFF, 0xFF, 0xE7, 0xFF, 0x00, 0x00}),
    };
}

std::vector<FrameCase> readCases() {
    // Outputs outlive the calls (the reads run later).
    static float f1, f2, f3;
    static unsigned char b1, b2, b3, b4;
    static unsigned short s1;
    static unsigned int u;
    static int i;
    static bool x1, x2, x3, x4;
    static std::string text;
    static CANBaudRate rate;
    static driver_error_t error;
    return {
        read("getHardwareVersion", [](Driver& d) { return d.getHardwareVersion(&b1, &b2, &b3, &b4); }, 3),
        read("getFirmwareVersion", [](Driver& d) { return d.getFirmwareVersion(&b1, &b2, &s1); }, 4),
        read("getFirmwareCommit", [](Driver& d) { return d.getFirmwareCommit(&text); }, 5),
        read("getNodeId", [](Driver& d) { return d.getNodeId(&u); }, 10),
        read("getDCBusTripLevels", [](Driver& d) { return d.getDCBusTripLevels(&f1, &f2); }, 12),
        read("getBrakeResistorState", [](Driver& d) { return d.getBrakeResistorState(&x1, &f1, &x2, &x3); }, 14),
        read("getRegenCurrentTripLevel", [](Driver& d) { return d.getRegenCurrentTripLevel(&f1); }, 16),
        read("getMotorTorqueLimit", [](Driver& d) { return d.getMotorTorqueLimit(&f1); }, 51),
        read("getMotorParameters", [](Driver& d) { return d.getMotorParameters(&b1, &s1, &f1); }, 18),
        read("getMotorCalibrationParameters", [](Driver& d) { return d.getMotorCalibrationParameters(&f1, &f2); },
             20),
        read("getMotorPhaseParameters", [](Driver& d) { return d.getMotorPhaseParameters(&f1, &f2); }, 85),
        read("getMotorType", [](Driver& d) { return d.getMotorType(&b1); }, 53),
        read("getMotorEncoderConfiguration", [](Driver& d) { return d.getMotorEncoderConfiguration(&b1, &i, &x1); },
             22),
        read("getOutputEncoderConfiguration",
             [](Driver& d) { return d.getOutputEncoderConfiguration(&b1, &i, &x1); }, 26),
        read("getGearBoxParameters", [](Driver& d) { return d.getGearBoxParameters(&f1); }, 24),
        read("getMotorThermistorConfiguration",
             [](Driver& d) { return d.getMotorThermistorConfiguration(&x1, &f1, &s1, &b1, &b2); }, 40),
        read("getPositionControllerGain", [](Driver& d) { return d.getPositionControllerGain(&f1); }, 28),
        read("getVelocityControllerGains", [](Driver& d) { return d.getVelocityControllerGains(&f1, &f2); }, 30),
        read("getCurrentControllerBandwidth", [](Driver& d) { return d.getCurrentControllerBandwidth(&f1); }, 32),
        read("getCurrentControllerGains", [](Driver& d) { return d.getCurrentControllerGains(&f1, &f2); }, 33),
        read("getMotorEncoderBandwidth", [](Driver& d) { return d.getMotorEncoderBandwidth(&f1); }, 35),
        read("getCurrentFilter", [](Driver& d) { return d.getCurrentFilter(&f1); }, 42),
        read("getEncoderDataFilter", [](Driver& d) { return d.getEncoderDataFilter(&f1); }, 44),
        read("getZeroPosition", [](Driver& d) { return d.getZeroPosition(&f1); }, 37),
        read("getStartupConfigs", [](Driver& d) { return d.getStartupConfigs(&x1, &x2, &x3); }, 46),
        read("getCANBaudRate", [](Driver& d) { return d.getCANBaudRate(&rate); }, 59),
        read("getOutputPosition", [](Driver& d) { return d.getOutputPosition(&f1); }, 60),
        read("getOutputVelocity", [](Driver& d) { return d.getOutputVelocity(&f1); }, 61),
        read("getOutputAcceleration", [](Driver& d) { return d.getOutputAcceleration(&f1); }, 62),
        read("getOutputTorque", [](Driver& d) { return d.getOutputTorque(&f1); }, 63),
        read("getMotorPosition", [](Driver& d) { return d.getMotorPosition(&f1); }, 64),
        read("getMotorVelocity", [](Driver& d) { return d.getMotorVelocity(&f1); }, 65),
        read("getMotorAcceleration", [](Driver& d) { return d.getMotorAcceleration(&f1); }, 66),
        read("getMotorTorque", [](Driver& d) { return d.getMotorTorque(&f1); }, 67),
        read("getMotorTemperature", [](Driver& d) { return d.getMotorTemperature(&f1); }, 68),
        read("getDriverTemperature", [](Driver& d) { return d.getDriverTemperature(&f1); }, 68),
        read("getMotorPhaseCurrents", [](Driver& d) { return d.getMotorPhaseCurrents(&f1, &f2, &f3); }, 69),
        read("getBusVoltage", [](Driver& d) { return d.getBusVoltage(&f1); }, 70),
        read("getBusCurrent", [](Driver& d) { return d.getBusCurrent(&f1); }, 70),
        read("getIdqCurrents", [](Driver& d) { return d.getIdqCurrents(&f1, &f2); }, 71),
        read("getBrakeCurrent", [](Driver& d) { return d.getBrakeCurrent(&f1); }, 72),
        read("getDCCalibPhaseCurrents", [](Driver& d) { return d.getDCCalibPhaseCurrents(&f1, &f2, &f3); }, 73),
        read("getHallEncoderState", [](Driver& d) { return d.getHallEncoderState(&b1); }, 74),
        read("getControllerState", [](Driver& d) { return d.getControllerState(&b1); }, 80),
        read("getMotorState", [](Driver& d) { return d.getMotorState(&x1, &x2); }, 81),
        read("getMotorEncoderState", [](Driver& d) { return d.getMotorEncoderState(&x1, &x2, &x3); }, 82),
        read("getOutputEncoderState", [](Driver& d) { return d.getOutputEncoderState(&x1, &x2); }, 83),
        read("getTrajectoryDoneStatus", [](Driver& d) { return d.getTrajectoryDoneStatus(&x4); }, 84),
        read("getMotorEncoderRawData", [](Driver& d) { return d.getMotorEncoderRawData(&i); }, 86),
        read("getOutputEncoderRawData", [](Driver& d) { return d.getOutputEncoderRawData(&i); }, 87),
        read("getCANCommunicationStatus", [](Driver& d) { return d.getCANCommunicationStatus(&x1, &x2); }, 88),
        read("getControllerMode", [](Driver& d) { return d.getControllerMode(&s1); }, 89),
        read("getDriverFault", [](Driver& d) { return d.getDriverFault(&u); }, 95),
        read("getErrorCode", [](Driver& d) { return d.getErrorCode(&error); }, 96),
    };
}

// Every operation once, for the status checks (compound reads included).
std::vector<std::function<ret_status_t(Driver&)>> allOperations() {
    std::vector<std::function<ret_status_t(Driver&)>> ops;
    for (auto& c : writeCases()) ops.push_back(c.call);
    for (auto& c : readCases()) ops.push_back(c.call);
    ops.push_back([](Driver& d) {
        unsigned short c[8];
        return d.getHallEncoderStateCounts(&c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &c[6], &c[7]);
    });
    ops.push_back([](Driver& d) {
        unsigned long c[6];
        return d.getDebugErrorCode(&c[0], &c[1], &c[2], &c[3], &c[4], &c[5]);
    });
    ops.push_back([](Driver& d) { return d.setCANBaudRate(static_cast<CANBaudRate>(9)); });
    return ops;
}

class DriverFrames : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim.ready()); }

    void expectSingleFrame(const FrameCase& c) {
        SCOPED_TRACE(c.name);
        sim.bus.clearSent();
        EXPECT_EQ(c.call(driver), RET_SUCCESS);
        const auto sent = sim.bus.deviceFrames();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].can_id, expectedId(kNode, c.commandId, c.remote)) << describe(sent[0]);
        EXPECT_EQ(sent[0].can_dlc, c.dlc);
        EXPECT_EQ(dataBytes(sent[0]), c.data) << describe(sent[0]);
    }

    SimBus sim{kNode};
    Driver driver{kNode, &sim.bus};
};

TEST_F(DriverFrames, EveryCommandSendsItsFrame) {
    for (const FrameCase& c : writeCases()) expectSingleFrame(c);
}

TEST_F(DriverFrames, EveryReadSendsAnEmptyRemoteRequest) {
    // Eight zero bytes decode as any layout.
    for (const FrameCase& c : readCases()) sim.device.answer(c.commandId, SimReply{});
    for (const FrameCase& c : readCases()) expectSingleFrame(c);
}

TEST_F(DriverFrames, VelocityControlIsTheRampFrameWithZeroRamp) {
    ASSERT_EQ(driver.setVelocityControl(2.0f), RET_SUCCESS);
    ASSERT_EQ(driver.setVelocityRampControl(2.0f, 0.0f), RET_SUCCESS);
    const auto sent = sim.bus.deviceFrames();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].can_id, sent[1].can_id);
    EXPECT_EQ(sent[0].can_dlc, sent[1].can_dlc);
    EXPECT_EQ(dataBytes(sent[0]), dataBytes(sent[1]));
}

TEST_F(DriverFrames, HallEncoderStateCountsSendsSeventyFiveThenSeventySix) {
    sim.device.answer(75, SimReply{});
    sim.device.answer(76, SimReply{});
    unsigned short c[8];
    ASSERT_EQ(driver.getHallEncoderStateCounts(&c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &c[6], &c[7]),
              RET_SUCCESS);
    const auto sent = sim.bus.deviceFrames();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].can_id, expectedId(kNode, 75, true));
    EXPECT_EQ(sent[1].can_id, expectedId(kNode, 76, true));
    for (const auto& f : sent) {
        EXPECT_EQ(f.can_dlc, 8);
        EXPECT_EQ(dataBytes(f), Bytes{});
    }
}

TEST_F(DriverFrames, DebugErrorCodeSendsSelectorsOneToSixAsDataFrames) {
    sim.device.answer(110, SimReply{});
    unsigned long c[6];
    ASSERT_EQ(driver.getDebugErrorCode(&c[0], &c[1], &c[2], &c[3], &c[4], &c[5]), RET_SUCCESS);
    const auto sent = sim.bus.deviceFrames();
    ASSERT_EQ(sent.size(), 6u);
    for (uint8_t k = 1; k <= 6; ++k) {
        EXPECT_EQ(sent[k - 1].can_id, expectedId(kNode, 110, false));
        EXPECT_EQ(sent[k - 1].can_dlc, 8);
        EXPECT_EQ(dataBytes(sent[k - 1]), (Bytes{k}));
    }
}

TEST_F(DriverFrames, SetNodeIdKeepsAddressingTheOriginalNode) {
    ASSERT_EQ(driver.setNodeId(5), RET_SUCCESS);
    ASSERT_EQ(driver.setDeviceToIdle(), RET_SUCCESS);
    const auto sent = sim.bus.deviceFrames();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].can_id, expectedId(kNode, 9, false));
    EXPECT_EQ(sent[1].can_id, expectedId(kNode, 7, false));
    EXPECT_EQ(driver.getId(), kNode);
}

TEST_F(DriverFrames, BaudRateIndexOutsideTheTableIsRefusedUnsent) {
    EXPECT_EQ(driver.setCANBaudRate(static_cast<CANBaudRate>(-1)), RET_INVALID_ARGUMENT);
    EXPECT_EQ(driver.setCANBaudRate(static_cast<CANBaudRate>(9)), RET_INVALID_ARGUMENT);
    EXPECT_TRUE(sim.bus.deviceFrames().empty());
}

TEST_F(DriverFrames, EmergencyStopDoesNotWaitForAReply) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(driver.emergencyStop(), RET_SUCCESS);
    EXPECT_LT(std::chrono::steady_clock::now() - start, Millis(180));  // a read would wait 200 ms
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

TEST(DriverStatus, InterfaceNotStartedGivesFiveForEveryOperation) {
    TestTransport bus;
    Driver driver(kNode, &bus);
    for (auto& op : allOperations()) EXPECT_EQ(op(driver), RET_INTERFACE_NOT_RUNNING);
    EXPECT_TRUE(bus.deviceFrames().empty());
}

TEST(DriverStatus, AbsentNodeGivesFourForEveryOperation) {
    SimBus sim(kNode);
    ASSERT_TRUE(sim.ready());
    Driver driver(kNode + 1, &sim.bus);  // no heartbeat from this node
    EXPECT_FALSE(driver.isConnected());
    for (auto& op : allOperations()) EXPECT_EQ(op(driver), RET_NOT_CONNECTED);
    EXPECT_TRUE(sim.bus.deviceFrames().empty());
}

TEST(DriverStatus, OutputsUntouchedWhenAStatusCheckFails) {
    TestTransport bus;
    Driver driver(kNode, &bus);
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
    EXPECT_EQ(commit, "keep");
    EXPECT_EQ(rate, CAN_BAUDRATE_1M);
    EXPECT_EQ(error, 7u);
    EXPECT_EQ(a, 1.0f);
    EXPECT_EQ(lower, 5);
}

TEST(DriverStatus, MissingImplementationComesBeforeEverythingElse) {
    TestTransport bus;  // not started, node absent
    const quorvel_detail::DeviceLink<Driver::DriverImpl> link{nullptr, &bus, kNode};
    EXPECT_EQ(quorvel_detail::requestStatus(link), RET_ERROR);
    EXPECT_EQ(quorvel_detail::sendCommand(link, {7, quorvel_detail::FrameKind::Data, 0}), RET_ERROR);
    float v = 1.0f;
    EXPECT_EQ(quorvel_detail::readRemote<70>(link, &v, &v), RET_ERROR);
    EXPECT_TRUE(bus.deviceFrames().empty());
}

TEST(DriverStatus, NotRunningComesBeforeAbsentAndAbsentBeforeBadArgument) {
    TestTransport bus;
    Driver driver(kNode, &bus);
    EXPECT_EQ(driver.setCANBaudRate(static_cast<CANBaudRate>(9)), RET_INTERFACE_NOT_RUNNING);
    ASSERT_TRUE(startAndWaitRunning(bus));
    EXPECT_EQ(driver.setCANBaudRate(static_cast<CANBaudRate>(9)), RET_NOT_CONNECTED);
    EXPECT_TRUE(bus.deviceFrames().empty());
}

TEST(DriverStatus, NullInterfaceIsNeverRunning) {
    Driver driver(kNode, nullptr);
    EXPECT_FALSE(driver.isConnected());
    float v = 0.0f;
    EXPECT_EQ(driver.getBusVoltage(&v), RET_INTERFACE_NOT_RUNNING);
    EXPECT_EQ(driver.setDeviceToIdle(), RET_INTERFACE_NOT_RUNNING);
}

}  // namespace
