// Every reply layout of the driver decoded into its out-parameters, the
// outputs computed after an exchange, time-outs and the compound reads,
// against a simulated driver on the in-process bus.

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <string>
#include <tuple>
#include <type_traits>

#include "driver.hpp"
#include "sim_device.hpp"

using namespace qt_test;

namespace {

constexpr uint32_t kNode = 12;

using Bytes = std::array<uint8_t, 8>;
using Counts = std::array<unsigned short, 8>;

Bytes floats(float a, float b) { return Payload().put(a).put(b).bytes(); }

Payload shorts(unsigned short a, unsigned short b, unsigned short c, unsigned short d) {
    return Payload().put(a).put(b).put(c).put(d);
}

template <typename T>
T other(T value) {
    if constexpr (std::is_same_v<T, bool>) {
        return !value;
    } else {
        return static_cast<T>(value + 1);
    }
}

class DriverReplies : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim.ready()); }

    void reply(uint8_t cmd, const Bytes& data) {
        SimReply r;
        r.data = data;
        sim.device.answer(cmd, r);
    }
    void reply(uint8_t cmd, const Payload& p) { sim.device.answer(cmd, p.reply()); }

    // Answers `cmd` with `data`, reads through `read` into outputs that hold
    // other values first, and compares them with `expected`.
    template <typename... T, typename... E>
    void expectDecoded(uint8_t cmd, const Bytes& data, ret_status_t (Driver::*read)(T*...), E... expected) {
        static_assert(sizeof...(T) == sizeof...(E), "one expected value per output");
        SCOPED_TRACE(int(cmd));
        reply(cmd, data);
        const std::tuple<T...> want{static_cast<T>(expected)...};
        std::tuple<T...> got{other(static_cast<T>(expected))...};
        ASSERT_EQ(std::apply([&](T&... out) { return (driver.*read)(&out...); }, got), RET_SUCCESS);
        EXPECT_EQ(got, want);
    }

    ret_status_t debugCodes(std::array<unsigned long, 6>& c) {
        return driver.getDebugErrorCode(&c[0], &c[1], &c[2], &c[3], &c[4], &c[5]);
    }

    LogCapture log;  // outlives the driver that may write to it
    SimBus sim{kNode};
    Driver driver{kNode, &sim.bus};
};

TEST_F(DriverReplies, EveryLayoutDecodesIntoItsOutputs) {
    expectDecoded(3, {0x01, 0x02, 0x03, 0x04, 0xFF, 0xFF, 0xFF, 0xFF}, &Driver::getHardwareVersion, 1, 2, 3, 4);
    expectDecoded(4, {0x05, 0x06, 0x34, 0x12, 0xFF}, &Driver::getFirmwareVersion, 5, 6, 0x1234);
    expectDecoded(10, {0x78, 0x56, 0x34, 0x12, 0xFF}, &Driver::getNodeId, 0x12345678u);
    // bit 32 set, bit 33 clear, bit 34 set
    expectDecoded(14, {0x00, 0x00, 0x00, 0x3F, 0x05}, &Driver::getBrakeResistorState, true, 0.5f, false, true);
    expectDecoded(18, {0x07, 0x34, 0x12, 0x00, 0x00, 0x80, 0x3F, 0xFF}, &Driver::getMotorParameters, 7, 0x1234, 1.0f);
    expectDecoded(53, {0xAB}, &Driver::getMotorType, 0xAB);
    expectDecoded(22, {0x03, 0xFE, 0xFF, 0xFF, 0xFF, 0x01}, &Driver::getMotorEncoderConfiguration, 3, -2, true);
    // Only bit 40 is the index flag; bit 41 set beside it must not count.
    expectDecoded(26, {0x04, 0x00, 0x00, 0x00, 0x80, 0x02}, &Driver::getOutputEncoderConfiguration, 4, INT_MIN,
                  false);
    // The lower limit is derived from the upper, with an 8-bit wrap.
    expectDecoded(40, {0x00, 0x00, 0x20, 0x41, 0x6E, 0x0F, 90, 0x01}, &Driver::getMotorThermistorConfiguration, true,
                  10.0f, 3950, 90, 80);
    expectDecoded(40, {0x00, 0x00, 0x20, 0x41, 0x6E, 0x0F, 5, 0x00}, &Driver::getMotorThermistorConfiguration, false,
                  10.0f, 3950, 5, 251);
    expectDecoded(46, {0x05}, &Driver::getStartupConfigs, true, false, true);
    expectDecoded(95, {0xEF, 0xBE, 0xAD, 0xDE}, &Driver::getDriverFault, 0xDEADBEEFu);
    expectDecoded(12, floats(24.5f, -2.0f), &Driver::getDCBusTripLevels, 24.5f, -2.0f);
    expectDecoded(20, floats(2.0f, 0.5f), &Driver::getMotorCalibrationParameters, 2.0f, 0.5f);
    expectDecoded(85, floats(0.125f, 3.0f), &Driver::getMotorPhaseParameters, 0.125f, 3.0f);
    expectDecoded(30, floats(1.5f, -0.5f), &Driver::getVelocityControllerGains, 1.5f, -0.5f);
    expectDecoded(33, floats(2.5f, -4.0f), &Driver::getCurrentControllerGains, 2.5f, -4.0f);
    expectDecoded(71, floats(-1.25f, 2.75f), &Driver::getIdqCurrents, -1.25f, 2.75f);
    // The third phase is derived from the two sent.
    expectDecoded(69, floats(1.0f, 2.0f), &Driver::getMotorPhaseCurrents, -3.0f, 1.0f, 2.0f);
    expectDecoded(73, floats(1.0f, 2.0f), &Driver::getDCCalibPhaseCurrents, -3.0f, 1.0f, 2.0f);
}

