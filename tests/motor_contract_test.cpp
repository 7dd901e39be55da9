// The motor command set that the driver and the actuator share, run against
// every class that speaks it: exact request frames, decoded replies, outputs
// written after a time-out, the status checks, the hand-off over the bus and
// the object's life on an interface (reads from many threads at once: the
// stress program). A class joins by an entry in MotorDevices (and
// QT_EITHER rows for names that differ). Then what each class has beyond it:
// the driver's own commands, computed outputs, Hall-count read, bit-rate check
// and constructor without a node id; the actuator's four reads that differ
// from the driver's and its log line for every field. (Actuator::flash hands
// its link to the update routine exactly as Driver::flash does; the update is
// tested through the driver.)

#include <gmock/gmock.h>

#include <climits>

#include "device/device_request.hpp"
#include "device_fixture.hpp"
#include "driver_impl.hpp"
#include "quorvel_transport/actuator.hpp"

using namespace qt_test;

namespace {

// The shared operations whose names differ between the classes.
#define QT_EITHER(driverCall, actuatorCall) #driverCall, [](auto& d) {                     \
        if constexpr (std::is_same_v<std::decay_t<decltype(d)>, Driver>) return d.driverCall; \
        else return d.actuatorCall; }

using MotorDevices = ::testing::Types<Driver, Actuator>;

template <typename Device>
std::vector<WriteCase<Device>> sharedWrites() {
    return {
        {QT_OP(setNodeId(0x01020304)), 9, 5, {4, 3, 2, 1}}, {QT_OP(setDeviceToIdle()), 7, 0, {}},
        {QT_OP(setDeviceToActive()), 8, 0, {}}, {QT_OP(runCalibrationSequence()), 56, 0, {}},
        {QT_EITHER(clearDriverErrors(), clearActuatorErrors()), 111, 0, {}}, {QT_OP(saveConfigurations()), 114, 0, {}},
        {QT_EITHER(rebootDriver(), rebootActuator()), 113, 0, {}}, {QT_OP(eraseConfigurations()), 115, 0, {}},
        {QT_OP(setDCBusTripLevels(1.0f, 2.0f)), 11, 8, {0, 0, 0x80, 0x3F, 0, 0, 0, 0x40}},
        {QT_OP(setRegenCurrentTripLevel(-1.5f)), 15, 4, {0, 0, 0xC0, 0xBF}},
        {QT_OP(setPositionControllerGain(5.0f)), 27, 4, {0, 0, 0xA0, 0x40}},
        {QT_OP(setVelocityControllerGains(1.0f, -2.0f)), 29, 8, {0, 0, 0x80, 0x3F, 0, 0, 0, 0xC0}},
        {QT_OP(setCurrentControllerBandwidth(100.0f)), 31, 8, {0, 0, 0xC8, 0x42}},
        {QT_OP(setMotorEncoderBandwidth(8.0f)), 34, 8, {0, 0, 0, 0x41}},
        {QT_EITHER(setCurrentPositionToZero(), setCurrentPostionToZero()), 36, 8, {}},
        {QT_OP(enableMotorThermalLimit(0xFFFF)), 39, 5, {0xFF, 0xFF, 1}}, {QT_OP(disableMotorThermalLimit()), 39, 5, {}},
        {QT_OP(setCurrentFilter(0.25f)), 41, 4, {0, 0, 0x80, 0x3E}},
        {QT_OP(setEncoderDataFilter(0.5f)), 43, 4, {0, 0, 0, 0x3F}},
        // Scaled fields truncate toward zero.
        {QT_OP(setPositionControl(1.0f, 1.9f)), 97, 8, {0, 0, 0x80, 0x3F, 1, 0, 0, 0}},
        {QT_OP(setPositionControl(-2.0f, -1.9f)), 97, 8, {0, 0, 0, 0xC0, 0xFF, 0xFF, 0, 0}},
        {QT_OP(setVelocityControl(2.0f)), 98, 8, {0, 0, 0, 0x40}},  // the ramp frame with a zero ramp
        {QT_OP(setVelocityRampControl(2.0f, 0.5f)), 98, 8, {0, 0, 0, 0x40, 0, 0, 0, 0x3F}},
        {QT_OP(setTorqueControl(1.0f, 2.0f)), 99, 8, {0, 0, 0x80, 0x3F, 0, 0, 0, 0x40}},
        {QT_OP(setPositionControlWithFeedForward(1.0f, -300.7f, -1.5f)), 100, 8, {0, 0, 0x80, 0x3F, 0xD4, 0xFE, 0x6A, 0xFF}},
        {QT_OP(setVelocityControlWithFeedForward(2.0f, 1.0f)), 101, 8, {0, 0, 0, 0x40, 0, 0, 0x80, 0x3F}},
        {QT_OP(setTrapezoidalTrajectoryControl(1.0f, 1000.9f, 2.5f, 0.7f)), 102, 8, {0, 0, 0x80, 0x3F, 0xE8, 3, 0x19, 7}},
        {QT_OP(setScurveTrajectoryControl(1.0f, 1000.9f, 2.5f, 0.7f)), 103, 8, {0, 0, 0x80, 0x3F, 0xE8, 3, 0x19, 7}},
    };
}

