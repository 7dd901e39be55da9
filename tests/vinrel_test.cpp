// The encoder module: exact request frames of every operation, reply
// decoding, status checks, log lines and construction.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "quorvel_transport/vinrel.hpp"
#include "sim_device.hpp"

using namespace qt_test;

namespace {

constexpr uint32_t kNode = 0x2A5;  // spans both identifier bytes of the node id

using Bytes = std::array<uint8_t, 8>;
using Operation = std::function<ret_status_t(Vinrel&)>;

// Scratch outputs for the reads of the frame table (test thread only).
unsigned char c;
unsigned short s;
unsigned int u;
int i;
float f;
bool b;
std::string t;
CANBaudRate r;

#define OP(call) #call, [](Vinrel& v) { return v.call; }

struct FrameCase {
    std::string name;
    Operation call;
    uint8_t commandId;
    bool remote;
    uint8_t dlc;
    Bytes data;
};

const std::vector<FrameCase>& frameCases() {
    static const std::vector<FrameCase> cases = {
        {OP(getHardwareVersion(&c, &c, &c, &c)), 3, true, 8, {}},
        {OP(getFirmwareVersion(&c, &c, &s)), 4, true, 8, {}},
        {OP(getFirmwareCommit(&t)), 5, true, 8, {}},
        {OP(setNodeId(0x01020304)), 9, false, 4, {4, 3, 2, 1}},
        {OP(getNodeId(&u)), 10, true, 8, {}},
        {OP(configureEncoder(9, -1)), 11, false, 5, {9, 0xFF, 0xFF, 0xFF, 0xFF}},
        {OP(getEncoderConfiguration(&c, &i)), 12, true, 8, {}},
        {OP(setCurrentPositionToZero()), 13, true, 0, {}},
        {OP(getZeroPosition(&f)), 14, true, 8, {}},
        {OP(setEncoderDirection(0xAB)), 15, false, 1, {0xAB}},
        {OP(getEncoderDirection(&c)), 16, true, 8, {}},
        {OP(setFilterWindowLength(0x11223344)), 17, false, 4, {0x44, 0x33, 0x22, 0x11}},
        {OP(getFilterWindowLength(&u)), 18, true, 8, {}},
        {OP(setMAxxxSPIRegister(0xEA, 0x5C)), 19, false, 2, {0xEA, 0x5C}},
        {OP(getMAxxxSPIRegister(3, &c, &b)), 20, false, 1, {3}},
        {OP(setScalingFactor(-2.0f)), 21, false, 4, {0, 0, 0, 0xC0}},
        {OP(getScalingFactor(&f)), 22, true, 8, {}},
        {OP(getEncoderCount(&i)), 48, true, 8, {}},
        {OP(getEncoderRawData(&u)), 49, true, 8, {}},
        {OP(getAbsoluteAngle(&f)), 50, true, 8, {}},
        {OP(getMultiturnAngle(&f)), 51, true, 8, {}},
        {OP(getRawVelocity(&f)), 52, true, 8, {}},
        {OP(getScaledVelocity(&f)), 53, true, 8, {}},
        {OP(getFilteredVelocity(&f)), 54, true, 8, {}},
        {OP(getScaledFilteredVelocity(&f)), 55, true, 8, {}},
        {OP(getRawAcceleration(&f)), 56, true, 8, {}},
        {OP(getScaledAcceleration(&f)), 57, true, 8, {}},
        {OP(getFilteredAcceleration(&f)), 58, true, 8, {}},
        {OP(getScaledFilteredAcceleration(&f)), 59, true, 8, {}},
        {OP(setLinearCount(0xDEADBEEF)), 80, false, 4, {0xEF, 0xBE, 0xAD, 0xDE}},
        {OP(setCANBaudRate(CAN_BAUDRATE_750K)), 90, false, 4, {0xB0, 0x71, 0x0B, 0}},
        {OP(getCANBaudRate(&r)), 91, true, 8, {}},
        {OP(getErrorCode(&u)), 96, true, 8, {}},
        {OP(clearEncoderErrors()), 111, true, 0, {}},
        {OP(rebootVinrel()), 113, true, 0, {}},
        {OP(saveConfigurations()), 114, false, 0, {}},
        {OP(eraseConfigurations()), 115, false, 0, {}},
        {OP(enterDFUMode()), 127, false, 0, {}},
    };
    return cases;
}

bool expectsReply(const FrameCase& fc) { return fc.dlc == 8 || fc.commandId == 20; }

// "status: out1 out2 ...", small integers as numbers.
template <typename... T>
std::string show(ret_status_t status, const T&... outs) {
    std::ostringstream text;
    text << status << ':';
    const auto put = [&text](const auto& out) {
        if constexpr (std::is_same_v<std::decay_t<decltype(out)>, unsigned char>) {
            text << ' ' << +out;
        } else {
            text << ' ' << out;
        }
    };
    (put(outs), ...);
    return text.str();
}
template <typename... T>
std::function<std::string(Vinrel&)> outs(ret_status_t (Vinrel::*read)(T*...)) {
    return [read](Vinrel& v) {
        std::tuple<T...> got{};
        const ret_status_t status = std::apply([&](T&... out) { return (v.*read)(&out...); }, got);
        return std::apply([&](const T&... out) { return show(status, out...); }, got);
    };
}

class VinrelTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim.ready()); }
    void reply(uint8_t cmd, const Bytes& data) {
        SimReply rep;
        rep.data = data;
        sim.device.answer(cmd, rep);
    }

    LogCapture log;  // outlives the object that writes to it
    SimBus sim{kNode};
    Vinrel vinrel{kNode, &sim.bus};
};

