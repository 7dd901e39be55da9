// The simulated bootloader must refuse what a real one refuses, or the
// update tests could not fail. Driven by raw frames on a TestTransport that
// is not started, its replies read back with recvData.

#include <gtest/gtest.h>

#include <optional>

#include "sim_bootloader.hpp"

using namespace qt_test;

namespace {

constexpr uint8_t kAck = SimBootloader::kAck, kNack = SimBootloader::kNack;

class SimBootloaderTest : public ::testing::Test {
protected:
    // Sends `frame`, if any; the first byte of the reply within `wait`.
    std::optional<uint8_t> exchange(std::optional<can_frame_data> frame, Millis wait = Millis(200)) {
        if (frame) bus.sendFrame(&*frame);
        can_frame_data in{};
        for (const auto end = std::chrono::steady_clock::now() + wait; std::chrono::steady_clock::now() < end;) {
            if (bus.recvData(&in)) return in.data[0];
        }
        return std::nullopt;
    }

    TestTransport bus;
    SimBootloader boot{bus, 0x33, true};
};

TEST_F(SimBootloaderTest, HearsOnlyItsRateAndRefusesWritesBeyondTheAnnouncedSize) {
    EXPECT_EQ(exchange(rawFrame(0x79, {})), std::nullopt);  // host still at 500 kbit/s
    EXPECT_EQ(boot.unheardFrames(), 1);
    bus.setCANBaudRate(CAN_BAUDRATE_125K);
    EXPECT_EQ(exchange(rawFrame(0x79, {})), kAck);
    // Acknowledged at once, and again only once the host has switched.
    EXPECT_EQ(exchange(rawFrame(0x03, {3})), kAck);
    EXPECT_EQ(exchange(std::nullopt, Millis(100)), std::nullopt);
    bus.setCANBaudRate(CAN_BAUDRATE_500K);
    EXPECT_EQ(exchange(std::nullopt), kAck);
    EXPECT_EQ(boot.protocolErrors(), 0);

    EXPECT_EQ(exchange(rawFrame(0x31, {0x00, 0x00, 0x10, 0x00, 0x09})), kAck);  // 10 bytes
    EXPECT_EQ(exchange(rawFrame(0x04, {1, 2, 3, 4, 5, 6, 7, 8})), kAck);
    EXPECT_EQ(exchange(rawFrame(0x04, {9, 10, 11, 12, 13, 14, 15, 16})), kNack);  // overruns
    EXPECT_EQ(exchange(rawFrame(0x04, {1})), kNack);  // no write command any more
    EXPECT_EQ(exchange(rawFrame(0x43, {0xFF})), kNack);  // no global erase
    EXPECT_EQ(boot.protocolErrors(), 3);
    EXPECT_TRUE(boot.memory().empty());
}

}  // namespace
