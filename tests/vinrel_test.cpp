// The encoder module: exact request frames of every operation, reply
// decoding, status checks, log lines and construction.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "quorvel_transport/vinrel.hpp"
#include "sim_device.hpp"

using namespace qt_test;

namespace {

constexpr uint32_t kNode = 0x2A5;  // spans both identifier bytes of the node id

using Bytes = std::array<uint8_t, 8>;

template <typename T>
const T& number(const T& value) { return value; }
int number(unsigned char value) { return value; }

// "status: out1 out2 ...".
template <typename... T>
std::string show(ret_status_t status, const T&... outs) {
    std::ostringstream text;
    text << status << ':';
    ((text << ' ' << number(outs)), ...);
    return text.str();
}

using Call = std::function<std::string(Vinrel&)>;

template <typename... T>
Call outs(ret_status_t (Vinrel::*read)(T*...)) {
    return [read](Vinrel& v) {
        std::tuple<T...> got{};
        const ret_status_t status = std::apply([&](T&... out) { return (v.*read)(&out...); }, got);
        return std::apply([&](const T&... out) { return show(status, out...); }, got);
    };
}

std::string spiRegister3(Vinrel& v) {
    unsigned char value = 0;
    bool flag = false;
    const ret_status_t status = v.getMAxxxSPIRegister(3, &value, &flag);
    return show(status, value, flag);
}

SimReply replyWith(const Bytes& data, Millis delay = Millis(0)) {
    SimReply reply;
    reply.data = data;
    reply.delay = delay;
    return reply;
}

Bytes f32(float value) { return Payload().put(value).bytes(); }
Bytes u32(unsigned int value) { return Payload().put(value).bytes(); }

#define DO(call) #call, [](Vinrel& v) { return show(v.call); }
#define READ(method) #method, outs(&Vinrel::method)
constexpr bool R = true, D = false;

// Request frame, then the reply that the simulated module sends (none when
// all zero) and what the call gives back.
struct Case {
    std::string name;
    Call call;
    uint8_t commandId;
    bool remote;
    uint8_t dlc;
    Bytes request, reply;
    std::string result;
};

const std::vector<Case>& cases() {
    static const std::vector<Case> all = {
        {READ(getHardwareVersion), 3, R, 8, {}, {1, 2, 3, 4, 0xFF, 0xFF, 0xFF, 0xFF}, "0: 1 2 3 4"},
        {READ(getFirmwareVersion), 4, R, 8, {}, {5, 6, 0x34, 0x12, 0xFF}, "0: 5 6 4660"},
        {READ(getFirmwareCommit), 5, R, 8, {}, {'a', 'b', 'c', 0, 0, 0, 0, 0}, "0: abc"},
        {READ(getFirmwareCommit), 5, R, 8, {}, {'1', '2', '3', '4', '5', '6', '7', '8'}, "0: 12345678"},
        {READ(getFirmwareCommit), 5, R, 8, {}, {0, 'x', 'y'}, "0: "},
        {DO(setNodeId(0x01020304)), 9, D, 4, {4, 3, 2, 1}, {}, "0:"},
        {READ(getNodeId), 10, R, 8, {}, {0x78, 0x56, 0x34, 0x12, 0xFF}, "0: 305419896"},
        {DO(configureEncoder(9, -1)), 11, D, 5, {9, 0xFF, 0xFF, 0xFF, 0xFF}, {}, "0:"},
        {READ(getEncoderConfiguration), 12, R, 8, {}, {9, 0xFF, 0xFF, 0xFF, 0xFF, 0x11}, "0: 9 -1"},
        {DO(setCurrentPositionToZero()), 13, R, 0, {}, {}, "0:"},
        {READ(getZeroPosition), 14, R, 8, {}, f32(1.5f), "0: 1.5"},
        {DO(setEncoderDirection(0xAB)), 15, D, 1, {0xAB}, {}, "0:"},
        {READ(getEncoderDirection), 16, R, 8, {}, {0xAB, 0xFF}, "0: 171"},
        {DO(setFilterWindowLength(0x11223344)), 17, D, 4, {0x44, 0x33, 0x22, 0x11}, {}, "0:"},
        {READ(getFilterWindowLength), 18, R, 8, {}, {0x44, 0x33, 0x22, 0x11, 0xFF}, "0: 287454020"},
        {DO(setMAxxxSPIRegister(0xEA, 0x5C)), 19, D, 2, {0xEA, 0x5C}, {}, "0:"},
        {"getMAxxxSPIRegister(3)", spiRegister3, 20, D, 1, {3}, {0x2A, 0x01}, "0: 42 1"},
        {"flag is bit 8 alone", spiRegister3, 20, D, 1, {3}, {0x2A, 0xFE, 0xFF}, "0: 42 0"},
        {DO(setScalingFactor(-2.0f)), 21, D, 4, {0, 0, 0, 0xC0}, {}, "0:"},
        {READ(getScalingFactor), 22, R, 8, {}, f32(-0.25f), "0: -0.25"},
        {READ(getEncoderCount), 48, R, 8, {}, {0xFF, 0xFF, 0xFF, 0xFF, 0x11}, "0: -1"},
        {READ(getEncoderRawData), 49, R, 8, {}, {0xEF, 0xBE, 0xAD, 0xDE, 0x11}, "0: 3735928559"},
        {READ(getAbsoluteAngle), 50, R, 8, {}, f32(50.5f), "0: 50.5"},
        {READ(getMultiturnAngle), 51, R, 8, {}, f32(51.5f), "0: 51.5"},
        {READ(getRawVelocity), 52, R, 8, {}, f32(52.5f), "0: 52.5"},
        {READ(getScaledVelocity), 53, R, 8, {}, f32(53.5f), "0: 53.5"},
        {READ(getFilteredVelocity), 54, R, 8, {}, f32(54.5f), "0: 54.5"},
        {READ(getScaledFilteredVelocity), 55, R, 8, {}, f32(55.5f), "0: 55.5"},
        {READ(getRawAcceleration), 56, R, 8, {}, f32(56.5f), "0: 56.5"},
        {READ(getScaledAcceleration), 57, R, 8, {}, f32(57.5f), "0: 57.5"},
        {READ(getFilteredAcceleration), 58, R, 8, {}, f32(58.5f), "0: 58.5"},
        {READ(getScaledFilteredAcceleration), 59, R, 8, {}, f32(59.5f), "0: 59.5"},
        {DO(setLinearCount(0xDEADBEEF)), 80, D, 4, {0xEF, 0xBE, 0xAD, 0xDE}, {}, "0:"},
        {DO(setCANBaudRate(CAN_BAUDRATE_750K)), 90, D, 4, {0xB0, 0x71, 0x0B, 0}, {}, "0:"},
        {READ(getCANBaudRate), 91, R, 8, {}, u32(500000), "0: 6"},
        {READ(getCANBaudRate), 91, R, 8, {}, u32(800000), "0: -1"},
        {READ(getErrorCode), 96, R, 8, {}, u32(0xDEADBEEF), "0: 3735928559"},
        {DO(clearEncoderErrors()), 111, R, 0, {}, {}, "0:"}, {DO(rebootVinrel()), 113, R, 0, {}, {}, "0:"},
        {DO(saveConfigurations()), 114, D, 0, {}, {}, "0:"}, {DO(eraseConfigurations()), 115, D, 0, {}, {}, "0:"},
        {DO(enterDFUMode()), 127, D, 0, {}, {}, "0:"},
    };
    return all;
}

class VinrelTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim.ready()); }

    LogCapture log;  // outlives the object that writes to it
    SimBus sim{kNode};
    Vinrel vinrel{kNode, &sim.bus};
};

