// Every reply layout of the driver decoded into its out-parameters, the
// outputs computed after an exchange, time-outs and the compound reads,
// against a simulated driver on the in-process bus.

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <string>

#include "driver.hpp"
#include "sim_device.hpp"

using namespace qt_test;

namespace {

constexpr uint32_t kNode = 12;

SimReply bytes(std::array<uint8_t, 8> data) {
    SimReply r;
    r.data = data;
    return r;
}

class DriverReplies : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim.ready()); }

    void reply(uint8_t cmd, std::array<uint8_t, 8> data) { sim.device.answer(cmd, bytes(data)); }
    void reply(uint8_t cmd, const Payload& p) { sim.device.answer(cmd, p.reply()); }

    LogCapture log;  // outlives the driver that may write to it
    SimBus sim{kNode};
    Driver driver{kNode, &sim.bus};
};

// --- identity

TEST_F(DriverReplies, Identity) {
    reply(3, {0x01, 0x02, 0x03, 0x04, 0xFF, 0xFF, 0xFF, 0xFF});
    unsigned char a = 0, b = 0, c = 0, d = 0;
    ASSERT_EQ(driver.getHardwareVersion(&a, &b, &c, &d), RET_SUCCESS);
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 2);
    EXPECT_EQ(c, 3);
    EXPECT_EQ(d, 4);

    reply(4, {0x05, 0x06, 0x34, 0x12, 0xFF});
    unsigned short patch = 0;
    ASSERT_EQ(driver.getFirmwareVersion(&a, &b, &patch), RET_SUCCESS);
    EXPECT_EQ(a, 5);
    EXPECT_EQ(b, 6);
    EXPECT_EQ(patch, 0x1234);

    reply(10, {0x78, 0x56, 0x34, 0x12, 0xFF});
    unsigned int node = 0;
    ASSERT_EQ(driver.getNodeId(&node), RET_SUCCESS);
    EXPECT_EQ(node, 0x12345678u);
}

TEST_F(DriverReplies, FirmwareCommitKeepsEveryByteAsACharacter) {
    reply(5, {'a', 'b', 'c', '1', '2', '3', '4', 0});
    std::string commit;
    ASSERT_EQ(driver.getFirmwareCommit(&commit), RET_SUCCESS);
    EXPECT_EQ(commit, std::string("abc1234\0", 8));

    reply(5, {'d', 'e', 'a', 'd', 'b', 'e', 'e', 'f'});
    ASSERT_EQ(driver.getFirmwareCommit(&commit), RET_SUCCESS);
    EXPECT_EQ(commit, "deadbeef");
}

TEST_F(DriverReplies, FirmwareCommitAfterTimeOutIsEightZeroCharacters) {
    std::string commit = "previous";
    EXPECT_EQ(driver.getFirmwareCommit(&commit), RET_TIMEOUT);
    EXPECT_EQ(commit, std::string(8, '\0'));
}

// --- configuration reads

TEST_F(DriverReplies, LimitsAndElectricalSettings) {
    reply(12, Payload().put(24.5f).put(-2.0f));
    float under = 0, over = 0;
    ASSERT_EQ(driver.getDCBusTripLevels(&under, &over), RET_SUCCESS);
    EXPECT_EQ(under, 24.5f);
    EXPECT_EQ(over, -2.0f);

    // bit 32 set, bit 33 clear, bit 34 set
    reply(14, {0x00, 0x00, 0x00, 0x3F, 0x05});
    bool enabled = false, second = true, third = false;
    float resistance = 0;
    ASSERT_EQ(driver.getBrakeResistorState(&enabled, &resistance, &second, &third), RET_SUCCESS);
    EXPECT_TRUE(enabled);
    EXPECT_EQ(resistance, 0.5f);
    EXPECT_FALSE(second);
    EXPECT_TRUE(third);

    reply(16, Payload().put(-1.5f));
    float level = 0;
    ASSERT_EQ(driver.getRegenCurrentTripLevel(&level), RET_SUCCESS);
    EXPECT_EQ(level, -1.5f);

    reply(51, Payload().put(3.25f));
    ASSERT_EQ(driver.getMotorTorqueLimit(&level), RET_SUCCESS);
    EXPECT_EQ(level, 3.25f);
}

