// Every reply layout of the driver decoded into its out-parameters, the
// outputs computed after an exchange, time-outs and the compound reads,
// against a simulated driver on the in-process bus.

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <string>
#include <tuple>

#include "driver.hpp"
#include "sim_device.hpp"

using namespace qt_test;

namespace {

constexpr uint32_t kNode = 12;

using Bytes = std::array<uint8_t, 8>;
using Counts = std::array<unsigned short, 8>;

Payload shorts(unsigned short a, unsigned short b, unsigned short c, unsigned short d) {
    return Payload().put(a).put(b).put(c).put(d);
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

    ret_status_t hallCounts(Counts& c) {
        return driver.getHallEncoderStateCounts(&c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &c[6], &c[7]);
    }
    ret_status_t debugCodes(std::array<unsigned long, 6>& c) {
        return driver.getDebugErrorCode(&c[0], &c[1], &c[2], &c[3], &c[4], &c[5]);
    }

    LogCapture log;  // outlives the driver that may write to it
    SimBus sim{kNode};
    Driver driver{kNode, &sim.bus};
};

TEST_F(DriverReplies, Identity) {
    reply(3, {0x01, 0x02, 0x03, 0x04, 0xFF, 0xFF, 0xFF, 0xFF});
    unsigned char a = 0, b = 0, c = 0, d = 0;
    ASSERT_EQ(driver.getHardwareVersion(&a, &b, &c, &d), RET_SUCCESS);
    EXPECT_EQ(std::tie(a, b, c, d), std::make_tuple(1, 2, 3, 4));

    reply(4, {0x05, 0x06, 0x34, 0x12, 0xFF});
    unsigned short patch = 0;
    ASSERT_EQ(driver.getFirmwareVersion(&a, &b, &patch), RET_SUCCESS);
    EXPECT_EQ(std::tie(a, b, patch), std::make_tuple(5, 6, 0x1234));

    reply(10, {0x78, 0x56, 0x34, 0x12, 0xFF});
    unsigned int node = 0;
    ASSERT_EQ(driver.getNodeId(&node), RET_SUCCESS);
    EXPECT_EQ(node, 0x12345678u);

    // Every byte of the commit is a character, a zero byte included.
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

TEST_F(DriverReplies, TwoFloatReads) {
    const struct {
        uint8_t cmd;
        ret_status_t (Driver::*read)(float*, float*);
    } reads[] = {
        {12, &Driver::getDCBusTripLevels},         {20, &Driver::getMotorCalibrationParameters},
        {85, &Driver::getMotorPhaseParameters},    {30, &Driver::getVelocityControllerGains},
        {33, &Driver::getCurrentControllerGains},  {71, &Driver::getIdqCurrents},
    };
    for (const auto& r : reads) {
        SCOPED_TRACE(int(r.cmd));
        reply(r.cmd, Payload().put(-0.5f * r.cmd).put(0.25f * r.cmd));
        float x = 0, y = 0;
        ASSERT_EQ((driver.*r.read)(&x, &y), RET_SUCCESS);
        EXPECT_EQ(std::tie(x, y), std::make_tuple(-0.5f * r.cmd, 0.25f * r.cmd));
    }
}

TEST_F(DriverReplies, MixedLayouts) {
    // bit 32 set, bit 33 clear, bit 34 set
    reply(14, {0x00, 0x00, 0x00, 0x3F, 0x05});
    bool enabled = false, second = true, third = false;
    float resistance = 0;
    ASSERT_EQ(driver.getBrakeResistorState(&enabled, &resistance, &second, &third), RET_SUCCESS);
    EXPECT_EQ(std::tie(enabled, resistance, second, third), std::make_tuple(true, 0.5f, false, true));

    reply(18, {0x07, 0x34, 0x12, 0x00, 0x00, 0x80, 0x3F, 0xFF});
    unsigned char polePairs = 0;
    unsigned short kv = 0;
    float limit = 0;
    ASSERT_EQ(driver.getMotorParameters(&polePairs, &kv, &limit), RET_SUCCESS);
    EXPECT_EQ(std::tie(polePairs, kv, limit), std::make_tuple(7, 0x1234, 1.0f));

    reply(53, {0xAB});
    unsigned char type = 0;
    ASSERT_EQ(driver.getMotorType(&type), RET_SUCCESS);
    EXPECT_EQ(type, 0xAB);

    reply(22, {0x03, 0xFE, 0xFF, 0xFF, 0xFF, 0x01});
    int resolution = 0;
    bool useIndex = false;
    ASSERT_EQ(driver.getMotorEncoderConfiguration(&type, &resolution, &useIndex), RET_SUCCESS);
    EXPECT_EQ(std::tie(type, resolution, useIndex), std::make_tuple(3, -2, true));

    // Only bit 40 is the index flag; bit 41 set beside it must not count.
    reply(26, {0x04, 0x00, 0x00, 0x00, 0x80, 0x02});
    ASSERT_EQ(driver.getOutputEncoderConfiguration(&type, &resolution, &useIndex), RET_SUCCESS);
    EXPECT_EQ(std::tie(type, resolution, useIndex), std::make_tuple(4, INT_MIN, false));

    reply(46, {0x05});
    bool a = false, b = true, c = false;
    ASSERT_EQ(driver.getStartupConfigs(&a, &b, &c), RET_SUCCESS);
    EXPECT_EQ(std::tie(a, b, c), std::make_tuple(true, false, true));

    reply(95, {0xEF, 0xBE, 0xAD, 0xDE});
    unsigned int fault = 0;
    ASSERT_EQ(driver.getDriverFault(&fault), RET_SUCCESS);
    EXPECT_EQ(fault, 0xDEADBEEFu);
}

TEST_F(DriverReplies, ThermistorConfigurationDerivesTheLowerLimit) {
    bool enabled = false;
    float rRef = 0;
    unsigned short beta = 0;
    unsigned char upper = 0, lower = 0;
    reply(40, {0x00, 0x00, 0x20, 0x41, 0x6E, 0x0F, 90, 0x01});
    ASSERT_EQ(driver.getMotorThermistorConfiguration(&enabled, &rRef, &beta, &upper, &lower), RET_SUCCESS);
    EXPECT_EQ(std::tie(enabled, rRef, beta, upper, lower), std::make_tuple(true, 10.0f, 3950, 90, 80));

    reply(40, {0x00, 0x00, 0x20, 0x41, 0x6E, 0x0F, 5, 0x00});
    ASSERT_EQ(driver.getMotorThermistorConfiguration(&enabled, &rRef, &beta, &upper, &lower), RET_SUCCESS);
    EXPECT_EQ(std::tie(enabled, upper, lower), std::make_tuple(false, 5, 251));  // 8-bit wrap
}

TEST_F(DriverReplies, BaudRateReplyMapsToTheTableIndex) {
    CANBaudRate rate = CAN_BAUDRATE_10K;
    reply(59, Payload().put(500000u));
    ASSERT_EQ(driver.getCANBaudRate(&rate), RET_SUCCESS);
    EXPECT_EQ(rate, CAN_BAUDRATE_500K);

    reply(59, Payload().put(800000u));
    EXPECT_EQ(driver.getCANBaudRate(&rate), RET_SUCCESS);
    EXPECT_EQ(static_cast<int>(rate), -1);
}

TEST_F(DriverReplies, ErrorCodeMapsValuesOutsideTheKnownRange) {
    const struct {
        unsigned int sent;
        unsigned int reported;
    } cases[] = {{0, 0}, {40, 40}, {41, 255}, {254, 255}, {255, 255}, {256, 255}, {4294967295u, 255}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sent);
        reply(96, Payload().put(c.sent));
        driver_error_t code = static_cast<driver_error_t>(7);
        ASSERT_EQ(driver.getErrorCode(&code), RET_SUCCESS);
        EXPECT_EQ(static_cast<unsigned int>(code), c.reported);
    }
}

TEST_F(DriverReplies, PhaseCurrentsDeriveTheThirdPhase) {
    for (auto read : {&Driver::getMotorPhaseCurrents, &Driver::getDCCalibPhaseCurrents}) {
        const uint8_t cmd = read == &Driver::getMotorPhaseCurrents ? 69 : 73;
        SCOPED_TRACE(int(cmd));
        reply(cmd, Payload().put(1.0f).put(2.0f));
        float a = 0, b = 0, c = 0;
        ASSERT_EQ((driver.*read)(&a, &b, &c), RET_SUCCESS);
        EXPECT_EQ(std::tie(a, b, c), std::make_tuple(-3.0f, 1.0f, 2.0f));
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

TEST_F(DriverReplies, StateReads) {
    unsigned char state = 0;
    reply(74, {0x5A, 0xFF});
    ASSERT_EQ(driver.getHallEncoderState(&state), RET_SUCCESS);
    EXPECT_EQ(state, 0x5A);
    reply(80, {0x81, 0xFF});
    ASSERT_EQ(driver.getControllerState(&state), RET_SUCCESS);
    EXPECT_EQ(state, 0x81);

    bool a = true, b = false, c = true;
    reply(81, {0x02});
    ASSERT_EQ(driver.getMotorState(&a, &b), RET_SUCCESS);
    EXPECT_EQ(std::tie(a, b), std::make_tuple(false, true));
    reply(82, {0x06});
    ASSERT_EQ(driver.getMotorEncoderState(&a, &b, &c), RET_SUCCESS);
    EXPECT_EQ(std::tie(a, b, c), std::make_tuple(false, true, true));
    reply(83, {0x01});
    ASSERT_EQ(driver.getOutputEncoderState(&a, &b), RET_SUCCESS);
    EXPECT_EQ(std::tie(a, b), std::make_tuple(true, false));
    // A bool is one bit: bit 0 clear means false whatever the other bits.
    reply(84, {0xFE, 0xFF});
    ASSERT_EQ(driver.getTrajectoryDoneStatus(&a), RET_SUCCESS);
    EXPECT_FALSE(a);
    reply(84, {0x01});
    ASSERT_EQ(driver.getTrajectoryDoneStatus(&a), RET_SUCCESS);
    EXPECT_TRUE(a);
    reply(88, {0x03});
    ASSERT_EQ(driver.getCANCommunicationStatus(&a, &b), RET_SUCCESS);
    EXPECT_EQ(std::tie(a, b), std::make_tuple(true, true));

    int raw = 0;
    reply(86, {0xFF, 0xFF, 0xFF, 0xFF, 0x11});
    ASSERT_EQ(driver.getMotorEncoderRawData(&raw), RET_SUCCESS);
    EXPECT_EQ(raw, -1);
    reply(87, {0x00, 0x00, 0x00, 0x80});
    ASSERT_EQ(driver.getOutputEncoderRawData(&raw), RET_SUCCESS);
    EXPECT_EQ(raw, INT_MIN);

    unsigned short mode = 0;
    reply(89, {0x34, 0x12, 0xFF});
    ASSERT_EQ(driver.getControllerMode(&mode), RET_SUCCESS);
    EXPECT_EQ(mode, 0x1234);
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
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.answer75 << c.answer76);
        SimBus fresh(kNode);  // no answers left over from the previous case
        ASSERT_TRUE(fresh.ready());
        Driver d(kNode, &fresh.bus);
        if (c.answer75) fresh.device.answer(75, shorts(1, 2, 3, 4).reply());
        if (c.answer76) fresh.device.answer(76, shorts(0xFFFF, 6, 7, 0x8008).reply());
        Counts got;
        got.fill(9);
        EXPECT_EQ(d.getHallEncoderStateCounts(&got[0], &got[1], &got[2], &got[3], &got[4], &got[5], &got[6],
                                              &got[7]),
                  c.status);
        EXPECT_EQ(got, c.counts);
        EXPECT_EQ(fresh.device.requests(75).size(), 1u);
        EXPECT_EQ(fresh.device.requests(76).size(), 1u);
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

TEST_F(DriverReplies, TimeOutAfterAboutTwoHundredMillisecondsLeavesTheOutput) {
    float v = 42.0f;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(driver.getBusVoltage(&v), RET_TIMEOUT);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, Millis(190));
    EXPECT_LT(elapsed, Millis(1500));
    EXPECT_EQ(v, 42.0f);
}

TEST_F(DriverReplies, LateReplyIsIgnoredAndTheNextReadsSeeOnlyTheirOwn) {
    int calls = 0;
    sim.device.answer(70, [&calls](const can_frame_data&) -> std::optional<SimReply> {
        // First answer 300 ms late, later ones at once with other values.
        return ++calls == 1 ? Payload().put(11.0f).put(0.0f).reply(Millis(300))
                            : Payload().put(22.0f).put(0.0f).reply();
    });
    sim.device.answer(60, Payload().put(5.0f).reply(Millis(150)));

    float v = -1.0f;
    EXPECT_EQ(driver.getBusVoltage(&v), RET_TIMEOUT);
    EXPECT_EQ(v, -1.0f);
    // Armed for command 60 while the late reply of 70 arrives.
    float position = 0;
    EXPECT_EQ(driver.getOutputPosition(&position), RET_SUCCESS);
    EXPECT_EQ(position, 5.0f);
    std::this_thread::sleep_for(Millis(200));  // the late frame is surely through
    EXPECT_EQ(driver.getBusVoltage(&v), RET_SUCCESS);
    EXPECT_EQ(v, 22.0f);
}

TEST_F(DriverReplies, FirstOfTwoRepliesWins) {
    // Two different frames for the same request, back to back.
    sim.device.answer(70, [this](const can_frame_data&) -> std::optional<SimReply> {
        sim.device.send(70, Payload().put(1.0f).put(0.0f).bytes());
        return Payload().put(2.0f).put(0.0f).reply();
    });
    float v = 0;
    ASSERT_EQ(driver.getBusVoltage(&v), RET_SUCCESS);
    EXPECT_EQ(v, 1.0f);
    // The second frame is not left over for the next read.
    std::this_thread::sleep_for(Millis(50));
    sim.device.answer(70, Payload().put(3.0f).put(0.0f).reply(Millis(20)));
    ASSERT_EQ(driver.getBusVoltage(&v), RET_SUCCESS);
    EXPECT_EQ(v, 3.0f);
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