TEST_F(DriverReplies, StateReads) {
    expectDecoded(74, {0x5A, 0xFF}, &Driver::getHallEncoderState, 0x5A);
    expectDecoded(80, {0x81, 0xFF}, &Driver::getControllerState, 0x81);
    expectDecoded(81, {0x02}, &Driver::getMotorState, false, true);
    expectDecoded(82, {0x06}, &Driver::getMotorEncoderState, false, true, true);
    expectDecoded(83, {0x01}, &Driver::getOutputEncoderState, true, false);
    // A bool is one bit: bit 0 clear means false whatever the other bits.
    expectDecoded(84, {0xFE, 0xFF}, &Driver::getTrajectoryDoneStatus, false);
    expectDecoded(84, {0x01}, &Driver::getTrajectoryDoneStatus, true);
    expectDecoded(88, {0x03}, &Driver::getCANCommunicationStatus, true, true);
    expectDecoded(86, {0xFF, 0xFF, 0xFF, 0xFF, 0x11}, &Driver::getMotorEncoderRawData, -1);
    expectDecoded(87, {0x00, 0x00, 0x00, 0x80}, &Driver::getOutputEncoderRawData, INT_MIN);
    expectDecoded(89, {0x34, 0x12, 0xFF}, &Driver::getControllerMode, 0x1234);
}

TEST_F(DriverReplies, FirmwareCommitKeepsEveryByteAsACharacter) {
    std::string commit;
    for (const std::string& text : {std::string("abc1234\0", 8), std::string("deadbeef")}) {
        Bytes raw{};
        std::copy(text.begin(), text.end(), raw.begin());
        reply(5, raw);
        ASSERT_EQ(driver.getFirmwareCommit(&commit), RET_SUCCESS);
        EXPECT_EQ(commit, text);
    }
}

// Every read of one float, from the first or the second field of its reply.
TEST_F(DriverReplies, SingleFloatReads) {
    const struct {
        uint8_t cmd;
        ret_status_t (Driver::*read)(float*);
        bool second = false;
    } reads[] = {
        {16, &Driver::getRegenCurrentTripLevel}, {51, &Driver::getMotorTorqueLimit},
        {24, &Driver::getGearBoxParameters},     {28, &Driver::getPositionControllerGain},
        {32, &Driver::getCurrentControllerBandwidth}, {35, &Driver::getMotorEncoderBandwidth},
        {42, &Driver::getCurrentFilter},         {44, &Driver::getEncoderDataFilter},
        {37, &Driver::getZeroPosition},          {60, &Driver::getOutputPosition},
        {61, &Driver::getOutputVelocity},        {62, &Driver::getOutputAcceleration},
        {63, &Driver::getOutputTorque},          {64, &Driver::getMotorPosition},
        {65, &Driver::getMotorVelocity},         {66, &Driver::getMotorAcceleration},
        {67, &Driver::getMotorTorque},           {68, &Driver::getMotorTemperature},
        {68, &Driver::getDriverTemperature, true}, {70, &Driver::getBusVoltage},
        {70, &Driver::getBusCurrent, true},      {72, &Driver::getBrakeCurrent},
    };
    for (const auto& r : reads) {
        SCOPED_TRACE(int(r.cmd));
        const float first = -0.5f * r.cmd, second = 0.25f * r.cmd;
        reply(r.cmd, Payload().put(first).put(second));
        float v = 0;
        ASSERT_EQ((driver.*r.read)(&v), RET_SUCCESS);
        EXPECT_EQ(v, r.second ? second : first);
    }
}