template <typename Device>
ret_status_t debugCodes(Device& d) {
    unsigned long c[6];
    return d.getDebugErrorCode(&c[0], &c[1], &c[2], &c[3], &c[4], &c[5]);
}

template <typename Device>
class MotorContract : public DeviceFixture<Device> {};
TYPED_TEST_SUITE(MotorContract, MotorDevices);

TYPED_TEST(MotorContract, EveryCommandSendsItsFrame) {
    { TypeParam another(this->kNode + 7, &this->sim.bus); }  // construction sends nothing
    EXPECT_TRUE(this->sim.bus.deviceFrames().empty());
    this->expectWrites(sharedWrites<TypeParam>());
    // A remote frame that does not wait for a reply (a read would wait 200 ms).
    const auto start = std::chrono::steady_clock::now();
    this->expectFrame(this->sentBy([](TypeParam& d) { return d.emergencyStop(); })[0], 126, true, 8, {});
    EXPECT_LT(std::chrono::steady_clock::now() - start, Millis(180));
    // The object keeps addressing the node it was made for.
    EXPECT_EQ(this->device.getId(), this->kNode);
}

TYPED_TEST(MotorContract, EveryReplyLayoutDecodesIntoItsOutputs) {
    using D = TypeParam;
    this->expectDecoded(3, {1, 2, 3, 4, 0xFF, 0xFF, 0xFF, 0xFF}, &D::getHardwareVersion, 1, 2, 3, 4);
    this->expectDecoded(4, {5, 6, 0x34, 0x12, 0xFF}, &D::getFirmwareVersion, 5, 6, 0x1234);
    this->expectDecoded(10, {0x78, 0x56, 0x34, 0x12, 0xFF}, &D::getNodeId, 0x12345678u);
    this->expectDecoded(95, {0xEF, 0xBE, 0xAD, 0xDE}, &D::getDriverFault, 0xDEADBEEFu);
    this->expectDecoded(12, floats(24.5f, -2.0f), &D::getDCBusTripLevels, 24.5f, -2.0f);
    this->expectDecoded(85, floats(0.125f, 3.0f), &D::getMotorPhaseParameters, 0.125f, 3.0f);
    this->expectDecoded(30, floats(1.5f, -0.5f), &D::getVelocityControllerGains, 1.5f, -0.5f);
    this->expectDecoded(33, floats(2.5f, -4.0f), &D::getCurrentControllerGains, 2.5f, -4.0f);
    this->expectDecoded(71, floats(-1.25f, 2.75f), &D::getIdqCurrents, -1.25f, 2.75f);
    // The third phase is derived from the two sent.
    this->expectDecoded(69, floats(1.0f, 2.0f), &D::getMotorPhaseCurrents, -3.0f, 1.0f, 2.0f);
    this->expectDecoded(73, floats(1.0f, 2.0f), &D::getDCCalibPhaseCurrents, -3.0f, 1.0f, 2.0f);
    this->expectDecoded(80, {0x81, 0xFF}, &D::getControllerState, 0x81);
    this->expectDecoded(81, {2}, &D::getMotorState, false, true);
    // A bool is one bit: bit 0 clear means false whatever the other bits.
    this->expectDecoded(84, {0xFE, 0xFF}, &D::getTrajectoryDoneStatus, false);
    this->expectDecoded(84, {1}, &D::getTrajectoryDoneStatus, true);
    this->expectDecoded(88, {3}, &D::getCANCommunicationStatus, true, true);
    this->expectDecoded(86, {0xFF, 0xFF, 0xFF, 0xFF, 0x11}, &D::getMotorEncoderRawData, -1);
    this->expectDecoded(87, {0, 0, 0, 0x80}, &D::getOutputEncoderRawData, INT_MIN);
    this->expectDecoded(89, {0x34, 0x12, 0xFF}, &D::getControllerMode, 0x1234);

    // Every byte is a character, NUL included.
    this->reply(5, {'a', 'b', 'c', '1', '2', '3', '4', 0});
    std::tuple<std::string> commit;
    this->read(5, &D::getFirmwareCommit, commit);
    EXPECT_EQ(std::get<0>(commit), std::string("abc1234\0", 8));

    // Every read of one float, from the first or the second field of its reply.
    const struct {
        uint8_t cmd;
        ret_status_t (D::*read)(float*);
        bool second = false;
    } reads[] = {
        {16, &D::getRegenCurrentTripLevel}, {28, &D::getPositionControllerGain}, {42, &D::getCurrentFilter},
        {32, &D::getCurrentControllerBandwidth}, {35, &D::getMotorEncoderBandwidth}, {37, &D::getZeroPosition},
        {44, &D::getEncoderDataFilter}, {60, &D::getOutputPosition}, {61, &D::getOutputVelocity},
        {62, &D::getOutputAcceleration}, {63, &D::getOutputTorque}, {64, &D::getMotorPosition},
        {65, &D::getMotorVelocity}, {66, &D::getMotorAcceleration}, {67, &D::getMotorTorque}, {70, &D::getBusVoltage},
        {68, &D::getMotorTemperature}, {68, &D::getDriverTemperature, true}, {70, &D::getBusCurrent, true},
    };
    for (const auto& r : reads) {
        const float first = -0.5f * r.cmd, second = 0.25f * r.cmd;
        this->expectDecoded(r.cmd, floats(first, second), r.read, r.second ? second : first);
    }
}

