// The encoder module: exact request frames of every operation, reply
// decoding, time-outs, the bit-rate argument, log lines and construction.

#include <chrono>
#include <stdexcept>
#include <string>
#include <tuple>

#include "device_fixture.hpp"
#include "quorvel_transport/vinrel.hpp"

using namespace qt_test;

namespace {

using VinrelTest = DeviceFixture<Vinrel>;

Bytes f32(float value) { return Payload().put(value).bytes(); }
Bytes u32(unsigned int value) { return Payload().put(value).bytes(); }

TEST_F(VinrelTest, EveryCommandSendsItsFrame) {
    expectWrites({
        {QT_OP(setNodeId(0x01020304)), 9, 4, {4, 3, 2, 1}},
        {QT_OP(configureEncoder(9, -1)), 11, 5, {9, 0xFF, 0xFF, 0xFF, 0xFF}},
        {QT_OP(setEncoderDirection(0xAB)), 15, 1, {0xAB}},
        {QT_OP(setFilterWindowLength(0x11223344)), 17, 4, {0x44, 0x33, 0x22, 0x11}},
        {QT_OP(setMAxxxSPIRegister(0xEA, 0x5C)), 19, 2, {0xEA, 0x5C}},
        {QT_OP(setScalingFactor(-2.0f)), 21, 4, {0, 0, 0, 0xC0}},
        {QT_OP(setLinearCount(0xDEADBEEF)), 80, 4, {0xEF, 0xBE, 0xAD, 0xDE}},
        {QT_OP(setCANBaudRate(CAN_BAUDRATE_750K)), 90, 4, {0xB0, 0x71, 0x0B, 0}},
        {QT_OP(saveConfigurations()), 114, 0, {}}, {QT_OP(eraseConfigurations()), 115, 0, {}},
        {QT_OP(enterDFUMode()), 127, 0, {}},
    });
    // Remote requests that nothing answers: none waits for a reply (200 ms).
    const auto start = std::chrono::steady_clock::now();
    expectFrame(sentBy([](Vinrel& v) { return v.setCurrentPositionToZero(); })[0], 13, true, 0, {});
    expectFrame(sentBy([](Vinrel& v) { return v.clearEncoderErrors(); })[0], 111, true, 0, {});
    expectFrame(sentBy([](Vinrel& v) { return v.rebootVinrel(); })[0], 113, true, 0, {});
    EXPECT_LT(std::chrono::steady_clock::now() - start, Millis(180));
    EXPECT_EQ(device.getId(), kNode);  // setNodeId changed only the module
}

TEST_F(VinrelTest, EveryReplyLayoutDecodesIntoItsOutputs) {
    using V = Vinrel;
    expectDecoded(3, {1, 2, 3, 4, 0xFF, 0xFF, 0xFF, 0xFF}, &V::getHardwareVersion, 1, 2, 3, 4);
    expectDecoded(4, {5, 6, 0x34, 0x12, 0xFF}, &V::getFirmwareVersion, 5, 6, 0x1234);
    expectDecoded(10, {0x78, 0x56, 0x34, 0x12, 0xFF}, &V::getNodeId, 0x12345678u);
    expectDecoded(12, {9, 0xFF, 0xFF, 0xFF, 0xFF, 0x11}, &V::getEncoderConfiguration, 9, -1);
    expectDecoded(16, {0xAB, 0xFF}, &V::getEncoderDirection, 0xAB);
    expectDecoded(18, {0x44, 0x33, 0x22, 0x11, 0xFF}, &V::getFilterWindowLength, 0x11223344u);
    expectDecoded(48, {0xFF, 0xFF, 0xFF, 0xFF, 0x11}, &V::getEncoderCount, -1);
    expectDecoded(49, {0xEF, 0xBE, 0xAD, 0xDE, 0x11}, &V::getEncoderRawData, 0xDEADBEEFu);
    expectDecoded(96, u32(0xDEADBEEF), &V::getErrorCode, 0xDEADBEEFu);
    expectDecoded(91, u32(500000), &V::getCANBaudRate, CAN_BAUDRATE_500K);
    expectDecoded(91, u32(800000), &V::getCANBaudRate, -1);  // not a table rate
    const std::pair<uint8_t, ret_status_t (V::*)(float*)> floats[] = {
        {14, &V::getZeroPosition}, {22, &V::getScalingFactor}, {50, &V::getAbsoluteAngle},
        {51, &V::getMultiturnAngle}, {52, &V::getRawVelocity}, {53, &V::getScaledVelocity},
        {54, &V::getFilteredVelocity}, {55, &V::getScaledFilteredVelocity}, {56, &V::getRawAcceleration},
        {57, &V::getScaledAcceleration}, {58, &V::getFilteredAcceleration}, {59, &V::getScaledFilteredAcceleration},
    };
    for (const auto& [cmd, get] : floats) expectDecoded(cmd, f32(cmd + 0.5f), get, cmd + 0.5f);
    // The commit ends at the first zero byte.
    for (const auto& [data, text] : {std::pair(Bytes{'a', 'b', 'c', 0, 'd'}, "abc"),
                                     {Bytes{'1', '2', '3', '4', '5', '6', '7', '8'}, "12345678"}, {Bytes{0, 'x'}, ""}}) {
        reply(5, data);
        std::tuple<std::string> commit{"old"};
        read(5, &V::getFirmwareCommit, commit);
        EXPECT_EQ(std::get<0>(commit), text);
    }
    // The register read is a data frame with the address; its flag is bit 8 alone.
    for (const auto& [data, flag] : {std::pair(Bytes{0x2A, 0x01}, true), {Bytes{0x2A, 0xFE, 0xFF}, false}}) {
        reply(20, data);
        unsigned char value = 0;
        bool got = !flag;
        expectFrame(sentBy([&](Vinrel& v) { return v.getMAxxxSPIRegister(3, &value, &got); })[0], 20, false, 1, {3});
        EXPECT_EQ(std::make_tuple(value, got), std::make_tuple(0x2A, flag));
    }
}

// The checks come before anything is sent: running, connected, then the rate.
TEST_F(VinrelTest, TimeOutsAndTheBitRateArgument) {
    float position = 7.0f;
    std::string commit = "kept";
    EXPECT_EQ(device.getZeroPosition(&position), RET_TIMEOUT);
    EXPECT_EQ(device.getFirmwareCommit(&commit), RET_TIMEOUT);
    EXPECT_EQ(std::tie(position, commit), std::make_tuple(7.0f, std::string("kept")));
    CANBaudRate rate = CAN_BAUDRATE_1M;
    EXPECT_EQ(device.getCANBaudRate(&rate), RET_TIMEOUT);
    EXPECT_EQ(static_cast<int>(rate), -1);  // converted whatever the status

    TestTransport stopped;
    Vinrel notRunning(kNode, &stopped);
    EXPECT_EQ(notRunning.setCANBaudRate(static_cast<CANBaudRate>(9)), RET_INTERFACE_NOT_RUNNING);
    sim.bus.clearSent();
    for (int bad : {-1, 9}) {
        EXPECT_EQ(absent.setCANBaudRate(static_cast<CANBaudRate>(bad)), RET_NOT_CONNECTED);
        EXPECT_EQ(device.setCANBaudRate(static_cast<CANBaudRate>(bad)), RET_INVALID_ARGUMENT);
    }
    EXPECT_TRUE(sim.bus.deviceFrames().empty());
    EXPECT_TRUE(stopped.deviceFrames().empty());
}

// Every field is logged, an unsigned char as the character; a frame outside
// the table is logged and does not end the armed read.
TEST_F(VinrelTest, LogLinesAndAnUnknownCommandDuringARead) {
    device.setOutputLogStream(&log);
    sim.device.answer(20, [this](const can_frame_data&) -> std::optional<SimReply> {
        sim.device.send(60, f32(1.0f));  // while the read is armed
        return Payload().put<uint8_t>('*').putBool(true).reply(Millis(50));
    });
    unsigned char value = 0;
    bool flag = false;
    EXPECT_EQ(device.getMAxxxSPIRegister(3, &value, &flag), RET_SUCCESS);
    EXPECT_EQ(std::make_tuple(value, flag), std::make_tuple('*', true));
    sim.device.answer(5, Payload().put<uint8_t>('a').put<uint8_t>('b').reply());
    std::string commit;
    EXPECT_EQ(device.getFirmwareCommit(&commit), RET_SUCCESS);
    device.setOutputLogStream(nullptr);
    EXPECT_EQ(log.text(), "Unknown Command Id.\nPushed back data *\nPushed back data 1\nsetting new data received as true\n"
                          "Pushed back string data: ab\nsetting new data received as true\n");
}

TEST_F(VinrelTest, WithoutNodeIdTakesTheHeartbeatsOrThrows) {
    Vinrel learned(&sim.bus);
    EXPECT_EQ(learned.getId(), kNode);
    TestTransport silent;
    ASSERT_TRUE(startAndWaitRunning(silent));
    try {
        Vinrel vinrel(&silent);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "[FATAL ERROR] Vinrel object is not created");
    }
}

}  // namespace