TEST_F(DriverReplies, BaudRateAndErrorCodeMapTheirValues) {
    expectDecoded(59, Payload().put(500000u).bytes(), &Driver::getCANBaudRate, CAN_BAUDRATE_500K);
    expectDecoded(59, Payload().put(800000u).bytes(), &Driver::getCANBaudRate, static_cast<CANBaudRate>(-1));
    // Codes outside the known range read as 255.
    const std::pair<unsigned int, unsigned int> codes[] = {{0, 0},     {40, 40},  {41, 255},        {254, 255},
                                                           {255, 255}, {256, 255}, {4294967295u, 255}};
    for (const auto& [sent, reported] : codes) {
        SCOPED_TRACE(sent);
        expectDecoded(96, Payload().put(sent).bytes(), &Driver::getErrorCode, static_cast<driver_error_t>(reported));
    }
}

// These outputs are written whatever the status: after a time-out they come
// from what the out-parameters held, and only the computed ones change.
TEST_F(DriverReplies, ComputedOutputsAreWrittenAfterATimeOut) {
    std::string commit = "previous";
    EXPECT_EQ(driver.getFirmwareCommit(&commit), RET_TIMEOUT);
    EXPECT_EQ(commit, std::string(8, '\0'));

    bool enabled = true;
    float rRef = 1.0f;
    unsigned short beta = 2;
    unsigned char upper = 50, lower = 0;
    EXPECT_EQ(driver.getMotorThermistorConfiguration(&enabled, &rRef, &beta, &upper, &lower), RET_TIMEOUT);
    EXPECT_EQ(std::tie(enabled, rRef, beta, upper, lower), std::make_tuple(true, 1.0f, 2, 50, 40));

    CANBaudRate rate = CAN_BAUDRATE_1M;
    EXPECT_EQ(driver.getCANBaudRate(&rate), RET_TIMEOUT);
    EXPECT_EQ(static_cast<int>(rate), -1);

    for (auto read : {&Driver::getMotorPhaseCurrents, &Driver::getDCCalibPhaseCurrents}) {
        float a = 0, b = 0.5f, c = 0.25f;
        EXPECT_EQ((driver.*read)(&a, &b, &c), RET_TIMEOUT);
        EXPECT_EQ(std::tie(a, b, c), std::make_tuple(-0.75f, 0.5f, 0.25f));
    }

    driver_error_t code = DRIVER_ERROR_UNKNOWN;
    EXPECT_EQ(driver.getErrorCode(&code), RET_TIMEOUT);
    EXPECT_EQ(static_cast<unsigned int>(code), 0u);
}

TEST_F(DriverReplies, NullOutParametersAreSkipped) {
    reply(69, Payload().put(1.0f).put(2.0f));
    float a = 0;
    ASSERT_EQ(driver.getMotorPhaseCurrents(&a, nullptr, nullptr), RET_SUCCESS);
    EXPECT_EQ(a, -3.0f);

    reply(40, {0x00, 0x00, 0x20, 0x41, 0x6E, 0x0F, 90, 0x01});
    unsigned char lower = 0;
    ASSERT_EQ(driver.getMotorThermistorConfiguration(nullptr, nullptr, nullptr, nullptr, &lower), RET_SUCCESS);
    EXPECT_EQ(lower, 80);

    reply(70, Payload().put(24.0f).put(1.5f));
    EXPECT_EQ(driver.getBusVoltage(nullptr), RET_SUCCESS);
    EXPECT_EQ(driver.getFirmwareCommit(nullptr), RET_TIMEOUT);
}

// Devices may answer with a short data length or with the remote flag set:
// only node id and command id match a reply, its data are read as they are.
TEST_F(DriverReplies, ReplyDataLengthAndRemoteFlagAreNotLookedAt) {
    SimReply shortReply;
    shortReply.data = {0x34, 0x12, 0x56};
    shortReply.dlc = 1;
    sim.device.answer(89, shortReply);
    unsigned short mode = 0;
    ASSERT_EQ(driver.getControllerMode(&mode), RET_SUCCESS);
    EXPECT_EQ(mode, 0x1234);

    sim.device.answer(74, [this](const can_frame_data&) -> std::optional<SimReply> {
        sim.bus.injectAfter(makeFrame(kNode, 74, {0x5A}, 0, true), Millis(0));
        return std::nullopt;
    });
    unsigned char state = 0;
    ASSERT_EQ(driver.getHallEncoderState(&state), RET_SUCCESS);
    EXPECT_EQ(state, 0x5A);
}