TEST_F(DriverReplies, MotorEncodersAndGearbox) {
    reply(18, {0x07, 0x34, 0x12, 0x00, 0x00, 0x80, 0x3F, 0xFF});
    unsigned char polePairs = 0;
    unsigned short kv = 0;
    float limit = 0;
    ASSERT_EQ(driver.getMotorParameters(&polePairs, &kv, &limit), RET_SUCCESS);
    EXPECT_EQ(polePairs, 7);
    EXPECT_EQ(kv, 0x1234);
    EXPECT_EQ(limit, 1.0f);

    reply(20, Payload().put(2.0f).put(0.5f));
    float x = 0, y = 0;
    ASSERT_EQ(driver.getMotorCalibrationParameters(&x, &y), RET_SUCCESS);
    EXPECT_EQ(x, 2.0f);
    EXPECT_EQ(y, 0.5f);

    reply(85, Payload().put(0.125f).put(3.0f));
    ASSERT_EQ(driver.getMotorPhaseParameters(&x, &y), RET_SUCCESS);
    EXPECT_EQ(x, 0.125f);
    EXPECT_EQ(y, 3.0f);

    reply(53, {0xAB});
    unsigned char type = 0;
    ASSERT_EQ(driver.getMotorType(&type), RET_SUCCESS);
    EXPECT_EQ(type, 0xAB);

    reply(22, {0x03, 0xFE, 0xFF, 0xFF, 0xFF, 0x01});
    int resolution = 0;
    bool useIndex = false;
    ASSERT_EQ(driver.getMotorEncoderConfiguration(&type, &resolution, &useIndex), RET_SUCCESS);
    EXPECT_EQ(type, 3);
    EXPECT_EQ(resolution, -2);
    EXPECT_TRUE(useIndex);

    // Only bit 40 is the index flag; bit 41 set beside it must not count.
    reply(26, {0x04, 0x00, 0x00, 0x00, 0x80, 0x02});
    useIndex = true;
    ASSERT_EQ(driver.getOutputEncoderConfiguration(&type, &resolution, &useIndex), RET_SUCCESS);
    EXPECT_EQ(type, 4);
    EXPECT_EQ(resolution, INT_MIN);
    EXPECT_FALSE(useIndex);

    reply(24, Payload().put(16.0f));
    float ratio = 0;
    ASSERT_EQ(driver.getGearBoxParameters(&ratio), RET_SUCCESS);
    EXPECT_EQ(ratio, 16.0f);
}

TEST_F(DriverReplies, ThermistorConfigurationDerivesTheLowerLimit) {
    reply(40, {0x00, 0x00, 0x20, 0x41, 0x6E, 0x0F, 90, 0x01});
    bool enabled = false;
    float rRef = 0;
    unsigned short beta = 0;
    unsigned char upper = 0, lower = 0;
    ASSERT_EQ(driver.getMotorThermistorConfiguration(&enabled, &rRef, &beta, &upper, &lower), RET_SUCCESS);
    EXPECT_TRUE(enabled);
    EXPECT_EQ(rRef, 10.0f);
    EXPECT_EQ(beta, 3950);
    EXPECT_EQ(upper, 90);
    EXPECT_EQ(lower, 80);

    reply(40, {0x00, 0x00, 0x20, 0x41, 0x6E, 0x0F, 5, 0x00});
    ASSERT_EQ(driver.getMotorThermistorConfiguration(&enabled, &rRef, &beta, &upper, &lower), RET_SUCCESS);
    EXPECT_FALSE(enabled);
    EXPECT_EQ(upper, 5);
    EXPECT_EQ(lower, 251);  // 8-bit wrap
}

TEST_F(DriverReplies, ThermistorLowerLimitAfterTimeOutUsesTheHeldUpperLimit) {
    bool enabled = true;
    float rRef = 1.0f;
    unsigned short beta = 2;
    unsigned char upper = 50, lower = 0;
    EXPECT_EQ(driver.getMotorThermistorConfiguration(&enabled, &rRef, &beta, &upper, &lower), RET_TIMEOUT);
    EXPECT_EQ(lower, 40);
    EXPECT_EQ(upper, 50);
    EXPECT_TRUE(enabled);
    EXPECT_EQ(rRef, 1.0f);
    EXPECT_EQ(beta, 2);
}

