// The reply hand-off of a driver implementation, driven directly: frames go
// in through its dispatch, values come out through parseData, with no
// interface and no receive thread.

#include <gtest/gtest.h>

#include <boost/variant/get.hpp>
#include <array>
#include <chrono>
#include <functional>
#include <thread>
#include <tuple>

#include "driver_impl.hpp"
#include "reply_machinery.hpp"
#include "sim_device.hpp"

using namespace qt_test;
using quorvel_detail::ArmedRead;

namespace {

constexpr uint32_t kNode = 9;

can_frame_data reply(uint8_t cmd, const Payload& payload) {
    const auto data = payload.bytes();
    return makeFrame(kNode, cmd, std::vector<uint8_t>(data.begin(), data.end()));
}

class Machinery : public ::testing::Test {
protected:
    void deliver(const can_frame_data& frame) { impl.onFrame(&frame); }
    void deliver(uint8_t cmd, float value) { deliver(reply(cmd, Payload().put(value))); }
    // Arms for `cmd`, lets `arrive` deliver, and takes one float.
    ret_status_t readFloat(uint8_t cmd, float& v, const std::function<void()>& arrive = [] {}) {
        ArmedRead<Driver::DriverImpl> armed(impl, cmd);
        arrive();
        return impl.parseData(cmd, &v);
    }

    // Arms for `id` and takes what is already there, without waiting.
    ret_status_t takeHeld(int id, unsigned int& ack) {
        ArmedRead<Driver::DriverImpl> armed(impl, id);
        return impl.handOut(Millis(0), &ack);
    }

    LogCapture log;
    Driver::DriverImpl impl;
};

// A reply that comes before the wait is taken; of two, the first wins, and
// one after the hand-out, while still armed, is not decoded for the read.
TEST_F(Machinery, TheFirstReplyIsHandedOutOnce) {
    impl.setLogStream(&log);
    ArmedRead<Driver::DriverImpl> armed(impl, 70);
    deliver(reply(70, Payload().put(24.0f).put(1.5f)));
    deliver(reply(70, Payload().put(2.0f).put(2.5f)));
    float voltage = 0, current = 0;
    ASSERT_EQ(impl.parseData(70, &voltage, &current), RET_SUCCESS);
    deliver(reply(70, Payload().put(3.0f).put(3.5f)));
    EXPECT_EQ(std::tie(voltage, current), std::make_tuple(24.0f, 1.5f));
    EXPECT_EQ(log.text(), "setting new data received as true\n");
}

TEST_F(Machinery, FieldsArePackedBackToBackFromBitZero) {
    ArmedRead<Driver::DriverImpl> armed(impl, 5);
    deliver(makeFrame(kNode, 5, {0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87}));
    std::array<unsigned char, 8> b{};
    ASSERT_EQ(impl.parseData(5, &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7]), RET_SUCCESS);
    EXPECT_EQ(b, (std::array<unsigned char, 8>{0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87}));
}

TEST_F(Machinery, FieldWidths) {
    const can_frame_data frame = makeFrame(kNode, 110, {1, 2, 3, 4, 5, 6, 7, 8});
    std::lock_guard<std::mutex> lock(impl.mutex());
    EXPECT_EQ(impl.getDataFromFrame<bool>(&frame), 1);
    EXPECT_EQ(impl.getDataFromFrame<unsigned char>(&frame), 8);
    EXPECT_EQ(impl.getDataFromFrame<unsigned short>(&frame), 16);
    EXPECT_EQ(impl.getDataFromFrame<int>(&frame), 32);
    EXPECT_EQ(impl.getDataFromFrame<unsigned long>(&frame), 64);
}

// A reply under another command id is ignored silently. Nothing is left
// behind for a later read by a reply that came unarmed, one that came after
// its read timed out, or one armed for but never taken.
TEST_F(Machinery, RepliesNoReadTookAreNotLeftForTheNext) {
    impl.setLogStream(&log);
    float v = 5.0f;
    EXPECT_EQ(readFloat(70, v, [&] { deliver(reply(3, Payload().put<unsigned int>(0x04030201))); }), RET_TIMEOUT);
    EXPECT_EQ(v, 5.0f);
    EXPECT_EQ(log.text(), "");
    deliver(60, 1.0f);
    EXPECT_EQ(readFloat(60, v), RET_TIMEOUT);
    deliver(60, 1.0f);  // late
    EXPECT_EQ(readFloat(60, v, [&] { deliver(60, 2.0f); }), RET_SUCCESS);
    EXPECT_EQ(v, 2.0f);
    impl.arm(60);
    deliver(60, 1.0f);
    impl.disarm();  // e.g. a read that ended without taking its reply
    v = 3.0f;
    EXPECT_EQ(readFloat(60, v), RET_TIMEOUT);
    EXPECT_EQ(v, 3.0f);
}