// Both halves are asked for even when the first times out; each half is
// written only from its own reply.
TEST_F(DriverReplies, HallEncoderStateCounts) {
    const struct {
        bool answer75, answer76;
        ret_status_t status;
        Counts counts;
    } cases[] = {
        {true, true, RET_SUCCESS, {1, 2, 3, 4, 0xFFFF, 6, 7, 0x8008}},
        {false, true, RET_TIMEOUT, {9, 9, 9, 9, 0xFFFF, 6, 7, 0x8008}},
        {true, false, RET_TIMEOUT, {1, 2, 3, 4, 9, 9, 9, 9}},
    };
    const auto answer = [](bool yes, Payload p) {
        return [=](const can_frame_data&) { return yes ? std::optional<SimReply>(p.reply()) : std::nullopt; };
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.answer75 << c.answer76);
        sim.device.answer(75, answer(c.answer75, shorts(1, 2, 3, 4)));
        sim.device.answer(76, answer(c.answer76, shorts(0xFFFF, 6, 7, 0x8008)));
        sim.bus.clearSent();
        Counts got;
        got.fill(9);
        EXPECT_EQ(driver.getHallEncoderStateCounts(&got[0], &got[1], &got[2], &got[3], &got[4], &got[5], &got[6],
                                                   &got[7]),
                  c.status);
        EXPECT_EQ(got, c.counts);
        const auto sent = sim.bus.deviceFrames();
        ASSERT_EQ(sent.size(), 2u);
        EXPECT_EQ(sent[1].can_id & 0x7F, 76u);
    }
}

TEST_F(DriverReplies, DebugErrorCodeAnswersEachSelectorAndStopsAtTheFirstTimeOut) {
    sim.device.answer(110, [](const can_frame_data& request) -> std::optional<SimReply> {
        return Payload().put<unsigned long>(0xF0E0D0C0B0A09000ull + request.data[0]).reply();
    });
    std::array<unsigned long, 6> c{};
    ASSERT_EQ(debugCodes(c), RET_SUCCESS);
    for (unsigned k = 1; k <= 6; ++k) EXPECT_EQ(c[k - 1], 0xF0E0D0C0B0A09000ull + k) << k;

    sim.device.answer(110, [](const can_frame_data& request) -> std::optional<SimReply> {
        if (request.data[0] == 3) return std::nullopt;
        return Payload().put<unsigned long>(100u + request.data[0]).reply();
    });
    c.fill(1);
    const size_t before = sim.device.requests(110).size();
    EXPECT_EQ(debugCodes(c), RET_TIMEOUT);
    EXPECT_EQ(c, (std::array<unsigned long, 6>{101, 102, 1, 1, 1, 1}));
    EXPECT_EQ(sim.device.requests(110).size() - before, 3u);
}

// --- the hand-off over the bus

TEST_F(DriverReplies, TimeOutAndALateReplyThatTheNextReadsDoNotSee) {
    int calls = 0;
    sim.device.answer(70, [&calls](const can_frame_data&) -> std::optional<SimReply> {
        // First answer 300 ms late, later ones at once with other values.
        return ++calls == 1 ? Payload().put(11.0f).put(0.0f).reply(Millis(300))
                            : Payload().put(22.0f).put(0.0f).reply();
    });
    sim.device.answer(60, Payload().put(5.0f).reply(Millis(150)));

    // The read gives up after about 200 ms and leaves its output.
    float v = -1.0f;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(driver.getBusVoltage(&v), RET_TIMEOUT);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, Millis(190));
    EXPECT_LT(elapsed, Millis(1500));
    EXPECT_EQ(v, -1.0f);
    // Armed for command 60 while the late reply of 70 arrives.
    float position = 0;
    EXPECT_EQ(driver.getOutputPosition(&position), RET_SUCCESS);
    EXPECT_EQ(position, 5.0f);
    std::this_thread::sleep_for(Millis(200));  // the late frame is surely through
    EXPECT_EQ(driver.getBusVoltage(&v), RET_SUCCESS);
    EXPECT_EQ(v, 22.0f);
}

TEST_F(DriverReplies, LogLinesGoToTheDriversStream) {
    driver.setOutputLogStream(&log);
    reply(14, {0x00, 0x00, 0x00, 0x3F, 0x05});
    bool a, c, d;
    float b;
    ASSERT_EQ(driver.getBrakeResistorState(&a, &b, &c, &d), RET_SUCCESS);
    sim.device.send(7, {});
    sim.device.send(0, {});
    waitUntil([&] { return log.count("Unknown Command Id.\n") >= 2; }, Millis(2000));
    driver.setOutputLogStream(nullptr);
    EXPECT_EQ(log.text(), "Pushed back data 1\nPushed back data 0\nPushed back data 1\n"
                          "setting new data received as true\nUnknown Command Id.\nUnknown Command Id.\n");
}

}  // namespace
