// The motor command set that the driver and the actuator share, run against
// every class that speaks it: exact request frames, decoded replies, outputs
// written after a time-out, the status checks, the hand-off over the bus and
// the object's life on an interface (reads from many threads at once: the
// stress program). A class joins by an entry in MotorDevices (and
// QT_EITHER rows for names that differ).

#include <gtest/gtest.h>

#include <climits>

#include "device_fixture.hpp"
#include "quorvel_transport/actuator.hpp"
#include "quorvel_transport/driver.hpp"

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
        {QT_OP(setNodeId(0x01020304)), 9, 5, {4, 3, 2, 1}},
        {QT_OP(setDeviceToIdle()), 7, 0, {}}, {QT_OP(setDeviceToActive()), 8, 0, {}},
        {QT_OP(runCalibrationSequence()), 56, 0, {}}, {QT_EITHER(clearDriverErrors(), clearActuatorErrors()), 111, 0, {}},
        {QT_EITHER(rebootDriver(), rebootActuator()), 113, 0, {}}, {QT_OP(saveConfigurations()), 114, 0, {}},
        {QT_OP(eraseConfigurations()), 115, 0, {}},
        {QT_OP(setDCBusTripLevels(1.0f, 2.0f)), 11, 8, {0, 0, 0x80, 0x3F, 0, 0, 0, 0x40}},
        {QT_OP(setRegenCurrentTripLevel(-1.5f)), 15, 4, {0, 0, 0xC0, 0xBF}},
        {QT_OP(setPositionControllerGain(5.0f)), 27, 4, {0, 0, 0xA0, 0x40}},
        {QT_OP(setVelocityControllerGains(1.0f, -2.0f)), 29, 8, {0, 0, 0x80, 0x3F, 0, 0, 0, 0xC0}},
        {QT_OP(setCurrentControllerBandwidth(100.0f)), 31, 8, {0, 0, 0xC8, 0x42}},
        {QT_OP(setMotorEncoderBandwidth(8.0f)), 34, 8, {0, 0, 0, 0x41}},
        {QT_EITHER(setCurrentPositionToZero(), setCurrentPostionToZero()), 36, 8, {}},
        {QT_OP(enableMotorThermalLimit(0xFFFF)), 39, 5, {0xFF, 0xFF, 1}},
        {QT_OP(disableMotorThermalLimit()), 39, 5, {}},
        {QT_OP(setCurrentFilter(0.25f)), 41, 4, {0, 0, 0x80, 0x3E}},
        {QT_OP(setEncoderDataFilter(0.5f)), 43, 4, {0, 0, 0, 0x3F}},
        // Scaled fields truncate toward zero.
        {QT_OP(setPositionControl(1.0f, 1.9f)), 97, 8, {0, 0, 0x80, 0x3F, 1, 0, 0, 0}},
        {QT_OP(setPositionControl(-2.0f, -1.9f)), 97, 8, {0, 0, 0, 0xC0, 0xFF, 0xFF, 0, 0}},
        {QT_OP(setVelocityControl(2.0f)), 98, 8, {0, 0, 0, 0x40}},  // the ramp frame with a zero ramp
        {QT_OP(setVelocityRampControl(2.0f, 0.5f)), 98, 8, {0, 0, 0, 0x40, 0, 0, 0, 0x3F}},
        {QT_OP(setTorqueControl(1.0f, 2.0f)), 99, 8, {0, 0, 0x80, 0x3F, 0, 0, 0, 0x40}},
        {QT_OP(setPositionControlWithFeedForward(1.0f, -300.7f, -1.5f)), 100, 8,
         {0, 0, 0x80, 0x3F, 0xD4, 0xFE, 0x6A, 0xFF}},
        {QT_OP(setVelocityControlWithFeedForward(2.0f, 1.0f)), 101, 8, {0, 0, 0, 0x40, 0, 0, 0x80, 0x3F}},
        {QT_OP(setTrapezoidalTrajectoryControl(1.0f, 1000.9f, 2.5f, 0.7f)), 102, 8,
         {0, 0, 0x80, 0x3F, 0xE8, 3, 0x19, 7}},
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
        {16, &D::getRegenCurrentTripLevel}, {28, &D::getPositionControllerGain},
        {32, &D::getCurrentControllerBandwidth}, {35, &D::getMotorEncoderBandwidth}, {42, &D::getCurrentFilter},
        {44, &D::getEncoderDataFilter}, {37, &D::getZeroPosition}, {60, &D::getOutputPosition},
        {61, &D::getOutputVelocity}, {62, &D::getOutputAcceleration}, {63, &D::getOutputTorque},
        {64, &D::getMotorPosition}, {65, &D::getMotorVelocity}, {66, &D::getMotorAcceleration},
        {67, &D::getMotorTorque}, {68, &D::getMotorTemperature}, {68, &D::getDriverTemperature, true},
        {70, &D::getBusVoltage}, {70, &D::getBusCurrent, true},
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
    SimReply shortReply = Payload().put(22.0f).reply();
    shortReply.dlc = 1;
    sim.device.answer(70, shortReply);
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

}  // namespace