// Written whatever the status: after a time-out from what the out-parameters
// held. A null out-parameter is skipped, also for the ones computed from it.
TYPED_TEST(MotorContract, ComputedAndNullOutputsAfterATimeOutAndASuccess) {
    auto& device = this->device;
    std::string commit = "previous";
    EXPECT_EQ(device.getFirmwareCommit(&commit), RET_TIMEOUT);
    EXPECT_EQ(commit, std::string(8, '\0'));
    EXPECT_EQ(device.getFirmwareCommit(nullptr), RET_TIMEOUT);
    for (auto read : {&TypeParam::getMotorPhaseCurrents, &TypeParam::getDCCalibPhaseCurrents}) {
        float a = 0, b = 0.5f, c = 0.25f;
        EXPECT_EQ((device.*read)(&a, &b, &c), RET_TIMEOUT);
        EXPECT_EQ(std::tie(a, b, c), std::make_tuple(-0.75f, 0.5f, 0.25f));
    }
    this->reply(69, floats(1.0f, 2.0f));
    float a = 0;
    ASSERT_EQ(device.getMotorPhaseCurrents(&a, nullptr, nullptr), RET_SUCCESS);
    EXPECT_EQ(a, -3.0f);
}

// Selectors one to six, asked by data frames; each answer differs in the top
// and the bottom byte. The read stops at the first time-out.
TYPED_TEST(MotorContract, DebugErrorCodeAsksEachSelectorAndStopsAtTheFirstTimeOut) {
    uint8_t mute = 0;
    this->sim.device.answer(110, [&mute](const can_frame_data& request) -> std::optional<SimReply> {
        if (request.data[0] == mute) return std::nullopt;
        return Payload().put<unsigned long>(0xF0E0D0C0B0A09000ull + request.data[0]).reply();
    });
    std::array<unsigned long, 6> c;
    const auto read = [&c](TypeParam& d) {
        c.fill(1);
        return d.getDebugErrorCode(&c[0], &c[1], &c[2], &c[3], &c[4], &c[5]);
    };
    const auto sent = this->sentBy(read, 6);
    for (uint8_t k = 1; k <= 6; ++k) {
        this->expectFrame(sent[k - 1], 110, false, 8, Bytes{k});
        EXPECT_EQ(c[k - 1], 0xF0E0D0C0B0A09000ull + k);
    }
    mute = 3;
    EXPECT_EQ(read(this->device), RET_TIMEOUT);
    EXPECT_EQ(c, (std::array<unsigned long, 6>{0xF0E0D0C0B0A09001ull, 0xF0E0D0C0B0A09002ull, 1, 1, 1, 1}));
    EXPECT_EQ(this->sim.device.requests(110).size(), 9u);
}

