// What the actuator has beyond the shared motor command set: its four reads
// that differ from the driver's, its decoder table, its log line for every
// field. (Actuator::flash hands its link to the update routine exactly as
// Driver::flash does; the update is tested through the driver.)

#include <gtest/gtest.h>

#include <limits>

#include "actuator_impl.hpp"
#include "device_fixture.hpp"
#include "quorvel_transport/actuator.hpp"

using namespace qt_test;

namespace {

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
    sim.device.silence(40);
    sim.device.silence(96);
    bool enabled = true;
    unsigned short a = 1, b = 2;
    unsigned char c = 50, d = 3;
    EXPECT_EQ(device.getMotorThermistorConfiguration(&enabled, &a, &b, &c, &d), RET_TIMEOUT);
    EXPECT_EQ(std::tie(enabled, a, b, c, d), std::make_tuple(true, 1, 2, 50, 3));
    unsigned int code = 77;
    EXPECT_EQ(device.getErrorCode(&code), RET_TIMEOUT);
    EXPECT_EQ(code, 77u);
}

// Every field type, as an unsigned 32-bit decimal number. The driver's own
// reply ids are unknown here.
TEST_F(ActuatorTest, EveryDecodedFieldIsLoggedAsAnUnsigned32BitNumberAndDriverRepliesAreUnknown) {
    device.setOutputLogStream(&log);
    log << std::hex;  // as a firmware update leaves it
    const auto read = [this](uint8_t cmd, const Bytes& data, const auto& call) {
        reply(cmd, data);
        EXPECT_EQ(call(), RET_SUCCESS) << int(cmd);
    };
    bool on;
    unsigned short u16a, u16b;
    unsigned char u8a, u8b;
    unsigned int u32;
    int i32;
    float f1, f2;
    unsigned long u64[6];
    read(40, {0x10, 0, 0x20, 0, 200, 0x50, 1, 0},
         [&] { return device.getMotorThermistorConfiguration(&on, &u16a, &u16b, &u8a, &u8b); });
    read(95, Payload().put(0xDEADBEEFu).bytes(), [&] { return device.getDriverFault(&u32); });
    read(86, Payload().put(-2).bytes(), [&] { return device.getMotorEncoderRawData(&i32); });
    // A frame of the driver's own does not end the read armed meanwhile.
    sim.device.answer(70, [this](const can_frame_data&) -> std::optional<SimReply> {
        for (uint8_t cmd : {14, 72, 75}) sim.device.send(cmd, floats(5.0f, 6.0f));
        return Payload().put(-2.5f).put(std::numeric_limits<float>::quiet_NaN()).reply(Millis(50));
    });
    EXPECT_EQ(device.getBusVoltage(&f1), RET_SUCCESS);
    EXPECT_EQ(f1, -2.5f);
    read(71, floats(4294967296.0f, 3.99f), [&] { return device.getIdqCurrents(&f1, &f2); });
    read(12, floats(4294967040.0f, 1e30f), [&] { return device.getDCBusTripLevels(&f1, &f2); });
    read(110, Payload().put<unsigned long>(0x123456789ABCDEF0ull).bytes(), [&] {
        return device.getDebugErrorCode(&u64[0], &u64[1], &u64[2], &u64[3], &u64[4], &u64[5]);
    });
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
