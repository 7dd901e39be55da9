// The reply hand-off of a driver implementation, driven directly: frames go
// in through its dispatch, values come out through parseData, with no
// interface and no receive thread.

#include <gtest/gtest.h>

#include <boost/variant/get.hpp>

#include "device/reply_machinery.hpp"
#include "driver_impl.hpp"
#include "sim_device.hpp"

using namespace qt_test;
using quorvel_detail::ArmedRead;

namespace {

constexpr uint32_t kNode = 9;

class Machinery : public ::testing::Test {
protected:
    void deliver(const can_frame_data& frame) { impl.onFrame(&frame); }
    void deliver(uint8_t cmd, float a, float b = 0.0f) {
        const auto data = Payload().put(a).put(b).bytes();
        deliver(makeFrame(kNode, cmd, std::vector<uint8_t>(data.begin(), data.end())));
    }
    // Arms for `id`, lets `arrive` deliver, and takes one value.
    template <typename T>
    ret_status_t read(int id, T& v, const std::function<void()>& arrive = [] {}) {
        ArmedRead<Driver::DriverImpl> armed(impl, id);
        arrive();
        return impl.parseData(id, &v);
    }
    // Arms for `id` and takes what is already there, without waiting.
    ret_status_t takeHeld(int id, unsigned int& ack) {
        ArmedRead<Driver::DriverImpl> armed(impl, id);
        return impl.handOut(Millis(0), &ack);
    }

