// Every reply layout of the driver decoded into its out-parameters, the
// outputs computed after an exchange, time-outs and the compound reads,
// against a simulated driver on the in-process bus.

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <string>
#include <tuple>
#include <type_traits>

#include "quorvel_transport/driver.hpp"
#include "sim_device.hpp"

using namespace qt_test;

namespace {

constexpr uint32_t kNode = 0x2A5;  // spans both identifier bytes of the node id

using Bytes = std::array<uint8_t, 8>;

Bytes floats(float a, float b) { return Payload().put(a).put(b).bytes(); }

Payload shorts(uint16_t a, uint16_t b, uint16_t c, uint16_t d) { return Payload().put(a).put(b).put(c).put(d); }

// A value that differs from `value`, to start an output from.
template <typename T>
T other(T value) {
    return std::is_same_v<T, bool> ? static_cast<T>(!value) : static_cast<T>(value + 1);
}

class DriverReplies : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim.ready()); }

    void reply(uint8_t cmd, const Bytes& data) {
        SimReply r;
        r.data = data;
        sim.device.answer(cmd, r);
    }

    // Reads through `read` into `got`. An object whose node is absent sends
    // nothing and leaves the outputs; this one sends one empty remote request.
    template <typename... T>
    void read(uint8_t cmd, ret_status_t (Driver::*read)(T*...), std::tuple<T...>& got) {
        const auto call = [&](Driver& d) { return std::apply([&](T&... out) { return (d.*read)(&out...); }, got); };
        const auto before = got;
        EXPECT_EQ(call(absent), RET_NOT_CONNECTED);
        EXPECT_EQ(got, before);
        sim.bus.clearSent();
        ASSERT_EQ(call(driver), RET_SUCCESS);
        const auto sent = sim.bus.deviceFrames();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(std::make_tuple(sent[0].can_id, sent[0].can_dlc, dataBytes(sent[0])),
                  std::make_tuple(0xC0000000u | (kNode << 7) | cmd, 8, Bytes{}));
    }

    // Answers `cmd` with `data`, reads into outputs that hold other values
    // first, and compares them with `expected`.
    template <typename... T, typename... E>
    void expectDecoded(uint8_t cmd, const Bytes& data, ret_status_t (Driver::*call)(T*...), E... expected) {
        static_assert(sizeof...(T) == sizeof...(E), "one expected value per output");
        SCOPED_TRACE(int(cmd));
        reply(cmd, data);
        std::tuple<T...> got{other(static_cast<T>(expected))...};
        read(cmd, call, got);
        EXPECT_EQ(got, std::tuple<T...>{static_cast<T>(expected)...});
    }

    LogCapture log;  // outlives the driver that may write to it
    SimBus sim{kNode};
    Driver driver{kNode, &sim.bus};
    Driver absent{kNode + 1, &sim.bus};  // no heartbeat from this node
};

TEST_F(DriverReplies, EveryLayoutDecodesIntoItsOutputs) {
    expectDecoded(3, {1, 2, 3, 4, 0xFF, 0xFF, 0xFF, 0xFF}, &Driver::getHardwareVersion, 1, 2, 3, 4);
    expectDecoded(4, {5, 6, 0x34, 0x12, 0xFF}, &Driver::getFirmwareVersion, 5, 6, 0x1234);
    expectDecoded(10, {0x78, 0x56, 0x34, 0x12, 0xFF}, &Driver::getNodeId, 0x12345678u);
    // bit 32 set, bit 33 clear, bit 34 set
    expectDecoded(14, {0, 0, 0, 0x3F, 5}, &Driver::getBrakeResistorState, true, 0.5f, false, true);
    expectDecoded(18, {7, 0x34, 0x12, 0, 0, 0x80, 0x3F, 0xFF}, &Driver::getMotorParameters, 7, 0x1234, 1.0f);
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
    expectDecoded(74, {0x5A, 0xFF}, &Driver::getHallEncoderState, 0x5A);
    expectDecoded(80, {0x81, 0xFF}, &Driver::getControllerState, 0x81);
    expectDecoded(81, {2}, &Driver::getMotorState, false, true);
    expectDecoded(82, {6}, &Driver::getMotorEncoderState, false, true, true);
    expectDecoded(83, {1}, &Driver::getOutputEncoderState, true, false);
    // A bool is one bit: bit 0 clear means false whatever the other bits.
    expectDecoded(84, {0xFE, 0xFF}, &Driver::getTrajectoryDoneStatus, false);
    expectDecoded(84, {1}, &Driver::getTrajectoryDoneStatus, true);
    expectDecoded(88, {3}, &Driver::getCANCommunicationStatus, true, true);
    expectDecoded(86, {0xFF, 0xFF, 0xFF, 0xFF, 0x11}, &Driver::getMotorEncoderRawData, -1);
    expectDecoded(87, {0, 0, 0, 0x80}, &Driver::getOutputEncoderRawData, INT_MIN);
    expectDecoded(89, {0x34, 0x12, 0xFF}, &Driver::getControllerMode, 0x1234);
    expectDecoded(59, Payload().put(500000u).bytes(), &Driver::getCANBaudRate, CAN_BAUDRATE_500K);
    expectDecoded(59, Payload().put(800000u).bytes(), &Driver::getCANBaudRate, static_cast<CANBaudRate>(-1));
    // Codes outside the known range read as 255, whatever their width.
    for (const auto& [sent, reported] : {std::pair(40u, 40u), {41u, 255u}, {256u, 255u}, {4294967295u, 255u}}) {
        expectDecoded(96, Payload().put(sent).bytes(), &Driver::getErrorCode, static_cast<driver_error_t>(reported));
    }

    // Every byte is a character, NUL included.
    reply(5, {'a', 'b', 'c', '1', '2', '3', '4', 0});
    std::tuple<std::string> commit;
    read(5, &Driver::getFirmwareCommit, commit);
    EXPECT_EQ(std::get<0>(commit), std::string("abc1234\0", 8));
}