TEST_F(VinrelTest, EveryOperationSendsItsFrameAndDecodesItsReply) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        if (c.reply != Bytes{}) {
            sim.device.answer(c.commandId, replyWith(c.reply));
        } else {
            sim.device.silence(c.commandId);
        }
        sim.bus.clearSent();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(c.call(vinrel), c.result);
        // A read would wait 200 ms for the reply that never comes.
        if (c.reply == Bytes{}) { EXPECT_LT(std::chrono::steady_clock::now() - start, Millis(180)); }
        const auto sent = sim.bus.deviceFrames();
        ASSERT_EQ(sent.size(), 1u);
        const uint32_t id = 0x80000000u | (c.remote ? 0x40000000u : 0u) | (kNode << 7) | c.commandId;
        EXPECT_EQ(std::make_tuple(sent[0].can_id, sent[0].can_dlc, dataBytes(sent[0])),
                  std::make_tuple(id, c.dlc, c.request))
            << describe(sent[0]);
    }
    EXPECT_EQ(vinrel.getId(), kNode);  // setNodeId changed only the module
}

TEST_F(VinrelTest, TimeOutsLeaveOutputsButTheBitRateIsConvertedWhatever) {
    float position = 7.0f;
    std::string commit = "kept";
    EXPECT_EQ(vinrel.getZeroPosition(&position), RET_TIMEOUT);
    EXPECT_EQ(vinrel.getFirmwareCommit(&commit), RET_TIMEOUT);
    EXPECT_EQ(std::tie(position, commit), std::make_tuple(7.0f, std::string("kept")));
    CANBaudRate rate = CAN_BAUDRATE_1M;
    EXPECT_EQ(vinrel.getCANBaudRate(&rate), RET_TIMEOUT);
    EXPECT_EQ(static_cast<int>(rate), -1);
}

