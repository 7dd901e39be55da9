// What the motor driver has beyond the shared motor command set: its own
// commands and reads, the outputs it computes, the compound Hall-count read,
// the bit-rate argument check and the constructor without a node id.

#include <gtest/gtest.h>

#include <climits>

#include "device/device_request.hpp"
#include "device_fixture.hpp"
#include "driver_impl.hpp"
#include "quorvel_transport/driver.hpp"

using namespace qt_test;

namespace {

using DriverTest = DeviceFixture<Driver>;

TEST_F(DriverTest, OwnCommandsSendTheirFrames) {
    expectWrites({
        {QT_OP(enableBrakeResistor(0.5f)), 13, 8, {0, 0, 0, 0x3F, 1}},
        {QT_OP(disableBrakeResistor()), 13, 5, {}},
        {QT_OP(setMotorTorqueLimit(4.0f)), 50, 4, {0, 0, 0x80, 0x40}},
        {QT_OP(setMotorParameters(7, 0x1234, 1.0f)), 17, 8, {7, 0x34, 0x12, 0, 0, 0x80, 0x3F, 0}},
        {QT_OP(setMotorCalibrationParameters(2.0f, 0.5f)), 19, 8, {0, 0, 0, 0x40, 0, 0, 0, 0x3F}},
        {QT_OP(setMotorPhaseParameters(0.125f, 3.0f)), 49, 8, {0, 0, 0, 0x3E, 0, 0, 0x40, 0x40}},
        {QT_OP(setMotorType(0xAB)), 52, 1, {0xAB}},
        {QT_OP(configureMotorEncoder(3, -2, true)), 21, 8, {3, 0xFE, 0xFF, 0xFF, 0xFF, 1}},
        {QT_OP(configureOutputEncoder(4, 0x00010203, false)), 25, 8, {4, 3, 2, 1, 0, 2}},
        {QT_OP(configureOutputEncoder(4, -1, true)), 25, 8, {4, 0xFF, 0xFF, 0xFF, 0xFF, 3}},
        {QT_OP(disableOutputEncoder()), 25, 8, {}},
        {QT_OP(setGearBoxParameters(16.0f)), 23, 8, {0, 0, 0x80, 0x41}},
        {QT_OP(setMotorThermistorParameters(10.0f, 3950)), 38, 8, {0, 0, 0x20, 0x41, 0x6E, 0x0F}},
        {QT_OP(setCurrentPositionAs(2.0f)), 6, 4, {0, 0, 0, 0x40}},
        {QT_OP(setStartupConfigs(true, false, true)), 45, 1, {5}},
        {QT_OP(runEncoderIndexSearch()), 54, 0, {}}, {QT_OP(runEncoderMatching()), 55, 0, {}},
        {QT_OP(runEncoderCalibration()), 57, 0, {}}, {QT_OP(enterDFUMode()), 127, 0, {}},
        {QT_OP(setCANBaudRate(CAN_BAUDRATE_750K)), 58, 4, {0xB0, 0x71, 0x0B, 0}},
        // 0.25 / 0.001f and 1.0 / 0.001f fall just below 250 and 1000.
        {QT_OP(setTorqueRampControl(1.0f, 0.25f, 7.9f)), 104, 8, {0, 0, 0x80, 0x3F, 0xF9, 0, 7, 0}},
        {QT_OP(setTorqueRampControl(1.0f, 1.0f, 0.0f)), 104, 8, {0, 0, 0x80, 0x3F, 0xE7, 3, 0, 0}},
        {QT_OP(setSensorlessVelocityControl(1.0f, 12.9f, 2.5f)), 105, 8, {0, 0, 0x80, 0x3F, 0x0C, 0, 0x19, 0}},
        {QT_OP(setOpenLoopPositionControl(-1, 2, -3, 1.5f)), 106, 8, {0xFF, 0xFF, 2, 0, 0xFD, 0xFF, 0x0F, 0}},
        // Negative fields must not spill into the ones above them.
        {QT_OP(setOpenLoopVelocityControl(-32768, -1, -2.5f)), 107, 8, {0, 0x80, 0xFF, 0xFF, 0xE7, 0xFF, 0, 0}},
    });
}

TEST_F(DriverTest, OwnReplyLayoutsDecodeIntoTheirOutputs) {
    // bit 32 set, bit 33 clear, bit 34 set
    expectDecoded(14, {0, 0, 0, 0x3F, 5}, &Driver::getBrakeResistorState, true, 0.5f, false, true);
    expectDecoded(18, {7, 0x34, 0x12, 0, 0, 0x80, 0x3F, 0xFF}, &Driver::getMotorParameters, 7, 0x1234, 1.0f);
    expectDecoded(20, {0, 0, 0, 0x40, 0, 0, 0, 0x3F}, &Driver::getMotorCalibrationParameters, 2.0f, 0.5f);
    expectDecoded(53, {0xAB}, &Driver::getMotorType, 0xAB);
    expectDecoded(22, {3, 0xFE, 0xFF, 0xFF, 0xFF, 1}, &Driver::getMotorEncoderConfiguration, 3, -2, true);
    // Only bit 40 is the index flag; bit 41 set beside it must not count.
    expectDecoded(26, {4, 0, 0, 0, 0x80, 2}, &Driver::getOutputEncoderConfiguration, 4, INT_MIN, false);
    // The lower limit is derived from the upper, with an 8-bit wrap.
    expectDecoded(40, {0, 0, 0x20, 0x41, 0x6E, 0x0F, 90, 1}, &Driver::getMotorThermistorConfiguration, true, 10.0f,
                  3950, 90, 80);
    expectDecoded(40, {0, 0, 0x20, 0x41, 0x6E, 0x0F, 5, 0}, &Driver::getMotorThermistorConfiguration, false, 10.0f,
                  3950, 5, 251);
    expectDecoded(46, {5}, &Driver::getStartupConfigs, true, false, true);
    expectDecoded(74, {0x5A, 0xFF}, &Driver::getHallEncoderState, 0x5A);
    expectDecoded(82, {6}, &Driver::getMotorEncoderState, false, true, true);
    expectDecoded(83, {1}, &Driver::getOutputEncoderState, true, false);
    expectDecoded(24, {0, 0, 0x80, 0x41}, &Driver::getGearBoxParameters, 16.0f);
    expectDecoded(51, {0, 0, 0x80, 0x40}, &Driver::getMotorTorqueLimit, 4.0f);
    expectDecoded(72, {0, 0, 0x80, 0x3F, 0, 0, 0, 0x40}, &Driver::getBrakeCurrent, 1.0f);
    expectDecoded(59, Payload().put(500000u).bytes(), &Driver::getCANBaudRate, CAN_BAUDRATE_500K);
    expectDecoded(59, Payload().put(800000u).bytes(), &Driver::getCANBaudRate, static_cast<CANBaudRate>(-1));
    // Codes outside the known range read as 255, whatever their width.
    for (const auto& [sent, reported] : {std::pair(40u, 40u), {41u, 255u}, {256u, 255u}, {4294967295u, 255u}}) {
        expectDecoded(96, Payload().put(sent).bytes(), &Driver::getErrorCode, static_cast<driver_error_t>(reported));
    }
}

// Written whatever the status: after a time-out from what the out-parameters
// held, or from the value the read starts with.
TEST_F(DriverTest, ComputedOutputsAfterATimeOut) {
    bool enabled = true;
    float rRef = 1.0f;
    unsigned short beta = 2;
    unsigned char upper = 50, lower = 0;
    EXPECT_EQ(device.getMotorThermistorConfiguration(&enabled, &rRef, &beta, &upper, &lower), RET_TIMEOUT);
    EXPECT_EQ(std::tie(enabled, rRef, beta, upper, lower), std::make_tuple(true, 1.0f, 2, 50, 40));
    CANBaudRate rate = CAN_BAUDRATE_1M;
    EXPECT_EQ(device.getCANBaudRate(&rate), RET_TIMEOUT);
    EXPECT_EQ(static_cast<int>(rate), -1);
    driver_error_t code = DRIVER_ERROR_UNKNOWN;
    EXPECT_EQ(device.getErrorCode(&code), RET_TIMEOUT);
    EXPECT_EQ(static_cast<unsigned int>(code), 0u);
    reply(40, {0, 0, 0x20, 0x41, 0x6E, 0x0F, 90, 1});
    ASSERT_EQ(device.getMotorThermistorConfiguration(nullptr, nullptr, nullptr, nullptr, &lower), RET_SUCCESS);
    EXPECT_EQ(lower, 80);
}

// Both halves are asked for even when the first times out (the second half
// is still written); each half is written only from its own reply.
TEST_F(DriverTest, HallEncoderStateCounts) {
    const Bytes halves[] = {Payload().put<uint16_t>(1).put<uint16_t>(2).put<uint16_t>(3).put<uint16_t>(4).bytes(),
                            Payload().put<uint16_t>(0xFFFF).put<uint16_t>(6).put<uint16_t>(7).put<uint16_t>(0x8008).bytes()};
    for (int silent : {-1, 0, 1}) {  // the half that gets no reply
        SCOPED_TRACE(silent);
        for (uint8_t h = 0; h < 2; ++h) h == silent ? sim.device.silence(75 + h) : reply(75 + h, halves[h]);
        std::array<unsigned short, 8> got, want{1, 2, 3, 4, 0xFFFF, 6, 7, 0x8008};
        got.fill(9);
        if (silent >= 0) std::fill_n(want.begin() + 4 * silent, 4, 9);
        sim.bus.clearSent();
        EXPECT_EQ(device.getHallEncoderStateCounts(&got[0], &got[1], &got[2], &got[3], &got[4], &got[5], &got[6],
                                                   &got[7]),
                  silent < 0 ? RET_SUCCESS : RET_TIMEOUT);
        EXPECT_EQ(got, want);
        const auto sent = sim.bus.deviceFrames();
        ASSERT_EQ(sent.size(), 2u);
        for (uint8_t h = 0; h < 2; ++h) expectFrame(sent[h], 75 + h, true, 8, {});
    }
}

// The checks run in the order implementation, running, connected, arguments.
TEST_F(DriverTest, StatusPrecedenceEndsWithTheBitRateArgument) {
    for (int bad : {-1, 9}) {
        EXPECT_EQ(device.setCANBaudRate(static_cast<CANBaudRate>(bad)), RET_INVALID_ARGUMENT);
        EXPECT_EQ(absent.setCANBaudRate(static_cast<CANBaudRate>(bad)), RET_NOT_CONNECTED);
    }
    EXPECT_TRUE(sim.bus.deviceFrames().empty());
    TestTransport stopped;
    Driver notRunning(kNode, &stopped);
    EXPECT_EQ(notRunning.setCANBaudRate(static_cast<CANBaudRate>(9)), RET_INTERFACE_NOT_RUNNING);
    const quorvel_detail::DeviceLink<Driver::DriverImpl> noImpl{nullptr, &stopped, kNode};
    EXPECT_EQ(quorvel_detail::sendCommand(noImpl, {7, quorvel_detail::FrameKind::Data, 0}), RET_ERROR);
    float v = 1.0f;
    EXPECT_EQ(quorvel_detail::readRemote<70>(noImpl, &v, &v), RET_ERROR);
}

TEST_F(DriverTest, WithoutNodeIdTakesTheHeartbeatsNodeIdOrThrows) {
    Driver learned(&sim.bus);
    EXPECT_EQ(learned.getId(), kNode);
    sim.device.answer(70, Payload().put(12.0f).put(0.0f).reply());
    float v = 0;
    ASSERT_EQ(learned.getBusVoltage(&v), RET_SUCCESS);
    EXPECT_EQ(v, 12.0f);

    TestTransport silent;
    ASSERT_TRUE(startAndWaitRunning(silent));
    std::string thrown;
    try {
        Driver driver(&silent);
    } catch (const std::runtime_error& e) {
        thrown = e.what();
    }
    EXPECT_EQ(thrown, "[FATAL ERROR] Driver object is not created");
    EXPECT_TRUE(silent.isDevice());  // single-device mode stays on
    EXPECT_THROW(Driver(nullptr), std::runtime_error);  // and without an interface
}

}  // namespace