TEST_F(VinrelTest, EveryOperationSendsItsFrame) {
    for (const FrameCase& fc : frameCases()) {
        if (expectsReply(fc)) sim.device.answer(fc.commandId, SimReply{});
    }
    for (const FrameCase& fc : frameCases()) {
        SCOPED_TRACE(fc.name);
        sim.bus.clearSent();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(fc.call(vinrel), RET_SUCCESS);
        // Unanswered, a read would wait the whole 200 ms.
        if (!expectsReply(fc)) { EXPECT_LT(std::chrono::steady_clock::now() - start, Millis(180)); }
        const auto sent = sim.bus.deviceFrames();
        ASSERT_EQ(sent.size(), 1u);
        const uint32_t id = 0x80000000u | (fc.remote ? 0x40000000u : 0u) | (kNode << 7) | fc.commandId;
        EXPECT_EQ(std::make_tuple(sent[0].can_id, sent[0].can_dlc, dataBytes(sent[0])),
                  std::make_tuple(id, fc.dlc, fc.data))
            << describe(sent[0]);
    }
    EXPECT_EQ(vinrel.getId(), kNode);  // setNodeId changed only the module
}

TEST_F(VinrelTest, RepliesDecodeIntoTheOutputs) {
    const auto spi = [](Vinrel& v) {
        unsigned char value = 0;
        bool flag = false;
        const ret_status_t status = v.getMAxxxSPIRegister(3, &value, &flag);
        return show(status, value, flag);
    };
    const struct {
        uint8_t cmd;
        Bytes data;
        std::function<std::string(Vinrel&)> read;
        std::string expected;
    } cases[] = {
        {3, {1, 2, 3, 4, 0xFF, 0xFF, 0xFF, 0xFF}, outs(&Vinrel::getHardwareVersion), "0: 1 2 3 4"},
        {4, {5, 6, 0x34, 0x12, 0xFF}, outs(&Vinrel::getFirmwareVersion), "0: 5 6 4660"},
        {5, {'a', 'b', 'c', 0, 0, 0, 0, 0}, outs(&Vinrel::getFirmwareCommit), "0: abc"},
        {5, {'1', '2', '3', '4', '5', '6', '7', '8'}, outs(&Vinrel::getFirmwareCommit), "0: 12345678"},
        {5, {0, 'x', 'y'}, outs(&Vinrel::getFirmwareCommit), "0: "},
        {10, {0x78, 0x56, 0x34, 0x12, 0xFF}, outs(&Vinrel::getNodeId), "0: 305419896"},
        {12, {9, 0xFF, 0xFF, 0xFF, 0xFF, 0x11}, outs(&Vinrel::getEncoderConfiguration), "0: 9 -1"},
        {14, Payload().put(1.5f).bytes(), outs(&Vinrel::getZeroPosition), "0: 1.5"},
        {16, {0xAB, 0xFF}, outs(&Vinrel::getEncoderDirection), "0: 171"},
        {18, {0x44, 0x33, 0x22, 0x11, 0xFF}, outs(&Vinrel::getFilterWindowLength), "0: 287454020"},
        {20, {0x2A, 0x01}, spi, "0: 42 1"},
        {20, {0x2A, 0xFE, 0xFF}, spi, "0: 42 0"},  // the flag is bit 8 alone
        {22, Payload().put(-0.25f).bytes(), outs(&Vinrel::getScalingFactor), "0: -0.25"},
        {48, {0xFF, 0xFF, 0xFF, 0xFF, 0x11}, outs(&Vinrel::getEncoderCount), "0: -1"},
        {49, {0xEF, 0xBE, 0xAD, 0xDE, 0x11}, outs(&Vinrel::getEncoderRawData), "0: 3735928559"},
        {91, Payload().put(500000u).bytes(), outs(&Vinrel::getCANBaudRate), "0: 6"},
        {91, Payload().put(800000u).bytes(), outs(&Vinrel::getCANBaudRate), "0: -1"},
        {96, {0xEF, 0xBE, 0xAD, 0xDE}, outs(&Vinrel::getErrorCode), "0: 3735928559"},
    };
    for (const auto& rc : cases) {
        SCOPED_TRACE(int(rc.cmd));
        reply(rc.cmd, rc.data);
        EXPECT_EQ(rc.read(vinrel), rc.expected);
    }
    ret_status_t (Vinrel::*const floatReads[])(float*) = {
        &Vinrel::getAbsoluteAngle,      &Vinrel::getMultiturnAngle,        &Vinrel::getRawVelocity,
        &Vinrel::getScaledVelocity,     &Vinrel::getFilteredVelocity,      &Vinrel::getScaledFilteredVelocity,
        &Vinrel::getRawAcceleration,    &Vinrel::getScaledAcceleration,    &Vinrel::getFilteredAcceleration,
        &Vinrel::getScaledFilteredAcceleration};
    for (uint8_t cmd = 50; cmd <= 59; ++cmd) {
        reply(cmd, Payload().put(0.5f * cmd).bytes());
        EXPECT_EQ(outs(floatReads[cmd - 50])(vinrel), show(RET_SUCCESS, 0.5f * cmd));
    }
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
    reply(20, {'*', 0x01});
    unsigned char value = 0;
    bool flag = false;
    ASSERT_EQ(vinrel.getMAxxxSPIRegister(3, &value, &flag), RET_SUCCESS);
    reply(5, {'a', 'b', 'c'});
    std::string commit;
    ASSERT_EQ(vinrel.getFirmwareCommit(&commit), RET_SUCCESS);
    sim.device.answer(50, [this](const can_frame_data&) -> std::optional<SimReply> {
        sim.device.send(60, Payload().put(1.0f).bytes());
        return Payload().put(2.0f).reply(Millis(50));
    });
    float angle = 0;
    EXPECT_EQ(vinrel.getAbsoluteAngle(&angle), RET_SUCCESS);
    EXPECT_EQ(angle, 2.0f);
    vinrel.setOutputLogStream(nullptr);
    EXPECT_EQ(log.text(),
              "Pushed back data *\nPushed back data 1\nsetting new data received as true\n"
              "Pushed back string data: abc\nsetting new data received as true\n"
              "Unknown Command Id.\nPushed back data 2\nsetting new data received as true\n");
}

TEST(VinrelStatus, ChecksComeBeforeAnythingIsSent) {
    TestTransport stopped;
    Vinrel notRunning(kNode, &stopped);
    SimBus sim(kNode);
    ASSERT_TRUE(sim.ready());
    Vinrel absent(kNode + 1, &sim.bus);  // no heartbeat from this node
    Vinrel present(kNode, &sim.bus);
    for (const FrameCase& fc : frameCases()) {
        SCOPED_TRACE(fc.name);
        EXPECT_EQ(fc.call(notRunning), RET_INTERFACE_NOT_RUNNING);
        EXPECT_EQ(fc.call(absent), RET_NOT_CONNECTED);
    }
    r = CAN_BAUDRATE_1M;  // left alone when nothing was exchanged
    EXPECT_EQ(absent.getCANBaudRate(&r), RET_NOT_CONNECTED);
    EXPECT_EQ(r, CAN_BAUDRATE_1M);
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