// Every field is logged, an unsigned char as the character; a frame outside
// the table is logged and does not end the armed read; heartbeats keep
// arriving throughout and are not logged.
TEST_F(VinrelTest, LogLinesAndAnUnknownCommandDuringARead) {
    vinrel.setOutputLogStream(&log);
    sim.device.answer(5, replyWith({'a', 'b', 'c'}));
    EXPECT_EQ(outs(&Vinrel::getFirmwareCommit)(vinrel), "0: abc");
    sim.device.answer(20, [this](const can_frame_data&) -> std::optional<SimReply> {
        sim.device.send(60, f32(1.0f));  // while the read is armed
        return replyWith({'*', 0x01}, Millis(50));
    });
    EXPECT_EQ(spiRegister3(vinrel), "0: 42 1");
    vinrel.setOutputLogStream(nullptr);
    EXPECT_EQ(log.text(),
              "Pushed back string data: abc\nsetting new data received as true\n"
              "Unknown Command Id.\nPushed back data *\nPushed back data 1\nsetting new data received as true\n");
}

TEST(VinrelStatus, ChecksComeBeforeAnythingIsSent) {
    TestTransport stopped;
    Vinrel notRunning(kNode, &stopped);
    SimBus sim(kNode);
    ASSERT_TRUE(sim.ready());
    Vinrel absent(kNode + 1, &sim.bus);  // no heartbeat from this node
    Vinrel present(kNode, &sim.bus);
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        // Outputs stay zero, the bit rate included, when nothing was exchanged.
        for (const auto& [result, status] : {std::pair(c.call(notRunning), "5:"), {c.call(absent), "4:"}}) {
            EXPECT_EQ(result.substr(0, 2), status);
            EXPECT_EQ(result.find_first_not_of(" 0", 2), std::string::npos) << result;
        }
    }
    for (int rate : {-1, 9}) EXPECT_EQ(present.setCANBaudRate(static_cast<CANBaudRate>(rate)), RET_INVALID_ARGUMENT);
    EXPECT_TRUE(stopped.deviceFrames().empty());
    EXPECT_TRUE(sim.bus.deviceFrames().empty());
}

TEST(VinrelLifecycle, WithoutNodeIdTakesTheHeartbeatsOrThrowsAfterAboutHalfASecond) {
    TestTransport bus;
    ASSERT_TRUE(startAndWaitRunning(bus));
    const auto start = std::chrono::steady_clock::now();
    std::string thrown;
    try {
        Vinrel vinrel(&bus);
    } catch (const std::runtime_error& e) {
        thrown = e.what();
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(thrown, "[FATAL ERROR] Vinrel object is not created");
    EXPECT_GE(elapsed, Millis(450));
    EXPECT_LT(elapsed, Millis(3000));

    SimBus sim(77);
    ASSERT_TRUE(sim.ready());
    Vinrel vinrel(&sim.bus);
    EXPECT_EQ(vinrel.getId(), 77u);
    EXPECT_TRUE(vinrel.isConnected());
}

}  // namespace