// Nothing is sent when a check fails, the outputs stay, and an object
// without an interface does not crash.
TYPED_TEST(MotorContract, NotRunningGivesFiveAbsentNodeFourAndAFailedSendShowsLater) {
    std::vector<Operation<TypeParam>> ops{debugCodes<TypeParam>, [](TypeParam& d) { return d.emergencyStop(); }};
    for (auto& c : sharedWrites<TypeParam>()) ops.push_back(c.call);
    TestTransport bus;
    TypeParam stopped(this->kNode, &bus);
    TypeParam unattached(this->kNode, nullptr);  // a null interface is never running
    EXPECT_FALSE(unattached.isConnected());
    float v = 4.0f;
    for (TypeParam* d : {&stopped, &unattached}) {
        for (auto& op : ops) EXPECT_EQ(op(*d), RET_INTERFACE_NOT_RUNNING);
        EXPECT_EQ(d->getBusVoltage(&v), RET_INTERFACE_NOT_RUNNING);
    }
    EXPECT_EQ(v, 4.0f);
    EXPECT_TRUE(bus.deviceFrames().empty());
    EXPECT_EQ(unattached.flash("missing.hex", true), RET_INTERFACE_NOT_RUNNING);
    EXPECT_FALSE(this->absent.isConnected());
    for (auto& op : ops) EXPECT_EQ(op(this->absent), RET_NOT_CONNECTED);
    EXPECT_TRUE(this->sim.bus.deviceFrames().empty());

    // A failed send is not looked at, and shows until the next heartbeat.
    this->sim.bus.setSendResult(false);
    EXPECT_EQ(this->device.setDeviceToIdle(), RET_SUCCESS);
    EXPECT_EQ(this->device.setDeviceToIdle(), RET_INTERFACE_NOT_RUNNING);
    this->sim.bus.setSendResult(true);
    EXPECT_TRUE(waitUntil([&] { return this->sim.bus.isRunning(); }));
    EXPECT_EQ(this->device.setDeviceToIdle(), RET_SUCCESS);
}

// --- the hand-off over the bus

// The read gives up after about 200 ms and leaves its output (late replies:
// the machinery tests). Only node id and command id match a reply: a short
// data length or the remote flag on it change nothing.
TYPED_TEST(MotorContract, TimeOutAndWhatAReplyIsMatchedBy) {
    auto& sim = this->sim;
    float v = -1.0f;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(this->device.getBusVoltage(&v), RET_TIMEOUT);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(elapsed >= Millis(190) && elapsed < Millis(1500));
    EXPECT_EQ(v, -1.0f);
    sim.device.answer(70, SimReply{Payload().put(22.0f).bytes(), 1, Millis(0), 1, {}});
    EXPECT_EQ(this->device.getBusVoltage(&v), RET_SUCCESS);
    EXPECT_EQ(v, 22.0f);
    sim.device.answer(89, [&sim](const can_frame_data&) -> std::optional<SimReply> {
        sim.bus.inject(makeFrame(DeviceFixture<TypeParam>::kNode, 89, {0x34, 0x12}, 0, true));
        return std::nullopt;
    });
    unsigned short mode = 0;
    ASSERT_EQ(this->device.getControllerMode(&mode), RET_SUCCESS);
    EXPECT_EQ(mode, 0x1234);
}

// --- the object on an interface

// Destroying an object while its node floods the bus: the receive thread
// must never touch the destroyed object (checked by the sanitizers).
TYPED_TEST(MotorContract, DestroyedWhileItsNodeKeepsSending) {
    auto& sim = this->sim;
    sim.device.answer(70, Payload().put(1.0f).put(2.0f).reply());
    const auto burst = [&sim] {
        for (uint8_t cmd = 60; cmd < 65; ++cmd) sim.device.send(cmd, Payload().put(1.0f).put(2.0f).bytes());
    };
    const int flood = sim.bus.schedule(Millis(0), burst, Millis(1));
    for (int round = 0; round < 50; ++round) {
        TypeParam device(this->kNode, &sim.bus);
        float v = 0;
        EXPECT_TRUE(round % 5 != 0 || device.getBusVoltage(&v) == RET_SUCCESS);
    }
    sim.bus.cancel(flood);
}