// Every read of one float, from the first or the second field of its reply.
TEST_F(DriverReplies, SingleFloatReads) {
    const struct {
        uint8_t cmd;
        ret_status_t (Driver::*read)(float*);
        bool second = false;
    } reads[] = {
        {16, &Driver::getRegenCurrentTripLevel}, {51, &Driver::getMotorTorqueLimit},
        {24, &Driver::getGearBoxParameters}, {28, &Driver::getPositionControllerGain},
        {32, &Driver::getCurrentControllerBandwidth}, {35, &Driver::getMotorEncoderBandwidth},
        {42, &Driver::getCurrentFilter}, {44, &Driver::getEncoderDataFilter}, {37, &Driver::getZeroPosition},
        {60, &Driver::getOutputPosition}, {61, &Driver::getOutputVelocity}, {62, &Driver::getOutputAcceleration},
        {63, &Driver::getOutputTorque}, {64, &Driver::getMotorPosition}, {65, &Driver::getMotorVelocity},
        {66, &Driver::getMotorAcceleration}, {67, &Driver::getMotorTorque}, {68, &Driver::getMotorTemperature},
        {68, &Driver::getDriverTemperature, true}, {70, &Driver::getBusVoltage}, {70, &Driver::getBusCurrent, true},
        {72, &Driver::getBrakeCurrent},
    };
    for (const auto& r : reads) {
        SCOPED_TRACE(int(r.cmd));
        const float first = -0.5f * r.cmd, second = 0.25f * r.cmd;
        reply(r.cmd, floats(first, second));
        std::tuple<float> v{0.0f};
        read(r.cmd, r.read, v);
        EXPECT_EQ(std::get<0>(v), r.second ? second : first);
    }
}

// These outputs are written whatever the status: after a time-out they come
// from what the out-parameters held, and only the computed ones change. A
// null out-parameter is skipped, also for the ones computed from it.
TEST_F(DriverReplies, ComputedAndNullOutputsAfterATimeOutAndASuccess) {
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
    EXPECT_EQ(driver.getFirmwareCommit(nullptr), RET_TIMEOUT);

    reply(69, floats(1.0f, 2.0f));
    float a = 0;
    ASSERT_EQ(driver.getMotorPhaseCurrents(&a, nullptr, nullptr), RET_SUCCESS);
    EXPECT_EQ(a, -3.0f);
    reply(40, {0, 0, 0x20, 0x41, 0x6E, 0x0F, 90, 1});
    ASSERT_EQ(driver.getMotorThermistorConfiguration(nullptr, nullptr, nullptr, nullptr, &lower), RET_SUCCESS);
    EXPECT_EQ(lower, 80);
}

// Only node id and command id match a reply: a short data length or the
// remote flag set on it change nothing.
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

// Both halves are asked for even when the first times out (the second half
// is still written); each half is written only from its own reply.
TEST_F(DriverReplies, HallEncoderStateCounts) {
    using Counts = std::array<unsigned short, 8>;
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
        Counts got;
        got.fill(9);
        EXPECT_EQ(driver.getHallEncoderStateCounts(&got[0], &got[1], &got[2], &got[3], &got[4], &got[5], &got[6],
                                                   &got[7]),
                  c.status);
        EXPECT_EQ(got, c.counts);
    }
}

TEST_F(DriverReplies, DebugErrorCodeAnswersEachSelectorAndStopsAtTheFirstTimeOut) {
    // Each selector's answer differs in the top and the bottom byte.
    sim.device.answer(110, [](const can_frame_data& request) -> std::optional<SimReply> {
        if (request.data[0] == 3) return std::nullopt;
        return Payload().put<unsigned long>(0xF0E0D0C0B0A09000ull + request.data[0]).reply();
    });
    std::array<unsigned long, 6> c;
    c.fill(1);
    EXPECT_EQ(driver.getDebugErrorCode(&c[0], &c[1], &c[2], &c[3], &c[4], &c[5]), RET_TIMEOUT);
    EXPECT_EQ(c, (std::array<unsigned long, 6>{0xF0E0D0C0B0A09001ull, 0xF0E0D0C0B0A09002ull, 1, 1, 1, 1}));
    EXPECT_EQ(sim.device.requests(110).size(), 3u);
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
    sim.device.send(7, {});
    waitUntil([&] { return log.count("Unknown Command Id.\n") >= 1; }, Millis(2000));
    driver.setOutputLogStream(nullptr);
    EXPECT_EQ(log.text(), "Unknown Command Id.\n");
}

}  // namespace