TEST_F(Machinery, WrongOutParameterTypeThrowsAndDisarms) {
    {
        ArmedRead<Driver::DriverImpl> armed(impl, 60);
        deliver(60, 1.0f);
        int wrong = 0;
        EXPECT_THROW(impl.parseData(60, &wrong), boost::bad_get);
    }
    EXPECT_FALSE(impl.isArmed());
    EXPECT_EQ(impl.expectedCommandId(), -1);
}

TEST_F(Machinery, LogLines) {
    impl.setLogStream(&log);
    for (uint8_t cmd : {7, 0, 127}) deliver(makeFrame(kNode, cmd, {}));
    EXPECT_EQ(log.text(), "Unknown Command Id.\nUnknown Command Id.\nUnknown Command Id.\n");
    // Only bool fields are logged.
    log.clear();
    {
        ArmedRead<Driver::DriverImpl> armed(impl, 40);
        deliver(makeFrame(kNode, 40, {0x00, 0x00, 0x20, 0x41, 0x6E, 0x0F, 90, 0x00}));
    }
    EXPECT_EQ(log.text(), "Pushed back data 0\nsetting new data received as true\n");
    // The stream can be set back to discarding.
    log.clear();
    impl.setLogStream(nullptr);
    deliver(makeFrame(kNode, 7, {}));
    EXPECT_EQ(log.text(), "");
}

TEST_F(Machinery, HeartbeatPayloadIsStored) {
    const auto stored = [this] {
        const auto hb = impl.heartbeat();
        return std::make_tuple(hb.value, hb.byte1, hb.byte2);
    };
    EXPECT_EQ(stored(), std::make_tuple(0u, 1, 0));
    impl.setLogStream(&log);
    deliver(makeFrame(kNode, 1, {0x78, 0x56, 0x34, 0x12, 0xAB, 0xCD, 0xEF, 0xFF}));
    EXPECT_EQ(stored(), std::make_tuple(0x12345678u, 0xAB, 0xCD));
    EXPECT_EQ(log.text(), "");  // a heartbeat is not an unknown command
}

TEST_F(Machinery, ReplyFromAnotherThreadWakesTheReader) {
    std::thread receiver;
    float v = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(readFloat(60, v,
                        [&] {
                            receiver = std::thread([this] {
                                std::this_thread::sleep_for(Millis(30));
                                deliver(60, 6.5f);
                            });
                        }),
              RET_SUCCESS);
    EXPECT_LT(std::chrono::steady_clock::now() - start, Millis(190));
    receiver.join();
    EXPECT_EQ(v, 6.5f);
}

// --- bootloader mode: whole identifiers

TEST_F(Machinery, BootloaderRepliesAreDecodedByWholeIdentifier) {
    impl.bootloaderMode = true;
    for (uint32_t id : {3u, 31u, 33u, 49u, 67u, 121u}) {
        SCOPED_TRACE(id);
        ArmedRead<Driver::DriverImpl> armed(impl, static_cast<int>(id));
        deliver(rawFrame(id, {0x79, 0x01, 0x02, 0x03, 0xFF}));
        unsigned int ack = 0;
        ASSERT_EQ(impl.parseData(static_cast<int>(id), &ack), RET_SUCCESS);
        EXPECT_EQ(ack, 0x03020179u);
    }
}

// The firmware update leaves the stream in hexadecimal while it writes: the
// identifier is still logged in decimal, and the stream's base left as it was.
TEST_F(Machinery, BootloaderModeLogsEveryOtherIdentifierInDecimal) {
    impl.bootloaderMode = true;
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

TEST_F(Machinery, BootloaderModeWaitsLongerThanTwoHundredMilliseconds) {
    impl.bootloaderMode = true;
    ArmedRead<Driver::DriverImpl> armed(impl, 121);
    std::thread bootloader([this] {
        std::this_thread::sleep_for(Millis(600));
        deliver(rawFrame(121, {0x79}));
    });
    unsigned int ack = 0;
    EXPECT_EQ(impl.parseData(121, &ack), RET_SUCCESS);
    bootloader.join();
    EXPECT_EQ(ack, 0x79u);
}

// --- bootloader mode: two acknowledgements under one identifier

// The bootloader answers some steps twice under one identifier with nothing
// sent between; the second answer can arrive before the first was handed out
// and the wait armed again. In bootloader mode it is held for that next wait,
// which then has it at once (a wait of zero time succeeds).
TEST_F(Machinery, SecondBootloaderAcknowledgementBeforeRearmingIsHeldForTheNextWait) {
    impl.setBootloaderMode(true);
    const can_frame_data first = rawFrame(0x43, {0x79, 1});
    const can_frame_data second = rawFrame(0x43, {0x79, 2});
    // Back to back while the first is not yet handed out; after it was handed
    // out but before the read is disarmed; and after disarming, before the
    // wait is armed again.
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
        EXPECT_EQ(a, 0x0179u);
        EXPECT_EQ(b, 0x0279u);
    }
}