    LogCapture log;
    Driver::DriverImpl impl;
};

// A reply that comes before the wait is taken; of two, the first wins. One
// after the hand-out, while still armed, is not decoded for the read. A reply
// under another command id is ignored silently. Outside the bootloader nothing
// is left for a later read: not an extra reply, one that came unarmed, one
// after its read timed out, or one armed for but never taken.
TEST_F(Machinery, EachReplyIsHandedOutOnceToTheReadArmedForIt) {
    impl.setBootloaderMode(true);
    impl.setBootloaderMode(false);
    impl.setLogStream(&log);
    float v = 5.0f, current = 0;
    {
        ArmedRead<Driver::DriverImpl> armed(impl, 70);
        deliver(makeFrame(kNode, 3, {1, 2, 3, 4}));
        EXPECT_EQ(log.text(), "");
        deliver(70, 24.0f, 1.5f);
        deliver(70, 2.0f, 2.5f);
        ASSERT_EQ(impl.parseData(70, &v, &current), RET_SUCCESS);
        deliver(70, 3.0f, 3.5f);
        EXPECT_EQ(std::tie(v, current), std::make_tuple(24.0f, 1.5f));
    }
    EXPECT_EQ(read(70, v), RET_TIMEOUT);
    deliver(60, 1.0f);
    EXPECT_EQ(read(60, v), RET_TIMEOUT);
    deliver(60, 1.0f);  // late
    EXPECT_EQ(read(60, v, [&] { deliver(60, 2.0f); }), RET_SUCCESS);
    EXPECT_EQ(v, 2.0f);
    impl.arm(60);
    deliver(60, 1.0f);
    impl.disarm();  // e.g. a read that ended without taking its reply
    v = 3.0f;
    EXPECT_EQ(read(60, v), RET_TIMEOUT);
    EXPECT_EQ(v, 3.0f);
    // An out-parameter of the wrong type throws, and the read is disarmed.
    int wrong = 0;
    EXPECT_THROW(read(60, wrong, [&] { deliver(60, 1.0f); }), boost::bad_get);
    EXPECT_EQ(std::make_pair(impl.isArmed(), impl.expectedCommandId()), std::make_pair(false, -1));
}

TEST_F(Machinery, LogLinesAndHeartbeat) {
    impl.setLogStream(&log);
    for (uint8_t cmd : {7, 0, 127}) deliver(makeFrame(kNode, cmd, {}));
    {
        ArmedRead<Driver::DriverImpl> armed(impl, 14);  // only bool fields are logged
        deliver(makeFrame(kNode, 14, {0, 0, 0, 0x3F, 5}));
    }
    // A heartbeat is stored, and is not an unknown command.
    EXPECT_EQ(impl.heartbeat().value, 0u);
    deliver(makeFrame(kNode, 1, {0x78, 0x56, 0x34, 0x12, 0xAB, 0xCD, 0xEF, 0xFF}));
    const auto hb = impl.heartbeat();
    EXPECT_EQ(std::make_tuple(hb.value, hb.byte1, hb.byte2), std::make_tuple(0x12345678u, 0xAB, 0xCD));
    EXPECT_EQ(log.text(), "Unknown Command Id.\nUnknown Command Id.\nUnknown Command Id.\nPushed back data 1\n"
                          "Pushed back data 0\nPushed back data 1\nsetting new data received as true\n");
    log.clear();
    impl.setLogStream(nullptr);  // back to discarding
    deliver(makeFrame(kNode, 7, {}));
    EXPECT_EQ(log.text(), "");
}

// --- bootloader mode: whole identifiers

// Replies are decoded by whole identifier as one u32 (3 is a normal command id
// as well). The firmware update leaves the stream in hexadecimal while it
// writes: other identifiers are still logged in decimal, the base left as it was.
TEST_F(Machinery, BootloaderModeDecodesWholeIdentifiersAndLogsOthersInDecimal) {
    impl.bootloaderMode = true;
    for (int id : {3, 121}) {
        unsigned int ack = 0;
        ASSERT_EQ(read(id, ack, [&] { deliver(rawFrame(id, {0x79, 0x01, 0x02, 0x03, 0xFF})); }), RET_SUCCESS) << id;
        EXPECT_EQ(ack, 0x03020179u) << id;
    }
    log << std::hex;
    impl.setLogStream(&log);
    ArmedRead<Driver::DriverImpl> armed(impl, 121);
    const can_frame_data heartbeat = heartbeatFrame(kNode);
    deliver(heartbeat);
    // Command id 121 inside an extended identifier is not the bootloader's.
    deliver(makeFrame(kNode, 121, {0x79}));
    deliver(rawFrame(0x79 + 1, {0x79}));
    EXPECT_EQ(log.text(), "[FLASH] Unknown Command Id:" + std::to_string(heartbeat.can_id) + "\n" +
                              "[FLASH] Unknown Command Id:" + std::to_string(makeFrame(kNode, 121, {}).can_id) +
                              "\n[FLASH] Unknown Command Id:122\n");
    EXPECT_EQ(impl.heartbeat().value, 0u);  // not taken as a heartbeat either
    EXPECT_TRUE(log.flags() & std::ios_base::hex);
}

// --- bootloader mode: two acknowledgements under one identifier

// The bootloader answers some steps twice under one identifier with nothing
// sent between; the second can arrive before the first was handed out and
// the wait armed again. It is held for that next wait, which has it at once:
// back to back, before disarming, and before re-arming.
TEST_F(Machinery, SecondBootloaderAcknowledgementBeforeRearmingIsHeldForTheNextWait) {
    impl.setBootloaderMode(true);
    const can_frame_data first = rawFrame(0x43, {0x79, 1}), second = rawFrame(0x43, {0x79, 2});
    enum When { BeforeHandOut, BeforeDisarm, BeforeRearm };
    for (When when : {BeforeHandOut, BeforeDisarm, BeforeRearm}) {
        SCOPED_TRACE(when);
        unsigned int a = 0, b = 0;
        {
            ArmedRead<Driver::DriverImpl> armed(impl, 0x43);
            deliver(first);
            if (when == BeforeHandOut) deliver(second);
            ASSERT_EQ(impl.parseData(0x43, &a), RET_SUCCESS);
            if (when == BeforeDisarm) deliver(second);
        }
        if (when == BeforeRearm) deliver(second);
        EXPECT_EQ(takeHeld(0x43, b), RET_SUCCESS);
        EXPECT_EQ(std::make_tuple(a, b), std::make_tuple(0x0179u, 0x0279u));
    }
}

// One reply is held, the newest, once, for its own identifier only, and
// dropped when the flag changes either way.
TEST_F(Machinery, OneBootloaderReplyIsHeldTheNewestForItsOwnIdentifierOnly) {
    impl.setBootloaderMode(true);
    unsigned int ack = 0;
    deliver(rawFrame(0x31, {0x1F}));
    deliver(rawFrame(0x31, {0x79}));
    ASSERT_EQ(takeHeld(0x31, ack), RET_SUCCESS);
    EXPECT_EQ(ack, 0x79u);
    EXPECT_EQ(takeHeld(0x31, ack), RET_TIMEOUT);
    deliver(rawFrame(0x31, {0x7A}));
    EXPECT_EQ(takeHeld(0x43, ack), RET_TIMEOUT);
    EXPECT_EQ(takeHeld(0x31, ack), RET_TIMEOUT);
    for (bool leave : {true, false}) {
        impl.setBootloaderMode(true);
        deliver(rawFrame(0x31, {0x7B}));
        impl.setBootloaderMode(false);
        if (!leave) impl.setBootloaderMode(true);
        EXPECT_EQ(takeHeld(0x31, ack), RET_TIMEOUT) << leave;
    }
    EXPECT_EQ(ack, 0x79u);
}

// Both acknowledgements from the receive thread while the calling thread
// takes the first and waits again, however the two threads interleave.
TEST_F(Machinery, BackToBackAcknowledgementsFromAnotherThreadReachBothWaits) {
    impl.setBootloaderMode(true);
    for (int round = 0; round < 200; ++round) {
        unsigned int a = 0, b = 0;
        std::thread receiver;
        const auto both = [this, round] {
            for (uint8_t n : {1, 2}) deliver(rawFrame(0x31, {0x79, static_cast<uint8_t>(round), n}));
        };
        EXPECT_EQ(read(0x31, a, [&] { receiver = std::thread(both); }), RET_SUCCESS) << round;
        EXPECT_EQ(read(0x31, b), RET_SUCCESS) << round;
        receiver.join();
        EXPECT_EQ(std::make_pair(a, b), std::make_pair(0x010079u | (round << 8), 0x020079u | (round << 8))) << round;
    }
}

// The reader is woken by the reply, not by the end of its wait. (The 20 s
// wait of bootloader mode: the firmware update's silent-bootloader test.)
TEST_F(Machinery, AReplyFromAnotherThreadWakesTheReader) {
    std::thread receiver;
    float v = 0;
    const auto later = [this] { std::this_thread::sleep_for(Millis(30)); deliver(60, 6.5f); };
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(read(60, v, [&] { receiver = std::thread(later); }), RET_SUCCESS);
    EXPECT_LT(std::chrono::steady_clock::now() - start, Millis(190));
    receiver.join();
    EXPECT_EQ(v, 6.5f);
}

}  // namespace