// --- what the driver has beyond the shared set

using DriverTest = DeviceFixture<Driver>;

TEST_F(DriverTest, OwnCommandsSendTheirFrames) {
    expectWrites({
        {QT_OP(enableBrakeResistor(0.5f)), 13, 8, {0, 0, 0, 0x3F, 1}}, {QT_OP(disableBrakeResistor()), 13, 5, {}},
        {QT_OP(setMotorTorqueLimit(4.0f)), 50, 4, {0, 0, 0x80, 0x40}}, {QT_OP(setMotorType(0xAB)), 52, 1, {0xAB}},
        {QT_OP(setMotorParameters(7, 0x1234, 1.0f)), 17, 8, {7, 0x34, 0x12, 0, 0, 0x80, 0x3F, 0}},
        {QT_OP(setMotorCalibrationParameters(2.0f, 0.5f)), 19, 8, {0, 0, 0, 0x40, 0, 0, 0, 0x3F}},
        {QT_OP(setMotorPhaseParameters(0.125f, 3.0f)), 49, 8, {0, 0, 0, 0x3E, 0, 0, 0x40, 0x40}},
        {QT_OP(configureMotorEncoder(3, -2, true)), 21, 8, {3, 0xFE, 0xFF, 0xFF, 0xFF, 1}},
        {QT_OP(configureOutputEncoder(4, 0x00010203, false)), 25, 8, {4, 3, 2, 1, 0, 2}},
        {QT_OP(configureOutputEncoder(4, -1, true)), 25, 8, {4, 0xFF, 0xFF, 0xFF, 0xFF, 3}},
        {QT_OP(disableOutputEncoder()), 25, 8, {}}, {QT_OP(setGearBoxParameters(16.0f)), 23, 8, {0, 0, 0x80, 0x41}},
        {QT_OP(setMotorThermistorParameters(10.0f, 3950)), 38, 8, {0, 0, 0x20, 0x41, 0x6E, 0x0F}},
        {QT_OP(setCurrentPositionAs(2.0f)), 6, 4, {0, 0, 0, 0x40}}, {QT_OP(runEncoderIndexSearch()), 54, 0, {}},
        {QT_OP(setStartupConfigs(true, false, true)), 45, 1, {5}}, {QT_OP(runEncoderMatching()), 55, 0, {}},
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
    std::tuple<bool, float, unsigned short, unsigned char, unsigned char> thermistor{true, 1.0f, 2, 50, 0};
    const auto readThermistor = [this](auto&... out) { return device.getMotorThermistorConfiguration(&out...); };
    EXPECT_EQ(std::apply(readThermistor, thermistor), RET_TIMEOUT);
    EXPECT_EQ(thermistor, std::make_tuple(true, 1.0f, 2, 50, 40));
    CANBaudRate rate = CAN_BAUDRATE_1M;
    EXPECT_EQ(device.getCANBaudRate(&rate), RET_TIMEOUT);
    EXPECT_EQ(static_cast<int>(rate), -1);
    driver_error_t code = DRIVER_ERROR_UNKNOWN;
    EXPECT_EQ(device.getErrorCode(&code), RET_TIMEOUT);
    EXPECT_EQ(static_cast<unsigned int>(code), 0u);
    reply(40, {0, 0, 0x20, 0x41, 0x6E, 0x0F, 90, 1});
    unsigned char lower = 0;
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
    EXPECT_THAT([&] { Driver driver(&silent); },
                testing::ThrowsMessage<std::runtime_error>("[FATAL ERROR] Driver object is not created"));
    EXPECT_TRUE(silent.isDevice());  // single-device mode stays on
    EXPECT_THROW(Driver(nullptr), std::runtime_error);  // and without an interface
}

// --- what the actuator has beyond the shared set

using ActuatorTest = DeviceFixture<Actuator>;

TEST_F(ActuatorTest, OwnReadsDecodeWithoutComputingAnything) {
    // Five raw outputs: the fifth is byte 5 itself, not derived from byte 4.
    expectDecoded(40, {0x10, 0, 0x20, 0, 0x5A, 0x50, 1, 0}, &Actuator::getMotorThermistorConfiguration, true, 16, 32,
                  90, 80);
    expectDecoded(40, {0x10, 0, 0x20, 0, 0x5A, 0x05, 0, 0}, &Actuator::getMotorThermistorConfiguration, false, 16, 32,
                  90, 5);
    expectDecoded(82, {7}, &Actuator::getMotorEncoderState, true, true);
    expectDecoded(82, {6}, &Actuator::getMotorEncoderState, false, true);
    expectDecoded(83, {1}, &Actuator::getOutputEncoderState, false);  // bit 1 is the state
    expectDecoded(83, {2}, &Actuator::getOutputEncoderState, true);
    for (unsigned int code : {4294967295u, 41u, 256u}) {
        expectDecoded(96, Payload().put(code).bytes(), &Actuator::getErrorCode, code);
    }

    // After a time-out nothing is written, computed outputs included.
    for (uint8_t cmd : {40, 96}) sim.device.silence(cmd);
    std::tuple<bool, unsigned short, unsigned short, unsigned char, unsigned char> thermistor{true, 1, 2, 50, 3};
    const auto readThermistor = [this](auto&... out) { return device.getMotorThermistorConfiguration(&out...); };
    EXPECT_EQ(std::apply(readThermistor, thermistor), RET_TIMEOUT);
    EXPECT_EQ(thermistor, std::make_tuple(true, 1, 2, 50, 3));
    unsigned int code = 77;
    EXPECT_EQ(device.getErrorCode(&code), RET_TIMEOUT);
    EXPECT_EQ(code, 77u);
}

// Every field type, as an unsigned 32-bit decimal number. The driver's own
// reply ids are unknown here.
TEST_F(ActuatorTest, EveryDecodedFieldIsLoggedAsAnUnsigned32BitNumberAndDriverRepliesAreUnknown) {
    device.setOutputLogStream(&log);
    log << std::hex;  // as a firmware update leaves it
    expectDecoded(40, {0x10, 0, 0x20, 0, 200, 0x50, 1, 0}, &Actuator::getMotorThermistorConfiguration, true, 16, 32,
                  200, 0x50);
    expectDecoded(95, Payload().put(0xDEADBEEFu).bytes(), &Actuator::getDriverFault, 0xDEADBEEFu);
    expectDecoded(86, Payload().put(-2).bytes(), &Actuator::getMotorEncoderRawData, -2);
    // A frame of the driver's own does not end the read armed meanwhile.
    sim.device.answer(70, [this](const can_frame_data&) -> std::optional<SimReply> {
        for (uint8_t cmd : {14, 72, 75}) sim.device.send(cmd, floats(5.0f, 6.0f));
        return Payload().put(-2.5f).put(std::numeric_limits<float>::quiet_NaN()).reply(Millis(50));
    });
    float v = 0;
    EXPECT_EQ(device.getBusVoltage(&v), RET_SUCCESS);
    EXPECT_EQ(v, -2.5f);
    expectDecoded(71, floats(4294967296.0f, 3.99f), &Actuator::getIdqCurrents, 4294967296.0f, 3.99f);
    expectDecoded(12, floats(4294967040.0f, 1e30f), &Actuator::getDCBusTripLevels, 4294967040.0f, 1e30f);
    reply(110, Payload().put<unsigned long>(0x123456789ABCDEF0ull).bytes());
    EXPECT_EQ(debugCodes(device), RET_SUCCESS);
    device.setOutputLogStream(nullptr);

    const auto lines = [](std::initializer_list<const char*> values) {
        std::string text;
        for (const char* v : values) text += std::string("Pushed back data ") + v + "\n";
        return text + "setting new data received as true\n";
    };
    std::string want = lines({"16", "32", "200", "80", "1"}) + lines({"3735928559"}) + lines({"4294967294"}) +
                       "Unknown Command Id.\nUnknown Command Id.\nUnknown Command Id.\n" + lines({"0", "0"}) +
                       lines({"4294967295", "3"}) + lines({"4294967040", "4294967295"});
    for (int selector = 0; selector < 6; ++selector) want += lines({"2596069104"});  // the low 32 bits
    EXPECT_EQ(log.text(), want);
}

}  // namespace