TEST_F(Machinery, OneBootloaderReplyIsHeldTheNewestForItsOwnIdentifierOnly) {
    impl.setBootloaderMode(true);
    unsigned int ack = 0;
    deliver(rawFrame(0x31, {0x1F}));
    deliver(rawFrame(0x31, {0x79}));
    ASSERT_EQ(takeHeld(0x31, ack), RET_SUCCESS);
    EXPECT_EQ(ack, 0x79u);
    EXPECT_EQ(takeHeld(0x31, ack), RET_TIMEOUT);  // taken once only
    // A held reply for another identifier is dropped by the arming.
    deliver(rawFrame(0x31, {0x79}));
    EXPECT_EQ(takeHeld(0x43, ack), RET_TIMEOUT);
    EXPECT_EQ(takeHeld(0x31, ack), RET_TIMEOUT);
}

TEST_F(Machinery, ChangingTheBootloaderFlagDropsTheHeldReply) {
    unsigned int ack = 0;
    for (bool leave : {true, false}) {
        SCOPED_TRACE(leave);
        impl.setBootloaderMode(true);
        deliver(rawFrame(0x31, {0x79}));
        impl.setBootloaderMode(false);
        if (!leave) impl.setBootloaderMode(true);
        EXPECT_EQ(takeHeld(0x31, ack), RET_TIMEOUT);
    }
    EXPECT_EQ(ack, 0u);
}

// Outside the bootloader an unawaited reply is ignored, as before: the same
// sequence leaves the second wait without a reply.
TEST_F(Machinery, OutsideTheBootloaderASecondReplyBeforeRearmingIsIgnored) {
    impl.setBootloaderMode(true);
    impl.setBootloaderMode(false);
    float a = 0, b = 0;
    ASSERT_EQ(readFloat(60, a, [&] {
        deliver(60, 1.0f);
        deliver(60, 2.0f);
    }), RET_SUCCESS);
    deliver(60, 3.0f);
    EXPECT_EQ(readFloat(60, b), RET_TIMEOUT);
    EXPECT_EQ(a, 1.0f);
    EXPECT_EQ(b, 0.0f);
}

// Both acknowledgements from the receive thread while the calling thread
// takes the first and waits again, however the two threads interleave.
TEST_F(Machinery, BackToBackAcknowledgementsFromAnotherThreadReachBothWaits) {
    impl.setBootloaderMode(true);
    for (int round = 0; round < 200; ++round) {
        unsigned int a = 0, b = 0;
        std::thread receiver;
        {
            ArmedRead<Driver::DriverImpl> armed(impl, 0x31);
            receiver = std::thread([this, round] {
                deliver(rawFrame(0x31, {0x79, static_cast<uint8_t>(round), 1}));
                deliver(rawFrame(0x31, {0x79, static_cast<uint8_t>(round), 2}));
            });
            ASSERT_EQ(impl.parseData(0x31, &a), RET_SUCCESS) << round;
        }
        {
            ArmedRead<Driver::DriverImpl> armed(impl, 0x31);
            EXPECT_EQ(impl.parseData(0x31, &b), RET_SUCCESS) << round;
        }
        receiver.join();
        EXPECT_EQ(a, 0x010079u | (unsigned(round) << 8)) << round;
        EXPECT_EQ(b, 0x020079u | (unsigned(round) << 8)) << round;
    }
}

// The one slow case: a bootloader wait gives up after 20 s.
TEST_F(Machinery, BootloaderWaitTimesOutAfterTwentySeconds) {
    impl.bootloaderMode = true;
    ArmedRead<Driver::DriverImpl> armed(impl, 49);
    unsigned int ack = 5;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(impl.parseData(49, &ack), RET_TIMEOUT);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(19900));
    EXPECT_LT(elapsed, std::chrono::seconds(40));
    EXPECT_EQ(ack, 5u);
}

}  // namespace