TEST_F(DriverReplies, GainsBandwidthsFiltersAndStartup) {
    struct {
        uint8_t cmd;
        ret_status_t (Driver::*read)(float*);
        float value;
    } singles[] = {
        {28, &Driver::getPositionControllerGain, 5.5f}, {32, &Driver::getCurrentControllerBandwidth, 1000.0f},
        {35, &Driver::getMotorEncoderBandwidth, -0.75f}, {42, &Driver::getCurrentFilter, 0.25f},
        {44, &Driver::getEncoderDataFilter, 0.0625f},   {37, &Driver::getZeroPosition, -3.5f},
    };
    for (const auto& s : singles) {
        SCOPED_TRACE(int(s.cmd));
        reply(s.cmd, Payload().put(s.value).put(99.0f));
        float v = 0;
        ASSERT_EQ((driver.*s.read)(&v), RET_SUCCESS);
        EXPECT_EQ(v, s.value);
    }

    reply(30, Payload().put(1.5f).put(-0.5f));
    float gain = 0, integrator = 0;
    ASSERT_EQ(driver.getVelocityControllerGains(&gain, &integrator), RET_SUCCESS);
    EXPECT_EQ(gain, 1.5f);
    EXPECT_EQ(integrator, -0.5f);

    reply(33, Payload().put(2.5f).put(-4.0f));
    ASSERT_EQ(driver.getCurrentControllerGains(&gain, &integrator), RET_SUCCESS);
    EXPECT_EQ(gain, 2.5f);
    EXPECT_EQ(integrator, -4.0f);

    reply(46, {0x05});
    bool a = false, b = true, c = false;
    ASSERT_EQ(driver.getStartupConfigs(&a, &b, &c), RET_SUCCESS);
    EXPECT_TRUE(a);
    EXPECT_FALSE(b);
    EXPECT_TRUE(c);
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

TEST_F(DriverReplies, BaudRateAfterTimeOutIsMinusOne) {
    CANBaudRate rate = CAN_BAUDRATE_1M;
    EXPECT_EQ(driver.getCANBaudRate(&rate), RET_TIMEOUT);
    EXPECT_EQ(static_cast<int>(rate), -1);
}

// --- telemetry

TEST_F(DriverReplies, SingleFloatTelemetry) {
    struct {
        uint8_t cmd;
        ret_status_t (Driver::*read)(float*);
    } reads[] = {
        {60, &Driver::getOutputPosition}, {61, &Driver::getOutputVelocity}, {62, &Driver::getOutputAcceleration},
        {63, &Driver::getOutputTorque},   {64, &Driver::getMotorPosition},  {65, &Driver::getMotorVelocity},
        {66, &Driver::getMotorAcceleration}, {67, &Driver::getMotorTorque},
    };
    for (const auto& r : reads) {
        SCOPED_TRACE(int(r.cmd));
        const float value = -0.5f * r.cmd;
        reply(r.cmd, Payload().put(value));
        float v = 0;
        ASSERT_EQ((driver.*r.read)(&v), RET_SUCCESS);
        EXPECT_EQ(v, value);
    }
}

TEST_F(DriverReplies, SharedRepliesKeepTheirOwnField) {
    reply(68, Payload().put(40.0f).put(55.5f));
    float v = 0;
    ASSERT_EQ(driver.getMotorTemperature(&v), RET_SUCCESS);
    EXPECT_EQ(v, 40.0f);
    ASSERT_EQ(driver.getDriverTemperature(&v), RET_SUCCESS);
    EXPECT_EQ(v, 55.5f);

    reply(70, Payload().put(24.0f).put(1.5f));
    ASSERT_EQ(driver.getBusVoltage(&v), RET_SUCCESS);
    EXPECT_EQ(v, 24.0f);
    ASSERT_EQ(driver.getBusCurrent(&v), RET_SUCCESS);
    EXPECT_EQ(v, 1.5f);

    reply(72, Payload().put(3.0f).put(4.0f));
    ASSERT_EQ(driver.getBrakeCurrent(&v), RET_SUCCESS);
    EXPECT_EQ(v, 3.0f);

    reply(71, Payload().put(-1.25f).put(2.75f));
    float id = 0, iq = 0;
    ASSERT_EQ(driver.getIdqCurrents(&id, &iq), RET_SUCCESS);
    EXPECT_EQ(id, -1.25f);
    EXPECT_EQ(iq, 2.75f);
}

TEST_F(DriverReplies, PhaseCurrentsDeriveTheThirdPhase) {
    for (uint8_t cmd : {69, 73}) {
        SCOPED_TRACE(int(cmd));
        reply(cmd, Payload().put(1.0f).put(2.0f));
        float a = 0, b = 0, c = 0;
        const ret_status_t status =
            cmd == 69 ? driver.getMotorPhaseCurrents(&a, &b, &c) : driver.getDCCalibPhaseCurrents(&a, &b, &c);
        ASSERT_EQ(status, RET_SUCCESS);
        EXPECT_EQ(a, -3.0f);
        EXPECT_EQ(b, 1.0f);
        EXPECT_EQ(c, 2.0f);
    }
}

TEST_F(DriverReplies, PhaseCurrentAfterTimeOutIsComputedFromHeldValues) {
    for (uint8_t cmd : {69, 73}) {
        SCOPED_TRACE(int(cmd));
        float a = 0, b = 0.5f, c = 0.25f;
        const ret_status_t status =
            cmd == 69 ? driver.getMotorPhaseCurrents(&a, &b, &c) : driver.getDCCalibPhaseCurrents(&a, &b, &c);
        EXPECT_EQ(status, RET_TIMEOUT);
        EXPECT_EQ(a, -0.75f);
        EXPECT_EQ(b, 0.5f);
        EXPECT_EQ(c, 0.25f);
    }
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

// --- states

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
    EXPECT_FALSE(a);
    EXPECT_TRUE(b);
    reply(82, {0x06});
    ASSERT_EQ(driver.getMotorEncoderState(&a, &b, &c), RET_SUCCESS);
    EXPECT_FALSE(a);
    EXPECT_TRUE(b);
    EXPECT_TRUE(c);
    reply(83, {0x01});
    ASSERT_EQ(driver.getOutputEncoderState(&a, &b), RET_SUCCESS);
    EXPECT_TRUE(a);
    EXPECT_FALSE(b);
    // A bool is one bit: bit 0 clear means false whatever the other bits.
    reply(84, {0xFE, 0xFF});
    ASSERT_EQ(driver.getTrajectoryDoneStatus(&a), RET_SUCCESS);
    EXPECT_FALSE(a);
    reply(84, {0x01});
    ASSERT_EQ(driver.getTrajectoryDoneStatus(&a), RET_SUCCESS);
    EXPECT_TRUE(a);
    reply(88, {0x03});
    ASSERT_EQ(driver.getCANCommunicationStatus(&a, &b), RET_SUCCESS);
    EXPECT_TRUE(a);
    EXPECT_TRUE(b);

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
    SimReply shortReply = bytes({0x34, 0x12, 0x56});
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

TEST_F(DriverReplies, HallEncoderStateCounts) {
    reply(75, Payload().put<unsigned short>(1).put<unsigned short>(2).put<unsigned short>(3).put<unsigned short>(4));
    reply(76, Payload().put<unsigned short>(0xFFFF).put<unsigned short>(6).put<unsigned short>(7).put<unsigned short>(
                  0x8008));
    unsigned short c[8] = {};
    ASSERT_EQ(driver.getHallEncoderStateCounts(&c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &c[6], &c[7]),
              RET_SUCCESS);
    const unsigned short expected[8] = {1, 2, 3, 4, 0xFFFF, 6, 7, 0x8008};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(c[i], expected[i]) << i;
}

TEST_F(DriverReplies, HallEncoderStateCountsGoesOnAfterAFirstTimeOut) {
    reply(76, Payload().put<unsigned short>(5).put<unsigned short>(6).put<unsigned short>(7).put<unsigned short>(8));
    unsigned short c[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    EXPECT_EQ(driver.getHallEncoderStateCounts(&c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &c[6], &c[7]),
              RET_TIMEOUT);
    const unsigned short expected[8] = {9, 9, 9, 9, 5, 6, 7, 8};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(c[i], expected[i]) << i;
    EXPECT_EQ(sim.device.requests(75).size(), 1u);
    EXPECT_EQ(sim.device.requests(76).size(), 1u);
}

TEST_F(DriverReplies, HallEncoderStateCountsReportsASecondTimeOut) {
    reply(75, Payload().put<unsigned short>(1).put<unsigned short>(2).put<unsigned short>(3).put<unsigned short>(4));
    unsigned short c[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    EXPECT_EQ(driver.getHallEncoderStateCounts(&c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &c[6], &c[7]),
              RET_TIMEOUT);
    const unsigned short expected[8] = {1, 2, 3, 4, 9, 9, 9, 9};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(c[i], expected[i]) << i;
}

// --- faults and errors

TEST_F(DriverReplies, DriverFaultIsRaw) {
    reply(95, {0xEF, 0xBE, 0xAD, 0xDE});
    unsigned int fault = 0;
    ASSERT_EQ(driver.getDriverFault(&fault), RET_SUCCESS);
    EXPECT_EQ(fault, 0xDEADBEEFu);
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

TEST_F(DriverReplies, ErrorCodeAfterTimeOutIsZero) {
    driver_error_t code = DRIVER_ERROR_UNKNOWN;
    EXPECT_EQ(driver.getErrorCode(&code), RET_TIMEOUT);
    EXPECT_EQ(static_cast<unsigned int>(code), 0u);
}

TEST_F(DriverReplies, DebugErrorCodeAnswersEachSelector) {
    sim.device.answer(110, [](const can_frame_data& request) -> std::optional<SimReply> {
        const uint64_t selector = request.data[0];
        return Payload().put<unsigned long>(0xF0E0D0C0B0A09000ull + selector).reply();
    });
    unsigned long c[6] = {};
    ASSERT_EQ(driver.getDebugErrorCode(&c[0], &c[1], &c[2], &c[3], &c[4], &c[5]), RET_SUCCESS);
    for (unsigned k = 1; k <= 6; ++k) EXPECT_EQ(c[k - 1], 0xF0E0D0C0B0A09000ull + k) << k;
}

TEST_F(DriverReplies, DebugErrorCodeStopsAtTheFirstTimeOut) {
    sim.device.answer(110, [](const can_frame_data& request) -> std::optional<SimReply> {
        if (request.data[0] == 3) return std::nullopt;
        return Payload().put<unsigned long>(100u + request.data[0]).reply();
    });
    unsigned long c[6] = {1, 1, 1, 1, 1, 1};
    EXPECT_EQ(driver.getDebugErrorCode(&c[0], &c[1], &c[2], &c[3], &c[4], &c[5]), RET_TIMEOUT);
    EXPECT_EQ(c[0], 101u);
    EXPECT_EQ(c[1], 102u);
    for (int k = 2; k < 6; ++k) EXPECT_EQ(c[k], 1u) << k;
    EXPECT_EQ(sim.device.requests(110).size(), 3u);
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

TEST_F(DriverReplies, ReplyUnderAnotherCommandIdIsIgnored) {
    SimReply r = Payload().put(24.0f).put(1.5f).reply();
    r.asCommand = 3;
    sim.device.answer(70, r);
    float v = 9.0f;
    EXPECT_EQ(driver.getBusVoltage(&v), RET_TIMEOUT);
    EXPECT_EQ(v, 9.0f);
}

TEST_F(DriverReplies, UnknownCommandIdIsLogged) {
    driver.setOutputLogStream(&log);
    sim.device.send(7, {});
    sim.device.send(0, {});
    ASSERT_TRUE(log.waitFor("Unknown Command Id.\n"));
    waitUntil([&] { return log.count("Unknown Command Id.\n") >= 2; }, Millis(2000));
    EXPECT_EQ(log.count("Unknown Command Id.\n"), 2u);
}

TEST_F(DriverReplies, DecoderLogsBoolFieldsAndTheHandOver) {
    driver.setOutputLogStream(&log);
    reply(14, {0x00, 0x00, 0x00, 0x3F, 0x05});
    bool a, c, d;
    float b;
    ASSERT_EQ(driver.getBrakeResistorState(&a, &b, &c, &d), RET_SUCCESS);
    driver.setOutputLogStream(nullptr);
    EXPECT_EQ(log.text(),
              "Pushed back data 1\nPushed back data 0\nPushed back data 1\nsetting new data received as true\n");
}

}  // namespace
